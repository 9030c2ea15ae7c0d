// Every answer goes to the command it belongs to. A command that stops
// waiting before its final result line arrived (a timeout; a send-only
// command; a command that completed on a line of its own before the modem's
// final result; an extra command behind a CR inside the text) leaves the
// port owing that answer. While anything is owed, every line belongs to the
// oldest debt until a final result line for it pays it: those lines are set
// aside and published (as late, for a timed-out command), never handed to
// the command now waiting, whose text starts after them. So an answer that
// never comes costs at most one later command, and a late one is never
// taken for another command's answer. Unsolicited lines are no answer's:
// the reader publishes them before they get here.
#include <algorithm>
#include <cstring>

#include "port/port_internal.h"

// A port that never answers must not grow us; far more than the calls a
// port can have queued, each with its most command lines, ever owe.
constexpr size_t OWED_MAX = 4 * PORT_QUEUE_MAX * 64;
constexpr size_t WINDOW_MAX = 64; // lines held back for one waiting command
constexpr size_t STASH_MAX = REGISTRY_MAX;

void owed_push(port_entry *entry, const owed_answer &debt)
{
    entry->owed.push_back(debt);
    if (entry->owed.size() > OWED_MAX)
        entry->owed.pop_front();
}

void owed_add(port_entry *entry, const end_flag_list &flags, bool late, int count, bool provisional)
{
    for (int i = 0; i < count; i++)
        owed_push(entry, {flags, command_traits_now(entry), entry->command_seq, late, provisional, entry->echo_seen,
                          entry->out_echo_setting});
}

void owed_drop_after(port_entry *entry, uint32_t seq)
{
    std::erase_if(entry->owed, [seq](const owed_answer &a) { return a.seq > seq; });
}

const command_traits *owed_judge(port_entry *entry)
{
    if (!entry->owed.empty())
        return &entry->owed.front().traits;
    return entry->current ? &command_traits_now(entry) : nullptr;
}

int commands_in(const std::string &bytes)
{
    int count = 0;
    const char *line = bytes.data();
    const char *end = line + bytes.size();
    for (const char *cr; (cr = static_cast<const char *>(memchr(line, '\r', size_t(end - line)))); line = cr + 1) {
        const char *c = line;
        while (c < cr && (*c == '\n' || *c == ' ' || *c == '\t'))
            c++;
        count += c < cr ? 1 : 0;
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

void owed_release_window(port_entry *entry)
{
    for (const std::string &held : entry->window)
        emit_line(entry, held.c_str(), owed_late(entry));
    entry->window.clear();
}

// The waiting command's text starts again behind the line that paid: with
// the bytes of this chunk that follow it, and room for a whole answer.
static void restart_capture(port_entry *entry, size_t tail)
{
    at_response &cap = entry->capture;
    size_t keep = entry->chunk && tail <= size_t(entry->chunk_size) ? tail : 0;
    // Its own echo, once it came, stays at its head.
    size_t head = entry->echo_seen ? entry->anchor.size() : 0;
    if (head + keep > size_t(CAPTURE_MAX))
        head = 0;
    memcpy(cap.data, entry->anchor.data(), head);
    memcpy(cap.data + head, entry->chunk + entry->chunk_size - keep, keep);
    cap.length = static_cast<int32_t>(head + keep);
    cap.data[cap.length] = '\0';
    entry->capture_truncated = false;
}

void capture_restart_at(port_entry *entry, const char *, size_t)
{
    owed_forget_window(entry);
    restart_capture(entry, entry->line_tail);
}

bool owed_pay(port_entry *entry, const char *line, size_t length, size_t tail, bool modem_final)
{
    if (entry->owed.empty())
        return false;
    owed_answer &debt = entry->owed.front();
    // Whatever the caller waited for, the modem ends every answer with one
    // of its own final results.
    char matched[END_FLAG_SIZE];
    if (!modem_final && !end_flag_match_line(&debt.flags, line, length, FINAL_NONE, matched))
        return false;
    bool late = debt.late;
    if (entry->waiting) {
        owed_release_window(entry);
        // Before its own echo, no line can have been the waiting command's.
        if (entry->echo != ECHO_ON || entry->echo_seen)
            entry->paid_debt = true;
        restart_capture(entry, tail);
    }
    if (modem_final)
        echo_answered(entry, debt.seq);
    if (modem_final && debt.echo_after >= 0 && final_code_of(line, length) == FINAL_OK)
        echo_set(entry, debt.echo_after);
    // The modem has answered the command with the abandoned prompt, or one
    // written after it: that prompt is not coming any more.
    if (modem_final && debt.seq >= entry->abandoned_seq)
        entry->prompt_abandoned = false;
    if (modem_final || (matched[0] == '>' && debt.traits.prompts)) {
        entry->owed.pop_front();
    } else {
        // A line of the answer the caller waited for; the modem's final
        // result is still to come, and is owed in its place.
        debt.flags = default_end_flags();
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
    std::vector<uint32_t> given_up;
    for (const owed_answer &a : entry->owed)
        if (a.provisional && !a.echoed)
            given_up.push_back(a.seq);
    std::erase_if(entry->owed, [](const owed_answer &a) { return a.provisional; });
    // A command given up on without its echo was answered in what came:
    // its line is not waited for, or the next echo of the same text would
    // be taken for it.
    auto owes = [entry](uint32_t seq) {
        return std::any_of(entry->owed.begin(), entry->owed.end(),
                           [seq](const owed_answer &a) { return a.seq == seq; });
    };
    std::erase_if(entry->unechoed, [&](const written_line &w) {
        return std::find(given_up.begin(), given_up.end(), w.seq) != given_up.end() && !owes(w.seq);
    });
}

bool same_node_stamp(const node_stamp &a, const node_stamp &b)
{
    return a.dev == b.dev && a.ino == b.ino && a.ctime.tv_sec == b.ctime.tv_sec && a.ctime.tv_nsec == b.ctime.tv_nsec;
}

// Numbered for the stash: 0 before a prompt given up on (or with none),
// 1 by the prompt's command, 2 by the commands written after it.
static uint32_t stashed_seq(const port_entry *entry, uint32_t seq)
{
    if (!entry->prompt_abandoned || seq < entry->abandoned_seq)
        return 0;
    return seq == entry->abandoned_seq ? 1 : 2;
}

static void framing_remember(port_entry *entry)
{
    std::map<dev_t, node_stamp> &seen = entry->engine->framing_seen;
    if (entry->owed_rdev == 0)
        return;
    if (!entry->framing) {
        seen.erase(entry->owed_rdev);
        return;
    }
    if (seen.size() >= STASH_MAX && !seen.count(entry->owed_rdev))
        seen.erase(seen.begin());
    seen[entry->owed_rdev] = entry->owed_node;
}

void framing_recall(port_entry *entry)
{
    std::map<dev_t, node_stamp> &seen = entry->engine->framing_seen;
    auto found = seen.find(entry->owed_rdev);
    if (found == seen.end())
        return;
    if (same_node_stamp(found->second, entry->owed_node))
        entry->framing = true;
    else
        seen.erase(found);
}

void owed_stash(port_entry *entry)
{
    framing_remember(entry);
    if (entry->stashed_since_open)
        return;
    std::map<dev_t, stashed_debts> &stashed = entry->engine->stashed;
    int64_t now = mono_ms();
    // A fragment or a prompt waits at the modem for as long as nothing ends it.
    std::erase_if(stashed, [now](const auto &item) {
        return item.second.until_ms <= now && !item.second.fragment_out && !item.second.prompt_abandoned;
    });
    // Answers owed in doubt keep the time they are waited for; a CR's
    // answer after a fragment (provisional, with no such time) is waited
    // for as long as the others: the modem answers it first.
    int64_t settle_until = entry->settle_until > now ? entry->settle_until : 0;
    if (entry->settle_until != 0 && settle_until == 0)
        owed_drop_provisional(entry);
    // A line the modem was in the middle of, or a message text still to
    // come, is finished by the next record even when nothing is owed.
    bool midway = entry->line_length > 0 || entry->text.kind != TEXT_NONE;
    if ((entry->owed.empty() && !entry->fragment_out && !entry->prompt_abandoned && !midway) || entry->owed_rdev == 0) {
        entry->stashed_since_open = true;
        return;
    }
    if (stashed.size() >= STASH_MAX)
        return; // the record keeps them; its close tries again

    for (owed_answer &debt : entry->owed)
        debt.seq = stashed_seq(entry, debt.seq);
    for (written_line &line : entry->unechoed)
        line.seq = stashed_seq(entry, line.seq);
    std::string unfinished;
    if (!entry->line_overflow)
        unfinished.assign(entry->line_buffer, size_t(entry->line_length));
    stashed[entry->owed_rdev] = {std::move(entry->owed), now + OWED_KEEP_MS,      entry->fragment_out,
                                 settle_until,           std::move(unfinished),   entry->text,
                                 entry->owed_node,       entry->prompt_abandoned, std::move(entry->unechoed)};
    entry->owed.clear();
    entry->unechoed.clear();
    // The unfinished line is the stash's now: whichever record opens the
    // device next, this one again included, takes it from there.
    if (!entry->line_overflow) {
        line_reset(entry);
        entry->text = {};
    }
    entry->stashed_since_open = true;
}

bool owed_adopt(port_entry *entry)
{
    std::map<dev_t, stashed_debts> &stashed = entry->engine->stashed;
    auto found = stashed.find(entry->owed_rdev);
    if (found == stashed.end())
        return false;
    // The device was made anew while no record had it open: it reset, and
    // what the old one owed is not coming.
    if (!same_node_stamp(found->second.node, entry->owed_node)) {
        stashed.erase(found);
        return false;
    }
    entry->fragment_out = entry->fragment_out || found->second.fragment_out;
    // A record that has written nothing yet counts on from the commands
    // written after the one that gave the prompt up: the debts keep telling
    // which came before it, and which went into its text.
    bool prompt = found->second.prompt_abandoned && entry->command_seq == 0;
    if (prompt) {
        entry->prompt_abandoned = true;
        entry->abandoned_seq = 1;
        entry->command_seq = 2;
    }
    int64_t now = mono_ms();
    if (found->second.until_ms > now) {
        // Owed before anything this record sent.
        std::deque<owed_answer> older = std::move(found->second.owed);
        for (owed_answer &debt : older)
            debt.seq = prompt ? debt.seq : 0;
        int64_t settle_until = found->second.settle_until;
        if (settle_until != 0 && settle_until <= now)
            std::erase_if(older, [](const owed_answer &a) { return a.provisional; });
        else if (settle_until != 0)
            entry->settle_until = std::max(entry->settle_until, settle_until);
        older.insert(older.end(), entry->owed.begin(), entry->owed.end());
        entry->owed = std::move(older);
        std::deque<written_line> lines = std::move(found->second.unechoed);
        for (written_line &line : lines) {
            line.seq = prompt ? line.seq : 0;
            line.epoch = EPOCH_OTHER_RECORD;
        }
        lines.insert(lines.end(), entry->unechoed.begin(), entry->unechoed.end());
        entry->unechoed = std::move(lines);
        while (entry->owed.size() > OWED_MAX)
            entry->owed.pop_front();
        const std::string &unfinished = found->second.unfinished_line;
        if (entry->line_length == 0 && unfinished.size() < sizeof entry->line_buffer) {
            memcpy(entry->line_buffer, unfinished.data(), unfinished.size());
            entry->line_length = int32_t(unfinished.size());
            entry->line_buffer[entry->line_length] = '\0';
            entry->line_nul = memchr(unfinished.data(), '\0', unfinished.size()) != nullptr;
            entry->text = found->second.text;
        }
    }
    stashed.erase(found);
    return prompt;
}
