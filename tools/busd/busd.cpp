#include "tools/busd/internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <random>

namespace busd
{

namespace
{

void header_write(uint8_t *p, uint8_t version, uint8_t type, uint16_t seq, uint32_t peer)
{
    p[0] = version;
    p[1] = type;
    p[2] = uint8_t(seq >> 8);
    p[3] = uint8_t(seq);
    for (int i = 0; i < 4; i++)
        p[4 + i] = uint8_t(peer >> (24 - 8 * i));
}

void send_status(Busd &b, uint32_t to, uint16_t seq, uint32_t peer, int status)
{
    Body body;
    blob_put_u32(&body.b, UBUS_ATTR_STATUS, uint32_t(status));
    queue_body(b, to, UBUS_MSG_STATUS, seq, peer, body);
}

// PING comes back as DATA with everything else untouched, version included.
int handle_ping(Busd &b, const Msg &m)
{
    queue_frame(b, m.from, m.hdr.version, UBUS_MSG_DATA, m.hdr.seq, m.hdr.peer, m.body, m.body_len);
    return UBUS_STATUS_OK;
}

int dispatch(Busd &b, const Msg &m)
{
    switch (m.hdr.type) {
    case UBUS_MSG_PING: return handle_ping(b, m);
    case UBUS_MSG_LOOKUP: return handle_lookup(b, m);
    case UBUS_MSG_INVOKE: return handle_invoke(b, m);
    case UBUS_MSG_ADD_OBJECT: return handle_add_object(b, m);
    case UBUS_MSG_REMOVE_OBJECT: return handle_remove_object(b, m);
    case UBUS_MSG_SUBSCRIBE: return handle_subscribe(b, m);
    case UBUS_MSG_UNSUBSCRIBE: return handle_unsubscribe(b, m);
    case UBUS_MSG_NOTIFY: return handle_notify(b, m);
    case UBUS_MSG_DATA:
    case UBUS_MSG_STATUS: return handle_response(b, m);
    default: return UBUS_STATUS_INVALID_COMMAND;
    }
}

// One complete frame. False when its attributes overrun the body.
bool handle_frame(Busd &b, uint32_t from, const uint8_t *frame, size_t len)
{
    Msg m;
    m.from = from;
    m.hdr = header_read(frame);
    m.body = frame + kHeaderLen;
    m.body_len = len - kHeaderLen;
    if (!msg_parse(m.body, m.body_len, &m.a))
        return false;
    int ret = dispatch(b, m);
    if (ret != kForwarded)
        send_status(b, from, m.hdr.seq, m.hdr.peer, ret);
    return true;
}

// Handles the complete frames at the start of buf/len. Returns the number
// of bytes consumed, or -1 when the client must be dropped.
long handle_frames(Busd &b, uint32_t from, const uint8_t *buf, size_t len)
{
    size_t pos = 0;
    for (;;) {
        size_t flen = 0;
        FrameCheck r = frame_check(buf + pos, len - pos, &flen);
        if (r == FrameCheck::Incomplete)
            return long(pos);
        if (r == FrameCheck::Invalid || !handle_frame(b, from, buf + pos, flen))
            return -1;
        pos += flen;
    }
}

} // namespace

bool queue_frame(Busd &b, uint32_t to, uint8_t version, uint8_t type, uint16_t seq, uint32_t peer, const uint8_t *body,
                 size_t body_len)
{
    auto it = b.clients.find(to);
    if (it == b.clients.end())
        return false;
    Client &c = it->second;
    // A client that stopped reading must not make us hoard its traffic.
    if (busd_queued(c) > kMaxQueued) {
        c.dropped++;
        return false;
    }
    bool was_empty = busd_queued(c) == 0;
    uint8_t hdr[kHeaderLen];
    header_write(hdr, version, type, seq, peer);
    c.out.insert(c.out.end(), hdr, hdr + kHeaderLen);
    c.out.insert(c.out.end(), body, body + body_len);
    // Writing straight away keeps the queue for clients that lag behind.
    if (was_empty && b.write)
        busd_consume(c, b.write(to, c.out.data() + c.out_off, busd_queued(c)));
    if (busd_queued(c) > 0)
        b.flush.insert(to);
    return true;
}

bool queue_body(Busd &b, uint32_t to, uint8_t type, uint16_t seq, uint32_t peer, const Body &body)
{
    return queue_frame(b, to, 0, type, seq, peer, body.data(), body.len());
}

void fail_call(Busd &b, uint32_t caller, uint16_t seq, uint32_t object, int status)
{
    Body body;
    blob_put_u32(&body.b, UBUS_ATTR_STATUS, uint32_t(status));
    blob_put_u32(&body.b, UBUS_ATTR_OBJID, object);
    queue_body(b, caller, UBUS_MSG_STATUS, seq, object, body);
}

uint32_t busd_connect(Busd &b, std::string user, std::string group)
{
    uint32_t id;
    do
        id = b.random();
    while (id < UBUS_SYSTEM_OBJECT_MAX || b.clients.count(id));
    Client &c = b.clients[id];
    c.id = id;
    c.user = std::move(user);
    c.group = std::move(group);
    static const uint8_t empty[4] = {0, 0, 0, 4};
    queue_frame(b, id, 0, UBUS_MSG_HELLO, 0, id, empty, sizeof empty);
    return id;
}

bool busd_receive(Busd &b, uint32_t client, const uint8_t *data, size_t len)
{
    auto it = b.clients.find(client);
    if (it == b.clients.end())
        return false;
    std::vector<uint8_t> &in = it->second.in;
    // Usual case: whole frames arrive at once and need no copying.
    if (in.empty()) {
        long used = handle_frames(b, client, data, len);
        if (used < 0)
            return false;
        in.assign(data + used, data + len);
        return true;
    }
    in.insert(in.end(), data, data + len);
    long used = handle_frames(b, client, in.data(), in.size());
    if (used < 0)
        return false;
    in.erase(in.begin(), in.begin() + used);
    return true;
}

void busd_disconnect(Busd &b, uint32_t client)
{
    if (!b.clients.erase(client))
        return;
    b.flush.erase(client);
    std::erase_if(b.calls, [client](const CallKey &k) { return std::get<1>(k) == client; });
    std::vector<uint32_t> owned;
    for (const auto &[id, o] : b.objects)
        if (o.owner == client)
            owned.push_back(id);
    for (uint32_t id : owned)
        object_remove(b, id);
}

size_t busd_queued(const Client &c)
{
    return c.out.size() - c.out_off;
}

void busd_consume(Client &c, size_t n)
{
    c.out_off += n;
    if (c.out_off >= c.out.size()) {
        c.out.clear();
        c.out_off = 0;
    } else if (c.out_off > 65536 && c.out_off * 2 > c.out.size()) {
        c.out.erase(c.out.begin(), c.out.begin() + long(c.out_off));
        c.out_off = 0;
    }
}

uint32_t busd_urandom()
{
    static int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    uint32_t v;
    if (fd >= 0 && read(fd, &v, sizeof v) == ssize_t(sizeof v))
        return v;
    static std::mt19937 fallback{std::random_device{}()};
    return uint32_t(fallback());
}

} // namespace busd
