#include "tools/cli/blob_walk.h"

#include <cstring>

namespace
{

std::string_view until_nul(const void *p, size_t n)
{
    const void *nul = memchr(p, 0, n);
    size_t len = nul ? static_cast<size_t>(static_cast<const char *>(nul) - static_cast<const char *>(p)) : n;
    return {static_cast<const char *>(p), len};
}

} // namespace

bool blob_member_next(blob_cursor &c, blob_member &m)
{
    attr_walk::attr a;
    while (c.next(&a) == attr_walk::step::attr) {
        attr_walk::value v;
        if (!attr_walk::split_value(a, false, &v))
            continue;
        m.type = v.type;
        m.name = until_nul(v.name, v.namelen);
        m.data = v.data;
        m.len = v.len;
        return true;
    }
    return false;
}

int64_t blob_member_int(const blob_member &m)
{
    uint64_t v = attr_walk::read_be(m.data, m.len);
    switch (m.len) {
    case 1: return static_cast<int8_t>(v);
    case 2: return static_cast<int16_t>(v);
    case 4: return static_cast<int32_t>(v);
    default: return static_cast<int64_t>(v);
    }
}

double blob_member_double(const blob_member &m)
{
    uint64_t bits = attr_walk::read_be(m.data, 8);
    double d;
    memcpy(&d, &bits, sizeof d);
    return d;
}

std::string_view blob_member_string(const blob_member &m)
{
    return until_nul(m.data, m.len);
}
