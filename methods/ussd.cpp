// "ussd": reads the modem's character set, sends the code (ending a session
// that waits for a reply first when a new code starts), and answers with
// the first +CUSD: line the port published after the command was written.
// The port is held for the commands only; the answer is watched for among
// the port's events. Calls on one port run one at a time.
#include <deque>
#include <map>

#include "methods/flow.h"
#include "methods/methods.h"
#include "methods/reply.h"
#include "sms/sms_codec.h"

const blobmsg_policy ussd_policy[USSD_POLICY_MAX] = {
    {"at_port", BLOBMSG_TYPE_STRING},
    {"code", BLOBMSG_TYPE_STRING},
    {"timeout", BLOBMSG_TYPE_INT32},
};

namespace
{

constexpr int32_t USSD_TIMEOUT_DEFAULT = 30;
constexpr size_t USSD_CODE_MAX = 182; // the longest USSD string
constexpr size_t CUSD_LINES_MAX = 8;  // of one answer cut over several lines
constexpr size_t SEEN_MAX = 256;      // lines kept while waiting

struct ussd_flow;

struct ussd_timer {
    uloop_timeout timeout;
    ussd_flow *flow;
};

struct seen_line {
    uint64_t line_no;
    std::string line;
};

struct ussd_flow {
    flow_request request;
    std::string path, code;
    int32_t timeout = USSD_TIMEOUT_DEFAULT;
    std::string charset;
    bool collecting = false; // the code is queued: the port's lines are kept
    bool waiting = false;    // the code was written and answered OK
    uint64_t after = 0;      // lines published before it was written
    std::vector<seen_line> seen;
    ussd_timer timer{};
};

struct ussd_port {
    std::deque<ussd_flow *> calls; // the first one runs
    bool session_waits = false;    // the last answer had state 1
};

std::map<std::string, ussd_port> ports;

void begin(ussd_flow *flow);

void answer(ussd_flow *flow, blob_buf *b)
{
    flow_answer(&flow->request, b);
    uloop_timeout_cancel(&flow->timer.timeout);
    auto it = ports.find(flow->path);
    delete flow;
    if (it == ports.end())
        return;
    it->second.calls.pop_front();
    if (!it->second.calls.empty())
        begin(it->second.calls.front());
    else if (!it->second.session_waits)
        ports.erase(it);
}

void fail(ussd_flow *flow, const std::string &message, const char *status = "error")
{
    reply_buf r;
    blobmsg_add_string(&r.b, "status", status);
    blobmsg_add_string(&r.b, "message", message.c_str());
    answer(flow, &r.b);
}

// Whether a +CUSD: text (lines joined by "\n") has its string closed, or
// none: nothing more belongs to it.
bool closed(const std::string &text)
{
    size_t open = text.find('"');
    return open == std::string::npos || text.find('"', open + 1) != std::string::npos;
}

void reply_text(ussd_flow *flow, const std::string &text)
{
    ussd_reply parsed = ussd_parse_line(text);
    if (!parsed.error.empty()) {
        fail(flow, "Unreadable USSD answer: " + parsed.error);
        return;
    }
    ports[flow->path].session_waits = parsed.m == 1;
    reply_buf r;
    blobmsg_add_string(&r.b, "status", "success");
    blobmsg_add_u32(&r.b, "state", static_cast<uint32_t>(parsed.m));
    std::string decoded = parsed.has_str ? ussd_decode(parsed.str, parsed.dcs, flow->charset) : "";
    blobmsg_add_string(&r.b, "text", decoded.c_str());
    answer(flow, &r.b);
}

// The answer among the lines seen, once it is all there (or, at the end of
// the wait, as much of it as came). True when the call was answered.
bool try_answer(ussd_flow *flow, bool last_chance)
{
    if (!flow->waiting)
        return false;
    for (size_t i = 0; i < flow->seen.size(); i++) {
        const seen_line &first = flow->seen[i];
        if (first.line_no <= flow->after || !first.line.starts_with("+CUSD:"))
            continue;
        std::string text = first.line;
        size_t lines = 1;
        for (size_t k = i + 1; !closed(text) && lines < CUSD_LINES_MAX && k < flow->seen.size(); k++, lines++)
            text += "\n" + flow->seen[k].line;
        if (!closed(text) && lines < CUSD_LINES_MAX && !last_chance)
            return false; // its next lines are still to come
        reply_text(flow, text);
        return true;
    }
    return false;
}

void timed_out(uloop_timeout *t)
{
    ussd_flow *flow = reinterpret_cast<ussd_timer *>(t)->flow;
    if (!try_answer(flow, true))
        fail(flow, "No USSD answer", "timeout");
}

// The operation a call carried back, the call freed. False when it was
// refused: the flow has failed.
bool take_result(port_call *call, ussd_flow **flow, port_op *op)
{
    *flow = static_cast<ussd_flow *>(call->flow);
    *op = std::move(call->op);
    call_free(call);
    if (op->refusal)
        fail(*flow, op->refusal);
    return !op->refusal;
}

void code_done(port_call *call)
{
    ussd_flow *flow;
    port_op batch;
    if (!take_result(call, &flow, &batch))
        return;
    const port_op &code = batch.steps.back();
    if (batch.steps_run < batch.steps.size()) {
        fail(flow, "Daemon is stopping");
        return;
    }
    if (!flow_ok(code)) {
        fail(flow, flow_failure(code), code.outcome == AT_TIMED_OUT ? "timeout" : "error");
        return;
    }
    flow->waiting = true;
    flow->after = code.lines_before;
    if (try_answer(flow, false))
        return;
    int64_t left = int64_t(flow->timeout) * 1000 - code.elapsed_ms;
    uloop_timeout_set(&flow->timer.timeout, static_cast<int>(left > 0 ? left : 0));
}

void charset_done(port_call *call)
{
    ussd_flow *flow;
    port_op query;
    if (!take_result(call, &flow, &query))
        return;
    // A modem that does not tell takes the code as it is.
    std::string charset;
    if (flow_ok(query) && flow_line(query, "+CSCS:", &charset) && charset.size() >= 2 && charset.front() == '"')
        flow->charset = charset.substr(1, charset.size() - 2);
    std::string encoded = ussd_encode_code(flow->code, flow->charset);
    if (encoded.empty()) {
        fail(flow, "Invalid code");
        return;
    }
    std::vector<port_op> steps;
    // A new code while the network waits for a reply starts a new session.
    char c = flow->code[0];
    if ((c == '*' || c == '#') && ports[flow->path].session_waits)
        steps.push_back(flow_command("AT+CUSD=2", 5));
    steps.push_back(flow_command("AT+CUSD=1,\"" + encoded + "\",15", flow->timeout));
    flow->collecting = true;
    flow_queue(flow->path, flow_batch(std::move(steps), true), code_done, flow);
}

void begin(ussd_flow *flow)
{
    flow_queue(flow->path, flow_command("AT+CSCS?", 5), charset_done, flow);
}

// Printable text without quotes: it goes between the command's quotes.
bool code_acceptable(const std::string &code)
{
    if (code.empty() || code.size() > USSD_CODE_MAX)
        return false;
    for (unsigned char ch : code)
        if (ch < 0x20 || ch == '"' || ch == 0x7f)
            return false;
    return true;
}

} // namespace

void ussd_port_event(const port_event &event)
{
    if (event.is_state)
        return;
    auto it = ports.find(event.port);
    if (it == ports.end() || it->second.calls.empty())
        return;
    ussd_flow *flow = it->second.calls.front();
    if (!flow->collecting)
        return;
    if (flow->seen.size() < SEEN_MAX)
        flow->seen.push_back({event.line_no, event.line});
    try_answer(flow, false);
}

int handle_ussd(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    blob_attr *tb[USSD_POLICY_MAX];
    blobmsg_parse(ussd_policy, USSD_POLICY_MAX, tb, blob_data(msg), blob_len(msg));
    const char *path = port_path_arg(tb[USSD_AT_PORT]);
    if (!path || !tb[USSD_CODE])
        return UBUS_STATUS_INVALID_ARGUMENT;
    std::string code = blobmsg_get_string(tb[USSD_CODE]);
    if (!code_acceptable(code))
        return reply_error(ctx, req, "Invalid code");
    ussd_port &port = ports[path];
    if (port.calls.size() >= size_t(PORT_QUEUE_MAX))
        return reply_error(ctx, req, "Port busy");
    ussd_flow *flow = new ussd_flow();
    flow->path = path;
    flow->code = std::move(code);
    if (tb[USSD_TIMEOUT]) {
        int32_t timeout = static_cast<int32_t>(blobmsg_get_u32(tb[USSD_TIMEOUT]));
        flow->timeout = timeout < 1 ? 1 : timeout > TIMEOUT_MAX_S ? TIMEOUT_MAX_S : timeout;
    }
    flow->timer.timeout.cb = timed_out;
    flow->timer.flow = flow;
    flow_defer(ctx, req, &flow->request);
    port.calls.push_back(flow);
    if (port.calls.size() == 1)
        begin(flow);
    return UBUS_STATUS_OK;
}
