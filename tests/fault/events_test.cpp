// The modem's unsolicited lines and the ports' state changes as bus events,
// seen by our CLI's "listen" exactly as a router script sees them.
#include <sys/stat.h>
#include <unistd.h>

#include "tests/fault/fault_env.h"

using namespace std::chrono_literals;

static std::string urc(const std::string &port, const std::string &line)
{
    return "{ \"tarnel.urc\": {\"port\":" + json_str(port) + ",\"line\":" + json_str(line) + "} }";
}

static std::string state(const std::string &port, int is_open, const char *reason)
{
    return "{ \"tarnel.port\": {\"port\":" + json_str(port) + ",\"is_open\":" + std::to_string(is_open) +
           ",\"reason\":\"" + reason + "\"} }";
}

TEST_F(FaultTest, UnsolicitedLinesReachListenersButAnswersDoNot)
{
    std::string port = path_of("ttyUSB2");
    fake_modem *m = add_modem("ttyUSB2");
    event_listener listener;
    ASSERT_TRUE(listener.start(env));
    ASSERT_EQ(open_port(port).str("status"), "success");

    fake_modem_inject(m, "\r\nRING\r\n");
    ASSERT_TRUE(listener.wait_for("RING"));
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CSQ\"").str("status"), "success");
    // A send-only command's answer is nobody's reply: it is published.
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CGMI\\r\",\"sendonly\":true").str("status"), "success");
    ASSERT_TRUE(listener.wait_for("Tarnel"));
    fake_modem_inject(m, "+CMTI: \"SM\",3\r\n");
    ASSERT_TRUE(listener.wait_for("CMTI"));

    EXPECT_EQ(listener.lines(),
              (std::vector<std::string>{state(port, 1, "open"), urc(port, "RING"), urc(port, "AT+CGMI"),
                                        urc(port, "Tarnel"), urc(port, "OK"), urc(port, "+CMTI: \"SM\",3")}));
}

TEST_F(FaultTest, StateChangesArePublishedInOrder)
{
    std::string port = path_of("ttyUSB2");
    fake_modem *m = add_modem("ttyUSB2");
    event_listener listener;
    ASSERT_TRUE(listener.start(env));

    ASSERT_EQ(open_port(port).str("status"), "success");
    ASSERT_EQ(fake_modem_unplug(m), 0);
    ASSERT_TRUE(listener.wait_for("vanished"));
    ASSERT_EQ(fake_modem_replug(m), 0);
    ASSERT_TRUE(listener.wait_for("reopen"));
    fake_modem_hangup(m);
    ASSERT_TRUE(listener.wait_for("error"));
    EXPECT_EQ(call("close", "{\"at_port\":" + json_str(port) + "}").str("status"), "success");
    ASSERT_TRUE(listener.wait_for("close"));

    EXPECT_EQ(listener.lines(),
              (std::vector<std::string>{state(port, 1, "open"), state(port, 0, "vanished"), state(port, 1, "reopen"),
                                        state(port, 0, "error"), state(port, 0, "close")}));
}

// An "open" that fails on a port that was open leaves it closed: the event
// says so as an error. The port's directory is switched under a symlink,
// so no watcher closes the port first.
TEST_F(FaultTest, FailedReopenOfAnOpenPortIsPublishedAsAnError)
{
    std::string a = env.dir.file("a"), b = env.dir.file("b"), dir = env.dir.file("d"), next = env.dir.file("d.new");
    ASSERT_EQ(mkdir(a.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(b.c_str(), 0700), 0);
    ASSERT_EQ(symlink(a.c_str(), dir.c_str()), 0);
    fake_modem_ptr m(fake_modem_create(a + "/ttyUSB2"));
    ASSERT_TRUE(m);
    std::string port = dir + "/ttyUSB2";
    event_listener listener;
    ASSERT_TRUE(listener.start(env));
    ASSERT_EQ(open_port(port).str("status"), "success");
    ASSERT_EQ(symlink(b.c_str(), next.c_str()), 0);
    ASSERT_EQ(rename(next.c_str(), dir.c_str()), 0);
    EXPECT_EQ(open_port(port).str("message"), "Failed to open port");
    ASSERT_TRUE(listener.wait_for("error"));
    EXPECT_EQ(listener.lines(), (std::vector<std::string>{state(port, 1, "open"), state(port, 0, "error")}));
    EXPECT_EQ(call("close", "{\"at_port\":" + json_str(port) + "}").str("status"), "success");
}

// A modem that floods lines must neither grow the daemon nor drown the bus:
// events are capped, the rest counted as dropped, and commands on the
// flooding port and "list" are still answered.
TEST_F(FaultTest, FloodOfLinesIsCappedAndCounted)
{
    std::string port = path_of("ttyUSB2");
    fake_modem *m = add_modem("ttyUSB2");
    take_baseline();
    event_listener listener;
    ASSERT_TRUE(listener.start(env));
    ASSERT_EQ(open_port(port).str("status"), "success");

    std::string block;
    for (int i = 0; i < 100; i++)
        block += "+FLOOD: " + std::to_string(i) + "\r\n";
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(flood_seconds());
    int rounds = 0;
    while (std::chrono::steady_clock::now() < end) {
        for (int i = 0; i < 20; i++)
            fake_modem_inject(m, block);
        EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CSQ\",\"timeout\":10").str("status"), "success");
        EXPECT_EQ(call("list", "").status, 0);
        rounds++;
    }
    ASSERT_TRUE(listener.wait_for("\"dropped\":"));
    // Published at most at the port's rate, with one second's burst.
    size_t published = listener.lines().size();
    EXPECT_LE(published, size_t(100 * (flood_seconds() + 2)));
    EXPECT_GT(rounds, 0);
    expect_no_growth();
}
