// What the randomized run's clients send: each call with the commands it
// carries and, for each, how the simulated modem is to answer it. Drawn
// from the client's own generator, so a seed replays the same calls.
//
// Besides plain commands (AT+T=<id>), answered with information lines,
// late, never, in fragments, with ERROR or with lines that hold the words
// of final results: send-only commands, messages sent at a "> " prompt
// (shown, refused, withheld, or shown late by a modem that ignores ESC
// meanwhile), two commands in one call, commands under which the link flips
// (the device up) or a USB reset takes the device,
// long answers and long lines (late too), a long command the modem stops
// reading, messages read in text mode, PDU mode and as status reports
// (texts that are exactly "OK" or "ERROR" among them), commands that own
// a registration prefix (AT+CREG=<id>), and dials answered OK, BUSY,
// NO ANSWER, NO DIALTONE, NO CARRIER or CONNECT, by callers that name
// these or not.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tests/oracle/ledger.h"

constexpr int MAX_TIMEOUT = 3;

// Command ids of one client: k * ID_STRIDE + client.
struct id_maker {
    int client = 0;
    int made = 0;
    int next() { return ++made * ID_STRIDE + client; }
};

// A call ready to go: its record and the commands it carries.
struct call_spec {
    call_record rec;
    std::vector<std::pair<int, modem_command>> commands;
    int faults = 0;
};

call_spec port_call(const oracle_ledger &l, const char *method, int port, const std::string &args);
// One "sendat" with its faults.
call_spec random_sendat(const oracle_ledger &l, rng_t &rng, id_maker &ids, int port);
// "sendat" of AT+T=<id>, answered at once with OK.
call_spec simple_sendat(const oracle_ledger &l, id_maker &ids, int port);
// Enters the call's commands and every line planned for them in the
// ledger, before the call is made. Takes the lock.
void enter_commands(oracle_ledger &l, int call, const call_spec &s);
