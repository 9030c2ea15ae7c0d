#include "bench/listener.h"

#include <poll.h>

using bench_clock = std::chrono::steady_clock;

static void on_urc(ubus_context *, ubus_event_handler *handler, const char *, blob_attr *msg)
{
    urc_listener &listener = *reinterpret_cast<urc_listener::handler_hook *>(handler)->self;
    auto now = bench_clock::now();
    static const blobmsg_policy policy[] = {{"line", BLOBMSG_TYPE_STRING}, {"dropped", BLOBMSG_TYPE_INT32}};
    blob_attr *field[2] = {};
    if (msg)
        blobmsg_parse(policy, 2, field, blob_data(msg), blob_len(msg));
    listener.events++;
    if (field[1])
        listener.dropped += blobmsg_get_u32(field[1]);
    if (!listener.seen && field[0] && listener.awaited == blobmsg_get_string(field[0])) {
        listener.seen = true;
        listener.seen_at = now;
    }
}

bool listener_start(urc_listener &listener, ubus_context *ctx)
{
    listener.ctx = ctx;
    listener.hook.self = &listener;
    listener.hook.handler.cb = on_urc;
    return ctx && ubus_register_event_handler(ctx, &listener.hook.handler, "tarnel.urc") == UBUS_STATUS_OK;
}

void listener_pump(urc_listener &listener, int timeout_ms)
{
    pollfd in = {listener.ctx->sock.fd, POLLIN, 0};
    if (poll(&in, 1, timeout_ms) > 0)
        ubus_handle_event(listener.ctx);
}

void listener_expect(urc_listener &listener, const std::string &line)
{
    listener.awaited = line;
    listener.seen = false;
}

bool listener_wait(urc_listener &listener, int timeout_ms)
{
    auto end = bench_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!listener.seen) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(end - bench_clock::now()).count();
        if (left <= 0)
            return false;
        listener_pump(listener, static_cast<int>(left));
    }
    return true;
}
