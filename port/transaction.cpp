// The command transaction ("sendat"), driven by the port's thread: open the
// port if it is closed, arm the capture before anything is written (so an
// instant answer is caught), write the command as the line accepts it, and
// end at the first line holding an end flag or at the deadline. With prompt
// data the command goes out with CR alone, the data and Ctrl-Z follow the
// modem's "> ", and one deadline covers the whole exchange.
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "port/command_check.h"
#include "port/console.h"
#include "port/port_internal.h"

using namespace std::string_view_literals;

// How long a command may take to drain into a line that is slow to accept
// it (flow control, a full tty buffer) before it counts as not sent.
constexpr int64_t WRITE_DRAIN_MS = 2000;
constexpr char CTRL_Z = 0x1a;
constexpr char ESC = 0x1b;

void capture_arm(port_entry *entry)
{
    at_response &cap = entry->capture;
    cap.length = 0;
    cap.data[0] = '\0';
    cap.matched_flag[0] = '\0';
    entry->mono_start = mono_now();
    entry->waiting = 1;
    entry->capture_truncated = false;
    entry->answers_due = 1;
    entry->finals_own = 0;
    entry->paid_debt = false;
    entry->echo_doubt = false;
    entry->echo_seen = false;
    entry->anchor.clear();
    owed_forget_window(entry);
}

// The bytes of a command, laid out where they are written from; false for
// hex text that does not decode.
static bool command_bytes(const port_op *op, std::string *bytes)
{
    if (op->is_hex) {
        size_t length;
        char *decoded = hex_decode(op->command.c_str(), &length);
        if (!decoded)
            return false;
        bytes->assign(decoded, length);
        free(decoded);
        return true;
    }
    *bytes = op->command.c_str();
    if (op->send_only)
        return true;
    // At a prompt an LF would become the first character of the text.
    // The bytes laid out hold no NUL: the last line runs to their end.
    std::string_view laid_out(*bytes);
    size_t cr = laid_out.rfind('\r');
    std::string_view last = cr == std::string_view::npos ? laid_out : laid_out.substr(cr + 1);
    *bytes += op->has_data || command_prompts(last.data(), last.size()) ? "\r"sv : "\r\n"sv;
    return true;
}

static void finish(port_entry *entry)
{
    port_op *op = entry->current;
    entry->current = nullptr;
    entry->phase = PHASE_IDLE;
    entry->waiting = 0;
    entry->out.clear();
    entry->out_done = 0;
    entry->out_echo_setting = -1;
    owed_forget_window(entry);
    op->end_flags = entry->end_flags;
    port_finish_op(entry, op);
}

static void take_result(port_entry *entry, at_outcome outcome)
{
    port_op *op = entry->current;
    const at_response &cap = entry->capture;
    op->outcome = outcome;
    op->response.assign(cap.data, cap.length);
    if (memchr(cap.data, '\0', size_t(cap.length)))
        std::erase(op->response, '\0');
    op->truncated = entry->capture_truncated;
    memcpy(op->matched_flag, cap.matched_flag, END_FLAG_SIZE);
    op->elapsed_ms = mono_ms_between(entry->mono_start, mono_now());
    finish(entry);
}

// After an ESC ends a prompt, some modems acknowledge it with a final result
// and some say nothing: the next operation waits a moment so that such an
// acknowledgement is taken as the cancelled command's.
constexpr int64_t ESC_SETTLE_MS = 1000;

// Writes the ESC that ends a prompt; its acknowledgement, if the modem
// gives one, is owed by the command numbered `seq`, and the next operation
// waits for it.
static bool write_escape(port_entry *entry, uint32_t seq, const command_traits &traits)
{
    if (write(entry->fd, &ESC, 1) != 1)
        return false;
    echo_written(entry, &ESC, 1);
    owed_push(entry, {default_end_flags(), traits, seq, true, true, true, -1});
    entry->settle_until = std::max(entry->settle_until, mono_ms() + ESC_SETTLE_MS);
    return true;
}

// How long a prompt left open waits for its client's text.
constexpr int64_t PROMPT_HOLD_MS = 10000;

static void hold_prompt(port_entry *entry, uint32_t peer)
{
    entry->prompt_hold_until = mono_ms() + PROMPT_HOLD_MS;
    entry->prompt_hold_peer = peer;
}

bool at_held_for(const port_entry *entry, const port_op *op)
{
    return op->kind == OP_SENDAT && op->send_only && op->peer == entry->prompt_hold_peer;
}

void at_hold_tick(port_entry *entry, int64_t now_ms)
{
    // The modem answered the prompt's command (it refused it): no text is
    // taken any more, and nothing needs holding.
    if (entry->prompt_hold_until != 0 && !entry->write_text)
        entry->prompt_hold_until = 0;
    if (entry->prompt_hold_until == 0 || now_ms < entry->prompt_hold_until || entry->phase != PHASE_IDLE)
        return;
    // No text came: the modem must not take the next caller's command as
    // message text.
    entry->prompt_hold_until = 0;
    if (entry->fd >= 0 && entry->write_text)
        write_escape(entry, entry->command_seq, {});
}

// A modem at its "> " prompt takes every later command as message text,
// and its text input ends only with Ctrl-Z (send) or ESC (cancel). The
// unsent rest of the text would only hold the ESC up.
void at_cancel_prompt(port_entry *entry)
{
    if (entry->fd < 0 || (entry->phase != PHASE_WAIT_PROMPT && entry->phase != PHASE_WRITING_DATA))
        return;
    if (entry->phase == PHASE_WRITING_DATA)
        (void)tcflush(entry->fd, TCOFLUSH);
    write_escape(entry, entry->command_seq, command_traits_now(entry));
}

static void send_failed(port_entry *entry);

void at_late_prompt(port_entry *entry)
{
    entry->prompt_abandoned = false;
    if (entry->fd < 0)
        return;
    // Everything written since the prompt's command gave up went into the
    // text: the commands since are answered by nobody, and the rest of one
    // still going out would reach the modem after the ESC as a command of
    // its own.
    if (entry->current)
        entry->swallowed = true;
    bool writing = entry->phase == PHASE_WRITING;
    if (writing)
        (void)tcflush(entry->fd, TCOFLUSH);
    if (write_escape(entry, entry->abandoned_seq, {}))
        owed_drop_after(entry, entry->abandoned_seq);
    if (writing)
        send_failed(entry);
}

// The prompt may have come while no record read the device, and its bytes
// be gone with the closed descriptor (a USB driver keeps nothing): the
// modem would take every command as message text. An ESC ends it; a modem
// still busy with the command ignores it, and its prompt is watched for.
void at_cancel_adopted_prompt(port_entry *entry)
{
    if (entry->fd >= 0)
        write_escape(entry, entry->abandoned_seq, {});
}

// A prompt no command of this record asked for (left by a daemon that was
// stopped, or by another program): whatever is written next would go into
// its text. It gets no answer the first command could take for its own:
// the ESC's is owed, and waited for.
void at_end_found_prompt(port_entry *entry)
{
    if (entry->fd >= 0 && write_escape(entry, entry->command_seq, {}))
        line_reset(entry);
}

static void send_failed(port_entry *entry)
{
    if (entry->phase == PHASE_WRITING && entry->out_done < entry->out.size() && entry->fd >= 0) {
        // The rest of the command must not reach the modem when the line
        // moves again, and join whatever is written next. A USB driver may
        // have a few buffers in flight that no flush reaches: a fragment
        // that got out is ended before the next command.
        (void)tcflush(entry->fd, TCOFLUSH);
        if (entry->out_done > 0)
            entry->fragment_out = !entry->swallowed;
    }
    at_cancel_prompt(entry);
    port_op *op = entry->current;
    op->ok = false;
    op->outcome = AT_SEND_FAILED;
    op->elapsed_ms = 0;
    finish(entry);
}

// Ends a waiting command as a timeout. It leaves the port owing the answers
// its bytes asked for, less the modem's final results that arrived meanwhile.
//
// A line that paid an older debt while it waited may have been the older
// answer, late, or its own answer, the older one never coming. In the first
// case its own answer is still to come and must not reach the next caller;
// in the second nothing more comes, and a debt kept for ever would leave
// the port one answer behind, each command paying for the one before. So
// the debt is provisional: the next operation waits up to DOUBT_SETTLE_MS
// for it, and then it is given up.
constexpr int64_t DOUBT_SETTLE_MS = 2000;

static void timed_out(port_entry *entry, bool owes)
{
    bool older_coming = !entry->owed.empty() && entry->owed.front().seq < entry->command_seq;
    // An older answer was still coming: everything since the last answer
    // paid was its, none of it this command's.
    if (older_coming)
        owed_release_window(entry);
    // With echo on, nothing before a command's echo is its answer.
    if (older_coming || (entry->echo == ECHO_ON && !entry->echo_seen && !entry->running_forgotten)) {
        entry->capture.length = 0;
        entry->capture.data[0] = '\0';
        entry->capture_truncated = false;
    }
    // With echo on, a command whose echo never came may not have been read
    // at all; or echo is off now, set by someone else.
    if (entry->echo == ECHO_ON && !entry->echo_seen && !entry->swallowed && !entry->running_forgotten)
        entry->echo = ECHO_UNKNOWN;
    // A command that went into message text is answered by nobody, nor one
    // the modem forgot as it restarted.
    int owed = entry->swallowed || entry->running_forgotten ? 0 : entry->answers_due - entry->finals_own;
    bool doubt = entry->paid_debt || (entry->echo_doubt && !entry->echo_seen);
    if (owes && owed > 0) {
        owed_add(entry, entry->end_flags, true, owed, doubt);
        if (doubt)
            entry->settle_until = std::max(entry->settle_until, mono_ms() + DOUBT_SETTLE_MS);
    }
    take_result(entry, AT_TIMED_OUT);
}

// A prompt command sent without data. A caller that waited for the "> "
// itself keeps the prompt for its next send-only call; any other gets ESC
// at once, and a prompt that comes later is watched for, as for data.
static void prompt_command_timed_out(port_entry *entry)
{
    port_op *op = entry->current;
    bool by_hand = false;
    for (int i = 0; i < entry->end_flags.count; i++)
        by_hand = by_hand || entry->end_flags.flags[i][0] == '>';
    if (by_hand) {
        hold_prompt(entry, op->peer);
        timed_out(entry, false);
        return;
    }
    if (entry->fd >= 0)
        write_escape(entry, entry->command_seq, command_traits_now(entry));
    if (line_holds_prompt(entry)) {
        // The prompt came, and the ESC ends it: what is read next starts a
        // line of its own.
        line_reset(entry);
    } else if (!entry->swallowed) {
        entry->prompt_abandoned = true;
        entry->abandoned_seq = entry->command_seq;
    }
    timed_out(entry, false);
}

bool at_settling(port_entry *entry, int64_t now_ms)
{
    if (entry->settle_until == 0)
        return false;
    if (now_ms < entry->settle_until && owed_has_provisional(entry))
        return true;
    owed_drop_provisional(entry);
    entry->settle_until = 0;
    return false;
}

// The bytes are in `out`.
static void begin_write(port_entry *entry, command_phase phase, int64_t now_ms)
{
    entry->out_done = 0;
    entry->out_echo_setting = -1;
    entry->write_deadline_ms = now_ms + WRITE_DRAIN_MS;
    entry->write_waited = false;
    entry->phase = phase;
    at_write_ready(entry);
}

static void written(port_entry *entry)
{
    port_op *op = entry->current;
    // The bytes stay in `out` until the command ends: what they say about
    // the answer is read from them only when a line needs it.
    if (op->send_only) {
        owed_send_only(entry, entry->out);
        op->ok = true;
        // A prompt command, or text with more to come: the prompt stays
        // this caller's for a while.
        if (entry->write_text)
            hold_prompt(entry, op->peer);
        finish(entry);
        return;
    }
    if (entry->phase == PHASE_WRITING_DATA)
        op->data_sent = true;
    if (!entry->waiting) {
        // The answer was complete before the last byte went out.
        take_result(entry, AT_COMPLETED);
        return;
    }
    if (entry->phase == PHASE_WRITING) {
        // The wait counts from the last byte written, which is when the
        // write began unless the line made it wait.
        int64_t now = entry->write_waited ? mono_ms() : entry->write_deadline_ms - WRITE_DRAIN_MS;
        entry->deadline_ms = now + std::max<int64_t>(0, int64_t(op->timeout) * 1000);
        entry->phase = op->has_data ? PHASE_WAIT_PROMPT : PHASE_WAIT_FINAL;
    } else {
        entry->phase = PHASE_WAIT_FINAL;
    }
}

void at_write_ready(port_entry *entry)
{
    // Once the daemon stops, not even a prompt that arrives meanwhile gets
    // its text: the thread's next round ends the command.
    if (entry->engine->stopping)
        return;
    while (entry->out_done < entry->out.size()) {
        ssize_t n = write(entry->fd, entry->out.data() + entry->out_done, entry->out.size() - entry->out_done);
        if (n > 0) {
            echo_written(entry, entry->out.data() + entry->out_done, size_t(n));
            entry->out_done += static_cast<size_t>(n);
            // The CR that ends a fragment left earlier goes first.
            if (entry->phase == PHASE_WRITING)
                entry->fragment_out = false;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // A short write waits for the line to drain; giving up after the
        // first part would leave a fragment for the next CR to execute.
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && mono_ms() < entry->write_deadline_ms) {
            entry->write_waited = true;
            return;
        }
        send_failed(entry);
        return;
    }
    written(entry);
}

// Most commands end at the default flags: a list that holds them already
// is not laid out again.
static void set_end_flags(port_entry *entry, const port_op *op)
{
    bool defaults = !op->has_end_flag || op->end_flag.empty();
    if (defaults && entry->end_flags_default)
        return;
    end_flags_set(&entry->end_flags, op->has_end_flag ? op->end_flag.c_str() : nullptr);
    entry->end_flags_default = defaults;
}

bool at_start(port_entry *entry, port_op *op)
{
    if (entry->fd < 0) {
        open_failure why;
        if (port_open(entry, DEFAULT_SETTINGS, &why) != 0) {
            entry->current = op;
            entry->phase = PHASE_WRITING;
            console_open_failed(entry->path, why);
            op->refusal = open_refusal(why);
            // A path that is no port keeps no record, nor one whose device
            // another record has: kept, it would take the device over once
            // that one closes. A missing device's record waits for its node.
            op->remove_record =
                op->created && (why.kind == open_failure::NOT_SERIAL || why.kind == open_failure::IN_USE);
            bool done = op->remove_record;
            send_failed(entry);
            return done;
        }
        emit_state(entry, "open");
        port_read_backlog(entry);
        // The device came with an answer in doubt (the ESC that ends a
        // prompt given up on): nothing is written before it has had its
        // time, or the command's own answer would be taken for it. The
        // port's init commands go first, too.
        if (at_settling(entry, mono_ms()) || init_waiting(entry)) {
            port_requeue_op(entry, op);
            return false;
        }
    }
    entry->current = op;
    entry->phase = PHASE_WRITING;
    if (!op->send_only) {
        set_end_flags(entry, op);
        capture_arm(entry);
    }
    std::string &bytes = entry->out;
    if (!command_bytes(op, &bytes)) {
        send_failed(entry);
        return false;
    }
    bool held = entry->prompt_hold_until != 0 && at_held_for(entry, op);
    entry->prompt_hold_until = 0;
    if (op->send_only && !held && memchr(bytes.data(), CTRL_Z, bytes.size())) {
        // Message text for a prompt this caller does not have: it would
        // send whatever another caller left at the modem.
        op->refusal = "Invalid AT command: use data for message text";
        bytes.clear(); // nothing of it was written
        send_failed(entry);
        return false;
    }
    if (entry->fragment_out) {
        // A CR first ends what a given-up write left at the modem. Its
        // answer is owed, provisionally: if nothing had got out, the CR
        // makes an empty line, which gets none.
        bytes.insert(0, 1, '\r');
        owed_push(entry, {default_end_flags(), {}, entry->command_seq, true, true, false, -1});
    }
    entry->command_seq++;
    if (!entry->fragment_out)
        echo_line_continued(entry);
    entry->running_forgotten = false;
    op->lines_before = entry->lines_published;
    entry->traits_known = false;
    entry->swallowed = false;
    // A CR inside the text starts another command at the modem, and each
    // of them is answered.
    entry->answers_due =
        op->is_hex || memchr(op->command.data(), '\r', op->command.size()) ? std::max(1, commands_in(bytes)) : 1;
    // The capture was armed just now: its start is the write's.
    begin_write(entry, PHASE_WRITING, op->send_only ? mono_ms() : mono_ms_of(entry->mono_start));
    return false;
}

void at_line_final(port_entry *entry, const char *matched, bool modem_final)
{
    if (modem_final)
        echo_answered(entry, entry->command_seq);
    memcpy(entry->capture.matched_flag, matched, END_FLAG_SIZE);
    entry->waiting = 0;
    owed_forget_window(entry);
    // The modem answers in order: it is past any prompt given up earlier.
    entry->prompt_abandoned = false;
    // What the modem still sends for this command goes to nobody else: its
    // final result when the caller's own end flag came first, and the
    // answers to the further commands of a text with CRs inside. A caller
    // that waits for the "> " prompt by hand sends the text with its next
    // call and must get that call's own answer; a '>' met in a line of
    // another command is no prompt.
    if (matched[0] != '>' || !command_traits_now(entry).prompts) {
        int owed = entry->answers_due - entry->finals_own - (modem_final ? 1 : 0);
        // A line that paid an older debt while it waited may have been one
        // of its own answers (the older one never coming): what it still
        // owes is in doubt, as for a timeout.
        if (owed > 0)
            owed_add(entry, default_end_flags(), false, owed, entry->paid_debt);
        if (owed > 0 && entry->paid_debt)
            entry->settle_until = std::max(entry->settle_until, mono_ms() + DOUBT_SETTLE_MS);
    }
    // While bytes are still going out, the reply waits for the last one.
    if (entry->phase == PHASE_WAIT_PROMPT || entry->phase == PHASE_WAIT_FINAL)
        take_result(entry, AT_COMPLETED);
}

const command_traits &command_traits_now(port_entry *entry)
{
    if (!entry->traits_known) {
        entry->traits = command_traits_of(entry->out.data(), entry->out.size());
        entry->traits_known = true;
    }
    return entry->traits;
}

void at_prompt_seen(port_entry *entry)
{
    command_traits_now(entry); // before the text takes the command's place
    entry->out = entry->current->data;
    entry->out += CTRL_Z;
    begin_write(entry, PHASE_WRITING_DATA, mono_ms());
}

void at_tick(port_entry *entry, int64_t now_ms)
{
    switch (entry->phase) {
    case PHASE_WRITING:
    case PHASE_WRITING_DATA:
        if (now_ms >= entry->write_deadline_ms)
            send_failed(entry);
        break;
    case PHASE_WAIT_PROMPT:
        if (now_ms >= entry->deadline_ms) {
            // Out of text input, or the modem takes every later command as
            // message text. A modem busy with the command may ignore the
            // ESC and prompt later: that prompt is watched for.
            at_cancel_prompt(entry);
            if (!entry->swallowed) {
                entry->prompt_abandoned = true;
                entry->abandoned_seq = entry->command_seq;
            }
            timed_out(entry, false);
        }
        break;
    case PHASE_WAIT_FINAL:
        if (now_ms >= entry->deadline_ms) {
            if (entry->write_text && !entry->current->has_data)
                prompt_command_timed_out(entry);
            else
                timed_out(entry, true);
        }
        break;
    case PHASE_IDLE: break;
    }
}

int64_t at_next_wake_ms(const port_entry *entry, int64_t now_ms)
{
    switch (entry->phase) {
    case PHASE_WRITING:
    case PHASE_WRITING_DATA: return std::max<int64_t>(0, entry->write_deadline_ms - now_ms);
    case PHASE_WAIT_PROMPT:
    case PHASE_WAIT_FINAL: return std::max<int64_t>(0, entry->deadline_ms - now_ms);
    case PHASE_IDLE: break;
    }
    int64_t wake = -1;
    if (entry->settle_until > 0)
        wake = std::max<int64_t>(0, entry->settle_until - now_ms);
    if (entry->prompt_hold_until > 0) {
        int64_t hold = std::max<int64_t>(0, entry->prompt_hold_until - now_ms);
        wake = wake < 0 ? hold : std::min(wake, hold);
    }
    return wake;
}

void at_port_closed(port_entry *entry, bool owes)
{
    switch (entry->phase) {
    case PHASE_WRITING:
    case PHASE_WRITING_DATA: send_failed(entry); break;
    case PHASE_WAIT_PROMPT: timed_out(entry, false); break;
    case PHASE_WAIT_FINAL: timed_out(entry, owes); break;
    case PHASE_IDLE: break;
    }
}

void at_abort(port_entry *entry)
{
    if (entry->phase == PHASE_IDLE)
        return;
    // The one byte still written once the daemon stops.
    at_cancel_prompt(entry);
    if (entry->current->send_only)
        send_failed(entry);
    else
        timed_out(entry, false);
}
