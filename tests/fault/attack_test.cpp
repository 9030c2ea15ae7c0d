// Traffic a real modem sends, aimed at where an answer is cut: a command
// line left open at the modem, retries of a command the modem never read,
// end flags that meet a line of text, firmware that echoes at once, USSD
// and message texts whose lines look like something else. However the
// bytes come, a caller's reply holds its own answer and nobody else's, and
// one odd exchange costs the port at most the next command.
#include "tests/fault/fault_env.h"

#include <algorithm>

using namespace std::chrono_literals;

namespace
{

using lines = std::vector<std::string>;

const std::string COPS = "+COPS: 0,0,\"Tarnel\",7";
const std::string COPS_ANSWER = "\r\n" + COPS + "\r\n\r\nOK\r\n";

class Attack : public FaultTest
{
protected:
    event_listener listener;
    fake_modem *m = nullptr;
    std::string port;

    void SetUp() override
    {
        FaultTest::SetUp();
        ASSERT_TRUE(listener.start(env));
    }
    void use_modem(const fake_modem_options &options = {})
    {
        port = path_of("ttyUSB2");
        m = add_modem("ttyUSB2", options);
        ASSERT_TRUE(m);
    }

    reply_fields at(const std::string &command, const std::string &more = "")
    {
        return sendat(port, "\"at_cmd\":" + json_str(command) + more);
    }
    // The command gets its own framed answer, and nothing else.
    void expect_own(const std::string &command, const std::string &info)
    {
        fake_modem_set_answer(m, command, {{0, "\r\n" + info + "\r\n\r\nOK\r\n"}});
        reply_fields r = at(command);
        EXPECT_EQ(r.str("status"), "success") << command << " " << r.str("partial_response");
        EXPECT_EQ(response_lines(r.str("response")), (lines{command, info, "OK"})) << command;
    }
    void expect_own_answers(const lines &callers)
    {
        for (const std::string &who : callers)
            expect_own("AT+TAG=" + who, "+TAG: " + who);
    }
    int mentions(const std::string &line)
    {
        lines all = listener.lines();
        std::string key = "\"line\":" + json_str(line);
        return int(std::count_if(all.begin(), all.end(), [&](const std::string &e) {
            return e.find(key + "}") != std::string::npos || e.find(key + ",") != std::string::npos;
        }));
    }
};

} // namespace

// A send-only call leaves "AT" at the modem without a CR; the next caller's
// command completes that line, and the modem answers the joined line once.
// Whoever gets that answer, the port must not stay one answer behind for
// good: later callers get their own answers.
TEST_F(Attack, ALineLeftOpenAtTheModemCostsAtMostOneCommand)
{
    use_modem();
    expect_own_answers({"A"});
    EXPECT_EQ(at("AT", ",\"sendonly\":true").str("status"), "success");
    at("AT+TAG=B", ",\"timeout\":2");
    expect_own_answers({"C", "D", "E"});
}

// The same with raw bytes that end without a CR.
TEST_F(Attack, RawBytesWithoutACarriageReturnCostAtMostOneCommand)
{
    use_modem();
    EXPECT_EQ(sendat(port, "\"raw_at_content\":\"4154\",\"timeout\":1").str("status"), "timeout");
    at("AT+TAG=B", ",\"timeout\":2");
    expect_own_answers({"C", "D", "E"});
}

// The modem never read a command (no echo, no answer), and the caller
// tries the same command again, as callers do after a timeout. The first
// retry may be in doubt; the ones after it are answered.
TEST_F(Attack, RetriesOfACommandTheModemNeverReadAreAnswered)
{
    use_modem();
    expect_own_answers({"A"});
    fake_modem_set_echo(m, false);
    fake_modem_set_answer(m, "AT+CSQ", {});
    EXPECT_EQ(at("AT+CSQ", ",\"timeout\":1").str("status"), "timeout");
    fake_modem_set_echo(m, true);
    fake_modem_set_answer(m, "AT+CSQ", {{0, "\r\n+CSQ: 20,99\r\n\r\nOK\r\n"}});
    at("AT+CSQ", ",\"timeout\":2");
    for (int retry = 0; retry < 3; retry++) {
        reply_fields r = at("AT+CSQ", ",\"timeout\":2");
        EXPECT_EQ(r.str("status"), "success") << retry;
        EXPECT_EQ(response_lines(r.str("response")), (lines{"AT+CSQ", "+CSQ: 20,99", "OK"})) << retry;
    }
}

// A caller's end flag ">" met inside an information line ("1>0") is no
// prompt: the command's final result is still owed. On firmware that
// echoes a command at once, the next command's echo comes before that
// final result, which must not end the next command.
TEST_F(Attack, AFlagMetInsideAnInformationLineStillOwesTheFinalResult)
{
    fake_modem_options options;
    options.echo_at_once = true;
    use_modem(options);
    fake_modem_set_answer(m, "AT+GT", {{0, "\r\n+GT: 1>0\r\n"}, {400, "\r\nOK\r\n"}});
    reply_fields a = at("AT+GT", ",\"end_flag\":\">\"");
    EXPECT_EQ(a.str("status"), "success");
    expect_own_answers({"B", "C"});
}

// A USSD text with an odd number of quotes inside is closed by its
// ",<dcs>": the lines after it are no USSD text, and the waiting command's
// answer is its own.
TEST_F(Attack, AUssdTextClosedOnItsLineEndsThere)
{
    use_modem();
    const std::string ussd = "+CUSD: 2,\"Your 12\" pizza is on its way\",15";
    fake_modem_set_answer(m, "AT+CSQ", {{0, "\r\n" + ussd + "\r\n"}, {30, "\r\n+CSQ: 20,99\r\n\r\nOK\r\n"}});
    reply_fields b = at("AT+CSQ");
    EXPECT_EQ(b.str("status"), "success");
    ASSERT_TRUE(listener.wait_for("pizza"));
    expect_own_answers({"C"});
    EXPECT_EQ(mentions(ussd), 1);
    EXPECT_EQ(mentions("+CSQ: 20,99"), 0);
    EXPECT_EQ(mentions("OK"), 0);
    EXPECT_EQ(mentions("AT+TAG=C"), 0);
}

// A framing modem lists stored messages with no empty line between them:
// each "+CMGL:" header ends the text before it. A long list (the SIM's 40
// messages, many of them just "OK") is one answer, whole, and no line of it
// reaches the next caller, also on firmware that echoes at once.
TEST_F(Attack, ALongMessageListIsOneAnswer)
{
    fake_modem_options options;
    options.echo_at_once = true;
    use_modem(options);
    expect_own("AT+CSQ", "+CSQ: 20,99"); // the port is seen to frame

    std::vector<fake_modem_chunk> chunks;
    lines expected{"AT+CMGL=\"ALL\""};
    std::string bytes = "\r\n";
    for (int i = 1; i <= 40; i++) {
        std::string header = "+CMGL: " + std::to_string(i) + ",\"REC READ\",\"+15550100\",,\"26/12/09,10:00:00+04\"";
        std::string text = i % 3 == 1 ? "Call me" : "OK";
        expected.push_back(header);
        expected.push_back(text);
        bytes += header + "\r\n" + text + "\r\n";
        if (i % 8 == 0) {
            chunks.push_back({20, bytes});
            bytes.clear();
        }
    }
    chunks.push_back({20, "\r\nOK\r\n"});
    expected.push_back("OK");
    fake_modem_set_answer(m, "AT+CMGL=\"ALL\"", chunks);
    reply_fields list = at("AT+CMGL=\"ALL\"");
    EXPECT_EQ(list.str("status"), "success");
    EXPECT_EQ(response_lines(list.str("response")), expected);
    expect_own_answers({"B", "C"});
}

// "AT+CSQ;E0" turns echo off as "ATE0" does: the next callers' answers,
// which now come without an echo, are theirs.
TEST_F(Attack, EchoTurnedOffBehindAnExtendedCommand)
{
    use_modem();
    fake_modem_set_answer(m, "AT+CSQ;E0", {{0, "\r\n+CSQ: 20,99\r\n\r\nOK\r\n"}});
    EXPECT_EQ(at("AT+CSQ;E0").str("status"), "success");
    fake_modem_set_echo(m, false);
    for (const std::string who : {"B", "C"}) {
        fake_modem_set_answer(m, "AT+TAG=" + who, {{0, "\r\n+TAG: " + who + "\r\n\r\nOK\r\n"}});
        reply_fields r = at("AT+TAG=" + who);
        EXPECT_EQ(r.str("status"), "success") << who;
        EXPECT_EQ(response_lines(r.str("response")), (lines{"+TAG: " + who, "OK"})) << who;
    }
}

// A message delivered to the port while nobody waits ends with its text
// line: the modem frames nothing after it until its next line. The next
// command's echo is no line of that text, and is never news.
TEST_F(Attack, AnEchoAfterADeliveredMessageIsNoTextOfIt)
{
    use_modem();
    expect_own("AT+CSQ", "+CSQ: 20,99"); // the port is seen to frame
    const std::string cmt = "+CMT: \"+15550100\",,\"26/12/09,10:00:00+04\"";
    fake_modem_inject(m, "\r\n" + cmt + "\r\nSee you at 5\r\n");
    ASSERT_TRUE(listener.wait_for("See you at 5"));
    expect_own_answers({"B", "C"});
    EXPECT_EQ(mentions("AT+TAG=B"), 0);
}

// Echoes as firmware sends them: in another case, with blanks behind,
// split across reads, a vendor's line between echo and answer. Each
// anchors its own answer, and none is news.
TEST_F(Attack, EchoesInOtherFormsAnchorTheirAnswers)
{
    use_modem();
    expect_own_answers({"A"});
    fake_modem_set_echo(m, false); // the scripts echo
    const std::vector<std::vector<fake_modem_chunk>> forms = {
        {{0, "at+tag=b  \r"}, {0, "\r\n+TAG: B\r\n\r\nOK\r\n"}},
        {{0, "AT+TA"}, {30, "G=B\r"}, {30, "\r\n^RSSI:18\r\n"}, {30, "\r\n+TAG: B\r\n\r\nOK\r\n"}},
        {{0, "AT+TAG=B\r\n"}, {30, "+TAG: B\r\n"}, {30, "OK\r\n"}},
    };
    for (size_t i = 0; i < forms.size(); i++) {
        fake_modem_set_answer(m, "AT+TAG=B", forms[i]);
        reply_fields r = at("AT+TAG=B");
        EXPECT_EQ(r.str("status"), "success") << i;
        lines got = response_lines(r.str("response"));
        EXPECT_EQ(std::count(got.begin(), got.end(), "+TAG: B"), 1) << i << " " << r.str("response");
        EXPECT_EQ(got.back(), "OK") << i;
    }
    fake_modem_set_echo(m, true);
    expect_own_answers({"C"});
    EXPECT_EQ(mentions("^RSSI:18"), 1);
    for (const std::string &event : listener.lines())
        EXPECT_TRUE(event.find("+tag") == std::string::npos && event.find("AT+TA") == std::string::npos) << event;
}
