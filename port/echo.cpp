// Echo anchors answers. The modem sends back each command line it reads
// before it answers it, so while echo is on no line that comes before a
// command's echo is part of that command's answer, and a command whose echo
// never comes (written while the modem reset, or lost on the line) is not
// answered at all. The engine knows every byte it writes: the lines it
// wrote are matched against the lines read, oldest first.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "port/command_check.h"
#include "port/port_internal.h"

using namespace std::string_view_literals;

constexpr char CTRL_Z = 0x1a;
constexpr char ESC = 0x1b;
constexpr size_t UNECHOED_MAX = 4 * 64; // lines in flight; a modem that never echoes must not grow us

static char upper(char c)
{
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

static bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The part of a line that counts: blanks (and the CR an echo ends with)
// around it left out.
static std::string_view trimmed(const char *s, size_t length)
{
    const char *end = s + length;
    while (s < end && is_blank(*s))
        s++;
    while (end > s && is_blank(end[-1]))
        end--;
    return {s, size_t(end - s)};
}

// A command line ended by its CR: `raw` is its bytes, from this write or
// gathered in write_line.
static void line_written(port_entry *entry, std::string_view raw)
{
    std::string_view line = trimmed(raw.data(), raw.size());
    if (line.empty()) {
        entry->write_line.clear();
        return;
    }
    // The storage of a line already echoed is used again: a command costs
    // no allocation here.
    written_line &w = entry->unechoed.emplace_back(
        written_line{std::move(entry->spare_text), entry->write_line_seq, entry->echo == ECHO_ON, entry->echo_epoch});
    w.text.assign(line);
    entry->write_line.clear();
    if (command_prompts(w.text.data(), w.text.size())) {
        entry->write_text = true;
        entry->prompt_echo = true;
        entry->prompt_seq = entry->write_line_seq;
    }
    int setting = echo_setting_of(w.text.data(), w.text.size());
    if (setting >= 0) {
        entry->echo_epoch++; // what follows may be echoed, or not, otherwise
        entry->out_echo_setting = int8_t(setting);
    }
    if (entry->unechoed.size() > UNECHOED_MAX)
        entry->unechoed.pop_front();
}

// Bytes of a command line: up to the CR that ends it, ESC cancelling what
// came before, an LF behind a CR ignored.
static void add_to_line(port_entry *entry, const char *bytes, size_t n)
{
    if (n > 0 && bytes[0] == '\n' && entry->write_line.empty()) {
        bytes++;
        n--;
    }
    if (n == 0)
        return;
    if (const void *esc = memchr(bytes, ESC, n)) {
        size_t skip = size_t(static_cast<const char *>(esc) - bytes) + 1;
        entry->write_line.clear();
        add_to_line(entry, bytes + skip, n - skip);
        return;
    }
    if (entry->write_line.empty())
        entry->write_line_seq = entry->command_seq;
    entry->write_line.append(bytes, std::min(n, COMMAND_MAX - std::min(COMMAND_MAX, entry->write_line.size())));
}

// Usually a command line goes out whole in one write: its bytes before the
// CR are the line as they are, and need not be gathered.
static bool whole_in_write(const port_entry *entry, const char *bytes, size_t n)
{
    return entry->write_line.empty() && n > 0 && n <= COMMAND_MAX && bytes[0] != '\n' && !memchr(bytes, ESC, n);
}

void echo_written(port_entry *entry, const char *bytes, size_t n)
{
    const char *end = bytes + n;
    while (bytes < end) {
        if (entry->write_text) {
            // Message text, not commands: it ends at Ctrl-Z or ESC.
            const char *stop = bytes;
            while (stop < end && *stop != CTRL_Z && *stop != ESC)
                stop++;
            if (stop == end)
                return;
            entry->write_text = false;
            entry->write_line.clear();
            bytes = stop + 1;
            continue;
        }
        const char *cr = static_cast<const char *>(memchr(bytes, '\r', size_t(end - bytes)));
        size_t part = size_t((cr ? cr : end) - bytes);
        if (cr && whole_in_write(entry, bytes, part)) {
            entry->write_line_seq = entry->command_seq;
            line_written(entry, {bytes, part});
        } else {
            add_to_line(entry, bytes, part);
            if (!cr)
                return;
            line_written(entry, entry->write_line);
        }
        bytes = cr + 1;
        // The LF behind the CR: no line of its own (write_line is empty now).
        if (bytes < end && *bytes == '\n')
            bytes++;
    }
}

// A line read against a line written (trimmed): equal in any case; a line
// cut at the buffer's end compares on what was kept.
static bool same_line(const std::string &written, std::string_view read, bool cut)
{
    if (cut ? written.size() < read.size() : written.size() != read.size())
        return false;
    // Usually echoed as written: one compare.
    if (memcmp(read.data(), written.data(), read.size()) == 0)
        return true;
    for (size_t i = 0; i < read.size(); i++)
        if (read[i] != written[i] && upper(read[i]) != upper(written[i]))
            return false;
    return true;
}

static std::deque<written_line>::iterator find_written(port_entry *entry, const char *line, size_t length)
{
    // Usually the oldest line, echoed as it was written (trimmed already).
    if (!entry->unechoed.empty() && entry->unechoed.front().text == std::string_view(line, length))
        return entry->unechoed.begin();
    std::string_view read = trimmed(line, length);
    if (read.empty())
        return entry->unechoed.end();
    bool cut = length >= size_t(PORT_BUFFER_SIZE - 1);
    return std::find_if(entry->unechoed.begin(), entry->unechoed.end(),
                        [&](const written_line &w) { return same_line(w.text, read, cut); });
}

bool echo_pending(port_entry *entry, const char *line, size_t length)
{
    auto found = find_written(entry, line, length);
    if (found == entry->unechoed.end())
        return false;
    entry->pending_at = size_t(found - entry->unechoed.begin());
    entry->pending_length = found->text.size();
    return true;
}

// The line being cut was found by echo_pending just before: the same place
// holds it unless the lines written moved since.
static std::deque<written_line>::iterator pending_written(port_entry *entry, const char *line, size_t length)
{
    size_t at = entry->pending_at;
    entry->pending_at = SIZE_MAX;
    if (at == 0 && !entry->unechoed.empty() && entry->unechoed.front().text.size() == entry->pending_length)
        return entry->unechoed.begin();
    if (at < entry->unechoed.size() && entry->unechoed[at].text.size() == entry->pending_length)
        return entry->unechoed.begin() + long(at);
    return find_written(entry, line, length);
}

// The line found, echoed, is taken with the lines written before it, which
// the modem passed over; the debts they kept are judged again.
static void take_passing_over(port_entry *entry, std::deque<written_line>::iterator found)
{
    uint32_t seq = found->seq;
    // Lines written before it while echo was on, or with nothing between
    // them and it that could change echo, and never echoed, were never
    // read: their answers are not coming. (Lines written while echo was
    // off could not be echoed.)
    // The lines passed over that were not lost (written while echo was
    // off, or before a change of echo) still were their commands' own.
    uint32_t lost_from = UINT32_MAX, lost_to = 0;
    std::vector<uint32_t> passed;
    for (auto w = entry->unechoed.begin(); w != found; ++w) {
        if ((w->expected || w->epoch == found->epoch) && w->seq != seq) {
            lost_from = std::min(lost_from, w->seq);
            lost_to = std::max(lost_to, w->seq);
        }
        if (!entry->owed.empty())
            passed.push_back(w->seq);
    }
    // A prompt command given up on whose line the modem never read gives
    // no late prompt: a "> " behind this echo is a later command's own.
    if (entry->prompt_abandoned && entry->abandoned_seq >= lost_from && entry->abandoned_seq <= lost_to)
        entry->prompt_abandoned = false;
    entry->spare_text = std::move(found->text);
    // Popped one by one, not erased as a range.
    size_t through = size_t(found - entry->unechoed.begin());
    for (size_t i = 0; i <= through; i++)
        entry->unechoed.pop_front();
    if (!entry->owed.empty()) {
        // An older debt not echoed and with no line of its own left to echo
        // (its bytes went out as part of another command's line) can never
        // be paid while echo is on: it would hold every later answer.
        auto was_passed = [&passed](uint32_t s) { return std::find(passed.begin(), passed.end(), s) != passed.end(); };
        auto has_line = [entry, &was_passed](uint32_t s) {
            return (!entry->write_line.empty() && entry->write_line_seq == s) || was_passed(s) ||
                   std::any_of(entry->unechoed.begin(), entry->unechoed.end(),
                               [s](const written_line &w) { return w.seq == s; });
        };
        std::erase_if(entry->owed, [&](const owed_answer &a) {
            return a.seq < seq && !a.echoed && ((a.seq >= lost_from && a.seq <= lost_to) || !has_line(a.seq));
        });
        // A command passed over and not lost was read with echo off: its
        // echo is not coming, and its answer comes in turn.
        for (owed_answer &a : entry->owed)
            a.echoed = a.echoed || a.seq == seq || (a.seq < seq && was_passed(a.seq));
    }
}

bool echo_take(port_entry *entry, const char *line, size_t length)
{
    if (entry->unechoed.empty())
        return false;
    auto found =
        entry->pending_at != SIZE_MAX ? pending_written(entry, line, length) : find_written(entry, line, length);
    if (found == entry->unechoed.end())
        return false;
    uint32_t seq = found->seq;
    // A command written again after the modem never read it echoes like
    // the lost one: the running command's echo may be the one taken here.
    if (entry->waiting && entry->current && seq != entry->command_seq && !entry->echo_seen)
        entry->echo_doubt =
            entry->echo_doubt || std::any_of(found + 1, entry->unechoed.end(), [&](const written_line &w) {
                return w.seq == entry->command_seq && w.text == found->text;
            });
    if (found == entry->unechoed.begin() && entry->owed.empty()) {
        // Usually the oldest line, and no debt to judge.
        entry->spare_text = std::move(found->text);
        entry->unechoed.pop_front();
    } else {
        take_passing_over(entry, found);
    }
    entry->echo = ECHO_ON;
    if (entry->waiting && entry->current && seq == entry->command_seq && !entry->echo_seen) {
        entry->echo_seen = true;
        // As it came: ended by CR LF, or by the CR alone that V.250 echoes.
        entry->anchor.assign(line, length);
        entry->anchor += entry->line_cr_ended ? "\r"sv : "\r\n"sv;
        capture_restart_at(entry, entry->anchor.data(), entry->anchor.size());
    }
    return true;
}

void echo_line_continued(port_entry *entry)
{
    // A command line left open at the modem (send-only text without a CR)
    // is run by the CR of the command that continues it: its echo and its
    // answer are that command's.
    if (!entry->write_line.empty() && !entry->write_text)
        entry->write_line_seq = entry->command_seq;
}

void echo_answered(port_entry *entry, uint32_t seq)
{
    // The modem answered the prompt's command or a later one: it is out of
    // any message text it was taking.
    if ((entry->write_text || entry->prompt_echo) && seq >= entry->prompt_seq) {
        entry->write_text = false;
        entry->prompt_echo = false;
    }
}

void echo_set(port_entry *entry, int setting)
{
    if (setting == 0) {
        entry->echo = ECHO_OFF;
        entry->unechoed.clear();
    } else if (setting == 1) {
        entry->echo = ECHO_ON;
    }
}

void echo_reset(port_entry *entry)
{
    echo_reopened(entry);
    entry->unechoed.clear();
}

void echo_reopened(port_entry *entry)
{
    entry->echo = ECHO_UNKNOWN;
    entry->echo_epoch++;
    // The debts still owed on the device keep their lines: an echo still
    // tells which of them the modem read.
    for (written_line &w : entry->unechoed)
        w.epoch = EPOCH_OTHER_RECORD;
    entry->write_line.clear();
    entry->write_text = false;
    entry->prompt_echo = false;
}

void echo_modem_restarted(port_entry *entry)
{
    // What came of an older answer while the running command waited is
    // not the running command's: it goes out as the late lines it is, and
    // the command's text starts again behind the start-up line.
    if (entry->waiting && !entry->owed.empty() && entry->owed.front().seq < entry->command_seq) {
        owed_release_window(entry);
        capture_restart_at(entry, nullptr, 0);
    }
    // It has forgotten every command it read: none of them is answered,
    // and the running one (if its echo came) is not either.
    entry->owed.clear();
    entry->window.clear();
    // The running command may have been written just before the start-up
    // line and read after it: its echo still anchors it.
    uint32_t running = entry->current ? entry->command_seq : UINT32_MAX;
    std::erase_if(entry->unechoed, [running](const written_line &w) { return w.seq != running; });
    entry->running_forgotten = entry->current && entry->unechoed.empty() &&
                               (entry->phase == PHASE_WAIT_FINAL || entry->phase == PHASE_WAIT_PROMPT);
    // Read after the restart, it is echoed; not echoed, it was lost.
    entry->echo_epoch++;
    for (written_line &w : entry->unechoed) {
        w.expected = true;
        w.epoch = entry->echo_epoch;
    }
    entry->write_text = false;
    entry->prompt_echo = false;
    entry->echo_seen = false;
    // A modem starts with echo on (its usual profile): nothing it sends
    // before the next echo is the running command's.
    entry->echo = ECHO_ON;
    entry->init_due = true; // its init commands run again
}
