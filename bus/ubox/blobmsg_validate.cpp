/*
 * blobmsg_validate.cpp - recursive validation for untrusted blobmsg trees.
 *
 * Recursion depth is capped so that a small hostile message made of nothing
 * but nested empty containers cannot exhaust the stack.
 */
#include <libubox/blobmsg_validate.h>

static bool validate_list(const void *data, size_t len, bool names, int depth);

static bool validate_attr(const struct blob_attr *attr, bool name, size_t len, int depth)
{
    int type;

    if (!blobmsg_check_attr_len(attr, name, len))
        return false;
    type = blobmsg_type(attr);
    if (type != BLOBMSG_TYPE_ARRAY && type != BLOBMSG_TYPE_TABLE)
        return true;
    if (depth >= BLOBMSG_VALIDATE_MAX_DEPTH)
        return false;
    // Members of a nested table may carry an empty name: senders make them
    // with blobmsg_add_*(buf, "", ...) and readers skip or print them.
    return validate_list(blobmsg_data(attr), blobmsg_data_len(attr), false, depth + 1);
}

/* Children must tile the region exactly, as every well-formed sender does. */
static bool validate_list(const void *data, size_t len, bool names, int depth)
{
    const struct blob_attr *pos;
    size_t rem = len;

    if (!data)
        return len == 0;
    __blob_for_each_attr(pos, data, rem)
    {
        if (!validate_attr(pos, names, rem, depth))
            return false;
    }
    return rem == 0;
}

bool blobmsg_validate_attr(const struct blob_attr *attr, bool name, size_t len)
{
    return validate_attr(attr, name, len, 0);
}

bool blobmsg_validate_list(const void *data, size_t len, bool names)
{
    return validate_list(data, len, names, 0);
}
