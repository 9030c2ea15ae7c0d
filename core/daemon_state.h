// The process-wide state of the daemon: bus connection, port registry and
// monitor thread. Zero-filled at start-up; torn down in the reverse order.
#pragma once

#include <pthread.h>

#include <atomic>

struct ubus_context;
struct port_entry;

struct daemon_state {
    ubus_context *ctx;

    // Registry: newest record first. Guarded by registry_lock.
    port_entry *ports;
    pthread_mutex_t registry_lock;

    // Monitor thread. monitor_lock/monitor_cond let a stop request wake the
    // thread at once instead of waiting out its sleep.
    pthread_t monitor_thread;
    bool monitor_started;
    std::atomic<int> monitor_stop;
    pthread_mutex_t monitor_lock;
    pthread_cond_t monitor_cond;
    bool monitor_wanted; // a pass is due now (guarded by monitor_lock)

    // True once the process has been told to stop. A command waiting on the
    // main thread asks it, since the stop signal cannot wake that wait.
    // Empty outside the event loop.
    bool (*stopping)();
};

extern daemon_state g_daemon;
