// Every answer goes to the command it belongs to. A command that stops
// waiting before its final result line arrived (a timeout; a send-only
// command; a command that completed on a line of its own before the modem's
// final result; an extra command behind a CR inside the text) leaves the
// port owing that answer. While anything is owed, the next line that is a
// final result line for the oldest debt pays it: that line and the lines
// since the previous final result line are set aside and published (as
// late, for a timed-out command), never handed to the command now waiting,
// whose text starts after them. So an answer that never comes costs at most
// one later command, and a late one is never taken for another command's
// answer.
#include <algorithm>
#include <cstring>

#include "port/port_internal.h"

constexpr size_t OWED_MAX = 64;   // a port that never answers must not grow us
constexpr size_t WINDOW_MAX = 64; // lines held back for one waiting command
constexpr size_t STASH_MAX = REGISTRY_MAX;

void owed_add(port_entry *entry, const end_flag_list &flags, bool late, int count, bool provisional)
{
    for (int i = 0; i < count; i++) {
        entry->owed.push_back({flags, late, provisional});
        if (entry->owed.size() > OWED_MAX)
            entry->owed.pop_front();
    }
}

int commands_in(const std::string &bytes)
{
    int count = 0;
    bool blank = true;
    for (char c : bytes) {
        if (c == '\r') {
            count += blank ? 0 : 1;
            blank = true;
        } else if (c != '\n' && c != ' ' && c != '\t') {
            blank = false;
        }
    }
    return count;
}

// The modem answers each command line ended by a CR; a last part without
// one joins whatever is sent next.
void owed_send_only(port_entry *entry, const std::string &text)
{
    owed_add(entry, default_end_flags(), false, commands_in(text));
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

bool owed_pay(port_entry *entry, const char *line, size_t tail, bool modem_final)
{
    if (entry->owed.empty())
        return false;
    owed_answer &debt = entry->owed.front();
    // Whatever the caller waited for, the modem ends every answer with one
    // of its own final results.
    char matched[END_FLAG_SIZE];
    if (!modem_final && !end_flag_match(&debt.flags, line, matched))
        return false;
    bool late = debt.late;
    if (modem_final || matched[0] == '>') {
        entry->owed.pop_front();
    } else {
        // A line of the answer the caller waited for; the modem's final
        // result is still to come, and is owed in its place.
        debt.flags = default_end_flags();
    }

    if (entry->waiting) {
        for (const std::string &held : entry->window)
            emit_line(entry, held.c_str(), late);
        entry->window.clear();
        entry->paid_debt = true;
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

bool owed_has_provisional(const port_entry *entry)
{
    return std::any_of(entry->owed.begin(), entry->owed.end(), [](const owed_answer &a) { return a.provisional; });
}

void owed_drop_provisional(port_entry *entry)
{
    std::erase_if(entry->owed, [](const owed_answer &a) { return a.provisional; });
}

void owed_stash(port_entry *entry)
{
    std::map<dev_t, stashed_debts> &stashed = entry->engine->stashed;
    int64_t now = mono_ms();
    std::erase_if(stashed, [now](const auto &item) { return item.second.until_ms <= now; });
    owed_drop_provisional(entry);
    if (entry->owed.empty() || entry->owed_rdev == 0 || stashed.size() >= STASH_MAX)
        return;
    stashed[entry->owed_rdev] = {std::move(entry->owed), now + OWED_KEEP_MS};
    entry->owed.clear();
}

void owed_adopt(port_entry *entry)
{
    std::map<dev_t, stashed_debts> &stashed = entry->engine->stashed;
    auto found = stashed.find(entry->owed_rdev);
    if (found == stashed.end())
        return;
    if (found->second.until_ms > mono_ms()) {
        // Owed before anything this record sent.
        std::deque<owed_answer> older = std::move(found->second.owed);
        older.insert(older.end(), entry->owed.begin(), entry->owed.end());
        entry->owed = std::move(older);
        while (entry->owed.size() > OWED_MAX)
            entry->owed.pop_front();
    }
    stashed.erase(found);
}
