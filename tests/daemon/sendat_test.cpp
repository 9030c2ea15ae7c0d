// The method "sendat" through the bus against a simulated modem: every reply
// shape, and the bytes that actually reach the modem.
#include <gtest/gtest.h>

#include "tests/daemon/daemon_with_modem.h"
#include "tests/daemon/masked.h"
#include "tools/fakemodem/fake_modem.h"

using namespace std::chrono_literals;

static const std::string kDefaultFlags =
    "\"end_flags_used\":[\"OK\",\"ERROR\",\"+CMS ERROR:\",\"+CME ERROR:\",\"NO CARRIER\"]";

class Sendat : public DaemonWithModem
{
protected:
    // Calls sendat on the modem's port with extra JSON members.
    bus_reply sendat(const std::string &members)
    {
        return tarnel_call(env, "sendat", "{\"at_port\":\"" + port + "\"," + members + "}");
    }

    std::string head(const std::string &command, int is_raw, int sendonly)
    {
        return "{\"port\":\"" + port + "\",\"command\":\"" + command + "\",\"is_raw\":" + std::to_string(is_raw) +
               ",\"sendonly\":" + std::to_string(sendonly);
    }

    std::string received() { return fake_modem_log(modem.get()); }
};

TEST_F(Sendat, CommandWithDefaultsCompletesOnOk)
{
    bus_reply r = sendat("\"at_cmd\":\"AT+CSQ\"");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(masked(r.json),
              head("AT+CSQ", 0, 0) + ",\"timeout\":5,\"end_flag\":\"default\"," + kDefaultFlags +
                  ",\"status\":\"success\",\"response\":\"AT+CSQ\\r\\r\\n+CSQ: 20,99\\r\\n\\r\\nOK\\r\\n\","
                  "\"response_length\":28,\"end_flag_matched\":\"OK\",\"response_time_ms\":#}");
    EXPECT_EQ(received(), "AT+CSQ\r\n");
    // The port stays open for the next command, with the default settings.
    EXPECT_NE(tarnel_call(env, "list", "").json.find("\"is_open\":1,\"fd\":"), std::string::npos);
    EXPECT_NE(tarnel_call(env, "list", "").json.find("\"baudrate\":115200"), std::string::npos);
}

TEST_F(Sendat, ErrorAnswersEndTheCommandOnTheFirstListedFlagContained)
{
    fake_modem_set_answer(modem.get(), "AT+CMEE", {{0, "+CME ERROR: 10\r\n"}});
    bus_reply r = sendat("\"at_cmd\":\"AT+CMEE\"");
    EXPECT_NE(r.json.find("\"status\":\"success\""), std::string::npos) << r.json;
    EXPECT_NE(r.json.find("\"end_flag_matched\":\"ERROR\""), std::string::npos) << r.json;

    fake_modem_set_answer(modem.get(), "AT+CMGS=1", {{0, "+CMGS: 12\r\n"}});
    r = sendat("\"at_cmd\":\"AT+CMGS=1\",\"end_flag\":\"+CMGS:\"");
    EXPECT_NE(r.json.find("\"end_flag\":\"+CMGS:\",\"end_flags_used\":[\"+CMGS:\"],\"status\":\"success\""),
              std::string::npos)
        << r.json;
    EXPECT_NE(r.json.find("\"end_flag_matched\":\"+CMGS:\""), std::string::npos);
}

TEST_F(Sendat, EndFlagTextIsParsedIntoAtMostFiveTrimmedFlags)
{
    struct {
        const char *text;
        const char *used;
    } cases[] = {
        {"OK", "[\"OK\"]"},
        {" OK , ERROR ", "[\"OK\",\"ERROR\"]"},
        {",,,", "[\"OK\",\"ERROR\",\"+CMS ERROR:\",\"+CME ERROR:\",\"NO CARRIER\"]"},
        {"", "[\"OK\",\"ERROR\",\"+CMS ERROR:\",\"+CME ERROR:\",\"NO CARRIER\"]"},
        {"A,B,C,D,E,F,G", "[\"A\",\"B\",\"C\",\"D\",\"E\"]"},
    };
    for (const auto &c : cases) {
        bus_reply r = sendat("\"at_cmd\":\"AT\",\"timeout\":1,\"end_flag\":\"" + std::string(c.text) + "\"");
        EXPECT_NE(r.json.find("\"end_flag\":\"" + std::string(c.text) + "\",\"end_flags_used\":" + c.used),
                  std::string::npos)
            << r.json;
    }
}

TEST_F(Sendat, SilentModemTimesOutWithoutPartialResponse)
{
    fake_modem_set_echo(modem.get(), false);
    fake_modem_set_answer(modem.get(), "AT+HANG", {});
    bus_reply r = sendat("\"at_cmd\":\"AT+HANG\",\"timeout\":1");
    EXPECT_EQ(masked(r.json),
              head("AT+HANG", 0, 0) + ",\"timeout\":1,\"end_flag\":\"default\"," + kDefaultFlags +
                  ",\"status\":\"timeout\",\"message\":\"AT command timed out\",\"response_time_ms\":#}");
    auto pos = r.json.find("\"response_time_ms\":");
    ASSERT_NE(pos, std::string::npos);
    EXPECT_GE(std::stol(r.json.substr(pos + 19)), 1000);
}

TEST_F(Sendat, ModemThatStallsAfterTheEchoGivesThePartialResponse)
{
    fake_modem_set_answer(modem.get(), "AT+HANG", {});
    bus_reply r = sendat("\"at_cmd\":\"AT+HANG\",\"timeout\":1");
    EXPECT_EQ(masked(r.json), head("AT+HANG", 0, 0) + ",\"timeout\":1,\"end_flag\":\"default\"," + kDefaultFlags +
                                  ",\"status\":\"timeout\",\"message\":\"AT command timed out\",\"response_time_ms\":#,"
                                  "\"partial_response\":\"AT+HANG\\r\\n\"}");
}

TEST_F(Sendat, PromptWithoutLineEndNeverCompletes)
{
    fake_modem_set_answer(modem.get(), "AT+CMGS=20", {{0, "\r\n> "}});
    bus_reply r = sendat("\"at_cmd\":\"AT+CMGS=20\",\"timeout\":1,\"end_flag\":\"> \"");
    EXPECT_NE(r.json.find("\"status\":\"timeout\""), std::string::npos) << r.json;
    EXPECT_NE(r.json.find("\"partial_response\":\"AT+CMGS=20\\r\\r\\n> \""), std::string::npos) << r.json;
}

TEST_F(Sendat, ZeroAndNegativeTimeoutsReturnAtOnce)
{
    fake_modem_set_answer(modem.get(), "AT+HANG", {});
    for (const char *timeout : {"0", "-1"}) {
        bus_reply r = sendat(std::string("\"at_cmd\":\"AT+HANG\",\"timeout\":") + timeout);
        EXPECT_NE(r.json.find(std::string("\"timeout\":") + timeout + ",\"end_flag\""), std::string::npos) << r.json;
        EXPECT_NE(r.json.find("\"status\":\"timeout\""), std::string::npos) << r.json;
    }
}

TEST_F(Sendat, SendOnlyWritesTheTextWithoutLineEnd)
{
    bus_reply r = sendat("\"at_cmd\":\"ATZ\",\"sendonly\":true");
    EXPECT_EQ(r.json, head("ATZ", 0, 1) + ",\"status\":\"success\",\"message\":\"Command sent successfully\"}");
    EXPECT_TRUE(fake_modem_wait_log_contains(modem.get(), "ATZ", 5s));
    EXPECT_EQ(received(), "ATZ");

    // An integer is not a boolean: the call waits for the answer instead.
    fake_modem_clear_log(modem.get());
    r = sendat("\"at_cmd\":\"AT\",\"sendonly\":1");
    EXPECT_NE(r.json.find(head("AT", 0, 0) + ",\"timeout\":5"), std::string::npos) << r.json;
    EXPECT_EQ(received(), "AT\r\n");
}

TEST_F(Sendat, RawContentIsSentAsDecodedBytes)
{
    bus_reply r = sendat("\"raw_at_content\":\"41540D0a\"");
    EXPECT_NE(r.json.find(head("41540D0a", 1, 0) + ",\"timeout\":5"), std::string::npos) << r.json;
    EXPECT_NE(r.json.find("\"status\":\"success\""), std::string::npos) << r.json;
    EXPECT_EQ(received(), "AT\r\n");

    // Zero bytes are data too.
    fake_modem_clear_log(modem.get());
    r = sendat("\"raw_at_content\":\"410042\",\"sendonly\":true");
    EXPECT_EQ(r.json, head("410042", 1, 1) + ",\"status\":\"success\",\"message\":\"Command sent successfully\"}");
    EXPECT_TRUE(fake_modem_wait_log(
        modem.get(), [](const std::string &log) { return log.size() >= 3; }, 5s));
    EXPECT_EQ(received(), std::string("A\0B", 3));

    // at_cmd wins when both are given.
    fake_modem_clear_log(modem.get());
    r = sendat("\"at_cmd\":\"AT\",\"raw_at_content\":\"4142\"");
    EXPECT_NE(r.json.find(head("AT", 0, 0)), std::string::npos) << r.json;
    EXPECT_EQ(received(), "AT\r\n");
}

TEST_F(Sendat, MalformedHexIsASendFailureAndNothingIsWritten)
{
    ASSERT_EQ(tarnel_call(env, "open", quoted_port(port)).status, 0);
    for (const char *hex : {"4", "4G", "41 42", "+41", "0x41", "4142 "}) {
        bus_reply r = sendat("\"raw_at_content\":\"" + std::string(hex) + "\"");
        EXPECT_EQ(r.json, head(hex, 1, 0) + ",\"timeout\":5,\"end_flag\":\"default\"," + kDefaultFlags +
                              ",\"status\":\"error\",\"message\":\"Failed to send AT command\",\"response_time_ms\":0}")
            << hex;
        r = sendat("\"raw_at_content\":\"" + std::string(hex) + "\",\"sendonly\":true");
        EXPECT_EQ(r.json, head(hex, 1, 1) + ",\"status\":\"error\",\"message\":\"Failed to send AT command\"}") << hex;
    }
    // A valid command afterwards proves the line is clean.
    EXPECT_NE(sendat("\"at_cmd\":\"AT\"").json.find("\"status\":\"success\""), std::string::npos);
    EXPECT_EQ(received(), "AT\r\n");
}

TEST_F(Sendat, MissingArgumentsAreRejectedWithoutARecord)
{
    EXPECT_EQ(tarnel_call(env, "sendat", "{\"at_cmd\":\"AT\"}").status, UBUS_STATUS_INVALID_ARGUMENT);
    bus_reply r = sendat("\"timeout\":1");
    EXPECT_EQ(r.status, UBUS_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(r.json, "");
    EXPECT_EQ(tarnel_call(env, "list", "").json, "{\"ports\":[]}");
}

TEST_F(Sendat, DeviceThatDoesNotExistIsASendFailureThatKeepsTheRecord)
{
    std::string missing = env_path(env, "ttyUSB9");
    bus_reply r = tarnel_call(env, "sendat", "{\"at_port\":\"" + missing + "\",\"at_cmd\":\"AT\"}");
    EXPECT_EQ(r.json, "{\"port\":\"" + missing +
                          "\",\"command\":\"AT\",\"is_raw\":0,\"sendonly\":0,\"timeout\":5,\"end_flag\":\"default\","
                          "\"end_flags_used\":[],\"status\":\"error\",\"message\":\"Failed to send AT command\","
                          "\"response_time_ms\":0}");
    EXPECT_TRUE(child_wait_output(env.daemon, false, "Port file " + missing + " does not exist\n"));
    EXPECT_EQ(masked(tarnel_call(env, "list", "").json),
              "{\"ports\":[{\"port\":\"" + missing +
                  "\",\"is_open\":0,\"file_status\":\"missing\",\"last_check\":#}]}");
}

TEST_F(Sendat, TwoPortsKeepTheirAnswersApart)
{
    std::string other = env_path(env, "ttyUSB3");
    fake_modem_ptr second(fake_modem_create(other));
    ASSERT_TRUE(second);
    fake_modem_set_answer(second.get(), "AT+CSQ", {{0, "+CSQ: 5,5\r\n"}, {0, "OK\r\n"}});
    for (int i = 0; i < 5; i++) {
        bus_reply a = sendat("\"at_cmd\":\"AT+CSQ\"");
        bus_reply b = tarnel_call(env, "sendat", "{\"at_port\":\"" + other + "\",\"at_cmd\":\"AT+CSQ\"}");
        EXPECT_NE(a.json.find("+CSQ: 20,99"), std::string::npos) << a.json;
        EXPECT_EQ(a.json.find("+CSQ: 5,5"), std::string::npos) << a.json;
        EXPECT_NE(b.json.find("+CSQ: 5,5"), std::string::npos) << b.json;
        EXPECT_EQ(b.json.find("+CSQ: 20,99"), std::string::npos) << b.json;
    }
}

// A modem that does not frame its answers (the echo ended with CR LF,
// nothing in front of a line) is answered all the same.
TEST_F(Sendat, ModemThatDoesNotFrameIsAnsweredAsWell)
{
    std::string other = env_path(env, "ttyUSB3");
    fake_modem_options unframed;
    unframed.framed = false;
    fake_modem_ptr second(fake_modem_create(other, unframed));
    ASSERT_TRUE(second);
    auto call = [&](const std::string &command) {
        return tarnel_call(env, "sendat", "{\"at_port\":\"" + other + "\",\"at_cmd\":\"" + command + "\"}").json;
    };
    std::string csq = call("AT+CSQ");
    EXPECT_NE(csq.find("\"response\":\"AT+CSQ\\r\\n+CSQ: 20,99\\r\\nOK\\r\\n\",\"response_length\":25,"
                       "\"end_flag_matched\":\"OK\""),
              std::string::npos)
        << csq;
    std::string nope = call("AT+NOPE");
    EXPECT_NE(nope.find("\"response\":\"AT+NOPE\\r\\nERROR\\r\\n\""), std::string::npos) << nope;
    EXPECT_NE(nope.find("\"end_flag_matched\":\"ERROR\""), std::string::npos) << nope;
}

// The daemon builds every reply in one buffer that it keeps: no reply may
// carry a key or a byte of the one before, whatever their shapes and sizes
// (an answer large enough to make the buffer give its memory back first).
TEST_F(Sendat, EachReplyHoldsOnlyItsOwnKeys)
{
    std::string big(20000, 'x');
    fake_modem_set_answer(modem.get(), "AT+BIG", {{0, big + "\r\nOK\r\n"}});
    std::string csq = "\"response\":\"AT+CSQ\\r\\r\\n+CSQ: 20,99\\r\\n\\r\\nOK\\r\\n\",\"response_length\":28,"
                      "\"end_flag_matched\":\"OK\",\"response_time_ms\":#}";

    bus_reply r = sendat("\"at_cmd\":\"AT+BIG\"");
    EXPECT_EQ(masked(r.json), head("AT+BIG", 0, 0) + ",\"timeout\":5,\"end_flag\":\"default\"," + kDefaultFlags +
                                  ",\"status\":\"success\",\"response\":\"AT+BIG\\r\\n" + big +
                                  "\\r\\nOK\\r\\n\",\"response_length\":20014,\"end_flag_matched\":\"OK\","
                                  "\"response_time_ms\":#}");
    r = sendat("\"at_cmd\":\"AT+CSQ\",\"end_flag\":\"OK\"");
    EXPECT_EQ(masked(r.json), head("AT+CSQ", 0, 0) +
                                  ",\"timeout\":5,\"end_flag\":\"OK\",\"end_flags_used\":[\"OK\"],"
                                  "\"status\":\"success\"," +
                                  csq);
    r = sendat("\"at_cmd\":\"AT+CMGS=1\",\"data\":\"a\\u001ab\"");
    EXPECT_EQ(r.json, "{\"status\":\"error\",\"message\":\"Invalid data\"}");
    EXPECT_EQ(masked(tarnel_call(env, "list", "").json),
              "{\"ports\":[{\"port\":\"" + port +
                  "\",\"is_open\":1,\"fd\":#,\"baudrate\":115200,\"databits\":8,\"parity\":0,\"stopbits\":1,"
                  "\"last_check\":#}]}");
    r = sendat("\"at_cmd\":\"AT+CSQ\"");
    EXPECT_EQ(masked(r.json), head("AT+CSQ", 0, 0) + ",\"timeout\":5,\"end_flag\":\"default\"," + kDefaultFlags +
                                  ",\"status\":\"success\"," + csq);
    fake_modem_set_answer(modem.get(), "AT+HANG", {});
    r = sendat("\"at_cmd\":\"AT+HANG\",\"timeout\":1");
    EXPECT_EQ(masked(r.json), head("AT+HANG", 0, 0) + ",\"timeout\":1,\"end_flag\":\"default\"," + kDefaultFlags +
                                  ",\"status\":\"timeout\",\"message\":\"AT command timed out\",\"response_time_ms\":#,"
                                  "\"partial_response\":\"AT+HANG\\r\\n\"}");
}
