// Where an answer starts and what is inside it: a command's answer starts at
// its echo, a message or USSD text is text to its end whatever its lines
// say, echoes and answers are never news, and the vendors' unsolicited lines
// are news wherever they arrive.
#include "tests/fault/fault_env.h"
#include "tests/support/wait_until.h"

#include <algorithm>
#include <mutex>

using namespace std::chrono_literals;

namespace
{

using lines = std::vector<std::string>;

lines first_lines(const lines &all, size_t n)
{
    return lines(all.begin(), all.begin() + std::min(n, all.size()));
}

std::string urc(const std::string &port, const std::string &line)
{
    return "{ \"tarnel.urc\": {\"port\":" + json_str(port) + ",\"line\":" + json_str(line) + "} }";
}

const std::string CMT = "+CMT: \"+15550100\",,\"26/12/09,10:00:00+04\"";
const std::string COPS = "+COPS: 0,0,\"Tarnel\",7";
const std::string COPS_ANSWER = "\r\n" + COPS + "\r\n\r\nOK\r\n";

class Anchor : public OneModemTest
{
protected:
    event_listener listener;

    void SetUp() override
    {
        OneModemTest::SetUp();
        ASSERT_TRUE(listener.start(env));
    }

    // One answer framed as V.250 frames it: the port is seen to frame.
    void make_framing() { expect_own("AT+CSQ", "+CSQ: 20,99"); }

    // The next command's echo waits behind a silent 1.5 s in the modem's
    // queue, so that bytes injected as soon as the command reached the
    // modem come to the daemon while it waits, before that echo.
    void hold_next_echo()
    {
        fake_modem_set_answer(m, "AT+HOLD", {{0, "\r\nOK\r\n"}, {1500, ""}});
        ASSERT_EQ(sendat(port, "\"at_cmd\":\"AT+HOLD\"").str("status"), "success");
    }

    // Starts a sendat of command and returns once the modem has read it.
    bool start_waiting(pending_call &call, const std::string &command, const std::string &more = "")
    {
        fake_modem_clear_log(m);
        std::string args =
            "{\"at_port\":" + json_str(port) + ",\"at_cmd\":" + json_str(command) + ",\"timeout\":5" + more + "}";
        return call_start(env.ctx, env.tarnel_id, "sendat", args, call) &&
               fake_modem_wait_log_contains(m, command + "\r", 10s);
    }

    // Events published as `line`, exactly as news.
    int news(const std::string &line)
    {
        lines all = listener.lines();
        return int(std::count(all.begin(), all.end(), urc(port, line)));
    }
    void expect_text_runs_to_its_empty_line(const lines &text);
    // The lines were published one after the other, each as news.
    bool published_in_a_row(const lines &text)
    {
        lines expected, all = listener.lines();
        for (const std::string &line : text)
            expected.push_back(urc(port, line));
        return std::search(all.begin(), all.end(), expected.begin(), expected.end()) != all.end();
    }
};

} // namespace

// A message text on a framing port runs to the empty line in front of the
// final result: an "OK" or "RING" inside it ends no read and no wait, and
// the lines of a delivered text are published, none in a waiting answer.
TEST_F(Anchor, MessageTextsRunToTheirEmptyLine)
{
    make_framing();
    const std::string header = "+CMGR: \"REC READ\",\"+15550100\",,\"26/12/09,10:00:00+04\"";
    fake_modem_set_answer(m, "AT+CMGR=3",
                          {{0, "\r\n" + header + "\r\nDinner at 8?\r\nOK\r\n"}, {30, "Bring the wine\r\n\r\nOK\r\n"}});
    reply_fields read = sendat(port, "\"at_cmd\":\"AT+CMGR=3\"");
    EXPECT_EQ(read.str("status"), "success");
    EXPECT_EQ(response_lines(read.str("response")),
              (lines{"AT+CMGR=3", header, "Dinner at 8?", "OK", "Bring the wine", "OK"}));
    expect_own("AT+CSQ", "+CSQ: 20,99");
    expect_own_answers({"C", "D"});

    // Delivered while B waits on its answer, behind its echo (scripted so,
    // for a fixed order): a text whose second line is "OK", then one whose
    // second line is "RING" (published as the text line it is: the event
    // says just "RING" either way, so the text must go on behind it).
    const std::pair<lines, std::string> delivered[] = {{{"See you at 5", "OK"}, "See you at 5"},
                                                       {{"Call me", "RING", "or text me"}, "or text me"}};
    for (const auto &[text, last] : delivered) {
        SCOPED_TRACE(last);
        std::string bytes = "\r\n" + CMT + "\r\n";
        for (const std::string &line : text)
            bytes += line + "\r\n";
        fake_modem_set_answer(m, "AT+COPS?", {{0, bytes}, {30, COPS_ANSWER}});
        reply_fields b = sendat(port, "\"at_cmd\":\"AT+COPS?\"");
        EXPECT_EQ(b.str("status"), "success");
        lines got = response_lines(b.str("response"));
        EXPECT_NE(std::find(got.begin(), got.end(), COPS), got.end()) << b.str("response");
        EXPECT_TRUE(listener.wait_for(json_str(last)));
        lines event_lines{CMT};
        event_lines.insert(event_lines.end(), text.begin(), text.end());
        EXPECT_TRUE(published_in_a_row(event_lines));
        expect_own_answers({"C"});
    }
    EXPECT_EQ(news("RING"), 1);

    // Three lines delivered before B's echo, a "+CMTI:" inside: all
    // published, none in B's answer.
    const lines text{"Line one", "+CMTI: \"SM\",4", "Line three"};
    fake_modem_set_answer(m, "AT+COPS?", {{0, COPS_ANSWER}});
    hold_next_echo();
    pending_call b;
    ASSERT_TRUE(start_waiting(b, "AT+COPS?"));
    fake_modem_inject(m, "\r\n" + CMT + "\r\n" + text[0] + "\r\n" + text[1] + "\r\n" + text[2] +
                             "\r\n\r\n+CIEV: \"MESSAGE\",1\r\n");
    ASSERT_TRUE(call_finish(env.ctx, b, 10000));
    EXPECT_EQ(b.reply.str("status"), "success");
    EXPECT_EQ(response_lines(b.reply.str("response")), (lines{"AT+COPS?", COPS, "OK"}));
    EXPECT_TRUE(listener.wait_for("MESSAGE"));
    EXPECT_TRUE(published_in_a_row({CMT, text[0], text[1], text[2], "+CIEV: \"MESSAGE\",1"}));
}

// A USSD text whose quote is left open goes on to its closing quote, each
// line published; a "+CUSD:" is news also while "AT+CUSD=1,..." waits.
TEST_F(Anchor, UssdTextsRunToTheirClosingQuote)
{
    const lines ussd{"+CUSD: 0,\"Balance 5.00 EUR", "Valid until 31.12.", "Bonus 1.00 EUR", "Thank you\",15"};
    std::string bytes = "\r\n";
    for (const std::string &line : ussd)
        bytes += line + "\r\n";
    fake_modem_set_answer(m, "AT+COPS?", {{0, COPS_ANSWER}});
    hold_next_echo();
    pending_call b;
    ASSERT_TRUE(start_waiting(b, "AT+COPS?"));
    fake_modem_inject(m, bytes);
    ASSERT_TRUE(call_finish(env.ctx, b, 10000));
    EXPECT_EQ(response_lines(b.reply.str("response")), (lines{"AT+COPS?", COPS, "OK"}));
    EXPECT_TRUE(listener.wait_for("Thank you"));
    EXPECT_TRUE(published_in_a_row(ussd));

    const std::string command = "AT+CUSD=1,\"*100#\",15", answer = "+CUSD: 0,\"Your balance is 5.00 EUR\",15";
    fake_modem_set_answer(m, command, {{0, "\r\nOK\r\n"}});
    hold_next_echo();
    ASSERT_TRUE(start_waiting(b, command));
    fake_modem_inject(m, "\r\n" + answer + "\r\n");
    ASSERT_TRUE(call_finish(env.ctx, b, 10000));
    EXPECT_EQ(b.reply.str("status"), "success");
    EXPECT_EQ(response_lines(b.reply.str("response")), (lines{command, "OK"}));
    EXPECT_TRUE(listener.wait_for("Your balance"));
    EXPECT_EQ(news(answer), 1);
    expect_own_answers({"C"});
}

// Ten commands in one call are answered one by one: the call gets the
// first answer, the rest are published, and no echo ever is, also where
// the command text looks like an unsolicited line (the modem echoes it and
// answers ERROR).
TEST_F(Anchor, EchoesAreNeverNews)
{
    std::string many;
    for (int i = 1; i <= 10; i++) {
        std::string command = "AT+TAG=" + std::to_string(i);
        fake_modem_set_answer(m, command, {{20, "\r\n+TAG: " + std::to_string(i) + "\r\n\r\nOK\r\n"}});
        many += (i > 1 ? "\r" : "") + command;
    }
    reply_fields a = sendat(port, "\"at_cmd\":" + json_str(many));
    EXPECT_EQ(a.str("status"), "success");
    lines got = response_lines(a.str("response"));
    EXPECT_EQ(first_lines(got, 3), (lines{"AT+TAG=1", "+TAG: 1", "OK"}));
    EXPECT_TRUE(listener.wait_for("+TAG: 10"));
    expect_own_answers({"B", "C"});
    for (int i = 2; i <= 10; i++)
        EXPECT_EQ(listener.mentions("+TAG: " + std::to_string(i)), 1) << i;

    for (const std::string command : {"+CMTI: \"SM\",99", "RING"}) {
        reply_fields r = sendat(port, "\"at_cmd\":" + json_str(command));
        EXPECT_EQ(r.str("end_flag_matched"), "ERROR") << command;
    }
    expect_own_answers({"D"});
    fake_modem_inject(m, "\r\n+CIEV: 9,9\r\n");
    ASSERT_TRUE(listener.wait_for("+CIEV: 9,9"));
    for (const std::string &event : listener.lines()) {
        EXPECT_EQ(event.find("\"line\":\"AT"), std::string::npos) << event;
        EXPECT_EQ(event.find("CMTI"), std::string::npos) << event;
        EXPECT_EQ(event.find("RING"), std::string::npos) << event;
    }
}

// A prompt command sent without data that gets no further than "> " is
// left with ESC before anyone else's command, so neither the next command
// nor the next message's text becomes its text; and a prompt opened by one
// bus client takes no text from another.
TEST_F(Anchor, PromptLeftOpenTakesNothingFromOthers)
{
    ASSERT_NO_FATAL_FAILURE(record_messages());

    fake_modem_set_answer(m, "AT+CMGS=\"+15550100\"", {{0, "\r\n> "}});
    reply_fields left = sendat(port, "\"at_cmd\":\"AT+CMGS=\\\"+15550100\\\"\",\"timeout\":1");
    EXPECT_EQ(left.str("status"), "timeout");
    expect_own("AT+CSQ", "+CSQ: 20,99");
    // One ESC, before B's command: the "> " had come before it, so it is
    // no late prompt, and B's command is no message text.
    std::string log = fake_modem_log(m);
    size_t esc = log.find('\x1b'), csq = log.find("AT+CSQ\r");
    EXPECT_NE(esc, std::string::npos) << json_str(log);
    EXPECT_LT(esc, csq) << json_str(log);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\x1b'), 1) << json_str(log);
    reply_fields c =
        sendat(port, "\"at_cmd\":\"AT+CMGS=\\\"+15550199\\\"\",\"data\":\"Your code is 4711\",\"timeout\":5");
    EXPECT_EQ(c.str("status"), "success");
    EXPECT_EQ(c.num("data_sent"), 1);
    EXPECT_EQ(sent.taken(), lines{"AT+CMGS=\"+15550199\"|Your code is 4711"});

    // Client 1 opens the prompt by hand; client 2's text is refused (once
    // the prompt's hold for client 1 is over) and never reaches the modem.
    fake_modem_clear_log(m);
    reply_fields open = sendat(port, "\"at_cmd\":\"AT+CMGS=\\\"+1555\\\"\\r\",\"sendonly\":true");
    EXPECT_EQ(open.str("status"), "success");
    context_ptr other(ubus_connect(env.sock.c_str()));
    ASSERT_TRUE(other);
    reply_fields text = call_now(other.get(), env.tarnel_id, "sendat",
                                 "{\"at_port\":" + json_str(port) + ",\"at_cmd\":\"Hello\\u001a\",\"sendonly\":true}");
    EXPECT_EQ(text.text, (std::map<std::string, std::string>{
                             {"status", "error"}, {"message", "Invalid AT command: use data for message text"}}));
    EXPECT_TRUE(fake_modem_wait_log_contains(m, "AT+CMGS=\"+1555\"\r\x1b", 10s)) << fake_modem_log(m);
    EXPECT_EQ(fake_modem_log(m).find("Hello"), std::string::npos) << fake_modem_log(m);
    EXPECT_EQ(sent.taken().size(), 1u);
}

// A line before a command's echo is none of its answer, even where it
// matches its end flag; the vendors' unsolicited lines are news, once and
// never late, while a command waits and while an answer is owed; and after
// a modem's reset burst the next command is answered.
TEST_F(Anchor, LinesBeforeTheEchoAndVendorLines)
{
    fake_modem_set_answer(m, "AT+CPIN?", {{0, "\r\n+CPIN: READY\r\n\r\nOK\r\n"}});
    hold_next_echo();
    pending_call a;
    ASSERT_TRUE(start_waiting(a, "AT+CPIN?", ",\"end_flag\":\"READY\""));
    fake_modem_inject(m, "\r\n+CPIN: NOT READY\r\n");
    ASSERT_TRUE(call_finish(env.ctx, a, 10000));
    EXPECT_EQ(a.reply.str("status"), "success");
    lines got = response_lines(a.reply.str("response"));
    EXPECT_EQ(first_lines(got, 2), (lines{"AT+CPIN?", "+CPIN: READY"}));
    EXPECT_EQ(a.reply.str("response").find("NOT READY"), std::string::npos) << a.reply.str("response");
    expect_own_answers({"B"});

    const lines vendor{"+QIND: \"csq\",20,99",
                       "POWERED DOWN",
                       "+QUSIM: 1",
                       "^RSSI:18",
                       "^MODE:17,8",
                       "^HCSQ:\"LTE\",50,40,150,25",
                       "^BOOT:12345678,0,0,0,72",
                       "SMS Ready",
                       "Call Ready",
                       "PB DONE",
                       "+CPIN: READY",
                       "+CFUN: 1"};
    std::string bytes;
    for (const std::string &line : vendor)
        bytes += "\r\n" + line + "\r\n";
    // While a command waits, behind its echo.
    fake_modem_set_answer(m, "AT+COPS?", {{0, bytes}, {0, COPS_ANSWER}});
    reply_fields b = sendat(port, "\"at_cmd\":\"AT+COPS?\"");
    got = response_lines(b.str("response"));
    EXPECT_EQ(got.empty() ? "" : got.back(), "OK");
    EXPECT_NE(std::find(got.begin(), got.end(), COPS), got.end()) << b.str("response");
    // While a timed-out command's answer is owed.
    fake_modem_set_answer(m, "AT+SLOW", {});
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+SLOW\",\"timeout\":1").str("status"), "timeout");
    fake_modem_inject(m, bytes + "\r\n+SLOW: 1\r\n\r\nOK\r\n");
    ASSERT_TRUE(listener.wait_for("+SLOW: 1"));
    for (const std::string &line : vendor) {
        EXPECT_EQ(news(line), 2) << line;
        EXPECT_EQ(listener.mentions(line), 2) << line;
    }
    expect_own_answers({"C"});

    // The modem resets while a timed-out answer is owed: it forgot that
    // command, and its start-up lines are news.
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+SLOW\",\"timeout\":1").str("status"), "timeout");
    const lines burst{"RDY", "+CFUN: 1", "+CPIN: READY", "SMS DONE"};
    fake_modem_inject(m, "\r\nRDY\r\n\r\n+CFUN: 1\r\n\r\n+CPIN: READY\r\n\r\nSMS DONE\r\n");
    ASSERT_TRUE(listener.wait_for("SMS DONE"));
    EXPECT_TRUE(published_in_a_row(burst));
    expect_own_answers({"D"});
}

// A fresh port does not know yet whether the modem echoes. Its first
// command goes out as the modem powers down and is never read; the restart
// comes while it waits. The next command's echo shows it lost, so the next
// answer is that command's own. A command whose echo came before the
// restart is not answered either, and one never echoed has no partial answer.
TEST_F(Anchor, ACommandLostInARestartOnAFreshPortOwesNothing)
{
    // The modem never answers `command`; `bytes` come while it waits,
    // behind its echo (scripted so, for a fixed order).
    auto unanswered = [&](const std::string &command, const std::string &bytes, bool echoed) {
        fake_modem_set_echo(m, echoed);
        fake_modem_set_answer(m, command, {{0, bytes}});
        pending_call call;
        EXPECT_TRUE(start_waiting(call, command, ",\"timeout\":1"));
        EXPECT_TRUE(call_finish(env.ctx, call, 10000));
        fake_modem_set_echo(m, true);
        EXPECT_EQ(call.reply.str("status"), "timeout") << command;
        return call.reply;
    };
    unanswered("AT+GONE", "\r\nRDY\r\n", false);
    expect_own_answers({"B", "C"});

    // Read and echoed, and then forgotten as the modem restarts.
    unanswered("AT+FORGOT", "\r\nRDY\r\n", true);
    expect_own_answers({"E", "F"});

    // Never echoed: nothing that came while it waited was its answer.
    reply_fields silent = unanswered("AT+SILENT", "\r\n+OTHER: 1\r\n", false);
    EXPECT_FALSE(silent.has("partial_response")) << silent.str("partial_response");
    expect_own_answers({"H"});
}

// A command read a message and timed out before its answer; the port is
// closed and opened again, and the answer comes while the next command
// waits for its echo. The new record reads it as the old one would have: a
// framing port's message text runs to its empty line.
TEST_F(Anchor, ALateAnswerAfterAReopenIsReadAsBefore)
{
    make_framing();
    fake_modem_set_answer(m, "AT+CMGR=3", {});
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CMGR=3\",\"timeout\":1").str("status"), "timeout");
    EXPECT_EQ(call("close", "{\"at_port\":" + json_str(port) + "}").str("status"), "success");
    EXPECT_EQ(open_port(port).str("status"), "success");

    fake_modem_set_echo(m, false);
    fake_modem_set_answer(m, "AT+TAG=B", {});
    pending_call b;
    ASSERT_TRUE(start_waiting(b, "AT+TAG=B"));
    fake_modem_inject(m, "\r\n+CMGR: \"REC READ\",\"+15550100\",,\"26/12/09,10:00:00+04\"\r\nSee you\r\nOK\r\n"
                         "\r\nOK\r\n");
    fake_modem_inject(m, "AT+TAG=B\r\r\n+TAG: B\r\n\r\nOK\r\n");
    ASSERT_TRUE(call_finish(env.ctx, b, 10000));
    EXPECT_EQ(b.reply.str("status"), "success");
    EXPECT_EQ(response_lines(b.reply.str("response")), (lines{"AT+TAG=B", "+TAG: B", "OK"})) << b.reply.str("response");
    fake_modem_set_echo(m, true);
    expect_own_answers({"C"});

    // Never read, and the port opened again while it was owed: the next
    // echo still shows it lost.
    fake_modem_set_echo(m, false);
    fake_modem_set_answer(m, "AT+LOST", {});
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+LOST\",\"timeout\":1").str("status"), "timeout");
    fake_modem_set_echo(m, true);
    EXPECT_EQ(open_port(port).str("status"), "success");
    expect_own_answers({"D"});
}

// Just opened, the port does not know yet whether the modem echoes. An old
// answer nobody on this record owes arrives as the next command is read,
// with the modem's echoes right behind it: it shows the modem echoes, so
// that "OK" is nobody's, and the command's answer starts at its own echo.
TEST_F(Anchor, AnOldAnswerAfterAnOpenIsNobodysWhenEchoesFollowIt)
{
    EXPECT_EQ(open_port(port).str("status"), "success");
    // Scripted as one chunk, echo included, for a fixed order.
    fake_modem_set_echo(m, false);
    fake_modem_set_answer(m, "AT+TAG=B",
                          {{0, "\r\nOK\r\nAT+OLD\r\r\n+OLD: 1\r\n\r\nOK\r\n"
                               "AT+TAG=B\r\r\n+TAG: B\r\n\r\nOK\r\n"}});
    reply_fields b = sendat(port, "\"at_cmd\":\"AT+TAG=B\"");
    fake_modem_set_echo(m, true);
    EXPECT_EQ(b.str("status"), "success");
    EXPECT_EQ(response_lines(b.str("response")), (lines{"AT+TAG=B", "+TAG: B", "OK"})) << b.str("response");
    EXPECT_EQ(listener.mentions("AT+OLD"), 0) << "an echo was published";
    expect_own_answers({"C", "D"});
}

// On a port known to frame: a text delivered while B waits on "AT+COPS?"
// runs to its empty line, whatever its lines say; B gets its own answer,
// and every text line is news, in order.
void Anchor::expect_text_runs_to_its_empty_line(const lines &text)
{
    std::string bytes = "\r\n" + CMT + "\r\n";
    for (const std::string &line : text)
        bytes += line + "\r\n";
    fake_modem_set_answer(m, "AT+COPS?", {{0, bytes + "\r\n" + COPS_ANSWER}});
    reply_fields b = sendat(port, "\"at_cmd\":\"AT+COPS?\"");
    EXPECT_EQ(b.str("status"), "success");
    lines got = response_lines(b.str("response"));
    EXPECT_NE(std::find(got.begin(), got.end(), COPS), got.end())
        << "a text line ended the wait: " << b.str("response");
    EXPECT_TRUE(listener.wait_for(urc(port, text.back())));
    lines events = {CMT};
    events.insert(events.end(), text.begin(), text.end());
    EXPECT_TRUE(published_in_a_row(events));
    expect_own_answers({"C"});
}

// An answer shows that the port frames even with unsolicited lines between
// its empty line and its final result; a delivered text that follows then
// runs to its empty line, and its "OK" ends nobody's wait.
TEST_F(Anchor, FramingShowsThroughUnsolicitedLines)
{
    fake_modem_set_answer(m, "AT+CSQ", {{0, "\r\n+CSQ: 20,99\r\n\r\nRING\r\n\r\n+CREG: 1\r\n\r\nOK\r\n"}});
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CSQ\"").str("status"), "success");
    expect_text_runs_to_its_empty_line({"See you", "OK"});
}

// A "close" and "open" ask the same modem, which frames as it did: the next
// record runs a delivered text to its empty line from the first message on.
TEST_F(Anchor, TheNextRecordKnowsTheFraming)
{
    fake_modem_set_answer(m, "AT+CSQ", {{0, "\r\n+CSQ: 20,99\r\n\r\nOK\r\n"}});
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CSQ\"").str("status"), "success");
    ASSERT_EQ(call("close", "{\"at_port\":" + json_str(port) + "}").str("status"), "success");
    expect_text_runs_to_its_empty_line({"See you", "OK", "Bye"});
}

// A node made anew under the old device number is another device, though
// the record that waited for its path finds the number it had: here a modem
// that does not frame, with echo off. What the old modem showed of its
// framing is not this one's: a delivered text is one line, and the answer
// behind it is the command's.
TEST_F(Anchor, ANodeMadeAnewUnderTheOldNumberForgetsTheFraming)
{
    make_framing();
    const std::string slave = fake_modem_slave_name(m);
    // The link goes while its device stays up: the record waits for the node.
    ASSERT_EQ(fake_modem_unplug(m), 0);
    ASSERT_TRUE(
        wait_until([&] { return tarnel_call(env, "list", "").json.find("\"is_open\":0") != std::string::npos; }));
    modems[0].reset(); // the device goes too, and frees its number
    fake_modem_options plain;
    plain.framed = false;
    plain.echo = false;
    modems[0].reset(fake_modem_create(port, plain));
    m = modems[0].get();
    ASSERT_TRUE(m);
    if (fake_modem_slave_name(m) != slave)
        GTEST_SKIP() << "the new device has another number: " << fake_modem_slave_name(m);
    ASSERT_EQ(call("open", "{\"at_port\":" + json_str(port) + "}").str("status"), "success");
    fake_modem_inject(m, CMT + "\r\nHello\r\n");
    ASSERT_TRUE(listener.wait_for(urc(port, "Hello")));
    reply_fields r = sendat(port, "\"at_cmd\":\"AT+CSQ\",\"timeout\":3");
    EXPECT_EQ(r.str("status"), "success") << "the text took the answer: " << r.str("partial_response");
    EXPECT_EQ(response_lines(r.str("response")), (lines{"+CSQ: 20,99", "OK"})) << r.str("response");
}

// What a device holds when a record opens it was sent before that record
// wrote anything: a final result in it (here the last line of a delivered
// text, read as one line on a record that has not seen the framing yet) is
// no answer of the first command, which gets its own.
TEST_F(Anchor, WhatTheDeviceHeldAtItsOpenIsNoAnswer)
{
    const std::string port_arg = "{\"at_port\":" + json_str(port) + "}";
    // Opened by the first command, then by an "open" with one queued behind.
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        expect_own_answers({"A"});
        ASSERT_EQ(call("close", port_arg).str("status"), "success");
        std::string text = "See you " + std::to_string(round);
        fake_modem_inject(m, "\r\n+CBM: 4370,1,1,1\r\n" + text + "\r\nOK\r\n\r\n");
        ASSERT_TRUE(fake_modem_wait_sent(m, 10s));
        fake_modem_set_answer(m, "AT+TAG=B", {{100, "\r\n+TAG: B\r\n\r\nOK\r\n"}});
        pending_call open;
        if (round == 1) {
            ASSERT_TRUE(call_start(env.ctx, env.tarnel_id, "open", port_arg, open));
        }
        reply_fields b = sendat(port, "\"at_cmd\":\"AT+TAG=B\"");
        EXPECT_EQ(b.str("status"), "success");
        EXPECT_EQ(response_lines(b.str("response")), (lines{"AT+TAG=B", "+TAG: B", "OK"})) << b.str("response");
        if (round == 1) {
            ASSERT_TRUE(call_finish(env.ctx, open, 10000));
        }
        EXPECT_TRUE(listener.wait_for(text));
        expect_own_answers({"C"});
    }
}

// A command read while echo was off is never echoed: when a later echo
// comes, its answer is still owed and comes in turn, to nobody else. Here
// the command turns echo on itself and answers after its caller gave up.
TEST_F(Anchor, ACommandReadWithEchoOffKeepsItsLateAnswer)
{
    fake_modem_set_echo(m, false);
    fake_modem_set_answer(m, "ATE0", {{0, "\r\nOK\r\n"}});
    ASSERT_EQ(sendat(port, "\"at_cmd\":\"ATE0\"").str("status"), "success");
    fake_modem_set_answer(m, "ATE1+SLOW", {});
    pending_call a;
    ASSERT_TRUE(start_waiting(a, "ATE1+SLOW", ",\"timeout\":1"));
    ASSERT_TRUE(call_finish(env.ctx, a, 10000));
    EXPECT_EQ(a.reply.str("status"), "timeout");
    // Echo is on now: C's echo comes at once, ahead of A's answer.
    fake_modem_set_answer(m, "AT+TAG=C", {{800, "\r\n+TAG: C\r\n\r\nOK\r\n"}});
    pending_call c;
    ASSERT_TRUE(start_waiting(c, "AT+TAG=C"));
    fake_modem_inject(m, "AT+TAG=C\r\r\n+SLOW: 1\r\n\r\nOK\r\n");
    ASSERT_TRUE(call_finish(env.ctx, c, 10000));
    EXPECT_EQ(c.reply.str("status"), "success");
    EXPECT_EQ(response_lines(c.reply.str("response")), (lines{"AT+TAG=C", "+TAG: C", "OK"})) << c.reply.str("response");
    fake_modem_set_echo(m, true);
    expect_own_answers({"D"});
}

// A restart while a command waits behind an older answer: what had come of
// that answer is not the waiting command's, and is published, not lost.
TEST_F(Anchor, ARestartBehindAnOlderAnswerLeavesItsLinesToNobody)
{
    fake_modem_set_answer(m, "AT+SENT", {});
    ASSERT_EQ(sendat(port, "\"at_cmd\":\"AT+SENT\\r\",\"sendonly\":true").str("status"), "success");
    fake_modem_set_answer(m, "AT+TAG=B", {{0, "\r\n+SENT: 1\r\n\r\nRDY\r\n"}});
    pending_call b;
    ASSERT_TRUE(start_waiting(b, "AT+TAG=B", ",\"timeout\":1"));
    ASSERT_TRUE(call_finish(env.ctx, b, 10000));
    EXPECT_EQ(b.reply.str("status"), "timeout");
    lines got = response_lines(b.reply.str("partial_response"));
    EXPECT_EQ(std::find(got.begin(), got.end(), "+SENT: 1"), got.end()) << b.reply.str("partial_response");
    EXPECT_TRUE(listener.wait_for("\"line\":\"+SENT: 1\"")) << "the older answer's line was lost";
    expect_own_answers({"C", "D"});
    EXPECT_EQ(listener.mentions("+SENT: 1"), 1);
}

// A prompt command sent as the modem restarted is never read: it times out
// (and gets its ESC) with no echo. The next prompt command's "> ", behind
// its own echo, is that command's, not a late prompt of the lost one: its
// text goes out.
TEST_F(Anchor, APromptCommandLostInARestartLeavesTheNextPromptAlone)
{
    ASSERT_NO_FATAL_FAILURE(record_messages());
    make_framing();

    fake_modem_set_echo(m, false);
    fake_modem_set_answer(m, "AT+CMGS=\"+15550100\"", {{0, "\r\nRDY\r\n"}});
    pending_call lost;
    ASSERT_TRUE(start_waiting(lost, "AT+CMGS=\"+15550100\"", ",\"timeout\":1,\"data\":\"Lost text\""));
    ASSERT_TRUE(call_finish(env.ctx, lost, 10000));
    fake_modem_set_echo(m, true);
    EXPECT_EQ(lost.reply.str("status"), "timeout");

    reply_fields next =
        sendat(port, "\"at_cmd\":\"AT+CMGS=\\\"+15550199\\\"\",\"data\":\"Your code is 4711\",\"timeout\":5");
    EXPECT_EQ(next.str("status"), "success") << json_str(fake_modem_log(m));
    EXPECT_EQ(next.num("data_sent"), 1);
    EXPECT_EQ(sent.taken(), lines{"AT+CMGS=\"+15550199\"|Your code is 4711"});
}
