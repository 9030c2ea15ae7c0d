#include "tests/oracle/modem.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <map>
#include <thread>
#include <utility>

using std::chrono::milliseconds;

namespace
{

constexpr char CTRL_Z = 0x1a;
constexpr char ESC = 0x1b;

struct out_item {
    oracle_time due;
    std::string bytes;
    // The link away and back, the device up; or a USB reset: the device
    // hangs up, and a new one comes under the same link.
    enum { WRITE, UNPLUG, REPLUG, HANG_UP, NEW_DEVICE } action = WRITE;
    bool boundary = true;       // once written, another line may follow
    int answer_of = -1;         // once written, that command's answer is complete
    int prompt_of = -1;         // the "> " of that command, taken back if ESC comes first
    long urc = -1;              // once written, that unsolicited line is out
    bool shows_framing = false; // an information line, an empty line, a final: the daemon sees the port frames
    int part_of = -1;           // a piece of that command's answer
    bool is_echo = false;
};

// How an answer's bytes go out.
struct pacing {
    int delay_ms = 0, gap_ms = 0, pieces = 1;
};

} // namespace

struct sim_modem {
    oracle_ledger &ledger;
    int port;
    std::string slave;
    int master = -1, slave_hold = -1, wake = -1;
    std::thread thread;
    std::atomic<bool> stop{false}, quiet{false};
    std::atomic<bool> new_record{false}; // a "close" or "open" began or ended
    std::atomic<int> record_changes{0};  // "close" and "open" calls of the port under way
    std::mutex state_lock;
    std::string pending; // what keeps it from being idle, empty when it is

    // The serving thread's alone.
    rng_t rng;
    std::deque<out_item> out; // in the order it goes out
    size_t out_done = 0;      // bytes of out.front() already written
    bool line_start = true;   // the last item written ended a line
    bool echo = true, echo_at_once = false;
    bool framed = true;         // answers framed as V.250 frames them; false: "info\r\nOK\r\n"
    bool framing_shown = false; // a framed answer with information lines went out since the start or a USB reset
    int answer_open = -1;       // the answer partly written
    bool answer_broken = false; // an echo came inside it: the daemon does not learn the framing from it
    oracle_time silent_until;   // a restart's silence: it reads and drops, and sends nothing
    oracle_time next_restart;
    std::string silent_command;
    bool skip_line = false;
    std::string command;
    int text_for = -1; // taking message text for this command
    std::string text;
    bool text_after_busy = false; // taken while busy with a late prompt: not echoed, commands expected
    bool text_misused = false;    // a command came in as text: reported once
    int busy_for = -1;            // a late prompt is due for this command: input is held, ESC ignored
    std::string held;
    bool linked = true;
    oracle_time stalled_until;
    long stalled_for = -1;
    long urcs_made = 0;
    oracle_time next_urc, next_toggle;
    void set_echo(bool on, oracle_time now)
    {
        if (on == echo)
            return;
        echo = on;
        std::lock_guard guard(ledger.lock);
        ledger.echo_changes[port].push_back({now, on});
    }

    sim_modem(oracle_ledger &l, int p, uint64_t seed) : ledger(l), port(p), rng(seed) {}
    const std::string &link() const { return ledger.ports[port]; }
};

namespace
{

oracle_time tail_due(const sim_modem &m, oracle_time now)
{
    return m.out.empty() ? now : std::max(now, m.out.back().due);
}

void push(sim_modem &m, oracle_time due, std::string bytes, bool boundary = true)
{
    out_item item{due, std::move(bytes)};
    item.boundary = boundary;
    m.out.push_back(std::move(item));
}

// A whole line goes out as soon as it can: behind what is due already, at
// the first line boundary, ahead of anything not yet due. False when nothing
// queued ends a line.
bool insert_line(sim_modem &m, out_item item, oracle_time now)
{
    // Echoes keep the order the lines were read in: a modem reads its
    // input in turn, whenever it echoes what it read.
    size_t after = 0;
    if (item.is_echo)
        for (size_t j = 0; j < m.out.size(); j++)
            if (m.out[j].is_echo)
                after = j + 1;
    bool boundary = m.line_start && m.out_done == 0;
    for (size_t i = 0;; i++) {
        if (boundary && i >= after && (i == m.out.size() || m.out[i].due > now)) {
            item.due = now;
            m.out.insert(m.out.begin() + i, std::move(item));
            return true;
        }
        if (i == m.out.size())
            return false;
        if (m.out[i].action == out_item::WRITE)
            boundary = m.out[i].boundary;
    }
}

// A change of the link goes in at its moment, between what is written
// before and after it (a line may be cut by it: the link is not the line).
void queue_link(sim_modem &m, out_item item)
{
    size_t i = m.out_done > 0 ? 1 : 0;
    while (i < m.out.size() && m.out[i].due <= item.due)
        i++;
    m.out.insert(m.out.begin() + i, std::move(item));
}

void note_lines(sim_modem &m, int id, const std::vector<planned_line> &lines)
{
    std::lock_guard guard(m.ledger.lock);
    for (const planned_line &line : lines)
        m.ledger.commands[id].lines.push_back(without_nul(line.text));
}

// Queued `delay_ms` after everything before it. A line and the ones joined
// to it make a segment that nothing comes between; segments go out `gap_ms`
// apart, and the whole is cut into `pieces` fragments a few milliseconds
// apart.
// A framing modem sends every line but a message's text as "\r\n" line
// "\r\n"; so after an information or text line an empty line comes before
// the final result. A message has more than one text line only where the
// daemon can know where it ends.
void queue_answer(sim_modem &m, int id, const std::vector<planned_line> &planned, const std::string &lead, pacing p,
                  oracle_time now)
{
    std::vector<planned_line> lines;
    for (const planned_line &line : planned)
        if (!line.more_text || (m.framed && m.framing_shown))
            lines.push_back(line);
    note_lines(m, id, lines);
    std::string bytes = m.framed ? "" : lead;
    std::map<size_t, bool> cuts; // where, and whether a segment ends there
    bool info = false;
    for (size_t k = 0; k < lines.size(); k++) {
        const planned_line &line = lines[k];
        bytes += (m.framed && line.role != line_role::text ? "\r\n" : "") + line.text + "\r\n";
        bool joined = line.joined && k + 1 < lines.size() && lines[k + 1].role == line_role::text;
        if (!joined)
            cuts[bytes.size()] = true;
        info = info || (line.role != line_role::final && k + 1 < lines.size());
    }
    for (int i = 1; i < p.pieces; i++)
        cuts.emplace(pick(m.rng, 1, int(bytes.size()) - 1), false);
    oracle_time due = tail_due(m, now) + milliseconds(p.delay_ms);
    size_t from = 0;
    for (auto [cut, boundary] : cuts) {
        push(m, due, bytes.substr(from, cut - from), boundary);
        due += milliseconds(boundary ? p.gap_ms : pick(m.rng, 1, 20));
        from = cut;
    }
    for (size_t i = m.out.size() - (cuts.size()); i < m.out.size(); i++)
        m.out[i].part_of = id;
    m.out.back().answer_of = id;
    m.out.back().shows_framing = m.framed && info && !lines.empty() && lines.back().role == line_role::final;
}

pacing pacing_of(const answer_plan &p)
{
    return {p.delay_ms, p.gap_ms, p.pieces};
}

// A stalled command ended by the daemon's CR after it gave the rest up: the
// start of that command's line. The lock is held.
int fragment_of(sim_modem &m, const std::string &cmd)
{
    auto it = m.ledger.commands.find(cmd.rfind("AT+T=", 0) == 0 ? int(line_id(cmd)) : -1);
    if (it == m.ledger.commands.end() || it->second.plan.stall_ms == 0)
        return -1;
    const std::string &whole = it->second.text;
    return whole.size() > cmd.size() && whole.compare(0, cmd.size(), cmd) == 0 ? it->first : -1;
}

// What a command line's basic commands do to echo once it is answered
// OK: E0 or a bare E turns it off, E1, Z and &F on; -1 nothing.
int echo_setting(const std::string &cmd)
{
    int setting = -1;
    for (size_t i = 2; i < cmd.size();) {
        char c = char(toupper(static_cast<unsigned char>(cmd[i])));
        bool amp = c == '&';
        if (amp && ++i < cmd.size())
            c = char(toupper(static_cast<unsigned char>(cmd[i])));
        if (c < 'A' || c > 'Z' || (c == 'D' && !amp))
            break;
        size_t at = ++i;
        while (i < cmd.size() && isdigit(static_cast<unsigned char>(cmd[i])))
            i++;
        std::string value = cmd.substr(at, i - at);
        if (!amp && c == 'E')
            setting = value.empty() || value == "0" ? 0 : value == "1" ? 1 : setting;
        else if ((!amp && c == 'Z') || (amp && c == 'F'))
            setting = 1;
    }
    return setting;
}

bool answered_ok(const answer_plan &plan)
{
    if (plan.answer.empty() || plan.prompt != prompt_mode::none)
        return false;
    const std::string &last = plan.answer.back().text;
    return plan.answer.back().role == line_role::final && last.rfind("OK", 0) == 0 &&
           last.find_first_not_of(" \t", 2) == std::string::npos;
}

void command_arrived(sim_modem &m, const std::string &cmd, oracle_time now)
{
    int id = -1;
    bool fragment = false;
    answer_plan plan;
    {
        std::lock_guard guard(m.ledger.lock);
        auto known = m.ledger.command_ids.find(cmd);
        id = known != m.ledger.command_ids.end() ? known->second : fragment_of(m, cmd);
        fragment = known == m.ledger.command_ids.end();
        auto it = m.ledger.commands.find(id);
        if (it == m.ledger.commands.end() || it->second.arrived || it->second.port != m.port) {
            id = -1;
        } else {
            modem_command &c = it->second;
            c.arrived = true;
            c.arrival = now;
            c.clean = m.out.empty() && m.line_start;
            c.seq = int(m.ledger.arrival_order[m.port].size());
            m.ledger.arrival_order[m.port].push_back(id);
            plan = c.plan;
            if (m.echo && !fragment)
                c.lines.push_back(cmd);
        }
    }
    if (id < 0) {
        report(m.ledger, "the modem of port " + std::to_string(m.port) + " received a command nobody sent, or twice",
               shown(cmd) + (cmd.size() > 200 ? ", ending " + shown(cmd.substr(cmd.size() - 100)) : ""));
        push(m, tail_due(m, now), "ERROR\r\n");
        return;
    }
    if (fragment) {
        queue_answer(m, id, plan.fragment_answer, "", {}, now);
        return;
    }
    // A framing modem's echo is the command as read, CR included; its
    // answer's first CR LF ends that line.
    out_item echo{now, cmd + (m.framed ? "\r" : "\r\n")};
    echo.boundary = !m.framed;
    echo.is_echo = true;
    // Queued as an echo too, or a later echo sent at once could overtake it.
    if (m.echo && !(m.echo_at_once && insert_line(m, echo, now))) {
        echo.due = tail_due(m, now);
        m.out.push_back(std::move(echo));
    }
    // It executes the line as it takes it: ATE0 and ATE1 answered OK.
    if (int setting = echo_setting(cmd); setting >= 0 && answered_ok(plan) && plan.unplug_ms == 0) {
        m.set_echo(setting == 1, now);
        count_fault(m.ledger);
    }
    if (plan.unplug_ms > 0 && plan.hang_up) {
        // A USB reset: what is queued never goes out.
        oracle_time gone = tail_due(m, now) + milliseconds(pick(m.rng, 5, 30));
        m.out.push_back({gone, "", out_item::HANG_UP});
        m.out.push_back({gone + milliseconds(plan.unplug_ms), "", out_item::NEW_DEVICE});
    } else if (plan.unplug_ms > 0) {
        // A link flip: the modem goes on, and its answer comes before, while
        // or after the link is away.
        oracle_time gone = now + milliseconds(pick(m.rng, 5, 30));
        queue_link(m, {gone, "", out_item::UNPLUG});
        queue_link(m, {gone + milliseconds(plan.unplug_ms), "", out_item::REPLUG});
    }
    out_item prompt{tail_due(m, now) + milliseconds(plan.prompt == prompt_mode::late ? plan.delay_ms : 0), "\r\n> "};
    prompt.boundary = false;
    prompt.prompt_of = id;
    switch (plan.prompt) {
    case prompt_mode::none:
    case prompt_mode::refuse:
        if (!plan.answer.empty())
            queue_answer(m, id, plan.answer, "", pacing_of(plan), now);
        break;
    case prompt_mode::late:
        m.busy_for = id;
        m.held.clear();
        m.out.push_back(std::move(prompt));
        break;
    case prompt_mode::show:
        note_lines(m, id, {{"> "}});
        m.out.push_back(std::move(prompt));
        [[fallthrough]];
    case prompt_mode::withhold:
        m.text_for = id;
        m.text.clear();
        m.text_after_busy = m.text_misused = false;
        break;
    }
}

answer_plan plan_of(sim_modem &m, int id)
{
    std::lock_guard guard(m.ledger.lock);
    return m.ledger.commands[id].plan;
}

// Ctrl-Z: the text is sent; its answer follows. It must be the text its
// command came with, nothing of another caller's.
void text_sent(sim_modem &m, oracle_time now)
{
    int id = std::exchange(m.text_for, -1);
    std::string data;
    {
        std::lock_guard guard(m.ledger.lock);
        data = m.ledger.commands[id].data;
    }
    if (m.text != data)
        report(m.ledger,
               "the modem of port " + std::to_string(m.port) + " sent a message for command " + std::to_string(id) +
                   " whose text is not that command's data",
               shown(m.text));
    bool echoed = m.echo && !m.text_after_busy;
    note_lines(m, id, {{"> " + (echoed ? m.text : std::string())}});
    answer_plan plan = plan_of(m, id);
    queue_answer(m, id, plan.answer, "\r\n", pacing_of(plan), now);
}

// ESC: out of text input. A prompt not yet shown is not shown any more; one
// that was shown has its line ended.
void text_cancelled(sim_modem &m, oracle_time now)
{
    int id = std::exchange(m.text_for, -1);
    bool shown = true;
    for (size_t i = m.out_done > 0 ? 1 : 0; i < m.out.size() && shown; i++) {
        if (m.out[i].prompt_of == id) {
            m.out.erase(m.out.begin() + i);
            shown = false;
        }
    }
    answer_plan plan = plan_of(m, id);
    if (!plan.escape_answer.empty())
        queue_answer(m, id, plan.escape_answer, "\r\n", {plan.escape_delay_ms}, now);
    else if (shown && plan.prompt != prompt_mode::withhold)
        push(m, tail_due(m, now), "\r\n");
}

void flush_echo(sim_modem &m, std::string &echoed, oracle_time now)
{
    if (!echoed.empty())
        push(m, tail_due(m, now), echoed, false);
    echoed.clear();
}

// A command ends at CR; an LF before any of its bytes is the rest of a CR
// LF. Message text runs to Ctrl-Z or ESC and is echoed as it comes. While a
// late prompt is due, everything but ESC is held for the text.
void take_byte(sim_modem &m, char c, oracle_time now, std::string &echoed)
{
    if (m.busy_for >= 0) {
        if (c != ESC)
            m.held += c;
    } else if (m.text_for >= 0) {
        if (c == '\r' && !m.text_after_busy && !std::exchange(m.text_misused, true))
            report(m.ledger,
                   "the modem of port " + std::to_string(m.port) + " takes a command as message text: command " +
                       std::to_string(m.text_for) + " got its prompt and ended with neither its text nor ESC",
                   shown(m.text));
        if (c == CTRL_Z || c == ESC) {
            flush_echo(m, echoed, now);
            c == CTRL_Z ? text_sent(m, now) : text_cancelled(m, now);
        } else {
            m.text += c;
            if (m.echo && !m.text_after_busy)
                echoed += c;
        }
    } else if (m.skip_line) {
        m.skip_line = c != '\r';
    } else if (c == '\r') {
        if (!m.command.empty())
            command_arrived(m, m.command, now);
        m.command.clear();
    } else if (c != ESC && c != CTRL_Z && !(c == '\n' && m.command.empty())) {
        m.command += c;
    }
}

// The late prompt is out: what was held is the start of the text.
void prompted_late(sim_modem &m, oracle_time now)
{
    m.text_for = std::exchange(m.busy_for, -1);
    m.text.clear();
    m.text_after_busy = true;
    note_lines(m, m.text_for, {{"> "}});
    std::string held = std::move(m.held), echoed;
    m.held.clear();
    for (char c : held)
        take_byte(m, c, now, echoed);
}

// A stalled command: the modem stops reading once its start is in.
void maybe_stall(sim_modem &m, oracle_time now)
{
    if (m.command.rfind("AT+T=", 0) != 0 || m.command.find(',') == std::string::npos)
        return;
    long id = line_id(m.command);
    if (id == m.stalled_for)
        return;
    std::lock_guard guard(m.ledger.lock);
    auto it = m.ledger.commands.find(int(id));
    if (it == m.ledger.commands.end() || it->second.plan.stall_ms == 0)
        return;
    m.stalled_for = id;
    m.stalled_until = now + milliseconds(it->second.plan.stall_ms);
    m.ledger.stalled[m.port].push_back({now, m.stalled_until});
}

// During a restart's silence the modem reads and drops: the commands written
// then get no echo and no answer.
void drop_silently(sim_modem &m, const char *buf, ssize_t n)
{
    for (ssize_t i = 0; i < n; i++) {
        if (buf[i] != '\r') {
            if (buf[i] != '\n' && m.silent_command.size() < 100000)
                m.silent_command += buf[i];
            continue;
        }
        std::lock_guard guard(m.ledger.lock);
        auto known = m.ledger.command_ids.find(m.silent_command);
        if (known != m.ledger.command_ids.end()) {
            modem_command &c = m.ledger.commands[known->second];
            if (c.port == m.port && !c.arrived)
                c.lost = true;
        }
        m.silent_command.clear();
    }
}

bool end_silence(sim_modem &m, oracle_time now);

void receive(sim_modem &m, oracle_time now)
{
    char buf[4096];
    // With its link away it still reads what the daemon wrote before it
    // closed the device.
    ssize_t n = read(m.master, buf, sizeof buf);
    if (n <= 0)
        return;
    trace(m.port, now < m.silent_until ? "read (silent)" : "read", std::string_view(buf, size_t(n)));
    if (now < m.silent_until) {
        drop_silently(m, buf, n);
        return;
    }
    end_silence(m, now);
    std::string echoed;
    for (ssize_t i = 0; i < n; i++)
        take_byte(m, buf[i], now, echoed);
    flush_echo(m, echoed, now);
    maybe_stall(m, now);
}

// A USB reset: the modem starts afresh. What it had to send and what it
// had received, in part or not yet read, is gone with the old device; the
// answers it had queued never come.
void reset(sim_modem &m, oracle_time now)
{
    m.stalled_until = now;
    m.out_done = 0;
    std::vector<int> dropped;
    std::erase_if(m.out, [&](const out_item &item) {
        if (item.action != out_item::WRITE)
            return false;
        if (item.answer_of >= 0)
            dropped.push_back(item.answer_of);
        return true;
    });
    m.line_start = true;
    m.command.clear();
    m.text_for = m.busy_for = -1;
    m.text.clear();
    m.held.clear();
    m.framing_shown = false; // the daemon starts afresh with the new device
    m.answer_open = -1;
    m.set_echo(true, now); // as after power-on
    std::lock_guard guard(m.ledger.lock);
    for (int id : dropped)
        m.ledger.commands[id].lost = true;
}

bool open_pty(sim_modem &m);

// The link goes or comes back. With the device up (a link flip) the pty
// stays as it is: what the modem writes meanwhile waits in it (the slave is
// held open), and nothing is flushed. A hang-up closes the master first, so
// the daemon's descriptor hangs up before the link goes; the new device is
// a new pty.
void plug(sim_modem &m, int action, oracle_time now)
{
    static const char *const names[] = {"write", "unplug", "replug", "hang-up", "new device"};
    static_assert(std::size(names) == out_item::NEW_DEVICE + 1);
    trace(m.port, names[action]);
    if (action == out_item::HANG_UP) {
        // In the ledger before the master closes: the daemon fails its
        // calls the moment it sees the hang-up, and their replies may be
        // judged before this thread goes on.
        {
            std::lock_guard guard(m.ledger.lock);
            m.ledger.unplugged[m.port].push_back({now, NOT_YET});
            m.ledger.hung_up[m.port].push_back({now, NOT_YET});
        }
        for (int *fd : {&m.master, &m.slave_hold})
            close(std::exchange(*fd, -1));
        reset(m, now);
    } else if (action == out_item::NEW_DEVICE && !open_pty(m)) {
        report(m.ledger, "the modem of port " + std::to_string(m.port) + " could not make its new pty");
    }
    bool in = action == out_item::REPLUG || action == out_item::NEW_DEVICE;
    // A link flip that ends while the device is down (a USB reset under
    // way) brings nothing back: the link comes with the new device.
    if (action == out_item::REPLUG && m.master < 0)
        return;
    std::lock_guard guard(m.ledger.lock);
    if (in) {
        // Always to the device there now: a link left behind would lead
        // to a pty that is gone.
        (void)!unlink(m.link().c_str());
        (void)!symlink(m.slave.c_str(), m.link().c_str());
        m.ledger.unplugged[m.port].back().second = now;
        if (action == out_item::NEW_DEVICE)
            m.ledger.hung_up[m.port].back().second = now;
    } else {
        (void)!unlink(m.link().c_str());
        if (action != out_item::HANG_UP)
            m.ledger.unplugged[m.port].push_back({now, NOT_YET});
    }
    m.linked = in;
}

// What is done once an item is written.
void written(sim_modem &m, const out_item &item, oracle_time now)
{
    m.line_start = item.boundary;
    // An echo inside an answer hides its framing from the daemon. While a
    // "close" or "open" runs, the record that reads it may be the one that
    // goes.
    if (item.is_echo && m.answer_open >= 0)
        m.answer_broken = true;
    if (item.part_of >= 0 && item.part_of != m.answer_open) {
        m.answer_open = item.part_of;
        m.answer_broken = false;
    }
    bool shows = item.shows_framing && !m.answer_broken && m.record_changes == 0;
    if (item.answer_of >= 0)
        m.answer_open = -1;
    m.framing_shown = m.framing_shown || shows;
    std::lock_guard guard(m.ledger.lock);
    if (item.answer_of >= 0) {
        modem_command &c = m.ledger.commands[item.answer_of];
        c.answered = true;
        c.answered_at = now;
    }
    if (item.urc >= 0)
        m.ledger.urcs[item.urc].written = now;
}

// A link that comes back (or goes, or a device that resets) does not wait
// for the modem's output to drain: with the link gone nobody reads the pty,
// and a full pty would hold the link away for ever.
static bool plug_ahead(sim_modem &m, oracle_time now)
{
    for (size_t k = 1; k < m.out.size(); k++) {
        if (m.out[k].action == out_item::WRITE || m.out[k].due > now)
            continue;
        int action = m.out[k].action;
        m.out.erase(m.out.begin() + long(k));
        plug(m, action, now);
        return true;
    }
    return false;
}

// Writes what is due; true when the master must take more first.
bool transmit(sim_modem &m, oracle_time now)
{
    while (!m.out.empty() && m.out.front().due <= now) {
        out_item &item = m.out.front();
        if (item.action != out_item::WRITE) {
            int action = item.action;
            m.out.pop_front();
            plug(m, action, now);
            continue;
        }
        ssize_t n = write(m.master, item.bytes.data() + m.out_done, item.bytes.size() - m.out_done);
        if (n < 0 && errno == EAGAIN) {
            if (plug_ahead(m, now))
                continue;
            return true;
        }
        if (n > 0) {
            trace(m.port, "wrote", std::string_view(item.bytes).substr(m.out_done, size_t(n)));
            m.out_done += size_t(n);
        } else if (n < 0 && errno != EINTR)
            m.out_done = item.bytes.size(); // a broken pty: give the bytes up rather than spin
        if (m.out_done < item.bytes.size())
            return true;
        out_item done = std::move(item);
        m.out_done = 0;
        m.out.pop_front();
        written(m, done, now);
        if (done.prompt_of >= 0 && done.prompt_of == m.busy_for)
            prompted_late(m, now);
    }
    return false;
}

// An unsolicited line as a modem sends it, numbered n, of the kinds its
// port allows (ledger.h), with the bytes that carry it. Messages delivered
// to the port bring their text, sometimes exactly "OK" or "ERROR", on a
// port that frames sometimes in two or three lines; a USSD text may run
// over lines to its closing quote; vendors' lines of all kinds.
struct urc_out {
    urc_record u;
    std::string bytes;
};

// `follows[k]`: line k continues the one before (a text), no framing in
// front. A framed text without a length is followed by the empty line that
// frames what comes next.
std::string urc_bytes(bool framed, const std::vector<std::string> &lines, const std::vector<bool> &follows,
                      bool close_text)
{
    std::string bytes;
    for (size_t k = 0; k < lines.size(); k++)
        bytes += (framed && !(k < follows.size() && follows[k]) ? "\r\n" : "") + lines[k] + "\r\n";
    return bytes + (framed && close_text ? "\r\n" : "");
}

std::vector<std::string> message_lines(rng_t &rng, long n, int count)
{
    std::vector<std::string> texts;
    for (int k = 0; k < count; k++) {
        int kind = pick(rng, 0, 9);
        if (kind == 0)
            texts.push_back(tagged("RING", tag_of(n, 1 + k)));
        else if (kind == 1)
            texts.push_back(tagged("+CMTI: \"SM\",1", tag_of(n, 1 + k)));
        else
            texts.push_back(message_text(rng, n, 1 + k, false));
    }
    return texts;
}

urc_out unsolicited(sim_modem &m, long n)
{
    static const char *const registrations[] = {"+CREG", "+CGREG", "+CEREG", "+C5GREG"};
    rng_t &rng = m.rng;
    int port = m.port;
    bool multi = m.framed && m.framing_shown;
    std::string tag = std::to_string(n), number = "\"+1555" + tag + "\"";
    std::string pdu = chance(rng, 0.3) ? message_text(rng, n, 1, false) : "0791" + tag + "00F0";
    urc_out o;
    urc_record &u = o.u;
    u.port = port;
    std::vector<bool> follows;
    bool close_text = false;
    switch (pick(rng, 0, 13)) {
    case 0: u.lines = {tagged(chance(rng, 0.5) ? "RING" : "+CRING: VOICE", tag_of(n, 0))}; break;
    case 1: u.lines = {"+CLIP: " + number + ",145,,,,0"}; break;
    case 2: u.lines = {(chance(rng, 0.5) ? "+CMTI: \"SM\"," : "+CDSI: \"SR\",") + tag}; break;
    case 3: {
        const char *reg = registrations[pick(rng, 0, 3)];
        u.lines = {std::string(reg == std::string(owned_prefix(port)) ? "+C5GREG" : reg) + ": 5," + tag};
        break;
    }
    case 4: u.lines = {"+CIEV: " + tag + ",1"}; break;
    case 5:
        if (chance(rng, 0.5)) {
            u.lines = {"+CUSD: 0,\"Balance " + tag + "\",15"};
        } else {
            // Its text runs to the closing quote.
            u.lines = {"+CUSD: 0,\"Balance " + tag};
            for (int k = pick(rng, 0, 3); k > 0; k--)
                u.lines.push_back(k == 1 ? tagged("OK", tag_of(n, 2)) : "bonus " + tag + "." + std::to_string(k));
            u.lines.push_back(chance(rng, 0.5) ? "5.00 EUR " + tag + "\",15" : "5.00 EUR " + tag + "\"");
            follows.assign(u.lines.size(), true);
            follows[0] = false;
        }
        break;
    case 6: u.lines = {"+CGEV: ME PDN ACT " + tag}; break;
    case 7:
        if (chance(rng, 0.6)) {
            std::vector<std::string> texts = message_lines(rng, n, multi && chance(rng, 0.6) ? pick(rng, 2, 3) : 1);
            bool length = chance(rng, 0.5);
            std::string header = "+CMT: " + number + ",,\"24/05/01,10:00:00+08\"";
            if (length) {
                size_t units = texts.size() - 1;
                for (const std::string &t : texts)
                    units += t.size();
                header += ",145,4,0,0,\"+1555\",145," + std::to_string(units);
            }
            u.lines = {header};
            u.lines.insert(u.lines.end(), texts.begin(), texts.end());
            follows.assign(u.lines.size(), true);
            follows[0] = false;
            close_text = !length;
        } else {
            u.lines = {"+CMT: ," + tag, pdu};
            follows = {false, true};
        }
        break;
    case 8: {
        std::vector<std::string> texts = message_lines(rng, n, multi && chance(rng, 0.5) ? 2 : 1);
        u.lines = {"+CBM: " + tag + ",4370,1,1,1"};
        u.lines.insert(u.lines.end(), texts.begin(), texts.end());
        follows.assign(u.lines.size(), true);
        follows[0] = false;
        close_text = true;
        break;
    }
    case 9:
        if (chance(rng, 0.5)) {
            u.lines = {"+CDS: " + tag, pdu};
            follows = {false, true};
        } else {
            u.lines = {"+CDS: 6," + tag + "," + number + ",145,,,0"};
        }
        break;
    case 10: {
        // Blanks in front leave it a call that ended.
        std::string ended = (chance(rng, 0.3) ? " " : "") + tagged("NO CARRIER", tag_of(n, 0));
        u.lines = {dials_on(port) ? "+CCWA: " + number + ",145,1" : ended};
        break;
    }
    default: {
        // Vendors' lines, the start-up ones left to a restart.
        static const char *const words[] = {
            "POWERED DOWN", "SMS Ready",    "SMS DONE", "Call Ready", "PB DONE",
            "+SIM READY",   "+CPIN: READY", "+CFUN: 1", "+QUSIM: 1",  "+QIND: \"act\",\"LTE\""};
        static const char *const named[] = {"^MODE: 5,",     "^RSSI:",           "^HCSQ:\"LTE\",", "#QSS: ",
                                            "#STN: ",        "+UUSIMSTAT: ",     "+UUPSDD: ",      "+QIND: \"csq\",",
                                            "+QSIMSTAT: 1,", "+QNETDEVSTATUS: ", "+GTSIMSTAT: ",   "^DSFLOWRPT:"};
        if (chance(rng, 0.4))
            u.lines = {tagged(words[pick(rng, 0, 9)], tag_of(n, 0))};
        else
            u.lines = {named[pick(rng, 0, 11)] + tag};
        break;
    }
    }
    o.bytes = urc_bytes(m.framed, u.lines, follows, close_text);
    return o;
}

// A restart's start-up lines, after its silence.
urc_out startup_burst(sim_modem &m, long n)
{
    static const char *const first[] = {"RDY", "^SYSSTART", "*ATREADY: 1"};
    static const char *const then[] = {"+CFUN: 1",  "+CPIN: READY", "+QUSIM: 1", "SMS DONE",
                                       "SMS Ready", "Call Ready",   "PB DONE",   "+QIND: PB DONE"};
    urc_out o;
    o.u.port = m.port;
    o.u.lines = {tagged(first[pick(m.rng, 0, 2)], tag_of(n, 0))};
    for (int k = 1, count = pick(m.rng, 1, 4); k <= count; k++)
        o.u.lines.push_back(tagged(then[pick(m.rng, 0, 7)], tag_of(n, k)));
    o.bytes = urc_bytes(m.framed, o.u.lines, {}, false);
    return o;
}

bool queue_urc(sim_modem &m, urc_out o, long n, oracle_time now, bool at_tail)
{
    out_item item{tail_due(m, now), std::move(o.bytes)};
    item.urc = n;
    o.u.made = now;
    if (at_tail)
        m.out.push_back(std::move(item));
    else if (!insert_line(m, std::move(item), now))
        return false;
    std::lock_guard guard(m.ledger.lock);
    for (const std::string &line : o.u.lines)
        own_line(m.ledger, line, {-1, n, line_role::info});
    m.ledger.urcs[n] = std::move(o.u);
    m.ledger.faults++;
    return true;
}

// The modem restarts with its tty kept: it goes silent, forgets what it was
// answering (the line it is half way through goes out whole), drops what it
// reads, and then says it started. Echo is on again, as after power-on.
void restart(sim_modem &m, oracle_time now)
{
    // Half way through a line: inside an item, or between the pieces of one.
    bool partial = m.out_done > 0 || !m.line_start;
    size_t kept = 0;
    if (partial) {
        while (kept < m.out.size() && !m.out[kept].boundary)
            kept++;
        kept = std::min(kept + 1, m.out.size());
    }
    std::vector<int> dropped;
    while (m.out.size() > kept) {
        if (m.out.back().answer_of >= 0)
            dropped.push_back(m.out.back().answer_of);
        m.out.pop_back();
    }
    if (!partial)
        m.line_start = true;
    m.command.clear();
    m.silent_command.clear();
    m.silent_until = now + milliseconds(pick(m.rng, 800, 2500));
    trace(m.port, "restart");
    std::lock_guard guard(m.ledger.lock);
    for (int id : dropped)
        m.ledger.commands[id].lost = true;
    m.ledger.silences[m.port].push_back({now, m.silent_until});
    m.ledger.faults++;
}

// A restart's silence is over: the modem announces itself before it
// answers anything it reads from now on.
bool end_silence(sim_modem &m, oracle_time now)
{
    if (m.silent_until == oracle_time() || now < m.silent_until)
        return false;
    m.silent_until = oracle_time();
    m.command.clear();
    m.skip_line = !m.silent_command.empty(); // the rest of a line it dropped the start of
    m.set_echo(true, now);
    long n = ++m.urcs_made * ID_STRIDE + URC_BASE + m.port;
    queue_urc(m, startup_burst(m, n), n, now, true);
    return true;
}

// Unsolicited lines and restarts, at random moments; echo sent at once or
// in turn.
void chatter(sim_modem &m, oracle_time now)
{
    if (m.new_record.exchange(false)) {
        // The record that read the start of an answer under way may be the
        // one that goes: the next one does not see that answer's framing.
        if (m.answer_open >= 0)
            m.answer_broken = true;
    }
    if (end_silence(m, now))
        return;
    if (m.quiet || m.text_for >= 0 || m.busy_for >= 0 || m.master < 0 || now < m.silent_until)
        return;
    if (now >= m.next_restart) {
        m.next_restart = now + milliseconds(pick(m.rng, 8000, 30000));
        bool plugging = std::any_of(m.out.begin(), m.out.end(),
                                    [](const out_item &item) { return item.action != out_item::WRITE; });
        if (!plugging && now >= m.stalled_until) {
            restart(m, now);
            return;
        }
    }
    if (now >= m.next_urc) {
        m.next_urc = now + milliseconds(pick(m.rng, 20, 400));
        long n = ++m.urcs_made * ID_STRIDE + URC_BASE + m.port;
        queue_urc(m, unsolicited(m, n), n, now, false);
    }
    if (now >= m.next_toggle) {
        // Echo itself changes only with ATE0 and ATE1, which the daemon
        // writes and so can know of.
        m.next_toggle = now + milliseconds(pick(m.rng, 500, 3000));
        m.echo_at_once = !m.echo_at_once;
        count_fault(m.ledger);
    }
}

void note_pending(sim_modem &m)
{
    std::string what;
    if (m.text_for >= 0)
        what = "waits for the message text of command " + std::to_string(m.text_for);
    else if (m.busy_for >= 0)
        what = "is to prompt for command " + std::to_string(m.busy_for);
    else if (!m.out.empty())
        what = "has " + std::to_string(m.out.size()) + " writes queued";
    else if (m.silent_until != oracle_time())
        what = "is silent after a restart";
    std::lock_guard guard(m.state_lock);
    m.pending = what;
}

int wait_ms(const sim_modem &m, bool want_out, oracle_time now)
{
    oracle_time next = now + milliseconds(1000);
    if (!m.quiet)
        next = std::min({next, m.next_urc, m.next_toggle, m.next_restart});
    if (m.silent_until != oracle_time())
        next = std::min(next, m.silent_until);
    if (!want_out && !m.out.empty())
        next = std::min(next, m.out.front().due);
    if (m.stalled_until > now)
        next = std::min(next, m.stalled_until);
    return int(std::chrono::ceil<milliseconds>(std::max(next - now, oracle_clock::duration::zero())).count());
}

void serve(sim_modem *m)
{
    while (!m->stop) {
        oracle_time now = oracle_clock::now();
        chatter(*m, now);
        bool want_out = transmit(*m, now);
        note_pending(*m);
        bool reading = now >= m->stalled_until;
        pollfd fds[2] = {{m->wake, POLLIN, 0},
                         {m->master, short((reading ? POLLIN : 0) | (want_out ? POLLOUT : 0)), 0}};
        if (poll(fds, 2, wait_ms(*m, want_out, now)) <= 0)
            continue;
        if (fds[0].revents) {
            uint64_t count;
            (void)!read(m->wake, &count, sizeof count);
        }
        if (reading && (fds[1].revents & POLLIN))
            receive(*m, oracle_clock::now());
    }
}

// The slave stays open on our side, so its raw settings and its input queue
// live on while the daemon has it closed (a vanished node, a closed port).
bool open_pty(sim_modem &m)
{
    m.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[PATH_MAX];
    if (m.master < 0 || grantpt(m.master) < 0 || unlockpt(m.master) < 0 || ptsname_r(m.master, name, sizeof name))
        return false;
    m.slave = name;
    m.slave_hold = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio;
    if (m.slave_hold < 0 || tcgetattr(m.slave_hold, &tio) < 0)
        return false;
    cfmakeraw(&tio);
    return tcsetattr(m.slave_hold, TCSANOW, &tio) == 0;
}

void release(sim_modem *m)
{
    for (int fd : {m->master, m->slave_hold, m->wake})
        if (fd >= 0)
            close(fd);
    delete m;
}

} // namespace

sim_modem *modem_start(oracle_ledger &ledger, int port, uint64_t seed)
{
    auto *m = new sim_modem(ledger, port, seed);
    m->echo = chance(m->rng, 0.75);
    m->framed = port != PORTS - 1; // the last port's modem does not frame
    m->next_urc = m->next_toggle = oracle_clock::now();
    m->next_restart = m->next_urc + milliseconds(pick(m->rng, 5000, 30000));
    ledger.echo_changes[port].push_back({m->next_urc, m->echo});
    m->pending = "starting";
    m->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m->wake < 0 || !open_pty(*m) || symlink(m->slave.c_str(), m->link().c_str()) < 0) {
        release(m);
        return nullptr;
    }
    m->thread = std::thread(serve, m);
    return m;
}

void modem_stop(sim_modem *m)
{
    m->stop = true;
    uint64_t one = 1;
    (void)!write(m->wake, &one, sizeof one);
    m->thread.join();
    if (m->linked)
        unlink(m->link().c_str());
    release(m);
}

std::string modem_pending(sim_modem *m)
{
    std::lock_guard guard(m->state_lock);
    return m->pending;
}

void modem_record_change(sim_modem *m, bool begin)
{
    m->record_changes += begin ? 1 : -1;
    m->new_record = true;
    uint64_t one = 1;
    (void)!write(m->wake, &one, sizeof one);
}

void modem_quiet(sim_modem *m)
{
    m->quiet = true;
}
