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
#include <thread>
#include <utility>

using std::chrono::milliseconds;

namespace
{

constexpr char CTRL_Z = 0x1a;
constexpr char ESC = 0x1b;
constexpr int LONG_ANSWER_LINES = 36;  // of about 1 KiB each: past the 32 KiB capture
constexpr int LONG_LINE_BYTES = 36000; // past the 32 KiB line buffer

struct out_item {
    oracle_time due;
    std::string bytes;
    enum { WRITE, UNPLUG, REPLUG } action = WRITE;
    int answer_of = -1; // once written, that command's answer is complete
    int prompt_of = -1; // the "> " of that command, taken back if ESC comes first
};

} // namespace

struct sim_modem {
    oracle_ledger &ledger;
    int port;
    std::string slave;
    int master = -1, slave_hold = -1, wake = -1;
    std::thread thread;
    std::atomic<bool> stop{false}, quiet{false};
    std::mutex state_lock;
    std::string pending; // what keeps it from being idle, empty when it is

    // The serving thread's alone.
    rng_t rng;
    std::deque<out_item> out; // in the order it goes out
    size_t out_done = 0;      // bytes of out.front() already written
    bool line_start = true;   // the last byte written ended a line
    bool echo = true, echo_at_once = false;
    std::string command;
    int text_for = -1; // taking message text for this command
    std::string text;
    bool text_misused = false; // a command came in as text: reported once
    bool linked = true;
    oracle_time next_urc, next_toggle;

    sim_modem(oracle_ledger &l, int p, uint64_t seed) : ledger(l), port(p), rng(seed) {}
    const std::string &link() const { return ledger.ports[port]; }
};

namespace
{

oracle_time tail_due(const sim_modem &m, oracle_time now)
{
    return m.out.empty() ? now : std::max(now, m.out.back().due);
}

void push(sim_modem &m, oracle_time due, std::string bytes, int answer_of = -1)
{
    out_item item{due, std::move(bytes)};
    item.answer_of = answer_of;
    m.out.push_back(std::move(item));
}

// A whole line goes out as soon as it can: behind what is due already, at
// the first line boundary, ahead of anything not yet due. False when nothing
// queued ends a line.
bool insert_line(sim_modem &m, const std::string &line, oracle_time now)
{
    bool boundary = m.line_start && m.out_done == 0;
    for (size_t i = 0;; i++) {
        if (boundary && (i == m.out.size() || m.out[i].due > now)) {
            m.out.insert(m.out.begin() + i, out_item{now, line});
            return true;
        }
        if (i == m.out.size())
            return false;
        if (!m.out[i].bytes.empty())
            boundary = m.out[i].bytes.back() == '\n';
    }
}

void note_lines(sim_modem &m, int id, const std::vector<std::string> &lines)
{
    std::lock_guard guard(m.ledger.lock);
    for (const std::string &line : lines)
        m.ledger.commands[id].lines.push_back(without_nul(line));
}

std::vector<std::string> answer_lines(int id, const answer_plan &p)
{
    std::string tag = std::to_string(id);
    std::vector<std::string> lines;
    switch (p.body) {
    case answer_body::lines:
        for (int k = 0; k < p.info_lines; k++)
            lines.push_back("+T: " + tag + "," + (p.nul && k == 0 ? std::string(1, '\0') : "") + std::to_string(k));
        break;
    case answer_body::long_answer:
        for (int k = 0; k < LONG_ANSWER_LINES; k++)
            lines.push_back("+T: " + tag + "," + std::to_string(k) + "," + std::string(1000, char('a' + k % 26)));
        break;
    case answer_body::long_line: lines.push_back("+T: " + tag + ",L," + std::string(LONG_LINE_BYTES, 'y')); break;
    }
    if (!p.flag_word.empty())
        lines.push_back("+T: " + tag + " " + p.flag_word);
    lines.push_back(p.final_word + " " + tag);
    return lines;
}

// Queued behind everything before it, `delay_ms` after that, cut into
// `pieces` fragments a few milliseconds apart.
void queue_answer(sim_modem &m, int id, const std::vector<std::string> &lines, const std::string &lead, int delay_ms,
                  int pieces, oracle_time now)
{
    note_lines(m, id, lines);
    std::string bytes = lead;
    for (const std::string &line : lines)
        bytes += line + "\r\n";
    std::vector<size_t> cuts;
    for (int i = 1; i < pieces; i++)
        cuts.push_back(pick(m.rng, 1, int(bytes.size()) - 1));
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    oracle_time due = tail_due(m, now) + milliseconds(delay_ms);
    size_t from = 0;
    for (size_t cut : cuts) {
        push(m, due, bytes.substr(from, cut - from));
        due += milliseconds(pick(m.rng, 1, 20));
        from = cut;
    }
    push(m, due, bytes.substr(from), id);
}

void command_arrived(sim_modem &m, const std::string &cmd, oracle_time now)
{
    long id = cmd.rfind("AT+T=", 0) == 0 && cmd.size() > 5 ? line_id(cmd) : -1;
    if (id >= 0 && cmd != "AT+T=" + std::to_string(id))
        id = -1;
    answer_plan plan;
    bool known = false;
    {
        std::lock_guard guard(m.ledger.lock);
        auto it = m.ledger.commands.find(int(id));
        if (it != m.ledger.commands.end() && !it->second.arrived && it->second.port == m.port) {
            known = true;
            modem_command &c = it->second;
            c.arrived = true;
            c.arrival = now;
            c.clean = m.out.empty() && m.line_start && m.text_for < 0;
            c.seq = int(m.ledger.arrival_order[m.port].size());
            m.ledger.arrival_order[m.port].push_back(int(id));
            plan = c.plan;
            if (m.echo)
                c.lines.push_back(cmd);
        }
    }
    if (!known) {
        report(m.ledger, "the modem of port " + std::to_string(m.port) + " received a command nobody sent, or twice",
               shown(cmd));
        push(m, tail_due(m, now), "ERROR\r\n");
        return;
    }
    if (m.echo && !(m.echo_at_once && insert_line(m, cmd + "\r\n", now)))
        push(m, tail_due(m, now), cmd + "\r\n");
    if (plan.unplug_ms > 0) {
        oracle_time gone = tail_due(m, now) + milliseconds(pick(m.rng, 5, 30));
        m.out.push_back({gone, "", out_item::UNPLUG});
        m.out.push_back({gone + milliseconds(plan.unplug_ms), "", out_item::REPLUG});
    }
    std::string tag = std::to_string(id);
    switch (plan.prompt) {
    case prompt_mode::none:
        if (!plan.never)
            queue_answer(m, int(id), answer_lines(int(id), plan), "", plan.delay_ms, plan.pieces, now);
        break;
    case prompt_mode::refuse: queue_answer(m, int(id), {"ERROR " + tag}, "", plan.delay_ms, 1, now); break;
    case prompt_mode::show: {
        note_lines(m, int(id), {"> "});
        out_item prompt{tail_due(m, now), "\r\n> "};
        prompt.prompt_of = int(id);
        m.out.push_back(std::move(prompt));
        [[fallthrough]];
    }
    case prompt_mode::withhold:
        m.text_for = int(id);
        m.text.clear();
        m.text_misused = false;
        break;
    }
}

answer_plan plan_of(sim_modem &m, int id)
{
    std::lock_guard guard(m.ledger.lock);
    return m.ledger.commands[id].plan;
}

// Ctrl-Z: the text is sent; its answer follows.
void text_sent(sim_modem &m, oracle_time now)
{
    int id = m.text_for;
    m.text_for = -1;
    answer_plan plan = plan_of(m, id);
    note_lines(m, id, {"> " + (m.echo ? m.text : std::string())});
    queue_answer(m, id, answer_lines(id, plan), "\r\n", plan.delay_ms, plan.pieces, now);
}

// ESC: out of text input. A prompt not yet shown is not shown any more; one
// that was shown has its line ended.
void text_cancelled(sim_modem &m, oracle_time now)
{
    int id = m.text_for;
    m.text_for = -1;
    bool shown = true;
    for (size_t i = m.out_done > 0 ? 1 : 0; i < m.out.size() && shown; i++) {
        if (m.out[i].prompt_of == id) {
            m.out.erase(m.out.begin() + i);
            shown = false;
        }
    }
    answer_plan plan = plan_of(m, id);
    if (plan.ack_escape)
        queue_answer(m, id, {"OK " + std::to_string(id)}, "\r\n", plan.ack_delay_ms, 1, now);
    else if (shown && plan.prompt == prompt_mode::show)
        push(m, tail_due(m, now), "\r\n");
}

// A command ends at CR; an LF before any of its bytes is the rest of a CR
// LF. Message text runs to Ctrl-Z or ESC and is echoed as it comes.
void receive(sim_modem &m, oracle_time now)
{
    char buf[4096];
    ssize_t n = read(m.master, buf, sizeof buf);
    std::string echoed;
    auto flush_echo = [&] {
        if (!echoed.empty())
            push(m, tail_due(m, now), echoed);
        echoed.clear();
    };
    for (ssize_t i = 0; i < n; i++) {
        char c = buf[i];
        if (m.text_for >= 0) {
            if (c == '\r' && !std::exchange(m.text_misused, true))
                report(m.ledger,
                       "the modem of port " + std::to_string(m.port) + " takes a command as message text: command " +
                           std::to_string(m.text_for) + " got its prompt and ended with neither its text nor ESC",
                       shown(m.text));
            if (c == CTRL_Z || c == ESC) {
                flush_echo();
                c == CTRL_Z ? text_sent(m, now) : text_cancelled(m, now);
            } else {
                m.text += c;
                if (m.echo)
                    echoed += c;
            }
        } else if (c == '\r') {
            if (!m.command.empty())
                command_arrived(m, m.command, now);
            m.command.clear();
        } else if (c != ESC && c != CTRL_Z && !(c == '\n' && m.command.empty())) {
            m.command += c;
        }
    }
    flush_echo();
}

// Writes what is due; true when the master must take more first.
bool transmit(sim_modem &m, oracle_time now)
{
    while (!m.out.empty() && m.out.front().due <= now) {
        out_item &item = m.out.front();
        if (item.action != out_item::WRITE) {
            bool gone = item.action == out_item::UNPLUG;
            std::lock_guard guard(m.ledger.lock);
            if (gone) {
                (void)!unlink(m.link().c_str());
                m.ledger.unplugged[m.port].push_back({now, NOT_YET});
            } else {
                (void)!symlink(m.slave.c_str(), m.link().c_str());
                m.ledger.unplugged[m.port].back().second = now;
            }
            m.linked = !gone;
            m.out.pop_front();
            continue;
        }
        ssize_t n = write(m.master, item.bytes.data() + m.out_done, item.bytes.size() - m.out_done);
        if (n < 0 && errno == EAGAIN)
            return true;
        if (n > 0)
            m.out_done += size_t(n);
        else if (n < 0 && errno != EINTR)
            m.out_done = item.bytes.size(); // a broken pty: give the bytes up rather than spin
        if (m.out_done < item.bytes.size())
            return true;
        m.line_start = item.bytes.back() == '\n';
        if (item.answer_of >= 0) {
            std::lock_guard guard(m.ledger.lock);
            modem_command &c = m.ledger.commands[item.answer_of];
            c.answered = true;
            c.answered_at = now;
        }
        m.out_done = 0;
        m.out.pop_front();
    }
    return false;
}

// Unsolicited lines and echo changes, at random moments between commands.
void chatter(sim_modem &m, oracle_time now)
{
    if (m.quiet || m.text_for >= 0)
        return;
    if (now >= m.next_urc) {
        m.next_urc = now + milliseconds(pick(m.rng, 20, 400));
        long n;
        {
            std::lock_guard guard(m.ledger.lock);
            n = long(m.ledger.urcs.size()) + 1;
            m.ledger.urcs[n] = m.port;
        }
        if (insert_line(m, "+URC: " + std::to_string(n) + "\r\n", now))
            count_fault(m.ledger);
    }
    if (now >= m.next_toggle) {
        m.next_toggle = now + milliseconds(pick(m.rng, 500, 3000));
        if (chance(m.rng, 0.5))
            m.echo = !m.echo;
        else
            m.echo_at_once = !m.echo_at_once;
        count_fault(m.ledger);
    }
}

void note_pending(sim_modem &m)
{
    std::string what;
    if (m.text_for >= 0)
        what = "waits for the message text of command " + std::to_string(m.text_for);
    else if (!m.out.empty())
        what = "has " + std::to_string(m.out.size()) + " writes queued";
    std::lock_guard guard(m.state_lock);
    m.pending = what;
}

int wait_ms(const sim_modem &m, bool want_out, oracle_time now)
{
    oracle_time next = now + milliseconds(1000);
    if (!m.quiet)
        next = std::min({next, m.next_urc, m.next_toggle});
    if (!want_out && !m.out.empty())
        next = std::min(next, m.out.front().due);
    return int(std::chrono::ceil<milliseconds>(std::max(next - now, oracle_clock::duration::zero())).count());
}

void serve(sim_modem *m)
{
    while (!m->stop) {
        oracle_time now = oracle_clock::now();
        chatter(*m, now);
        bool want_out = transmit(*m, now);
        note_pending(*m);
        pollfd fds[2] = {{m->wake, POLLIN, 0}, {m->master, short(POLLIN | (want_out ? POLLOUT : 0)), 0}};
        if (poll(fds, 2, wait_ms(*m, want_out, now)) <= 0)
            continue;
        if (fds[0].revents) {
            uint64_t count;
            (void)!read(m->wake, &count, sizeof count);
        }
        if (fds[1].revents & POLLIN)
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
    m->next_urc = m->next_toggle = oracle_clock::now();
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

void modem_quiet(sim_modem *m)
{
    m->quiet = true;
}
