// Reading a port: every chunk read from the device is captured for the
// waiting command, then cut into lines at CR LF. Each line is judged by the
// modem's grammar (port/grammar.h): it may be a message's text, an
// unsolicited line (published at once), part of an answer an earlier
// command still owes (set aside, and published once that answer is
// complete), or a line of the waiting command's answer, which ends at its
// end flag. All of it runs on the port's own thread, so none of it needs a
// lock.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "port/console.h"
#include "port/port_internal.h"

constexpr int READ_CHUNK = 1023;
constexpr int LINE_MAX_BYTES = PORT_BUFFER_SIZE - 1;

static void capture_chunk(port_entry *entry, const char *chunk, int n)
{
    at_response &cap = entry->capture;
    if (!entry->waiting || entry->capture_truncated)
        return;
    // A chunk that does not fit ends the capture: a later, smaller chunk
    // appended behind the gap would make a hole in the answer that nobody
    // could see. The end flag is still looked for in every line.
    if (cap.length + n > CAPTURE_MAX) {
        entry->capture_truncated = true;
        return;
    }
    memcpy(cap.data + cap.length, chunk, n);
    cap.length += n;
    cap.data[cap.length] = '\0';
}

// A line that looks like an echo but matches nothing written: a command
// line someone else typed, or one cut short; and at a prompt the text typed
// after "> ". Neither ends a wait or pays an owed answer, whatever it holds,
// and neither is news.
static bool is_stray_echo(const port_entry *entry, const char *line)
{
    if ((line[0] | 0x20) == 'a' && (line[1] | 0x20) == 't')
        return true;
    return line[0] == '>' && (entry->prompt_echo || (entry->current && entry->current->has_data));
}

// Whether the bytes read behind the current line hold an echo: a line that
// starts "AT". Only a modem that echoes sends one.
static bool echo_line_follows(const port_entry *entry, size_t tail)
{
    if (!entry->chunk || tail > size_t(entry->chunk_size))
        return false;
    const char *rest = entry->chunk + entry->chunk_size - tail;
    for (size_t i = 0; i + 1 < tail; i++) {
        bool line_start = i == 0 || rest[i - 1] == '\n' || rest[i - 1] == '\r';
        if (line_start && (rest[i] | 0x20) == 'a' && (rest[i + 1] | 0x20) == 't')
            return true;
    }
    return false;
}

// Whether a line goes to the waiting command's answer: nothing older is
// owed, and (with echo on) its echo came.
static bool answer_is_due(const port_entry *entry)
{
    return entry->waiting && entry->owed.empty() && (entry->echo != ECHO_ON || entry->echo_seen);
}

// Kept out of line: the string's growth, inlined, would make every line
// read pay for saving the registers it needs.
[[gnu::noinline]] static void add_answer_line(port_op *op, const char *line, size_t length)
{
    op->answer.append(line, length);
    op->answer += "\r\n";
}

// The waiting command's own lines, for a caller that wants them apart.
static void note_answer_line(port_entry *entry, const char *line, size_t length)
{
    if (entry->current && entry->current->wants_answer && answer_is_due(entry))
        add_answer_line(entry->current, line, length);
}

// A line that neither ends a command nor pays an owed answer: with the
// waiting command's text (and set aside with an older answer still owed),
// or, while nobody waits, published.
static void keep_line(port_entry *entry, const char *line, size_t length)
{
    note_answer_line(entry, line, length);
    if (entry->waiting)
        owed_remember(entry, line);
    else
        emit_line(entry, line, owed_late(entry));
}

// V.250 frames every response with CR LF on both sides, so between an
// information line and the final result comes an empty line.
static void note_blank(port_entry *entry)
{
    // Unsolicited lines may come between the two, each framed itself.
    entry->blank_after_info = entry->blank_after_info || entry->after_info;
    entry->after_info = false;
}

static void note_line(port_entry *entry, final_code code)
{
    if (code != FINAL_NONE) {
        if (entry->blank_after_info)
            entry->framing = true;
        else if (entry->after_info)
            entry->framing = false;
        entry->after_info = false;
    } else {
        entry->after_info = true;
    }
    entry->blank_after_info = false;
}

// A line of message or USSD text: the message's news, or its answer's.
static bool text_line_taken(port_entry *entry, const char *line, size_t length)
{
    text_line kind = entry->text.kind;
    if (kind == TEXT_NONE || !text_takes(&entry->text, line, length))
        return false;
    // Only an answer's own lines show how the modem frames its answers.
    if (kind != TEXT_UNSOLICITED) {
        entry->after_info = true;
        entry->blank_after_info = false;
    }
    if (kind == TEXT_UNSOLICITED)
        emit_line(entry, line, false);
    else
        keep_line(entry, line, length);
    return true;
}

// The OK that ends the running command: a command that set echo (most
// set nothing) has done so now.
static void note_ok(port_entry *entry)
{
    if (entry->out_echo_setting >= 0)
        echo_set(entry, entry->out_echo_setting);
}

// `tail` is the number of bytes of the current chunk behind this line.
static void handle_line(port_entry *entry, const char *line, size_t length, size_t tail)
{
    entry->line_tail = tail;
    // A text is over at the echo of a command we wrote: a delivered
    // message's text ends with its line, and nothing frames it behind.
    if (entry->text.kind != TEXT_NONE && entry->echo != ECHO_OFF && length > 0 && !entry->unechoed.empty() &&
        echo_pending(entry, line, length))
        entry->text = {};
    if (text_line_taken(entry, line, length))
        return;
    if (length == 0) {
        note_answer_line(entry, line, 0);
        note_blank(entry);
        return;
    }
    if (entry->prompt_abandoned && is_prompt_line(line, length))
        at_late_prompt(entry);
    // With no line awaiting its echo (usually so, once the echo came),
    // echo_take has nothing to take.
    if ((!entry->unechoed.empty() && echo_take(entry, line, length)) || is_stray_echo(entry, line)) {
        entry->after_info = entry->blank_after_info = false;
        return;
    }
    urc_match urc;
    if (!entry->unsolicited.empty() || unsolicited_lead(line[0]))
        urc = unsolicited_line(line, length, &entry->unsolicited);
    if (urc.found && unsolicited_for(urc, owed_judge(entry))) {
        entry->text = text_announced(urc, line, length, entry->framing);
        if (urc.startup)
            echo_modem_restarted(entry);
        // No information line of an answer: an unsolicited line and the
        // empty line in front of the next answer prove no framing. What an
        // answer showed before it still counts.
        emit_line(entry, line, false);
        return;
    }
    final_code code = final_code_of(line, length);
    note_line(entry, code);
    if (code == FINAL_NONE) {
        text_state announced = text_announced(urc, line, length, entry->framing);
        if (announced.kind != TEXT_NONE) {
            announced.kind = TEXT_ANSWER;
            entry->text = announced;
        }
    }
    // A final before any echo on a port just opened is the waiting
    // command's only if the modem does not echo; echoes read right behind
    // it show that it does, and that this final answered something older.
    if (code != FINAL_NONE && entry->echo == ECHO_UNKNOWN && entry->waiting && !entry->echo_seen &&
        entry->owed.empty() && echo_line_follows(entry, tail))
        entry->echo = ECHO_ON;
    // While echo is on, no line before a command's echo is its answer.
    bool gated = entry->echo == ECHO_ON;
    if (!entry->owed.empty() && (!gated || entry->owed.front().echoed)) {
        if (!owed_pay(entry, line, length, tail, code != FINAL_NONE))
            keep_line(entry, line, length); // older answers first: nothing older completes a newer command
        return;
    }
    if (!entry->waiting || (gated && !entry->echo_seen) || !entry->owed.empty() || entry->line_before_open) {
        // Nobody's: a final result counted for no one is an old answer.
        bool old = gated || entry->line_before_open;
        emit_line(entry, line, old && code != FINAL_NONE ? true : owed_late(entry));
        return;
    }
    // A final result with no echo before it, and nothing owed: the modem
    // does not echo.
    if (entry->echo == ECHO_UNKNOWN && !entry->echo_seen && code != FINAL_NONE && entry->phase != PHASE_WRITING)
        echo_set(entry, 0);
    note_answer_line(entry, line, length);
    char matched[END_FLAG_SIZE];
    if (entry->current->finals_only) {
        // Any final result ends it, and names itself.
        if (code == FINAL_NONE)
            return;
        size_t n = std::min(length, size_t(END_FLAG_SIZE - 1));
        memcpy(matched, line, n);
        matched[n] = '\0';
        if (code == FINAL_OK)
            note_ok(entry);
        at_line_final(entry, matched, true);
        return;
    }
    if (end_flag_match_line(&entry->end_flags, line, length, code, matched)) {
        if (code == FINAL_OK)
            note_ok(entry);
        at_line_final(entry, matched, code != FINAL_NONE);
        return;
    }
    // One of the modem's own final results that the caller's end flags did
    // not expect: it still counts as an answer the modem gave.
    if (code != FINAL_NONE)
        entry->finals_own++;
}

// Looks at the unfinished rest of the line buffer for a "> " prompt: '>'
// after any line-end bytes, and behind it nothing but spaces, or with
// `typed` the echo of text already typed.
static bool prompt_pending(const port_entry *entry, bool typed)
{
    const char *p = entry->line_buffer;
    const char *end = p + entry->line_length;
    while (p < end && (*p == '\r' || *p == '\n'))
        p++;
    if (p == end || *p != '>')
        return false;
    for (p++; p < end && !typed; p++)
        if (*p != ' ')
            return false;
    return true;
}

bool line_holds_prompt(const port_entry *entry)
{
    return prompt_pending(entry, true);
}

// A zero byte from a confused modem must neither end a line early nor
// hide what follows it.
static void drop_nul_bytes(char *line, int *length)
{
    if (memchr(line, '\0', size_t(*length)))
        *length = static_cast<int>(std::remove(line, line + *length, '\0') - line);
}

// Ends the line with a NUL, over its CR. Only a buffer that took in NUL
// bytes is searched for them.
static void end_line(const port_entry *entry, char *line, int *length)
{
    if (entry->line_nul)
        drop_nul_bytes(line, length);
    line[*length] = '\0';
}

// Where the next line end at or after `from` is, -1 for none: a CR LF, or
// a CR alone that ends the echo of a line we wrote (V.250 echoes the CR,
// and the answer's own CR LF comes after it). *cr_only tells which.
static int find_line_end(port_entry *entry, int line_start, int from, bool *cr_only)
{
    const char *buf = entry->line_buffer;
    int length = entry->line_length;
    while (from < length) {
        const char *cr = static_cast<const char *>(memchr(buf + from, '\r', size_t(length - from)));
        if (!cr)
            return -1;
        int at = int(cr - buf);
        if (at + 1 < length && buf[at + 1] == '\n') {
            *cr_only = false;
            return at;
        }
        if (!entry->unechoed.empty() && echo_pending(entry, buf + line_start, size_t(at - line_start))) {
            *cr_only = true;
            return at;
        }
        from = at + 1;
    }
    return -1;
}

// Cuts the lines complete in the buffer; `later` is the number of bytes of
// the chunk not yet appended.
static void cut_lines(port_entry *entry, int search_from, int later)
{
    char *buf = entry->line_buffer;
    int line_start = 0;
    for (;;) {
        bool cr_only = false;
        int cr = find_line_end(entry, line_start, search_from, &cr_only);
        if (cr < 0)
            break;
        int next = cr + (cr_only ? 1 : 2);
        int length = cr - line_start;
        int found_length = length;
        end_line(entry, buf + line_start, &length);
        // An echo told by its CR alone was found as this very line.
        if (!cr_only || length != found_length)
            echo_forget_pending(entry);
        entry->line_cr_ended = cr_only;
        entry->skip_lf = cr_only && next == entry->line_length && later == 0;
        handle_line(entry, buf + line_start, size_t(length), entry->line_length - next + later);
        echo_forget_pending(entry);
        entry->line_cr_ended = false;
        entry->line_before_open = false;
        line_start = search_from = next;
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
    end_line(entry, buf, &length);
    handle_line(entry, buf, size_t(length), n - end);
    entry->line_before_open = false;
    entry->line_length = 0;
    buf[0] = '\0';
    return end;
}

static void assemble_lines(port_entry *entry, const char *chunk, int n)
{
    char *buf = entry->line_buffer;
    // The LF of a CR LF whose CR ended an echo in the last chunk.
    if (std::exchange(entry->skip_lf, false) && n > 0 && chunk[0] == '\n' && entry->line_length == 0) {
        chunk++;
        n--;
    }
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
        if (old_length == 0)
            entry->line_nul = false;
        if (!entry->line_nul && memchr(chunk, '\0', size_t(take)))
            entry->line_nul = true;
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
    entry->chunk = chunk;
    entry->chunk_size = n;
    assemble_lines(entry, chunk, n);
    entry->chunk = nullptr;
    // A message text that starts with '>' is no prompt.
    if (entry->text.kind != TEXT_NONE)
        return;
    if (entry->prompt_abandoned && prompt_pending(entry, true)) {
        // Handled, the prompt is gone: a later command must not take it
        // for its own.
        at_late_prompt(entry);
        line_reset(entry);
    } else if (entry->phase == PHASE_WAIT_PROMPT && !entry->swallowed && prompt_pending(entry, false)) {
        at_prompt_seen(entry);
    }
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

// Bytes already waiting when a device is opened were sent before anything
// this record writes: read before its first command goes out, none of them
// can pass for that command's answer. A failure is left to the next poll.
// All of them: a pseudo-terminal alone holds some 20 KiB, and a short read
// only empties the line discipline's buffer while the driver's still holds
// more; only a read that finds nothing is the end. The bound only keeps a
// flooding modem from holding the open for ever.
constexpr int BACKLOG_READS_MAX = 128;

void port_read_backlog(port_entry *entry)
{
    char chunk[READ_CHUNK + 1];
    for (int round = 0; round < BACKLOG_READS_MAX && entry->fd >= 0; round++) {
        ssize_t n = read(entry->fd, chunk, READ_CHUNK);
        if (n <= 0)
            break;
        port_process_chunk(entry, chunk, static_cast<int>(n));
    }
    if (entry->fd < 0 || entry->text.kind != TEXT_NONE)
        return;
    // A prompt given up on is handled as it is read; any other is nobody's.
    if (!entry->prompt_abandoned && prompt_pending(entry, false))
        at_end_found_prompt(entry);
    else
        entry->line_before_open = entry->line_length > 0;
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
