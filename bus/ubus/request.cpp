// Outgoing requests: sequence numbers, matching replies on (seq, peer) or,
// for a notification, on the subscribers' peers; synchronous and
// asynchronous completion, method calls and lookups.
#include "bus/ubus/ubus_internal.h"

#include <poll.h>
#include <time.h>

#include <cerrno>
#include <cstring>

namespace
{

int64_t now_ms()
{
    timespec ts;

    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

ubus_notify_request *notify_of(ubus_request *req)
{
    return container_of(req, ubus_notify_request, req);
}

// A notification is answered first by the broker (peer = the notifying
// object) with the list of subscribers, then by each subscriber.
bool notify_peer_match(ubus_request *req, uint32_t peer)
{
    ubus_notify_request *nr = notify_of(req);

    if (!nr->listed)
        return peer == req->peer;
    for (int i = 0; i < nr->n_peers; i++) {
        if (nr->peers[i] == peer)
            return true;
    }
    return false;
}

void list_subscribers(ubus_notify_request *nr, const blob_attr *subs)
{
    blob_attr *cur;
    size_t rem;

    blob_for_each_attr(cur, subs, rem)
    {
        if (blob_len(cur) == sizeof(uint32_t) && nr->n_peers < UBUS_MAX_NOTIFY_PEERS)
            nr->peers[nr->n_peers++] = blob_get_u32(cur);
    }
}

void forget_peer(ubus_notify_request *nr, uint32_t peer)
{
    for (int i = 0; i < nr->n_peers; i++) {
        if (nr->peers[i] == peer) {
            nr->peers[i] = nr->peers[--nr->n_peers];
            return;
        }
    }
}

// Done once every subscriber the broker listed (up to the tracked number)
// has answered, or at once when the broker refuses.
void notify_status(ubus_request *req, ubus_msg_in *msg)
{
    ubus_notify_request *nr = notify_of(req);

    if (nr->listed) {
        forget_peer(nr, msg->hdr.peer);
    } else {
        nr->listed = true;
        blob_attr *st = msg->tb[UBUS_ATTR_STATUS];
        int status = st ? blob_get_int32(st) : UBUS_STATUS_INVALID_ARGUMENT;
        if (status) {
            ubus_request_done(req, status);
            return;
        }
        list_subscribers(nr, msg->tb[UBUS_ATTR_SUBSCRIBERS]);
    }
    if (nr->n_peers == 0)
        ubus_request_done(req, 0);
}

ubus_request *find_request(ubus_context *ctx, uint16_t seq, uint32_t peer)
{
    ubus_request *req;

    list_for_each_entry(req, &ctx->requests, list)
    {
        if (req->seq != seq)
            continue;
        if (req->notify ? notify_peer_match(req, peer) : req->peer == peer)
            return req;
    }
    return nullptr;
}

// Waits for the socket without uloop: other fds and timers are not
// serviced meanwhile. What arrives goes through the context's own socket
// callback, which queues calls for local objects while a wait is on.
void poll_socket(ubus_context *ctx, int timeout)
{
    pollfd p = {ctx->sock.fd, POLLIN, 0};

    if (poll(&p, 1, timeout) < 0 && errno != EINTR)
        return;
    ubus_handle_event(ctx);
}

struct lookup_wait {
    ubus_lookup_handler_t cb;
    void *priv;
};

void lookup_data_cb(ubus_request *req, int, blob_attr *body)
{
    auto *lw = static_cast<lookup_wait *>(req->priv);
    blob_attr *tb[UBUS_ATTR_MAX];

    ubus_parse_attrs(body, tb);
    if (!tb[UBUS_ATTR_OBJID] || !tb[UBUS_ATTR_OBJPATH] || !lw->cb)
        return;

    ubus_object_data obj = {};
    obj.id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
    obj.type_id = tb[UBUS_ATTR_OBJTYPE] ? blob_get_u32(tb[UBUS_ATTR_OBJTYPE]) : 0;
    obj.path = blob_get_string(tb[UBUS_ATTR_OBJPATH]);
    obj.signature = tb[UBUS_ATTR_SIGNATURE];
    lw->cb(req->ctx, &obj, lw->priv);
}

void lookup_id_cb(ubus_request *req, int, blob_attr *body)
{
    blob_attr *tb[UBUS_ATTR_MAX];

    ubus_parse_attrs(body, tb);
    if (tb[UBUS_ATTR_OBJID])
        *static_cast<uint32_t *>(req->priv) = blob_get_u32(tb[UBUS_ATTR_OBJID]);
}

int send_lookup(ubus_context *ctx, const char *path, ubus_data_handler_t cb, void *priv)
{
    blob_buf *b = ubus_msg_builder();

    blob_buf_init(b, 0);
    if (path)
        blob_put_string(b, UBUS_ATTR_OBJPATH, path);
    return ubus_sync_request(ctx, b->head, UBUS_MSG_LOOKUP, 0, cb, priv);
}

} // namespace

// The request is matched only once it is completed (synchronously or not):
// until then nothing reads the socket on its behalf.
int ubus_start_request(struct ubus_context *ctx, struct ubus_request *req, struct blob_attr *body, int type,
                       uint32_t peer, int fd)
{
    memset(req, 0, sizeof(*req));
    INIT_LIST_HEAD(&req->list);
    INIT_LIST_HEAD(&req->pending);
    req->ctx = ctx;
    req->peer = peer;
    req->seq = ++ctx->request_seq;
    req->fd = -1;

    int ret = ubus_send_msg(ctx, req->seq, body, type, peer, fd);
    if (ret) {
        req->status_msg = true;
        req->status_code = ret;
    }
    return ret;
}

// complete_cb runs last: it may free the request.
void ubus_request_done(struct ubus_request *req, int status)
{
    list_del_init(&req->list);
    req->status_msg = true;
    req->status_code = status;
    if (req->complete_cb)
        req->complete_cb(req, status);
}

void ubus_process_reply(struct ubus_context *ctx, struct ubus_msg_in *msg)
{
    ubus_request *req = find_request(ctx, msg->hdr.seq, msg->hdr.peer);

    if (!req)
        return;

    if (msg->hdr.type == UBUS_MSG_DATA) {
        if (req->notify)
            return;
        if (req->raw_data_cb)
            req->raw_data_cb(req, UBUS_MSG_DATA, msg->body);
        else if (req->data_cb && msg->tb[UBUS_ATTR_DATA])
            req->data_cb(req, UBUS_MSG_DATA, msg->tb[UBUS_ATTR_DATA]);
        return;
    }

    if (msg->fd >= 0 && req->fd_cb) {
        int fd = msg->fd;
        msg->fd = -1;
        req->fd_cb(req, fd);
    }
    if (req->notify) {
        notify_status(req, msg);
        return;
    }
    // A STATUS without its status attribute is a malformed answer.
    blob_attr *st = msg->tb[UBUS_ATTR_STATUS];
    ubus_request_done(req, st ? blob_get_int32(st) : UBUS_STATUS_INVALID_ARGUMENT);
}

int ubus_complete_request(struct ubus_context *ctx, struct ubus_request *req, int timeout)
{
    if (req->status_msg)
        return req->status_code;
    if (ctx->lost) {
        ubus_request_done(req, UBUS_STATUS_CONNECTION_FAILED);
        return UBUS_STATUS_CONNECTION_FAILED;
    }
    if (list_empty(&req->list))
        list_add_tail(&req->list, &ctx->requests);

    int64_t deadline = timeout > 0 ? now_ms() + timeout : 0;
    req->blocked = true;
    ctx->stack_depth++;
    while (!req->status_msg) {
        int wait = -1;
        if (deadline) {
            int64_t left = deadline - now_ms();
            if (left <= 0) {
                // Forgotten: a late reply matches nothing and is dropped.
                ubus_request_done(req, UBUS_STATUS_TIMEOUT);
                break;
            }
            wait = int(left);
        }
        poll_socket(ctx, wait);
    }
    ctx->stack_depth--;
    req->blocked = false;

    if (!list_empty(&ctx->pending))
        uloop_timeout_set(&ctx->pending_timer, 1);
    return req->status_code;
}

void ubus_complete_request_async(struct ubus_context *ctx, struct ubus_request *req)
{
    if (req->status_msg || !list_empty(&req->list))
        return;
    if (ctx->lost) {
        ubus_request_done(req, UBUS_STATUS_CONNECTION_FAILED);
        return;
    }
    list_add_tail(&req->list, &ctx->requests);
}

void ubus_abort_request(struct ubus_context *, struct ubus_request *req)
{
    list_del_init(&req->list);
    req->cancelled = true;
}

// One request waited for without limit, replies going to raw_cb.
int ubus_sync_request(struct ubus_context *ctx, struct blob_attr *body, int type, uint32_t peer,
                      ubus_data_handler_t raw_cb, void *priv)
{
    ubus_request req;

    int ret = ubus_start_request(ctx, &req, body, type, peer, -1);
    if (ret)
        return ret;
    req.raw_data_cb = raw_cb;
    req.priv = priv;
    return ubus_complete_request(ctx, &req, 0);
}

int ubus_invoke_async_fd(struct ubus_context *ctx, uint32_t obj, const char *method, struct blob_attr *msg,
                         struct ubus_request *req, int fd)
{
    blob_buf *b = ubus_msg_builder();

    memset(req, 0, sizeof(*req));
    INIT_LIST_HEAD(&req->list);
    INIT_LIST_HEAD(&req->pending);
    req->status_msg = true;
    req->status_code = UBUS_STATUS_INVALID_ARGUMENT;

    blob_buf_init(b, 0);
    blob_put_int32(b, UBUS_ATTR_OBJID, obj);
    if (!method || !blob_put_string(b, UBUS_ATTR_METHOD, method) || !ubus_put_data(b, UBUS_ATTR_DATA, msg))
        return UBUS_STATUS_INVALID_ARGUMENT;
    return ubus_start_request(ctx, req, b->head, UBUS_MSG_INVOKE, obj, fd);
}

int ubus_invoke_fd(struct ubus_context *ctx, uint32_t obj, const char *method, struct blob_attr *msg,
                   ubus_data_handler_t cb, void *priv, int timeout, int fd)
{
    ubus_request req;

    int ret = ubus_invoke_async_fd(ctx, obj, method, msg, &req, fd);
    if (ret)
        return ret;
    req.data_cb = cb;
    req.priv = priv;
    return ubus_complete_request(ctx, &req, timeout);
}

int ubus_lookup(struct ubus_context *ctx, const char *path, ubus_lookup_handler_t cb, void *priv)
{
    lookup_wait lw = {cb, priv};

    return send_lookup(ctx, path, lookup_data_cb, &lw);
}

// Leaves *id alone when the broker answers without DATA.
int ubus_lookup_id(struct ubus_context *ctx, const char *path, uint32_t *id)
{
    if (!path || !id)
        return UBUS_STATUS_INVALID_ARGUMENT;
    return send_lookup(ctx, path, lookup_id_cb, id);
}
