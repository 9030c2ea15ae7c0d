// Every answer goes to the command it belongs to. A command that stops
// waiting before its final result line arrived (a timeout; a send-only
// command) leaves the port owing that answer. While anything is owed, the
// next line that is a final result line for the oldest debt pays it: that
// line and the lines since the previous final result line are set aside
// and published (as late, for a timed-out command), never handed to the
// command now waiting, whose text starts after them. So an answer that
// never comes costs at most one later command, and a late one is never
// taken for another command's answer.
#include <algorithm>
#include <cstring>

#include "port/port_internal.h"

constexpr size_t OWED_MAX = 64;   // a port that never answers must not grow us
constexpr size_t WINDOW_MAX = 64; // lines held back for one waiting command

void owed_add(port_entry *entry, const end_flag_list &flags, bool late, int count)
{
    for (int i = 0; i < count; i++) {
        entry->owed.push_back({flags, late});
        if (entry->owed.size() > OWED_MAX)
            entry->owed.pop_front();
    }
}

// The modem answers each CR; a last part without one joins whatever is
// sent next.
void owed_send_only(port_entry *entry, const std::string &text)
{
    owed_add(entry, default_end_flags(), false, static_cast<int>(std::count(text.begin(), text.end(), '\r')));
}

void owed_reset(port_entry *entry)
{
    entry->owed.clear();
    entry->window.clear();
}

bool owed_late(const port_entry *entry)
{
    return !entry->owed.empty() && entry->owed.front().late;
}

void owed_remember(port_entry *entry, const char *line)
{
    if (entry->owed.empty())
        return;
    if (entry->window.size() == WINDOW_MAX) {
        entry->window.pop_front();
        entry->dropped++;
    }
    entry->window.emplace_back(line);
}

bool owed_pay(port_entry *entry, const char *line, size_t tail)
{
    if (entry->owed.empty() || !end_flag_match(&entry->owed.front().flags, line, nullptr))
        return false;
    bool late = entry->owed.front().late;
    entry->owed.pop_front();

    if (entry->waiting) {
        for (const std::string &held : entry->window)
            emit_line(entry, held.c_str(), late);
        entry->window.clear();
        entry->final_seen = true;
        // Keep only the bytes of this chunk behind the paying line.
        at_response &cap = entry->capture;
        size_t keep = entry->chunk_captured && tail <= size_t(cap.length) ? tail : 0;
        memmove(cap.data, cap.data + cap.length - keep, keep);
        cap.length = static_cast<int32_t>(keep);
        cap.data[cap.length] = '\0';
    }
    emit_line(entry, line, late);
    return true;
}
