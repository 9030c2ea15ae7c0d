// The event object (id 1): "register" and "send", and event delivery.
#include "tools/busd/internal.h"

#include <cstring>
#include <string_view>

namespace busd
{

namespace
{

struct Want {
    const char *name;
    int type;
};

// Picks named fields out of a DATA payload: the first field with the
// wanted name and type fills its slot. False if the payload is malformed
// or a field is missing.
template <size_t N>
bool fields_get(const Attr &data, const Want (&want)[N], Field (&out)[N])
{
    bool found[N] = {};
    if (!data)
        return false;
    AttrIter it(data.data, data.len);
    Attr a;
    while (it.next(&a)) {
        Field f;
        if (!field_split(a, false, &f))
            return false;
        for (size_t i = 0; i < N; i++) {
            if (found[i] || f.type != want[i].type || f.namelen != strlen(want[i].name) ||
                memcmp(f.name, want[i].name, f.namelen) != 0)
                continue;
            out[i] = f;
            found[i] = true;
        }
    }
    for (bool got : found)
        if (!got)
            return false;
    return !it.bad();
}

bool pattern_match(const std::string &pattern, std::string_view name)
{
    if (!pattern.empty() && pattern.back() == '*')
        return name.starts_with(std::string_view(pattern).substr(0, pattern.size() - 1));
    return name == pattern;
}

int event_register(Busd &b, const Msg &m)
{
    static const Want want[] = {{"object", BLOBMSG_TYPE_INT32}, {"pattern", BLOBMSG_TYPE_STRING}};
    Field f[2];
    if (!fields_get(m.a.tb[UBUS_ATTR_DATA], want, f))
        return UBUS_STATUS_INVALID_ARGUMENT;
    uint32_t id = rd32(f[0].data);
    const char *pattern = reinterpret_cast<const char *>(f[1].data);
    if (id < UBUS_SYSTEM_OBJECT_MAX)
        return UBUS_STATUS_PERMISSION_DENIED;
    auto it = b.objects.find(id);
    if (it == b.objects.end())
        return UBUS_STATUS_NOT_FOUND;
    if (it->second.owner != m.from || !*pattern)
        return UBUS_STATUS_PERMISSION_DENIED;
    it->second.patterns.insert(pattern);
    return UBUS_STATUS_OK;
}

int event_send(Busd &b, const Msg &m)
{
    static const Want want[] = {{"id", BLOBMSG_TYPE_STRING}, {"data", BLOBMSG_TYPE_TABLE}};
    Field f[2];
    if (!fields_get(m.a.tb[UBUS_ATTR_DATA], want, f))
        return UBUS_STATUS_INVALID_ARGUMENT;
    const char *name = reinterpret_cast<const char *>(f[0].data);
    // Only the broker speaks for itself.
    if (strncmp(name, "ubus.", 5) == 0)
        return UBUS_STATUS_PERMISSION_DENIED;
    event_deliver(b, m.from, name, f[1].data, f[1].len);
    return UBUS_STATUS_OK;
}

} // namespace

int handle_event_call(Busd &b, const Msg &m)
{
    const char *method = attr_str(m.a.tb[UBUS_ATTR_METHOD]);
    if (strcmp(method, "register") == 0)
        return event_register(b, m);
    if (strcmp(method, "send") == 0)
        return event_send(b, m);
    return UBUS_STATUS_METHOD_NOT_FOUND;
}

void event_deliver(Busd &b, uint32_t sender, const char *name, const uint8_t *data, size_t len)
{
    // Every event advances the counter, delivered or not.
    uint16_t seq = ++b.event_seq;
    std::string_view ev(name);
    for (const auto &[id, o] : b.objects) {
        if (o.owner == sender || o.patterns.empty())
            continue;
        bool hit = false;
        for (const std::string &p : o.patterns)
            hit = hit || pattern_match(p, ev);
        if (!hit)
            continue;
        Body body;
        blob_put_u32(&body.b, UBUS_ATTR_OBJID, id);
        blob_put_string(&body.b, UBUS_ATTR_METHOD, name);
        blob_put(&body.b, UBUS_ATTR_DATA, data, unsigned(len));
        queue_body(b, o.owner, UBUS_MSG_INVOKE, seq, 0, body);
    }
}

void event_object(Busd &b, const char *name, uint32_t object, const std::string &path)
{
    Body data;
    blobmsg_add_u32(&data.b, "id", object);
    blobmsg_add_string(&data.b, "path", path.c_str());
    event_deliver(b, 0, name, data.data() + 4, data.len() - 4);
}

} // namespace busd
