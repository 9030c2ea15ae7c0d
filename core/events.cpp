#include "core/events.h"

#include "core/bus_api.h"
#include "core/daemon_state.h"
#include "core/object.h"

#include <vector>

void publish_event(const port_event &event)
{
    if (!g_daemon.connected)
        return;
    blob_buf b{};
    blob_buf_init(&b, 0);
    blobmsg_add_string(&b, "port", event.port.c_str());
    const char *name, *type; // the event's, the notification's
    if (event.is_state) {
        name = "tarnel.port";
        type = "port";
        blobmsg_add_u32(&b, "is_open", static_cast<uint32_t>(event.is_open));
        blobmsg_add_string(&b, "reason", event.reason);
        if (event.other.pid > 0) {
            blobmsg_add_u32(&b, "pid", static_cast<uint32_t>(event.other.pid));
            blobmsg_add_string(&b, "comm", event.other.comm.c_str());
        }
    } else {
        name = "tarnel.urc";
        type = "urc";
        blobmsg_add_string(&b, "line", event.line.c_str());
        if (event.late)
            blobmsg_add_u8(&b, "late", 1);
        if (event.dropped)
            blobmsg_add_u32(&b, "dropped", event.dropped);
    }
    // One round trip to the broker; the engine's rate limits keep these to
    // a small share of the loop's time.
    ubus_send_event(g_daemon.ctx, name, b.head);
    // Subscribers (a web page through the router's web server) get the same
    // table as a notification. Sent without waiting for them: a slow
    // subscriber must not hold up the loop, and with nobody subscribed the
    // broker would only drop it.
    if (tarnel_object.has_subscribers)
        ubus_notify(g_daemon.ctx, &tarnel_object, type, b.head, -1);
    blob_buf_free(&b);
}

static std::vector<event_observer> observers;

void events_observe(event_observer observer)
{
    observers.push_back(observer);
}

void events_observed(const port_event &event)
{
    for (event_observer o : observers)
        o(event);
}
