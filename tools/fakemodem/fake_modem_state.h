// Inside of the simulated modem, shared by the public functions and the
// serving thread. Fields above `lock` are fixed once the thread runs (the
// descriptors are closed only by the thread itself or after it is joined);
// fields below it are guarded by it.
#pragma once

#include "tools/fakemodem/fake_modem.h"
#include "tools/fakemodem/fake_modem_messages.h"
#include "tools/fakemodem/fake_modem_pdu.h"

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using fake_modem_clock = std::chrono::steady_clock;

struct fake_modem_pending {
    fake_modem_clock::time_point due;
    std::string bytes;
};

enum class fake_modem_sim_state { ready, pin, puk };

struct fake_modem_sim {
    fake_modem_sim_state state = fake_modem_sim_state::ready;
    std::string pin = "1234";
    std::string puk = "12345678";
    int pin_tries = 3;
    int puk_tries = 10;
};

struct fake_modem {
    std::string link_path;
    std::string slave_name;
    // The link we made, by inode and change time: a later modem may get the
    // same slave name once ours is gone, and its link is not ours. Set by
    // create and replug, read by unplug, replug and destroy (caller's thread).
    ino_t link_ino = 0;
    timespec link_ctime = {};
    int master = -1;
    int slave_hold = -1; // keeps the slave's settings and input queue alive
    int wake = -1;       // eventfd: tells the thread something changed
    std::thread server;
    std::function<void(const std::string &, const std::string &)> on_message;

    std::mutex lock;
    std::condition_variable changed; // log grew, or the hangup finished
    std::map<std::string, std::vector<fake_modem_chunk>, std::less<>> answers;
    bool echo = true;
    bool echo_at_once = false;
    bool framed = true;
    int answer_delay_ms = 0;
    std::string escape_answer;
    fake_modem_prompt prompt = fake_modem_prompt::show;
    int prompt_late_ms = 0;
    fake_modem_clock::time_point busy_until; // a late prompt's modem ignores ESC and Ctrl-Z till then
    bool reading_paused = false;
    int message_count = 0;
    fake_modem_store store;
    fake_modem_pdu_state pdu;
    bool keep_log = true;
    bool signal_moves = false;
    int signal_rssi = 20; // +CSQ's first number
    uint32_t signal_seed = 0x2545f491;
    fake_modem_sim sim;
    std::map<std::string, int, std::less<>> failing; // command -> plain ERRORs still to answer
    std::string log;
    std::string ready;                        // goes out as soon as possible
    std::deque<fake_modem_pending> scheduled; // due times never decrease
    bool flood = false;
    bool stop = false;
    bool hangup_requested = false;
    bool hung_up = false;
};

// Thread body; returns after `stop` or a completed hangup.
void fake_modem_serve(fake_modem *modem);
// Nudges the thread out of its poll; call after changing guarded state.
void fake_modem_wake(fake_modem *modem);
// Queues bytes to go out delay_ms after the chunk queued before them (or
// now). Caller holds `lock`.
void fake_modem_schedule(fake_modem *modem, int delay_ms, std::string bytes);
// Queues the echo and answer of one command. Caller holds `lock`. Returns
// the answer that waits for message text ("+CMGS" or "+CMGW"), or empty.
std::string fake_modem_answer(fake_modem *modem, const std::string &command);
// An answer as a modem frames it, from its plain form: each line ended with
// CR LF, the final result code last ("+CSQ: 20,99\r\nOK\r\n", "ERROR\r\n").
// Framed, information text gets CR LF in front and the final result code
// too; unframed, the plain form is sent as it is.
std::string fake_modem_frame(const fake_modem *modem, const std::string &plain);
// The answer (plain form, lines and OK) to a status or identity query, or empty
// when command is none. Caller holds `lock`.
std::string fake_modem_status_answer(fake_modem *modem, std::string_view command);
// The answer of the SIM lock, the data context or a query failing on
// purpose (fake_modem_sim.cpp), or empty. Caller holds `lock`.
std::string fake_modem_sim_answer(fake_modem *modem, std::string_view command);
// Answers message text that ended with Ctrl-Z, given to `command`. Caller
// holds `lock`.
void fake_modem_answer_text(fake_modem *modem, const std::string &kind, const std::string &command,
                            const std::string &text);
