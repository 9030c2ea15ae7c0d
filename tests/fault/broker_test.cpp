// The broker goes away and comes back: the daemon keeps its ports and gets
// back on the bus; and no reply may outgrow the bus's message limit.
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <fstream>

#include "tests/fault/fault_env.h"

using namespace std::chrono_literals;

using Broker = FaultTest;

TEST_F(Broker, DaemonReconnectsWithItsPortsOpen)
{
    std::string port = path_of("ttyUSB2");
    add_modem("ttyUSB2");
    ASSERT_EQ(open_port(port).str("status"), "success");
    ASSERT_EQ(sendat(port, "\"at_cmd\":\"AT+CSQ\"").str("status"), "success");

    ASSERT_TRUE(env_restart_broker(env));
    EXPECT_TRUE(child_wait_output(env.daemon, false, "Lost connection to ubus, reconnecting\n"));
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(
        wait_until([&] { return ubus_lookup_id(env.ctx, "tarnel", &env.tarnel_id) == 0 && env.tarnel_id; }, 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_TRUE(child_wait_output(env.daemon, true, "Reconnected to ubus\n"));

    std::string list = tarnel_call(env, "list", "").json;
    EXPECT_NE(list.find("\"is_open\":1"), std::string::npos) << list;
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CSQ\"").str("response"), "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
}

TEST_F(Broker, SigtermWhileTheBrokerIsGoneExitsAtOnce)
{
    ubus_free(env.ctx);
    env.ctx = nullptr;
    ASSERT_TRUE(child_stop(env.broker, SIGKILL));
    ASSERT_TRUE(child_wait_output(env.daemon, false, "Lost connection to ubus, reconnecting\n"));
    expect_clean_exit(3000);
}

// On SIGTERM the daemon waits for the broker to take its last replies, but
// a broker that answers nothing must not keep it from exiting.
TEST_F(Broker, SigtermWithTheBrokerFrozenStillExits)
{
    fake_modem *m = add_modem("ttyUSB2");
    fake_modem_set_answer(m, "AT+SLOW", {});
    // Opened first: its event has been taken by the broker once the reply is
    // here, and the command then makes none (sending one waits for the
    // broker without a limit).
    ASSERT_EQ(open_port(fake_modem_link_path(m)).str("status"), "success");
    pending_call running;
    context_ptr client(ubus_connect(env.sock.c_str()));
    ASSERT_TRUE(start_on_line(client.get(), m, "AT+SLOW", 60, running));

    ASSERT_TRUE(child_pause(env.broker));
    kill(env.daemon.pid, SIGTERM);
    bool exited = child_wait_exit(env.daemon, 3s);
    child_resume(env.broker);
    ASSERT_TRUE(exited);
    EXPECT_TRUE(WIFEXITED(env.daemon.exit_status) && WEXITSTATUS(env.daemon.exit_status) == 0)
        << env.daemon.exit_status;
}

// The event loop's thread waits in a round trip to the broker (poll on the
// bus socket), not in the loop's own epoll.
static bool waiting_on_the_broker(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/syscall");
    long call = -1;
    in >> call;
    return call == SYS_poll || call == SYS_ppoll;
}

// Publishing an event waits for the broker without a time limit. SIGTERM
// while it waits on a frozen broker must still end the daemon within a
// second, with status 0: the stop cuts the bus connection off.
TEST_F(Broker, SigtermWhilePublishingToAFrozenBrokerExitsWithinASecond)
{
    fake_modem *m = add_modem("ttyUSB2");
    ASSERT_EQ(open_port(fake_modem_link_path(m)).str("status"), "success");
    ASSERT_TRUE(child_pause(env.broker));
    fake_modem_inject(m, "\r\nRING\r\n\r\n+CREG: 1\r\n\r\nRING\r\n");
    bool publishing = wait_until([&] { return waiting_on_the_broker(env.daemon.pid); });

    auto signalled = std::chrono::steady_clock::now();
    kill(env.daemon.pid, SIGTERM);
    bool exited = child_wait_exit(env.daemon, 5s);
    auto took = std::chrono::steady_clock::now() - signalled;
    child_resume(env.broker);
    ASSERT_TRUE(publishing);
    ASSERT_TRUE(exited);
    EXPECT_TRUE(WIFEXITED(env.daemon.exit_status) && WEXITSTATUS(env.daemon.exit_status) == 0)
        << env.daemon.exit_status << "\n"
        << child_stderr(env.daemon);
    // Sanitizers slow the exit itself (their reports at the end).
    EXPECT_LT(took, sanitized_build() ? 2s : 1s);
    EXPECT_EQ(child_stderr(env.daemon).find("Lost connection"), std::string::npos) << child_stderr(env.daemon);
}

// The reply echoes the command: one longer than 64 KiB is refused before
// anything is written, so the reply always fits the broker's 1 MiB.
TEST_F(Broker, CommandTooLongForAReplyIsRefused)
{
    std::string port = path_of("ttyUSB2");
    fake_modem *m = add_modem("ttyUSB2");
    const std::map<std::string, std::string> refused = {{"status", "error"}, {"message", "Command too long"}};
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+" + std::string(65534, 'X') + "\"").text, refused);
    EXPECT_EQ(sendat(port, "\"raw_at_content\":\"" + std::string(65538, '4') + "\"").text, refused);
    // About 1 MiB: the call still fits the bus, its echo would not.
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+" + std::string(1000000, 'X') + "\",\"sendonly\":true").text, refused);
    EXPECT_EQ(fake_modem_log(m), "");
    // Exactly at the limit it goes out.
    reply_fields r = sendat(port, "\"at_cmd\":\"AT+" + std::string(65533, 'X') + "\",\"timeout\":1");
    EXPECT_EQ(r.str("command").size(), 65536u);
    EXPECT_TRUE(fake_modem_wait_log_contains(m, std::string(65533, 'X') + "\r\n", 10s));
}
