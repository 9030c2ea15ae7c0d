// The development broker's state and message handling, without sockets.
//
// The server (or a test) announces each connection with busd_connect(),
// hands every received byte to busd_receive() and calls busd_disconnect()
// when the connection ends. Outgoing bytes go to the `write` hook while a
// client has nothing queued, the rest accumulates in its `out` queue; the
// ids of clients with queued bytes are collected in `Busd::flush` for the
// caller to write out later. Single-threaded.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace busd
{

constexpr size_t kMaxQueued = 1048576; // unsent bytes before we drop

struct Client {
    uint32_t id = 0;
    std::string user, group;  // names added to forwarded calls
    std::vector<uint8_t> in;  // bytes of an incomplete frame
    std::vector<uint8_t> out; // unsent bytes start at out_off
    size_t out_off = 0;
    size_t dropped = 0; // messages lost to a full queue
};

struct ObjType {
    std::vector<uint8_t> signature; // SIGNATURE payload as received
    unsigned refs = 0;
};

struct Object {
    uint32_t owner = 0;
    uint32_t type = 0;              // 0: typeless, hidden from LOOKUP
    std::string path;               // empty: anonymous
    std::set<std::string> patterns; // event subscriptions
    std::set<uint32_t> subscribers; // objects receiving our notifications
    std::set<uint32_t> targets;     // objects we are subscribed to
    uint16_t notify_seq = 0;
};

// A forwarded call whose final STATUS has not come back yet:
// (object, caller, seq).
using CallKey = std::tuple<uint32_t, uint32_t, uint16_t>;

struct Busd {
    std::map<uint32_t, Client> clients;
    std::map<uint32_t, Object> objects;
    std::map<uint32_t, ObjType> types;
    std::map<std::string, uint32_t> paths; // byte-wise order
    std::set<CallKey> calls;
    uint16_t event_seq = 0;
    std::set<uint32_t> flush;         // clients with new output
    std::function<uint32_t()> random; // id source
    // Optional: writes to a client at once, returns the bytes it took.
    // Must not call back into the broker.
    std::function<size_t(uint32_t client, const uint8_t *data, size_t len)> write;
};

// Registers a new connection and queues its HELLO. Returns the client id.
uint32_t busd_connect(Busd &b, std::string user, std::string group);

// Feeds received bytes. Returns false when the client broke the protocol
// and must be disconnected (the caller then calls busd_disconnect()).
bool busd_receive(Busd &b, uint32_t client, const uint8_t *data, size_t len);

// Forgets a connection: its objects vanish and calls waiting on them fail.
void busd_disconnect(Busd &b, uint32_t client);

// Unsent bytes of a client.
size_t busd_queued(const Client &c);

// Marks `n` queued bytes of a client as written.
void busd_consume(Client &c, size_t n);

// Random u32 from /dev/urandom (ids are drawn from it).
uint32_t busd_urandom();

} // namespace busd
