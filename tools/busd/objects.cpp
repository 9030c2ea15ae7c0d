// ADD_OBJECT, REMOVE_OBJECT and LOOKUP.
#include "tools/busd/internal.h"

namespace busd
{

namespace
{

template <class Map>
uint32_t new_id(Busd &b, const Map &taken)
{
    uint32_t id;
    do
        id = b.random();
    while (id < UBUS_SYSTEM_OBJECT_MAX || taken.count(id));
    return id;
}

// A signature is a list of named tables (methods) of named fields
// (arguments). Clients listing objects parse it, so only well-formed ones
// are kept.
bool signature_ok(const Attr &sig)
{
    AttrIter methods(sig.data, sig.len);
    Attr m;
    while (methods.next(&m)) {
        Field f;
        if (!field_split(m, true, &f) || f.type != BLOBMSG_TYPE_TABLE)
            return false;
        AttrIter args(f.data, f.len);
        Attr a;
        while (args.next(&a))
            if (!field_split(a, true, &f))
                return false;
        if (args.bad())
            return false;
    }
    return !methods.bad();
}

void send_lookup_entry(Busd &b, const Msg &m, const std::string &path, uint32_t id)
{
    const Object &o = b.objects.at(id);
    if (!o.type)
        return;
    const std::vector<uint8_t> &sig = b.types.at(o.type).signature;
    Body body;
    blob_put_string(&body.b, UBUS_ATTR_OBJPATH, path.c_str());
    blob_put_u32(&body.b, UBUS_ATTR_OBJID, id);
    blob_put_u32(&body.b, UBUS_ATTR_OBJTYPE, o.type);
    blob_put(&body.b, UBUS_ATTR_SIGNATURE, sig.data(), unsigned(sig.size()));
    queue_body(b, m.from, UBUS_MSG_DATA, m.hdr.seq, m.hdr.peer, body);
}

void send_ids(Busd &b, const Msg &m, uint32_t object, uint32_t type)
{
    Body body;
    blob_put_u32(&body.b, UBUS_ATTR_OBJID, object);
    if (type)
        blob_put_u32(&body.b, UBUS_ATTR_OBJTYPE, type);
    queue_body(b, m.from, UBUS_MSG_DATA, m.hdr.seq, m.hdr.peer, body);
}

// Finds the type a new object gets in *type, 0 for none; false when the
// request is unusable. *created tells whether a new type was made.
bool object_type(Busd &b, const Msg &m, uint32_t *type, bool *created)
{
    *created = false;
    *type = 0;
    if (const Attr &t = m.a.tb[UBUS_ATTR_OBJTYPE]) {
        *type = attr_u32(t);
        return b.types.count(*type) != 0;
    }
    const Attr &sig = m.a.tb[UBUS_ATTR_SIGNATURE];
    if (!sig)
        return true;
    if (!signature_ok(sig))
        return false;
    *type = new_id(b, b.types);
    b.types[*type].signature.assign(sig.data, sig.data + sig.len);
    *created = true;
    return true;
}

} // namespace

int handle_add_object(Busd &b, const Msg &m)
{
    std::string path;
    if (const Attr &p = m.a.tb[UBUS_ATTR_OBJPATH]) {
        path = attr_str(p);
        if (path.empty() || b.paths.count(path))
            return UBUS_STATUS_INVALID_ARGUMENT;
    }
    bool created;
    uint32_t type;
    if (!object_type(b, m, &type, &created))
        return UBUS_STATUS_INVALID_ARGUMENT;
    uint32_t id = new_id(b, b.objects);
    Object &o = b.objects[id];
    o.owner = m.from;
    o.type = type;
    o.path = path;
    if (o.type)
        b.types[o.type].refs++;
    if (!path.empty()) {
        b.paths[path] = id;
        event_object(b, "ubus.object.add", id, path);
    }
    send_ids(b, m, id, created ? type : 0);
    return UBUS_STATUS_OK;
}

int handle_remove_object(Busd &b, const Msg &m)
{
    const Attr &a = m.a.tb[UBUS_ATTR_OBJID];
    if (!a)
        return UBUS_STATUS_INVALID_ARGUMENT;
    uint32_t id = attr_u32(a);
    if (id >= UBUS_SYSTEM_OBJECT_EVENT && id <= UBUS_SYSTEM_OBJECT_MONITOR)
        return UBUS_STATUS_PERMISSION_DENIED;
    auto it = b.objects.find(id);
    if (it == b.objects.end())
        return UBUS_STATUS_NOT_FOUND;
    if (it->second.owner != m.from)
        return UBUS_STATUS_PERMISSION_DENIED;
    uint32_t gone_type = object_remove(b, id);
    send_ids(b, m, id, gone_type);
    return UBUS_STATUS_OK;
}

uint32_t object_remove(Busd &b, uint32_t id)
{
    auto it = b.objects.find(id);
    if (it == b.objects.end())
        return 0;
    Object o = std::move(it->second);
    b.objects.erase(it);
    uint32_t gone_type = 0;
    if (o.type && --b.types[o.type].refs == 0) {
        b.types.erase(o.type);
        gone_type = o.type;
    }
    // Calls still waiting on this object would otherwise never end: the
    // owner's late replies are dropped now that the object is gone.
    auto first = b.calls.lower_bound(CallKey{id, 0, 0});
    auto last = b.calls.upper_bound(CallKey{id, UINT32_MAX, UINT16_MAX});
    for (auto c = first; c != last; ++c)
        fail_call(b, std::get<1>(*c), std::get<2>(*c), id, UBUS_STATUS_NO_DATA);
    b.calls.erase(first, last);
    subscriptions_drop(b, id, o);
    if (!o.path.empty()) {
        b.paths.erase(o.path);
        event_object(b, "ubus.object.remove", id, o.path);
    }
    return gone_type;
}

int handle_lookup(Busd &b, const Msg &m)
{
    const Attr &p = m.a.tb[UBUS_ATTR_OBJPATH];
    if (!p) {
        for (const auto &[path, id] : b.paths)
            send_lookup_entry(b, m, path, id);
        return UBUS_STATUS_OK;
    }
    std::string path = attr_str(p);
    if (path.empty())
        return UBUS_STATUS_INVALID_ARGUMENT;
    if (path.back() != '*') {
        auto it = b.paths.find(path);
        if (it == b.paths.end())
            return UBUS_STATUS_NOT_FOUND;
        send_lookup_entry(b, m, it->first, it->second);
        return UBUS_STATUS_OK;
    }
    path.pop_back();
    bool found = false;
    for (auto it = b.paths.lower_bound(path); it != b.paths.end() && it->first.compare(0, path.size(), path) == 0;
         ++it) {
        found = true;
        send_lookup_entry(b, m, it->first, it->second);
    }
    return found ? UBUS_STATUS_OK : UBUS_STATUS_NOT_FOUND;
}

} // namespace busd
