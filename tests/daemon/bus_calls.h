// Calls on the daemon's object as a test sees them: replies decoded field by
// field (raw bytes kept, unlike JSON), calls left in flight on connections
// of their own, and the daemon's descriptors, threads and resident memory
// read from /proc.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "core/bus_api.h"

// One reply, flattened: strings keep every byte up to their NUL.
struct reply_fields {
    int status = -1; // the call's final bus status; -1 while it is in flight
    bool replied = false;
    int replies = 0; // data messages received: a call gets exactly one
    std::map<std::string, std::string> text;
    std::map<std::string, int64_t> number;

    bool has(const std::string &key) const { return text.count(key) || number.count(key); }
    std::string str(const std::string &key) const;
    int64_t num(const std::string &key) const; // -1 when absent
};

// A call that stays in flight until finished; not movable once started.
struct pending_call {
    ubus_request req{};
    reply_fields reply;
};

// The call's reply.status is set when it ends, also when its context is
// only polled (ubus_handle_event) rather than waited on.
bool call_start(ubus_context *ctx, uint32_t object, const char *method, const std::string &json, pending_call &call);
// Waits for the call's end; false when it did not end in time.
bool call_finish(ubus_context *ctx, pending_call &call, int timeout_ms);
reply_fields call_now(ubus_context *ctx, uint32_t object, const char *method, const std::string &json,
                      int timeout_ms = 30000);

struct proc_usage {
    int fds = -1;
    int threads = -1;
    long rss_kb = -1;
};
proc_usage usage_of(int pid);

// JSON text of a string value, for building call arguments.
std::string json_str(const std::string &s);
// Arguments of a waiting "sendat" of command on port.
std::string sendat_args(const std::string &port, const std::string &command, int timeout = 5);

struct context_deleter {
    void operator()(ubus_context *ctx) const { ubus_free(ctx); }
};
using context_ptr = std::unique_ptr<ubus_context, context_deleter>;
