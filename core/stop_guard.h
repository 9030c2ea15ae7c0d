// The daemon is gone within STOP_WITHIN_MS of SIGTERM or SIGINT, whatever
// the broker does. The bus library waits for a frozen broker without a time
// limit (publishing an event, registering, the stop's own round trip), and
// only the event-loop thread may call it; so a helper thread hears of the
// signal too, and if the daemon still holds its bus connection when
// BUS_CUT_AFTER_MS have passed, it shuts the connection's socket down. The
// library call in progress then returns as if the broker had gone, and the
// exit goes on. Replies not delivered by then are lost with the broker.
//
// Works through the libubus and libubox API only: the loop's own signal
// handlers (installed by uloop_init) still run, after ours.
#pragma once

#include <chrono>

constexpr int STOP_WITHIN_MS = 1000;
constexpr int BUS_CUT_AFTER_MS = 700;

// After ubus_connect, with the connection's socket; nothing is guarded when
// the helper cannot start.
void stop_guard_start(int bus_fd);
// A stop signal has arrived.
bool stop_guard_signalled();
// Milliseconds left of `budget_ms` counted from the stop signal (or from
// the first call, when the stop came otherwise); never negative.
int stop_guard_left_ms(int budget_ms);
// The bus connection is about to be freed: from now on nothing is cut.
void stop_guard_release();
// Ends the helper and gives the loop its signal handlers back; before
// uloop_done, which restores what it found.
void stop_guard_end();
