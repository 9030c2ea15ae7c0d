// The invariant, judged from the ledger:
// - "response" and "partial_response" hold only the bytes of the command's
//   own exchange: its echo, its answer (exactly as sent, in order, without
//   holes) and unsolicited lines of its port; never a line of another
//   command's answer;
// - a "success" holds the line of its own answer that matched its end flag
//   (unless it says "truncated"), and "response_length" counts what it holds;
// - every call gets exactly one reply; a send failure only while its device
//   was away;
// - a line published as late belongs to a command that owed it;
// - a command whose answer came in time, on a port that owed nothing,
//   succeeds.
#pragma once

#include "tests/oracle/ledger.h"

// One finished call, by its reply. The driver's thread.
void check_call(oracle_ledger &l, int call);
// At the end, every call finished and the modems idle.
void check_events(oracle_ledger &l);
void check_in_time_answers(oracle_ledger &l);
