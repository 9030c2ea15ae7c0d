#include "methods/methods.h"
#include "methods/reply.h"
#include "port/port.h"

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

    port_entry *entry = port_find(path);
    if (!entry)
        return reply_error(ctx, req, "Port not found");

    // Destroying a record releases its device first (reader joined,
    // descriptor closed).
    port_destroy(entry);

    reply_buf r;
    blobmsg_add_string(&r.b, "status", "success");
    blobmsg_add_string(&r.b, "port", path);
    blobmsg_add_string(&r.b, "message", "Port closed and removed");
    r.send(ctx, req);
    return UBUS_STATUS_OK;
}
