#include <algorithm>
#include <cstring>

#include "methods/call.h"
#include "methods/methods.h"
#include "methods/reply.h"
#include "port/command_check.h"

const blobmsg_policy sendat_policy[SENDAT_POLICY_MAX] = {
    {"at_port", BLOBMSG_TYPE_STRING}, {"timeout", BLOBMSG_TYPE_INT32},         {"end_flag", BLOBMSG_TYPE_STRING},
    {"at_cmd", BLOBMSG_TYPE_STRING},  {"raw_at_content", BLOBMSG_TYPE_STRING}, {"sendonly", BLOBMSG_TYPE_INT8},
    {"data", BLOBMSG_TYPE_STRING},
};

// A string argument's length as received: inner NUL bytes count too.
static size_t received_length(blob_attr *attr)
{
    size_t length = blobmsg_data_len(attr);
    return length > 0 ? length - 1 : 0;
}

// Prompt data ends with the Ctrl-Z we add; a Ctrl-Z or ESC of its own would
// end or cancel the text early and leave the rest to be run as commands.
static bool data_acceptable(blob_attr *attr)
{
    size_t length = received_length(attr);
    const char *data = static_cast<const char *>(blobmsg_data(attr));
    return length <= PROMPT_DATA_MAX && !memchr(data, 0x1a, length) && !memchr(data, 0x1b, length);
}

int sendat_parse(blob_attr **tb, port_op *op, const char **refusal)
{
    blob_attr *source = tb[SENDAT_AT_CMD] ? tb[SENDAT_AT_CMD] : tb[SENDAT_RAW];
    if (!source)
        return UBUS_STATUS_INVALID_ARGUMENT;
    bool sendonly = tb[SENDAT_SENDONLY] && blobmsg_get_bool(tb[SENDAT_SENDONLY]);
    blob_attr *data = tb[SENDAT_DATA];
    // Prompt data goes with a text command that waits for its answer.
    if (data && (sendonly || !tb[SENDAT_AT_CMD]))
        return UBUS_STATUS_INVALID_ARGUMENT;

    *refusal = nullptr;
    if (data && !data_acceptable(data))
        *refusal = "Invalid data";
    // The reply echoes the command and the end-flag text; both must leave
    // room for the answer within the bus's message limit.
    else if (received_length(source) > COMMAND_MAX)
        *refusal = "Command too long";
    else if (tb[SENDAT_END_FLAG] && received_length(tb[SENDAT_END_FLAG]) > COMMAND_MAX)
        *refusal = "End flag too long";
    // Command text is judged as the modem will read it; raw bytes go as
    // asked. A send-only text may finish a prompt its caller holds.
    else if (source == tb[SENDAT_AT_CMD]) {
        command_refusal r =
            command_check(static_cast<const char *>(blobmsg_data(source)), received_length(source), sendonly);
        if (r != COMMAND_ACCEPTED)
            *refusal = command_refusal_message(r);
    }
    if (*refusal)
        return UBUS_STATUS_OK;

    op->kind = OP_SENDAT;
    op->command = blobmsg_get_string(source);
    op->is_hex = source != tb[SENDAT_AT_CMD];
    op->send_only = sendonly;
    op->timeout = tb[SENDAT_TIMEOUT] ? static_cast<int32_t>(blobmsg_get_u32(tb[SENDAT_TIMEOUT])) : 5;
    // A call that would hold the port for days holds everyone queued
    // behind it; no modem answer takes that long.
    if (op->timeout > TIMEOUT_MAX_S)
        op->timeout = TIMEOUT_MAX_S;
    op->has_end_flag = tb[SENDAT_END_FLAG] != nullptr;
    if (op->has_end_flag)
        op->end_flag = blobmsg_get_string(tb[SENDAT_END_FLAG]);
    op->has_data = data != nullptr;
    if (op->has_data)
        op->data = blobmsg_get_string(data);
    return UBUS_STATUS_OK;
}

int handle_sendat(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    blob_attr *tb[SENDAT_POLICY_MAX];
    blobmsg_parse(sendat_policy, SENDAT_POLICY_MAX, tb, blob_data(msg), blob_len(msg));

    const char *path = port_path_arg(tb[SENDAT_AT_PORT]);
    if (!path)
        return UBUS_STATUS_INVALID_ARGUMENT;
    // Parsed straight into the call: a command costs no second operation
    // to build, move and destroy.
    port_call *call = call_new(path, OP_SENDAT);
    const char *refusal = nullptr;
    int status = sendat_parse(tb, &call->op, &refusal);
    if (status != UBUS_STATUS_OK || refusal) {
        call_free(call);
        return refusal ? reply_error(ctx, req, refusal) : status;
    }
    call->op.peer = req->peer;
    return call_start(ctx, req, call);
}

static void add_end_flags_used(field_batch &f, const end_flag_list &flags)
{
    size_t array = f.array_open("end_flags_used");
    for (int i = 0; i < flags.count; i++)
        f.string("", flags.flags[i]);
    f.array_close(array);
}

// A flag that names a final result code holds that code's name and nothing
// else (end_flags_set), and every default flag names one: the codes alone
// tell the default list apart. (A default list with a text flag would make
// every reply take the longer way, which lays out the same bytes.)
static bool is_default_list(const end_flag_list &flags)
{
    const end_flag_list &defaults = default_end_flags();
    return defaults.text_flags == 0 && flags.count == defaults.count &&
           std::equal(flags.codes, flags.codes + flags.count, defaults.codes);
}

// The middle of most replies, from "is_raw" to "end_flags_used" with the
// default list (and on to "status": "success" for a completed command):
// laid out once, copied in whole, its two values that vary written in place.
struct reply_middle {
    std::string bytes;
    size_t is_raw_at = 0, timeout_at = 0; // value offsets in the bytes
};

static reply_middle build_middle(bool completed)
{
    field_batch f;
    reply_middle m;
    m.is_raw_at = f.u32("is_raw", 0);
    f.u32("sendonly", 0);
    m.timeout_at = f.u32("timeout", 0);
    f.string("end_flag", "default");
    add_end_flags_used(f, default_end_flags());
    if (completed)
        f.string("status", "success");
    m.bytes = f.bytes();
    return m;
}

// Built on first use with a batch of its own: fetch it before a reply's
// batch begins.
static const reply_middle &default_middle(bool completed)
{
    static const reply_middle plain = build_middle(false), with_success = build_middle(true);
    return completed ? with_success : plain;
}

static void add_default_middle(field_batch &f, const reply_middle &m, const port_op &op)
{
    size_t at = f.raw(m.bytes.data(), m.bytes.size());
    f.patch_u32(at + m.is_raw_at, op.is_hex ? 1 : 0);
    f.patch_u32(at + m.timeout_at, static_cast<uint32_t>(op.timeout));
}

static void add_send_only_outcome(field_batch &f, bool sent)
{
    if (sent) {
        f.string("status", "success");
        f.string("message", "Command sent successfully");
    } else {
        f.string("status", "error");
        f.string("message", "Failed to send AT command");
    }
}

// `status_written`: "status": "success" came with the middle.
static void add_transaction_outcome(field_batch &f, const port_op &op, bool status_written)
{
    uint32_t response_time_ms = static_cast<uint32_t>(op.elapsed_ms);
    switch (op.outcome) {
    case AT_COMPLETED:
        if (!status_written)
            f.string("status", "success");
        f.string("response", op.response);
        if (op.truncated)
            f.boolean("truncated", true);
        f.u32("response_length", static_cast<uint32_t>(op.response.size()));
        f.string("end_flag_matched", op.matched_flag);
        f.u32("response_time_ms", response_time_ms);
        break;
    case AT_TIMED_OUT:
        f.string("status", "timeout");
        f.string("message", "AT command timed out");
        f.u32("response_time_ms", response_time_ms);
        if (!op.response.empty())
            f.string("partial_response", op.response);
        if (op.truncated)
            f.boolean("truncated", true);
        break;
    case AT_SEND_FAILED:
        f.string("status", "error");
        f.string("message", "Failed to send AT command");
        f.u32("response_time_ms", response_time_ms);
        break;
    }
}

// The shared middle of the reply, if it has one. Fetched before the
// reply's batch begins: it is built with a batch of its own.
static const reply_middle *middle_of(const port_op &op)
{
    bool middle = !op.send_only && !op.has_end_flag && is_default_list(op.end_flags);
    return middle ? &default_middle(op.outcome == AT_COMPLETED) : nullptr;
}

// The reply's fields for a command the port ran (no refusal). The command,
// the path and the answer hold no NUL byte (the answer's are left out as it
// is captured), so their known lengths are the lengths.
static void sendat_fields(field_batch &f, std::string_view path, const port_op &op, const reply_middle *m)
{
    f.string("port", path);
    f.string("command", op.command);
    if (m) {
        add_default_middle(f, *m, op);
    } else {
        f.u32("is_raw", op.is_hex ? 1 : 0);
        f.u32("sendonly", op.send_only ? 1 : 0);
        if (op.send_only) {
            add_send_only_outcome(f, op.ok);
            return;
        }
        f.u32("timeout", static_cast<uint32_t>(op.timeout));
        f.string("end_flag", op.has_end_flag ? std::string_view(op.end_flag) : std::string_view("default"));
        add_end_flags_used(f, op.end_flags);
    }
    add_transaction_outcome(f, op, m && op.outcome == AT_COMPLETED);
    if (op.has_data)
        f.u32("data_sent", op.data_sent ? 1 : 0);
}

// The fields go out as the batch's own table: no reply buffer to copy
// them into.
void sendat_answer(port_call *call)
{
    const port_op &op = call->op;
    if (op.refusal) {
        reply_buf r;
        add_error(&r.b, op.refusal);
        call_complete(call, r.b.head);
        return;
    }
    const reply_middle *m = middle_of(op);
    field_batch f;
    sendat_fields(f, std::string_view(call->path, call->path_length), op, m);
    call_complete(call, f.table());
}

void sendat_reply_of(blob_buf *b, std::string_view path, const port_op &op)
{
    if (op.refusal) {
        add_error(b, op.refusal);
        return;
    }
    const reply_middle *m = middle_of(op);
    field_batch f;
    sendat_fields(f, path, op, m);
    f.put(b);
}
