#include "tests/oracle/check.h"

#include <algorithm>
#include <iterator>
#include <map>

using std::chrono::milliseconds;

namespace
{

// A device that came back is reopened within a moment; calls that run then
// may still find it closed.
constexpr milliseconds REOPEN_SLACK(2000);
constexpr milliseconds WRITE_GIVE_UP(2000); // the daemon's wait for a write to drain
// How much sooner than its timeout an answer must have come for the command
// to be sure to see it.
constexpr milliseconds IN_TIME_SLACK(1000);
// A port closes after its "close" was sent and opens before the reply to a
// call that found it open; a little more either way.
constexpr milliseconds CLOSE_SLACK(100);
// What a modem wrote this long before a USB reset may still have been
// unread, and went with the device that hung up. (A link flip loses
// nothing: the daemon reads it all once it reopens.)
constexpr milliseconds HANG_UP_SLACK(500);
// After a timeout in doubt (an older answer came while the command waited:
// that line may have been its own), the daemon waits this long for the rest
// of its answer before the next command; a later answer is taken for the
// next command's, and answers stay one behind until a command times out.
// A limit of the design, documented; the reply reaches us a little after
// the daemon gave up.
constexpr milliseconds DOUBT_SETTLE(2000);
constexpr milliseconds REPLY_SLACK(100);
// "truncated" needs an exchange past the capture's 32 KiB, less what
// unsolicited lines may have added.
constexpr size_t TRUNCATED_FLOOR = 16 * 1024;

struct split_text {
    std::vector<std::string> lines; // complete, without CR LF
    std::string rest;               // after the last CR LF
};

// A capture may begin with the LF of a CR LF whose CR was read before it.
// A framing modem's echo ends in the CR of the command line, and its
// answer's CR LF follows: that CR is no part of the line.
split_text split_lines(const std::string &text)
{
    split_text out;
    size_t at = text.rfind('\n', 0) == 0 ? 1 : 0;
    for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        // Echoes back to back: each ends in its own CR.
        for (size_t cr; (cr = line.find('\r')) != std::string::npos; line.erase(0, cr + 1))
            out.lines.push_back(line.substr(0, cr));
        out.lines.push_back(line);
    }
    out.rest = text.substr(at);
    return out;
}

bool starts_with(const std::string &s, const std::string &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0 && s.size() >= prefix.size();
}

bool ends_with(const std::string &s, const std::string &suffix)
{
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string without_blanks_around(const std::string &line)
{
    size_t from = line.find_first_not_of(" \t");
    return from == std::string::npos ? "" : line.substr(from, line.find_last_not_of(" \t") - from + 1);
}

// Whether an end flag ends a wait on the line, as the daemon reads lines:
// a final result's name matches only that final result (the flag ERROR any
// error), any other flag every line that holds it.
bool flag_matches(const std::string &flag, const std::string &line)
{
    static const std::string words[] = {"OK", "ERROR", "NO CARRIER", "BUSY", "NO ANSWER", "NO DIALTONE"};
    std::string bare = without_blanks_around(line);
    bool error = starts_with(bare, "+CME ERROR:") || starts_with(bare, "+CMS ERROR:");
    if (flag == "ERROR")
        return bare == flag || error;
    if (std::find(std::begin(words), std::end(words), flag) != std::end(words))
        return bare == flag;
    if (flag == "CONNECT")
        return bare == flag || starts_with(bare, "CONNECT ");
    if (flag == "+CME ERROR:" || flag == "+CMS ERROR:")
        return starts_with(bare, flag);
    return line.find(flag) != std::string::npos;
}

// The first of the flags that the line matches, empty for none.
std::string first_match(const std::vector<std::string> &flags, const std::string &line)
{
    for (const std::string &flag : flags)
        if (flag_matches(flag, line))
            return flag;
    return "";
}

// A prompt, and the echo of a LF typed at it (the rest of a CR LF behind
// the command line, which a modem at its prompt takes as text).
bool bare_prompt(const std::string &line)
{
    return !line.empty() && line[0] == '>' && line.find_first_not_of(" \r\n", 1) == std::string::npos;
}

// A report and where it was found; reported once the lock is released.
struct finding {
    std::string what, detail;
};

// Everything below runs with the ledger's lock held.
struct checker {
    oracle_ledger &l;
    std::vector<finding> found;

    void fail(const std::string &what, const std::string &detail = "") { found.push_back({what, detail}); }

    // The modem echoed throughout the call: the daemon can tell every
    // answer's start, and no excuse holds.
    bool strict(const call_record &c) const { return echo_on_throughout(l, c.port, c.sent, c.replied); }

    bool own(const call_record &c, long id) const { return std::find(c.ids.begin(), c.ids.end(), id) != c.ids.end(); }

    const std::vector<std::string> &lines_of(long id) { return l.commands[int(id)].lines; }

    // Lines that are part of an answer proper: not the echo of a command or
    // of message text after "> ", not blank.
    bool answer_line(const std::string &line, long id)
    {
        const line_owner *o = owner_of(l, line);
        return o && o->command == id && o->role != line_role::echo && line[0] != '>';
    }

    bool ends_command(const line_owner *o) const
    {
        return o && (o->role == line_role::final || o->role == line_role::flag);
    }

    // Whether `s` is the start (or the end) of an unsolicited line of the port.
    bool urc_part(int port, const std::string &s, bool end)
    {
        for (const auto &[n, u] : l.urcs)
            if (u.port == port)
                for (const std::string &line : u.lines)
                    if (end ? ends_with(line, s) : starts_with(line, s))
                        return true;
        return false;
    }

    // Why a complete line has no place in the call's text; empty when it
    // has. *owner is set to the call whose command the line belongs to.
    std::string misplaced(const call_record &c, const std::string &line, bool first, int *owner)
    {
        *owner = -1;
        // A prompt cancelled with ESC can end its line during a later command.
        if (line.empty() || bare_prompt(line))
            return "";
        const line_owner *o = owner_of(l, line);
        if (o && o->urc >= 0)
            return l.urcs[o->urc].port == c.port ? "" : "an unsolicited line of another port";
        if (o && own(c, o->command)) {
            const auto &sent = lines_of(o->command);
            return std::find(sent.begin(), sent.end(), line) != sent.end()
                       ? ""
                       : "a line of its own command that the modem never sent (corrupted)";
        }
        // The end of an unsolicited line that began before the capture did.
        if (first && urc_part(c.port, line, true))
            return "";
        if (!o)
            return "a line that no modem made (corrupted, or pieces of lines glued together)";
        // With echo off or unknown: the echo of an earlier command whose
        // answer has not come (a send-only one's, or one that timed out)
        // is no part of any answer. With echo on it is never captured.
        const modem_command &other = l.commands[o->command];
        const modem_command &mine = l.commands[c.ids[0]];
        if (o->role == line_role::echo && line == other.text && other.port == c.port && other.arrived && mine.arrived &&
            other.seq < mine.seq && !strict(c))
            return "";
        *owner = other.call;
        return "lines of another command's exchange (command " + std::to_string(o->command) + ")";
    }

    bool unfinished_line_fits(const call_record &c, std::string rest, bool alone)
    {
        if (!rest.empty() && rest.back() == '\r')
            rest.pop_back();
        if (rest.empty() || bare_prompt(rest) || (alone && urc_part(c.port, rest, true)) ||
            urc_part(c.port, rest, false))
            return true;
        for (int id : c.ids)
            for (const std::string &line : lines_of(id))
                if (starts_with(line, rest))
                    return true;
        return false;
    }

    // The lines of one of its commands that the text holds, answer lines only.
    std::vector<std::string> answer_in(const split_text &text, long id)
    {
        std::vector<std::string> got;
        for (const std::string &line : text.lines)
            if (answer_line(line, id))
                got.push_back(line);
        return got;
    }

    // Each command's answer lines in the text are its first ones, as sent:
    // nothing cut out of the middle, nothing reordered.
    void check_text(const call_record &c, const std::string &key, const std::string &text)
    {
        split_text t = split_lines(text);
        std::vector<std::string> said;
        for (size_t i = 0; i < t.lines.size(); i++) {
            int owner;
            std::string why = misplaced(c, t.lines[i], i == 0, &owner);
            if (why.empty() || std::find(said.begin(), said.end(), why) != said.end())
                continue;
            said.push_back(why);
            const line_owner *o = owner_of(l, t.lines[i]);
            std::string whose = o && o->command >= 0 ? "; " + history(l.commands[o->command]) : "";
            fail(key + " holds " + why,
                 "line " + shown(t.lines[i]) + (owner >= 0 ? ", from " + describe(l, owner) + whose : ""));
        }
        if (!unfinished_line_fits(c, t.rest, t.lines.empty()))
            fail(key + " ends in a line fragment that is not the start of a line of its exchange", shown(t.rest));
        for (int id : c.ids) {
            std::vector<std::string> sent;
            for (const std::string &line : lines_of(id))
                if (!line.empty() && answer_line(line, id))
                    sent.push_back(line);
            std::vector<std::string> got = answer_in(t, id);
            if (got.size() > sent.size() || !std::equal(got.begin(), got.end(), sent.begin()))
                fail(key + " holds the answer of command " + std::to_string(id) + " with lines missing or moved",
                     "the modem sent " + std::to_string(sent.size()) + " answer lines, the reply holds " +
                         std::to_string(got.size()));
        }
        if (c.reply.has("truncated")) {
            size_t own = 0;
            for (int id : c.ids)
                for (const std::string &line : lines_of(id))
                    own += line.size() + 2;
            if (own < TRUNCATED_FLOOR)
                fail("\"truncated\" although its own exchange is " + std::to_string(own) + " bytes");
        }
    }

    // The link was away (a flip or a USB reset) at some moment of a span.
    // When the port's link was last away before the reply, from the call's
    // start: what a "device was there" judgement rests on.
    std::string last_away(const call_record &c)
    {
        std::string out = "no link away before it";
        auto ms = [&](oracle_time t) {
            return std::to_string(std::chrono::duration_cast<milliseconds>(t - c.sent).count()) + " ms";
        };
        for (const auto &[gone, back] : l.unplugged[c.port])
            if (gone <= c.replied)
                out = "link last away from " + ms(gone) + " to " + (back == NOT_YET ? "not back" : ms(back)) +
                      " of the call; replied at " + ms(c.replied);
        for (const auto &[begin, end] : l.stalled[c.port])
            if (begin <= c.replied && c.sent - WRITE_GIVE_UP <= end)
                out += "; the modem read nothing from " + ms(begin) + " to " + ms(end);
        return out;
    }

    bool unplugged_during(int port, oracle_time from, oracle_time to, milliseconds slack)
    {
        return away_during(l.unplugged[port], from, to, slack);
    }

    static bool away_during(const std::vector<time_span> &spans, oracle_time from, oracle_time to, milliseconds slack)
    {
        for (const auto &[gone, back] : spans)
            if (gone <= to && (back == NOT_YET || from <= back + slack))
                return true;
        return false;
    }

    // The line of its own answer that ended it: a final result or a line
    // of its flags, as the daemon reads them; never a message text, nor a
    // line that merely holds a final result's word.
    void check_success(const call_record &c)
    {
        const reply_fields &r = c.reply;
        std::string response = r.str("response");
        if (r.num("response_length") != int64_t(response.size()))
            fail("\"response_length\" is " + std::to_string(r.num("response_length")) + " but \"response\" holds " +
                 std::to_string(response.size()) + " bytes");
        check_text(c, "\"response\"", response);
        std::string matched = r.str("end_flag_matched");
        if (r.has("truncated"))
            return;
        for (const std::string &line : split_lines(response).lines) {
            const line_owner *o = owner_of(l, line);
            std::string first = ends_command(o) && own(c, o->command) ? first_match(c.flags, line) : "";
            if (first.empty())
                continue;
            if (first != matched)
                fail("\"end_flag_matched\" is " + shown(matched) + " but the line that ended it, " + shown(line) +
                     ", matches " + shown(first) + " first");
            return;
        }
        fail("\"success\" without the line of its own answer that ends it for its flags (matched " + shown(matched) +
             ")");
    }

    void check_sendat(const call_record &c)
    {
        const reply_fields &r = c.reply;
        std::string status = r.str("status");
        if (r.str("command") != c.command)
            fail("the reply names another command: " + shown(r.str("command")));
        if (status == "error" && r.str("message") == "Failed to send AT command" &&
            (unplugged_during(c.port, c.sent, c.replied, REOPEN_SLACK) || l.commands[c.ids[0]].plan.stall_ms > 0))
            return;
        if (c.sendonly) {
            if (status != "success")
                fail("a send-only command failed although its device was there");
            return;
        }
        const modem_command &first = l.commands[c.ids[0]];
        // A restart may come after a line of the caller's own flags went
        // out, and only the rest of the answer is lost: check_success sees
        // that the line which ended it is its own.
        if (first.lost && status != "timeout" && status != "success")
            fail("status " + shown(status) +
                 " for a command the modem never answered (it restarted: the command reached it silent, or its "
                 "answer was due then)");
        size_t before = found.size();
        if (status == "success")
            check_success(c);
        else if (status == "timeout")
            check_text(c, "\"partial_response\"", r.str("partial_response"));
        else
            fail("status " + shown(status) + " although its device was there", last_away(c));
        bool strict_call = strict(c);
        l.strict_calls += strict_call;
        if (found.size() > before && status != "error" && !strict_call && shifted_by_doubt(c)) {
            found.resize(before);
            l.excused_by_doubt++;
        }
        if (status != "success" && r.has("response"))
            fail("a \"response\" in a reply that is not a success");
    }

    void check_other(const call_record &c)
    {
        std::string status = c.reply.str("status");
        if (c.method == "open" && status != "success" && !unplugged_during(c.port, c.sent, c.replied, REOPEN_SLACK))
            fail("open failed although its device was there");
        if (c.method == "close" && status != "success" && c.reply.str("message") != "Port not found")
            fail("close failed");
        if (c.method == "list" && !c.reply.has("ports"))
            fail("list without \"ports\"");
    }

    void check_call(int call)
    {
        const call_record &c = l.calls[call];
        if (c.reply.status != UBUS_STATUS_OK || c.reply.replies != 1) {
            fail("the call did not get exactly one reply");
            return;
        }
        if (c.method == "sendat")
            check_sendat(c);
        else
            check_other(c);
    }

    int port_of(const std::string &path)
    {
        auto it = std::find(l.ports.begin(), l.ports.end(), path);
        return it == l.ports.end() ? -1 : int(it - l.ports.begin());
    }

    // A command answered on its own end flags owes nothing: none of its
    // lines may come late.
    bool owed(const call_record &c)
    {
        return c.reply.str("status") != "success" || c.sendonly || c.ids.size() > 1 || c.flags != DEFAULT_FLAGS;
    }

    const modem_command *arrived_before(const modem_command &cmd)
    {
        return cmd.seq > 0 ? &l.commands[l.arrival_order[cmd.port][cmd.seq - 1]] : nullptr;
    }

    // When a command and the one before it reached the modem and had their
    // answers out, in ms from the start of the call being judged.
    std::string history(const modem_command &cmd)
    {
        oracle_time start = l.calls[cmd.call].sent;
        auto moments = [&](const modem_command &c) {
            auto ms = [&](oracle_time t) { return std::to_string((t - start) / milliseconds(1)); };
            return std::string(c.arrived ? "arrived at " + ms(c.arrival) : "never arrived") +
                   (c.answered ? ", answered at " + ms(c.answered_at) : ", not answered") + " ms";
        };
        const modem_command *before = arrived_before(cmd);
        return "it " + moments(cmd) +
               (before ? "; before it at the modem: " + describe(l, before->call) + ", " + moments(*before) : "");
    }

    // A command the modem never answered came before it, with only commands
    // that owed answers between (send-only ones, or timed out): each answer
    // after it pays the debt of the one before, and a send-only command's
    // debt publishes what pays it as unsolicited lines. The daemon cannot
    // know an answer is never coming; the shift ends at the next timeout.
    // A known limit of the engine, excused on purpose: its 2-second doubt
    // rule bounds it.
    bool unanswered_before(const modem_command &cmd)
    {
        for (const modem_command *before = arrived_before(cmd); before && owed(l.calls[before->call]);
             before = arrived_before(*before))
            if (before->plan.answer.empty() || before->lost)
                return true;
        return false;
    }

    // The command timed out in doubt and the modem answered it after the
    // daemon stopped waiting for that answer.
    bool answered_past_doubt(const modem_command &cmd)
    {
        const call_record &c = l.calls[cmd.call];
        if (c.reply.str("status") != "timeout" || !cmd.answered ||
            cmd.answered_at < c.replied + DOUBT_SETTLE - REPLY_SLACK)
            return false;
        const std::vector<int> &order = l.arrival_order[cmd.port];
        for (int i = 0; i < cmd.seq && i < int(order.size()); i++) {
            const modem_command &older = l.commands[order[i]];
            if (older.answered && older.answered_at >= c.sent && older.answered_at <= c.replied)
                return true;
        }
        return false;
    }

    // The text holds lines of a command answered past its doubt, or of one
    // that such an answer ended early: the shift that answer started.
    bool shifted_by_doubt(const call_record &c, int depth = 0)
    {
        std::string text = c.reply.str(c.reply.has("response") ? "response" : "partial_response");
        for (const std::string &line : split_lines(text).lines) {
            const line_owner *o = owner_of(l, line);
            if (!o || o->urc >= 0 || o->command < 0 || own(c, o->command))
                continue;
            const modem_command &other = l.commands[o->command];
            if (other.port != c.port || other.call < 0)
                continue;
            if (answered_past_doubt(other))
                return true;
            const call_record &before = l.calls[other.call];
            if (depth < 4 && &before != &c && before.reply.str("status") == "success" &&
                shifted_by_doubt(before, depth + 1))
                return true;
        }
        return false;
    }

    void check_event(const bus_event &e)
    {
        if (e.state) {
            if (e.is_open == 0 && e.reason == "open")
                fail("tarnel.port calls a port that failed to open \"open\"", e.port);
            return;
        }
        int port = port_of(e.port);
        if (port < 0)
            return;
        std::string where = "event " + shown(e.line) + (e.late ? " (late)" : "") + " on port " + e.port;
        const line_owner *o = owner_of(l, e.line);
        if (o && o->urc >= 0) {
            const urc_record &u = l.urcs[o->urc];
            if (u.port != port)
                fail("an unsolicited line published for a port whose modem did not send it", where);
            else if (e.late && u.known)
                fail("an unsolicited line published as late", where);
            return;
        }
        // A long line is published cut.
        auto it = l.commands.find(o ? o->command : int(line_id(e.line)));
        bool known = it != l.commands.end();
        bool sent_here = known && it->second.port == port &&
                         std::any_of(it->second.lines.begin(), it->second.lines.end(),
                                     [&](const std::string &line) { return starts_with(line, e.line); });
        if (!e.late) {
            if (o && it->second.port != port)
                fail("a line of another port's command published for this port", where);
            else if (o && o->role == line_role::text && !unanswered_before(it->second))
                fail("a message text read by a command published as an unsolicited line",
                     where + "; " + describe(l, it->second.call) + "; " + history(it->second));
            return;
        }
        if (e.line.empty() || e.line[0] == '>' || (o && o->role == line_role::echo && sent_here))
            return;
        if (!sent_here)
            fail("a line published as late that the modem of its port never sent", where);
        else if (!owed(l.calls[it->second.call]))
            fail("a line of a command that ended in success published as late",
                 where + "; " + describe(l, it->second.call));
    }

    // When the daemon had each port closed, by the calls: from a "close"
    // (or an "open", which closes first) until a call that found the port
    // open or opened it had its reply, and from the start until the first.
    std::vector<std::vector<time_span>> closed_spans()
    {
        std::vector<std::vector<time_span>> spans(PORTS);
        std::vector<oracle_time> since(PORTS, oracle_time::min());
        for (const call_record &c : l.calls) {
            if (c.port < 0)
                continue;
            std::string status = c.reply.str("status");
            bool opened = c.method == "open" ? status == "success"
                                             : c.method == "sendat" && (status == "success" || status == "timeout");
            if ((c.method == "close" || c.method == "open") && since[c.port] == NOT_YET)
                since[c.port] = c.sent - CLOSE_SLACK;
            if (opened && since[c.port] != NOT_YET) {
                spans[c.port].push_back({since[c.port], c.replied + CLOSE_SLACK});
                since[c.port] = NOT_YET;
            }
        }
        for (int port = 0; port < PORTS; port++)
            if (since[port] != NOT_YET)
                spans[port].push_back({since[port], NOT_YET});
        return spans;
    }

    // Every unsolicited line of a kind the daemon knows is published once,
    // or counted in "dropped" on its port; unless the daemon could not read
    // it: written while it had the port closed, shortly before or during a
    // USB reset (the device that hung up took what the daemon had not read),
    // or never written. What a modem wrote while its link was away waits in
    // the pty and must be published after the reopen.
    void check_unsolicited()
    {
        std::map<std::string, int> published;
        std::vector<long> dropped(PORTS), missing(PORTS);
        std::vector<std::string> examples(PORTS);
        for (const bus_event &e : l.events) {
            int port = e.state ? -1 : port_of(e.port);
            if (port >= 0) {
                published[e.line]++;
                dropped[port] += e.dropped;
            }
        }
        std::vector<std::vector<time_span>> closed = closed_spans();
        auto readable = [&](int port, oracle_time t) {
            auto in = [&](const time_span &s) { return s.first <= t && t <= s.second; };
            return t != NOT_YET && std::none_of(closed[port].begin(), closed[port].end(), in) &&
                   !away_during(l.hung_up[port], t, t + HANG_UP_SLACK, milliseconds(0));
        };
        for (const auto &[n, u] : l.urcs) {
            if (!u.known)
                continue;
            for (const std::string &line : u.lines) {
                int times = published.count(line) ? published[line] : 0;
                if (times > 1)
                    fail("an unsolicited line published " + std::to_string(times) + " times", shown(line));
                if (times == 0 && readable(u.port, u.written) && missing[u.port]++ < 3)
                    examples[u.port] += " " + shown(line);
            }
        }
        for (int port = 0; port < PORTS; port++)
            if (missing[port] > dropped[port])
                fail("port " + std::to_string(port) + ": " + std::to_string(missing[port]) +
                         " unsolicited lines the daemon could read were never published (" +
                         std::to_string(dropped[port]) + " lines counted in \"dropped\")",
                     "for instance" + examples[port]);
    }

    // Anything between that may leave the daemon owing or make a command
    // wait longer than its modem took: the device away, the port opened or
    // closed, the modem not reading.
    bool port_disturbed(int port, oracle_time from, oracle_time to)
    {
        if (unplugged_during(port, from, to, milliseconds(0)))
            return true;
        for (const auto &[begin, end] : l.stalled[port])
            if (begin <= to && from <= end)
                return true;
        for (const call_record &c : l.calls)
            if (c.port == port && (c.method == "open" || c.method == "close") && c.sent <= to && from <= c.replied)
                return true;
        return false;
    }

    // The modem reset between two moments: it restarted and said so, or a
    // USB reset hung its device up (the daemon drops what the device owed,
    // seen or not: a new device takes over nothing). A link flip is no
    // reset: the device keeps owing across it.
    bool reset_between(int port, oracle_time from, oracle_time to)
    {
        for (const auto &[silent, burst] : l.silences[port])
            if (silent >= from && burst < to)
                return true;
        for (const auto &[gone, back] : l.hung_up[port])
            if (gone >= from && back != NOT_YET && back < to)
                return true;
        return false;
    }

    // Whether the port owed nothing when the command arrived: the command
    // before it at the modem left nothing owed (it succeeded, or its final
    // result came well within its wait, as a dial's BUSY for a caller that
    // did not name it), and so on back; or the modem reset since.
    bool owed_nothing(const modem_command &cmd, int depth)
    {
        const modem_command *before = arrived_before(cmd);
        if (!before || reset_between(cmd.port, before->arrival, cmd.arrival))
            return true;
        const call_record &b = l.calls[before->call];
        std::string status = b.reply.str("status");
        if (b.sendonly || (status != "success" && status != "timeout"))
            return false;
        if (status == "success")
            return true;
        bool final_in_time = before->answered && !before->plan.answer.empty() &&
                             before->plan.answer.back().role == line_role::final &&
                             before->answered_at + IN_TIME_SLACK <= b.replied;
        return depth > 0 && final_in_time && before->clean && b.ids.size() == 1 &&
               before->plan.prompt == prompt_mode::none && !port_disturbed(cmd.port, before->arrival, b.replied) &&
               owed_nothing(*before, depth - 1);
    }

    // A command whose answer, ended by a line matching its end flags, came
    // well within its timeout must succeed, when the port owed nothing,
    // nothing else was queued at the modem, and nobody reopened, closed or
    // unplugged the port or stalled the modem since the command before it.
    void check_in_time(int call)
    {
        const call_record &c = l.calls[call];
        if (c.method != "sendat" || c.sendonly || c.reply.str("status") != "timeout")
            return;
        const modem_command &cmd = l.commands[c.ids[0]];
        auto ending = std::find_if(cmd.lines.begin(), cmd.lines.end(), [&](const std::string &line) {
            const line_owner *o = owner_of(l, line);
            return ends_command(o) && o->command == c.ids[0] && !first_match(c.flags, line).empty();
        });
        if (!cmd.arrived || !cmd.clean || !cmd.answered || ending == cmd.lines.end() ||
            cmd.answered_at - cmd.arrival > milliseconds(c.timeout * 1000) - IN_TIME_SLACK || !owed_nothing(cmd, 3))
            return;
        const modem_command *before = arrived_before(cmd);
        bool fresh = !before || reset_between(cmd.port, before->arrival, cmd.arrival);
        if (port_disturbed(c.port, fresh ? cmd.arrival : before->arrival, c.replied))
            return;
        auto took = std::chrono::duration_cast<milliseconds>(cmd.answered_at - cmd.arrival).count();
        fail("timed out although its answer, ending in " + shown(*ending) + ", was complete " + std::to_string(took) +
                 " ms after the command arrived, on a port that owed nothing",
             fresh ? "the modem had reset before it" : history(cmd));
    }
};

void report_all(oracle_ledger &l, const std::vector<finding> &found, int call)
{
    for (const finding &f : found) {
        std::string where = call >= 0 ? describe(l, call) : "";
        report(l, f.what, where.empty() || f.detail.empty() ? where + f.detail : where + "\n    " + f.detail);
    }
}

} // namespace

void check_call(oracle_ledger &l, int call)
{
    checker k{l, {}};
    {
        std::lock_guard guard(l.lock);
        k.check_call(call);
    }
    report_all(l, k.found, call);
}

void check_events(oracle_ledger &l)
{
    checker k{l, {}};
    {
        std::lock_guard guard(l.lock);
        for (const bus_event &e : l.events)
            k.check_event(e);
    }
    report_all(l, k.found, -1);
}

void check_unsolicited(oracle_ledger &l)
{
    checker k{l, {}};
    {
        std::lock_guard guard(l.lock);
        k.check_unsolicited();
    }
    report_all(l, k.found, -1);
}

void check_in_time_answers(oracle_ledger &l)
{
    for (size_t call = 0; call < l.calls.size(); call++) {
        checker k{l, {}};
        {
            std::lock_guard guard(l.lock);
            k.check_in_time(int(call));
        }
        report_all(l, k.found, int(call));
    }
}
