// The modem's unsolicited lines and the ports' state changes as bus events,
// seen by our CLI's "listen" exactly as a router script sees them, and as
// notifications of the object, seen by its "subscribe" as a web page's
// server sees them.
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
    // A send-only command's answer is nobody's reply: it is published, its
    // echo (our own bytes) never.
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CGMI\\r\",\"sendonly\":true").str("status"), "success");
    ASSERT_TRUE(listener.wait_for("Tarnel"));
    fake_modem_inject(m, "+CMTI: \"SM\",3\r\n");
    ASSERT_TRUE(listener.wait_for("CMTI"));

    EXPECT_EQ(listener.lines(),
              (std::vector<std::string>{state(port, 1, "open"), urc(port, "RING"), urc(port, "Tarnel"), urc(port, "OK"),
                                        urc(port, "+CMTI: \"SM\",3")}));
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

// Lines printed by "subscribe": each notification, "{ "urc": {...} }".
static std::vector<std::string> printed_lines(child_process &cli)
{
    std::vector<std::string> out;
    std::string all = child_stdout(cli);
    for (size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1)
        out.push_back(all.substr(at, end - at));
    return out;
}

// Every notification carries the table of the event published with it,
// under the event's name without "tarnel.", and a subscriber that left and
// came back is served again.
TEST_F(FaultTest, SubscribersGetEveryEventAsANotification)
{
    std::string port = path_of("ttyUSB2");
    fake_modem *m = add_modem("ttyUSB2");
    event_listener listener;
    ASSERT_TRUE(listener.start(env));

    for (int round = 0; round < 2; round++) {
        child_process sub;
        ASSERT_TRUE(child_start(sub, {TARNEL_CLI_PATH, "-s", env.sock, "subscribe", "tarnel"}));
        // Subscribed once an open shows up; each open notifies.
        ASSERT_TRUE(wait_until([&] {
            EXPECT_EQ(open_port(port).str("status"), "success");
            return child_wait_output(sub, true, "\"open\"", std::chrono::milliseconds(100));
        }));
        fake_modem_inject(m, "\r\nRING\r\n");
        EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CGMI\\r\",\"sendonly\":true").str("status"), "success");
        ASSERT_TRUE(child_wait_output(sub, true, "\"line\":\"OK\""));
        ASSERT_EQ(fake_modem_unplug(m), 0);
        ASSERT_TRUE(child_wait_output(sub, true, "\"vanished\""));
        ASSERT_EQ(fake_modem_replug(m), 0);
        ASSERT_TRUE(child_wait_output(sub, true, "\"reopen\""));
        ASSERT_TRUE(wait_until([&] {
            std::vector<std::string> lines = listener.lines();
            return std::count_if(lines.begin(), lines.end(), [](const std::string &l) {
                       return l.find("\"reopen\"") != std::string::npos;
                   }) == round + 1;
        }));
        ASSERT_TRUE(child_stop(sub, SIGTERM));

        // The subscriber came in late: its lines are the events' last ones.
        std::vector<std::string> events = listener.lines(), notes = printed_lines(sub);
        ASSERT_GE(notes.size(), 4u) << child_stdout(sub); // open, OK, vanished and reopen at least
        ASSERT_LE(notes.size(), events.size());
        for (size_t i = 0; i < notes.size(); i++) {
            std::string event = events[events.size() - notes.size() + i];
            EXPECT_EQ(notes[i], "{ \"" + event.substr(10)) << "notification " << i;
        }
    }
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
