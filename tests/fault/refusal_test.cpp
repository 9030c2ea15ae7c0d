// Command text that would change the port for everyone, or that is no
// command at all, is refused before it is queued: the modem never sees it
// and the next caller gets its own answer.
#include "tests/fault/fault_env.h"

#include "port/command_check.h"

namespace
{

using fields = std::map<std::string, std::string>;

fields error(const std::string &message)
{
    return {{"status", "error"}, {"message", message}};
}

class Refusal : public OneModemTest
{
};

} // namespace

TEST_F(Refusal, RefusedCommandsReachNoModemAndThePortGoesOn)
{
    const std::string control = "Invalid AT command: use data for message text",
                      shared = "Command not allowed on a shared port";
    std::string many = "AT";
    for (int i = 0; i < COMMAND_LINES_MAX; i++)
        many += "\\rAT";
    const std::pair<std::string, std::string> refused[] = {
        {"\"at_cmd\":\"AT+CMGS=\\\"+15550100\\\"\\rHello\\u001a\"", control},
        {"\"at_cmd\":\"AT\\u001b\",\"sendonly\":true", control},
        {"\"at_cmd\":\"\"", "Invalid AT command"},
        {"\"at_cmd\":\" \\r\\n\"", "Invalid AT command"},
        {"\"at_cmd\":\"ATV0\"", shared},
        {"\"at_cmd\":\"ATS4=13\"", shared},
        {"\"at_cmd\":\"ATE1V0\\r\",\"sendonly\":true", shared},
        {"\"at_cmd\":\"" + many + "\"", "Too many commands in one call"},
    };
    for (const auto &[members, message] : refused) {
        reply_fields r = sendat(port, members);
        EXPECT_EQ(r.text, error(message)) << members;
        EXPECT_TRUE(r.number.empty()) << members;
    }
    EXPECT_EQ(fake_modem_log(m), "");

    // Look-alikes that change nothing shared go out as written.
    for (const std::string command : {"ATE0V1", "ATS3=13", "ATD*99#V0"}) {
        fake_modem_set_answer(m, command, {{0, "OK\r\n"}});
        EXPECT_EQ(sendat(port, "\"at_cmd\":" + json_str(command)).str("end_flag_matched"), "OK") << command;
    }
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CSQ\"").str("response"), "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    EXPECT_EQ(fake_modem_log(m), "ATE0V1\r\nATS3=13\r\nATD*99#V0\r\nAT+CSQ\r\n");
}

// A caller cannot hold the port, and everyone queued behind it, for days.
TEST_F(Refusal, TimeoutIsCappedAtTenMinutes)
{
    reply_fields r = sendat(port, "\"at_cmd\":\"AT\",\"timeout\":2147483647");
    EXPECT_EQ(r.str("status"), "success");
    EXPECT_EQ(r.num("timeout"), 600);
    r = sendat(port, "\"at_cmd\":\"AT\",\"timeout\":2147483647,\"end_flag\":\"OK\"");
    EXPECT_EQ(r.str("status"), "success");
    EXPECT_EQ(r.num("timeout"), 600);
}
