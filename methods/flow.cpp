#include "methods/flow.h"

#include <cstring>

#include "core/daemon_state.h"

void flow_defer(ubus_context *ctx, ubus_request_data *req, flow_request *request)
{
    request->generation = g_daemon.generation;
    ubus_defer_request(ctx, req, &request->req);
}

// A request from an earlier connection is dropped: its caller went with the
// broker.
void flow_answer(flow_request *request, blob_buf *reply)
{
    if (request->generation != g_daemon.generation)
        return;
    ubus_send_reply(g_daemon.ctx, &request->req, reply->head);
    ubus_complete_deferred_request(g_daemon.ctx, &request->req, UBUS_STATUS_OK);
}

port_op flow_command(std::string command, int32_t timeout)
{
    port_op op;
    op.kind = OP_SENDAT;
    op.command = std::move(command);
    op.timeout = timeout;
    op.finals_only = true;
    op.wants_answer = true;
    return op;
}

port_op flow_batch(std::vector<port_op> steps, bool keep_going)
{
    port_op op;
    op.kind = OP_BATCH;
    op.steps = std::move(steps);
    op.keep_going = keep_going;
    return op;
}

void flow_queue(const std::string &path, port_op op, void (*done)(port_call *call), void *flow)
{
    port_call *call = call_new(path.c_str(), op.kind);
    call->op = std::move(op);
    call->step_done = done;
    call->flow = flow;
    call_place_step(call);
}

bool flow_ok(const port_op &step)
{
    return !step.refusal && step.outcome == AT_COMPLETED && strcmp(step.matched_flag, "OK") == 0;
}

std::vector<std::string> flow_lines(const port_op &step)
{
    std::vector<std::string> lines;
    std::string_view rest = step.answer;
    while (!rest.empty()) {
        size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.remove_suffix(1);
        if (!line.empty())
            lines.emplace_back(line);
    }
    return lines;
}

bool flow_line(const port_op &step, std::string_view prefix, std::string *rest)
{
    for (const std::string &line : flow_lines(step)) {
        if (!line.starts_with(prefix))
            continue;
        size_t from = line.find_first_not_of(' ', prefix.size());
        *rest = from == std::string::npos ? std::string() : line.substr(from);
        return true;
    }
    return false;
}

std::string flow_failure(const port_op &step)
{
    if (step.refusal)
        return step.refusal;
    switch (step.outcome) {
    case AT_COMPLETED: return std::string(step.matched_flag) + " (" + step.command + ")";
    case AT_TIMED_OUT: return "No answer to " + step.command;
    case AT_SEND_FAILED: break;
    }
    return "Failed to send AT command";
}
