/*
 * blobmsg.cpp - building, checking and parsing blobmsg values.
 *
 * The check functions are the only line of defence between a peer's bytes
 * and the unchecked getters: every length they accept must be backed by
 * bytes that exist, and blobmsg_parse never hands out an attribute it has
 * not checked.
 */
#include <libubox/blobmsg.h>

#include <climits>

#include "bus/ubox/attr_walk.h"
#include "bus/ubox/blob_internal.h"

/*
 * Appends an extended attribute with its name header; *data gets the value,
 * whose payload bytes the caller writes (the padding behind them is zero).
 */
static struct blob_attr *blobmsg_new(struct blob_buf *buf, int type, const char *name, size_t payload, void **data)
{
    size_t namelen = name ? strlen(name) : 0;
    struct blobmsg_hdr *hdr;
    struct blob_attr *attr;
    size_t hdrlen;

    if (type < 0 || type > BLOBMSG_TYPE_LAST || namelen > UINT16_MAX)
        return NULL;
    hdrlen = (size_t)blobmsg_hdrlen((unsigned int)namelen);
    if (payload > INT_MAX - hdrlen)
        return NULL;

    attr = blob_append(buf, type, hdrlen + payload);
    if (!attr)
        return NULL;

    attr->id_len |= cpu_to_be32(BLOB_ATTR_EXTENDED);
    hdr = (struct blobmsg_hdr *)blob_data(attr);
    /* The name's NUL and padding: the header's last word, zeroed first. */
    memset((char *)hdr + hdrlen - BLOB_ATTR_ALIGN, 0, BLOB_ATTR_ALIGN);
    hdr->namelen = cpu_to_be16((uint16_t)namelen);
    if (namelen)
        memcpy(hdr->name, name, namelen);
    *data = (char *)hdr + hdrlen;
    return attr;
}

int blobmsg_add_field(struct blob_buf *buf, int type, const char *name, const void *data, unsigned int len)
{
    void *dst;

    if (!blobmsg_new(buf, type, name, len, &dst))
        return -1;
    if (data)
        memcpy(dst, data, len);
    else
        memset(dst, 0, len);
    return 0;
}

void *blobmsg_open_nested(struct blob_buf *buf, const char *name, bool array)
{
    struct blob_attr *child;
    size_t parent_off;
    void *data;

    if (!buf->head)
        return NULL;
    parent_off = blob_head_offset(buf);
    child = blobmsg_new(buf, array ? BLOBMSG_TYPE_ARRAY : BLOBMSG_TYPE_TABLE, name, 0, &data);
    if (!child)
        return NULL;
    return blob_nest_enter(buf, parent_off, child);
}

bool blobmsg_check_attr_len(const struct blob_attr *attr, bool name, size_t len)
{
    attr_walk::attr a;
    attr_walk::value v;

    return attr_walk::read_attr(attr, len, &a) && attr_walk::split_value(a, name, &v);
}

bool blobmsg_check_attr(const struct blob_attr *attr, bool name)
{
    return attr && blobmsg_check_attr_len(attr, name, blob_raw_len(attr));
}

/* Bytes left over after the last child are as malformed as a bad child. */
int blobmsg_check_array(const struct blob_attr *attr, int type)
{
    attr_walk::attr a, child;
    attr_walk::value v, member;
    int count = 0;

    if (!attr || type < 0 || type > BLOBMSG_TYPE_LAST)
        return -1;
    if (!attr_walk::read_attr(attr, blob_raw_len(attr), &a) || !attr_walk::split_value(a, false, &v))
        return -1;
    if (v.type != BLOBMSG_TYPE_TABLE && v.type != BLOBMSG_TYPE_ARRAY)
        return -1;

    attr_walk::cursor c(v.data, v.len);
    attr_walk::step s;
    while ((s = c.next(&child)) == attr_walk::step::attr) {
        if (type != BLOBMSG_TYPE_UNSPEC && (int)child.id != type)
            return -1;
        if (!attr_walk::split_value(child, v.type == BLOBMSG_TYPE_TABLE, &member))
            return -1;
        count++;
    }
    return s == attr_walk::step::end ? count : -1;
}

bool blobmsg_check_attr_list(const struct blob_attr *attr, int type)
{
    return blobmsg_check_array(attr, type) >= 0;
}

static bool policy_type_matches(int want, int have)
{
    if (want == BLOBMSG_TYPE_UNSPEC || want == have)
        return true;
    return want == BLOBMSG_CAST_INT64 && (have == BLOBMSG_TYPE_INT64 || have == BLOBMSG_TYPE_INT32 ||
                                          have == BLOBMSG_TYPE_INT16 || have == BLOBMSG_TYPE_INT8);
}

/*
 * The attribute's name is namelen bytes followed by a NUL (checked). Read
 * byte by byte, so a shorter policy name is never read past its end, and
 * most names differ at the first byte.
 */
static bool name_matches(const char *attr_name, size_t namelen, const char *name)
{
    for (size_t i = 0; i < namelen; i++) {
        if (name[i] != attr_name[i] || name[i] == '\0')
            return false;
    }
    return name[namelen] == '\0';
}

/*
 * Keyed lookup. The first occurrence of a key wins; one attribute may fill
 * several slots; the first malformed attribute stops everything with -1
 * (slots filled before it stay filled).
 */
int blobmsg_parse(const struct blobmsg_policy *policy, int policy_len, struct blob_attr **tb, void *data,
                  unsigned int len)
{
    struct blob_attr *attr;
    size_t rem = len;

    if (policy_len > 0)
        memset(tb, 0, sizeof(*tb) * (size_t)policy_len);
    if (!data || !len)
        return -EINVAL;

    __blob_for_each_attr(attr, data, rem)
    {
        // blobmsg_check_attr_len's checks, keeping what they read.
        attr_walk::attr a;
        attr_walk::value v;
        if (!attr_walk::read_attr(attr, rem, &a) || !attr_walk::split_value(a, false, &v))
            return -1;
        if (!a.extended)
            continue;

        for (int i = 0; i < policy_len; i++) {
            const char *name = policy[i].name;
            // The first byte settles most pairs (the name ends with a NUL).
            if (!name || name[0] != v.name[0] || tb[i])
                continue;
            if (!policy_type_matches(policy[i].type, v.type))
                continue;
            if (name_matches(v.name, v.namelen, name))
                tb[i] = attr;
        }
    }
    return 0;
}

/* Positional: slot i takes the next element of its type; names are ignored. */
int blobmsg_parse_array(const struct blobmsg_policy *policy, int policy_len, struct blob_attr **tb, void *data,
                        unsigned int len)
{
    struct blob_attr *attr;
    size_t rem = len;
    int i = 0;

    if (policy_len > 0)
        memset(tb, 0, sizeof(*tb) * (size_t)policy_len);
    if (!data || !len)
        return 0;

    __blob_for_each_attr(attr, data, rem)
    {
        if (i >= policy_len)
            break;
        if (!blobmsg_check_attr_len(attr, false, rem))
            return -1;
        if (policy[i].type != BLOBMSG_TYPE_UNSPEC && blobmsg_type(attr) != (int)policy[i].type)
            continue;
        tb[i++] = attr;
    }
    return 0;
}
