// A modem that goes away in the middle of a command, and comes back.
#include <sys/stat.h>

#include "tests/fault/fault_env.h"

using namespace std::chrono_literals;

static size_t count_of(const std::string &haystack, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        n++;
    return n;
}

class Unplug : public FaultTest
{
protected:
    // Hangs the first modem up under a command waiting for an answer that
    // never comes, then plugs a new modem in at the same path.
    void hang_up_under_a_command(int timeout)
    {
        fake_modem *m = modems[0].get();
        fake_modem_set_answer(m, "AT+STUCK", {});
        pending_call stuck;
        ASSERT_TRUE(start_on_line(env.ctx, m, "AT+STUCK", timeout, stuck));
        fake_modem_hangup(m);
        ASSERT_TRUE(call_finish(env.ctx, stuck, 30000));
        EXPECT_EQ(stuck.reply.str("status"), "timeout");
        // The echo may or may not have crossed before the line dropped.
        std::string partial = stuck.reply.str("partial_response");
        EXPECT_EQ(std::string("AT+STUCK\r\n").rfind(partial, 0), 0u) << partial;
    }

    void plug_new_modem()
    {
        modems[0].reset(fake_modem_create(paths[0]));
        ASSERT_TRUE(modems[0]);
    }

    void expect_served_again(const std::string &tag)
    {
        fake_modem_set_answer(modems[0].get(), "AT+BACK", {{0, tagged_answer(tag)}});
        reply_fields r = sendat(paths[0], "\"at_cmd\":\"AT+BACK\"");
        EXPECT_EQ(r.str("status"), "success");
        EXPECT_EQ(r.str("response"), "AT+BACK\r\n" + tagged_answer(tag));
    }
};

// Round 0 comes back through the next "sendat", round 1 through "open".
TEST_F(Unplug, ModemHungUpDuringACommandServesAgainAtTheSamePath)
{
    std::string port = path_of("ttyUSB2");
    add_modem("ttyUSB2");
    take_baseline();

    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        hang_up_under_a_command(2);
        std::string error_line = "Error reading from port " + port + ": ";
        EXPECT_TRUE(wait_until([&] { return count_of(child_stderr(env.daemon), error_line) == size_t(round) + 1; }));
        EXPECT_NE(tarnel_call(env, "list", "").json.find("\"is_open\":0"), std::string::npos);

        plug_new_modem();
        if (round == 1) {
            EXPECT_EQ(open_port(port).str("status"), "success");
        }
        expect_served_again("back" + std::to_string(round));
    }
    expect_no_growth();
    expect_clean_exit();
}

// The usual USB re-enumeration: the line hangs up under a waiting command
// and a new device appears at the same path before anyone looks. The
// monitor alone must bring the port back, with no client call in between.
TEST_F(Unplug, MonitorReopensAHungUpPortOnceANewModemIsThere)
{
    std::string port = path_of("ttyUSB4");
    add_modem("ttyUSB4");
    take_baseline();

    hang_up_under_a_command(1);
    plug_new_modem();
    // A port is examined every 30 s, in passes 5 s apart.
    ASSERT_TRUE(child_wait_output(env.daemon, true, "Successfully reopened port " + port + "\n", 45s));
    EXPECT_NE(tarnel_call(env, "list", "").json.find("\"is_open\":1"), std::string::npos);
    expect_served_again("monitor");

    expect_no_growth();
    expect_clean_exit();
}

// Removing the node closes the port at once and ends the command in flight
// as a timeout. A link that goes away while its device stays up (no hang-up)
// is no reset: the device still owes its answer, and once the node is back
// that late answer is published, never handed to the next caller, who gets
// its own.
TEST_F(Unplug, NodeRemovedDuringACommandKeepsItsDebt)
{
    add_modem("ttyUSB3");
    take_baseline();
    fake_modem *m = modems[0].get();
    event_listener listener;
    ASSERT_TRUE(listener.start(env));

    fake_modem_set_answer(m, "AT+SLOW", {});
    pending_call slow;
    ASSERT_TRUE(start_on_line(env.ctx, m, "AT+SLOW", 30, slow));
    ASSERT_EQ(fake_modem_unplug(m), 0);
    ASSERT_TRUE(call_finish(env.ctx, slow, 5000));
    EXPECT_EQ(slow.reply.str("status"), "timeout");

    ASSERT_EQ(fake_modem_replug(m), 0);
    EXPECT_TRUE(
        wait_until([&] { return tarnel_call(env, "list", "").json.find("\"is_open\":1") != std::string::npos; }));
    fake_modem_inject(m, "+SLOW: 1\r\nOK\r\n");
    ASSERT_TRUE(listener.wait_for("+SLOW: 1"));
    expect_served_again("again");
    bool late = false;
    for (const std::string &line : listener.lines())
        late = late || (line.find("+SLOW: 1") != std::string::npos && line.find("\"late\":true") != std::string::npos);
    EXPECT_TRUE(late);

    expect_no_growth();
    expect_clean_exit();
}

// The same, with a message text open when the node went and the caller
// closing the port before it came back: the close keeps what the port owed,
// and the next record, opened by the next caller, still reads the late
// answer as the old command's.
TEST_F(Unplug, ACloseAfterTheNodeWentKeepsTheDebt)
{
    add_modem("ttyUSB6");
    fake_modem *m = modems[0].get();
    event_listener listener;
    ASSERT_TRUE(listener.start(env));

    const std::string header = "+CMT: \"+15550100\",,\"26/12/09,10:00:00+04\"";
    fake_modem_set_answer(m, "AT+SLOW", {{0, "\r\n" + header + "\r\n"}});
    pending_call slow;
    ASSERT_TRUE(start_on_line(env.ctx, m, "AT+SLOW", 30, slow));
    ASSERT_TRUE(listener.wait_for("+CMT:"));
    ASSERT_EQ(fake_modem_unplug(m), 0);
    ASSERT_TRUE(call_finish(env.ctx, slow, 5000));
    EXPECT_EQ(slow.reply.str("status"), "timeout");
    EXPECT_EQ(call("close", "{\"at_port\":" + json_str(paths[0]) + "}").str("status"), "success");

    ASSERT_EQ(fake_modem_replug(m), 0);
    fake_modem_set_answer(m, "AT+TAG=B", {{0, "Hello\r\n\r\n+SLOW: 1\r\n\r\nOK\r\n"}, {100, tagged_answer("B")}});
    reply_fields b = sendat(paths[0], "\"at_cmd\":\"AT+TAG=B\"");
    EXPECT_EQ(b.str("status"), "success");
    EXPECT_EQ(response_lines(b.str("response")), (std::vector<std::string>{"AT+TAG=B", "+TAG: B", "OK"}))
        << b.str("response");
    EXPECT_TRUE(listener.wait_for("+SLOW: 1"));
    expect_clean_exit();
}

// A modem that resets while its port is closed comes back under the same
// device number (ttyUSB2 again; here the pseudo-terminal number the kernel
// hands out next). What the old one owed is not coming: the first command
// after the reset gets its own answer.
TEST_F(Unplug, ModemResetWhileClosedOwesNothing)
{
    std::string port = path_of("ttyUSB5");
    add_modem("ttyUSB5");
    fake_modem_set_answer(modems[0].get(), "AT+STUCK", {});
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+STUCK\",\"timeout\":1").str("status"), "timeout");
    EXPECT_EQ(call("close", "{\"at_port\":" + json_str(port) + "}").str("status"), "success");

    struct stat old_node, st;
    ASSERT_EQ(stat(port.c_str(), &old_node), 0);
    modems[0].reset();
    // The lowest free number comes next: the old one, unless another
    // process took it (or a lower one) meanwhile.
    std::vector<fake_modem_ptr> others;
    for (int tries = 0; tries < 16; tries++) {
        plug_new_modem();
        ASSERT_EQ(stat(port.c_str(), &st), 0);
        if (st.st_rdev == old_node.st_rdev)
            break;
        others.push_back(std::move(modems[0]));
    }
    if (st.st_rdev != old_node.st_rdev)
        GTEST_SKIP() << "the old device number was not handed out again";
    expect_served_again("fresh");
}
