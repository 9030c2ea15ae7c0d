// The connection: connect, HELLO and reconnect, the socket callback and
// read loop, calls queued while a synchronous request waits, and
// connection loss.
#include "bus/ubus/ubus_internal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace
{

// A call for a local object that arrived during a synchronous wait. The
// body is copied behind the struct (its size keeps it 8-byte aligned).
struct pending_msg {
    list_head list;
    ubus_msghdr hdr;
    int fd;
};

blob_attr *pending_body(pending_msg *p)
{
    return reinterpret_cast<blob_attr *>(p + 1);
}

int compare_ids(const void *k1, const void *k2, void *)
{
    uint32_t a = *static_cast<const uint32_t *>(k1);
    uint32_t b = *static_cast<const uint32_t *>(k2);

    return a < b ? -1 : a > b;
}

// The environment lets a development host point clients at its own broker.
const char *socket_path(const char *path)
{
    if (path)
        return path;
    const char *env = getenv("UBUS_SOCKET");
    return env && *env ? env : UBUS_UNIX_SOCKET;
}

int open_socket(const char *path)
{
    sockaddr_un sun = {};

    if (strlen(path) >= sizeof(sun.sun_path))
        return -1;
    sun.sun_family = AF_UNIX;
    strcpy(sun.sun_path, path);

    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)) < 0 ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The broker speaks first; a client id of 0 or 1 is not a client.
bool read_hello(ubus_context *ctx)
{
    for (;;) {
        ubus_rx_result r = ubus_rx_frame(ctx);
        if (r == UBUS_RX_LOST)
            return false;
        if (r == UBUS_RX_FRAME)
            break;
        pollfd p = {ctx->sock.fd, POLLIN, 0};
        if (poll(&p, 1, -1) < 0 && errno != EINTR)
            return false;
    }

    ubus_msg_in msg;
    ubus_rx_take(ctx, &msg);
    bool ok = msg.hdr.version == 0 && msg.hdr.type == UBUS_MSG_HELLO && msg.hdr.peer > UBUS_CLIENT_ID_CHANNEL;
    if (ok)
        ctx->local_id = msg.hdr.peer;
    ubus_rx_recycle(ctx, &msg);
    return ok;
}

void queue_msg(ubus_context *ctx, ubus_msg_in *msg)
{
    size_t len = blob_pad_len(msg->body);
    auto *p = static_cast<pending_msg *>(malloc(sizeof(pending_msg) + len));

    // Out of memory: the call is lost and its caller times out, which is
    // what it would see from an overloaded broker too.
    if (!p)
        return;
    p->hdr = msg->hdr;
    p->fd = msg->fd;
    msg->fd = -1;
    memcpy(pending_body(p), msg->body, len);
    list_add_tail(&p->list, &ctx->pending);
    uloop_timeout_set(&ctx->pending_timer, 1);
}

void drop_pending(ubus_context *ctx)
{
    while (!list_empty(&ctx->pending)) {
        auto *p = list_first_entry(&ctx->pending, pending_msg, list);
        list_del(&p->list);
        ubus_close_fd(&p->fd);
        free(p);
    }
    uloop_timeout_cancel(&ctx->pending_timer);
}

void close_socket(ubus_context *ctx)
{
    uloop_fd_delete(&ctx->sock);
    drop_pending(ctx);
    if (ctx->sock.fd >= 0)
        close(ctx->sock.fd);
    ctx->sock.fd = -1;
    ubus_rx_reset(ctx);
}

void process_pending(ubus_context *ctx)
{
    while (ctx->stack_depth == 0 && !ctx->lost && !list_empty(&ctx->pending)) {
        auto *p = list_first_entry(&ctx->pending, pending_msg, list);
        list_del(&p->list);

        ubus_msg_in msg = {};
        msg.hdr = p->hdr;
        msg.body = pending_body(p);
        msg.fd = p->fd;
        ubus_parse_attrs(msg.body, msg.tb);
        ubus_process_obj_msg(ctx, &msg);
        ubus_close_fd(&msg.fd);
        free(p);
    }
}

void pending_timer_cb(uloop_timeout *t)
{
    process_pending(container_of(t, ubus_context, pending_timer));
}

void process_msg(ubus_context *ctx, ubus_msg_in *msg)
{
    switch (msg->hdr.type) {
    case UBUS_MSG_STATUS:
    case UBUS_MSG_DATA: ubus_process_reply(ctx, msg); break;
    case UBUS_MSG_INVOKE:
    case UBUS_MSG_NOTIFY:
    case UBUS_MSG_UNSUBSCRIBE:
        // A synchronous wait must not run handlers under its caller's feet.
        if (ctx->stack_depth > 0)
            queue_msg(ctx, msg);
        else
            ubus_process_obj_msg(ctx, msg);
        break;
    default: break;
    }
}

void handle_frame(ubus_context *ctx)
{
    ubus_msg_in msg;

    ubus_rx_take(ctx, &msg);
    if (msg.hdr.version == 0)
        process_msg(ctx, &msg);
    ubus_rx_recycle(ctx, &msg);
}

void fail_requests(ubus_context *ctx)
{
    while (!list_empty(&ctx->requests)) {
        auto *req = list_first_entry(&ctx->requests, ubus_request, list);
        ubus_request_done(req, UBUS_STATUS_CONNECTION_FAILED);
    }
}

// Every open request ends with CONNECTION_FAILED before the owner hears of
// the loss, so nothing is left waiting on a dead socket. The socket is left
// as uloop has it until the handler has run: the default one goes by that.
void connection_lost(ubus_context *ctx)
{
    if (ctx->lost)
        return;
    ctx->lost = true;
    drop_pending(ctx);
    fail_requests(ctx);
    if (ctx->connection_lost)
        ctx->connection_lost(ctx);
    // Unless the handler reconnected, a socket at end of stream without a
    // hang-up would wake the loop on every pass.
    if (ctx->lost)
        uloop_fd_delete(&ctx->sock);
}

// As a router's library does: only a loop that still watches the socket is
// ended, and uloop has stopped watching one that hung up before this runs.
void default_connection_lost(ubus_context *ctx)
{
    if (ctx->sock.registered)
        uloop_end();
}

// Handles every complete frame the socket holds, without blocking. It is
// called when the socket is readable: a read that emptied it earlier no
// longer counts.
void read_socket(ubus_context *ctx)
{
    ctx->rx.drained = false;
    while (!ctx->lost && ctx->sock.fd >= 0) {
        switch (ubus_rx_frame(ctx)) {
        case UBUS_RX_AGAIN: return;
        case UBUS_RX_LOST: connection_lost(ctx); return;
        case UBUS_RX_FRAME: handle_frame(ctx); break;
        }
    }
}

void sock_cb(uloop_fd *u, unsigned int)
{
    ubus_context *ctx = container_of(u, ubus_context, sock);

    // Calls queued earlier go first, so local objects see them in order.
    process_pending(ctx);
    read_socket(ctx);
    // uloop drops a socket that reported an error; it would never be
    // watched again, so the connection is as good as lost.
    if (!ctx->lost && u->error)
        connection_lost(ctx);
}

} // namespace

int ubus_connect_ctx(struct ubus_context *ctx, const char *path)
{
    memset(ctx, 0, sizeof(*ctx));
    ctx->sock.fd = -1;
    ctx->sock.cb = sock_cb;
    ctx->rx.fd = -1;
    ctx->rx.later_fd = -1;
    ctx->pending_timer.cb = pending_timer_cb;
    ctx->connection_lost = default_connection_lost;
    INIT_LIST_HEAD(&ctx->requests);
    INIT_LIST_HEAD(&ctx->pending);
    avl_init(&ctx->objects, compare_ids, false, nullptr);

    if (uloop_init() < 0)
        return -1;
    ctx->sock.fd = open_socket(socket_path(path));
    if (ctx->sock.fd < 0)
        return -1;
    if (!read_hello(ctx)) {
        ubus_shutdown(ctx);
        return -1;
    }
    return 0;
}

struct ubus_context *ubus_connect(const char *path)
{
    auto *ctx = static_cast<ubus_context *>(calloc(1, sizeof(ubus_context)));

    if (!ctx)
        return nullptr;
    if (ubus_connect_ctx(ctx, path) < 0) {
        free(ctx);
        return nullptr;
    }
    return ctx;
}

int ubus_reconnect(struct ubus_context *ctx, const char *path)
{
    // Nothing of the old connection may reach the new one.
    ctx->lost = true;
    close_socket(ctx);
    fail_requests(ctx);
    ctx->sock.eof = ctx->sock.error = false;

    int fd = open_socket(socket_path(path));
    if (fd < 0)
        return UBUS_STATUS_CONNECTION_FAILED;
    ctx->sock.fd = fd;
    ctx->lost = false;
    if (!read_hello(ctx)) {
        ctx->lost = true;
        close_socket(ctx);
        return UBUS_STATUS_CONNECTION_FAILED;
    }

    // A failure here is the caller's to handle from the result; its
    // handler must not run (and perhaps reconnect) inside this call.
    auto *handler = ctx->connection_lost;
    ctx->connection_lost = nullptr;
    int ret = ubus_add_objects_again(ctx);
    ctx->connection_lost = handler;
    if (ret) {
        ctx->lost = true;
        close_socket(ctx);
        fail_requests(ctx);
    }
    return ret;
}

// Objects vanish with the connection; the broker needs no messages for that.
void ubus_shutdown(struct ubus_context *ctx)
{
    if (ctx)
        close_socket(ctx);
}

void ubus_free(struct ubus_context *ctx)
{
    if (!ctx)
        return;
    ubus_shutdown(ctx);
    free(ctx);
}
