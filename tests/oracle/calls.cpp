#include "tests/oracle/calls.h"

#include "tests/daemon/daemon_env.h"

namespace
{

// Custom end flags as a caller writes them, and as the daemon reads them.
const struct {
    const char *spec;
    std::vector<std::string> flags;
} CUSTOM_FLAGS[] = {
    {"READY", {"READY"}},
    {" READY, FAIL", {"READY", "FAIL"}},
    // A dialling caller's, five at most.
    {"OK,BUSY,NO ANSWER,NO DIALTONE,NO CARRIER", {"OK", "BUSY", "NO ANSWER", "NO DIALTONE", "NO CARRIER"}},
    {"CONNECT, BUSY, NO CARRIER, NO DIALTONE, ERROR", {"CONNECT", "BUSY", "NO CARRIER", "NO DIALTONE", "ERROR"}},
};
constexpr int DIAL_FLAGS = 2;
constexpr int STALLED_COMMAND_BYTES = 30000; // more than a pty takes while its reader stalls
// Line numbers in tags: message texts count from 0.
constexpr int TAG_FRAGMENT = 13, TAG_ESCAPE = 14, TAG_FINAL = 15;

std::string hex_of(const std::string &s)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// "OK", "BUSY", ... carry the id in blanks; the others name it after a space.
planned_line final_line(int id, const std::string &word)
{
    bool plain = word.back() == ':' || word == "CONNECT";
    return {plain ? word + " " + std::to_string(id) : tagged(word, tag_of(id, TAG_FINAL)), line_role::final};
}

// An answer whose information lines start "<prefix>: <id>,", varied in ways
// that change nothing for the caller.
answer_plan plain_plan(rng_t &rng, int id, const std::string &prefix, int *faults)
{
    static const char *const worded[] = {"OK so far", "ERROR count 0", "NO CARRIER seen", "BUSY, NO ANSWER"};
    static const char *const errors[] = {"ERROR", "+CME ERROR:", "+CMS ERROR:"};
    answer_plan p;
    std::string head = prefix + ": " + std::to_string(id) + ",";
    int lines = pick(rng, 0, 3);
    bool nul = lines > 0 && chance(rng, 0.05);
    for (int k = 0; k < lines; k++)
        p.answer.push_back({head + (nul && k == 0 ? std::string(1, '\0') : "") + std::to_string(k)});
    if (chance(rng, 0.15))
        p.answer.push_back({head + worded[pick(rng, 0, 3)]});
    if (chance(rng, 0.1))
        p.answer.push_back({head + "READY", line_role::flag});
    bool error = chance(rng, 0.15);
    p.answer.push_back(final_line(id, error ? errors[pick(rng, 0, 2)] : "OK"));
    if (chance(rng, 0.3))
        p.delay_ms = pick(rng, 1, 150);
    if (chance(rng, 0.3))
        p.gap_ms = pick(rng, 5, 60);
    if (chance(rng, 0.25))
        p.pieces = pick(rng, 2, 5);
    *faults += nul + error + (p.pieces > 1) + (p.answer.size() > size_t(lines) + 1);
    return p;
}

// A command with its message texts: +CMGR for one message, +CMGL for a
// list, each in text mode, PDU mode or a status report (no text line).
void message_read(rng_t &rng, int id, modem_command &cmd)
{
    std::string tag = std::to_string(id);
    bool list = chance(rng, 0.5);
    cmd.text = (list ? "AT+CMGL=" : "AT+CMGR=") + tag;
    int entries = list ? pick(rng, 0, 3) : 1;
    for (int k = 0; k < entries; k++) {
        std::string head = list ? "+CMGL: " + std::to_string(k) + "," : "+CMGR: ";
        std::string time = "\"24/05/01,10:00:0" + std::to_string(k) + "+08\"";
        int format = pick(rng, 0, 99);
        if (format < 60) {
            // Two or three lines where the modem frames, some of them
            // exactly a final result or an unsolicited line's words.
            cmd.plan.answer.push_back({head + "\"REC READ\",\"+1555" + tag + "\",," + time, line_role::info, true});
            int texts = chance(rng, 0.5) ? pick(rng, 2, 3) : 1;
            for (int j = 0; j < texts; j++) {
                int index = k * 3 + j, kind = pick(rng, 0, 9);
                std::string text = kind == 0   ? tagged("RING", tag_of(id, index))
                                   : kind == 1 ? tagged("+CMTI: \"SM\",1", tag_of(id, index))
                                               : message_text(rng, id, index, texts == 1);
                cmd.plan.answer.push_back({text, line_role::text, j + 1 < texts, j > 0});
            }
        } else if (format < 85) {
            cmd.plan.answer.push_back({head + "1,," + tag, line_role::info, true});
            std::string pdu = "0791" + tag + "0" + std::to_string(k) + "F0";
            cmd.plan.answer.push_back({chance(rng, 0.3) ? message_text(rng, id, k, false) : pdu, line_role::text});
        } else {
            cmd.plan.answer.push_back({head + "\"REC READ\",6," + tag + ",\"+1555\",145," + time + "," + time + ",0"});
        }
    }
    cmd.plan.answer.push_back(final_line(id, chance(rng, 0.1) ? "+CMS ERROR:" : "OK"));
    if (chance(rng, 0.5))
        cmd.plan.gap_ms = pick(rng, 5, 80); // the final result tens of ms behind the text
}

// A voice dial, a data dial or an answer, ended by one of their results.
void dial(rng_t &rng, int id, modem_command &cmd)
{
    static const char *const voice[] = {"OK", "BUSY", "NO ANSWER", "NO DIALTONE", "NO CARRIER"};
    static const char *const data[] = {"CONNECT", "BUSY", "NO CARRIER", "NO DIALTONE"};
    static const char *const answer[] = {"OK", "NO CARRIER", "CONNECT"};
    std::string tag = std::to_string(id);
    int form = pick(rng, 0, 2);
    const char *word = form == 0 ? voice[pick(rng, 0, 4)] : form == 1 ? data[pick(rng, 0, 3)] : answer[pick(rng, 0, 2)];
    // Typed in lower case, or behind another basic command, it is a dial.
    static const char *const voice_dials[] = {"ATD+1555", "atd+1555", "ATXD+1555", "ATE1D+1555"};
    cmd.text = form == 0   ? voice_dials[pick(rng, 0, 3)] + tag + ";"
               : form == 1 ? "ATD*99***" + tag + "#"
                           : tagged(chance(rng, 0.3) ? "ata" : "ATA", id);
    cmd.plan.answer = {final_line(id, word)};
    cmd.plan.delay_ms = pick(rng, 0, 300);
}

// The answer comes after the caller gave up.
void make_late(rng_t &rng, answer_plan &plan, int *timeout)
{
    *timeout = 1;
    plan.delay_ms = 1000 + pick(rng, 300, 900);
    plan.pieces = 1;
}

} // namespace

call_spec port_call(const oracle_ledger &l, const char *method, int port, const std::string &args)
{
    call_spec s;
    s.rec.method = method;
    s.rec.port = port;
    s.rec.args = port < 0 ? "" : "{\"at_port\":" + json_str(l.ports[port]) + args + "}";
    return s;
}

call_spec random_sendat(const oracle_ledger &l, rng_t &rng, id_maker &ids, int port)
{
    int kind = pick(rng, 0, 99);
    if (kind >= 39 && kind < 44 && !dials_on(port) && chance(rng, 0.5))
        port = pick(rng, 0, PORTS - 1) % 2;
    call_spec s = port_call(l, "sendat", port, "");
    int id = ids.next();
    std::string tag = std::to_string(id);
    modem_command cmd;
    cmd.text = "AT+T=" + tag;
    cmd.plan = plain_plan(rng, id, "+T", &s.faults);
    std::string command = cmd.text;
    int custom = -1;
    bool raw = false, sendonly = false;
    int timeout = pick(rng, 2, MAX_TIMEOUT);
    if (kind < 7) {
        sendonly = true;
        command += "\r";
        raw = chance(rng, 0.5);
        if (chance(rng, 0.1))
            cmd.plan.answer.clear();
    } else if (kind < 14) {
        cmd.text = command = "AT+CMGS=" + tag;
        cmd.plan = plain_plan(rng, id, "+CMGS", &s.faults);
        cmd.data = "M" + tag + " hi";
        int mode = pick(rng, 0, 99);
        cmd.plan.prompt = mode < 45   ? prompt_mode::show
                          : mode < 60 ? prompt_mode::refuse
                          : mode < 80 ? prompt_mode::withhold
                                      : prompt_mode::late;
        if (cmd.plan.prompt == prompt_mode::refuse)
            cmd.plan.answer = {final_line(id, "ERROR")};
        if (chance(rng, 0.5))
            cmd.plan.escape_answer = {{tagged("OK", tag_of(id, TAG_ESCAPE)), line_role::final}};
        cmd.plan.escape_delay_ms = pick(rng, 0, 300);
        if (cmd.plan.prompt == prompt_mode::withhold || cmd.plan.prompt == prompt_mode::late)
            timeout = 1;
        if (cmd.plan.prompt == prompt_mode::late)
            cmd.plan.delay_ms = 1000 + pick(rng, 200, 1000);
    } else if (kind < 18) {
        // Two to ten commands in one call.
        int more = chance(rng, 0.5) ? 1 : pick(rng, 2, 9);
        for (int k = 0; k < more; k++) {
            int second = ids.next();
            modem_command next;
            next.text = "AT+T=" + std::to_string(second);
            next.plan = plain_plan(rng, second, "+T", &s.faults);
            next.plan.delay_ms = more == 1 ? pick(rng, 20, 300) : pick(rng, 0, 40);
            next.plan.pieces = 1;
            command += "\r" + next.text;
            s.commands.push_back({second, next});
        }
    } else if (kind < 21) {
        // The link flips with the device up, and the answer comes as it
        // comes; or a USB reset takes the device, answer and all.
        cmd.plan.unplug_ms = pick(rng, 100, 400);
        cmd.plan.hang_up = chance(rng, 0.4);
        if (cmd.plan.hang_up)
            cmd.plan.answer.clear();
        else
            cmd.plan.delay_ms = pick(rng, 0, cmd.plan.unplug_ms + 200);
    } else if (kind < 25) {
        cmd.plan.answer.clear();
        bool long_line = kind == 24;
        for (int k = 0; k < (long_line ? 1 : 40); k++)
            cmd.plan.answer.push_back({"+T: " + tag + "," + std::to_string(k) + "," +
                                       std::string(long_line ? 36000 : 1000, char('a' + k % 26))});
        cmd.plan.answer.push_back(final_line(id, "OK"));
        cmd.plan.gap_ms = 0;
        timeout = MAX_TIMEOUT;
        if (!long_line && chance(rng, 0.25))
            make_late(rng, cmd.plan, &timeout);
    } else if (kind < 26 && chance(rng, 0.5)) { // rarer: it holds its port up for seconds
        cmd.text = command = cmd.text + "," + std::string(STALLED_COMMAND_BYTES, 'z');
        cmd.plan.stall_ms = pick(rng, 2500, 3500);
        cmd.plan.fragment_answer = {{tagged("ERROR", tag_of(id, TAG_FRAGMENT)), line_role::final}};
    } else if (kind < 34) {
        cmd.plan = answer_plan();
        message_read(rng, id, cmd);
        command = cmd.text;
        if (chance(rng, 0.1))
            make_late(rng, cmd.plan, &timeout);
    } else if (kind < 39) {
        cmd.text = command = std::string("AT") + owned_prefix(port) + "=" + tag;
        cmd.plan = plain_plan(rng, id, owned_prefix(port), &s.faults);
        if (chance(rng, 0.1))
            make_late(rng, cmd.plan, &timeout);
    } else if (kind < 41 && !dials_on(port)) {
        // Echo turned off or on by a caller: the modem does what it is
        // told when the line is answered OK.
        static const char *const forms[] = {"ATE0", "ATE1", "ATE0V1", "ATV1E1", "ATE", "ATQ0E1", "ATE1&D2"};
        cmd.text = command = forms[pick(rng, 0, 6)] + std::string("+T=") + tag;
        cmd.plan.unplug_ms = 0;
        if (chance(rng, 0.1))
            make_late(rng, cmd.plan, &timeout);
    } else if (kind < 44 && !dials_on(port)) {
        // A prompt driven by hand: no data for it.
        cmd.text = command = "AT+CMGS=\"+1555" + tag + "\"";
        cmd.plan = plain_plan(rng, id, "+CMGS", &s.faults);
        cmd.plan.prompt = prompt_mode::show;
        if (chance(rng, 0.5))
            cmd.plan.escape_answer = {{tagged("OK", tag_of(id, TAG_ESCAPE)), line_role::final}};
        cmd.plan.escape_delay_ms = pick(rng, 0, 300);
        timeout = 1;
    } else if (kind < 44) {
        cmd.plan = answer_plan();
        dial(rng, id, cmd);
        command = cmd.text;
        if (chance(rng, 0.4))
            custom = cmd.text.find("+1555") != std::string::npos ? DIAL_FLAGS : DIAL_FLAGS + 1;
        timeout = 2;
        if (chance(rng, 0.2))
            make_late(rng, cmd.plan, &timeout);
    } else {
        raw = chance(rng, 0.1);
        if (chance(rng, 0.12)) {
            custom = pick(rng, 0, 1);
            std::erase_if(cmd.plan.answer, [](const planned_line &line) { return line.role == line_role::flag; });
            if (chance(rng, 0.6))
                cmd.plan.answer.insert(cmd.plan.answer.end() - 1, {"+T: " + tag + ",READY", line_role::flag});
            else
                timeout = 1;
        }
        int late = pick(rng, 0, 99);
        if (late < 5) {
            make_late(rng, cmd.plan, &timeout);
        } else if (late < 7 && custom < 0) {
            // A custom end flag would let a later answer's line pay it.
            timeout = 1;
            cmd.plan.answer.clear();
        }
        if (raw)
            command += "\r\n"; // sent as it is; an at_cmd gets its CR LF from the daemon
    }
    // Fragments only while the caller waits: a partial line is given up
    // with its descriptor, when the port is closed or reopened meanwhile.
    if (sendonly || cmd.plan.delay_ms > 1000)
        cmd.plan.pieces = 1;
    s.faults += (kind < 44) + raw + (custom >= 0) + cmd.plan.answer.empty() + (cmd.plan.delay_ms > 1000);
    s.commands.insert(s.commands.begin(), {id, cmd});

    call_record &rec = s.rec;
    rec.command = raw ? hex_of(command) : command;
    rec.sendonly = sendonly;
    rec.timeout = timeout;
    rec.flags = custom < 0 ? DEFAULT_FLAGS : CUSTOM_FLAGS[custom].flags;
    std::string args = raw ? ",\"raw_at_content\":\"" + rec.command + "\"" : ",\"at_cmd\":" + json_str(command);
    if (sendonly)
        args += ",\"sendonly\":true";
    else
        args += ",\"timeout\":" + std::to_string(timeout);
    if (custom >= 0)
        args += ",\"end_flag\":" + json_str(CUSTOM_FLAGS[custom].spec);
    if (!cmd.data.empty())
        args += ",\"data\":" + json_str(cmd.data);
    rec.args = "{\"at_port\":" + json_str(l.ports[port]) + args + "}";
    for (const auto &[cid, c] : s.commands)
        rec.ids.push_back(cid);
    return s;
}

call_spec simple_sendat(const oracle_ledger &l, id_maker &ids, int port)
{
    int id = ids.next();
    modem_command cmd;
    cmd.text = "AT+T=" + std::to_string(id);
    cmd.plan.answer = {final_line(id, "OK")};
    call_spec s = port_call(l, "sendat", port, ",\"at_cmd\":\"" + cmd.text + "\"");
    s.rec.command = cmd.text;
    s.rec.ids = {id};
    s.rec.timeout = 5;
    s.rec.flags = DEFAULT_FLAGS;
    s.commands.push_back({id, cmd});
    return s;
}

void enter_commands(oracle_ledger &l, int call, const call_spec &s)
{
    std::vector<std::string> clashes;
    {
        std::lock_guard guard(l.lock);
        l.faults += s.faults;
        for (const auto &[id, planned] : s.commands) {
            modem_command &cmd = l.commands[id];
            cmd = planned;
            cmd.call = call;
            cmd.port = s.rec.port;
            l.command_ids[cmd.text] = id;
            auto own = [&](const std::string &line, line_role role) {
                if (!line.empty() && !own_line(l, line, {id, -1, role}))
                    clashes.push_back(line);
            };
            own(cmd.text, line_role::echo);
            if (!cmd.data.empty())
                own("> " + cmd.data, line_role::echo);
            for (const auto *lines : {&cmd.plan.answer, &cmd.plan.escape_answer, &cmd.plan.fragment_answer})
                for (const planned_line &line : *lines)
                    own(line.text, line.role);
        }
    }
    for (const std::string &line : clashes)
        report(l, "the run made a line twice (a fault of the run itself)", shown(line));
}
