// Every answer goes to the command it belongs to: late answers never end
// or fill a later command, and one device is never read by two records.
#include "tests/fault/fault_env.h"

using namespace std::chrono_literals;

class Answers : public FaultTest
{
protected:
    // After a timed-out (or send-only) AT+SLOW the next command gets its own
    // answer or a timeout, never the late "+SLOW"; the one after works.
    void expect_own_answer_after_slow(fake_modem *m, const std::string &port, bool sendonly)
    {
        fake_modem_set_answer(m, "AT+SLOW", {{1500, "+SLOW: 1\r\nOK\r\n"}});
        reply_fields first = sendonly ? sendat(port, "\"at_cmd\":\"AT+SLOW\\r\",\"sendonly\":true")
                                      : sendat(port, "\"at_cmd\":\"AT+SLOW\",\"timeout\":1");
        EXPECT_EQ(first.str("status"), sendonly ? "success" : "timeout");
        reply_fields next = sendat(port, "\"at_cmd\":\"AT+CSQ\"");
        std::string text = next.str("response") + next.str("partial_response");
        EXPECT_EQ(text.find("SLOW"), std::string::npos) << text;
        if (next.str("status") == "success") {
            EXPECT_NE(text.find("+CSQ: 20,99\r\nOK\r\n"), std::string::npos) << text;
        }
        std::string after = sendat(port, "\"at_cmd\":\"AT+CGMI\"").str("response");
        EXPECT_NE(after.find("Tarnel\r\nOK\r\n"), std::string::npos) << after;
    }
};

TEST_F(Answers, LateAnswerNeverReachesTheNextCommand)
{
    struct {
        const char *what;
        fake_modem_options options;
        bool sendonly;
    } cases[] = {
        {"one command at a time", {}, false},
        {"one command at a time, echo off", {.echo = false}, false},
        {"echoes at once, answers late", {.echo_at_once = true}, false},
        {"after a send-only command", {}, true},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string port = path_of("tty" + std::to_string(n++));
        fake_modem_ptr m(fake_modem_create(port, c.options));
        ASSERT_TRUE(m);
        expect_own_answer_after_slow(m.get(), port, c.sendonly);
    }
}

TEST_F(Answers, OwedAnswerThatNeverComesCostsOneCommand)
{
    std::string port = path_of("ttyUSB2");
    fake_modem *m = add_modem("ttyUSB2");
    fake_modem_set_answer(m, "AT+NEVER", {});
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+NEVER\",\"timeout\":1").str("status"), "timeout");
    reply_fields paid = sendat(port, "\"at_cmd\":\"AT+CSQ\",\"timeout\":1");
    EXPECT_EQ(paid.str("status"), "timeout");
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CSQ\"").str("response"), "AT+CSQ\r\n+CSQ: 20,99\r\nOK\r\n");
}

TEST_F(Answers, OneDeviceIsOpenUnderOneRecordOnly)
{
    std::string port = path_of("ttyUSB2");
    fake_modem *m = add_modem("ttyUSB2");
    std::string dotted = env.dir.file("./ttyUSB2"), beside = path_of("modem-at");
    ASSERT_EQ(symlink(fake_modem_slave_name(m).c_str(), beside.c_str()), 0);
    ASSERT_EQ(open_port(port).str("status"), "success");
    for (const std::string &other : {dotted, beside}) {
        reply_fields r = open_port(other);
        EXPECT_EQ(r.text,
                  (std::map<std::string, std::string>{{"status", "error"}, {"message", "Failed to open port"}}));
        EXPECT_TRUE(child_wait_output(env.daemon, false,
                                      "Failed to open " + other + ": device already open as " + port + "\n"));
    }
    EXPECT_EQ(call("close", "{\"at_port\":" + json_str(port) + "}").str("status"), "success");
    EXPECT_EQ(open_port(beside).str("status"), "success");
    EXPECT_EQ(sendat(beside, "\"at_cmd\":\"AT+CSQ\"").str("status"), "success");
}

TEST_F(Answers, HangUpEndsALongCommandAtOnce)
{
    fake_modem *m = add_modem("ttyUSB2");
    fake_modem_set_answer(m, "AT+LONG", {});
    pending_call call;
    ASSERT_TRUE(start_on_line(env.ctx, m, "AT+LONG", 60, call));
    auto start = std::chrono::steady_clock::now();
    fake_modem_hangup(m);
    ASSERT_TRUE(call_finish(env.ctx, call, 30000));
    EXPECT_EQ(call.reply.str("status"), "timeout");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}
