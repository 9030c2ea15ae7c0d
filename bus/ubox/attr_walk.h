// Reading blob attributes out of bytes that another process sent.
//
// The client library's checks (blobmsg_check_attr_len and the ones built on
// it), the broker's frame parser and the CLI's printer all read through
// this one header, so a rule tightened here holds for all three. Nothing is
// read before the bytes holding it are known to exist, and integers are
// read a byte at a time, so the input needs no particular alignment.
//
// Header-only on purpose: the broker and the CLI also build against a
// router's own libubox, where none of our library code is linked; all this
// needs from libubox is the constants of its public headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" {
#include <libubox/blobmsg.h>
}

namespace attr_walk
{

// Big-endian unsigned integer of n (at most 8) bytes.
inline uint64_t read_be(const uint8_t *p, size_t n)
{
    uint64_t v = 0;
    for (size_t i = 0; i < n; i++)
        v = v << 8 | p[i];
    return v;
}

// The two widths every attribute header has, copied out whole (a copy
// needs no alignment either).
inline uint32_t read_be32(const uint8_t *p)
{
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return be32_to_cpu(v);
}

inline uint16_t read_be16(const uint8_t *p)
{
    uint16_t v;
    memcpy(&v, p, sizeof v);
    return be16_to_cpu(v);
}

inline size_t padded(size_t raw)
{
    return (raw + BLOB_ATTR_ALIGN - 1) & ~size_t(BLOB_ATTR_ALIGN - 1);
}

// One attribute: its header word decoded, its payload known to exist.
struct attr {
    const uint8_t *head = nullptr; // the header word
    const uint8_t *data = nullptr; // payload
    size_t len = 0;                // payload bytes: no header, no padding
    unsigned id = 0;
    bool extended = false;
    explicit operator bool() const { return head != nullptr; }
};

// The attribute at the start of [p, p + avail): false unless its header is
// there and its length field covers the header and stays within avail.
inline bool read_attr(const void *p, size_t avail, attr *out)
{
    if (!p || avail < sizeof(blob_attr))
        return false;
    const auto *b = static_cast<const uint8_t *>(p);
    uint32_t word = read_be32(b);
    size_t raw = word & BLOB_ATTR_LEN_MASK;
    if (raw < sizeof(blob_attr) || raw > avail)
        return false;
    out->head = b;
    out->data = b + sizeof(blob_attr);
    out->len = raw - sizeof(blob_attr);
    out->id = (word & BLOB_ATTR_ID_MASK) >> BLOB_ATTR_ID_SHIFT;
    out->extended = (word & BLOB_ATTR_EXTENDED) != 0;
    return true;
}

enum class step { end, attr, broken };

// Attributes packed one after another on 4-byte boundaries, as in the
// payload of a nested attribute. Each must lie wholly inside the region,
// padding included, which is what blob_for_each_attr visits; anything
// else, including 1 to 3 stray bytes at the end, leaves the cursor broken.
// `unpadded_tail` lets the very last attribute end without its padding,
// as the last attribute of a frame body may on the wire.
struct cursor {
    const uint8_t *pos = nullptr;
    size_t rem = 0;
    bool unpadded_tail = false;
    bool broken = false;

    cursor() = default;
    cursor(const void *p, size_t len, bool tail = false)
        : pos(static_cast<const uint8_t *>(p)), rem(p ? len : 0), unpadded_tail(tail)
    {
    }

    step next(attr *out)
    {
        if (broken)
            return step::broken;
        if (rem == 0)
            return step::end;
        size_t span = 0;
        if (read_attr(pos, rem, out))
            span = padded(out->len + sizeof(blob_attr));
        if (span == 0 || (span > rem && !unpadded_tail)) {
            broken = true;
            return step::broken;
        }
        span = span < rem ? span : rem;
        pos += span;
        rem -= span;
        return step::attr;
    }
};

// The payload rule of a BLOB_ATTR_* type: integers exactly their width,
// strings ending in a NUL (inner NULs allowed), doubles at least 8 bytes,
// any length for the rest. A type past the last one fails.
inline bool payload_ok(int blob_type, const uint8_t *data, size_t len)
{
    switch (blob_type) {
    case BLOB_ATTR_INT8: return len == 1;
    case BLOB_ATTR_INT16: return len == 2;
    case BLOB_ATTR_INT32: return len == 4;
    case BLOB_ATTR_INT64: return len == 8;
    case BLOB_ATTR_DOUBLE: return len >= 8;
    case BLOB_ATTR_STRING: return len >= 1 && data[len - 1] == 0;
    default: return blob_type >= 0 && blob_type < BLOB_ATTR_LAST;
    }
}

// blobmsg numbers its types differently; containers and UNSPEC take any
// payload here (their children are a separate question).
inline int blob_type_of(int blobmsg_type)
{
    switch (blobmsg_type) {
    case BLOBMSG_TYPE_STRING: return BLOB_ATTR_STRING;
    case BLOBMSG_TYPE_INT64: return BLOB_ATTR_INT64;
    case BLOBMSG_TYPE_INT32: return BLOB_ATTR_INT32;
    case BLOBMSG_TYPE_INT16: return BLOB_ATTR_INT16;
    case BLOBMSG_TYPE_INT8: return BLOB_ATTR_INT8;
    case BLOBMSG_TYPE_DOUBLE: return BLOB_ATTR_DOUBLE;
    case BLOBMSG_TYPE_UNSPEC:
    case BLOBMSG_TYPE_ARRAY:
    case BLOBMSG_TYPE_TABLE: return BLOB_ATTR_UNSPEC;
    default: return -1;
    }
}

// A blobmsg value: the attribute past its name header.
struct value {
    int type = 0;          // BLOBMSG_TYPE_*
    const char *name = ""; // NUL-terminated inside the input
    size_t namelen = 0;    // may stop short of an inner NUL
    const uint8_t *data = nullptr;
    size_t len = 0;
};

// Reads a framed attribute as a blobmsg value. An extended attribute must
// hold its whole name header, with a NUL right after the name; one that is
// not extended has no name. `need_name`: only an extended attribute with a
// non-empty name will do, as for a table member.
inline bool split_value(const attr &a, bool need_name, value *out)
{
    const uint8_t *data = a.data;
    size_t len = a.len;
    value v;
    if (a.extended) {
        if (len < sizeof(blobmsg_hdr))
            return false;
        size_t namelen = read_be16(data);
        size_t hdrlen = size_t(blobmsg_hdrlen(unsigned(namelen)));
        if ((need_name && namelen == 0) || hdrlen > len || data[sizeof(blobmsg_hdr) + namelen] != 0)
            return false;
        v.name = reinterpret_cast<const char *>(data + sizeof(blobmsg_hdr));
        v.namelen = namelen;
        data += hdrlen;
        len -= hdrlen;
    } else if (need_name) {
        return false;
    }
    v.type = int(a.id);
    v.data = data;
    v.len = len;
    if (!payload_ok(blob_type_of(v.type), data, len))
        return false;
    *out = v;
    return true;
}

// Nesting below this many containers is refused by the tree checks.
constexpr int max_depth = 256;

// A value and everything inside it, so that blobmsg_for_each_attr and the
// getters may afterwards roam it freely: every attribute passes
// split_value, and each container's children fill its payload exactly.
// Members of nested tables may have empty names, as on the wire.
// Defined in the library (attr_walk.cpp), not in this header.
bool tree_ok(const void *attr, bool need_name, size_t avail);
// A run of values filling [data, data + len) exactly, e.g. the payload of
// a call's argument attribute (need_names: table members).
bool tree_list_ok(const void *data, size_t len, bool need_names);

} // namespace attr_walk
