// Commands that ask for more: the "> " prompt of message commands.
#include "tests/fault/fault_env.h"

class Prompt : public OneModemTest
{
protected:
    void SetUp() override
    {
        OneModemTest::SetUp();
        ASSERT_EQ(sendat(port, "\"at_cmd\":\"AT+CMGF=1\"").str("status"), "success");
        fake_modem_clear_log(m);
    }
    reply_fields send_sms(const std::string &text, int timeout = 5)
    {
        return sendat(port, "\"at_cmd\":\"AT+CMGS=\\\"+15550100\\\"\",\"data\":" + json_str(text) +
                                ",\"timeout\":" + std::to_string(timeout));
    }
};

// The modem echoes the text after "> ": text holding "OK" must not end the
// command before the modem's own answer.
TEST_F(Prompt, TextMessageIsSentAtThePrompt)
{
    reply_fields r = send_sms("Hello from the router, OK?");
    EXPECT_EQ(r.str("status"), "success");
    EXPECT_NE(r.str("response").find("+CMGS: 1\r\n\r\nOK\r\n"), std::string::npos) << r.str("response");
    EXPECT_EQ(r.num("data_sent"), 1);
    EXPECT_EQ(fake_modem_log(m), "AT+CMGS=\"+15550100\"\rHello from the router, OK?\x1a");
    // Calls without data keep exactly their reply: no "data_sent".
    EXPECT_FALSE(sendat(port, "\"at_cmd\":\"AT\"").has("data_sent"));
}

TEST_F(Prompt, RefusedOrMissingPromptSendsNoText)
{
    fake_modem_set_prompt(m, fake_modem_prompt::refuse);
    reply_fields refused = send_sms("never");
    EXPECT_EQ(refused.str("status"), "success");
    EXPECT_EQ(refused.str("end_flag_matched"), "ERROR");
    EXPECT_EQ(refused.num("data_sent"), 0);
    EXPECT_EQ(fake_modem_log(m), "AT+CMGS=\"+15550100\"\r");

    // No prompt: ESC at the deadline leaves text input, and the port works.
    fake_modem_clear_log(m);
    fake_modem_set_prompt(m, fake_modem_prompt::withhold);
    reply_fields silent = send_sms("never", 1);
    EXPECT_EQ(silent.str("status"), "timeout");
    EXPECT_EQ(silent.num("data_sent"), 0);
    EXPECT_TRUE(fake_modem_wait_log_contains(m, "AT+CMGS=\"+15550100\"\r\x1b", std::chrono::seconds(10)));
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CSQ\"").str("response"), "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
}

TEST_F(Prompt, RefusedDataAndArgumentsWriteNothing)
{
    const std::map<std::string, std::string> invalid = {{"status", "error"}, {"message", "Invalid data"}};
    for (const std::string &data : {std::string("a\x1a"
                                                "b"),
                                    std::string("a\x1b"), std::string(4097, 'x')}) {
        reply_fields r = send_sms(data);
        EXPECT_EQ(r.text, invalid);
        EXPECT_TRUE(r.number.empty());
    }
    // The data check comes first, before the command's length.
    std::string long_command = "AT+CMGS=" + std::string(70000, '1');
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"" + long_command + "\",\"data\":\"\\u001a\"").text, invalid);
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"" + long_command + "\"").text,
              (std::map<std::string, std::string>{{"status", "error"}, {"message", "Command too long"}}));

    for (const char *members :
         {"\"at_cmd\":\"AT+CMGS=1\",\"data\":\"x\",\"sendonly\":true", "\"raw_at_content\":\"4154\",\"data\":\"x\""}) {
        reply_fields r = sendat(port, members);
        EXPECT_EQ(r.status, UBUS_STATUS_INVALID_ARGUMENT) << members;
        EXPECT_FALSE(r.replied);
    }
    // With both sources "at_cmd" wins, as always, and the data is valid.
    reply_fields both = sendat(port, "\"at_cmd\":\"AT+CMGS=\\\"+1\\\"\",\"raw_at_content\":\"41\",\"data\":\"hi\"");
    EXPECT_EQ(both.num("data_sent"), 1);
    EXPECT_EQ(fake_modem_log(m), "AT+CMGS=\"+1\"\rhi\x1a");
}

// A modem left at its prompt takes every later command as message text.
// A command interrupted there (its node vanished, the daemon stopped)
// leaves it with ESC, and after SIGTERM that is the last byte written.
TEST_F(Prompt, InterruptedPromptIsLeftWithEsc)
{
    fake_modem_set_prompt(m, fake_modem_prompt::withhold);
    const std::string command = "AT+CMGS=\"+15550100\"\r";
    auto left_with_esc = [&](const std::string &log) { return log == command + "\x1b"; };
    auto start = [&](pending_call &call) {
        fake_modem_clear_log(m);
        std::string args = "{\"at_port\":" + json_str(port) +
                           ",\"at_cmd\":\"AT+CMGS=\\\"+15550100\\\"\",\"data\":\"never\",\"timeout\":60}";
        ASSERT_TRUE(call_start(env.ctx, env.tarnel_id, "sendat", args, call));
        ASSERT_TRUE(fake_modem_wait_log_contains(m, command, std::chrono::seconds(10)));
    };

    pending_call vanished;
    start(vanished);
    ASSERT_EQ(fake_modem_unplug(m), 0);
    ASSERT_TRUE(call_finish(env.ctx, vanished, 10000));
    EXPECT_EQ(vanished.reply.str("status"), "timeout");
    EXPECT_EQ(vanished.reply.num("data_sent"), 0);
    EXPECT_TRUE(fake_modem_wait_log(m, left_with_esc, std::chrono::seconds(10))) << fake_modem_log(m);

    ASSERT_EQ(fake_modem_replug(m), 0);
    pending_call stopped;
    start(stopped);
    expect_clean_exit();
    ASSERT_TRUE(call_finish(env.ctx, stopped, 10000));
    EXPECT_EQ(stopped.reply.str("status"), "timeout");
    EXPECT_TRUE(fake_modem_wait_log(m, left_with_esc, std::chrono::seconds(10))) << fake_modem_log(m);
}
