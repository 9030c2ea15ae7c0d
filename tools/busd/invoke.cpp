// INVOKE routing and the DATA/STATUS replies that come back from owners.
#include "tools/busd/internal.h"

namespace busd
{

namespace
{

// Bounds the record of unanswered calls against owners that never reply;
// past it calls still work, they just are not failed early.
constexpr size_t kMaxCalls = 65536;

bool system_object(uint32_t id)
{
    return id >= UBUS_SYSTEM_OBJECT_EVENT && id <= UBUS_SYSTEM_OBJECT_MONITOR;
}

} // namespace

void forward_call(Busd &b, const Msg &m, uint32_t object, uint32_t owner, bool no_reply)
{
    const Client &caller = b.clients.at(m.from);
    const Attr &method = m.a.tb[UBUS_ATTR_METHOD];
    const Attr &data = m.a.tb[UBUS_ATTR_DATA];
    Body body;
    if (no_reply)
        blob_put_u8(&body.b, UBUS_ATTR_NO_REPLY, 1);
    blob_put_u32(&body.b, UBUS_ATTR_OBJID, object);
    blob_put(&body.b, UBUS_ATTR_METHOD, method.data, method.len);
    blob_put_string(&body.b, UBUS_ATTR_USER, caller.user.c_str());
    blob_put_string(&body.b, UBUS_ATTR_GROUP, caller.group.c_str());
    if (data)
        blob_put(&body.b, UBUS_ATTR_DATA, data.data, data.len);
    bool sent = queue_body(b, owner, UBUS_MSG_INVOKE, m.hdr.seq, m.from, body);
    if (no_reply)
        return;
    if (!sent) {
        // The owner is not reading; waiting for it would be in vain.
        fail_call(b, m.from, m.hdr.seq, object, UBUS_STATUS_NO_DATA);
        return;
    }
    if (b.calls.size() < kMaxCalls)
        b.calls.insert(CallKey{object, m.from, m.hdr.seq});
}

int handle_invoke(Busd &b, const Msg &m)
{
    const Attr &obj = m.a.tb[UBUS_ATTR_OBJID];
    if (!obj || !m.a.tb[UBUS_ATTR_METHOD])
        return UBUS_STATUS_INVALID_ARGUMENT;
    uint32_t id = attr_u32(obj);
    if (id == UBUS_SYSTEM_OBJECT_EVENT)
        return handle_event_call(b, m);
    if (system_object(id))
        return UBUS_STATUS_METHOD_NOT_FOUND;
    auto it = b.objects.find(id);
    if (it == b.objects.end())
        return UBUS_STATUS_NOT_FOUND;
    // A caller's NO_REPLY is not passed on: the owner always answers.
    forward_call(b, m, id, it->second.owner, false);
    return kForwarded;
}

// A reply goes back only from the object's owner to a connected client;
// anything else (including listeners answering event deliveries, which
// carry peer 0) is dropped without a word.
int handle_response(Busd &b, const Msg &m)
{
    const Attr &obj = m.a.tb[UBUS_ATTR_OBJID];
    bool is_status = m.hdr.type == UBUS_MSG_STATUS;
    const Attr &payload = m.a.tb[is_status ? UBUS_ATTR_STATUS : UBUS_ATTR_DATA];
    if (!obj || !payload)
        return kForwarded;
    uint32_t id = attr_u32(obj);
    auto it = b.objects.find(id);
    if (it == b.objects.end() || it->second.owner != m.from || !b.clients.count(m.hdr.peer))
        return kForwarded;
    queue_frame(b, m.hdr.peer, m.hdr.version, m.hdr.type, m.hdr.seq, id, m.body, m.body_len);
    if (is_status)
        b.calls.erase(CallKey{id, m.hdr.peer, m.hdr.seq});
    return kForwarded;
}

} // namespace busd
