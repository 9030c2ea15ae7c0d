#include "tools/cli/blob_walk.h"

#include <cstring>

namespace
{

// Type numbers of the blobmsg encoding; fixed by the wire format.
enum : int {
    T_UNSPEC = 0,
    T_ARRAY = 1,
    T_TABLE = 2,
    T_STRING = 3,
    T_INT64 = 4,
    T_INT32 = 5,
    T_INT16 = 6,
    T_INT8 = 7,
    T_DOUBLE = 8,
};

constexpr uint32_t ATTR_EXTENDED = 0x80000000u;
constexpr uint32_t ATTR_LEN_MASK = 0x00ffffffu;

uint64_t be_read(const uint8_t *p, size_t n)
{
    uint64_t v = 0;
    for (size_t i = 0; i < n; i++)
        v = v << 8 | p[i];
    return v;
}

std::string_view until_nul(const uint8_t *p, size_t n)
{
    const void *nul = memchr(p, 0, n);
    size_t len = nul ? static_cast<size_t>(static_cast<const uint8_t *>(nul) - p) : n;
    return {reinterpret_cast<const char *>(p), len};
}

bool payload_fits(int type, const uint8_t *data, size_t len)
{
    switch (type) {
    case T_INT8: return len == 1;
    case T_INT16: return len == 2;
    case T_INT32: return len == 4;
    case T_INT64: return len == 8;
    case T_DOUBLE: return len >= 8;
    case T_STRING: return len >= 1 && data[len - 1] == 0;
    case T_UNSPEC:
    case T_ARRAY:
    case T_TABLE: return true;
    default: return false;
    }
}

// Decodes one attribute whose length field (raw, header included) is known to
// lie inside the region.
bool decode(const uint8_t *a, uint32_t id_len, size_t raw, blob_member &m)
{
    if (raw < 4)
        return false;
    const uint8_t *p = a + 4;
    size_t len = raw - 4;
    m.name = {};
    if (id_len & ATTR_EXTENDED) {
        if (len < 2)
            return false;
        size_t namelen = static_cast<size_t>(be_read(p, 2));
        size_t hdrlen = (2 + namelen + 1 + 3) & ~size_t(3);
        if (len < hdrlen || p[2 + namelen] != 0)
            return false;
        m.name = until_nul(p + 2, namelen);
        p += hdrlen;
        len -= hdrlen;
    }
    m.type = static_cast<int>((id_len >> 24) & 0x7f);
    m.data = p;
    m.len = len;
    return payload_fits(m.type, p, len);
}

} // namespace

bool blob_member_next(blob_cursor &c, blob_member &m)
{
    while (c.rem >= 4) {
        const uint8_t *a = c.pos;
        uint32_t id_len = static_cast<uint32_t>(be_read(a, 4));
        size_t raw = id_len & ATTR_LEN_MASK;
        size_t padded = (raw + 3) & ~size_t(3);
        if (padded < 4 || padded > c.rem) {
            c.rem = 0;
            return false;
        }
        c.pos += padded;
        c.rem -= padded;
        if (decode(a, id_len, raw, m))
            return true;
    }
    return false;
}

int64_t blob_member_int(const blob_member &m)
{
    uint64_t v = be_read(m.data, m.len);
    switch (m.len) {
    case 1: return static_cast<int8_t>(v);
    case 2: return static_cast<int16_t>(v);
    case 4: return static_cast<int32_t>(v);
    default: return static_cast<int64_t>(v);
    }
}

double blob_member_double(const blob_member &m)
{
    uint64_t bits = be_read(m.data, 8);
    double d;
    memcpy(&d, &bits, sizeof d);
    return d;
}

std::string_view blob_member_string(const blob_member &m)
{
    return until_nul(m.data, m.len);
}
