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

#include "blob_internal.h"

/* Appends an extended attribute with its name header; *data gets the value. */
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

    attr = blob_new(buf, type, (int)(hdrlen + payload));
    if (!attr)
        return NULL;

    /* blob_new zeroed the payload, so the name's NUL and padding are there. */
    attr->id_len |= cpu_to_be32(BLOB_ATTR_EXTENDED);
    hdr = (struct blobmsg_hdr *)blob_data(attr);
    hdr->namelen = cpu_to_be16((uint16_t)namelen);
    if (namelen)
        memcpy(hdr->name, name, namelen);
    *data = (char *)blob_data(attr) + hdrlen;
    return attr;
}

int blobmsg_add_field(struct blob_buf *buf, int type, const char *name, const void *data, unsigned int len)
{
    void *dst;

    if (!blobmsg_new(buf, type, name, len, &dst))
        return -1;
    if (data && len)
        memcpy(dst, data, len);
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

static int blob_type_of(int blobmsg_type)
{
    switch (blobmsg_type) {
    case BLOBMSG_TYPE_STRING: return BLOB_ATTR_STRING;
    case BLOBMSG_TYPE_INT64: return BLOB_ATTR_INT64;
    case BLOBMSG_TYPE_INT32: return BLOB_ATTR_INT32;
    case BLOBMSG_TYPE_INT16: return BLOB_ATTR_INT16;
    case BLOBMSG_TYPE_INT8: return BLOB_ATTR_INT8;
    case BLOBMSG_TYPE_DOUBLE: return BLOB_ATTR_DOUBLE;
    default: return BLOB_ATTR_UNSPEC;
    }
}

/*
 * The header word is read only once len shows it exists, and the name
 * length only once the payload shows it exists; after that every offset is
 * compared against the attribute's own (already bounded) length.
 */
bool blobmsg_check_attr_len(const struct blob_attr *attr, bool name, size_t len)
{
    const char *data;
    size_t raw, data_len;
    int id;

    if (!attr || len < sizeof(struct blob_attr))
        return false;
    raw = blob_raw_len(attr);
    if (raw < sizeof(struct blob_attr) || raw > len)
        return false;

    data = (const char *)blob_data(attr);
    data_len = raw - sizeof(struct blob_attr);
    if (blob_is_extended(attr)) {
        const struct blobmsg_hdr *hdr = (const struct blobmsg_hdr *)data;
        size_t namelen, hdrlen;

        if (data_len < sizeof(struct blobmsg_hdr))
            return false;
        namelen = blobmsg_namelen(hdr);
        if (name && !namelen)
            return false;
        hdrlen = (size_t)blobmsg_hdrlen((unsigned int)namelen);
        if (hdrlen > data_len || hdr->name[namelen] != 0)
            return false;
        data += hdrlen;
        data_len -= hdrlen;
    } else if (name) {
        return false;
    }

    id = blob_id(attr);
    if (id > BLOBMSG_TYPE_LAST)
        return false;
    if (blob_type_of(id) == BLOB_ATTR_UNSPEC)
        return true;
    return blob_check_type(data, (unsigned int)data_len, blob_type_of(id));
}

bool blobmsg_check_attr(const struct blob_attr *attr, bool name)
{
    return attr && blobmsg_check_attr_len(attr, name, blob_raw_len(attr));
}

/* Bytes left over after the last child are as malformed as a bad child. */
int blobmsg_check_array_len(const struct blob_attr *attr, int type, size_t len)
{
    struct blob_attr *cur;
    bool names;
    size_t rem;
    int count = 0;

    if (type < 0 || type > BLOBMSG_TYPE_LAST || !blobmsg_check_attr_len(attr, false, len))
        return -1;

    switch (blobmsg_type(attr)) {
    case BLOBMSG_TYPE_TABLE: names = true; break;
    case BLOBMSG_TYPE_ARRAY: names = false; break;
    default: return -1;
    }

    blobmsg_for_each_attr(cur, attr, rem)
    {
        if (type != BLOBMSG_TYPE_UNSPEC && blobmsg_type(cur) != type)
            return -1;
        if (!blobmsg_check_attr_len(cur, names, rem))
            return -1;
        count++;
    }
    return rem ? -1 : count;
}

int blobmsg_check_array(const struct blob_attr *attr, int type)
{
    return attr ? blobmsg_check_array_len(attr, type, blob_raw_len(attr)) : -1;
}

bool blobmsg_check_attr_list_len(const struct blob_attr *attr, int type, size_t len)
{
    return blobmsg_check_array_len(attr, type, len) >= 0;
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

static bool name_matches(const struct blob_attr *attr, const char *name)
{
    const struct blobmsg_hdr *hdr = (const struct blobmsg_hdr *)blob_data(attr);
    size_t namelen = blobmsg_namelen(hdr);

    return strlen(name) == namelen && !memcmp(hdr->name, name, namelen);
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
        if (!blobmsg_check_attr_len(attr, false, rem))
            return -1;
        if (!blob_is_extended(attr))
            continue;

        for (int i = 0; i < policy_len; i++) {
            if (!policy[i].name || tb[i])
                continue;
            if (!policy_type_matches(policy[i].type, blobmsg_type(attr)))
                continue;
            if (name_matches(attr, policy[i].name))
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
