/*
 * blob.cpp - the blob_buf builder and the blob attribute helpers.
 *
 * Layout invariant kept by every append: buf->head is the innermost open
 * attribute, the next attribute goes at blob_next(head), and each open
 * container's length already covers everything appended inside it, padding
 * included. Closing a nest only has to extend the enclosing attribute.
 */
#include <libubox/blob.h>

#include <climits>

#include "bus/ubox/attr_walk.h"
#include "bus/ubox/blob_internal.h"

static size_t pad4(size_t len)
{
    return (len + BLOB_ATTR_ALIGN - 1) & ~(size_t)(BLOB_ATTR_ALIGN - 1);
}

static struct blob_attr *offset_to_attr(const struct blob_buf *buf, size_t off)
{
    return (struct blob_attr *)((char *)buf->buf + off);
}

static size_t attr_to_offset(const struct blob_buf *buf, const struct blob_attr *attr)
{
    return (size_t)((const char *)attr - (const char *)buf->buf);
}

static void set_header(struct blob_attr *attr, int id, size_t len)
{
    uint32_t word = ((uint32_t)id << BLOB_ATTR_ID_SHIFT) & BLOB_ATTR_ID_MASK;

    attr->id_len = cpu_to_be32(word | ((uint32_t)len & BLOB_ATTR_LEN_MASK));
}

/* Grow in 256-byte steps so that a message built field by field does not
 * realloc on every append; fresh memory is zeroed. */
static bool blob_default_grow(struct blob_buf *buf, int minlen)
{
    size_t delta = ((size_t)minlen / 256 + 1) * 256;
    char *mem = (char *)realloc(buf->buf, (size_t)buf->buflen + delta);

    if (!mem)
        return false;
    memset(mem + buf->buflen, 0, delta);
    buf->buf = mem;
    buf->buflen += (int)delta;
    return true;
}

size_t blob_head_offset(const struct blob_buf *buf)
{
    return attr_to_offset(buf, buf->head);
}

bool blob_buf_grow(struct blob_buf *buf, int required)
{
    size_t head_off = buf->head ? attr_to_offset(buf, buf->head) : 0;

    if (required <= 0)
        return true;
    if ((size_t)buf->buflen + (size_t)required > BLOB_ATTR_LEN_MASK)
        return false;
    if (!buf->grow || !buf->grow(buf, required))
        return false;
    if (buf->head)
        buf->head = offset_to_attr(buf, head_off);
    return true;
}

int blob_buf_init(struct blob_buf *buf, int id)
{
    if (!buf->grow)
        buf->grow = blob_default_grow;

    buf->head = NULL;
    if (buf->buflen < (int)sizeof(struct blob_attr) && !blob_buf_grow(buf, (int)sizeof(struct blob_attr) - buf->buflen))
        return -ENOMEM;

    buf->head = (struct blob_attr *)buf->buf;
    set_header(buf->head, id, sizeof(struct blob_attr));
    return 0;
}

void blob_buf_free(struct blob_buf *buf)
{
    free(buf->buf);
    buf->buf = NULL;
    buf->head = NULL;
    buf->buflen = 0;
}

/*
 * The whole buffer is capped at what a 24-bit length can describe, so no
 * enclosing attribute's length can overflow its field. Only the padding is
 * zeroed here: the caller writes the payload at once.
 */
struct blob_attr *blob_append(struct blob_buf *buf, int id, size_t payload)
{
    struct blob_attr *attr;
    size_t head_off, off, end;

    if (!buf->head || payload > BLOB_ATTR_LEN_MASK)
        return NULL;

    head_off = attr_to_offset(buf, buf->head);
    off = head_off + blob_pad_len(buf->head);
    end = pad4(off + sizeof(struct blob_attr) + payload);
    if (end > BLOB_ATTR_LEN_MASK)
        return NULL;
    if (end > (size_t)buf->buflen && !blob_buf_grow(buf, (int)(end - (size_t)buf->buflen)))
        return NULL;
    /* A caller-supplied grow may report success without enough room. */
    if (end > (size_t)buf->buflen)
        return NULL;

    attr = offset_to_attr(buf, off);
    /* The last word holds the padding, if any; the header goes over it
     * when the attribute is that short. */
    memset((char *)buf->buf + end - BLOB_ATTR_ALIGN, 0, BLOB_ATTR_ALIGN);
    set_header(attr, id, sizeof(struct blob_attr) + payload);
    blob_set_raw_len(buf->head, (unsigned int)(end - head_off));
    return attr;
}

/* The payload is zeroed: a reused buffer must not leak old bytes when the
 * caller fills less than it asked for. */
struct blob_attr *blob_new(struct blob_buf *buf, int id, int payload)
{
    struct blob_attr *attr;

    if (payload < 0)
        return NULL;
    attr = blob_append(buf, id, (size_t)payload);
    if (attr)
        memset(attr->data, 0, (size_t)payload);
    return attr;
}

struct blob_attr *blob_put(struct blob_buf *buf, int id, const void *ptr, unsigned int len)
{
    struct blob_attr *attr;

    if (len > INT_MAX)
        return NULL;
    if (!ptr)
        return blob_new(buf, id, (int)len);
    attr = blob_append(buf, id, len);
    if (attr)
        memcpy(attr->data, ptr, len);
    return attr;
}

/*
 * The copied bytes carry their own header(s). The enclosing attribute is
 * extended by the padded length so that an odd-sized copy is still reached
 * by iteration.
 */
struct blob_attr *blob_put_raw(struct blob_buf *buf, const void *ptr, unsigned int len)
{
    struct blob_attr *attr;

    if (!ptr || len < sizeof(struct blob_attr) || len > INT_MAX)
        return NULL;
    attr = blob_append(buf, 0, len - sizeof(struct blob_attr));
    if (attr)
        memcpy(attr, ptr, len);
    return attr;
}

void *blob_nest_enter(struct blob_buf *buf, size_t parent_off, struct blob_attr *child)
{
    buf->head = child;
    return (void *)(uintptr_t)(parent_off + BLOB_COOKIE);
}

void *blob_nest_start(struct blob_buf *buf, int id)
{
    struct blob_attr *child;
    size_t parent_off;

    if (!buf->head)
        return NULL;
    parent_off = attr_to_offset(buf, buf->head);
    child = blob_new(buf, id, 0);
    if (!child)
        return NULL;
    return blob_nest_enter(buf, parent_off, child);
}

/* A NULL cookie means the open failed: closing it must not touch anything. */
void blob_nest_end(struct blob_buf *buf, void *cookie)
{
    struct blob_attr *parent, *child = buf->head;

    if (!cookie || !child)
        return;
    parent = offset_to_attr(buf, (uintptr_t)cookie - BLOB_COOKIE);
    blob_set_raw_len(parent, (unsigned int)((char *)child + blob_pad_len(child) - (char *)parent));
    buf->head = parent;
}

bool blob_check_type(const void *ptr, unsigned int len, int type)
{
    return attr_walk::payload_ok(type, static_cast<const uint8_t *>(ptr), len);
}

static bool info_accepts(const struct blob_attr_info *info, struct blob_attr *attr)
{
    size_t len = blob_len(attr);

    if (info->type != BLOB_ATTR_UNSPEC && !blob_check_type(blob_data(attr), (unsigned int)len, (int)info->type))
        return false;
    if (info->minlen && len < info->minlen)
        return false;
    if (info->maxlen && len > info->maxlen)
        return false;
    return !info->validate || info->validate(info, attr);
}

/* Index a run of children by id; the last of duplicate ids wins. */
static int parse_children(struct blob_attr *first, size_t rem, struct blob_attr **data,
                          const struct blob_attr_info *info, int max)
{
    struct blob_attr *pos;
    int found = 0;

    __blob_for_each_attr(pos, first, rem)
    {
        unsigned int id = blob_id(pos);

        if (id >= (unsigned int)max)
            continue;
        if (info && !info_accepts(&info[id], pos))
            continue;
        if (!data[id])
            found++;
        data[id] = pos;
    }
    return found;
}

int blob_parse(struct blob_attr *attr, struct blob_attr **data, const struct blob_attr_info *info, int max)
{
    if (max <= 0)
        return 0;
    memset(data, 0, sizeof(*data) * (size_t)max);
    if (!attr)
        return 0;
    return parse_children(blob_walk_first_(attr), blob_walk_len_(attr), data, info, max);
}

int blob_parse_untrusted(struct blob_attr *attr, size_t attr_len, struct blob_attr **data,
                         const struct blob_attr_info *info, int max)
{
    if (max <= 0)
        return 0;
    memset(data, 0, sizeof(*data) * (size_t)max);
    if (!attr || attr_len < sizeof(struct blob_attr))
        return 0;
    if (blob_raw_len(attr) < sizeof(struct blob_attr) || blob_raw_len(attr) > attr_len)
        return 0;
    return parse_children((struct blob_attr *)blob_data(attr), blob_len(attr), data, info, max);
}

void blob_fill_pad(struct blob_attr *attr)
{
    size_t len = blob_raw_len(attr), padded = blob_pad_len(attr);

    if (padded > len)
        memset((char *)attr + len, 0, padded - len);
}

void blob_set_raw_len(struct blob_attr *attr, unsigned int len)
{
    uint32_t word = be32_to_cpu(attr->id_len) & ~(uint32_t)BLOB_ATTR_LEN_MASK;

    attr->id_len = cpu_to_be32(word | (len & BLOB_ATTR_LEN_MASK));
}

/* Padding is not compared: a received attribute may end at the buffer end. */
bool blob_attr_equal(const struct blob_attr *a1, const struct blob_attr *a2)
{
    if (!a1 || !a2)
        return a1 == a2;
    if (blob_raw_len(a1) != blob_raw_len(a2))
        return false;
    return !memcmp(a1, a2, blob_raw_len(a1));
}

struct blob_attr *blob_memdup(const struct blob_attr *attr)
{
    size_t len = blob_raw_len(attr), padded = blob_pad_len(attr);
    struct blob_attr *copy;

    if (len < sizeof(struct blob_attr))
        len = padded = sizeof(struct blob_attr);
    copy = (struct blob_attr *)malloc(padded);
    if (!copy)
        return NULL;
    memcpy(copy, attr, len);
    memset((char *)copy + len, 0, padded - len);
    return copy;
}
