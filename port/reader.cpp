// Port reader: one thread per open port. It captures raw bytes for the
// waiting command and cuts the stream into lines at CR LF, ending the
// command at the first line that holds an end flag. It sleeps in poll() on
// the device and the record's wake_fd, so an idle port costs nothing and a
// stop request is seen at once. Locks taken: line_lock, then capture_lock.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "port/port_internal.h"

constexpr int READ_CHUNK = 1023;
constexpr int LINE_MAX_BYTES = PORT_BUFFER_SIZE - 1;

static void capture_chunk(port_entry *entry, const char *chunk, int n)
{
    mutex_guard guard(&entry->capture_lock);
    at_response &cap = entry->capture;
    // A chunk that does not fit is dropped whole rather than cut, so the
    // capture never ends in the middle of a chunk the modem sent at once.
    if (!entry->waiting || cap.length + n > CAPTURE_MAX)
        return;
    memcpy(cap.data + cap.length, chunk, n);
    cap.length += n;
    cap.data[cap.length] = '\0';
}

// The line's text ends at its first NUL, so a stray zero byte only cuts
// that one line short.
static void handle_line(port_entry *entry, const char *line)
{
    if (line[0] == '\0')
        return;
    // The modem echoes our own command; its text must never end the wait,
    // even when it contains one of the flags.
    if (line[0] == 'A' && line[1] == 'T')
        return;

    // Matched under capture_lock: the transaction rewrites the end flags
    // under the same lock, so a late line cannot see a half-written list.
    char matched[END_FLAG_SIZE];
    mutex_guard guard(&entry->capture_lock);
    if (!entry->waiting || !end_flag_match(entry, line, matched))
        return;
    clock_gettime(CLOCK_REALTIME, &entry->capture.end);
    memcpy(entry->capture.matched_flag, matched, END_FLAG_SIZE);
    entry->capture.status = 0;
    entry->waiting = 0;
    pthread_cond_signal(&entry->capture_cond);
}

static void assemble_lines(port_entry *entry, const char *chunk, int n)
{
    mutex_guard guard(&entry->line_lock);
    char *buf = entry->line_buffer;
    if (n > LINE_MAX_BYTES - entry->line_length) {
        entry->line_length = 0;
        buf[0] = '\0';
        return;
    }
    int old_length = entry->line_length;
    memcpy(buf + old_length, chunk, n);
    entry->line_length += n;
    buf[entry->line_length] = '\0';

    // Lines are cut by byte count, so NUL bytes never hide a CR LF. The
    // buffered rest held no CR LF, so only its last byte can start one.
    int line_start = 0;
    int search_from = old_length > 0 ? old_length - 1 : 0;
    for (;;) {
        void *crlf = memmem(buf + search_from, entry->line_length - search_from, "\r\n", 2);
        if (!crlf)
            break;
        int cr = static_cast<char *>(crlf) - buf;
        buf[cr] = '\0';
        handle_line(entry, buf + line_start);
        line_start = search_from = cr + 2;
    }
    if (line_start > 0) {
        entry->line_length -= line_start;
        memmove(buf, buf + line_start, entry->line_length);
        buf[entry->line_length] = '\0';
    }
}

void port_process_chunk(port_entry *entry, const char *chunk, int n)
{
    capture_chunk(entry, chunk, n);
    assemble_lines(entry, chunk, n);
}

// Waits up to timeout_ms (-1: no limit) for the wake_fd; a wake-up is
// consumed here, the caller then looks at stop_reader.
static void pause_reader(port_entry *entry, int timeout_ms)
{
    pollfd wake = {entry->wake_fd, POLLIN, 0};
    if (poll(&wake, 1, timeout_ms) > 0) {
        uint64_t count;
        ssize_t n = read(entry->wake_fd, &count, sizeof(count));
        (void)n;
    }
}

// Returns the device's poll events, or 0 when woken or interrupted.
static short wait_for_device(port_entry *entry)
{
    pollfd fds[2] = {{entry->fd, POLLIN, 0}, {entry->wake_fd, POLLIN, 0}};
    if (poll(fds, 2, -1) <= 0)
        return 0;
    if (fds[1].revents) {
        pause_reader(entry, 0);
        return 0;
    }
    return fds[0].revents;
}

// The thread and the descriptor stay until the port is released; the
// monitor does that at once, since an open descriptor keeps a USB modem's
// tty name taken and the modem would come back under another one.
static void mark_failed(port_entry *entry, const char *reason)
{
    fprintf(stderr, "Error reading from port %s: %s, marking as closed\n", entry->path, reason);
    entry->is_open = 0;
    port_monitor_wake();
}

void *port_reader_main(void *arg)
{
    port_entry *entry = static_cast<port_entry *>(arg);
    char chunk[READ_CHUNK + 1];

    // is_open is set before the reader starts and cleared only once it has
    // ended (by itself or joined), so the loop watches stop_reader alone.
    while (!entry->stop_reader) {
        short events = wait_for_device(entry);
        if (!events)
            continue;
        ssize_t n = read(entry->fd, chunk, READ_CHUNK);
        if (n > 0) {
            port_process_chunk(entry, chunk, n);
        } else if (n == 0 && (events & POLLHUP)) {
            // A hung-up tty (modem reset, pty master gone) reads end of file
            // for ever while its descriptor stays valid, so the monitor's
            // checks pass; only giving it up lets the next command or the
            // monitor open the device node afresh.
            mark_failed(entry, "device hung up");
            break;
        } else if (n == 0 || ((errno == EAGAIN || errno == EWOULDBLOCK) && !(events & POLLIN))) {
            pause_reader(entry, 10);
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            mark_failed(entry, strerror(errno));
            break;
        }
    }
    return nullptr;
}
