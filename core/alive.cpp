#include "core/alive.h"

#include <cstdlib>

#include "core/daemon_state.h"
#include "core/object.h"
#include "port/port.h"

namespace
{

constexpr int ALIVE_EVERY_MS = 20000;

// TARNEL_ALIVE_MS shortens the period for tests; read once, at the first
// subscriber.
int alive_period_ms()
{
    static const int period = [] {
        const char *text = getenv("TARNEL_ALIVE_MS");
        char *end = nullptr;
        long ms = text ? strtol(text, &end, 10) : 0;
        return text && *text && !*end && ms >= 10 && ms <= 3600000 ? static_cast<int>(ms) : ALIVE_EVERY_MS;
    }();
    return period;
}

void send_alive(uloop_timeout *timer)
{
    if (!tarnel_object.has_subscribers)
        return;
    // While the broker is away the beat only waits for it: the subscribers
    // went with it, and the reconnect tells us again.
    if (g_daemon.connected && g_daemon.engine) {
        blob_buf b{};
        blob_buf_init(&b, 0);
        blobmsg_add_u32(&b, "ports", static_cast<uint32_t>(registry_count(g_daemon.engine)));
        ubus_notify(g_daemon.ctx, &tarnel_object, "alive", b.head, -1);
        blob_buf_free(&b);
    }
    uloop_timeout_set(timer, alive_period_ms());
}

uloop_timeout alive_timer = {.list = {}, .pending = false, .cb = send_alive, .time = {}};

} // namespace

void alive_subscribers_changed(ubus_context *, ubus_object *obj)
{
    // The period runs on across subscribers coming and going: a newcomer
    // hears the next beat within one period, which is all a follower needs.
    if (!obj->has_subscribers)
        uloop_timeout_cancel(&alive_timer);
    else if (!alive_timer.pending)
        uloop_timeout_set(&alive_timer, alive_period_ms());
}
