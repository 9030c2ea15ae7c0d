// A port closed and opened again while the modem is still saying something:
// the next record finishes what the last one read, and what the modem owed
// before the close never costs the next record's callers their answers.
#include "tests/fault/fault_env.h"

class Reopen : public OneModemTest
{
protected:
    void close_port() { ASSERT_EQ(call("close", "{\"at_port\":" + json_str(port) + "}").str("status"), "success"); }
    void expect_own_csq()
    {
        reply_fields r = sendat(port, "\"at_cmd\":\"AT+CSQ\",\"timeout\":3");
        EXPECT_EQ(r.str("response"), "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n") << r.str("partial_response");
    }
    // A modem of its own at the port; escape_answer is what it says after
    // ESC ends a message text.
    void use_modem(const fake_modem_options &options)
    {
        modems.clear();
        modems.emplace_back(fake_modem_create(port, options));
        m = modems.back().get();
        ASSERT_TRUE(m);
    }
};

static std::string urc(const std::string &port, const std::string &line)
{
    return "{ \"tarnel.urc\": {\"port\":" + json_str(port) + ",\"line\":" + json_str(line) + "} }";
}

// Nothing was owed, but the modem was in the middle of a line, or between a
// delivered message's header and its text: the next record reads the rest
// as the same line, and the text (which says "OK") as the message's.
TEST_F(Reopen, LineOrMessageCutByACloseIsFinishedByTheNextRecord)
{
    // The rest is read before the next command's answer, which comes a
    // moment later, and is in its capture (as any unsolicited line is), but
    // no part of that answer.
    fake_modem_set_answer(m, "AT+CSQ", {{300, "+CSQ: 20,99\r\nOK\r\n"}});
    auto expect_csq_answered = [&] {
        reply_fields r = sendat(port, "\"at_cmd\":\"AT+CSQ\",\"timeout\":3");
        EXPECT_EQ(r.str("status"), "success");
        EXPECT_TRUE(r.str("response").ends_with("AT+CSQ\r\n+CSQ: 20,99\r\nOK\r\n")) << r.str("response");
    };
    event_listener listener;
    ASSERT_TRUE(listener.start(env));
    ASSERT_EQ(open_port(port).str("status"), "success");
    fake_modem_inject(m, "\r\nRING\r\n+CMTI: \"S");
    ASSERT_TRUE(listener.wait_for("RING"));
    close_port();
    fake_modem_inject(m, "M\",3\r\n");
    expect_csq_answered();
    EXPECT_TRUE(listener.wait_for(urc(port, "+CMTI: \"SM\",3")));

    const std::string cmt = "+CMT: \"+15550100\",,\"26/12/09,10:00:00+04\"";
    fake_modem_inject(m, "\r\n" + cmt + "\r\n");
    ASSERT_TRUE(listener.wait_for("26/12/09"));
    close_port();
    fake_modem_inject(m, "OK\r\n");
    expect_csq_answered();
    EXPECT_TRUE(listener.wait_for(urc(port, "OK")));
}

// A prompt given up on before a close: the next record's ESC finds a modem
// that already left its text and says nothing to it. The command that
// opened the port must not take its own answer for that ESC's.
TEST_F(Reopen, EscAtOpenToASilentModemCostsNoAnswer)
{
    use_modem({.escape_answer = ""});
    fake_modem_set_prompt(m, fake_modem_prompt::withhold);
    reply_fields sms = sendat(port, "\"at_cmd\":\"AT+CMGS=\\\"+15550100\\\"\",\"data\":\"hi\",\"timeout\":1");
    EXPECT_EQ(sms.str("status"), "timeout");
    close_port();
    fake_modem_clear_log(m);
    expect_own_csq();
    EXPECT_EQ(fake_modem_log(m).substr(0, 1), "\x1b");
}

// A command written after a prompt was given up on goes into the message
// text once that prompt comes: its answer is not coming, also when the
// port was closed before the prompt and a new record sees it.
TEST_F(Reopen, CommandSwallowedByALatePromptOwesNothingAfterAClose)
{
    use_modem({.echo = false, .escape_answer = ""});
    fake_modem_set_prompt(m, fake_modem_prompt::late, 3500);
    reply_fields sms = sendat(port, "\"at_cmd\":\"AT+CMGS=\\\"+15550100\\\"\",\"data\":\"hi\",\"timeout\":1");
    EXPECT_EQ(sms.str("status"), "timeout");
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CGMI\",\"timeout\":1").str("status"), "timeout");
    close_port();
    ASSERT_EQ(open_port(port).str("status"), "success");
    // The prompt came, took the AT+CGMI as text, and got ESC.
    ASSERT_TRUE(fake_modem_wait_log(
        m, [](const std::string &log) { return std::count(log.begin(), log.end(), '\x1b') >= 3; },
        std::chrono::seconds(10)));
    fake_modem_set_prompt(m, fake_modem_prompt::show);
    reply_fields r = sendat(port, "\"at_cmd\":\"AT+CSQ\",\"timeout\":3");
    EXPECT_EQ(r.str("response"), "\r\n+CSQ: 20,99\r\n\r\nOK\r\n") << r.str("partial_response");
}
