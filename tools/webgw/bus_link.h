// The gateway's one bus connection, on a thread of its own that runs the
// event loop: every other thread asks it for work and waits for the answer.
// Until the first connection the broker is looked for every second. A
// connection once lost is never made again, as the router's web server
// does not reconnect either: from then on every object counts as missing,
// and open streams stay open but silent.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct bus_link;

// Starts the thread; socket empty: the library's default. Returns once the
// first connection was tried.
bus_link *bus_link_start(const std::string &socket);
// Whether the connection is up: made, and not lost since.
bool bus_link_connected(bus_link *link);
// Ends every stream and call and joins the thread; from then on every
// request is answered at once, as if there were no broker.
void bus_link_stop(bus_link *link);
// Once no other thread uses the link any more.
void bus_link_free(bus_link *link);

enum class call_end {
    done,      // the bus answered: status (and data when a table came back)
    not_found, // no such object (or no broker)
    timed_out, // the gateway's own wait ran out
};

struct call_outcome {
    call_end end = call_end::not_found;
    int status = 0;
    std::string data; // JSON object text of the reply, empty when none came
};

// Calls object.method with args_json (a JSON object's text), waiting at
// most wait for the final status.
call_outcome bus_link_call(bus_link *link, const std::string &object, const std::string &method,
                           const std::string &args_json, std::chrono::milliseconds wait);

// Whether the broker knows object.
bool bus_link_exists(bus_link *link, const std::string &object);
// Every object's path, in the broker's order.
std::vector<std::string> bus_link_objects(bus_link *link);
// One JSON member per object found, "path":{"method":{"arg":"type",...},...},
// comma-separated.
std::string bus_link_signatures(bus_link *link, const std::vector<std::string> &paths);

// The notifications of one object, as server-sent event text, for one
// reader. Ends when the object goes, when the reader falls too far behind,
// or when the link stops; a lost broker only silences it.
struct notification_stream {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::string> messages; // "event: TYPE\ndata: JSON\n\n"
    bool ended = false;
    void *hook = nullptr; // the bus side's subscriber, touched by the bus thread only
};

// nullptr when the object does not exist (or there is no broker).
std::shared_ptr<notification_stream> bus_link_subscribe(bus_link *link, const std::string &object);
// Takes the stream's messages, waiting up to wait for one; false once the
// stream has ended and nothing is left.
bool notification_stream_take(notification_stream &s, std::string *text, std::chrono::milliseconds wait);
// The reader is gone, or idle too long: the subscription is dropped. The
// stream itself is left alone, and never hears more.
void bus_link_unsubscribe(bus_link *link, const std::shared_ptr<notification_stream> &stream);
