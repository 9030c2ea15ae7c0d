#include "tests/fault/fault_env.h"

#include <sys/wait.h>

#include <algorithm>

extern "C" {
#include <libubox/blobmsg.h>
}

int flood_seconds()
{
    return TARNEL_FAULT_FLOOD_SECONDS;
}

bool sanitized_build()
{
    return TARNEL_FAULT_SANITIZED;
}

std::vector<std::string> response_lines(const std::string &response)
{
    std::vector<std::string> out;
    for (size_t at = 0; at < response.size();) {
        size_t end = response.find('\n', at);
        if (end == std::string::npos)
            end = response.size();
        std::string line = response.substr(at, end - at);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        if (!line.empty())
            out.push_back(line);
        at = end + 1;
    }
    return out;
}

std::string tagged_answer(const std::string &tag)
{
    return "+TAG: " + tag + "\r\nOK\r\n";
}

bool event_listener::start(daemon_env &env)
{
    if (!child_start(cli, {TARNEL_CLI_PATH, "-s", env.sock, "listen", "tarnel.urc", "tarnel.port"}))
        return false;
    // Ready once it prints an event sent after it started.
    return wait_until([&] {
        blob_buf b{};
        blob_buf_init(&b, 0);
        blobmsg_add_string(&b, "port", "ready?");
        ubus_send_event(env.ctx, "tarnel.port", b.head);
        blob_buf_free(&b);
        return child_wait_output(cli, true, "ready?", std::chrono::milliseconds(100));
    });
}

std::vector<std::string> event_listener::lines()
{
    std::vector<std::string> out;
    std::string all = child_stdout(cli);
    for (size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1)
        if (all.find("ready?", at) > end)
            out.push_back(all.substr(at, end - at));
    return out;
}

bool event_listener::wait_for(const std::string &text, std::chrono::milliseconds deadline)
{
    return child_wait_output(cli, true, text, deadline);
}

int event_listener::mentions(const std::string &line)
{
    std::vector<std::string> all = lines();
    std::string key = "\"line\":" + json_str(line);
    return int(std::count_if(all.begin(), all.end(), [&](const std::string &e) {
        return e.find(key + "}") != std::string::npos || e.find(key + ",") != std::string::npos;
    }));
}

void OneModemTest::expect_own(const std::string &command, const std::string &info)
{
    fake_modem_set_answer(m, command, {{0, "\r\n" + info + "\r\n\r\nOK\r\n"}});
    reply_fields r = sendat(port, "\"at_cmd\":" + json_str(command));
    EXPECT_EQ(r.str("status"), "success") << command;
    EXPECT_EQ(response_lines(r.str("response")), (std::vector<std::string>{command, info, "OK"}))
        << command << ": " << r.str("response");
}

void OneModemTest::expect_own_answers(const std::vector<std::string> &callers)
{
    for (const std::string &who : callers)
        expect_own("AT+TAG=" + who, "+TAG: " + who);
}

void FaultTest::SetUp()
{
    ASSERT_TRUE(env_start(env));
}

void FaultTest::TearDown()
{
    // Modems go before the daemon so that no test leaves a pty behind.
    modems.clear();
}

fake_modem *FaultTest::add_modem(const std::string &name, const fake_modem_options &options)
{
    fake_modem *m = fake_modem_create(path_of(name), options);
    EXPECT_NE(m, nullptr) << name;
    modems.emplace_back(m);
    paths.push_back(path_of(name));
    return m;
}

reply_fields FaultTest::call(const char *method, const std::string &json, int timeout_ms)
{
    return call_now(env.ctx, env.tarnel_id, method, json, timeout_ms);
}

reply_fields FaultTest::sendat(const std::string &port, const std::string &members)
{
    return call("sendat", "{\"at_port\":" + json_str(port) + "," + members + "}");
}

reply_fields FaultTest::open_port(const std::string &port)
{
    return call("open", "{\"at_port\":" + json_str(port) + "}");
}

bool FaultTest::start_on_line(ubus_context *ctx, fake_modem *m, const std::string &command, int timeout,
                              pending_call &call)
{
    fake_modem_clear_log(m);
    return call_start(ctx, env.tarnel_id, "sendat", sendat_args(fake_modem_link_path(m), command, timeout), call) &&
           fake_modem_wait_log_contains(m, command + "\r\n", std::chrono::seconds(10));
}

void FaultTest::take_baseline()
{
    // The first cycle settles what the daemon allocates once (reply
    // buffers, thread stacks kept for reuse), so it is not counted.
    for (int round = 0; round < 3; round++) {
        for (const auto &m : modems) {
            const std::string &port = fake_modem_link_path(m.get());
            fake_modem_set_answer(m.get(), "AT+WARM", {{0, "OK\r\n"}});
            ASSERT_EQ(open_port(port).str("status"), "success");
            ASSERT_EQ(sendat(port, "\"at_cmd\":\"AT+WARM\"").str("status"), "success");
            ASSERT_EQ(call("close", "{\"at_port\":" + json_str(port) + "}").str("status"), "success");
        }
    }
    baseline = usage_of(env.daemon.pid);
    ASSERT_GT(baseline.fds, 0);
}

void FaultTest::expect_no_growth()
{
    for (const auto &port : paths)
        call("close", "{\"at_port\":" + json_str(port) + "}");
    // A joined reader can still be listed under /proc for a moment after
    // its join returned; give the counts a deadline to settle.
    proc_usage now;
    wait_until([&] {
        now = usage_of(env.daemon.pid);
        return now.fds <= baseline.fds && now.threads <= baseline.threads;
    });
    EXPECT_EQ(now.fds, baseline.fds);
    EXPECT_EQ(now.threads, baseline.threads);
    expect_memory_flat(now, baseline);
}

void expect_memory_flat(const proc_usage &now, const proc_usage &reference)
{
    // Sanitizers hold freed memory back on purpose; there the leak checker
    // at the daemon's exit stands in for this.
    if (sanitized_build())
        return;
    // Freed memory is not always handed back to the system, so allow a
    // little; a leaked port record or reply per call would be far more.
    EXPECT_LE(now.rss_kb, reference.rss_kb + 1024) << "reference " << reference.rss_kb << " kB";
}

void FaultTest::expect_clean_exit(int deadline_ms)
{
    ASSERT_TRUE(child_stop(env.daemon, SIGTERM, std::chrono::milliseconds(deadline_ms)));
    ASSERT_TRUE(WIFEXITED(env.daemon.exit_status));
    EXPECT_EQ(WEXITSTATUS(env.daemon.exit_status), 0);
    EXPECT_EQ(child_stderr(env.daemon).find("Sanitizer"), std::string::npos) << child_stderr(env.daemon);
}
