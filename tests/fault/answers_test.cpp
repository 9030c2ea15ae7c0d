// Every answer goes to the command it belongs to: late answers never end
// or fill a later command, and one device is never read by two records.
#include "tests/fault/fault_env.h"

using namespace std::chrono_literals;

class Answers : public FaultTest
{
protected:
    // After AT+SLOW stopped waiting (first: its other arguments) the next
    // command gets its own answer or a timeout, never the late "+SLOW"; the
    // one after works. With `close_between` the port is closed in between,
    // so the next command runs on a new record for the same device.
    void expect_own_answer_after_slow(fake_modem *m, const std::string &port, const std::string &first,
                                      bool close_between = false)
    {
        fake_modem_set_answer(m, "AT+SLOW", {{1500, "+SLOW: 1\r\nOK\r\n"}});
        reply_fields slow = sendat(port, first);
        EXPECT_NE(slow.str("status"), "error");
        if (close_between) {
            EXPECT_EQ(call("close", "{\"at_port\":" + json_str(port) + "}").str("status"), "success");
        }
        reply_fields next = sendat(port, "\"at_cmd\":\"AT+CSQ\"");
        std::string text = next.str("response") + next.str("partial_response");
        EXPECT_EQ(text.find("SLOW"), std::string::npos) << text;
        if (next.str("status") == "success") {
            EXPECT_NE(text.find("+CSQ: 20,99\r\n\r\nOK\r\n"), std::string::npos) << text;
        }
        std::string after = sendat(port, "\"at_cmd\":\"AT+CGMI\"").str("response");
        EXPECT_NE(after.find("Tarnel\r\n\r\nOK\r\n"), std::string::npos) << after;
        EXPECT_EQ(after.find("CSQ"), std::string::npos) << after;
    }
};

TEST_F(Answers, LateAnswerNeverReachesTheNextCommand)
{
    const std::string timed_out = "\"at_cmd\":\"AT+SLOW\",\"timeout\":1";
    struct {
        const char *what;
        fake_modem_options options;
        std::string first;
        bool close_between;
    } cases[] = {
        {"one command at a time", {}, timed_out, false},
        {"one command at a time, echo off", {.echo = false}, timed_out, false},
        {"echoes at once, answers late", {.echo_at_once = true}, timed_out, false},
        {"after a send-only command", {}, "\"at_cmd\":\"AT+SLOW\\r\",\"sendonly\":true", false},
        {"waited for an end flag the answer lacks", {}, timed_out + ",\"end_flag\":\"READY\"", false},
        {"completed on a line before the final result", {}, "\"at_cmd\":\"AT+SLOW\",\"end_flag\":\"+SLOW:\"", false},
        {"port closed and opened again", {}, timed_out, true},
        {"port closed and opened again, echo off", {.echo = false}, timed_out, true},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string port = path_of("tty" + std::to_string(n++));
        fake_modem_ptr m(fake_modem_create(port, c.options));
        ASSERT_TRUE(m);
        expect_own_answer_after_slow(m.get(), port, c.first, c.close_between);
    }
}

// A CR inside the text is a second command at the modem: its answer is
// owed, and never the next caller's.
TEST_F(Answers, CarriageReturnInsideACommandOwesTheSecondAnswer)
{
    std::string port = path_of("ttyUSB2");
    add_modem("ttyUSB2");
    for (const char *members :
         {"\"at_cmd\":\"AT+CSQ\\rAT+CGMI\"", "\"raw_at_content\":\"41542B4353510D41542B43474D490D0A\""}) {
        SCOPED_TRACE(members);
        reply_fields both = sendat(port, members);
        EXPECT_EQ(both.str("status"), "success");
        EXPECT_NE(both.str("response").find("+CSQ: 20,99"), std::string::npos);
        EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT\"").str("response"), "AT\r\r\nOK\r\n");
    }
}

// Modems that acknowledge the ESC of a cancelled prompt with OK, and ones
// that say nothing: either way the next command gets exactly its answer.
TEST_F(Answers, CancelledPromptsAcknowledgementIsSetAside)
{
    int n = 0;
    for (const char *ack : {"\r\nOK\r\n", ""}) {
        SCOPED_TRACE(ack);
        std::string port = path_of("tty" + std::to_string(n++));
        fake_modem_ptr m(fake_modem_create(port, {.escape_answer = ack}));
        ASSERT_TRUE(m);
        fake_modem_set_prompt(m.get(), fake_modem_prompt::withhold);
        reply_fields sms = sendat(port, "\"at_cmd\":\"AT+CMGS=\\\"+15550100\\\"\",\"data\":\"hi\",\"timeout\":1");
        EXPECT_EQ(sms.str("status"), "timeout");
        EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CSQ\"").str("response"), "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
        EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CGMI\"").str("response"), "AT+CGMI\r\r\nTarnel\r\n\r\nOK\r\n");
    }
}

// Answers longer than the capture area come back as their first part
// without holes, marked; a line longer than the line buffer is cut but its
// final result still ends the command; NUL bytes are left out.
TEST_F(Answers, LongAnswersLongLinesAndZeroBytes)
{
    std::string port = path_of("ttyUSB2");
    fake_modem *m = add_modem("ttyUSB2");
    std::string list;
    for (int i = 1; i <= 46; i++)
        list +=
            "+CMGL: " + std::to_string(i) + ",\"REC READ\",\"+15550100\"\r\n" + std::string(700, 'a' + i % 26) + "\r\n";
    list += "OK\r\n";
    fake_modem_set_answer(m, "AT+CMGL", {{0, list}});
    reply_fields all = sendat(port, "\"at_cmd\":\"AT+CMGL\"");
    EXPECT_EQ(all.str("status"), "success");
    EXPECT_EQ(all.str("end_flag_matched"), "OK");
    EXPECT_TRUE(all.has("truncated"));
    std::string whole = "AT+CMGL\r\n" + list, got = all.str("response");
    EXPECT_GT(got.size(), 30000u);
    EXPECT_EQ(whole.compare(0, got.size(), got), 0) << "the answer has a hole";
    EXPECT_EQ(all.num("response_length"), int64_t(got.size()));

    fake_modem_set_answer(m, "AT+LONG", {{0, "+LONG: " + std::string(40000, 'x') + "\r\nOK\r\n"}});
    reply_fields cut = sendat(port, "\"at_cmd\":\"AT+LONG\"");
    EXPECT_EQ(cut.str("status"), "success");
    EXPECT_EQ(cut.str("end_flag_matched"), "OK");
    EXPECT_TRUE(child_wait_output(env.daemon, false, "longer than 32767 bytes"));

    fake_modem_set_answer(m, "AT+NUL", {{0, std::string("+NUL: a\0b\r\n\0OK\r\n", 16)}});
    reply_fields nul = sendat(port, "\"at_cmd\":\"AT+NUL\"");
    EXPECT_EQ(nul.str("response"), "AT+NUL\r\n+NUL: ab\r\nOK\r\n");
    EXPECT_EQ(nul.num("response_length"), int64_t(nul.str("response").size()));
    EXPECT_FALSE(nul.has("truncated"));
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT\"").str("response"), "AT\r\r\nOK\r\n");
}

// An answer that never comes costs the next command its wait: that
// command's own answer is taken for the lost one, and after a moment in
// which nothing more comes the port is back in step.
TEST_F(Answers, OwedAnswerThatNeverComesCostsOneCommand)
{
    std::string port = path_of("ttyUSB2");
    fake_modem *m = add_modem("ttyUSB2");
    fake_modem_set_answer(m, "AT+NEVER", {});
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+NEVER\",\"timeout\":1").str("status"), "timeout");
    reply_fields paid = sendat(port, "\"at_cmd\":\"AT+CGMI\",\"timeout\":1");
    EXPECT_EQ(paid.str("status"), "timeout");
    EXPECT_EQ(paid.str("partial_response").find("Tarnel"), std::string::npos);
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CSQ\"").str("response"), "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
}

// Two commands in one call after an answer that never came: the first
// one's final result paid the lost answer (or was the late one), and the
// second completed the call. What the call still owes is in doubt: it must
// not be a debt that the next caller's own answer pays.
TEST_F(Answers, TwoCommandsAfterALostAnswerLeaveNoPhantomDebt)
{
    int n = 0;
    for (const char *lost : {"\"at_cmd\":\"AT+NEVER\",\"timeout\":1", "\"at_cmd\":\"AT+NEVER\\r\",\"sendonly\":true"}) {
        SCOPED_TRACE(lost);
        std::string port = path_of("tty" + std::to_string(n++));
        fake_modem_ptr m(fake_modem_create(port));
        ASSERT_TRUE(m);
        fake_modem_set_answer(m.get(), "AT+NEVER", {});
        EXPECT_NE(sendat(port, lost).str("status"), "error");
        EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CSQ\\rAT+CGMI\"").str("status"), "success");
        reply_fields next = sendat(port, "\"at_cmd\":\"AT+CGMI\",\"timeout\":3");
        EXPECT_EQ(next.str("response"), "AT+CGMI\r\r\nTarnel\r\n\r\nOK\r\n") << next.str("partial_response");
    }
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
