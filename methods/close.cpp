#include "methods/call.h"
#include "methods/methods.h"
#include "methods/reply.h"

const blobmsg_policy close_policy[CLOSE_POLICY_MAX] = {
    {"at_port", BLOBMSG_TYPE_STRING},
};

int handle_close(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    blob_attr *tb[CLOSE_POLICY_MAX];
    blobmsg_parse(close_policy, CLOSE_POLICY_MAX, tb, blob_data(msg), blob_len(msg));

    const char *path = port_path_arg(tb[CLOSE_AT_PORT]);
    if (!path)
        return UBUS_STATUS_INVALID_ARGUMENT;

    return call_start(ctx, req, call_new(path, OP_CLOSE));
}

void close_reply(blob_buf *b, const port_call &call)
{
    blobmsg_add_string(b, "status", "success");
    blobmsg_add_string(b, "port", call.path);
    blobmsg_add_string(b, "message", "Port closed and removed");
}
