#include "tools/busd/frame.h"

extern "C" {
#include <libubox/blobmsg.h>
#include <ubusmsg.h>
}

namespace busd
{

static_assert(kMsgAttrMax == UBUS_ATTR_MAX);

namespace
{

constexpr uint32_t kExtended = 0x80000000u;
constexpr uint32_t kIdMask = 0x7f000000u;
constexpr uint32_t kLenMask = 0x00ffffffu;

// Type of each message attribute, as the receiver checks it.
enum class Kind { Any, I8, I32, Str };

Kind attr_kind(int id)
{
    switch (id) {
    case UBUS_ATTR_STATUS:
    case UBUS_ATTR_OBJID:
    case UBUS_ATTR_OBJTYPE:
    case UBUS_ATTR_TARGET: return Kind::I32;
    case UBUS_ATTR_ACTIVE:
    case UBUS_ATTR_NO_REPLY: return Kind::I8;
    case UBUS_ATTR_OBJPATH:
    case UBUS_ATTR_METHOD:
    case UBUS_ATTR_USER:
    case UBUS_ATTR_GROUP: return Kind::Str;
    default: return Kind::Any;
    }
}

bool kind_ok(Kind k, const Attr &a)
{
    switch (k) {
    case Kind::I8: return a.len == 1;
    case Kind::I32: return a.len == 4;
    case Kind::Str: return a.len >= 1 && a.data[a.len - 1] == 0;
    case Kind::Any: return true;
    }
    return false;
}

size_t pad4(size_t n)
{
    return (n + 3) & ~size_t(3);
}

} // namespace

uint16_t rd16(const uint8_t *p)
{
    return uint16_t(p[0] << 8 | p[1]);
}

uint32_t rd32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

Header header_read(const uint8_t *p)
{
    return Header{p[0], p[1], rd16(p + 2), rd32(p + 4)};
}

FrameCheck frame_check(const uint8_t *buf, size_t len, size_t *frame_len)
{
    if (len < kHeaderLen + 4)
        return FrameCheck::Incomplete;
    size_t body = rd32(buf + kHeaderLen) & kLenMask;
    if (body < 4 || pad4(body) > kMaxBody)
        return FrameCheck::Invalid;
    if (len < kHeaderLen + body)
        return FrameCheck::Incomplete;
    *frame_len = kHeaderLen + body;
    return FrameCheck::Complete;
}

bool AttrIter::next(Attr *out)
{
    if (rem == 0 || broken)
        return false;
    if (rem < 4) {
        broken = true;
        return false;
    }
    uint32_t w = rd32(pos);
    size_t raw = w & kLenMask;
    if (raw < 4 || raw > rem) {
        broken = true;
        return false;
    }
    out->data = pos + 4;
    out->len = uint32_t(raw - 4);
    out->id = uint8_t((w & kIdMask) >> 24);
    out->extended = (w & kExtended) != 0;
    // The last attribute of a region may lack its padding.
    size_t step = pad4(raw) < rem ? pad4(raw) : rem;
    pos += step;
    rem -= step;
    return true;
}

bool msg_parse(const uint8_t *body, size_t len, MsgAttrs *out)
{
    *out = MsgAttrs{};
    if (len < 4)
        return false;
    size_t raw = rd32(body) & kLenMask;
    if (raw < 4 || raw > len)
        return false;
    AttrIter it(body + 4, raw - 4);
    Attr a;
    while (it.next(&a)) {
        if (a.id >= kMsgAttrMax || !kind_ok(attr_kind(a.id), a))
            continue;
        out->tb[a.id] = a;
    }
    return !it.bad();
}

uint32_t attr_u32(const Attr &a)
{
    return a.len >= 4 ? rd32(a.data) : 0;
}

const char *attr_str(const Attr &a)
{
    return reinterpret_cast<const char *>(a.data);
}

bool field_split(const Attr &a, bool named, Field *out)
{
    if (!a.extended || a.len < 2)
        return false;
    uint16_t namelen = rd16(a.data);
    size_t hdr = pad4(2 + size_t(namelen) + 1);
    if ((named && namelen == 0) || hdr > a.len || a.data[2 + namelen] != 0)
        return false;
    Field f;
    f.name = reinterpret_cast<const char *>(a.data + 2);
    f.namelen = namelen;
    f.type = a.id;
    f.data = a.data + hdr;
    f.len = uint32_t(a.len - hdr);
    switch (f.type) {
    case BLOBMSG_TYPE_UNSPEC:
    case BLOBMSG_TYPE_ARRAY:
    case BLOBMSG_TYPE_TABLE: break;
    case BLOBMSG_TYPE_STRING:
        if (f.len < 1 || f.data[f.len - 1] != 0)
            return false;
        break;
    case BLOBMSG_TYPE_INT64:
        if (f.len != 8)
            return false;
        break;
    case BLOBMSG_TYPE_INT32:
        if (f.len != 4)
            return false;
        break;
    case BLOBMSG_TYPE_INT16:
        if (f.len != 2)
            return false;
        break;
    case BLOBMSG_TYPE_INT8:
        if (f.len != 1)
            return false;
        break;
    case BLOBMSG_TYPE_DOUBLE:
        if (f.len < 8)
            return false;
        break;
    default: return false;
    }
    *out = f;
    return true;
}

} // namespace busd
