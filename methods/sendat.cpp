#include "methods/methods.h"
#include "methods/reply.h"
#include "port/port.h"

const blobmsg_policy sendat_policy[SENDAT_POLICY_MAX] = {
    {"at_port", BLOBMSG_TYPE_STRING}, {"timeout", BLOBMSG_TYPE_INT32},         {"end_flag", BLOBMSG_TYPE_STRING},
    {"at_cmd", BLOBMSG_TYPE_STRING},  {"raw_at_content", BLOBMSG_TYPE_STRING}, {"sendonly", BLOBMSG_TYPE_INT8},
};

static void add_send_only_outcome(blob_buf *b, bool sent)
{
    if (sent) {
        blobmsg_add_string(b, "status", "success");
        blobmsg_add_string(b, "message", "Command sent successfully");
    } else {
        blobmsg_add_string(b, "status", "error");
        blobmsg_add_string(b, "message", "Failed to send AT command");
    }
}

static void add_end_flags_used(blob_buf *b, const port_entry *entry)
{
    void *flags = blobmsg_open_array(b, "end_flags_used");
    for (int i = 0; i < entry->end_flag_count; i++)
        blobmsg_add_string(b, nullptr, entry->end_flags[i]);
    blobmsg_close_array(b, flags);
}

static void add_transaction_outcome(blob_buf *b, at_outcome outcome, const at_response &result)
{
    uint32_t response_time_ms = static_cast<uint32_t>(result.elapsed_ms);
    switch (outcome) {
    case AT_COMPLETED:
        blobmsg_add_string(b, "status", "success");
        blobmsg_add_string(b, "response", result.data);
        blobmsg_add_u32(b, "response_length", static_cast<uint32_t>(result.length));
        blobmsg_add_string(b, "end_flag_matched", result.matched_flag);
        blobmsg_add_u32(b, "response_time_ms", response_time_ms);
        break;
    case AT_TIMED_OUT:
        blobmsg_add_string(b, "status", "timeout");
        blobmsg_add_string(b, "message", "AT command timed out");
        blobmsg_add_u32(b, "response_time_ms", response_time_ms);
        if (result.length > 0)
            blobmsg_add_string(b, "partial_response", result.data);
        break;
    case AT_SEND_FAILED:
        blobmsg_add_string(b, "status", "error");
        blobmsg_add_string(b, "message", "Failed to send AT command");
        blobmsg_add_u32(b, "response_time_ms", response_time_ms);
        break;
    }
}

int handle_sendat(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    blob_attr *tb[SENDAT_POLICY_MAX];
    blobmsg_parse(sendat_policy, SENDAT_POLICY_MAX, tb, blob_data(msg), blob_len(msg));

    const char *path = port_path_arg(tb[SENDAT_AT_PORT]);
    if (!path)
        return UBUS_STATUS_INVALID_ARGUMENT;
    int32_t timeout = tb[SENDAT_TIMEOUT] ? static_cast<int32_t>(blobmsg_get_u32(tb[SENDAT_TIMEOUT])) : 5;
    const char *end_flag = tb[SENDAT_END_FLAG] ? blobmsg_get_string(tb[SENDAT_END_FLAG]) : nullptr;
    bool sendonly = tb[SENDAT_SENDONLY] && blobmsg_get_bool(tb[SENDAT_SENDONLY]);

    const char *command;
    bool is_raw;
    if (tb[SENDAT_AT_CMD]) {
        command = blobmsg_get_string(tb[SENDAT_AT_CMD]);
        is_raw = false;
    } else if (tb[SENDAT_RAW]) {
        command = blobmsg_get_string(tb[SENDAT_RAW]);
        is_raw = true;
    } else {
        return UBUS_STATUS_INVALID_ARGUMENT;
    }

    // A record made here stays whatever the outcome: the monitor opens it
    // once its device appears.
    port_entry *entry = port_find(path);
    if (!entry)
        entry = port_create(path);
    if (!entry)
        return UBUS_STATUS_NO_DATA;

    reply_buf r;
    blobmsg_add_string(&r.b, "port", path);
    blobmsg_add_string(&r.b, "command", command);
    blobmsg_add_u32(&r.b, "is_raw", is_raw ? 1 : 0);
    blobmsg_add_u32(&r.b, "sendonly", sendonly ? 1 : 0);

    if (sendonly) {
        add_send_only_outcome(&r.b, at_send_only(entry, command, is_raw) == 0);
    } else {
        // On the main thread's stack: at_transact clears it, nothing to allocate.
        at_response result;
        at_outcome outcome = at_transact(entry, command, timeout, end_flag, is_raw, &result);
        blobmsg_add_u32(&r.b, "timeout", static_cast<uint32_t>(timeout));
        blobmsg_add_string(&r.b, "end_flag", end_flag ? end_flag : "default");
        add_end_flags_used(&r.b, entry);
        add_transaction_outcome(&r.b, outcome, result);
    }
    r.send(ctx, req);
    return UBUS_STATUS_OK;
}
