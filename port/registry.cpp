// Port registry: the list of port records under g_daemon.registry_lock.
// Records are created and destroyed on the main thread only; the monitor
// walks the list under the lock, so a record is unlinked before it is torn
// down and the monitor never sees a record that is going away.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "core/daemon_state.h"
#include "port/port_internal.h"

void registry_init()
{
    g_daemon.ports = nullptr;
    g_daemon.monitor_thread = pthread_t();
    g_daemon.monitor_started = false;
    g_daemon.monitor_stop = 0;
    g_daemon.monitor_wanted = false;
    pthread_mutex_init(&g_daemon.registry_lock, nullptr);
    pthread_mutex_init(&g_daemon.monitor_lock, nullptr);
    cond_init_monotonic(&g_daemon.monitor_cond);
}

void registry_destroy_all()
{
    // port_destroy takes the registry lock itself, so only peek at the head.
    for (;;) {
        pthread_mutex_lock(&g_daemon.registry_lock);
        port_entry *head = g_daemon.ports;
        pthread_mutex_unlock(&g_daemon.registry_lock);
        if (!head)
            return;
        port_destroy(head);
    }
}

void registry_shutdown()
{
    pthread_cond_destroy(&g_daemon.monitor_cond);
    pthread_mutex_destroy(&g_daemon.monitor_lock);
    pthread_mutex_destroy(&g_daemon.registry_lock);
}

port_entry *port_find(const char *path)
{
    mutex_guard guard(&g_daemon.registry_lock);
    for (port_entry *entry = g_daemon.ports; entry; entry = entry->next)
        if (strcmp(entry->path, path) == 0)
            return entry;
    return nullptr;
}

static int count_locked()
{
    int count = 0;
    for (port_entry *entry = g_daemon.ports; entry; entry = entry->next)
        count++;
    return count;
}

int registry_count()
{
    mutex_guard guard(&g_daemon.registry_lock);
    return count_locked();
}

static void entry_free(port_entry *entry)
{
    pthread_cond_destroy(&entry->capture_cond);
    pthread_mutex_destroy(&entry->capture_lock);
    pthread_mutex_destroy(&entry->write_lock);
    pthread_mutex_destroy(&entry->line_lock);
    pthread_mutex_destroy(&entry->state_lock);
    close(entry->wake_fd);
    delete entry;
}

static port_entry *entry_alloc(const char *path)
{
    // Value-initialisation zero-fills the record, buffers included.
    port_entry *entry = new (std::nothrow) port_entry();
    if (!entry)
        return nullptr;
    entry->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (entry->wake_fd < 0) {
        delete entry;
        return nullptr;
    }
    strncpy(entry->path, path, PORT_PATH_MAX - 1);
    entry->fd = -1;
    entry->last_check = time(nullptr);
    entry->last_check_mono = mono_seconds();
    entry->check_interval = PORT_CHECK_INTERVAL;
    pthread_mutex_init(&entry->state_lock, nullptr);
    pthread_mutex_init(&entry->line_lock, nullptr);
    pthread_mutex_init(&entry->write_lock, nullptr);
    pthread_mutex_init(&entry->capture_lock, nullptr);
    cond_init_monotonic(&entry->capture_cond);
    return entry;
}

port_entry *port_create(const char *path)
{
    port_entry *entry = entry_alloc(path);
    if (!entry)
        return nullptr;

    pthread_mutex_lock(&g_daemon.registry_lock);
    if (count_locked() >= REGISTRY_MAX) {
        pthread_mutex_unlock(&g_daemon.registry_lock);
        entry_free(entry);
        return nullptr;
    }
    entry->next = g_daemon.ports;
    g_daemon.ports = entry;
    pthread_mutex_unlock(&g_daemon.registry_lock);
    return entry;
}

void port_destroy(port_entry *entry)
{
    if (!entry)
        return;

    pthread_mutex_lock(&g_daemon.registry_lock);
    for (port_entry **link = &g_daemon.ports; *link; link = &(*link)->next) {
        if (*link == entry) {
            *link = entry->next;
            break;
        }
    }
    pthread_mutex_unlock(&g_daemon.registry_lock);

    pthread_mutex_lock(&entry->state_lock);
    port_release_locked(entry);
    pthread_mutex_unlock(&entry->state_lock);
    entry_free(entry);
}
