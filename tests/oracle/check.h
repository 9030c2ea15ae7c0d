// The invariant, judged from the ledger:
// - "response" and "partial_response" hold only the bytes of the command's
//   own exchange: its echo, its answer (exactly as sent, in order, without
//   holes) and unsolicited lines of its port; never a line of another
//   command's answer, and so never a message text another command read;
// - a "success" holds the line of its own answer that ended it, a final
//   result or a line of its custom flags as the daemon reads them (never a
//   message text, nor a line that merely holds a final result's word), and
//   "end_flag_matched" is the first of its flags that line matches;
//   "response_length" counts what it holds; "truncated" needs an exchange
//   of its own that long;
// - every call gets exactly one reply; a send failure only while its device
//   was away, or for a long command its modem stopped reading;
// - a line published as late belongs to a command that owed it; a message
//   text a command read is published only as late;
// - every unsolicited line of a kind the daemon knows, that the daemon
//   could read, is published exactly once (or counted in "dropped"), never
//   as late;
// - a command whose answer came in time, on a port that owed nothing,
//   succeeds.
#pragma once

#include "tests/oracle/ledger.h"

// One finished call, by its reply. The driver's thread.
void check_call(oracle_ledger &l, int call);
// At the end, every call finished and the modems idle.
void check_events(oracle_ledger &l);
void check_unsolicited(oracle_ledger &l);
void check_in_time_answers(oracle_ledger &l);
