// Methods that queue more than one operation on a port (the message
// methods, "ussd"): the deferred request they answer once, and their steps.
#pragma once

#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

#include "core/bus_api.h"
#include "methods/call.h"
#include "port/port.h"

struct flow_request {
    ubus_request_data req;
    uint32_t generation; // of the bus connection it arrived on
};

// Defers the request for a later flow_answer.
void flow_defer(ubus_context *ctx, ubus_request_data *req, flow_request *request);
// Sends the reply and completes the request, unless its connection is gone.
void flow_answer(flow_request *request, blob_buf *reply);

// A command of ours: waits for any final result (timeout in seconds) and
// collects its own lines.
port_op flow_command(std::string command, int32_t timeout);
port_op flow_batch(std::vector<port_op> steps, bool keep_going);
// Queues op on path; done gets the call (and owns it) once the op finished
// or could not be queued, possibly before this returns.
void flow_queue(const std::string &path, port_op op, void (*done)(port_call *call), void *flow);

// Whether a command ran and its final result was OK.
bool flow_ok(const port_op &step);
// A step's answer lines (CR LF cut, empty ones left out).
std::vector<std::string> flow_lines(const port_op &step);
// The first answer line starting with prefix, without the prefix and the
// blanks after it; false when there is none.
bool flow_line(const port_op &step, std::string_view prefix, std::string *rest);
// What a step that did not succeed says: the refusal, the modem's final
// result, or that it timed out or could not be sent.
std::string flow_failure(const port_op &step);
