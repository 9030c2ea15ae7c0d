#include <cstring>
#include <string>
#include <vector>

#include "methods/call.h"
#include "methods/methods.h"
#include "methods/reply.h"
#include "port/command_check.h"

const blobmsg_policy open_policy[OPEN_POLICY_MAX] = {
    {"at_port", BLOBMSG_TYPE_STRING},    {"baudrate", BLOBMSG_TYPE_INT32}, {"databits", BLOBMSG_TYPE_INT32},
    {"parity", BLOBMSG_TYPE_INT32},      {"stopbits", BLOBMSG_TYPE_INT32}, {"timeout", BLOBMSG_TYPE_INT32},
    {"unsolicited", BLOBMSG_TYPE_ARRAY}, {"init", BLOBMSG_TYPE_ARRAY},
};

// Any value under the name, whatever its type: one that is no array must
// not pass for an absent list.
static const blobmsg_policy lists_any[] = {{"unsolicited", BLOBMSG_TYPE_UNSPEC}, {"init", BLOBMSG_TYPE_UNSPEC}};

static int32_t int_arg(blob_attr *attr, int32_t fallback)
{
    return attr ? static_cast<int32_t>(blobmsg_get_u32(attr)) : fallback;
}

// The prefixes, each a string of 1 to UNSOLICITED_PREFIX_MAX bytes without
// NUL, at most UNSOLICITED_PREFIXES_MAX of them; false for anything else.
static bool unsolicited_arg(blob_attr *array, std::vector<std::string> *prefixes)
{
    blob_attr *item;
    size_t rem;
    blobmsg_for_each_attr(item, array, rem)
    {
        if (blobmsg_type(item) != BLOBMSG_TYPE_STRING || prefixes->size() >= UNSOLICITED_PREFIXES_MAX)
            return false;
        size_t length = blobmsg_data_len(item) > 0 ? blobmsg_data_len(item) - 1 : 0;
        const char *text = blobmsg_get_string(item);
        if (length == 0 || length > UNSOLICITED_PREFIX_MAX || strlen(text) != length)
            return false;
        prefixes->emplace_back(text, length);
    }
    return true;
}

// The init commands, each a string of at most INIT_COMMAND_MAX bytes that
// sendat would take as at_cmd, at most INIT_COMMANDS_MAX of them. nullptr
// when they are, else the reply's message.
static const char *init_arg(blob_attr *array, std::vector<std::string> *commands)
{
    blob_attr *item;
    size_t rem;
    blobmsg_for_each_attr(item, array, rem)
    {
        if (blobmsg_type(item) != BLOBMSG_TYPE_STRING || commands->size() >= INIT_COMMANDS_MAX)
            return "Invalid init commands";
        size_t length = blobmsg_data_len(item) > 0 ? blobmsg_data_len(item) - 1 : 0;
        if (length > INIT_COMMAND_MAX)
            return "Invalid init commands";
        const char *text = blobmsg_get_string(item);
        command_refusal refusal = command_check(text, length);
        if (refusal != COMMAND_ACCEPTED)
            return command_refusal_message(refusal);
        commands->emplace_back(text, length);
    }
    return nullptr;
}

int handle_open(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    blob_attr *tb[OPEN_POLICY_MAX];
    blobmsg_parse(open_policy, OPEN_POLICY_MAX, tb, blob_data(msg), blob_len(msg));

    const char *path = port_path_arg(tb[OPEN_AT_PORT]);
    if (!path)
        return UBUS_STATUS_INVALID_ARGUMENT;

    std::vector<std::string> unsolicited;
    blob_attr *any[2];
    blobmsg_parse(lists_any, 2, any, blob_data(msg), blob_len(msg));
    if (any[0] && (!tb[OPEN_UNSOLICITED] || !unsolicited_arg(tb[OPEN_UNSOLICITED], &unsolicited)))
        return reply_error(ctx, req, "Invalid unsolicited prefixes");
    std::vector<std::string> init;
    if (any[1]) {
        const char *refused = tb[OPEN_INIT] ? init_arg(tb[OPEN_INIT], &init) : "Invalid init commands";
        if (refused)
            return reply_error(ctx, req, refused);
    }

    port_call *call = call_new(path, OP_OPEN);
    const port_settings &d = DEFAULT_SETTINGS;
    call->op.settings = {int_arg(tb[OPEN_BAUDRATE], d.baudrate), int_arg(tb[OPEN_DATABITS], d.databits),
                         int_arg(tb[OPEN_PARITY], d.parity), int_arg(tb[OPEN_STOPBITS], d.stopbits)};
    call->op.has_unsolicited = any[0] != nullptr;
    call->op.unsolicited = std::move(unsolicited);
    call->op.has_init = any[1] != nullptr;
    call->op.init = std::move(init);
    return call_start(ctx, req, call);
}

void open_reply(blob_buf *b, const port_call &call)
{
    if (!call.op.ok) {
        add_error(b, call.op.refusal ? call.op.refusal : "Failed to open port");
        return;
    }
    // The values asked for, even where the line runs an unsupported one
    // differently.
    const port_settings &s = call.op.settings;
    blobmsg_add_string(b, "status", "success");
    blobmsg_add_string(b, "port", call.path);
    blobmsg_add_u32(b, "baudrate", static_cast<uint32_t>(s.baudrate));
    blobmsg_add_u32(b, "databits", static_cast<uint32_t>(s.databits));
    blobmsg_add_u32(b, "parity", static_cast<uint32_t>(s.parity));
    blobmsg_add_u32(b, "stopbits", static_cast<uint32_t>(s.stopbits));
}
