#include "port/console.h"

#include <cstdio>
#include <cstring>
#include <string>

void console_open_failed(const char *path, const open_failure &why)
{
    switch (why.kind) {
    case open_failure::MISSING: fprintf(stderr, "Port file %s does not exist\n", path); break;
    case open_failure::OPEN_ERROR: fprintf(stderr, "Failed to open %s: %s\n", path, strerror(why.err)); break;
    case open_failure::NOT_SERIAL:
        fprintf(stderr, "Failed to open %s: %s\n", path,
                why.controlling ? "in use as a controlling terminal" : "not a serial port");
        break;
    case open_failure::IN_USE:
        fprintf(stderr, "Failed to open %s: device already open as %s\n", path, why.other);
        break;
    case open_failure::AMBIGUOUS: {
        std::string nodes;
        for (const std::string &node : why.nodes)
            nodes += " " + node;
        fprintf(stderr, "Port %s is ambiguous:%s\n", path, nodes.c_str());
        break;
    }
    // Said where it is found, once (console_replaced).
    case open_failure::REPLACED:
    case open_failure::NONE: break;
    }
}

void console_replaced(const char *path, const char *was, const char *now)
{
    fprintf(stderr, "Port %s is now another device (%s -> %s), not reopening\n", path, was, now);
}

void console_thread_failed(const char *path)
{
    fprintf(stderr, "Failed to create reader thread for %s\n", path);
}

void console_read_failed(const char *path, const char *reason)
{
    fprintf(stderr, "Error reading from port %s: %s, marking as closed\n", path, reason);
}

void console_lines_cut(const char *path, uint32_t count, int limit)
{
    fprintf(stderr, "Port %s sent %u line(s) longer than %d bytes; each was cut to that length\n", path, count, limit);
}

void console_vanished(const char *path)
{
    fprintf(stderr, "Port %s no longer exists, marking as closed\n", path);
}

void console_fd_invalid(const char *path)
{
    fprintf(stderr, "Port %s file descriptor is invalid, reopening...\n", path);
}

void console_fd_reopened(const char *path, bool ok)
{
    if (ok)
        printf("Successfully reopened port %s after fd failure\n", path);
    else
        fprintf(stderr, "Failed to reopen port %s after fd failure\n", path);
}

void console_reopening(const char *path)
{
    printf("Port %s exists but is closed, attempting to reopen...\n", path);
}

void console_reopened(const char *path, bool ok)
{
    if (ok)
        printf("Successfully reopened port %s\n", path);
    else
        fprintf(stderr, "Failed to reopen port %s\n", path);
}

void console_monitor_started(bool ok)
{
    if (ok)
        printf("Port monitor thread started\n");
    else
        fprintf(stderr, "Failed to create port monitor thread\n");
}

void console_monitor_stopped()
{
    printf("Port monitor thread stopped\n");
}

void console_watch_failed(const char *dir, int err)
{
    fprintf(stderr, "Cannot watch %s for device changes: %s; ports there are checked every %d seconds\n", dir,
            strerror(err), PORT_CHECK_INTERVAL);
}

void console_init_failed(const char *command, const char *path, const char *status)
{
    fprintf(stderr, "Init command %s on %s: %s\n", command, path, status);
}

void console_other_user(const char *path, const port_other_user &user)
{
    fprintf(stderr, "Port %s is also open in process %d (%s): its commands and answers mix with ours\n", path,
            static_cast<int>(user.pid), user.comm.c_str());
}
