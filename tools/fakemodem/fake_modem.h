// Simulated modem: a pseudo-terminal whose slave is reachable through a
// symlink (so the link looks like /dev/ttyUSB2), served by a thread of its
// own that answers AT commands like a modem.
//
// Wire behaviour: a command ends at CR; an LF that starts a command (the LF
// of a CR LF) is dropped, an empty command is ignored. With echo on, the
// command characters come back first as read, up to and with the CR. Then
// the answer: the scripted chunks if the command has a script, else the
// message store's (fake_modem_messages.h), else the built-in table, else
// ERROR. Commands are matched byte for byte, case-sensitively.
//
// Framing is that of a modem in verbose mode (ATV1): information text starts
// with CR LF and each of its lines ends with CR LF; the final result code
// has CR LF on both sides ("AT+CSQ\r" "\r\n+CSQ: 20,99\r\n" "\r\nOK\r\n").
// Scripted chunks go out as they are, so a script frames its own answer; a
// script that does not start with CR (or is empty) is one of a modem that
// does not frame, and its echo ends with CR LF, as that modem's does.
// With `framed` off the modem does not frame at all: the echo ends with CR
// LF and each answer line with CR LF, nothing in front ("AT+CSQ\r\n"
// "+CSQ: 20,99\r\n" "OK\r\n"). Unsolicited lines ("\r\nRING\r\n") and the
// prompt ("\r\n> ") are framed in both.
//
// Message commands (AT+CMGS=..., AT+CMGW=...) answer "> " after the echo and
// take text until Ctrl-Z (then "+CMGS: <n>" or "+CMGW: <index>" and OK; the
// message store of fake_modem_messages.h keeps the text) or ESC (cancelled:
// the escape answer, nothing by default), echoing the text as it comes when
// echo is on; the prompt can be refused (ERROR), withheld, or shown late:
// the modem is busy for a while, ignores ESC and Ctrl-Z, and takes what it
// received meanwhile as text once it prompts.
//
// Every function is safe to call from any thread while the modem serves.
// Echoes and answer chunks leave the modem in the order they were queued,
// so a long delay holds back every later answer too (a modem that works one
// command at a time); a chunk's delay counts from the chunk queued before it.
// With echo_at_once the echo skips that queue, as a modem that echoes as it
// receives but answers late. Injected bytes skip the queue too.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct fake_modem;

struct fake_modem_chunk {
    int delay_ms = 0;  // wait before this chunk goes out
    std::string bytes; // sent as they are, framing included
};

struct fake_modem_options {
    bool echo = true;
    bool echo_at_once = false;
    bool framed = true;             // V.250 framing (ATV1); off: the old unframed form, see above
    int answer_delay_ms = 0;        // before each built-in answer
    bool keep_log = true;           // long-running tools turn it off to bound memory
    bool moving_signal = false;     // each AT+CSQ a small step away from the last (else 20)
    std::string sim_pin = {};       // a SIM locked with this PIN; empty: unlocked
    std::string escape_answer = {}; // sent when ESC cancels message text; many modems say "\r\nOK\r\n"
    // Told each message text taken after the prompt and ended with Ctrl-Z,
    // with its command ("AT+CMGS=..."); runs on the serving thread.
    std::function<void(const std::string &command, const std::string &text)> on_message = nullptr;
};

enum class fake_modem_prompt { show, refuse, withhold, late };

// Opens a pty in raw mode, points link_path at its slave (replacing any
// symlink already there, refusing anything else) and starts serving.
// Returns nullptr with errno set on failure, leaving nothing behind.
fake_modem *fake_modem_create(const std::string &link_path, const fake_modem_options &options = {});
// Stops the thread, removes the link if it still points at us, closes all.
void fake_modem_destroy(fake_modem *modem);

struct fake_modem_deleter {
    void operator()(fake_modem *modem) const { fake_modem_destroy(modem); }
};
using fake_modem_ptr = std::unique_ptr<fake_modem, fake_modem_deleter>;

const std::string &fake_modem_slave_name(const fake_modem *modem); // "/dev/pts/N"
const std::string &fake_modem_link_path(const fake_modem *modem);

// Scripts the answer of one command; an empty list makes the modem silent.
void fake_modem_set_answer(fake_modem *modem, const std::string &command, std::vector<fake_modem_chunk> chunks);
void fake_modem_set_echo(fake_modem *modem, bool on);
// How message commands answer: "> " (show), ERROR (refuse), nothing while
// still taking text (withhold), or "> " after `late_ms` (late).
void fake_modem_set_prompt(fake_modem *modem, fake_modem_prompt mode, int late_ms = 0);
// A modem that stops reading: what the daemon writes stays in the line
// until reading goes on.
void fake_modem_pause_reading(fake_modem *modem, bool paused);
// Sends bytes now, ahead of chunks still waiting for their delay.
void fake_modem_inject(fake_modem *modem, std::string_view bytes);
// A text message arrives: stored as "REC UNREAD" and announced with
// "+CMTI: \"SM\",<index>" (sent now, like injected bytes). Returns the
// index, or 0 when the store is full and nothing happened. The store's
// commands: tools/fakemodem/fake_modem_messages.h.
int fake_modem_receive_message(fake_modem *modem, const std::string &from, const std::string &text);
// The SIM asks for `pin` (AT+CPIN? says SIM PIN) until it is given with
// AT+CPIN="<pin>"; three wrong ones block it: AT+CPIN="12345678","<new pin>"
// unblocks it. AT+CPINR tells the tries left.
void fake_modem_lock_sim(fake_modem *modem, const std::string &pin);
// The next `times` commands exactly `command` answer a plain ERROR.
void fake_modem_fail_next(fake_modem *modem, const std::string &command, int times);
// Random bytes (NUL and 0xFF among them) as fast as the reader takes them.
void fake_modem_flood(fake_modem *modem, bool on);

// Every byte received from the daemon's side, in order.
std::string fake_modem_log(fake_modem *modem);
void fake_modem_clear_log(fake_modem *modem);
// Waits until cond(log) holds; false when the timeout passes first. cond
// runs under the modem's lock and must not call back into the modem.
bool fake_modem_wait_log(fake_modem *modem, const std::function<bool(const std::string &)> &cond,
                         std::chrono::milliseconds timeout);
bool fake_modem_wait_log_contains(fake_modem *modem, std::string_view needle, std::chrono::milliseconds timeout);
// Waits until everything injected or scheduled has been written to the pty.
bool fake_modem_wait_sent(fake_modem *modem, std::chrono::milliseconds timeout);
// With reading paused: waits until at least `bytes` from the daemon wait
// in the line, unread.
bool fake_modem_wait_unread(fake_modem *modem, size_t bytes, std::chrono::milliseconds timeout);

// Unplug removes the link and keeps the pty, so descriptors already open keep
// working; replug puts the link back (the slave name never changes).
// Both return 0 or -1 with errno set.
int fake_modem_unplug(fake_modem *modem);
int fake_modem_replug(fake_modem *modem);
// Closes the master: the slave node vanishes, the daemon's descriptor reads
// end of file and writes fail with EIO. The modem stays silent afterwards;
// only destroy remains useful. Returns once the master is closed.
void fake_modem_hangup(fake_modem *modem);
