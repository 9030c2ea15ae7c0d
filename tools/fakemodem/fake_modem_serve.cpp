// The serving thread: reads what the daemon writes on the master side,
// cuts it into commands and writes the queued answers as the master
// accepts them. The master is non-blocking, so a daemon that stops reading
// never stalls the thread and a stop request is always seen.
#include "tools/fakemodem/fake_modem_state.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace
{

constexpr size_t COMMAND_MAX = 4096; // longer commands are cut, as a modem would
constexpr size_t IO_CHUNK = 4096;

// State only the serving thread touches.
struct server_state {
    std::string command;
    std::string text_for;                      // taking message text for this answer ("+CMGS")
    std::string message_command, message_text; // what text_for was answered to, and the text so far
    bool master_usable = true;
    uint64_t noise_seed = 0x9e3779b97f4a7c15ULL;
    char noise[IO_CHUNK];
};

void fill_noise(server_state &s)
{
    // xorshift64: cheap enough to refill at full write speed.
    for (size_t i = 0; i < IO_CHUNK; i += 8) {
        s.noise_seed ^= s.noise_seed << 13;
        s.noise_seed ^= s.noise_seed >> 7;
        s.noise_seed ^= s.noise_seed << 17;
        for (size_t k = 0; k < 8; ++k)
            s.noise[i + k] = static_cast<char>(s.noise_seed >> (8 * k));
    }
}

constexpr char CTRL_Z = 0x1a;
constexpr char ESC = 0x1b;

// A command ends at CR. An LF before any command byte is the tail of the
// previous CR LF and is dropped; an empty command gets no answer. Message
// text runs to Ctrl-Z (sent) or ESC (cancelled); ESC and Ctrl-Z outside
// text are ignored, as a modem does.
void assemble(fake_modem *modem, server_state &s, const char *bytes, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        char c = bytes[i];
        if (!s.text_for.empty()) {
            // Still busy with the command: ESC and Ctrl-Z are lost, and
            // what else comes is read as text once it prompts.
            bool busy = fake_modem_clock::now() < modem->busy_until;
            if (busy && (c == CTRL_Z || c == ESC))
                continue;
            if (c == CTRL_Z) {
                fake_modem_answer_text(modem, s.text_for, s.message_command, s.message_text);
                if (modem->on_message)
                    modem->on_message(s.message_command, s.message_text);
            }
            if (c == ESC)
                modem->ready += modem->escape_answer;
            if (c == CTRL_Z || c == ESC) {
                s.text_for.clear();
                continue;
            }
            if (s.message_text.size() < COMMAND_MAX)
                s.message_text.push_back(c);
            if (modem->echo && !busy)
                modem->ready.push_back(c); // typed text comes back as it is typed
            continue;
        }
        if (c == ESC || c == CTRL_Z)
            continue;
        if (c == '\r') {
            if (!s.command.empty())
                s.text_for = fake_modem_answer(modem, s.command);
            if (!s.text_for.empty()) {
                s.message_command = s.command;
                s.message_text.clear();
            }
            s.command.clear();
        } else if (c == '\n' && s.command.empty()) {
            continue;
        } else if (s.command.size() < COMMAND_MAX) {
            s.command.push_back(c);
        }
    }
}

// Returns false when the master can no longer be read.
bool receive(fake_modem *modem, server_state &s)
{
    char buf[IO_CHUNK];
    ssize_t n = read(modem->master, buf, sizeof buf);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR;
    if (n == 0)
        return false;
    std::lock_guard guard(modem->lock);
    if (modem->keep_log) {
        modem->log.append(buf, static_cast<size_t>(n));
        modem->changed.notify_all();
    }
    assemble(modem, s, buf, static_cast<size_t>(n));
    return true;
}

// Queued bytes go before noise, so flooding never hides an answer.
void transmit(fake_modem *modem, server_state &s)
{
    std::lock_guard guard(modem->lock);
    if (!modem->ready.empty()) {
        ssize_t n = write(modem->master, modem->ready.data(), modem->ready.size());
        if (n > 0)
            modem->ready.erase(0, static_cast<size_t>(n));
        if (modem->ready.empty())
            modem->changed.notify_all();
        return;
    }
    if (modem->flood) {
        fill_noise(s);
        // A short or refused write loses nothing worth keeping.
        (void)!write(modem->master, s.noise, sizeof s.noise);
    }
}

// Moves due chunks to `ready`; returns the poll timeout until the next one.
int release_due(fake_modem *modem)
{
    auto now = fake_modem_clock::now();
    while (!modem->scheduled.empty() && modem->scheduled.front().due <= now) {
        modem->ready += modem->scheduled.front().bytes;
        modem->scheduled.pop_front();
    }
    if (modem->scheduled.empty())
        return -1;
    // Round up so the thread never wakes just before the chunk is due, and
    // cap it: a far-off chunk would overflow poll's int of milliseconds.
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(modem->scheduled.front().due - now);
    return static_cast<int>(std::min<int64_t>(wait.count(), 60000));
}

void finish_hangup(fake_modem *modem)
{
    close(modem->master);
    close(modem->slave_hold);
    modem->master = -1;
    modem->slave_hold = -1;
    modem->hung_up = true;
    modem->changed.notify_all();
}

} // namespace

void fake_modem_serve(fake_modem *modem)
{
    server_state s;
    for (;;) {
        int timeout;
        bool want_write, want_read;
        {
            std::lock_guard guard(modem->lock);
            if (modem->stop)
                return;
            if (modem->hangup_requested) {
                finish_hangup(modem);
                return;
            }
            timeout = release_due(modem);
            want_write = !modem->ready.empty() || modem->flood;
            want_read = !modem->reading_paused;
        }
        if (!s.master_usable)
            timeout = -1;

        pollfd fds[2] = {
            {modem->wake, POLLIN, 0},
            {modem->master, static_cast<short>((want_read ? POLLIN : 0) | (want_write ? POLLOUT : 0)), 0},
        };
        if (poll(fds, s.master_usable ? 2 : 1, timeout) < 0)
            continue; // EINTR; anything else would repeat forever either way

        if (fds[0].revents & POLLIN) {
            uint64_t count;
            (void)!read(modem->wake, &count, sizeof count);
        }
        if (!s.master_usable)
            continue;
        if (fds[1].revents & POLLIN)
            s.master_usable = receive(modem, s);
        else if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL))
            s.master_usable = false;
        if (s.master_usable && (fds[1].revents & POLLOUT))
            transmit(modem, s);
    }
}

void fake_modem_wake(fake_modem *modem)
{
    uint64_t one = 1;
    (void)!write(modem->wake, &one, sizeof one);
}
