// SUBSCRIBE, UNSUBSCRIBE and NOTIFY: objects following other objects.
#include "tools/busd/internal.h"

namespace busd
{

namespace
{

// Tells a target's owner whether anyone listens to it now.
void send_active(Busd &b, uint32_t target, bool active)
{
    auto it = b.objects.find(target);
    if (it == b.objects.end())
        return;
    Body body;
    blob_put_u32(&body.b, UBUS_ATTR_OBJID, target);
    blob_put_u8(&body.b, UBUS_ATTR_ACTIVE, active);
    queue_body(b, it->second.owner, UBUS_MSG_NOTIFY, ++it->second.notify_seq, 0, body);
}

// Checks a (subscriber, target) request. On success sets the two objects.
int subscription(Busd &b, const Msg &m, Object **sub, Object **target)
{
    const Attr &s = m.a.tb[UBUS_ATTR_OBJID];
    const Attr &t = m.a.tb[UBUS_ATTR_TARGET];
    if (!s || !t)
        return UBUS_STATUS_INVALID_ARGUMENT;
    auto si = b.objects.find(attr_u32(s));
    auto ti = b.objects.find(attr_u32(t));
    if (si == b.objects.end() || ti == b.objects.end())
        return UBUS_STATUS_NOT_FOUND;
    if (si->second.owner != m.from)
        return UBUS_STATUS_PERMISSION_DENIED;
    *sub = &si->second;
    *target = &ti->second;
    return UBUS_STATUS_OK;
}

} // namespace

int handle_subscribe(Busd &b, const Msg &m)
{
    Object *sub, *target;
    if (int ret = subscription(b, m, &sub, &target))
        return ret;
    uint32_t s = attr_u32(m.a.tb[UBUS_ATTR_OBJID]), t = attr_u32(m.a.tb[UBUS_ATTR_TARGET]);
    bool first = target->subscribers.empty();
    target->subscribers.insert(s);
    sub->targets.insert(t);
    if (first)
        send_active(b, t, true);
    return UBUS_STATUS_OK;
}

int handle_unsubscribe(Busd &b, const Msg &m)
{
    Object *sub, *target;
    if (int ret = subscription(b, m, &sub, &target))
        return ret;
    uint32_t s = attr_u32(m.a.tb[UBUS_ATTR_OBJID]), t = attr_u32(m.a.tb[UBUS_ATTR_TARGET]);
    sub->targets.erase(t);
    if (target->subscribers.erase(s) && target->subscribers.empty())
        send_active(b, t, false);
    return UBUS_STATUS_OK;
}

int handle_notify(Busd &b, const Msg &m)
{
    const Attr &obj = m.a.tb[UBUS_ATTR_OBJID];
    if (!obj || !m.a.tb[UBUS_ATTR_METHOD])
        return UBUS_STATUS_INVALID_ARGUMENT;
    uint32_t id = attr_u32(obj);
    auto it = b.objects.find(id);
    if (it == b.objects.end())
        return UBUS_STATUS_NOT_FOUND;
    if (it->second.owner != m.from)
        return UBUS_STATUS_PERMISSION_DENIED;
    const Attr &nr = m.a.tb[UBUS_ATTR_NO_REPLY];
    bool no_reply = nr && nr.data[0] != 0;
    // Copied: forwarding may drop calls, but never objects.
    std::set<uint32_t> subs = it->second.subscribers;
    if (!no_reply) {
        // The publisher learns whom to wait for before any answer arrives.
        Body body;
        blob_put_u32(&body.b, UBUS_ATTR_OBJID, id);
        void *list = blob_nest_start(&body.b, UBUS_ATTR_SUBSCRIBERS);
        for (uint32_t s : subs)
            blob_put_u32(&body.b, 0, s);
        blob_nest_end(&body.b, list);
        blob_put_u32(&body.b, UBUS_ATTR_STATUS, UBUS_STATUS_OK);
        queue_body(b, m.from, UBUS_MSG_STATUS, m.hdr.seq, m.hdr.peer, body);
    }
    for (uint32_t s : subs)
        forward_call(b, m, s, b.objects.at(s).owner, no_reply);
    return kForwarded;
}

void subscriptions_drop(Busd &b, uint32_t object, const Object &o)
{
    for (uint32_t s : o.subscribers) {
        auto it = b.objects.find(s);
        if (it == b.objects.end())
            continue;
        it->second.targets.erase(object);
        Body body;
        blob_put_u32(&body.b, UBUS_ATTR_OBJID, s);
        blob_put_u32(&body.b, UBUS_ATTR_TARGET, object);
        queue_body(b, it->second.owner, UBUS_MSG_UNSUBSCRIBE, 0, 0, body);
    }
    for (uint32_t t : o.targets) {
        auto it = b.objects.find(t);
        if (it != b.objects.end() && it->second.subscribers.erase(object) && it->second.subscribers.empty())
            send_active(b, t, false);
    }
}

} // namespace busd
