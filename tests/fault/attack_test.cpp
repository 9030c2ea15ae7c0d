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

// The lines a response holds, blanks and line ends left out.
lines lines_of(const std::string &response)
{
    lines out;
    for (size_t at = 0; at < response.size();) {
        size_t end = response.find('\n', at);
        if (end == std::string::npos)
            end = response.size();
        std::string line = response.substr(at, end - at);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        if (!line.empty())
            out.push_back(line);
        at = end + 1;
    }
    return out;
}

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
        EXPECT_EQ(lines_of(r.str("response")), (lines{command, info, "OK"})) << command;
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
