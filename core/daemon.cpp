#include "core/daemon.h"

#include <cstdio>
#include <deque>

#include "core/bus_api.h"
#include "core/daemon_state.h"
#include "core/events.h"
#include "core/object.h"
#include "core/stop_guard.h"
#include "methods/call.h"
#include "methods/methods.h"
#include "port/port.h"
#include "vport/vport.h"

// Hands what the port threads finished to the bus: replies and events.
// Nothing it calls drains the outbox again.
static void drain_outbox(bool publish)
{
    // Empty between rounds; it and the outbox trade their storage, so a
    // round allocates nothing.
    static std::deque<outbox_item> items;
    port_outbox_take(g_daemon.engine, &items);
    for (outbox_item &item : items) {
        if (item.op && item.op->finished) {
            item.op->finished(item.op);
        } else if (item.op) {
            call_finished(item.op);
        } else {
            if (publish)
                publish_event(item.event);
            events_observed(item.event);
        }
    }
    items.clear();
}

static void on_outbox(uloop_fd *, unsigned int)
{
    drain_outbox(true);
}

static uloop_fd outbox_watch = {
    .cb = on_outbox, .fd = -1, .eof = false, .error = false, .registered = false, .flags = 0};

// The broker went away (restarted, or killed): the ports keep running and
// the daemon tries to get back on the bus once a second. Calls in flight
// went with the broker; their replies are never sent on the new connection.
constexpr int RECONNECT_MS = 1000;

static void try_reconnect(uloop_timeout *timer)
{
    if (stop_guard_signalled())
        return;
    if (ubus_reconnect(g_daemon.ctx, nullptr) != 0) {
        uloop_timeout_set(timer, RECONNECT_MS);
        return;
    }
    ubus_add_uloop(g_daemon.ctx);
    g_daemon.connected = true;
    printf("Reconnected to ubus\n");
}

static uloop_timeout reconnect_timer = {.list = {}, .pending = false, .cb = try_reconnect, .time = {}};

static void on_connection_lost(ubus_context *)
{
    g_daemon.connected = false;
    // Cut off at the stop's deadline, or lost once the stop signal came
    // (which ends the loop): nothing reconnects.
    if (stop_guard_signalled())
        return;
    fprintf(stderr, "Lost connection to ubus, reconnecting\n");
    g_daemon.generation++;
    uloop_timeout_set(&reconnect_timer, RECONNECT_MS);
}

// Of the second the daemon has after SIGTERM, what is left once the bus
// is let go goes to closing the devices, less this for the rest.
constexpr int EXIT_MARGIN_MS = 50;

// Losing the broker while stopping changes nothing: there is no reconnect.
static void on_connection_lost_stopping(ubus_context *)
{
    g_daemon.connected = false;
}

// A broker may stop reading a client the moment it sees it hang up, and
// throw away whatever it had not read yet: replies written just before
// closing could all be lost. It answers a call on its own event object
// itself, in order behind everything sent before, so that answer means
// the replies were taken. "register" without arguments is refused and
// changes nothing; any answer will do, and none before the stop guard
// would cut the connection means the broker is stuck, which must not hold
// up the exit.
static void wait_until_replies_taken()
{
    g_daemon.ctx->connection_lost = on_connection_lost_stopping;
    int left_ms = stop_guard_left_ms(BUS_CUT_AFTER_MS);
    if (!g_daemon.connected || left_ms <= 0)
        return;
    ubus_invoke(g_daemon.ctx, UBUS_SYSTEM_OBJECT_EVENT, "register", nullptr, nullptr, nullptr, left_ms);
}

// Once the loop has seen SIGTERM or SIGINT: nothing more starts or is
// written, the running commands end as timeouts, and every call still
// waiting is answered before the connection goes.
static void stop_serving()
{
    port_monitor_stop(g_daemon.engine);
    port_engine_stop(g_daemon.engine);
    drain_outbox(false);
    std::deque<port_op *> leftovers;
    port_engine_leftovers(g_daemon.engine, &leftovers);
    calls_stopping(&leftovers);
    uloop_fd_delete(&outbox_watch);
    uloop_timeout_cancel(&reconnect_timer);
    vport_stop();
    wait_until_replies_taken();
}

// Returns false when serving could not begin.
static bool serve()
{
    g_daemon.engine = port_engine_create();
    if (!g_daemon.engine) {
        // Without its wake-up descriptor no call would ever be answered.
        fprintf(stderr, "Failed to start the port engine\n");
        return false;
    }
    g_daemon.connected = true;
    // Edge-triggered: each wake-up of the outbox is one event, and the
    // descriptor is never read (one system call less per reply).
    outbox_watch.fd = port_outbox_fd(g_daemon.engine);
    uloop_fd_add(&outbox_watch, ULOOP_READ | ULOOP_EDGE_TRIGGER);
    port_monitor_start(g_daemon.engine);
    vport_start(g_daemon.engine);
    events_observe(vport_event);
    static bool observed = false;
    if (!observed)
        events_observe(ussd_port_event);
    observed = true;
    printf("ubus-tarnel started\n");
    // A stop signal during start-up may have come before the loop could
    // see it (the loop forgets a cancel made before it runs).
    if (!stop_guard_signalled())
        uloop_run();
    stop_serving();
    return true;
}

int daemon_run()
{
    // A service log must show each line the moment it is written.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    uloop_init();

    g_daemon.ctx = ubus_connect(nullptr);
    if (!g_daemon.ctx) {
        fprintf(stderr, "Failed to connect to ubus\n");
        uloop_done();
        return 1;
    }
    stop_guard_start(g_daemon.ctx->sock.fd);
    g_daemon.ctx->connection_lost = on_connection_lost;
    ubus_add_uloop(g_daemon.ctx);
    int ret = ubus_add_object(g_daemon.ctx, &tarnel_object);
    bool served = false;
    if (ret == 0)
        served = serve();
    else if (!stop_guard_signalled())
        fprintf(stderr, "Failed to add object: %s\n", ubus_strerror(ret));
    stop_guard_release();
    ubus_free(g_daemon.ctx);
    g_daemon.ctx = nullptr;
    stop_guard_end();
    uloop_done();
    // The port threads were joined when serving ended: every device closes
    // now, at the same time, within what is left of the stop's second.
    if (g_daemon.engine)
        port_engine_close_devices(g_daemon.engine, stop_guard_left_ms(STOP_WITHIN_MS) - EXIT_MARGIN_MS);
    port_engine_destroy(g_daemon.engine);
    g_daemon.engine = nullptr;
    // A stop signal that cut the registration short is no failure.
    return served || stop_guard_signalled() ? 0 : 1;
}
