#include "methods/call.h"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/daemon_state.h"
#include "methods/reply.h"

static bool current(const port_call *call)
{
    return call->generation == g_daemon.generation;
}

// A call from an earlier connection is dropped: its caller went with the
// broker. The request's req_fd is never touched: the bus library closed
// the caller's descriptor when the handler returned, and its number may
// name one of our devices by now.
static void complete(port_call *call, blob_attr *reply, int status)
{
    if (current(call)) {
        if (reply)
            ubus_send_reply(g_daemon.ctx, &call->req, reply);
        ubus_complete_deferred_request(g_daemon.ctx, &call->req, status);
    }
    call_free(call);
}

static void complete_error(port_call *call, const char *message)
{
    if (call->step_done) {
        call->op.refusal = message;
        call->op.outcome = AT_SEND_FAILED;
        call->step_done(call);
        return;
    }
    reply_buf r;
    add_error(&r.b, message);
    complete(call, r.b.head, UBUS_STATUS_OK);
}

// Finds the record a call runs on, making one where the method does.
// Returns nullptr when the call has been answered instead.
static port_entry *record_for(port_call *call)
{
    port_engine *engine = g_daemon.engine;
    port_entry *entry = port_find(engine, call->path);
    if (entry)
        return entry;
    switch (call->op.kind) {
    case OP_CLOSE: complete_error(call, "Port not found"); return nullptr;
    case OP_OPEN:
        if (!port_name_valid(call->path) || !port_name_exists(engine, call->path)) {
            complete_error(call, "Port file does not exist");
            return nullptr;
        }
        break;
    case OP_SENDAT:
    case OP_BATCH:
        // A name that is neither a path nor hardware never leads anywhere.
        if (!port_name_valid(call->path)) {
            complete_error(call, "Port file does not exist");
            return nullptr;
        }
        break;
    }
    if (!port_args_fit(engine, call->op.arg_bytes)) {
        complete_error(call, "Port busy");
        return nullptr;
    }
    entry = port_create(engine, call->path);
    if (!entry && call->step_done)
        complete_error(call, "Port busy");
    else if (!entry)
        complete(call, nullptr, UBUS_STATUS_NO_DATA);
    else
        call->op.created = true;
    return entry;
}

static void place(port_call *call)
{
    if (port_engine_stopping(g_daemon.engine)) {
        complete_error(call, "Daemon is stopping");
        return;
    }
    call->op.created = false;
    port_entry *entry = record_for(call);
    if (entry && !port_submit(entry, &call->op))
        complete_error(call, "Port busy");
}

// Calls come one after another, alike: the storage of a finished one, its
// answer's included, serves the next instead of going back to the heap (an
// answer is filled on the port's thread, and freed here it would cost both
// threads' allocators a slow path). A few are kept, and no large answer.
constexpr size_t SPARE_CALLS_MAX = 16;
constexpr size_t SPARE_RESPONSE_MAX = 1024;
static std::vector<std::unique_ptr<port_call>> spare_calls;

void call_free(port_call *call)
{
    if (spare_calls.size() >= SPARE_CALLS_MAX) {
        delete call;
        return;
    }
    std::string response;
    if (call->op.response.capacity() <= SPARE_RESPONSE_MAX)
        response = std::move(call->op.response);
    call->~port_call();
    new (call) port_call; // every member has its initial value
    response.clear();
    call->op.response = std::move(response);
    spare_calls.emplace_back(call);
}

port_call *call_new(const char *path, port_op_kind kind)
{
    port_call *call;
    if (spare_calls.empty()) {
        call = new port_call();
    } else {
        call = spare_calls.back().release();
        spare_calls.pop_back();
    }
    call->path_length = strnlen(path, PORT_PATH_MAX - 1);
    memcpy(call->path, path, call->path_length);
    call->path[call->path_length] = '\0';
    call->op.kind = kind;
    return call;
}

static size_t op_bytes(const port_op &op)
{
    size_t bytes = op.command.size() + op.end_flag.size() + op.data.size();
    for (const std::string &prefix : op.unsolicited)
        bytes += prefix.size();
    for (const std::string &command : op.init)
        bytes += command.size();
    for (const port_op &step : op.steps)
        bytes += op_bytes(step);
    return bytes;
}

void call_place_step(port_call *call)
{
    call->op.arg_bytes = call->path_length + op_bytes(call->op);
    call->op.owner = call;
    call->generation = g_daemon.generation;
    place(call);
}

int call_start(ubus_context *ctx, ubus_request_data *req, port_call *call)
{
    call->op.arg_bytes = call->path_length + op_bytes(call->op);
    call->op.owner = call;
    call->generation = g_daemon.generation;
    ubus_defer_request(ctx, req, &call->req);
    place(call);
    return UBUS_STATUS_OK;
}

static void answer(port_call *call)
{
    if (call->step_done) {
        call->step_done(call);
        return;
    }
    if (call->op.kind == OP_SENDAT) {
        sendat_answer(call);
        return;
    }
    reply_buf r;
    switch (call->op.kind) {
    case OP_OPEN: open_reply(&r.b, *call); break;
    case OP_CLOSE: close_reply(&r.b, *call); break;
    case OP_SENDAT: break; // answered above
    case OP_BATCH: batch_reply(&r.b, *call); break;
    }
    complete(call, r.b.head, UBUS_STATUS_OK);
}

void call_complete(port_call *call, blob_attr *reply)
{
    complete(call, reply, UBUS_STATUS_OK);
}

void call_finished(port_op *op)
{
    port_call *call = static_cast<port_call *>(op->owner);
    if (!op->remove_record) {
        answer(call);
        return;
    }
    // Calls queued behind a close (or behind an open that removed the record
    // it made) run as if they had arrived after it.
    std::deque<port_op *> leftovers;
    port_retire(op->entry, &leftovers);
    answer(call);
    for (port_op *left : leftovers) {
        // A caller that is no bus call (a virtual port) hears that it did not run.
        if (left->finished)
            left->finished(left);
        else
            place(static_cast<port_call *>(left->owner));
    }
}

void calls_stopping(std::deque<port_op *> *ops)
{
    for (port_op *op : *ops) {
        if (op->finished)
            op->finished(op);
        else
            complete_error(static_cast<port_call *>(op->owner), "Daemon is stopping");
    }
    ops->clear();
}
