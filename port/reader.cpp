// Reading a port: every chunk read from the device is captured for the
// waiting command, then cut into lines at CR LF. Each line may end the
// command (an end flag), pay an answer owed by an earlier command, or be an
// unsolicited line that is published as an event. All of it runs on the
// port's own thread, so none of it needs a lock.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "port/console.h"
#include "port/port_internal.h"

constexpr int READ_CHUNK = 1023;
constexpr int LINE_MAX_BYTES = PORT_BUFFER_SIZE - 1;

static void capture_chunk(port_entry *entry, const char *chunk, int n)
{
    at_response &cap = entry->capture;
    // A chunk that does not fit ends the capture: a later, smaller chunk
    // appended behind the gap would make a hole in the answer that nobody
    // could see. The end flag is still looked for in every line.
    entry->chunk_captured = entry->waiting && !entry->capture_truncated && cap.length + n <= CAPTURE_MAX;
    if (!entry->chunk_captured) {
        if (entry->waiting)
            entry->capture_truncated = true;
        return;
    }
    memcpy(cap.data + cap.length, chunk, n);
    cap.length += n;
    cap.data[cap.length] = '\0';
}

// The modem echoes our own command, and at a prompt the text typed after
// "> ": neither ends a wait or pays an owed answer, whatever it holds.
static bool is_echo(const port_entry *entry, const char *line)
{
    if (line[0] == 'A' && line[1] == 'T')
        return true;
    return line[0] == '>' && entry->current && entry->current->has_data;
}

// `tail` is the number of bytes of the current chunk behind this line.
static void handle_line(port_entry *entry, const char *line, size_t tail)
{
    if (line[0] == '\0')
        return;
    bool echo = is_echo(entry, line);
    // Whether it is one of the modem's own final results matters only to a
    // waiting command or a debt: an idle port's lines are not matched.
    bool modem_final =
        !echo && (entry->waiting || !entry->owed.empty()) && end_flag_match(&default_end_flags(), line, nullptr);
    if (!echo && owed_pay(entry, line, tail, modem_final))
        return;

    char matched[END_FLAG_SIZE];
    if (entry->waiting && !echo && end_flag_match(&entry->end_flags, line, matched)) {
        at_line_final(entry, matched, modem_final);
        return;
    }
    if (entry->waiting) {
        // One of the modem's own final codes that the caller's end flags
        // did not expect: it still counts as an answer the modem gave.
        if (modem_final)
            entry->finals_own++;
        owed_remember(entry, line);
        return;
    }
    // Lines behind the final line in the chunk that completed a command are
    // in its capture, but no part of its answer: they are published too, so
    // a listener's view does not depend on how the bytes were read.
    emit_line(entry, line, owed_late(entry));
}

// Looks at the unfinished rest of the line buffer for a "> " prompt: '>'
// and nothing but spaces behind it, after any line-end bytes.
static bool prompt_pending(const port_entry *entry)
{
    const char *p = entry->line_buffer;
    const char *end = p + entry->line_length;
    while (p < end && (*p == '\r' || *p == '\n'))
        p++;
    if (p == end || *p != '>')
        return false;
    for (p++; p < end; p++)
        if (*p != ' ')
            return false;
    return true;
}

// A zero byte from a confused modem must neither end a line early nor
// hide what follows it.
static void drop_nul_bytes(char *line, int *length)
{
    char *end = std::remove(line, line + *length, '\0');
    *length = static_cast<int>(end - line);
    *end = '\0';
}

// Cuts the lines complete in the buffer; `later` is the number of bytes of
// the chunk not yet appended.
static void cut_lines(port_entry *entry, int search_from, int later)
{
    char *buf = entry->line_buffer;
    int line_start = 0;
    for (;;) {
        void *crlf = memmem(buf + search_from, entry->line_length - search_from, "\r\n", 2);
        if (!crlf)
            break;
        int cr = static_cast<char *>(crlf) - buf;
        int length = cr - line_start;
        drop_nul_bytes(buf + line_start, &length);
        handle_line(entry, buf + line_start, entry->line_length - (cr + 2) + later);
        line_start = search_from = cr + 2;
    }
    if (line_start > 0) {
        entry->line_length -= line_start;
        memmove(buf, buf + line_start, entry->line_length);
        buf[entry->line_length] = '\0';
    }
}

static void note_line_cut(port_entry *entry)
{
    entry->lines_cut++;
    int64_t now = mono_ms();
    if (now < entry->cut_report_ms)
        return;
    console_lines_cut(entry->path, entry->lines_cut, LINE_MAX_BYTES);
    entry->lines_cut = 0;
    entry->cut_report_ms = now + 60000;
}

// Drops the rest of a line that was too long, up to its CR LF. Returns the
// bytes of the chunk used up, or -1 when all were dropped.
static int skip_overflow(port_entry *entry, const char *chunk, int n)
{
    int end;
    if (entry->overflow_cr && chunk[0] == '\n') {
        end = 1;
    } else {
        const void *crlf = memmem(chunk, n, "\r\n", 2);
        if (!crlf) {
            entry->overflow_cr = chunk[n - 1] == '\r';
            return -1;
        }
        end = static_cast<const char *>(crlf) - chunk + 2;
    }
    entry->line_overflow = false;
    entry->overflow_cr = false;
    char *buf = entry->line_buffer;
    int length = entry->line_length;
    if (end == 1 && length > 0 && buf[length - 1] == '\r')
        length--; // the CR of this CR LF was the buffer's last byte
    drop_nul_bytes(buf, &length);
    handle_line(entry, buf, n - end);
    entry->line_length = 0;
    buf[0] = '\0';
    return end;
}

static void assemble_lines(port_entry *entry, const char *chunk, int n)
{
    char *buf = entry->line_buffer;
    while (n > 0) {
        if (entry->line_overflow) {
            int used = skip_overflow(entry, chunk, n);
            if (used < 0)
                return;
            chunk += used;
            n -= used;
            continue;
        }
        int take = std::min(n, LINE_MAX_BYTES - entry->line_length);
        int old_length = entry->line_length;
        memcpy(buf + old_length, chunk, take);
        entry->line_length += take;
        buf[entry->line_length] = '\0';
        chunk += take;
        n -= take;
        // Lines are cut by byte count, so NUL bytes never hide a CR LF. The
        // buffered rest held no CR LF, so only its last byte can start one.
        cut_lines(entry, old_length > 0 ? old_length - 1 : 0, n);
        if (entry->line_length == LINE_MAX_BYTES) {
            // A line longer than the buffer keeps its first part; the rest
            // is dropped, but its CR LF and what follows count as usual.
            entry->line_overflow = true;
            entry->overflow_cr = buf[LINE_MAX_BYTES - 1] == '\r';
            note_line_cut(entry);
        }
    }
}

void port_process_chunk(port_entry *entry, const char *chunk, int n)
{
    capture_chunk(entry, chunk, n);
    assemble_lines(entry, chunk, n);
    if (entry->phase == PHASE_WAIT_PROMPT && prompt_pending(entry))
        at_prompt_seen(entry);
}

void port_fail(port_entry *entry, const char *reason)
{
    console_read_failed(entry->path, reason);
    // Closed at once: an open descriptor keeps a USB modem's tty name taken,
    // and the modem would come back under another one.
    port_close(entry);
    // The device is gone for good: a new one will not finish its answers.
    at_port_closed(entry, false);
    port_forget_stream(entry);
    emit_state(entry, "error");
}

// Reads until the device has nothing more (a few chunks at most, so a
// flooding modem cannot starve the port's other work). A read that returns
// less than it asked for has emptied what the kernel held: the next poll
// says when more comes, so no read is spent on learning it is empty.
void port_read_ready(port_entry *entry, short revents)
{
    char chunk[READ_CHUNK + 1];
    for (int round = 0; round < 8 && entry->fd >= 0; round++) {
        ssize_t n = read(entry->fd, chunk, READ_CHUNK);
        if (n > 0) {
            port_process_chunk(entry, chunk, static_cast<int>(n));
            if (n < READ_CHUNK)
                return;
            continue;
        }
        if (n == 0 && (revents & POLLHUP)) {
            // A hung-up tty (modem reset, pty master gone) reads end of file
            // for ever while its descriptor stays valid.
            port_fail(entry, "device hung up");
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            // Every failed read names its error, a tty hung up under the
            // read included ("Input/output error"): log filters go by it.
            port_fail(entry, strerror(errno));
        } else if (n == 0) {
            // Some devices report readable and read nothing; don't spin.
            usleep(10000);
        }
        return;
    }
}
