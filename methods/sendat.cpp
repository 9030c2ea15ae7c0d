#include <array>
#include <cstring>

#include "methods/call.h"
#include "methods/methods.h"
#include "methods/reply.h"

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

int handle_sendat(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    blob_attr *tb[SENDAT_POLICY_MAX];
    blobmsg_parse(sendat_policy, SENDAT_POLICY_MAX, tb, blob_data(msg), blob_len(msg));

    const char *path = port_path_arg(tb[SENDAT_AT_PORT]);
    if (!path)
        return UBUS_STATUS_INVALID_ARGUMENT;
    blob_attr *source = tb[SENDAT_AT_CMD] ? tb[SENDAT_AT_CMD] : tb[SENDAT_RAW];
    if (!source)
        return UBUS_STATUS_INVALID_ARGUMENT;
    bool sendonly = tb[SENDAT_SENDONLY] && blobmsg_get_bool(tb[SENDAT_SENDONLY]);
    blob_attr *data = tb[SENDAT_DATA];
    // Prompt data goes with a text command that waits for its answer.
    if (data && (sendonly || !tb[SENDAT_AT_CMD]))
        return UBUS_STATUS_INVALID_ARGUMENT;

    if (data && !data_acceptable(data))
        return reply_error(ctx, req, "Invalid data");
    // The reply echoes the command and the end-flag text; both must leave
    // room for the answer within the bus's message limit.
    if (received_length(source) > COMMAND_MAX)
        return reply_error(ctx, req, "Command too long");
    if (tb[SENDAT_END_FLAG] && received_length(tb[SENDAT_END_FLAG]) > COMMAND_MAX)
        return reply_error(ctx, req, "End flag too long");

    port_call *call = call_new(path, OP_SENDAT);
    port_op &op = call->op;
    op.command = blobmsg_get_string(source);
    op.is_hex = source != tb[SENDAT_AT_CMD];
    op.send_only = sendonly;
    op.timeout = tb[SENDAT_TIMEOUT] ? static_cast<int32_t>(blobmsg_get_u32(tb[SENDAT_TIMEOUT])) : 5;
    op.has_end_flag = tb[SENDAT_END_FLAG] != nullptr;
    if (op.has_end_flag)
        op.end_flag = blobmsg_get_string(tb[SENDAT_END_FLAG]);
    op.has_data = data != nullptr;
    if (op.has_data)
        op.data = blobmsg_get_string(data);
    return call_start(ctx, req, call);
}

static void add_send_only_outcome(blob_buf *b, bool sent)
{
    if (sent) {
        blobmsg_add_string(b, "status", "success");
        blobmsg_add_string(b, "message", "Command sent successfully");
    } else {
        add_error(b, "Failed to send AT command");
    }
}

static void add_end_flags_used(blob_buf *b, const end_flag_list &flags)
{
    void *array = blobmsg_open_array(b, "end_flags_used");
    for (int i = 0; i < flags.count; i++)
        blobmsg_add_string(b, nullptr, flags.flags[i]);
    blobmsg_close_array(b, array);
}

// Each default flag compared with its NUL, a known number of bytes.
static bool is_default_list(const end_flag_list &flags)
{
    static const end_flag_list &defaults = default_end_flags();
    static const std::array<size_t, END_FLAG_SLOTS> sizes = [] {
        std::array<size_t, END_FLAG_SLOTS> s{};
        for (int i = 0; i < defaults.count; i++)
            s[i] = strlen(defaults.flags[i]) + 1;
        return s;
    }();
    if (flags.count != defaults.count)
        return false;
    for (int i = 0; i < flags.count; i++)
        if (memcmp(flags.flags[i], defaults.flags[i], sizes[i]) != 0)
            return false;
    return true;
}

// The middle of most replies, from "is_raw" to "end_flags_used" with the
// default list (and on to "status": "success" for a completed command):
// built once with the same calls as any other reply, copied in whole, and
// its two values that vary written in place.
struct reply_middle {
    blob_buf built{};
    size_t is_raw_at = 0, timeout_at = 0; // value offsets in the copy
};

static size_t value_offset(const blob_buf &b, const char *name)
{
    blob_attr *attr;
    size_t rem;
    blobmsg_for_each_attr(attr, b.head, rem)
    {
        if (strcmp(blobmsg_name(attr), name) == 0)
            return static_cast<char *>(blobmsg_data(attr)) - static_cast<char *>(blob_data(b.head));
    }
    return 0;
}

static reply_middle build_middle(bool completed)
{
    reply_middle m;
    blob_buf_init(&m.built, 0);
    blobmsg_add_u32(&m.built, "is_raw", 0);
    blobmsg_add_u32(&m.built, "sendonly", 0);
    blobmsg_add_u32(&m.built, "timeout", 0);
    blobmsg_add_string(&m.built, "end_flag", "default");
    add_end_flags_used(&m.built, default_end_flags());
    if (completed)
        blobmsg_add_string(&m.built, "status", "success");
    m.is_raw_at = value_offset(m.built, "is_raw");
    m.timeout_at = value_offset(m.built, "timeout");
    return m;
}

static void put_u32_at(blob_attr *copy, size_t offset, uint32_t value)
{
    value = cpu_to_be32(value);
    memcpy(reinterpret_cast<char *>(copy) + offset, &value, sizeof value);
}

static void add_default_middle(blob_buf *b, const port_op &op, bool completed)
{
    static const reply_middle plain = build_middle(false), with_success = build_middle(true);
    const reply_middle &m = completed ? with_success : plain;
    blob_attr *copy = blob_put_raw(b, blob_data(m.built.head), static_cast<unsigned int>(blob_len(m.built.head)));
    if (!copy)
        return;
    put_u32_at(copy, m.is_raw_at, op.is_hex ? 1 : 0);
    put_u32_at(copy, m.timeout_at, static_cast<uint32_t>(op.timeout));
}

// `status_written`: "status": "success" came with the middle.
static void add_transaction_outcome(blob_buf *b, const port_op &op, bool status_written)
{
    uint32_t response_time_ms = static_cast<uint32_t>(op.elapsed_ms);
    switch (op.outcome) {
    case AT_COMPLETED:
        if (!status_written)
            blobmsg_add_string(b, "status", "success");
        add_string(b, "response", op.response);
        if (op.truncated)
            blobmsg_add_u8(b, "truncated", 1);
        blobmsg_add_u32(b, "response_length", static_cast<uint32_t>(op.response.size()));
        blobmsg_add_string(b, "end_flag_matched", op.matched_flag);
        blobmsg_add_u32(b, "response_time_ms", response_time_ms);
        break;
    case AT_TIMED_OUT:
        blobmsg_add_string(b, "status", "timeout");
        blobmsg_add_string(b, "message", "AT command timed out");
        blobmsg_add_u32(b, "response_time_ms", response_time_ms);
        if (!op.response.empty())
            add_string(b, "partial_response", op.response);
        if (op.truncated)
            blobmsg_add_u8(b, "truncated", 1);
        break;
    case AT_SEND_FAILED:
        add_error(b, "Failed to send AT command");
        blobmsg_add_u32(b, "response_time_ms", response_time_ms);
        break;
    }
}

// The command, the path and the answer hold no NUL byte (the answer's are
// left out as it is captured), so their known lengths are the lengths.
void sendat_reply(blob_buf *b, const port_call &call)
{
    const port_op &op = call.op;
    add_string(b, "port", call.path);
    add_string(b, "command", op.command);
    bool completed = op.outcome == AT_COMPLETED;
    bool middle = !op.send_only && !op.has_end_flag && is_default_list(op.end_flags);
    if (middle) {
        add_default_middle(b, op, completed);
    } else {
        blobmsg_add_u32(b, "is_raw", op.is_hex ? 1 : 0);
        blobmsg_add_u32(b, "sendonly", op.send_only ? 1 : 0);
        if (op.send_only) {
            add_send_only_outcome(b, op.ok);
            return;
        }
        blobmsg_add_u32(b, "timeout", static_cast<uint32_t>(op.timeout));
        add_string(b, "end_flag", op.has_end_flag ? op.end_flag : std::string("default"));
        add_end_flags_used(b, op.end_flags);
    }
    add_transaction_outcome(b, op, middle && completed);
    if (op.has_data)
        blobmsg_add_u32(b, "data_sent", op.data_sent ? 1 : 0);
}
