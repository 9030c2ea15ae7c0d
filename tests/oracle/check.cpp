#include "tests/oracle/check.h"

#include <algorithm>

using std::chrono::milliseconds;

namespace
{

// A device that came back is reopened within a moment; calls that run then
// may still find it closed.
constexpr milliseconds REOPEN_SLACK(2000);
// How much sooner than its timeout an answer must have come for the command
// to be sure to see it.
constexpr milliseconds IN_TIME_SLACK(1000);

struct split_text {
    std::vector<std::string> lines; // complete, without CR LF
    std::string rest;               // after the last CR LF
};

// A capture may begin with the LF of a CR LF whose CR was read before it.
split_text split_lines(const std::string &text)
{
    split_text out;
    size_t at = text.rfind('\n', 0) == 0 ? 1 : 0;
    for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        out.lines.push_back(text.substr(at, end - at));
    out.rest = text.substr(at);
    return out;
}

bool starts_with(const std::string &s, const std::string &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0 && s.size() >= prefix.size();
}

bool contains_flag(const std::string &line, const std::vector<std::string> &flags)
{
    return std::any_of(flags.begin(), flags.end(), [&](const std::string &f) { return line.find(f) != line.npos; });
}

// Lines that are part of an answer proper: not the echo of a command or of
// message text after "> ", not blank.
bool answer_line(const std::string &line)
{
    return !line.empty() && !is_echo(line) && line[0] != '>';
}

bool bare_prompt(const std::string &line)
{
    return !line.empty() && line[0] == '>' && line.find_first_not_of(' ', 1) == std::string::npos;
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

    bool own(const call_record &c, long id) const { return std::find(c.ids.begin(), c.ids.end(), id) != c.ids.end(); }

    const std::vector<std::string> &lines_of(long id) { return l.commands[int(id)].lines; }

    bool urc_of(int port, long n)
    {
        auto it = l.urcs.find(n);
        return it != l.urcs.end() && it->second == port;
    }

    // The end of an unsolicited line that began before the capture did.
    bool urc_tail(int port, const std::string &s)
    {
        for (const auto &[n, p] : l.urcs) {
            std::string line = "+URC: " + std::to_string(n);
            if (p == port && line.size() > s.size() && line.compare(line.size() - s.size(), s.size(), s) == 0)
                return true;
        }
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
        long urc = urc_number(line);
        if (urc >= 0)
            return urc_of(c.port, urc) && line == "+URC: " + std::to_string(urc)
                       ? ""
                       : "an unsolicited line the modem of this port never sent";
        long id = line_id(line);
        if (own(c, id)) {
            const auto &sent = lines_of(id);
            return std::find(sent.begin(), sent.end(), line) != sent.end()
                       ? ""
                       : "a line of its own command that the modem never sent (corrupted)";
        }
        if (first && urc_tail(c.port, line))
            return "";
        auto it = l.commands.find(int(id));
        if (it == l.commands.end())
            return "a line that belongs to no command it sent";
        // The echo of an earlier command whose answer has not come (a
        // send-only one's, or one that timed out) is no part of any answer.
        const modem_command &mine = l.commands[c.ids[0]];
        if (is_echo(line) && it->second.port == c.port && it->second.arrived && mine.arrived &&
            it->second.seq < mine.seq && line == "AT+T=" + std::to_string(id))
            return "";
        *owner = it->second.call;
        return "lines of another command's exchange (command " + std::to_string(id) + ")";
    }

    bool unfinished_line_fits(const call_record &c, std::string rest, bool alone)
    {
        if (!rest.empty() && rest.back() == '\r')
            rest.pop_back();
        if (rest.empty() || bare_prompt(rest) || (alone && urc_tail(c.port, rest)))
            return true;
        if (starts_with("+URC: ", rest))
            return true;
        long urc = urc_number(rest);
        if (urc >= 0)
            for (const auto &[n, p] : l.urcs)
                if (p == c.port && starts_with("+URC: " + std::to_string(n), rest))
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
            if (answer_line(line) && urc_number(line) < 0 && line_id(line) == id)
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
            fail(key + " holds " + why,
                 "line " + shown(t.lines[i]) + (owner >= 0 ? ", from " + describe(l, owner) : ""));
        }
        if (!unfinished_line_fits(c, t.rest, t.lines.empty()))
            fail(key + " ends in a line fragment that is not the start of a line of its exchange", shown(t.rest));
        for (int id : c.ids) {
            std::vector<std::string> sent;
            for (const std::string &line : lines_of(id))
                if (answer_line(line))
                    sent.push_back(line);
            std::vector<std::string> got = answer_in(t, id);
            if (got.size() > sent.size() || !std::equal(got.begin(), got.end(), sent.begin()))
                fail(key + " holds the answer of command " + std::to_string(id) + " with lines missing or moved",
                     "the modem sent " + std::to_string(sent.size()) + " answer lines, the reply holds " +
                         std::to_string(got.size()));
        }
    }

    bool unplugged_during(int port, oracle_time from, oracle_time to)
    {
        for (const auto &[gone, back] : l.unplugged[port])
            if (gone <= to && (back == NOT_YET || from <= back + REOPEN_SLACK))
                return true;
        return false;
    }

    void check_success(const call_record &c)
    {
        const reply_fields &r = c.reply;
        std::string response = r.str("response");
        if (r.num("response_length") != int64_t(response.size()))
            fail("\"response_length\" is " + std::to_string(r.num("response_length")) + " but \"response\" holds " +
                 std::to_string(response.size()) + " bytes");
        check_text(c, "\"response\"", response);
        std::string matched = r.str("end_flag_matched");
        if (std::find(c.flags.begin(), c.flags.end(), matched) == c.flags.end())
            fail("\"end_flag_matched\" " + shown(matched) + " is not one of its end flags");
        if (r.has("truncated"))
            return;
        split_text t = split_lines(response);
        for (int id : c.ids)
            for (const std::string &line : answer_in(t, id))
                if (!matched.empty() && line.find(matched) != std::string::npos)
                    return;
        fail("\"success\" without the line of its own answer that matched " + shown(matched));
    }

    void check_sendat(const call_record &c)
    {
        const reply_fields &r = c.reply;
        std::string status = r.str("status");
        if (r.str("command") != c.command)
            fail("the reply names another command: " + shown(r.str("command")));
        if (status == "error" && r.str("message") == "Failed to send AT command" &&
            unplugged_during(c.port, c.sent, c.replied))
            return;
        if (c.sendonly) {
            if (status != "success")
                fail("a send-only command failed although its device was there");
            return;
        }
        if (status == "success")
            check_success(c);
        else if (status == "timeout")
            check_text(c, "\"partial_response\"", r.str("partial_response"));
        else
            fail("status " + shown(status) + " although its device was there");
        if (status != "success" && r.has("response"))
            fail("a \"response\" in a reply that is not a success");
    }

    void check_other(const call_record &c)
    {
        std::string status = c.reply.str("status");
        if (c.method == "open" && status != "success" && !unplugged_during(c.port, c.sent, c.replied))
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
        long urc = urc_number(e.line);
        if (urc >= 0) {
            if (!urc_of(port, urc))
                fail("an unsolicited line published for a port whose modem did not send it", where);
            return;
        }
        auto it = l.commands.find(int(line_id(e.line)));
        bool known = it != l.commands.end();
        bool sent_here = known && it->second.port == port &&
                         std::any_of(it->second.lines.begin(), it->second.lines.end(),
                                     [&](const std::string &line) { return starts_with(line, e.line); });
        if (!e.late) {
            if (known && it->second.port != port &&
                std::find(it->second.lines.begin(), it->second.lines.end(), e.line) != it->second.lines.end())
                fail("a line of another port's command published for this port", where);
            return;
        }
        if (e.line.empty() || e.line[0] == '>' || (is_echo(e.line) && sent_here))
            return;
        if (!sent_here)
            fail("a line published as late that the modem of its port never sent", where);
        else if (!owed(l.calls[it->second.call]))
            fail("a line of a command that ended in success published as late",
                 where + "; " + describe(l, it->second.call));
    }

    const modem_command *arrived_before(const modem_command &cmd)
    {
        return cmd.seq > 0 ? &l.commands[l.arrival_order[cmd.port][cmd.seq - 1]] : nullptr;
    }

    bool port_disturbed(int port, oracle_time from, oracle_time to)
    {
        if (unplugged_during(port, from, to))
            return true;
        for (const call_record &c : l.calls)
            if (c.port == port && (c.method == "open" || c.method == "close") && c.sent <= to && from <= c.replied)
                return true;
        return false;
    }

    // A command whose answer, ended by a line matching its end flags, came
    // well within its timeout must succeed, when the port owed nothing: the
    // command before it at the modem got its own answer, nothing else was
    // queued there, and nobody reopened, closed or unplugged the port since.
    void check_in_time(int call)
    {
        const call_record &c = l.calls[call];
        if (c.method != "sendat" || c.sendonly || c.reply.str("status") != "timeout")
            return;
        const modem_command &cmd = l.commands[c.ids[0]];
        auto answer = std::find_if(cmd.lines.begin(), cmd.lines.end(), [&](const std::string &line) {
            return answer_line(line) && contains_flag(line, c.flags);
        });
        if (!cmd.arrived || !cmd.clean || !cmd.answered || answer == cmd.lines.end() ||
            cmd.answered_at - cmd.arrival > milliseconds(c.timeout * 1000) - IN_TIME_SLACK)
            return;
        const modem_command *before = arrived_before(cmd);
        if (before && (l.calls[before->call].sendonly || l.calls[before->call].reply.str("status") != "success"))
            return;
        if (port_disturbed(c.port, before ? before->arrival : cmd.arrival, c.replied))
            return;
        auto took = std::chrono::duration_cast<milliseconds>(cmd.answered_at - cmd.arrival).count();
        fail("timed out although its answer, ending in " + shown(*answer) + ", was complete " + std::to_string(took) +
             " ms after the command arrived, on a port that owed nothing");
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
