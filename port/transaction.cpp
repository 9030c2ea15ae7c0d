// Command transaction: write one command and wait, without holding the
// port's state_lock, until the reader sees an end flag or the deadline
// (monotonic) passes. at_send_only writes and returns at once.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/daemon_state.h"
#include "port/port_internal.h"

// Caller holds state_lock, so the monitor cannot close the port between
// this check and the write.
static int ensure_open(port_entry *entry)
{
    if (entry->is_open)
        return 0;
    return port_open_locked(entry, DEFAULT_BAUDRATE, DEFAULT_DATABITS, DEFAULT_PARITY, DEFAULT_STOPBITS);
}

// Builds the bytes to send; *owned is what the caller frees. nullptr on bad
// hex or exhausted memory.
static const char *command_bytes(const char *command, bool is_hex, bool add_crlf, size_t *length, char **owned)
{
    *owned = nullptr;
    if (is_hex)
        return *owned = hex_decode(command, length);
    *length = strlen(command);
    if (!add_crlf)
        return command;
    char *bytes = static_cast<char *>(malloc(*length + 3));
    if (!bytes)
        return nullptr;
    memcpy(bytes, command, *length);
    memcpy(bytes + *length, "\r\n", 3);
    *length += 2;
    return *owned = bytes;
}

// How long a command may take to drain into a line that is slow to accept
// it (flow control, a full tty buffer) before it counts as not sent.
constexpr int64_t WRITE_DRAIN_MS = 2000;

// Writes the whole command. A short write on the non-blocking descriptor is
// continued once the line accepts more: giving up after the first part would
// leave a fragment in the modem for the next CR to execute.
static bool write_all(int fd, const char *bytes, size_t length)
{
    timespec start = mono_now();
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, bytes + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return false;
        int64_t left = WRITE_DRAIN_MS - mono_ms_between(start, mono_now());
        pollfd out = {fd, POLLOUT, 0};
        if (left <= 0 || poll(&out, 1, static_cast<int>(left)) <= 0)
            return false;
    }
    return true;
}

// Caller holds state_lock.
static int send_command(port_entry *entry, const char *command, bool is_hex, bool add_crlf)
{
    size_t length;
    char *owned;
    const char *bytes = command_bytes(command, is_hex, add_crlf, &length, &owned);
    if (!bytes)
        return -1;
    pthread_mutex_lock(&entry->write_lock);
    bool sent = write_all(entry->fd, bytes, length);
    pthread_mutex_unlock(&entry->write_lock);
    free(owned);
    return sent ? 0 : -1;
}

// The capture is cleared and waiting set before the command is written,
// so even an instant answer is captured and matched.
static void arm_capture(port_entry *entry, const char *end_flag_spec, const timespec &start)
{
    mutex_guard guard(&entry->capture_lock);
    end_flags_set(entry, end_flag_spec);
    memset(&entry->capture, 0, sizeof(entry->capture));
    entry->capture.start = start;
    entry->waiting = 1;
}

static void disarm_capture(port_entry *entry)
{
    mutex_guard guard(&entry->capture_lock);
    entry->waiting = 0;
}

constexpr long STOP_CHECK_NS = 100 * 1000000L;

static bool daemon_stopping()
{
    return g_daemon.stopping && g_daemon.stopping();
}

// The earlier of the deadline and a short slice from now.
static timespec next_wake(const timespec &deadline, bool *is_deadline)
{
    timespec wake = mono_now();
    wake.tv_nsec += STOP_CHECK_NS;
    if (wake.tv_nsec >= 1000000000L) {
        wake.tv_sec++;
        wake.tv_nsec -= 1000000000L;
    }
    *is_deadline =
        wake.tv_sec > deadline.tv_sec || (wake.tv_sec == deadline.tv_sec && wake.tv_nsec >= deadline.tv_nsec);
    return *is_deadline ? deadline : wake;
}

// Waits for the reader to clear waiting. Returns true when the deadline
// passed first; a flag recorded at the very moment of the timeout still
// counts as a timeout. A stopping daemon ends the wait as a timeout too,
// looking every 100 ms: a client's timeout may be hours, and a service
// manager kills a daemon that ignores its stop request.
static bool wait_for_answer(port_entry *entry, int32_t timeout_seconds)
{
    if (timeout_seconds <= 0)
        return entry->waiting != 0;
    timespec deadline = mono_deadline(timeout_seconds);
    while (entry->waiting) {
        if (daemon_stopping())
            return true;
        bool is_deadline;
        timespec wake = next_wake(deadline, &is_deadline);
        int rc = pthread_cond_timedwait(&entry->capture_cond, &entry->capture_lock, &wake);
        if (rc != 0 && (rc != ETIMEDOUT || is_deadline))
            return true;
    }
    return false;
}

static void take_result(port_entry *entry, at_response *result, const timespec &mono_start)
{
    const at_response &cap = entry->capture;
    result->length = cap.length;
    memcpy(result->data, cap.data, cap.length + 1);
    memcpy(result->matched_flag, cap.matched_flag, END_FLAG_SIZE);
    clock_gettime(CLOCK_REALTIME, &result->end);
    result->elapsed_ms = mono_ms_between(mono_start, mono_now());
}

at_outcome at_transact(port_entry *entry, const char *command, int32_t timeout_seconds, const char *end_flag_spec,
                       bool is_hex, at_response *result)
{
    memset(result, 0, sizeof(*result));
    result->status = -1;

    pthread_mutex_lock(&entry->state_lock);
    if (ensure_open(entry) != 0) {
        pthread_mutex_unlock(&entry->state_lock);
        return AT_SEND_FAILED;
    }
    clock_gettime(CLOCK_REALTIME, &result->start);
    timespec mono_start = mono_now();
    arm_capture(entry, end_flag_spec, result->start);
    int sent = send_command(entry, command, is_hex, true);
    pthread_mutex_unlock(&entry->state_lock);
    if (sent != 0) {
        disarm_capture(entry);
        return AT_SEND_FAILED;
    }

    mutex_guard guard(&entry->capture_lock);
    bool timed_out = wait_for_answer(entry, timeout_seconds);
    take_result(entry, result, mono_start);
    if (timed_out) {
        // Late bytes belong to no command; stop capturing them.
        entry->waiting = 0;
        return AT_TIMED_OUT;
    }
    result->status = 0;
    return AT_COMPLETED;
}

int at_send_only(port_entry *entry, const char *command, bool is_hex)
{
    mutex_guard guard(&entry->state_lock);
    if (ensure_open(entry) != 0)
        return -1;
    return send_command(entry, command, is_hex, false);
}
