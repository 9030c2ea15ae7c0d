// The randomized run's record of what really happened: every command the
// callers sent and how the simulated modem was told to answer it, every line
// the modem made for it and when its answer was out, every call and its
// reply, every event. The checks read it to judge each reply; the modems and
// the driver write it.
//
// Every line the modem makes names the command it belongs to: the command
// AT+T=<id> is echoed as itself and answered "+T: <id>,..." and "OK <id>"
// (or "ERROR <id>", "+CME ERROR: <id>"); the first number in a line is its
// command's id. Unsolicited lines are "+URC: <n>". Ids are unique for the
// whole run, so a line in a reply says whose it is.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "tests/daemon/bus_calls.h"

using oracle_clock = std::chrono::steady_clock;
using oracle_time = oracle_clock::time_point;
using rng_t = std::mt19937_64;

inline int pick(rng_t &rng, int lo, int hi)
{
    return std::uniform_int_distribution<int>(lo, hi)(rng);
}

inline bool chance(rng_t &rng, double p)
{
    return std::uniform_real_distribution<double>(0, 1)(rng) < p;
}

enum class prompt_mode { none, show, refuse, withhold };
enum class answer_body { lines, long_answer, long_line };

// How the modem answers one command, chosen by the caller before sending it.
struct answer_plan {
    int delay_ms = 0;   // after arrival and after everything queued before it
    bool never = false; // no answer at all
    int info_lines = 1; // "+T: <id>,<k>"
    answer_body body = answer_body::lines;
    bool nul = false;      // a NUL byte inside the first info line
    std::string flag_word; // a custom end flag, in a line of its own before the final one
    std::string final_word = "OK";
    int pieces = 1; // the answer is written in this many fragments
    prompt_mode prompt = prompt_mode::none;
    bool ack_escape = false; // ESC in text input is answered "OK <id>"
    int ack_delay_ms = 0;
    int unplug_ms = 0; // > 0: the link goes right after arrival, for this long; the answer follows
};

// What became of one command at the modem.
struct modem_command {
    int call = -1; // index in oracle_ledger::calls
    int port = -1;
    answer_plan plan;
    bool arrived = false;
    oracle_time arrival;
    bool clean = false;             // nothing else was queued at the modem when it arrived
    int seq = -1;                   // arrival order on its port
    std::vector<std::string> lines; // every line made for it, NUL bytes left out
    bool answered = false;          // the last byte of its answer was written
    oracle_time answered_at;
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
};

struct bus_event {
    bool state = false; // tarnel.port, else tarnel.urc
    std::string port, line, reason;
    bool late = false;
    int is_open = -1;
};

struct oracle_ledger {
    uint64_t seed = 0;
    std::vector<std::string> ports; // link paths, by port number

    // Guards everything below it that modems touch.
    std::mutex lock;
    std::map<int, modem_command> commands;
    std::map<int, int> urcs;                                                 // number -> port
    std::vector<std::vector<std::pair<oracle_time, oracle_time>>> unplugged; // per port; end is max() while out
    std::vector<std::vector<int>> arrival_order;                             // per port: ids as they arrived
    long faults = 0;
    long violations = 0;

    // The driver's alone.
    std::vector<call_record> calls;
    std::vector<bus_event> events;
};

constexpr oracle_time NOT_YET = oracle_time::max();
inline const std::vector<std::string> DEFAULT_FLAGS = {"OK", "ERROR", "+CMS ERROR:", "+CME ERROR:", "NO CARRIER"};

// Prints one violation with what is needed to find it again. Takes the
// lock; `what` says what is wrong, `detail` shows the evidence.
void report(oracle_ledger &l, const std::string &what, const std::string &detail = "");
void count_fault(oracle_ledger &l, int n = 1);

// Text of a call for a report: number, slot, port, arguments, reply.
std::string describe(const oracle_ledger &l, int call);
// Bytes as a C string literal would show them, cut to `max` characters.
std::string shown(const std::string &bytes, size_t max = 300);

// The id a line names (its first number), -1 for none.
long line_id(const std::string &line);
// The number of an unsolicited line, -1 when it is not one.
long urc_number(const std::string &line);
bool is_echo(const std::string &line); // the modem's echo of a command
std::string without_nul(const std::string &s);
