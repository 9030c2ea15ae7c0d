#include <unistd.h>

#include "methods/methods.h"
#include "methods/reply.h"
#include "port/port.h"

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
    int32_t baudrate = int_arg(tb[OPEN_BAUDRATE], 115200);
    int32_t databits = int_arg(tb[OPEN_DATABITS], 8);
    int32_t parity = int_arg(tb[OPEN_PARITY], 0);
    int32_t stopbits = int_arg(tb[OPEN_STOPBITS], 1);

    port_entry *entry = port_find(path);
    bool created = false;
    if (!entry) {
        if (access(path, F_OK) != 0)
            return reply_error(ctx, req, "Port file does not exist");
        entry = port_create(path);
        if (!entry)
            return UBUS_STATUS_NO_DATA;
        created = true;
    }

    if (port_open(entry, baudrate, databits, parity, stopbits) != 0) {
        // A record that existed before stays, closed, so the monitor can
        // bring it back; one made just now for this call is dropped.
        if (created)
            port_destroy(entry);
        return reply_error(ctx, req, "Failed to open port");
    }

    reply_buf r;
    blobmsg_add_string(&r.b, "status", "success");
    blobmsg_add_string(&r.b, "port", path);
    blobmsg_add_u32(&r.b, "baudrate", static_cast<uint32_t>(baudrate));
    blobmsg_add_u32(&r.b, "databits", static_cast<uint32_t>(databits));
    blobmsg_add_u32(&r.b, "parity", static_cast<uint32_t>(parity));
    blobmsg_add_u32(&r.b, "stopbits", static_cast<uint32_t>(stopbits));
    r.send(ctx, req);
    return UBUS_STATUS_OK;
}
