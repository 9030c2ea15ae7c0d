// Virtual AT ports: a pseudo-terminal that behaves, to the program that
// opens it, like a modem's own AT port, while its commands run on the
// daemon's port with every other caller's, one at a time, in the port's
// queue. Existing modem tools (an SMS daemon, a terminal program) use it
// unchanged: "share" makes one and a link to its slave, NAME, in the run
// directory (/var/run/tarnel, or $TARNEL_SHARE_DIR at start-up).
//
// Contract:
// - Everything here runs on the event-loop thread; the pseudo-terminals'
//   masters and one inotify descriptor are watched by that loop.
// - A virtual port is made as: posix_openpt; the slave node owned by the
//   daemon's user (root), mode 0600 (0660 and the group, with a group)
//   while still locked; unlock; the slave opened and held, so a program
//   that closes it causes no hang-up; the slave's line raw (echo, line
//   editing and signals off: put back, said once, if a program turns them
//   on); then the link. Its device is refused to "open" and "sendat".
// - What a program writes: a command line ends at CR, or at an LF not
//   after a CR; backspace edits it; a line starting "AT" (any case) is run
//   on the port (finals_only, wants_answer) with the virtual port's
//   timeout (180 s for AT+COPS=?). E0/E1/E in a basic command line set
//   this port's echo only and are taken out; with nothing left the port
//   answers OK itself. A refused line (command_check), a data dial and a
//   line over COMMAND_MAX get ERROR without anything sent. "A/" repeats
//   the last line this port sent. A prompt command is answered "> " by the
//   port itself, which collects its text (PROMPT_DATA_MAX at most) up to
//   Ctrl-Z (then the command runs with the text as data) or ESC (OK,
//   nothing sent). Other bytes outside a command are dropped.
// - What it reads: the echo of each byte of a command (unless E0), then
//   "\r\n" and the command's own answer lines; a command that timed out
//   gets "\r\nERROR\r\n" after what it captured; one that could not run
//   (port closed, queue full) gets "\r\nERROR\r\n" at once. Lines typed
//   while a command of this port runs wait for its answer. Unsolicited
//   lines of the port (not late ones) come as "\r\nLINE\r\n" between
//   answers, never inside one.
// - Nothing is written while no program has the slave open; when the last
//   one closes it, what it had not read, its unfinished line and the
//   answer of its running command are dropped. Writes never block; what
//   does not fit is dropped and counted.
// - A virtual port lives until "unshare", the "close" of its port, or the
//   daemon's exit; it outlives its port's vanishing and return.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "port/port.h"

constexpr size_t VPORT_NAME_MAX = 31;
constexpr int32_t VPORT_TIMEOUT_S = 30;       // default wait of a command
constexpr int32_t VPORT_SCAN_TIMEOUT_S = 180; // AT+COPS=?, an operator scan
constexpr const char *VPORT_RUN_DIR = "/var/run/tarnel";

enum vport_result { VPORT_SHARED, VPORT_BAD_NAME, VPORT_NAME_TAKEN, VPORT_FAILED };

struct vport_made {
    std::string link; // <run dir>/NAME
    std::string pty;  // /dev/pts/N
};

// After uloop_init: the run directory is made and emptied.
void vport_start(port_engine *engine);
// Removes every virtual port and the run directory.
void vport_stop();

// `gid` < 0: no group. A name is letters, digits, '-' and '_', at most
// VPORT_NAME_MAX. The port is a record's path.
vport_result vport_share(const char *at_port, const char *name, int32_t timeout_s, long gid, vport_made *made);
// False when no virtual port has the name; *link gets its link otherwise.
bool vport_unshare(const char *name, std::string *link);
// The links of a port's virtual ports, in the order they were made.
std::vector<std::string> vport_links_of(const char *at_port);
// The ports' events, for events_observe: unsolicited lines to write, and
// the "close" that ends a port's virtual ports.
void vport_event(const port_event &event);

// A command line's E commands (E0, E1, a bare E) taken out: *echo gets the
// last one's setting (0, 1), -1 for none. `line` starts with "AT".
std::string vport_take_echo(const std::string &line, int *echo);
