#include "core/daemon_state.h"
#include "methods/methods.h"
#include "methods/reply.h"
#include "port/port.h"
#include "vport/vport.h"

static void add_port(blob_buf *b, const port_snapshot &port)
{
    void *table = blobmsg_open_table(b, nullptr);
    blobmsg_add_string(b, "port", port.path.c_str());
    blobmsg_add_u32(b, "is_open", port.is_open ? 1 : 0);
    if (port.is_open) {
        blobmsg_add_u32(b, "fd", static_cast<uint32_t>(port.fd));
        // The four settings go together, decided by the speed alone.
        if (port.settings.baudrate > 0) {
            blobmsg_add_u32(b, "baudrate", static_cast<uint32_t>(port.settings.baudrate));
            blobmsg_add_u32(b, "databits", static_cast<uint32_t>(port.settings.databits));
            blobmsg_add_u32(b, "parity", static_cast<uint32_t>(port.settings.parity));
            blobmsg_add_u32(b, "stopbits", static_cast<uint32_t>(port.settings.stopbits));
        }
    } else {
        blobmsg_add_string(b, "file_status",
                           port_name_exists(g_daemon.engine, port.path.c_str()) ? "exists" : "missing");
    }
    if (!port.device.empty())
        blobmsg_add_string(b, "device", port.device.c_str());
    if (!port.hardware.empty())
        blobmsg_add_string(b, "hardware", port.hardware.c_str());
    blobmsg_add_u32(b, "last_check", port.last_check);
    if (!port.unsolicited.empty()) {
        void *prefixes = blobmsg_open_array(b, "unsolicited");
        for (const std::string &prefix : port.unsolicited)
            blobmsg_add_string(b, nullptr, prefix.c_str());
        blobmsg_close_array(b, prefixes);
    }
    if (!port.init.empty()) {
        void *commands = blobmsg_open_array(b, "init");
        for (const std::string &command : port.init)
            blobmsg_add_string(b, nullptr, command.c_str());
        blobmsg_close_array(b, commands);
    }
    if (std::vector<std::string> links = vport_links_of(port.path.c_str()); !links.empty()) {
        void *shared = blobmsg_open_array(b, "shared_as");
        for (const std::string &link : links)
            blobmsg_add_string(b, nullptr, link.c_str());
        blobmsg_close_array(b, shared);
    }
    if (!port.other_users.empty()) {
        void *users = blobmsg_open_array(b, "other_users");
        for (const port_other_user &user : port.other_users) {
            void *one = blobmsg_open_table(b, nullptr);
            blobmsg_add_u32(b, "pid", static_cast<uint32_t>(user.pid));
            blobmsg_add_string(b, "comm", user.comm.c_str());
            blobmsg_close_table(b, one);
        }
        blobmsg_close_array(b, users);
    }
    blobmsg_close_table(b, table);
}

// Answers at once from the records' current state; never waits for a port.
int handle_list(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *)
{
    reply_buf r;
    void *ports = blobmsg_open_array(&r.b, "ports");
    for (const port_snapshot &port : registry_snapshot(g_daemon.engine))
        add_port(&r.b, port);
    blobmsg_close_array(&r.b, ports);
    r.send(ctx, req);
    return UBUS_STATUS_OK;
}
