// The engine as a whole: created before the bus is served, stopped when the
// event loop has seen a stop signal, destroyed last.
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "port/port_internal.h"

port_engine *port_engine_create()
{
    int wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd < 0)
        return nullptr;
    port_engine *engine = new port_engine();
    engine->mono_origin = mono_seconds();
    engine->output_queued = tty_output_queued;
    pthread_mutex_init(&engine->registry_lock, nullptr);
    pthread_mutex_init(&engine->open_lock, nullptr);
    pthread_mutex_init(&engine->outbox.lock, nullptr);
    engine->outbox.wake_fd = wake_fd;
    engine->outbox.tokens = EVENTS_PER_SECOND_ALL;
    engine->outbox.tokens_ms = mono_ms();
    pthread_mutex_init(&engine->monitor.lock, nullptr);
    cond_init_monotonic(&engine->monitor.cond);
    pthread_mutex_init(&engine->hotplug.lock, nullptr);
    engine->hotplug.inotify_fd = -1;
    engine->hotplug.wake_fd = -1;
    hotplug_start(engine);
    return engine;
}

void port_engine_stop(port_engine *engine)
{
    engine->stopping = true;
    hotplug_stop(engine);
    std::vector<port_entry *> entries;
    {
        mutex_guard guard(&engine->registry_lock);
        for (port_entry *entry = engine->ports; entry; entry = entry->next)
            entries.push_back(entry);
    }
    // Poke all first, so the ports end their commands together.
    for (port_entry *entry : entries)
        port_poke(entry, POKE_QUIT);
    for (port_entry *entry : entries)
        port_join_thread(entry);
}

void port_engine_close_devices(port_engine *engine, int drain_max_ms)
{
    registry_close_all(engine, std::clamp(drain_max_ms, 0, OUTPUT_DRAIN_MAX_MS));
}

bool port_engine_stopping(const port_engine *engine)
{
    return engine->stopping;
}

void port_engine_destroy(port_engine *engine)
{
    if (!engine)
        return;
    engine->stopping = true;
    hotplug_stop(engine);
    registry_destroy_all(engine);
    for (int fd : {engine->outbox.wake_fd, engine->hotplug.inotify_fd, engine->hotplug.wake_fd})
        if (fd >= 0)
            close(fd);
    pthread_mutex_destroy(&engine->hotplug.lock);
    pthread_cond_destroy(&engine->monitor.cond);
    pthread_mutex_destroy(&engine->monitor.lock);
    pthread_mutex_destroy(&engine->outbox.lock);
    pthread_mutex_destroy(&engine->open_lock);
    pthread_mutex_destroy(&engine->registry_lock);
    delete engine;
}
