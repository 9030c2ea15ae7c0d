/*
 * blob.h - type-length-value attributes in a growable buffer.
 *
 * Wire form: a 32-bit big-endian header (bit 31 extended, bits 30..24 id,
 * bits 23..0 length including the header but not the trailing padding),
 * then the payload, zero-padded to a 4-byte boundary. A nested attribute's
 * payload is a sequence of child attributes.
 *
 * A struct blob_buf must be zeroed before its first blob_buf_init. Every
 * pointer into the buffer is invalidated by any later append (it may move).
 */
#ifndef TARNEL_LIBUBOX_BLOB_H
#define TARNEL_LIBUBOX_BLOB_H

#include <stdbool.h>
#include <stdlib.h>
#include <stdint.h>
#include <string.h>
#include <stdio.h>
#include <errno.h>
#include "utils.h"

#ifdef __cplusplus
extern "C" {
#endif

#define BLOB_COOKIE 0x01234567

enum {
    BLOB_ATTR_UNSPEC,
    BLOB_ATTR_NESTED,
    BLOB_ATTR_BINARY,
    BLOB_ATTR_STRING,
    BLOB_ATTR_INT8,
    BLOB_ATTR_INT16,
    BLOB_ATTR_INT32,
    BLOB_ATTR_INT64,
    BLOB_ATTR_DOUBLE,
    BLOB_ATTR_LAST
};

#define BLOB_ATTR_ID_MASK 0x7f000000
#define BLOB_ATTR_ID_SHIFT 24
#define BLOB_ATTR_LEN_MASK 0x00ffffff
#define BLOB_ATTR_ALIGN 4
#define BLOB_ATTR_EXTENDED 0x80000000

struct blob_attr {
    uint32_t id_len;
    char data[];
} __packed;

struct blob_attr_info {
    unsigned int type;
    unsigned int minlen;
    unsigned int maxlen;
    bool (*validate)(const struct blob_attr_info *, struct blob_attr *);
};

struct blob_buf {
    struct blob_attr *head;
    bool (*grow)(struct blob_buf *buf, int minlen);
    int buflen;
    void *buf;
};

static inline void *blob_data(const struct blob_attr *attr)
{
    return (void *)attr->data;
}

static inline unsigned int blob_id(const struct blob_attr *attr)
{
    return (be32_to_cpu(attr->id_len) & BLOB_ATTR_ID_MASK) >> BLOB_ATTR_ID_SHIFT;
}

static inline bool blob_is_extended(const struct blob_attr *attr)
{
    return !!(attr->id_len & cpu_to_be32(BLOB_ATTR_EXTENDED));
}

static inline size_t blob_raw_len(const struct blob_attr *attr)
{
    return be32_to_cpu(attr->id_len) & BLOB_ATTR_LEN_MASK;
}

/* Meaningless (wraps) for a header claiming less than 4 bytes: check first. */
static inline size_t blob_len(const struct blob_attr *attr)
{
    return blob_raw_len(attr) - sizeof(struct blob_attr);
}

static inline size_t blob_pad_len(const struct blob_attr *attr)
{
    size_t len = blob_raw_len(attr);

    return (len + BLOB_ATTR_ALIGN - 1) & ~(size_t)(BLOB_ATTR_ALIGN - 1);
}

static inline struct blob_attr *blob_next(const struct blob_attr *attr)
{
    return (struct blob_attr *)((char *)attr + blob_pad_len(attr));
}

/*
 * Payloads sit on 4-byte boundaries only, so 64-bit values are copied out
 * rather than dereferenced in place.
 */
static inline uint8_t blob_get_u8(const struct blob_attr *attr)
{
    return *(const uint8_t *)attr->data;
}

static inline uint16_t blob_get_u16(const struct blob_attr *attr)
{
    uint16_t v;

    memcpy(&v, attr->data, sizeof(v));
    return be16_to_cpu(v);
}

static inline uint32_t blob_get_u32(const struct blob_attr *attr)
{
    uint32_t v;

    memcpy(&v, attr->data, sizeof(v));
    return be32_to_cpu(v);
}

static inline uint64_t blob_get_u64(const struct blob_attr *attr)
{
    uint64_t v;

    memcpy(&v, attr->data, sizeof(v));
    return be64_to_cpu(v);
}

static inline int8_t blob_get_int8(const struct blob_attr *attr)
{
    return (int8_t)blob_get_u8(attr);
}

static inline int16_t blob_get_int16(const struct blob_attr *attr)
{
    return (int16_t)blob_get_u16(attr);
}

static inline int32_t blob_get_int32(const struct blob_attr *attr)
{
    return (int32_t)blob_get_u32(attr);
}

static inline int64_t blob_get_int64(const struct blob_attr *attr)
{
    return (int64_t)blob_get_u64(attr);
}

static inline const char *blob_get_string(const struct blob_attr *attr)
{
    return attr->data;
}

int blob_buf_init(struct blob_buf *buf, int id);
void blob_buf_free(struct blob_buf *buf);
bool blob_buf_grow(struct blob_buf *buf, int required);
struct blob_attr *blob_new(struct blob_buf *buf, int id, int payload);
struct blob_attr *blob_put(struct blob_buf *buf, int id, const void *ptr, unsigned int len);
struct blob_attr *blob_put_raw(struct blob_buf *buf, const void *ptr, unsigned int len);
void *blob_nest_start(struct blob_buf *buf, int id);
void blob_nest_end(struct blob_buf *buf, void *cookie);
bool blob_check_type(const void *ptr, unsigned int len, int type);
int blob_parse(struct blob_attr *attr, struct blob_attr **data, const struct blob_attr_info *info, int max);
int blob_parse_untrusted(struct blob_attr *attr, size_t attr_len, struct blob_attr **data,
                         const struct blob_attr_info *info, int max);
void blob_fill_pad(struct blob_attr *attr);
void blob_set_raw_len(struct blob_attr *attr, unsigned int len);
bool blob_attr_equal(const struct blob_attr *a1, const struct blob_attr *a2);
struct blob_attr *blob_memdup(const struct blob_attr *attr);

static inline struct blob_attr *blob_put_string(struct blob_buf *buf, int id, const char *str)
{
    return blob_put(buf, id, str, strlen(str) + 1);
}

static inline struct blob_attr *blob_put_u8(struct blob_buf *buf, int id, uint8_t val)
{
    return blob_put(buf, id, &val, sizeof(val));
}

static inline struct blob_attr *blob_put_u16(struct blob_buf *buf, int id, uint16_t val)
{
    val = cpu_to_be16(val);
    return blob_put(buf, id, &val, sizeof(val));
}

static inline struct blob_attr *blob_put_u32(struct blob_buf *buf, int id, uint32_t val)
{
    val = cpu_to_be32(val);
    return blob_put(buf, id, &val, sizeof(val));
}

static inline struct blob_attr *blob_put_u64(struct blob_buf *buf, int id, uint64_t val)
{
    val = cpu_to_be64(val);
    return blob_put(buf, id, &val, sizeof(val));
}

#define blob_put_int8 blob_put_u8
#define blob_put_int16 blob_put_u16
#define blob_put_int32 blob_put_u32
#define blob_put_int64 blob_put_u64

/*
 * Iteration helpers. A child is visited only while at least a header is
 * left, its declared length covers its own header and its padded length
 * fits in what remains, so a walk never leaves the container even when the
 * lengths inside it lie. These are functions rather than expressions in
 * the macros so that passing &some_attr does not trip address warnings.
 */
static inline bool blob_walk_fits_(const struct blob_attr *pos, size_t rem)
{
    return rem >= sizeof(struct blob_attr) && blob_raw_len(pos) >= sizeof(struct blob_attr) && blob_pad_len(pos) <= rem;
}

static inline size_t blob_walk_len_(const struct blob_attr *attr)
{
    return attr && blob_raw_len(attr) >= sizeof(struct blob_attr) ? blob_len(attr) : 0;
}

static inline struct blob_attr *blob_walk_first_(const struct blob_attr *attr)
{
    return attr ? (struct blob_attr *)blob_data(attr) : NULL;
}

/* Walk a raw region: pos starts at attr, the caller presets rem (size_t). */
#define __blob_for_each_attr(pos, attr, rem)                                                                           \
    for (pos = (struct blob_attr *)(attr); blob_walk_fits_(pos, rem); rem -= blob_pad_len(pos), pos = blob_next(pos))

/* Walk the children of attr (NULL: none); rem is a caller-declared size_t. */
#define blob_for_each_attr(pos, attr, rem)                                                                             \
    for (rem = blob_walk_len_(attr), pos = blob_walk_first_(attr); blob_walk_fits_(pos, rem);                          \
         rem -= blob_pad_len(pos), pos = blob_next(pos))

#ifdef __cplusplus
}
#endif

#endif
