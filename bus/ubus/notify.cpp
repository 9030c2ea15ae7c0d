// Notifications to an object's subscribers. A waiting notify first gets
// the broker's list of subscribers, then one status per subscriber (from
// peer = subscriber object); it ends when every tracked one has answered.
#include "bus/ubus/ubus_internal.h"

#include <cstring>

namespace
{

struct notify_wait {
    ubus_request req; // first: requests are found by container
    bool listed;      // the broker's subscriber list arrived
    int n_peers;
    uint32_t peers[UBUS_MAX_NOTIFY_PEERS];
};

notify_wait *wait_of(ubus_request *req)
{
    return container_of(req, notify_wait, req);
}

void list_subscribers(notify_wait *nw, const blob_attr *subs)
{
    blob_attr *cur;
    size_t rem;

    blob_for_each_attr(cur, subs, rem)
    {
        if (blob_len(cur) == sizeof(uint32_t) && nw->n_peers < UBUS_MAX_NOTIFY_PEERS)
            nw->peers[nw->n_peers++] = blob_get_u32(cur);
    }
}

void forget_peer(notify_wait *nw, uint32_t peer)
{
    for (int i = 0; i < nw->n_peers; i++) {
        if (nw->peers[i] == peer) {
            nw->peers[i] = nw->peers[--nw->n_peers];
            return;
        }
    }
}

} // namespace

bool ubus_notify_peer_match(struct ubus_request *req, uint32_t peer)
{
    notify_wait *nw = wait_of(req);

    if (!nw->listed)
        return peer == req->peer;
    for (int i = 0; i < nw->n_peers; i++) {
        if (nw->peers[i] == peer)
            return true;
    }
    return false;
}

void ubus_notify_status(struct ubus_request *req, struct ubus_msg_in *msg)
{
    notify_wait *nw = wait_of(req);

    if (nw->listed) {
        forget_peer(nw, msg->hdr.peer);
    } else {
        nw->listed = true;
        blob_attr *st = msg->tb[UBUS_ATTR_STATUS];
        int status = st ? blob_get_int32(st) : UBUS_STATUS_INVALID_ARGUMENT;
        if (status) {
            ubus_request_done(req, status);
            return;
        }
        list_subscribers(nw, msg->tb[UBUS_ATTR_SUBSCRIBERS]);
    }
    if (nw->n_peers == 0)
        ubus_request_done(req, 0);
}

int ubus_notify(struct ubus_context *ctx, struct ubus_object *obj, const char *type, struct blob_attr *msg, int timeout)
{
    blob_buf *b = ubus_msg_builder();

    blob_buf_init(b, 0);
    blob_put_int32(b, UBUS_ATTR_OBJID, obj->id);
    if (!type || !blob_put_string(b, UBUS_ATTR_METHOD, type) || !ubus_put_data(b, UBUS_ATTR_DATA, msg))
        return UBUS_STATUS_INVALID_ARGUMENT;

    if (timeout < 0) {
        blob_put_int8(b, UBUS_ATTR_NO_REPLY, 1);
        return ubus_send_msg(ctx, ++ctx->request_seq, b->head, UBUS_MSG_NOTIFY, obj->id, -1);
    }

    notify_wait nw;
    memset(&nw, 0, sizeof(nw));
    int ret = ubus_start_request(ctx, &nw.req, b->head, UBUS_MSG_NOTIFY, obj->id, -1);
    if (ret)
        return ret;
    nw.req.notify = true;
    return ubus_complete_request(ctx, &nw.req, timeout);
}
