// What a caller may send on a shared port: each row a text the modem reads
// differently from how it looks.
#include <gtest/gtest.h>

#include <string>

#include "port/command_check.h"

namespace
{

struct row {
    std::string text;
    command_refusal expected;
    bool allow_ctrl_z = false;
};

} // namespace

TEST(CommandCheck, SharedSettingsAreFoundWhereTheModemRunsThem)
{
    const command_refusal OK = COMMAND_ACCEPTED, SHARED = COMMAND_SHARED_SETTING;
    const row rows[] = {
        {"ATV1", OK},
        {"ATQ0", OK},
        {"ATS3=13", OK},
        {"ATS4=10", OK},
        {"ATE0V1", OK},
        {"ATS7=60&D2X4", OK},
        {"ATS3?", OK},
        {"AT&V", OK}, // &V shows the profile; it is not V
        {"ATE1V0", SHARED},
        {"ATV", SHARED}, // an omitted value is 0
        {"atv0", SHARED},
        {"AT&FV0", SHARED},
        {"AT E1 V 0", SHARED}, // spaces are ignored
        {"ATQ1", SHARED},
        {"ATS3=10", SHARED},
        {"ATS4=13", SHARED},
        {"ATS3=", SHARED},
        {"AT+CSQ;V0", SHARED},
        {"AT+CMEE=2;+CSQ\r\nATQ1", SHARED}, // a later line
        {"a/", SHARED},
        // Dial strings and extended commands hold no basic commands.
        {"ATD*99#V0", OK},
        {"ATD+15550100;V0", SHARED},
        {"AT+CMGS=\"V0\"", OK},
        {"AT+CPBW=1,\"x;V0\"", OK}, // a ';' inside quotes separates nothing
        {"AT^SYSCFG=2,2,3FFFFFFF,1,2;$QCS4=13", OK},
        {"AT*EQ1", OK}, // a vendor's "*EQ1", not E and Q1
    };
    for (const row &r : rows)
        EXPECT_EQ(command_check(r.text.data(), r.text.size()), r.expected) << r.text;
}

TEST(CommandCheck, ControlBytesBlankTextAndTooManyLines)
{
    std::string many, most;
    for (int i = 0; i < COMMAND_LINES_MAX; i++)
        most += "AT\r\n\r"; // blank lines between do not count
    many = most + "AT";
    const row rows[] = {
        {"AT+CSQ\rHello\x1a", COMMAND_CONTROL_BYTES},
        {"AT\x1b", COMMAND_CONTROL_BYTES},
        {"AT\x1b", COMMAND_CONTROL_BYTES, true},
        {std::string("AT\0V0", 5), COMMAND_CONTROL_BYTES},
        {"", COMMAND_BLANK},
        {" \t\r\n\r\n", COMMAND_BLANK},
        {most, COMMAND_ACCEPTED},
        {many, COMMAND_TOO_MANY},
        // With Ctrl-Z allowed, text before it is a prompt's, not commands:
        // the prompt this text opens, or one an earlier call opened.
        {"AT+CMGS=\"+15550100\"\rat the venue\rV0\x1a", COMMAND_ACCEPTED, true},
        {"at the venue\x1a", COMMAND_ACCEPTED, true},
        {"ATV0\rAT+CMGS=17\r0011\x1a", COMMAND_SHARED_SETTING, true},
        {"AT+CMGW\rhi\x1a\rATV0\r", COMMAND_SHARED_SETTING, true},
    };
    for (const row &r : rows)
        EXPECT_EQ(command_check(r.text.data(), r.text.size(), r.allow_ctrl_z), r.expected) << r.text;
    EXPECT_STREQ(command_refusal_message(COMMAND_SHARED_SETTING), "Command not allowed on a shared port");
}

TEST(CommandCheck, PromptsAndDataDials)
{
    auto prompts = [](const std::string &line) { return command_prompts(line.data(), line.size()); };
    auto dial = [](const std::string &line) { return command_data_dial(line.data(), line.size()); };
    EXPECT_TRUE(prompts("AT+CMGS=17"));
    EXPECT_TRUE(prompts("at+cmgw"));
    EXPECT_TRUE(prompts("AT+CMGF=1;+CMGC=2,0"));
    EXPECT_TRUE(prompts("AT+CNMA=0,25"));
    EXPECT_FALSE(prompts("AT+CNMA=1"));
    EXPECT_FALSE(prompts("AT+CNMA"));
    EXPECT_FALSE(prompts("AT+CMGS=?"));
    EXPECT_FALSE(prompts("AT+CMGSX=1"));
    EXPECT_FALSE(prompts("ATD+CMGS=1")); // a dial string

    EXPECT_TRUE(dial("ATD*99#"));
    EXPECT_TRUE(dial("ATX4D*99***1#"));
    EXPECT_FALSE(dial("ATD+15550100;"));
    EXPECT_TRUE(dial("ATO"));
    EXPECT_TRUE(dial("AT+CGDATA=\"PPP\",1"));
    EXPECT_FALSE(dial("AT+CGDATA=?"));
    EXPECT_FALSE(dial("AT&D2"));
    EXPECT_FALSE(dial("AT+COPS=0"));
}
