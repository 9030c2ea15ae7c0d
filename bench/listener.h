// A bench client that listens for the daemon's "tarnel.urc" events on a
// connection of its own, driven by polling that connection's socket, so
// the time an event arrives is the time the bench sees it.
#pragma once

#include <chrono>
#include <string>

#include "core/bus_api.h"

struct urc_listener {
    // The bus hands back only the handler; `self` leads back to us.
    struct handler_hook {
        ubus_event_handler handler;
        urc_listener *self;
    } hook{};
    ubus_context *ctx = nullptr;

    long events = 0;
    long dropped = 0; // summed "dropped" counts
    std::string awaited;
    bool seen = false; // an event carrying `awaited` arrived
    std::chrono::steady_clock::time_point seen_at;

    urc_listener() = default;
    urc_listener(const urc_listener &) = delete;
    urc_listener &operator=(const urc_listener &) = delete;
};

// Registers on ctx, which must not be used for anything else afterwards.
bool listener_start(urc_listener &listener, ubus_context *ctx);
// Handles what has arrived, waiting up to timeout_ms for the first of it.
void listener_pump(urc_listener &listener, int timeout_ms);
// Watches for an event carrying `line` from now on.
void listener_expect(urc_listener &listener, const std::string &line);
// Pumps until that event has arrived; false when timeout_ms passes first.
bool listener_wait(urc_listener &listener, int timeout_ms);
