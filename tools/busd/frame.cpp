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

// Payload type of each message attribute, as a receiver checks it.
int attr_type(int id)
{
    switch (id) {
    case UBUS_ATTR_STATUS:
    case UBUS_ATTR_OBJID:
    case UBUS_ATTR_OBJTYPE:
    case UBUS_ATTR_TARGET: return BLOB_ATTR_INT32;
    case UBUS_ATTR_ACTIVE:
    case UBUS_ATTR_NO_REPLY: return BLOB_ATTR_INT8;
    case UBUS_ATTR_OBJPATH:
    case UBUS_ATTR_METHOD:
    case UBUS_ATTR_USER:
    case UBUS_ATTR_GROUP: return BLOB_ATTR_STRING;
    default: return BLOB_ATTR_UNSPEC;
    }
}

} // namespace

Header header_read(const uint8_t *p)
{
    return Header{p[0], p[1], rd16(p + 2), rd32(p + 4)};
}

FrameCheck frame_check(const uint8_t *buf, size_t len, size_t *frame_len)
{
    if (len < kHeaderLen + 4)
        return FrameCheck::Incomplete;
    size_t body = rd32(buf + kHeaderLen) & BLOB_ATTR_LEN_MASK;
    if (body < sizeof(blob_attr) || attr_walk::padded(body) > kMaxBody)
        return FrameCheck::Invalid;
    if (len < kHeaderLen + body)
        return FrameCheck::Incomplete;
    *frame_len = kHeaderLen + body;
    return FrameCheck::Complete;
}

bool msg_parse(const uint8_t *body, size_t len, MsgAttrs *out)
{
    *out = MsgAttrs{};
    Attr root;
    if (!attr_walk::read_attr(body, len, &root))
        return false;
    AttrIter it(root.data, root.len);
    Attr a;
    while (it.next(&a)) {
        if (a.id >= kMsgAttrMax || !attr_walk::payload_ok(attr_type(int(a.id)), a.data, a.len))
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
    return a.extended && attr_walk::split_value(a, named, out);
}

} // namespace busd
