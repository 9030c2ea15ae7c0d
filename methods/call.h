// A bus call that waits for a port. The handler checks the arguments,
// defers the request and places the call; the reply goes out from the event
// loop when the port's thread hands the finished operation back. Every call
// is answered exactly once: with its reply, "Port busy", "Daemon is
// stopping", or a bus status; a call that arrived on a connection that has
// since been lost is dropped silently (its caller went with the broker).
#pragma once

#include <deque>
#include <string>
#include <string_view>

#include "core/bus_api.h"
#include "port/port.h"

struct port_call {
    ubus_request_data req = {};
    uint32_t generation = 0;       // of the bus connection it arrived on
    char path[PORT_PATH_MAX] = {}; // port_path_arg checked that it fits
    size_t path_length = 0;
    port_op op;
    // Set for a step of a method that queues several operations (the
    // message methods): the finished operation, or one that could not be
    // queued (op.refusal says why), goes to it instead of a reply. It owns
    // the call from then on.
    void (*step_done)(port_call *call) = nullptr;
    void *flow = nullptr;
};

port_call *call_new(const char *path, port_op_kind kind);
// A call is over: whoever owns it last frees it with this, never delete.
void call_free(port_call *call);
// Defers the request and places the call on its port (creating the record
// where the method does). Returns the handler's status.
int call_start(ubus_context *ctx, ubus_request_data *req, port_call *call);
// Places a step (step_done set) on its port; its outcome comes through
// step_done, possibly before this returns.
void call_place_step(port_call *call);
// Sends a call's reply (none if NULL) and its status OK, and frees it.
void call_complete(port_call *call, blob_attr *reply);
// The event loop hands back a finished operation.
void call_finished(port_op *op);
// Answers calls that will never run: the daemon is stopping.
void calls_stopping(std::deque<port_op *> *ops);

// Builds the reply of a finished operation into b, by method.
void open_reply(blob_buf *b, const port_call &call);
void close_reply(blob_buf *b, const port_call &call);
// Answers a finished "sendat" call with its reply, and frees it.
void sendat_answer(port_call *call);
// The reply "sendat" would give for one command run on path.
void sendat_reply_of(blob_buf *b, std::string_view path, const port_op &op);
void batch_reply(blob_buf *b, const port_call &call);
