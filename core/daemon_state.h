// The process-wide state of the daemon: the bus connection and the port
// engine. Touched by the event-loop thread only.
#pragma once

#include <stdint.h>

struct ubus_context;
struct port_engine;

struct daemon_state {
    ubus_context *ctx;
    port_engine *engine;
    // Counts lost bus connections: a call that arrived on an earlier one is
    // never answered on the new one.
    uint32_t generation;
    bool connected;
};

extern daemon_state g_daemon;
