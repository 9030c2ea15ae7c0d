// The reader's handling of the chunks it reads from a modem, with a command
// waiting as at_transact leaves it. Input: one length byte and that many
// bytes of end-flag text, then operations. Operation byte 0xff starts a new
// command; any other byte b is followed by a 16-bit length (mod 1024, the
// reader's largest read) and the chunk, which is fed (b & 63) + 1 times so
// that short inputs still reach the 32 KiB limits.
#include <cstring>
#include <string>

#include "fuzz/fuzz_input.h"
#include "port/port_internal.h"

namespace
{

constexpr int READ_MAX = 1023;

port_entry *shared_entry()
{
    static port_entry *entry = [] {
        registry_init();
        return port_create("/dev/fuzz-lines");
    }();
    return entry;
}

// What at_transact does before writing a command.
void arm_command(port_entry *entry, const std::string &spec)
{
    mutex_guard guard(&entry->capture_lock);
    end_flags_set(entry, spec.c_str());
    memset(&entry->capture, 0, sizeof(entry->capture));
    entry->waiting = 1;
}

// As a freshly opened port.
void reset_port(port_entry *entry)
{
    entry->line_length = 0;
    entry->line_buffer[0] = '\0';
    memset(&entry->capture, 0, sizeof(entry->capture));
    entry->waiting = 0;
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
}

bool is_listed_flag(const port_entry *entry, const char *flag)
{
    for (int i = 0; i < entry->end_flag_count; i++)
        if (strncmp(flag, entry->end_flags[i], END_FLAG_SIZE) == 0)
            return true;
    return false;
}

void feed(port_entry *entry, const uint8_t *chunk, int n)
{
    bool was_waiting = entry->waiting;
    int before = entry->capture.length;
    port_process_chunk(entry, reinterpret_cast<const char *>(chunk), n);
    check_buffers(entry);

    const at_response &cap = entry->capture;
    // A waiting command captures the whole chunk (even the bytes behind its
    // final line) or, when it would not fit, none of it.
    if (was_waiting && before + n <= CAPTURE_MAX) {
        FUZZ_CHECK(cap.length == before + n);
        FUZZ_CHECK(memcmp(cap.data + before, chunk, n) == 0);
    } else {
        FUZZ_CHECK(cap.length == before);
    }
    if (!was_waiting)
        FUZZ_CHECK(!entry->waiting);
    else if (!entry->waiting)
        FUZZ_CHECK(cap.status == 0 && is_listed_flag(entry, cap.matched_flag));
}

// Whatever came before, a line holding only the first flag ends the wait,
// once a possible line-buffer overflow has been cleared by the first try.
// Not for flags no line can match: with line breaks, trailing blanks
// (a long field cut at 63 characters) or the echo's "AT" in front.
void check_still_completes(port_entry *entry)
{
    const char *flag = entry->end_flags[0];
    size_t length = strlen(flag);
    if (!entry->waiting || strpbrk(flag, "\r\n") || strncmp(flag, "AT", 2) == 0 || flag[length - 1] == ' ' ||
        flag[length - 1] == '\t')
        return;
    std::string probe = std::string("\r\n") + flag + "\r\n";
    for (int attempt = 0; attempt < 2 && entry->waiting; attempt++)
        feed(entry, reinterpret_cast<const uint8_t *>(probe.data()), int(probe.size()));
    FUZZ_CHECK(!entry->waiting);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    port_entry *entry = shared_entry();
    reset_port(entry);
    fuzz_input in{data, size};

    const uint8_t *spec_bytes;
    size_t spec_length = in.take(in.byte(), &spec_bytes);
    std::string spec(reinterpret_cast<const char *>(spec_bytes), spec_length);
    spec.resize(strlen(spec.c_str()));
    arm_command(entry, spec);

    while (!in.empty()) {
        uint8_t op = in.byte();
        if (op == 0xff) {
            arm_command(entry, spec);
            continue;
        }
        const uint8_t *chunk;
        int n = int(in.take(in.u16() % (READ_MAX + 1), &chunk));
        for (int i = 0; n > 0 && i <= (op & 63); i++)
            feed(entry, chunk, n);
    }
    check_still_completes(entry);
    return 0;
}
