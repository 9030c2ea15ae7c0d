// Echo anchors answers. The modem sends back each command line it reads
// before it answers it, so while echo is on no line that comes before a
// command's echo is part of that command's answer, and a command whose echo
// never comes (written while the modem reset, or lost on the line) is not
// answered at all. The engine knows every byte it writes: the lines it
// wrote are matched against the lines read, oldest first.
#include <algorithm>

#include "port/command_check.h"
#include "port/port_internal.h"

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

static std::string normalized(const char *s, size_t length)
{
    const char *end = s + length;
    while (s < end && is_blank(*s))
        s++;
    while (end > s && is_blank(end[-1]))
        end--;
    std::string out(s, size_t(end - s));
    for (char &c : out)
        c = upper(c);
    return out;
}

static void line_written(port_entry *entry)
{
    std::string text = normalized(entry->write_line.data(), entry->write_line.size());
    entry->write_line.clear();
    if (text.empty())
        return;
    if (command_prompts(text.data(), text.size())) {
        entry->write_text = true;
        entry->prompt_echo = true;
        entry->prompt_seq = entry->write_line_seq;
    }
    entry->unechoed.push_back({std::move(text), entry->write_line_seq});
    if (entry->unechoed.size() > UNECHOED_MAX)
        entry->unechoed.pop_front();
}

void echo_written(port_entry *entry, const char *bytes, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        char c = bytes[i];
        if (entry->write_text) {
            // Message text, not commands: it ends at Ctrl-Z or ESC.
            if (c == CTRL_Z || c == ESC) {
                entry->write_text = false;
                entry->write_line.clear();
            }
            continue;
        }
        if (c == '\r') {
            line_written(entry);
            continue;
        }
        if (c == ESC) {
            entry->write_line.clear();
            continue;
        }
        if (c == '\n' && entry->write_line.empty())
            continue; // the LF behind a CR
        if (entry->write_line.empty())
            entry->write_line_seq = entry->command_seq;
        if (entry->write_line.size() < COMMAND_MAX)
            entry->write_line += c;
    }
}

static bool same_line(const std::string &written, const std::string_view &read, bool cut)
{
    if (cut)
        return written.size() >= read.size() && written.compare(0, read.size(), read) == 0;
    return written == read;
}

static std::deque<written_line>::iterator find_written(port_entry *entry, const char *line, size_t length)
{
    auto none = entry->unechoed.end();
    if (entry->unechoed.empty())
        return none;
    size_t lead = 0;
    while (lead < length && is_blank(line[lead]))
        lead++;
    if (lead == length)
        return none;
    // Cheap refusal first: most lines read are no echo.
    char first = upper(line[lead]);
    if (std::none_of(entry->unechoed.begin(), none, [first](const written_line &w) { return w.text[0] == first; }))
        return none;
    std::string read = normalized(line, length);
    bool cut = length >= size_t(PORT_BUFFER_SIZE - 1);
    return std::find_if(entry->unechoed.begin(), none,
                        [&](const written_line &w) { return same_line(w.text, read, cut); });
}

bool echo_pending(port_entry *entry, const char *line, size_t length)
{
    return find_written(entry, line, length) != entry->unechoed.end();
}

bool echo_take(port_entry *entry, const char *line, size_t length)
{
    if (entry->unechoed.empty())
        return false;
    auto found = find_written(entry, line, length);
    if (found == entry->unechoed.end())
        return false;
    uint32_t seq = found->seq;
    entry->unechoed.erase(entry->unechoed.begin(), found + 1);
    // Lines written before it and never echoed were never read: their
    // answers are not coming.
    std::erase_if(entry->owed, [seq](const owed_answer &a) { return a.seq < seq && !a.echoed; });
    for (owed_answer &a : entry->owed)
        a.echoed = a.echoed || a.seq == seq;
    entry->echo = ECHO_ON;
    if (entry->waiting && entry->current && seq == entry->command_seq && !entry->echo_seen) {
        entry->echo_seen = true;
        // As it came: ended by CR LF, or by the CR alone that V.250 echoes.
        entry->anchor.assign(line, length);
        entry->anchor += entry->line_cr_ended ? "\r" : "\r\n";
        capture_restart_at(entry, entry->anchor.data(), entry->anchor.size());
    }
    return true;
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
    entry->echo = ECHO_UNKNOWN;
    entry->unechoed.clear();
    entry->write_line.clear();
    entry->write_text = false;
    entry->prompt_echo = false;
}

void echo_modem_restarted(port_entry *entry)
{
    // It has forgotten every command it read: none of them is answered,
    // and the running one (if its echo came) is not either.
    entry->owed.clear();
    entry->window.clear();
    entry->unechoed.clear();
    entry->write_text = false;
    entry->prompt_echo = false;
    entry->echo_seen = false;
    // A modem starts with echo on (its usual profile): nothing it sends
    // before the next echo is the running command's.
    entry->echo = ECHO_ON;
    entry->init_due = true; // its init commands run again
}
