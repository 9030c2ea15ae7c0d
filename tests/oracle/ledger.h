// The randomized run's record of what really happened: every command the
// callers sent and how the simulated modem was told to answer it, every line
// the modem made for it and when its answer was out, every unsolicited line,
// every call and its reply, every event. The checks read it to judge each
// reply; the modems and the driver write it.
//
// Every line a modem can make is unique in the whole run and is entered in
// `owners` before it can be made, with the command or unsolicited line it
// belongs to and its role. Most lines name their owner's number plainly
// ("+T: <id>,0", "+CMTI: \"SM\",<n>"); the lines that must be exactly a
// word (final results "OK", "BUSY", a message text that is "ERROR", "RING")
// carry it in trailing blanks, which the daemon ignores around such a word
// (tagged()). Command ids are k * ID_STRIDE + client, unsolicited lines are
// numbered k * ID_STRIDE + URC_BASE + port, so the two never meet.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tests/daemon/bus_calls.h"

using oracle_clock = std::chrono::steady_clock;
using oracle_time = oracle_clock::time_point;
using rng_t = std::mt19937_64;
using time_span = std::pair<oracle_time, oracle_time>;
constexpr oracle_time NOT_YET = oracle_time::max();

constexpr int PORTS = 4;
constexpr int ID_STRIDE = 100;
constexpr int URC_BASE = 50; // unsolicited numbers end in 50..99, command ids below

inline int pick(rng_t &rng, int lo, int hi)
{
    return std::uniform_int_distribution<int>(lo, hi)(rng);
}

inline bool chance(rng_t &rng, double p)
{
    return std::uniform_real_distribution<double>(0, 1)(rng) < p;
}

// Each port's modem stands for another kind of device, so that no line is
// ambiguous to a daemon that follows the rules: dials and an unsolicited
// NO CARRIER (a call ended, which ends a dial) never share a port, nor does
// a command that owns a registration prefix with unsolicited lines of it.
inline bool dials_on(int port)
{
    return port < 2;
}
inline const char *owned_prefix(int port)
{
    static const char *const prefixes[PORTS] = {"+CREG", "+CGREG", "+CEREG", "+CREG"};
    return prefixes[port];
}

enum class line_role {
    echo,  // the command as the modem echoes it, or "> " and the message text typed at it
    info,  // an information line
    text,  // a message text inside an answer: never a final result
    flag,  // a line holding a caller's custom end flag
    final, // the modem's final result
};

// A line planned for an answer.
struct planned_line {
    std::string text;
    line_role role = line_role::info;
    bool joined = false; // the next line follows right behind it (a message header and its text)
    // A message's second or third text line: sent only where the modem
    // frames and has shown the daemon that it does (else a text is one line).
    bool more_text = false;
};

enum class prompt_mode { none, show, refuse, withhold, late };

// How the modem answers one command, chosen by the caller before sending it.
struct answer_plan {
    std::vector<planned_line> answer;        // the last line ends it; empty: no answer at all
    int delay_ms = 0;                        // after arrival and after everything queued before it
    int gap_ms = 0;                          // between the answer's lines: room for unsolicited lines
    int pieces = 1;                          // the answer is written in this many fragments
    prompt_mode prompt = prompt_mode::none;  // late: "> " after delay_ms, ignoring ESC until then
    std::vector<planned_line> escape_answer; // ESC in text input is answered so; empty: not at all
    int escape_delay_ms = 0;
    std::vector<planned_line> fragment_answer; // a fragment of the command ended by CR is answered so
    int unplug_ms = 0;    // > 0: right after arrival its link goes for this long, the device staying up (a link flip)
    bool hang_up = false; // with unplug_ms: a USB reset instead: the device hangs up, the modem starts afresh
    int stall_ms = 0;     // > 0: the modem stops reading this long once the command starts arriving
};

// What became of one command at the modem.
struct modem_command {
    int call = -1; // index in oracle_ledger::calls
    int port = -1;
    std::string text; // the command line the modem is to receive, without CR
    std::string data; // the message text that follows its "> "
    answer_plan plan;
    bool arrived = false; // whole, or a fragment of it that was ended
    oracle_time arrival;
    bool clean = false;             // nothing else was queued at the modem when it arrived
    int seq = -1;                   // arrival order on its port
    std::vector<std::string> lines; // every line made for it, NUL bytes left out
    bool answered = false;          // the last byte of its answer was written
    oracle_time answered_at;
    bool lost = false; // it reached the modem during a restart's silence, or its answer was due then or at a USB
                       // reset: never answered
};

// An unsolicited line, and the text line that belongs to it (+CMT:, +CBM:,
// +CDS: in PDU mode).
struct urc_record {
    int port = -1;
    std::vector<std::string> lines;
    bool known = true;             // a prefix the daemon knows: published at once, never late
    oracle_time made;              // when the modem made it
    oracle_time written = NOT_YET; // its last byte, once written
};

struct line_owner {
    int command = -1; // or
    long urc = -1;
    line_role role = line_role::info;
};

struct call_record {
    int slot = -1;
    int port = -1;
    std::string method;
    std::string args;               // JSON, as sent
    std::vector<int> ids;           // the commands it carries, in order
    std::vector<std::string> flags; // end flags in use
    std::string command;            // "at_cmd" or "raw_at_content" as sent
    int timeout = 0;
    bool sendonly = false;
    oracle_time sent, replied;
    reply_fields reply;
    size_t console_from = 0;   // where the daemon's console stood when it was sent
    std::string console_lines; // the console's lines about its port while it ran
};

struct bus_event {
    bool state = false; // tarnel.port, else tarnel.urc
    std::string port, line, reason;
    bool late = false;
    int is_open = -1;
    long dropped = 0;
    oracle_time at;
};

struct oracle_ledger {
    uint64_t seed = 0;
    std::vector<std::string> ports; // link paths, by port number

    // Guards everything below it that modems touch.
    std::mutex lock;
    std::map<int, modem_command> commands;
    std::unordered_map<std::string, int> command_ids; // by command line
    std::unordered_map<std::string, line_owner> owners;
    std::map<long, urc_record> urcs;
    std::vector<std::vector<time_span>> unplugged; // per port: the link away; end is NOT_YET while out
    std::vector<std::vector<time_span>> hung_up;   // per port: USB resets, from the hang-up to the new device's link
    std::vector<std::vector<time_span>> stalled;   // per port: the modem read nothing
    std::vector<std::vector<int>> arrival_order;   // per port: ids as they arrived
    // Per port: when the modem's echo went on (true) or off, from the start.
    std::vector<std::vector<std::pair<oracle_time, bool>>> echo_changes;
    std::vector<std::vector<time_span>> silences; // per port: a restart's silence, to its start-up lines
    long faults = 0;
    long violations = 0;
    long health_violations = 0; // of the daemon itself: a hang, a leak, a crash, a call lost
    long excused_by_doubt =
        0;                 // with echo off or unknown: replies one behind after an answer came past a timeout in doubt
    long strict_calls = 0; // replies judged with echo on throughout: no excuse

    // The driver's alone.
    std::vector<call_record> calls;
    std::vector<bus_event> events;
};

// Whether the modem of a port echoed throughout a span (ledger lock held).
bool echo_on_throughout(const oracle_ledger &l, int port, oracle_time from, oracle_time to);

inline const std::vector<std::string> DEFAULT_FLAGS = {"OK", "ERROR", "+CMS ERROR:", "+CME ERROR:", "NO CARRIER"};

// Prints one violation with what is needed to find it again. Takes the
// lock; `what` says what is wrong, `detail` shows the evidence.
void report(oracle_ledger &l, const std::string &what, const std::string &detail = "");
void count_fault(oracle_ledger &l, int n = 1);

// TARNEL_ORACLE_TRACE=FILE: every byte a modem reads or writes, its plugs
// and resets, and every call sent and its reply, a line each, in
// milliseconds since the run began (the times a report shows). A violation
// can then be followed byte by byte.
// Only a check of the setting when not asked for.
void trace(int port, const char *what, std::string_view bytes = {});

// Text of a call for a report: number, slot, port, arguments, reply.
std::string describe(const oracle_ledger &l, int call);
// Bytes as a C string literal would show them, cut to `max` characters.
std::string shown(const std::string &bytes, size_t max = 300);

// `word` with the number in trailing blanks (binary, space 0, tab 1).
std::string tagged(const std::string &word, long number);
// The tag of line k of a command or unsolicited line: unique in the run.
inline long tag_of(long owner, int k)
{
    return owner * 16 + k;
}
// A message's text: sometimes exactly a final result's word, sometimes
// holding such words, sometimes (if it may) empty.
std::string message_text(rng_t &rng, long owner, int k, bool may_be_empty);
// Enters a line with its owner; the lock is held. False if another owner has it.
bool own_line(oracle_ledger &l, const std::string &line, const line_owner &owner);
// The owner of a complete line, nullptr for a line no modem could make.
const line_owner *owner_of(const oracle_ledger &l, const std::string &line);
// The first number in a line, -1 for none.
long line_id(const std::string &line);
std::string without_nul(const std::string &s);
