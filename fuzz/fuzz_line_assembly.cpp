// The port thread's handling of the chunks it reads from a modem, with
// commands that wait, complete and time out (leaving answers owed). Input:
// one length byte and that many bytes of end-flag text, then operations.
// 0xff starts a new command, 0xfe lets the waiting one time out; any other
// byte b is followed by a 16-bit length (mod 1024, the largest read) and
// the chunk, which is fed (b & 63) + 1 times so that short inputs still
// reach the 32 KiB limits.
#include <strings.h>

#include <cstring>
#include <deque>
#include <string>

#include "fuzz/fuzz_input.h"
#include "port/port_internal.h"

namespace
{

constexpr int READ_MAX = 1023;

struct rig {
    port_engine *engine = port_engine_create();
    port_entry *entry = port_entry_alloc(engine, "/dev/fuzz-lines");
    port_op op;
    ~rig()
    {
        port_entry_free(entry);
        port_engine_destroy(engine);
    }
};

rig &shared_rig()
{
    static rig r;
    return r;
}

// Events and finished commands go nowhere; the outbox must not grow.
void drain(rig &r)
{
    std::deque<outbox_item> items;
    port_outbox_take(r.engine, &items);
    FUZZ_CHECK(items.size() <= size_t(EVENT_BACKLOG_MAX) + 2);
}

// What the port's thread does once a command's bytes are written.
void arm_command(rig &r, const std::string &spec)
{
    port_entry *entry = r.entry;
    if (entry->phase != PHASE_IDLE)
        at_tick(entry, INT64_MAX);
    drain(r);
    r.op = port_op();
    entry->current = &r.op;
    end_flags_set(&entry->end_flags, spec.c_str());
    entry->end_flags_default = false;
    capture_arm(entry);
    entry->deadline_ms = INT64_MAX;
    entry->phase = PHASE_WAIT_FINAL;
}

void reset_port(rig &r)
{
    port_entry *entry = r.entry;
    if (entry->phase != PHASE_IDLE)
        at_tick(entry, INT64_MAX);
    port_forget_stream(entry);
    drain(r);
}

void check_buffers(const port_entry *entry)
{
    const at_response &cap = entry->capture;
    FUZZ_CHECK(cap.length >= 0 && cap.length <= CAPTURE_MAX);
    FUZZ_CHECK(cap.data[cap.length] == '\0');
    FUZZ_CHECK(entry->line_length >= 0 && entry->line_length < PORT_BUFFER_SIZE);
    FUZZ_CHECK(entry->line_buffer[entry->line_length] == '\0');
    // Every complete line has been handled and removed.
    FUZZ_CHECK(!memmem(entry->line_buffer, entry->line_length, "\r\n", 2));
    FUZZ_CHECK(entry->owed.size() <= size_t(4 * PORT_QUEUE_MAX * 64) && entry->window.size() <= 64);
}

bool is_listed_flag(const end_flag_list &list, const char *flag)
{
    for (int i = 0; i < list.count; i++)
        if (strncmp(flag, list.flags[i], END_FLAG_SIZE) == 0)
            return true;
    return false;
}

void feed(rig &r, const uint8_t *chunk, int n)
{
    port_entry *entry = r.entry;
    bool was_waiting = entry->waiting;
    port_process_chunk(entry, reinterpret_cast<const char *>(chunk), n);
    check_buffers(entry);
    if (!was_waiting)
        FUZZ_CHECK(!entry->waiting);
    else if (!entry->waiting) {
        // Completed: the reply holds exactly what was captured.
        FUZZ_CHECK(r.op.outcome == AT_COMPLETED && is_listed_flag(r.op.end_flags, r.op.matched_flag));
        FUZZ_CHECK(r.op.response.size() <= size_t(CAPTURE_MAX));
        FUZZ_CHECK(entry->phase == PHASE_IDLE && !entry->current);
    }
    drain(r);
}

// Whatever came before, a line holding only the first flag ends the wait,
// once owed answers are paid and a possible line-buffer overflow has been
// cleared. Not for flags no line can match: with line breaks, trailing
// blanks (a long field cut at 63 characters) or the echo's "AT" in front;
// nor for a flag that makes an unsolicited line, which ends nothing, nor for
// one that starts with '>' (prompt text is no answer).
void check_still_completes(rig &r)
{
    port_entry *entry = r.entry;
    const char *flag = entry->end_flags.flags[0];
    size_t length = strlen(flag);
    if (!entry->waiting || strpbrk(flag, "\r\n") || strncasecmp(flag, "AT", 2) == 0 || flag[0] == '>' ||
        flag[length - 1] == ' ' || flag[length - 1] == '\t' ||
        unsolicited_line(flag, length, &entry->unsolicited).found)
        return;
    owed_reset(entry);
    // No text under way, and answers counted, not anchored: this command
    // was never written, so no echo of it can come.
    entry->text = {};
    entry->echo = ECHO_UNKNOWN;
    entry->prompt_echo = false;
    std::string probe = std::string("\r\n") + flag + "\r\n";
    for (int attempt = 0; attempt < 2 && entry->waiting; attempt++)
        feed(r, reinterpret_cast<const uint8_t *>(probe.data()), int(probe.size()));
    FUZZ_CHECK(!entry->waiting);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    rig &r = shared_rig();
    reset_port(r);
    fuzz_input in{data, size};

    const uint8_t *spec_bytes;
    size_t spec_length = in.take(in.byte(), &spec_bytes);
    std::string spec(reinterpret_cast<const char *>(spec_bytes), spec_length);
    spec.resize(strlen(spec.c_str()));
    arm_command(r, spec);

    while (!in.empty()) {
        uint8_t op = in.byte();
        if (op == 0xff) {
            arm_command(r, spec);
            continue;
        }
        if (op == 0xfe) {
            if (r.entry->phase != PHASE_IDLE)
                at_tick(r.entry, INT64_MAX);
            drain(r);
            continue;
        }
        const uint8_t *chunk;
        int n = int(in.take(in.u16() % (READ_MAX + 1), &chunk));
        for (int i = 0; n > 0 && i <= (op & 63); i++)
            feed(r, chunk, n);
    }
    check_still_completes(r);
    return 0;
}
