// What the port's thread makes of the bytes a modem sends, driven chunk by
// chunk on a record without a thread: lines and end flags, the capture's
// limits, answers owed by commands that stopped waiting, unsolicited lines.
#include "tests/port/port_test_util.h"

using namespace std::string_literals;
using lines = std::vector<std::string>;

TEST(Reader, CommandEndsOnlyAtAWholeLineHoldingAFlag)
{
    bare_port p;
    p.arm();
    // The echo never ends a command, whatever it holds.
    p.feed("AT+OK\r\n+CSQ: 20,99\r\nO");
    EXPECT_TRUE(p.waiting());
    p.feed("K");
    EXPECT_TRUE(p.waiting());
    // Bytes behind the final line in the same chunk belong to the answer.
    p.feed("\r\nRI");
    ASSERT_FALSE(p.waiting());
    EXPECT_EQ(p.op.outcome, AT_COMPLETED);
    EXPECT_EQ(p.op.response, "AT+OK\r\n+CSQ: 20,99\r\nOK\r\nRI");
    EXPECT_STREQ(p.op.matched_flag, "OK");

    // An unfinished line from before the command is joined to its first
    // line, which then is no echo: "XYAT+CSQ" holds no flag either.
    p.feed("NG\r\nXY");
    p.arm();
    p.feed("AT+CSQ\r\n");
    EXPECT_TRUE(p.waiting());
    // A NUL only cuts its own line short.
    p.feed("\0junk\r\nERROR\r\n"s);
    EXPECT_FALSE(p.waiting());
    EXPECT_STREQ(p.op.matched_flag, "ERROR");
    EXPECT_EQ(p.lines(), lines{"RING"});
}

TEST(Reader, CaptureAndLineBufferStayWithinTheirLimits)
{
    bare_port p;
    p.arm("NEVER");
    std::string block(1000, 'x');
    for (int i = 0; i < 32; i++)
        p.feed(block + "\r\n");
    // 32 chunks of 1002 bytes fill 32,064; the next does not fit, and from
    // there on nothing is captured, so the capture has no hole in it.
    p.feed(std::string(1000, 'y'));
    p.feed("z\r\n");
    p.expire();
    EXPECT_EQ(p.op.outcome, AT_TIMED_OUT);
    EXPECT_TRUE(p.op.truncated);
    EXPECT_EQ(p.op.response.size(), 32 * 1002u);
    owed_reset(p.entry); // no answer to that one is coming

    // A line longer than the line buffer is cut, and its CR LF and whatever
    // follows it in the same chunk are handled as usual.
    p.arm();
    for (int i = 0; i < 40; i++)
        p.feed(block);
    p.feed(std::string(800, 'x') + "\r\nOK\r\n");
    EXPECT_FALSE(p.waiting());
    EXPECT_STREQ(p.op.matched_flag, "OK");
    EXPECT_TRUE(p.op.truncated);

    // Also when the cut line's CR is the last byte the buffer holds.
    p.arm();
    p.feed(std::string(PORT_BUFFER_SIZE - 2, 'x') + "\r");
    p.feed("\nOK\r\n");
    EXPECT_FALSE(p.waiting());
    EXPECT_EQ(p.lines(), lines{});
}

// A modem that works one command at a time answers a timed-out command
// late, in front of the next command's echo and answer.
TEST(Reader, LateAnswerIsSetAsideAndTheNextCommandGetsItsOwn)
{
    for (bool echo : {true, false}) {
        SCOPED_TRACE(echo);
        bare_port p;
        p.arm();
        if (echo)
            p.feed("AT+SLOW\r\n");
        p.expire();
        ASSERT_EQ(p.op.outcome, AT_TIMED_OUT);

        p.arm();
        p.feed("+SLOW: 1\r\nOK\r\n");
        EXPECT_TRUE(p.waiting());
        p.feed(std::string(echo ? "AT+CSQ\r\n" : "") + "+CSQ: 20,99\r\nOK\r\n");
        ASSERT_FALSE(p.waiting());
        EXPECT_EQ(p.op.response, (echo ? "AT+CSQ\r\n"s : ""s) + "+CSQ: 20,99\r\nOK\r\n");
        EXPECT_EQ(p.lines(), (lines{"+SLOW: 1 (late)", "OK (late)"}));
    }
}

// A modem that echoes at once but answers late: the echo of the next
// command comes before the late answer. The echo is nobody's news, and the
// command's text starts after the line that paid.
TEST(Reader, EchoBeforeTheLateAnswerIsSetAsideWithIt)
{
    bare_port p;
    p.arm();
    p.feed("AT+SLOW\r\n");
    p.expire();
    p.arm();
    p.feed("AT+CSQ\r\n+SLOW: 1\r\nOK\r\n+CSQ: 2");
    EXPECT_TRUE(p.waiting());
    p.feed("0,99\r\nOK\r\n");
    ASSERT_FALSE(p.waiting());
    EXPECT_EQ(p.op.response, "+CSQ: 20,99\r\nOK\r\n");
    EXPECT_EQ(p.lines(), (lines{"+SLOW: 1 (late)", "OK (late)"}));
}

// A command whose wait saw an older debt paid and then timed out may have
// had its own answer taken for the older one, or the older one came late
// and its own is still to come. Its debt is provisional: the port waits a
// moment for it before the next command, then gives it up.
TEST(Reader, TimeoutAfterAPaidDebtOwesProvisionally)
{
    for (bool answered_late : {false, true}) {
        SCOPED_TRACE(answered_late);
        bare_port p;
        p.arm();
        p.expire();
        p.arm();
        p.feed("+CSQ: 20,99\r\nOK\r\n");
        EXPECT_TRUE(p.waiting());
        p.expire();
        EXPECT_EQ(p.op.outcome, AT_TIMED_OUT);
        EXPECT_EQ(p.op.response, "");
        EXPECT_TRUE(at_settling(p.entry, mono_ms()));
        if (answered_late)
            p.feed("+CGMI: 1\r\nOK\r\n");
        EXPECT_FALSE(at_settling(p.entry, answered_late ? mono_ms() : INT64_MAX));
        p.arm();
        p.feed("OK\r\n");
        EXPECT_EQ(p.op.outcome, AT_COMPLETED);
        lines late = {"+CSQ: 20,99 (late)", "OK (late)"};
        if (answered_late)
            late.insert(late.end(), {"+CGMI: 1 (late)", "OK (late)"});
        EXPECT_EQ(p.lines(), late);
    }
}

TEST(Reader, SendOnlyOwesOneAnswerPerCarriageReturn)
{
    bare_port p;
    p.sent_only("AT+CFUN=1\r");
    p.sent_only("AT"); // joins the next command: owes nothing
    p.arm();
    p.feed("OK\r\n");
    EXPECT_TRUE(p.waiting());
    p.feed("ATAT+CSQ\r\n+CSQ: 20,99\r\nOK\r\n");
    EXPECT_FALSE(p.waiting());
    // The answer of a send-only command is published, but never as late.
    EXPECT_EQ(p.lines(), lines{"OK"});
}

// The modem answered OK to a wait for READY: the answer came, in a shape
// the end flags did not expect, so nothing is owed. A debt for "READY"
// would take the next "+CPIN: READY" away from its command, and mark every
// unsolicited line late meanwhile.
TEST(Reader, TimeoutAfterTheModemsOwnFinalCodeOwesNothing)
{
    bare_port p;
    p.arm("READY");
    p.feed("AT\r\nOK\r\n");
    p.expire();
    p.feed("RING\r\n");
    p.arm(nullptr, "AT+CPIN?");
    p.feed("AT+CPIN?\r\n+CPIN: READY\r\nOK\r\n");
    ASSERT_FALSE(p.waiting());
    EXPECT_EQ(p.op.response, "AT+CPIN?\r\n+CPIN: READY\r\nOK\r\n");
    EXPECT_EQ(p.lines(), lines{"RING"});
}

// The modem ends every answer with one of its own final results, whatever
// end flags its caller waited for: such a line pays the debt, so a late
// answer to a command that waited for "READY" never shifts later answers.
TEST(Reader, ModemsOwnFinalResultPaysAnyDebt)
{
    bare_port p;
    p.arm("READY");
    p.feed("AT+CSQ\r\n");
    p.expire();
    p.arm();
    p.feed("+CSQ: 20,99\r\nOK\r\nAT+CGMI\r\n+CGMI: ACME\r\nOK\r\n");
    ASSERT_FALSE(p.waiting());
    EXPECT_EQ(p.op.response, "AT+CGMI\r\n+CGMI: ACME\r\nOK\r\n");
    EXPECT_EQ(p.lines(), (lines{"+CSQ: 20,99 (late)", "OK (late)"}));

    // A command that completed on a line of its own still has the modem's
    // final result to come: it is owed, not handed to the next command.
    p.arm("+CSQ:");
    p.feed("AT+CSQ\r\n+CSQ: 20,99\r\n");
    ASSERT_FALSE(p.waiting());
    p.arm();
    p.feed("OK\r\nAT\r\nOK\r\n");
    EXPECT_FALSE(p.waiting());
    EXPECT_EQ(p.op.response, "AT\r\nOK\r\n");
    EXPECT_EQ(p.lines(), lines{"OK"});

    // Zero bytes never hide what follows them, nor reach the caller.
    p.arm();
    p.feed("AT\r\n\0O\0K\r\n"s);
    EXPECT_FALSE(p.waiting());
    EXPECT_EQ(p.op.response, "AT\r\nOK\r\n");
}

TEST(Reader, LinesNoCommandCapturesArePublished)
{
    bare_port p;
    p.feed("\r\nRING\r\n\r\n+CMTI: \"SM\",3\r\n");
    std::string long_line(2000, 'u');
    p.feed(long_line + "\r\n");
    p.arm();
    p.feed("AT+CSQ\r\n+CSQ: 20,99\r\nOK\r\n");
    EXPECT_EQ(p.lines(), (lines{"RING", "+CMTI: \"SM\",3", long_line.substr(0, EVENT_LINE_MAX)}));

    // A line read together with a command's final line is no part of its
    // answer: published, whether or not it came in the same read.
    p.arm();
    p.feed("AT\r\nOK\r\n+CMTI: \"SM\",4\r\n");
    EXPECT_EQ(p.op.response, "AT\r\nOK\r\n+CMTI: \"SM\",4\r\n");
    EXPECT_EQ(p.lines(), lines{"+CMTI: \"SM\",4"});
}
