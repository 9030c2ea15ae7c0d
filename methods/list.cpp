#include <pthread.h>
#include <unistd.h>

#include "core/daemon_state.h"
#include "methods/methods.h"
#include "methods/reply.h"
#include "port/port.h"

static void add_port(blob_buf *b, const port_entry *entry)
{
    void *table = blobmsg_open_table(b, nullptr);
    blobmsg_add_string(b, "port", entry->path);
    int32_t is_open = entry->is_open.load();
    blobmsg_add_u32(b, "is_open", static_cast<uint32_t>(is_open));
    if (is_open) {
        blobmsg_add_u32(b, "fd", static_cast<uint32_t>(entry->fd.load()));
        // The four settings go together, decided by the speed alone.
        if (entry->baudrate > 0) {
            blobmsg_add_u32(b, "baudrate", static_cast<uint32_t>(entry->baudrate));
            blobmsg_add_u32(b, "databits", static_cast<uint32_t>(entry->databits));
            blobmsg_add_u32(b, "parity", static_cast<uint32_t>(entry->parity));
            blobmsg_add_u32(b, "stopbits", static_cast<uint32_t>(entry->stopbits));
        }
    } else {
        blobmsg_add_string(b, "file_status", access(entry->path, F_OK) == 0 ? "exists" : "missing");
    }
    blobmsg_add_u32(b, "last_check", static_cast<uint32_t>(entry->last_check));
    blobmsg_close_table(b, table);
}

int handle_list(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *)
{
    reply_buf r;
    void *ports = blobmsg_open_array(&r.b, "ports");
    // Held for the whole walk so the monitor cannot change a port between
    // two of its keys.
    pthread_mutex_lock(&g_daemon.registry_lock);
    for (const port_entry *entry = g_daemon.ports; entry; entry = entry->next)
        add_port(&r.b, entry);
    pthread_mutex_unlock(&g_daemon.registry_lock);
    blobmsg_close_array(&r.b, ports);
    r.send(ctx, req);
    return UBUS_STATUS_OK;
}
