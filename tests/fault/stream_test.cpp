// Hostile byte streams: a modem flooding random bytes, lines far longer
// than the line buffer, answers larger than the capture area.
#include "tests/fault/fault_env.h"

using namespace std::chrono_literals;

// True when every byte of part appears in whole, in order, in whole: the
// capture drops chunks that do not fit but never invents or reorders bytes.
static bool is_subsequence(const std::string &part, const std::string &whole)
{
    size_t at = 0;
    for (char ch : part) {
        at = whole.find(ch, at);
        if (at == std::string::npos)
            return false;
        at++;
    }
    return true;
}

static void expect_within_capture_limit(const reply_fields &r)
{
    EXPECT_LE(r.str("response").size(), 32766u);
    EXPECT_LE(r.str("partial_response").size(), 32766u);
    EXPECT_LE(r.num("response_length"), 32766);
}

TEST_F(FaultTest, FloodingModemLeavesTheOtherPortIntact)
{
    std::string noisy = path_of("ttyNoise"), calm = path_of("ttyCalm");
    fake_modem *n = add_modem("ttyNoise");
    fake_modem *c = add_modem("ttyCalm");
    take_baseline();
    ASSERT_EQ(open_port(noisy).str("status"), "success");
    fake_modem_set_answer(n, "AT+N", {{0, "+N: 1\r\nOK\r\n"}});

    fake_modem_flood(n, true);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(flood_seconds());
    int calls = 0;
    for (; std::chrono::steady_clock::now() < end; calls++) {
        std::string tag = std::to_string(calls);
        fake_modem_set_answer(c, "AT+C=" + tag, {{0, tagged_answer(tag)}});
        reply_fields r = sendat(calm, "\"at_cmd\":\"AT+C=" + tag + "\"");
        ASSERT_EQ(r.str("response"), "AT+C=" + tag + "\r\n" + tagged_answer(tag));

        // Noise may complete a command early or not at all; either way the
        // reply is well formed and bounded.
        r = sendat(noisy, "\"at_cmd\":\"AT+N\",\"timeout\":1");
        std::string status = r.str("status");
        EXPECT_TRUE(status == "success" || status == "timeout") << status;
        expect_within_capture_limit(r);
        if (calls % 5 == 0) {
            EXPECT_EQ(sendat(noisy, "\"at_cmd\":\"AT+Q\",\"sendonly\":true").str("status"), "success");
            EXPECT_EQ(tarnel_call(env, "list", "").status, 0);
        }
    }
    fake_modem_flood(n, false);
    EXPECT_GT(calls, 3);

    // Once the noise has drained (a wait on a flag no noise contains; its
    // late answer is set aside) and the line buffer is reset by reopening,
    // the port answers exactly again.
    fake_modem_set_answer(n, "AT+DRAIN", {{1500, "OK\r\n"}});
    sendat(noisy, "\"at_cmd\":\"AT+DRAIN\",\"timeout\":1,\"end_flag\":\"NEVER-SEEN-FLAG\"");
    ASSERT_EQ(open_port(noisy).str("status"), "success");
    fake_modem_set_answer(n, "AT+AFTER", {{0, tagged_answer("after")}});
    EXPECT_EQ(sendat(noisy, "\"at_cmd\":\"AT+AFTER\"").str("response"), "AT+AFTER\r\n" + tagged_answer("after"));

    expect_no_growth();
    expect_clean_exit();
}

TEST_F(FaultTest, HugeLinesAndAnswersStayWithinTheCaptureArea)
{
    std::string port = path_of("ttyUSB2");
    fake_modem *m = add_modem("ttyUSB2");
    take_baseline();

    std::string long_line(40000, 'x'), many_lines;
    for (int i = 0; many_lines.size() < 50000; i++)
        many_lines += "+LINE: " + std::to_string(i) + "\r\n";
    struct {
        const char *what;
        std::string answer;
        const char *status;
    } cases[] = {
        {"40,000-byte line, then OK", long_line + "\r\nOK\r\n", "success"},
        // Only a line's first 1023 bytes are tested against the flags.
        {"40,000-byte line ending in OK", long_line + "OK\r\n", "timeout"},
        {"50,000 bytes of lines, then OK", many_lines + "OK\r\n", "success"},
        {"50,000 bytes of lines, no flag", many_lines, "timeout"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fake_modem_set_answer(m, "AT+BIG", {{0, c.answer}});
        reply_fields r = sendat(port, "\"at_cmd\":\"AT+BIG\",\"timeout\":2");
        EXPECT_EQ(r.str("status"), c.status);
        expect_within_capture_limit(r);
        std::string got = r.str(r.has("response") ? "response" : "partial_response");
        if (r.has("response")) {
            EXPECT_EQ(static_cast<int64_t>(got.size()), r.num("response_length"));
        }
        EXPECT_EQ(got.rfind("AT+BIG\r\n", 0), 0u);
        EXPECT_TRUE(is_subsequence(got, "AT+BIG\r\n" + c.answer));

        // Nothing of the huge answer spills into a later command. One that
        // timed out leaves its answer owed, which the next command pays.
        fake_modem_set_answer(m, "AT+NEXT", {{0, tagged_answer("next")}});
        r = sendat(port, "\"at_cmd\":\"AT+NEXT\",\"timeout\":1");
        if (std::string(c.status) == "timeout") {
            EXPECT_EQ(r.str("status"), "timeout");
            r = sendat(port, "\"at_cmd\":\"AT+NEXT\"");
        }
        EXPECT_EQ(r.str("response"), "AT+NEXT\r\n" + tagged_answer("next"));
    }

    // A 40,000-byte command is more than the tty takes at once: it is
    // written whole as the line drains, never left cut in the modem.
    std::string long_command = "AT+" + std::string(39997, 'L');
    reply_fields r = sendat(port, "\"at_cmd\":" + json_str(long_command) + ",\"timeout\":1");
    EXPECT_EQ(r.str("command"), long_command);
    std::string status = r.str("status");
    EXPECT_TRUE(status == "success" || status == "timeout") << status;
    EXPECT_TRUE(fake_modem_wait_log_contains(m, long_command + "\r\n", std::chrono::seconds(10)));
    expect_within_capture_limit(r);

    expect_no_growth();
    expect_clean_exit();
}
