// Fault tests drive the daemon through the bus and watch it from outside
// (tests/daemon/bus_calls.h): replies decoded field by field, calls left in
// flight, and the daemon's descriptors, threads and resident memory compared
// with a baseline.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "tests/daemon/daemon_env.h"
#include "tests/daemon/bus_calls.h"
#include "tools/fakemodem/fake_modem.h"

// Resident memory may exceed the reference by 1 MB at most (not checked
// under sanitizers).
void expect_memory_flat(const proc_usage &now, const proc_usage &reference);

// Seconds a test floods a port, and whether sanitizers are built in; both
// set by CMake.
int flood_seconds();
bool sanitized_build();

class FaultTest : public ::testing::Test
{
protected:
    daemon_env env;
    std::vector<fake_modem_ptr> modems;
    std::vector<std::string> paths; // every port a test touched
    proc_usage baseline;

    void SetUp() override;
    void TearDown() override;

    // A modem at <dir>/<name>, kept until the test ends.
    fake_modem *add_modem(const std::string &name, const fake_modem_options &options = {});
    std::string path_of(const std::string &name) const { return env_path(env, name); }

    reply_fields call(const char *method, const std::string &json, int timeout_ms = 30000);
    reply_fields sendat(const std::string &port, const std::string &members);
    reply_fields open_port(const std::string &port);
    // Starts "sendat" of command on the modem's port from ctx and returns
    // once the command has reached the modem, so the daemon is waiting.
    bool start_on_line(ubus_context *ctx, fake_modem *m, const std::string &command, int timeout, pending_call &call);

    // Opens, uses and closes every modem's port once, then samples usage.
    void take_baseline();
    // Closes every touched port and compares usage with the baseline.
    void expect_no_growth();
    // SIGTERM; the daemon must end within `deadline_ms` with status 0.
    void expect_clean_exit(int deadline_ms = 10000);
};

// One simulated modem at <dir>/ttyUSB2, for tests about a single port.
class OneModemTest : public FaultTest
{
protected:
    std::string port;
    fake_modem *m = nullptr;
    void SetUp() override
    {
        FaultTest::SetUp();
        port = path_of("ttyUSB2");
        m = add_modem("ttyUSB2");
    }

    // The messages the modem was given to send, as "command|text".
    struct sent_messages {
        std::mutex lock;
        std::vector<std::string> list;
        std::vector<std::string> taken()
        {
            std::lock_guard guard(lock);
            return list;
        }
    } sent;
    // Replaces the port's modem by one made with `options` that notes in
    // `sent` each message it is given, none so far. (TearDown stops it
    // before `sent` goes.)
    void record_messages(fake_modem_options options = {})
    {
        modems.clear();
        sent.list.clear();
        options.on_message = [this](const std::string &command, const std::string &text) {
            std::lock_guard guard(sent.lock);
            sent.list.push_back(command + "|" + text);
        };
        modems.emplace_back(fake_modem_create(port, options));
        m = modems.back().get();
        ASSERT_TRUE(m);
    }

    // The command, answered by one framed information line, gets exactly
    // its echo, that line and its OK.
    void expect_own(const std::string &command, const std::string &info);
    // The same for "AT+TAG=<who>" of each caller in turn.
    void expect_own_answers(const std::vector<std::string> &callers);
};

// A scripted answer carrying tag, so a reply shows whose answer it holds.
std::string tagged_answer(const std::string &tag);
// The lines a response holds, blanks and line ends left out, so that the
// framing of an echo does not matter.
std::vector<std::string> response_lines(const std::string &response);

// Our CLI's "listen" for the daemon's events, ready once start returns.
struct event_listener {
    child_process cli;
    bool start(daemon_env &env);
    // The event lines printed so far, one JSON object per line.
    std::vector<std::string> lines();
    // Waits until a printed line contains text.
    bool wait_for(const std::string &text, std::chrono::milliseconds deadline = std::chrono::seconds(10));
    // Events carrying exactly this line, as news or late.
    int mentions(const std::string &line);
};
