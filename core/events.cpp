#include "core/events.h"

#include "core/bus_api.h"
#include "core/daemon_state.h"

void publish_event(const port_event &event)
{
    if (!g_daemon.connected)
        return;
    blob_buf b{};
    blob_buf_init(&b, 0);
    blobmsg_add_string(&b, "port", event.port.c_str());
    const char *name;
    if (event.is_state) {
        name = "tarnel.port";
        blobmsg_add_u32(&b, "is_open", static_cast<uint32_t>(event.is_open));
        blobmsg_add_string(&b, "reason", event.reason);
    } else {
        name = "tarnel.urc";
        blobmsg_add_string(&b, "line", event.line.c_str());
        if (event.late)
            blobmsg_add_u8(&b, "late", 1);
        if (event.dropped)
            blobmsg_add_u32(&b, "dropped", event.dropped);
    }
    // One round trip to the broker; the engine's rate limits keep these to
    // a small share of the loop's time.
    ubus_send_event(g_daemon.ctx, name, b.head);
    blob_buf_free(&b);
}
