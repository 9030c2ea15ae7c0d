#include "methods/reply.h"

#include <cstring>

#include "port/port.h"

const char *port_path_arg(blob_attr *attr)
{
    if (!attr)
        return nullptr;
    const char *path = blobmsg_get_string(attr);
    if (strlen(path) >= PORT_PATH_MAX)
        return nullptr;
    return path;
}

void add_error(blob_buf *b, const char *message)
{
    blobmsg_add_string(b, "status", "error");
    blobmsg_add_string(b, "message", message);
}

int reply_error(ubus_context *ctx, ubus_request_data *req, const char *message)
{
    reply_buf r;
    add_error(&r.b, message);
    r.send(ctx, req);
    return UBUS_STATUS_OK;
}
