#include "methods/call.h"
#include "methods/methods.h"
#include "methods/reply.h"

const blobmsg_policy open_policy[OPEN_POLICY_MAX] = {
    {"at_port", BLOBMSG_TYPE_STRING}, {"baudrate", BLOBMSG_TYPE_INT32}, {"databits", BLOBMSG_TYPE_INT32},
    {"parity", BLOBMSG_TYPE_INT32},   {"stopbits", BLOBMSG_TYPE_INT32}, {"timeout", BLOBMSG_TYPE_INT32},
};

static int32_t int_arg(blob_attr *attr, int32_t fallback)
{
    return attr ? static_cast<int32_t>(blobmsg_get_u32(attr)) : fallback;
}

int handle_open(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    blob_attr *tb[OPEN_POLICY_MAX];
    blobmsg_parse(open_policy, OPEN_POLICY_MAX, tb, blob_data(msg), blob_len(msg));

    const char *path = port_path_arg(tb[OPEN_AT_PORT]);
    if (!path)
        return UBUS_STATUS_INVALID_ARGUMENT;

    port_call *call = call_new(path, OP_OPEN);
    const port_settings &d = DEFAULT_SETTINGS;
    call->op.settings = {int_arg(tb[OPEN_BAUDRATE], d.baudrate), int_arg(tb[OPEN_DATABITS], d.databits),
                         int_arg(tb[OPEN_PARITY], d.parity), int_arg(tb[OPEN_STOPBITS], d.stopbits)};
    return call_start(ctx, req, call);
}

void open_reply(blob_buf *b, const port_call &call)
{
    if (!call.op.ok) {
        add_error(b, "Failed to open port");
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
