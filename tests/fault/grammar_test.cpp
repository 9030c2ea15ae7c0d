// The modem's grammar as callers meet it: final results are whole lines,
// message texts are data, unsolicited lines are published wherever they
// arrive, and nothing an earlier command is still owed completes a later one.
#include "tests/fault/fault_env.h"

using namespace std::chrono_literals;

class Grammar : public OneModemTest
{
protected:
    void expect_own_csq()
    {
        EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CSQ\"").str("response"), "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    }
};

static std::string urc(const std::string &port, const std::string &line)
{
    return "{ \"tarnel.urc\": {\"port\":" + json_str(port) + ",\"line\":" + json_str(line) + "} }";
}

// A text that says "OK" (or is nothing but "OK" or "ERROR") is the
// message's, not the modem's final result; a status report has no text,
// nor has the range a test command lists. The answers are scripted without
// framing, so the modem is one that does not frame its own answers either.
TEST_F(Grammar, MessageTextsNeverEndARead)
{
    fake_modem_options unframed;
    unframed.framed = false;
    std::string plain_port = path_of("ttyUSB3");
    fake_modem *plain = add_modem("ttyUSB3", unframed);
    ASSERT_TRUE(plain);
    const std::string header = "\"REC READ\",\"+15550100\",,\"26/12/09,10:00:00+04\"\r\n";
    // An unsolicited line, then an answer with a CR LF in front: no sign
    // that this modem frames its answers.
    fake_modem_set_answer(plain, "AT+CLCC", {{0, "\r\n+CLIP: \"+15550100\",145\r\n"}, {0, "\r\nOK\r\n"}});
    EXPECT_EQ(sendat(plain_port, "\"at_cmd\":\"AT+CLCC\"").str("status"), "success");
    // Each answer's last line comes a moment after the rest, as from a
    // modem that reads the message from its memory.
    const std::vector<std::pair<std::string, std::string>> reads = {
        {"AT+CMGR=1", "+CMGR: " + header + "OK, see you at 5\r\n"},
        {"AT+CMGL", "+CMGL: 1," + header + "OK\r\n+CMGL: 2," + header + "ERROR\r\n"},
        {"AT+CMGR=5", "+CMGR: \"REC READ\",6,77,\"+15550100\",129\r\n"},
        {"AT+CMGL=?", "+CMGL: (\"REC UNREAD\",\"REC READ\",\"STO UNSENT\",\"STO SENT\",\"ALL\")\r\n"},
        {"AT+CMGL=?", "+CMGL: (0-4)\r\n"},
    };
    for (const auto &[command, answer] : reads) {
        SCOPED_TRACE(command);
        fake_modem_set_answer(plain, command, {{0, answer}, {50, "OK\r\n"}});
        reply_fields r = sendat(plain_port, "\"at_cmd\":" + json_str(command));
        EXPECT_EQ(r.str("status"), "success");
        EXPECT_EQ(r.str("response"), command + "\r\n" + answer + "OK\r\n");
        EXPECT_EQ(sendat(plain_port, "\"at_cmd\":\"AT+CSQ\"").str("response"), "AT+CSQ\r\n+CSQ: 20,99\r\nOK\r\n");
    }
}

// A message delivered to the port, a ring and a call that ended, all in the
// middle of another command's answer: each is published at once (never as
// late), none ends the command, and the next caller gets its own answer.
TEST_F(Grammar, UnsolicitedLinesInsideAnAnswerArePublishedAndEndNothing)
{
    event_listener listener;
    ASSERT_TRUE(listener.start(env));
    const std::string cmt = "+CMT: \"+15550100\",,\"26/12/09,10:00:00+04\"";
    fake_modem_set_answer(m, "AT+COPS?",
                          {{0, cmt + "\r\nOK\r\n"},
                           {20, "RING\r\n+CMTI: \"SM\",3\r\nNO CARRIER\r\n"},
                           {20, "+COPS: 0,0,\"Tarnel\",7\r\nOK\r\n"}});
    reply_fields cops = sendat(port, "\"at_cmd\":\"AT+COPS?\"");
    EXPECT_EQ(cops.str("status"), "success");
    EXPECT_NE(cops.str("response").find("+COPS: 0,0,\"Tarnel\",7\r\nOK\r\n"), std::string::npos);
    expect_own_csq();

    // A new message while a timed-out answer is still owed is news too.
    fake_modem_set_answer(m, "AT+SLOW", {{1500, "+SLOW: 1\r\nOK\r\n"}});
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+SLOW\",\"timeout\":1").str("status"), "timeout");
    fake_modem_inject(m, "+CMTI: \"SM\",4\r\n");
    ASSERT_TRUE(listener.wait_for("+SLOW: 1"));
    std::vector<std::string> lines = listener.lines();
    for (const std::string &line : {cmt, std::string("OK"), std::string("RING"), std::string("+CMTI: \"SM\",3"),
                                    std::string("NO CARRIER"), std::string("+CMTI: \"SM\",4")})
        EXPECT_NE(std::find(lines.begin(), lines.end(), urc(port, line)), lines.end()) << line;
    expect_own_csq();
}

// A call that ended is NO CARRIER with blanks around it too: it ends only a
// dial, and a dial behind other basic commands on its line is one.
TEST_F(Grammar, NoCarrierEndsEveryDialAndNothingElse)
{
    for (const std::string ended : {" NO CARRIER", "\tNO CARRIER "}) {
        SCOPED_TRACE(ended);
        fake_modem_set_answer(m, "AT+COPS?", {{0, ended + "\r\n"}, {50, "+COPS: 0,0,\"Tarnel\",7\r\nOK\r\n"}});
        reply_fields cops = sendat(port, "\"at_cmd\":\"AT+COPS?\"");
        EXPECT_EQ(cops.str("end_flag_matched"), "OK");
        expect_own_csq();
    }
    for (const std::string dial : {"ATX4D+15550100;", "atl1m1d+15550100;", "ATS7=60&D2D+15550100;"}) {
        SCOPED_TRACE(dial);
        fake_modem_set_answer(m, dial, {{0, "NO CARRIER\r\n"}});
        reply_fields r = sendat(port, "\"at_cmd\":" + json_str(dial) + ",\"timeout\":3");
        EXPECT_EQ(r.str("end_flag_matched"), "NO CARRIER");
        expect_own_csq();
    }
}

// The echo of a command typed in lower case is an echo too: it holds the
// caller's own words, so it must not end the wait for them.
TEST_F(Grammar, LowerCaseEchoEndsNothing)
{
    fake_modem_set_answer(m, "at+qcfg=\"band\"", {{50, "+QCFG: \"band\",0x260,0x42000000000000381a\r\nOK\r\n"}});
    reply_fields r = sendat(port, "\"at_cmd\":\"at+qcfg=\\\"band\\\"\",\"end_flag\":\"band\"");
    EXPECT_EQ(r.str("status"), "success");
    EXPECT_NE(r.str("response").find("+QCFG: \"band\",0x260"), std::string::npos) << r.str("response");
}

// An answer still owed is set aside up to its own final result, even where
// its lines match the waiting command's end flag.
TEST_F(Grammar, OlderAnswerNeverCompletesANewerCommand)
{
    fake_modem_set_answer(m, "AT+CSQ", {{1500, "+CSQ: 5,99\r\nOK\r\n"}});
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CSQ\",\"timeout\":1").str("status"), "timeout");
    fake_modem_set_answer(m, "AT+CSQ", {{0, "+CSQ: 20,99\r\nOK\r\n"}});
    reply_fields r = sendat(port, "\"at_cmd\":\"AT+CSQ\",\"end_flag\":\"+CSQ:\"");
    EXPECT_EQ(r.str("status"), "success");
    EXPECT_EQ(r.str("response").find("5,99"), std::string::npos) << r.str("response");
    EXPECT_NE(r.str("response").find("+CSQ: 20,99"), std::string::npos) << r.str("response");
}

// BUSY, NO ANSWER, NO DIALTONE and CONNECT end a dial that names them, and
// count as its answer when it does not; NO CARRIER ends a dial by default.
TEST_F(Grammar, DialResultsAreTheDialsAnswer)
{
    fake_modem_set_answer(m, "ATD+15550100;", {{0, "BUSY\r\n"}});
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"ATD+15550100;\",\"timeout\":1").str("status"), "timeout");
    auto start = std::chrono::steady_clock::now();
    expect_own_csq();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << "the dial's BUSY was not taken for its answer";

    reply_fields named = sendat(port, "\"at_cmd\":\"ATD+15550100;\",\"end_flag\":\"OK,BUSY,NO ANSWER,NO CARRIER\"");
    EXPECT_EQ(named.str("end_flag_matched"), "BUSY");
    fake_modem_set_answer(m, "atd+15550100;", {{0, "NO CARRIER\r\n"}});
    reply_fields dropped = sendat(port, "\"at_cmd\":\"atd+15550100;\"");
    EXPECT_EQ(dropped.str("status"), "success");
    EXPECT_EQ(dropped.str("end_flag_matched"), "NO CARRIER");
    expect_own_csq();
}

// A modem busy with a message command ignores the ESC of a caller who gave
// up, and prompts later: that prompt gets ESC at once, so neither the
// command written meanwhile nor a later message's text is sent with it.
// Also when the port was closed in between and a new record has it.
TEST_F(Grammar, LatePromptIsCancelled)
{
    for (bool closed : {false, true}) {
        SCOPED_TRACE(closed ? "closed in between" : "kept open");
        ASSERT_NO_FATAL_FAILURE(record_messages({.echo = false, .escape_answer = "\r\nOK\r\n"}));
        fake_modem_set_prompt(m, fake_modem_prompt::late, 3500);
        reply_fields first = sendat(port, "\"at_cmd\":\"AT+CMGS=\\\"+15550100\\\"\",\"data\":\"first\",\"timeout\":1");
        EXPECT_EQ(first.str("status"), "timeout");
        if (closed) {
            ASSERT_EQ(call("close", "{\"at_port\":" + json_str(port) + "}").str("status"), "success");
        }
        // Written after the first gave up, before its prompt: message text.
        EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CGMI\",\"timeout\":3").str("status"), "timeout");
        fake_modem_set_prompt(m, fake_modem_prompt::show);
        reply_fields code =
            sendat(port, "\"at_cmd\":\"AT+CMGS=\\\"+15550200\\\"\",\"data\":\"Your code is 4711\",\"timeout\":5");
        EXPECT_EQ(code.str("status"), "success");
        EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CSQ\"").str("response"), "\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
        EXPECT_EQ(sent.taken(), std::vector<std::string>{"AT+CMGS=\"+15550200\"|Your code is 4711"});
    }
}

// While a given-up prompt may still come, a message text that starts with
// '>' is still a text, not that prompt.
TEST_F(Grammar, QuotingMessageTextIsNoLatePrompt)
{
    modems.clear();
    modems.emplace_back(fake_modem_create(port, {.escape_answer = ""}));
    m = modems.back().get();
    ASSERT_TRUE(m);
    // The modem took the ESC and said nothing: the prompt may yet come.
    fake_modem_set_prompt(m, fake_modem_prompt::withhold);
    reply_fields sms = sendat(port, "\"at_cmd\":\"AT+CMGS=\\\"+15550100\\\"\",\"data\":\"hi\",\"timeout\":1");
    EXPECT_EQ(sms.str("status"), "timeout");
    const std::string read = "+CMGR: \"REC READ\",\"+15550100\",,\"26/12/09,10:00:00+04\"\r\n> see below\r\n";
    fake_modem_set_answer(m, "AT+CMGR=1", {{0, read}, {50, "OK\r\n"}});
    reply_fields r = sendat(port, "\"at_cmd\":\"AT+CMGR=1\",\"timeout\":3");
    EXPECT_EQ(r.str("status"), "success");
    EXPECT_EQ(r.str("response"), "AT+CMGR=1\r\n" + read + "OK\r\n");
    expect_own_csq();
}

// Once an owed answer is set aside, the waiting command's capture starts
// again whole, however long that answer was.
TEST_F(Grammar, LongLateAnswerLeavesTheNextAnswerWhole)
{
    std::string list;
    for (int i = 1; i <= 60; i++)
        list += "+CMGL: " + std::to_string(i) + ",\"REC READ\",\"+15550100\"\r\n" + std::string(650, 'a') + "\r\n";
    fake_modem_set_answer(m, "AT+CMGL", {{1500, list + "OK\r\n"}});
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CMGL\",\"timeout\":1").str("status"), "timeout");
    reply_fields r = sendat(port, "\"at_cmd\":\"AT+CSQ\"");
    EXPECT_EQ(r.str("status"), "success");
    EXPECT_EQ(r.str("response"), "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    EXPECT_FALSE(r.has("truncated"));
}

// A command that the line would not take within its time is reported not
// sent, and nothing of it is left to join the next command; the answer to
// the fragment is nobody's. Also when the port was closed in between, right
// after the failure or after the next command (the modem answering both
// while the port is closed), and the next command came with a new record.
TEST_F(Grammar, GivenUpWriteLeavesNothingBehind)
{
    enum { KEPT_OPEN, CLOSED_AFTER_FAILURE, CLOSED_AFTER_NEXT };
    fake_modem_set_answer(m, "AT+CGMI", {{0, "Maker of the next one\r\nOK\r\n"}});
    for (int closing : {KEPT_OPEN, CLOSED_AFTER_FAILURE, CLOSED_AFTER_NEXT}) {
        SCOPED_TRACE("case " + std::to_string(closing));
        ASSERT_EQ(sendat(port, "\"at_cmd\":\"AT\"").str("status"), "success");
        fake_modem_clear_log(m);
        fake_modem_pause_reading(m, true);
        reply_fields big = sendat(port, "\"at_cmd\":\"AT+" + std::string(60000, 'X') + "\"");
        EXPECT_EQ(big.str("status"), "error");
        if (closing == CLOSED_AFTER_NEXT) {
            EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CGMI\",\"timeout\":1").str("status"), "timeout");
        }
        if (closing != KEPT_OPEN) {
            ASSERT_EQ(call("close", "{\"at_port\":" + json_str(port) + "}").str("status"), "success");
        }
        fake_modem_pause_reading(m, false);
        EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT\"").str("response"), "AT\r\r\nOK\r\n");
        std::string log = fake_modem_log(m);
        EXPECT_LT(std::count(log.begin(), log.end(), 'X'), 8192) << "the unsent rest reached the modem";
        std::string next = closing == CLOSED_AFTER_NEXT ? "\rAT+CGMI\r\n" : "\rAT\r\n";
        EXPECT_NE(log.find(next), std::string::npos) << "the next command joined the fragment";
    }
}

// A final result cut in two by a "close": its end reaches the next record,
// which must still take it as the final the first command owed, and not
// pay that debt with the next caller's answer.
TEST_F(Grammar, FinalCutByACloseStillPaysItsDebt)
{
    fake_modem_set_answer(m, "AT+CSQ", {{0, "+CSQ: 5,99\r\nO"}});
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CSQ\",\"end_flag\":\"+CSQ:\"").str("status"), "success");
    ASSERT_EQ(call("close", "{\"at_port\":" + json_str(port) + "}").str("status"), "success");
    fake_modem_inject(m, "K\r\n");
    fake_modem_set_answer(m, "AT+CSQ", {{0, "+CSQ: 20,99\r\nOK\r\n"}});
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CSQ\"").str("response"), "AT+CSQ\r\n+CSQ: 20,99\r\nOK\r\n");
}
