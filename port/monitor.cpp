// Port monitor: every 5 s a pass over the registry (under the registry
// lock) examines each port whose 30 s interval is due; it closes ports
// whose node vanished and reopens ports whose node is back or whose
// descriptor went bad. Intervals run on the monotonic clock.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/daemon_state.h"
#include "port/port_internal.h"

constexpr int MONITOR_PASS_SECONDS = 5;

static int reopen_saved(port_entry *entry)
{
    return port_open_locked(entry, entry->baudrate > 0 ? entry->baudrate : DEFAULT_BAUDRATE,
                            entry->databits > 0 ? entry->databits : DEFAULT_DATABITS, entry->parity,
                            entry->stopbits > 0 ? entry->stopbits : DEFAULT_STOPBITS);
}

static void check_open_port(port_entry *entry)
{
    if (access(entry->path, F_OK) != 0) {
        fprintf(stderr, "Port %s no longer exists, marking as closed\n", entry->path);
        port_release_locked(entry);
        return;
    }
    int fd = entry->fd;
    if (fd < 0 || fcntl(fd, F_GETFL) != -1 || errno != EBADF)
        return;
    fprintf(stderr, "Port %s file descriptor is invalid, reopening...\n", entry->path);
    // The number is no longer ours: closing it could hit a descriptor
    // someone else has opened since.
    entry->fd = -1;
    port_release_locked(entry);
    if (reopen_saved(entry) == 0)
        printf("Successfully reopened port %s after fd failure\n", entry->path);
    else
        fprintf(stderr, "Failed to reopen port %s after fd failure\n", entry->path);
}

static void check_closed_port(port_entry *entry)
{
    if (access(entry->path, F_OK) != 0)
        return;
    printf("Port %s exists but is closed, attempting to reopen...\n", entry->path);
    if (reopen_saved(entry) == 0)
        printf("Successfully reopened port %s\n", entry->path);
    else
        fprintf(stderr, "Failed to reopen port %s\n", entry->path);
}

// A port whose reader gave up still holds its finished thread and its
// descriptor; they are released on every pass, not only when the port's
// examination is due. Quietly: the reader has already said why.
static void release_failed(port_entry *entry)
{
    if (!entry->is_open && (entry->has_reader || entry->fd >= 0))
        port_release_locked(entry);
}

void port_check(port_entry *entry)
{
    mutex_guard guard(&entry->state_lock);
    release_failed(entry);

    int64_t now = mono_seconds();
    if (now - entry->last_check_mono < entry->check_interval)
        return;
    entry->last_check_mono = now;
    entry->last_check = time(nullptr);

    if (entry->is_open)
        check_open_port(entry);
    else
        check_closed_port(entry);
}

void *port_monitor_main(void *)
{
    while (!g_daemon.monitor_stop) {
        pthread_mutex_lock(&g_daemon.registry_lock);
        for (port_entry *entry = g_daemon.ports; entry; entry = entry->next)
            port_check(entry);
        pthread_mutex_unlock(&g_daemon.registry_lock);

        // The stop flag is tested under monitor_lock, and the stopper signals
        // under it, so a stop request cannot slip in before the wait.
        mutex_guard guard(&g_daemon.monitor_lock);
        timespec deadline = mono_deadline(MONITOR_PASS_SECONDS);
        while (!g_daemon.monitor_stop && !g_daemon.monitor_wanted) {
            if (pthread_cond_timedwait(&g_daemon.monitor_cond, &g_daemon.monitor_lock, &deadline) == ETIMEDOUT)
                break;
        }
        g_daemon.monitor_wanted = false;
    }
    return nullptr;
}

void port_monitor_wake()
{
    mutex_guard guard(&g_daemon.monitor_lock);
    g_daemon.monitor_wanted = true;
    pthread_cond_broadcast(&g_daemon.monitor_cond);
}

void port_monitor_start()
{
    g_daemon.monitor_stop = 0;
    if (pthread_create(&g_daemon.monitor_thread, nullptr, port_monitor_main, nullptr) != 0) {
        fprintf(stderr, "Failed to create port monitor thread\n");
        return;
    }
    g_daemon.monitor_started = true;
    printf("Port monitor thread started\n");
}

void port_monitor_stop()
{
    g_daemon.monitor_stop = 1;
    pthread_mutex_lock(&g_daemon.monitor_lock);
    pthread_cond_broadcast(&g_daemon.monitor_cond);
    pthread_mutex_unlock(&g_daemon.monitor_lock);
    if (!g_daemon.monitor_started)
        return;
    pthread_join(g_daemon.monitor_thread, nullptr);
    g_daemon.monitor_thread = pthread_t();
    g_daemon.monitor_started = false;
    printf("Port monitor thread stopped\n");
}
