// The randomized run's simulated modem: a pseudo-terminal whose slave is
// reached through a symlink, served by a thread of its own that answers each
// command as the caller planned it (oracle_ledger::commands), in the order
// the commands arrived, like a modem that works one command at a time.
//
// Between the lines of answers and between answers it sends unsolicited
// lines at random moments (RING, +CMTI:, +CREG:, a +CMT: with its text, an
// unsolicited NO CARRIER, ... as its port allows: ledger.h), always at a
// line boundary, never between a message header and its text and never
// while it takes message text; and it turns its echo on and off or to "at
// once" (echoed as it arrives, ahead of answers still due). A late prompt
// keeps it busy: it ignores ESC, holds what arrives, and takes that as the
// message text once it prompts. A stalled command makes it stop reading for
// a while; a fragment of a command ended by CR is answered ERROR. Its link
// may go for a while with the device up: it goes on, and what it writes
// meanwhile waits in the pty for the daemon's reopen. A USB reset hangs the
// pty up and drops the link, resets the modem (what it had queued and half
// received is gone) and brings a new pty under the same link.
// Everything it makes is written down in the ledger.
#pragma once

#include <cstdint>
#include <string>

#include "tests/oracle/ledger.h"

struct sim_modem;

// nullptr when the pty or the link could not be made.
sim_modem *modem_start(oracle_ledger &ledger, int port, uint64_t seed);
// Stops the thread, removes the link, closes the pty.
void modem_stop(sim_modem *modem);
// What the modem still has to do (answers queued, message text awaited),
// empty once it is idle.
std::string modem_pending(sim_modem *modem);
// A "close" or "open" of the port begins (its call is sent) or ends (its
// reply came): the record that opens the port next learns anew whether the
// modem frames, so until a framed answer shows it again after the last such
// call ended, message texts take one line.
void modem_record_change(sim_modem *modem, bool begin);
// Stops the unsolicited lines and echo changes, so the modem can go idle.
void modem_quiet(sim_modem *modem);
