// "batch": several commands run one after another on a port, nothing else
// in between (one OP_BATCH), answered with one "sendat" reply per command run.
#include "methods/batch.h"

#include <cstring>

#include "methods/call.h"
#include "methods/methods.h"
#include "methods/reply.h"

const blobmsg_policy batch_policy[BATCH_POLICY_MAX] = {
    {"at_port", BLOBMSG_TYPE_STRING},
    {"commands", BLOBMSG_TYPE_ARRAY},
    {"keep_going", BLOBMSG_TYPE_BOOL},
};

// Bytes of one step's reply at worst, beyond its command and end flag: the
// whole capture, the port's path and the fixed fields with their names.
constexpr size_t STEP_REPLY_FIXED = CAPTURE_MAX + PORT_PATH_MAX + 1024;

const char *batch_check(const port_op &batch)
{
    if (batch.steps.size() > BATCH_STEPS_MAX)
        return "Too many commands";
    size_t reply_bytes = 0;
    int64_t seconds = 0;
    for (const port_op &step : batch.steps) {
        reply_bytes += STEP_REPLY_FIXED + step.command.size() + step.end_flag.size();
        seconds += step.timeout > 0 ? step.timeout : 0;
    }
    if (reply_bytes > BUS_MESSAGE_MAX)
        return "Batch too large";
    if (seconds > TIMEOUT_MAX_S)
        return "Batch too long";
    return nullptr;
}

int handle_batch(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    blob_attr *tb[BATCH_POLICY_MAX];
    blobmsg_parse(batch_policy, BATCH_POLICY_MAX, tb, blob_data(msg), blob_len(msg));

    const char *path = port_path_arg(tb[BATCH_AT_PORT]);
    if (!path || !tb[BATCH_COMMANDS])
        return UBUS_STATUS_INVALID_ARGUMENT;

    port_op batch;
    batch.kind = OP_BATCH;
    batch.keep_going = tb[BATCH_KEEP_GOING] && blobmsg_get_bool(tb[BATCH_KEEP_GOING]);
    blob_attr *item;
    size_t rem;
    blobmsg_for_each_attr(item, tb[BATCH_COMMANDS], rem)
    {
        if (blobmsg_type(item) != BLOBMSG_TYPE_TABLE)
            return UBUS_STATUS_INVALID_ARGUMENT;
        if (batch.steps.size() == BATCH_STEPS_MAX)
            return reply_error(ctx, req, "Too many commands");
        blob_attr *step_tb[SENDAT_POLICY_MAX];
        blobmsg_parse(sendat_policy, SENDAT_POLICY_MAX, step_tb, blobmsg_data(item), blobmsg_data_len(item));
        port_op step;
        const char *refusal = nullptr;
        int status = sendat_parse(step_tb, &step, &refusal);
        if (status != UBUS_STATUS_OK)
            return status;
        if (refusal)
            return reply_error(ctx, req, refusal);
        step.peer = req->peer;
        batch.steps.push_back(std::move(step));
    }
    if (batch.steps.empty())
        return UBUS_STATUS_INVALID_ARGUMENT;
    if (const char *refusal = batch_check(batch))
        return reply_error(ctx, req, refusal);

    port_call *call = call_new(path, OP_BATCH);
    call->op = std::move(batch);
    call->op.peer = req->peer;
    return call_start(ctx, req, call);
}

const char *step_status(const port_op &step)
{
    if (step.refusal)
        return "error";
    if (step.send_only)
        return step.ok ? "success" : "error";
    switch (step.outcome) {
    case AT_COMPLETED: return "success";
    case AT_TIMED_OUT: return "timeout";
    case AT_SEND_FAILED: break;
    }
    return "error";
}

void batch_reply(blob_buf *b, const port_call &call)
{
    const port_op &op = call.op;
    if (op.refusal) {
        add_error(b, op.refusal);
        return;
    }
    // The first command that did not succeed speaks for the batch; one cut
    // short with none failed was stopped by the daemon.
    const char *status = op.steps_run < op.steps.size() ? nullptr : "success";
    for (size_t i = 0; i < op.steps_run; i++) {
        const char *s = step_status(op.steps[i]);
        if (strcmp(s, "success") != 0) {
            status = s;
            break;
        }
    }
    blobmsg_add_string(b, "status", status ? status : "error");
    if (!status)
        blobmsg_add_string(b, "message", "Daemon is stopping");
    void *results = blobmsg_open_array(b, "results");
    std::string_view path(call.path, call.path_length);
    for (size_t i = 0; i < op.steps_run; i++) {
        void *table = blobmsg_open_table(b, nullptr);
        sendat_reply_of(b, path, op.steps[i]);
        blobmsg_close_table(b, table);
    }
    blobmsg_close_array(b, results);
}
