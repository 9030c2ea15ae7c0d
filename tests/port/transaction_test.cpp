// Operations on a port's thread against a modem played by the test on the
// pty master: the bytes on the wire, answers, prompts, order, limits, stop.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include "tests/port/port_test_util.h"

using namespace std::chrono_literals;
using namespace std::string_literals;

class Transaction : public EngineTest
{
protected:
    pty_port pty;
    port_entry *entry = nullptr;
    void SetUp() override
    {
        EngineTest::SetUp();
        entry = create(pty.path);
    }
    port_op *send_only(const std::string &text, bool hex = false)
    {
        port_op op;
        op.command = text;
        op.send_only = true;
        op.is_hex = hex;
        return submit(entry, std::move(op));
    }
};

TEST_F(Transaction, ClosedPortIsOpenedAndTheAnswerCaptured)
{
    port_op *op = sendat(entry, "AT+CSQ", 10);
    EXPECT_EQ(pty.read_until("\r\n"), "AT+CSQ\r\n");
    const std::string answer = "AT+CSQ\r\n+CSQ: 20,99\r\n\r\nOK\r\n";
    pty.send(answer);

    ASSERT_TRUE(wait_done(op));
    EXPECT_EQ(op->outcome, AT_COMPLETED);
    EXPECT_EQ(op->response, answer);
    EXPECT_STREQ(op->matched_flag, "OK");
    EXPECT_GE(op->elapsed_ms, 0);
    EXPECT_EQ(op->end_flags.count, 5);
    port_snapshot s = snapshot_of(pty.path);
    EXPECT_TRUE(s.is_open);
    EXPECT_EQ(s.settings.baudrate, 115200);
    EXPECT_EQ(state_reasons(pty.path), std::vector<std::string>{"open+"});
}

TEST_F(Transaction, SendOnlyAndHexBytesReachTheWireExactly)
{
    port_op *text = send_only("AT+CFUN=1");
    port_op *hex = send_only("41540d0A0042", true);
    port_op *odd = send_only("4154D", true);
    port_op *bad = send_only("4G", true);
    port_op *empty = send_only("", true);
    ASSERT_TRUE(wait_done(empty));
    EXPECT_TRUE(text->ok && hex->ok && empty->ok);
    EXPECT_FALSE(odd->ok || bad->ok);
    EXPECT_EQ(pty.read_now(), "AT+CFUN=1AT\r\n\0B"s);

    // A waiting command with bad hex is not sent either; its end flags are
    // the ones it asked for.
    port_op op;
    op.command = "ZZ";
    op.is_hex = true;
    op.has_end_flag = true;
    op.end_flag = "READY";
    port_op *failed = submit(entry, std::move(op));
    ASSERT_TRUE(wait_done(failed));
    EXPECT_EQ(failed->outcome, AT_SEND_FAILED);
    EXPECT_EQ(failed->elapsed_ms, 0);
    EXPECT_EQ(failed->end_flags.count, 1);
    EXPECT_EQ(pty.read_now(), "");
}

TEST_F(Transaction, ZeroOrNegativeTimeoutReturnsAtOnce)
{
    for (int timeout : {0, -5}) {
        port_op *op = sendat(entry, "AT", timeout);
        ASSERT_TRUE(wait_done(op, 2s));
        EXPECT_EQ(op->outcome, AT_TIMED_OUT);
        EXPECT_LT(op->elapsed_ms, 1000);
    }
}

// Operations of one port run one at a time in the order they came; the
// second is written only once the first has its answer.
TEST_F(Transaction, OperationsRunOneAtATimeInOrder)
{
    port_op *first = sendat(entry, "AT+ONE");
    port_op *second = sendat(entry, "AT+TWO");
    EXPECT_EQ(pty.read_until("\r\n"), "AT+ONE\r\n");
    EXPECT_EQ(read_until(pty.master, "TWO", 200), "");
    pty.send("OK\r\n");
    EXPECT_EQ(pty.read_until("\r\n"), "AT+TWO\r\n");
    pty.send("OK\r\n");
    ASSERT_TRUE(wait_done(second));
    EXPECT_EQ(finished, (std::vector<port_op *>{first, second}));
}

TEST_F(Transaction, PromptDataFollowsTheModemsPrompt)
{
    auto with_data = [&](int timeout) {
        port_op op;
        op.command = "AT+CMGS=\"+15550100\"";
        op.timeout = timeout;
        op.has_data = true;
        op.data = "hello";
        return submit(entry, std::move(op));
    };

    port_op *sms = with_data(10);
    // CR alone: an LF would start the message text.
    EXPECT_EQ(pty.read_until("\r"), "AT+CMGS=\"+15550100\"\r");
    EXPECT_EQ(read_until(pty.master, "hello", 200), "");
    pty.send("AT+CMGS=\"+15550100\"\r\r\n> ");
    EXPECT_EQ(pty.read_until("\x1a"), "hello\x1a");
    pty.send("\r\n+CMGS: 7\r\n\r\nOK\r\n");
    ASSERT_TRUE(wait_done(sms));
    EXPECT_EQ(sms->outcome, AT_COMPLETED);
    EXPECT_TRUE(sms->data_sent);

    // Refused: the text is never written.
    port_op *refused = with_data(10);
    pty.read_until("\r");
    pty.send("AT+CMGS=\"+15550100\"\r\r\n+CMS ERROR: 500\r\n");
    ASSERT_TRUE(wait_done(refused));
    EXPECT_STREQ(refused->matched_flag, "ERROR");
    EXPECT_FALSE(refused->data_sent);

    // No prompt: ESC at the deadline takes the modem out of text input,
    // and the command owes nothing, so the next one gets its answer.
    port_op *silent = with_data(1);
    ASSERT_TRUE(wait_done(silent));
    EXPECT_EQ(silent->outcome, AT_TIMED_OUT);
    EXPECT_FALSE(silent->data_sent);
    EXPECT_EQ(pty.read_now(), "AT+CMGS=\"+15550100\"\r\x1b");
    port_op *next = sendat(entry, "AT");
    pty.read_until("\r\n");
    pty.send("OK\r\n");
    ASSERT_TRUE(wait_done(next));
    EXPECT_EQ(next->outcome, AT_COMPLETED);
}

// A hang-up under a waiting command ends it at once with what it had,
// instead of leaving the caller to wait out its whole timeout.
TEST_F(Transaction, HangUpEndsTheWaitingCommandAtOnce)
{
    port_op *op = sendat(entry, "AT+LONG", 60);
    pty.read_until("\r\n");
    pty.send("AT+LONG\r\n");
    stream_capture err(2);
    pty.close_master();
    ASSERT_TRUE(wait_done(op, 5s));
    EXPECT_EQ(op->outcome, AT_TIMED_OUT);
    // The echo may or may not have crossed before the line dropped.
    EXPECT_EQ(std::string("AT+LONG\r\n").rfind(op->response, 0), 0u) << op->response;
    EXPECT_LT(op->elapsed_ms, 5000);
    // How far the hang-up got when the port read decides the wording.
    std::string line = err.text();
    EXPECT_TRUE(line == "Error reading from port " + pty.path + ": device hung up, marking as closed\n" ||
                line == "Error reading from port " + pty.path + ": Input/output error, marking as closed\n")
        << line;
    EXPECT_FALSE(snapshot_of(pty.path).is_open);
    // The port's state follows the answer through the outbox, maybe a pump later.
    ASSERT_TRUE(wait_event([](const port_event &e) { return e.is_state && e.reason == std::string("error"); }));
    EXPECT_EQ(state_reasons(pty.path), (std::vector<std::string>{"open+", "error-"}));
}

// A read that fails says why, in the system's words; "device hung up" is
// for a hang-up that reads nothing. Either way the port is closed.
TEST(ReadFailure, NamesTheErrorOrTheHangUp)
{
    bare_port p;
    // A pty master whose other side has gone fails every read with EIO.
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master) | unlockpt(master), 0);
    close(open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC));
    int pipe_fds[2];
    ASSERT_EQ(pipe2(pipe_fds, O_NONBLOCK | O_CLOEXEC), 0);
    close(pipe_fds[1]);

    for (auto [fd, text] : {std::pair{master, "Input/output error"}, std::pair{pipe_fds[0], "device hung up"}}) {
        p.entry->fd = fd;
        stream_capture err(2);
        port_read_ready(p.entry, POLLIN | POLLHUP);
        EXPECT_EQ(err.text(), "Error reading from port /dev/bare: "s + text + ", marking as closed\n");
        EXPECT_EQ(p.entry->fd, -1);
        EXPECT_EQ(p.states(), std::vector<std::string>{"error-"});
    }
}

// A stop ends the running command as a timeout and starts nothing more:
// the queued operations stay for the caller to answer.
TEST_F(Transaction, StopEndsTheRunningCommandAndStartsNoOther)
{
    port_op *running = sendat(entry, "AT+LONG", 60);
    port_op *queued = sendat(entry, "AT+NEVER", 60);
    pty.read_until("\r\n");
    port_engine_stop(engine);
    ASSERT_TRUE(wait_done(running, 2s));
    EXPECT_EQ(running->outcome, AT_TIMED_OUT);
    std::deque<port_op *> left;
    port_engine_leftovers(engine, &left);
    EXPECT_EQ(left, std::deque<port_op *>{queued});
    EXPECT_EQ(pty.read_now(), "");
}

TEST_F(Transaction, QueueAndArgumentBoundsRefuseWithoutQueueing)
{
    port_op *holder = sendat(entry, "AT+HOLD", 60);
    pty.read_until("\r\n");
    for (int i = 1; i < PORT_QUEUE_MAX; i++)
        sendat(entry, "AT+Q" + std::to_string(i));
    port_op extra;
    extra.command = "AT+EXTRA";
    EXPECT_FALSE(port_submit(entry, &extra));

    // The argument bytes of every queued operation count, on all ports.
    port_entry *other = create(pty.dir.file("other"));
    port_op big, more;
    big.arg_bytes = PENDING_ARGS_MAX - 10;
    more.arg_bytes = 11;
    EXPECT_TRUE(port_submit(other, &big));
    EXPECT_FALSE(port_args_fit(engine, 11));
    EXPECT_FALSE(port_submit(entry, &more));
    pty.send("OK\r\n");
    ASSERT_TRUE(wait_done(holder));
    EXPECT_TRUE(port_submit(entry, &extra)); // a slot is free again
    ASSERT_TRUE(wait_done(&big));
    port_engine_stop(engine);
    pump(0);
    port_engine_leftovers(engine, &leftovers);
}
