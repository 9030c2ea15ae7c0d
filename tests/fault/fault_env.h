// Fault tests drive the daemon through the bus and watch it from outside:
// replies are decoded field by field (raw bytes kept, unlike JSON), calls
// can be left in flight on connections of their own, and the daemon's
// descriptors, threads and resident memory are compared with a baseline.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/daemon/daemon_env.h"
#include "tools/fakemodem/fake_modem.h"

// One reply, flattened: strings keep every byte up to their NUL.
struct reply_fields {
    int status = -1;
    bool replied = false;
    std::map<std::string, std::string> text;
    std::map<std::string, int64_t> number;

    bool has(const std::string &key) const { return text.count(key) || number.count(key); }
    std::string str(const std::string &key) const;
    int64_t num(const std::string &key) const; // -1 when absent
};

// A call that stays in flight until finished; not movable once started.
struct pending_call {
    ubus_request req{};
    reply_fields reply;
};

bool call_start(ubus_context *ctx, uint32_t object, const char *method, const std::string &json, pending_call &call);
// Waits for the call's end; false when it did not end in time.
bool call_finish(ubus_context *ctx, pending_call &call, int timeout_ms);
reply_fields call_now(ubus_context *ctx, uint32_t object, const char *method, const std::string &json,
                      int timeout_ms = 30000);

struct proc_usage {
    int fds = -1;
    int threads = -1;
    long rss_kb = -1;
};
proc_usage usage_of(int pid);
// Resident memory may exceed the reference by 1 MB at most (not checked
// under sanitizers).
void expect_memory_flat(const proc_usage &now, const proc_usage &reference);

// JSON text of a string value, for building call arguments.
std::string json_str(const std::string &s);
// Arguments of a waiting "sendat" of command on port.
std::string sendat_args(const std::string &port, const std::string &command, int timeout = 5);

struct context_deleter {
    void operator()(ubus_context *ctx) const { ubus_free(ctx); }
};
using context_ptr = std::unique_ptr<ubus_context, context_deleter>;

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
    fake_modem *add_modem(const std::string &name);
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

// A scripted answer carrying tag, so a reply shows whose answer it holds.
std::string tagged_answer(const std::string &tag);

// Our CLI's "listen" for the daemon's events, ready once start returns.
struct event_listener {
    child_process cli;
    bool start(daemon_env &env);
    // The event lines printed so far, one JSON object per line.
    std::vector<std::string> lines();
    // Waits until a printed line contains text.
    bool wait_for(const std::string &text, std::chrono::milliseconds deadline = std::chrono::seconds(10));
};
