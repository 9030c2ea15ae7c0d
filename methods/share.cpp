#include <grp.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "core/daemon_state.h"
#include "methods/methods.h"
#include "methods/reply.h"
#include "vport/vport.h"

const blobmsg_policy share_policy[SHARE_POLICY_MAX] = {
    {"at_port", BLOBMSG_TYPE_STRING},
    {"name", BLOBMSG_TYPE_STRING},
    {"timeout", BLOBMSG_TYPE_INT32},
    {"group", BLOBMSG_TYPE_UNSPEC},
};
const blobmsg_policy unshare_policy[UNSHARE_POLICY_MAX] = {
    {"name", BLOBMSG_TYPE_STRING},
};

// A group by name or number (a number in a string too); -1 when unknown.
static long group_arg(blob_attr *attr)
{
    if (blobmsg_type(attr) == BLOBMSG_TYPE_INT32)
        return static_cast<long>(blobmsg_get_u32(attr));
    if (blobmsg_type(attr) != BLOBMSG_TYPE_STRING)
        return -1;
    const char *text = blobmsg_get_string(attr);
    if (group *g = getgrnam(text))
        return static_cast<long>(g->gr_gid);
    char *end;
    long gid = strtol(text, &end, 10);
    return *text && !*end && gid >= 0 ? gid : -1;
}

int handle_share(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    blob_attr *tb[SHARE_POLICY_MAX];
    blobmsg_parse(share_policy, SHARE_POLICY_MAX, tb, blob_data(msg), blob_len(msg));

    const char *path = port_path_arg(tb[SHARE_AT_PORT]);
    if (!path || !tb[SHARE_NAME])
        return UBUS_STATUS_INVALID_ARGUMENT;
    int32_t timeout = tb[SHARE_TIMEOUT] ? static_cast<int32_t>(blobmsg_get_u32(tb[SHARE_TIMEOUT])) : VPORT_TIMEOUT_S;
    if (timeout <= 0)
        timeout = VPORT_TIMEOUT_S;
    if (timeout > TIMEOUT_MAX_S)
        timeout = TIMEOUT_MAX_S;
    long gid = -1;
    if (tb[SHARE_GROUP] && (gid = group_arg(tb[SHARE_GROUP])) < 0)
        return reply_error(ctx, req, "Invalid group");
    // A virtual port runs its commands on a port the daemon knows.
    if (!port_find(g_daemon.engine, path))
        return reply_error(ctx, req, access(path, F_OK) == 0 ? "Port not found" : "Port file does not exist");

    vport_made made;
    switch (vport_share(path, blobmsg_get_string(tb[SHARE_NAME]), timeout, gid, &made)) {
    case VPORT_BAD_NAME: return reply_error(ctx, req, "Invalid name");
    case VPORT_NAME_TAKEN: return reply_error(ctx, req, "Name is in use");
    case VPORT_FAILED: return reply_error(ctx, req, "Failed to share port");
    case VPORT_SHARED: break;
    }
    reply_buf r;
    blobmsg_add_string(&r.b, "status", "success");
    blobmsg_add_string(&r.b, "port", path);
    blobmsg_add_string(&r.b, "path", made.link.c_str());
    blobmsg_add_string(&r.b, "pty", made.pty.c_str());
    r.send(ctx, req);
    return UBUS_STATUS_OK;
}

int handle_unshare(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    blob_attr *tb[UNSHARE_POLICY_MAX];
    blobmsg_parse(unshare_policy, UNSHARE_POLICY_MAX, tb, blob_data(msg), blob_len(msg));
    if (!tb[UNSHARE_NAME])
        return UBUS_STATUS_INVALID_ARGUMENT;
    std::string link;
    if (!vport_unshare(blobmsg_get_string(tb[UNSHARE_NAME]), &link))
        return reply_error(ctx, req, "Virtual port not found");
    reply_buf r;
    blobmsg_add_string(&r.b, "status", "success");
    blobmsg_add_string(&r.b, "path", link.c_str());
    r.send(ctx, req);
    return UBUS_STATUS_OK;
}
