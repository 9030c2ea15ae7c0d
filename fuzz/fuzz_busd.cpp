// The development broker's frame reader and message handling, fed by three
// clients at once. Input: operation bytes; the low two bits pick a client
// (3 counts as 0), the next two the action: 0 and 1 deliver a 16-bit
// length and that many bytes, 2 drops the connection (a new one takes its
// place), 3 collects everything queued for the clients. Ids are handed out
// from 0x1000 upwards, so an input can name clients and objects: clients
// 0x1000-0x1002 at the start.
//
// Checked: whatever arrives, every client receives a stream of well-formed
// frames, and the broker's tables stay consistent with each other.
#include <array>
#include <map>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "tools/busd/busd.h"
#include "tools/busd/frame.h"

using namespace busd;

namespace
{

constexpr int CLIENTS = 3;

struct session {
    Busd b;
    uint32_t next_id = 0x1000;
    std::array<uint32_t, CLIENTS> ids{};
    // Bytes each connection has been sent so far, not yet checked as frames.
    std::map<uint32_t, std::vector<uint8_t>> wire;

    session()
    {
        b.random = [this] { return next_id++; };
        // Takes half of what is offered, so queued remainders are exercised.
        b.write = [this](uint32_t to, const uint8_t *data, size_t len) {
            size_t taken = (len + 1) / 2;
            wire[to].insert(wire[to].end(), data, data + taken);
            return taken;
        };
        for (uint32_t &id : ids)
            id = busd_connect(b, "root", "root");
    }
};

// The stream a client reads must cut into complete, parseable frames.
void check_stream(std::vector<uint8_t> &stream)
{
    size_t pos = 0;
    for (;;) {
        size_t frame_len = 0;
        FrameCheck r = frame_check(stream.data() + pos, stream.size() - pos, &frame_len);
        FUZZ_CHECK(r != FrameCheck::Invalid);
        if (r == FrameCheck::Incomplete)
            break;
        MsgAttrs attrs;
        FUZZ_CHECK(msg_parse(stream.data() + pos + kHeaderLen, frame_len - kHeaderLen, &attrs));
        pos += frame_len;
    }
    stream.erase(stream.begin(), stream.begin() + long(pos));
}

void collect(session &s)
{
    for (auto &[id, c] : s.b.clients) {
        std::vector<uint8_t> &stream = s.wire[id];
        stream.insert(stream.end(), c.out.begin() + long(c.out_off), c.out.end());
        busd_consume(c, busd_queued(c));
        check_stream(stream);
        // Everything was collected, so no frame may be left half sent.
        FUZZ_CHECK(stream.empty());
    }
    s.b.flush.clear();
}

void reconnect(session &s, int slot)
{
    busd_disconnect(s.b, s.ids[slot]);
    s.wire.erase(s.ids[slot]);
    s.ids[slot] = busd_connect(s.b, "user", "users");
}

void check_tables(const Busd &b)
{
    for (const auto &[path, obj] : b.paths)
        FUZZ_CHECK(b.objects.count(obj) && b.objects.at(obj).path == path);
    for (const auto &[id, o] : b.objects) {
        FUZZ_CHECK(b.clients.count(o.owner));
        FUZZ_CHECK(o.type == 0 || b.types.count(o.type));
        FUZZ_CHECK(o.path.empty() || (b.paths.count(o.path) && b.paths.at(o.path) == id));
        for (uint32_t sub : o.subscribers)
            FUZZ_CHECK(b.objects.count(sub) && b.objects.at(sub).targets.count(id));
        for (uint32_t target : o.targets)
            FUZZ_CHECK(b.objects.count(target) && b.objects.at(target).subscribers.count(id));
    }
    std::map<uint32_t, unsigned> users;
    for (const auto &[id, o] : b.objects)
        if (o.type)
            users[o.type]++;
    for (const auto &[type, t] : b.types)
        FUZZ_CHECK(t.refs > 0 && t.refs == users[type]);
    for (const auto &[obj, caller, seq] : b.calls)
        FUZZ_CHECK(b.objects.count(obj) && b.clients.count(caller));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    session s;
    fuzz_input in{data, size};
    while (!in.empty()) {
        uint8_t op = in.byte();
        int slot = (op & 3) % CLIENTS;
        switch ((op >> 2) & 3) {
        case 0:
        case 1: {
            const uint8_t *bytes;
            size_t n = in.take(in.u16(), &bytes);
            if (!busd_receive(s.b, s.ids[slot], bytes, n))
                reconnect(s, slot);
            break;
        }
        case 2: reconnect(s, slot); break;
        case 3: collect(s); break;
        }
        check_tables(s.b);
    }
    collect(s);
    return 0;
}
