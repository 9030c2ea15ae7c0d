// Command transactions against a modem played by the test on the pty
// master: bytes on the wire, line assembly, capture and timeouts.
#include <unistd.h>

#include <future>
#include <memory>
#include <string>

#include "tests/port/port_test_util.h"

using namespace std::string_literals;

// Runs at_transact on its own thread while the test plays the modem.
struct transaction {
    std::unique_ptr<at_response> result = std::make_unique<at_response>();
    std::future<at_outcome> outcome;

    transaction(port_entry *entry, std::string command, int32_t timeout, const char *flags = nullptr,
                bool is_hex = false)
    {
        std::string spec = flags ? flags : "";
        at_response *out = result.get();
        outcome = std::async(std::launch::async,
                             [=] { return at_transact(entry, command.c_str(), timeout, spec.c_str(), is_hex, out); });
    }
    at_outcome wait() { return outcome.get(); }
    std::string data() const { return std::string(result->data, result->length); }
};

class TransactionTest : public PortTest
{
protected:
    pty_port pty;
    port_entry *entry = nullptr;
    void SetUp() override
    {
        PortTest::SetUp();
        entry = port_create(pty.path.c_str());
        ASSERT_NE(entry, nullptr);
    }

    void open_port() { ASSERT_EQ(port_open(entry, 115200, 8, 0, 1), 0); }

    // Sends `count` bytes of 'x' in pieces, waiting until each piece has
    // been assembled so the reader sees them as separate chunks.
    void fill_line(int count)
    {
        int base = locked_line_length(entry);
        for (int sent = 0; sent < count;) {
            int piece = std::min(1000, count - sent);
            pty.send(std::string(piece, 'x'));
            sent += piece;
            ASSERT_TRUE(wait_until([&] { return locked_line_length(entry) == base + sent; }));
        }
    }
};

TEST_F(TransactionTest, ClosedPortIsOpenedAndTheAnswerCaptured)
{
    transaction t(entry, "AT+CSQ", 10);
    EXPECT_EQ(pty.read_until("\r\n"), "AT+CSQ\r\n");
    const std::string answer = "AT+CSQ\r\n+CSQ: 20,99\r\n\r\nOK\r\n";
    pty.send(answer);

    ASSERT_EQ(t.wait(), AT_COMPLETED);
    EXPECT_EQ(t.data(), answer);
    EXPECT_STREQ(t.result->matched_flag, "OK");
    EXPECT_EQ(t.result->status, 0);
    EXPECT_GE(t.result->elapsed_ms, 0);
    EXPECT_GE(t.result->end.tv_sec, t.result->start.tv_sec);
    EXPECT_EQ(entry->baudrate, 115200);
    EXPECT_EQ(entry->databits, 8);
    EXPECT_EQ(entry->stopbits, 1);
    EXPECT_EQ(entry->end_flag_count, 5);
    EXPECT_FALSE(locked_waiting(entry));
}

TEST_F(TransactionTest, SendOnlyAndHexBytesReachTheWireExactly)
{
    EXPECT_EQ(at_send_only(entry, "AT+CFUN=1", false), 0);
    EXPECT_EQ(at_send_only(entry, "41540D0A", true), 0);
    EXPECT_EQ(at_send_only(entry, "410042", true), 0);
    EXPECT_EQ(at_send_only(entry, "", true), 0);
    EXPECT_EQ(at_send_only(entry, "414", true), -1);
    EXPECT_EQ(at_send_only(entry, "4G", true), -1);

    transaction bad(entry, "41 54", 5, nullptr, true);
    EXPECT_EQ(bad.wait(), AT_SEND_FAILED);
    EXPECT_EQ(bad.result->status, -1);
    EXPECT_EQ(bad.result->elapsed_ms, 0);
    EXPECT_FALSE(locked_waiting(entry));

    // Raw content is sent as decoded, without a line terminator.
    transaction raw(entry, "4F4B", 0, nullptr, true);
    EXPECT_EQ(raw.wait(), AT_TIMED_OUT);

    EXPECT_EQ(at_send_only(entry, "Z", false), 0);
    EXPECT_EQ(pty.read_until("Z"), "AT+CFUN=1AT\r\nA\0BOKZ"s);
}

TEST_F(TransactionTest, SplitAnswerCompletesOnlyAtCrLf)
{
    open_port();
    transaction t(entry, "AT", 10);
    pty.read_until("\r\n");
    pty.send("O");
    ASSERT_TRUE(wait_until([&] { return locked_line_length(entry) == 1; }));
    pty.send("K");
    ASSERT_TRUE(wait_until([&] { return locked_line_length(entry) == 2; }));
    EXPECT_TRUE(locked_waiting(entry));
    pty.send("\r\n");
    ASSERT_EQ(t.wait(), AT_COMPLETED);
    EXPECT_EQ(t.data(), "OK\r\n");
}

TEST_F(TransactionTest, EchoNeverCompletesAndLateBytesAreNotCaptured)
{
    open_port();
    transaction t(entry, "AT", 1, "AT");
    pty.read_until("\r\n");
    pty.send("AT\r\n");
    ASSERT_EQ(t.wait(), AT_TIMED_OUT);
    EXPECT_EQ(t.data(), "AT\r\n");
    EXPECT_EQ(t.result->status, -1);
    EXPECT_STREQ(t.result->matched_flag, "");
    EXPECT_GE(t.result->elapsed_ms, 900);

    pty.send("late");
    ASSERT_TRUE(wait_until([&] { return locked_line_length(entry) == 4; }));
    EXPECT_EQ(locked_capture_length(entry), 4);
}

// Bytes of an unfinished line received before the command are joined in
// front of its echo, which then no longer counts as an echo.
TEST_F(TransactionTest, UnfinishedLineIsJoinedToTheEcho)
{
    open_port();
    pty.send("XY");
    ASSERT_TRUE(wait_until([&] { return locked_line_length(entry) == 2; }));
    transaction t(entry, "AT+CSQ", 10, "AT+CSQ");
    pty.read_until("\r\n");
    pty.send("AT+CSQ\r\n");
    ASSERT_EQ(t.wait(), AT_COMPLETED);
    EXPECT_STREQ(t.result->matched_flag, "AT+CSQ");
    EXPECT_EQ(t.data(), "AT+CSQ\r\n");
}

TEST_F(TransactionTest, ZeroOrNegativeTimeoutReturnsAtOnce)
{
    open_port();
    for (int timeout : {0, -5}) {
        transaction t(entry, "AT", timeout);
        EXPECT_EQ(t.wait(), AT_TIMED_OUT);
        EXPECT_EQ(t.result->status, -1);
        EXPECT_FALSE(locked_waiting(entry));
    }
    EXPECT_EQ(pty.read_until("AT\r\nAT\r\n"), "AT\r\nAT\r\n");
}

// An answer that can beat the transaction to its wait must not be lost.
TEST_F(TransactionTest, InstantAnswersAreNeverMissed)
{
    open_port();
    for (int i = 0; i < 30; i++) {
        transaction t(entry, "AT", 10);
        pty.read_until("\r\n");
        pty.send("OK\r\n");
        ASSERT_EQ(t.wait(), AT_COMPLETED) << "round " << i;
    }
}

TEST_F(TransactionTest, CaptureDropsChunksThatDoNotFitButKeepsLaterSmallOnes)
{
    open_port();
    transaction t(entry, "AT+BIG", 20);
    pty.read_until("\r\n");
    std::string block = std::string(998, 'x') + "\r\n";
    for (int i = 0; i < 32; i++) {
        pty.send(block);
        ASSERT_TRUE(wait_until([&] { return locked_capture_length(entry) == (i + 1) * 1000; }));
    }
    pty.send(std::string(758, 'x') + "\r\n");
    ASSERT_TRUE(wait_until([&] { return locked_capture_length(entry) == 32760; }));

    pty.send("1234567"); // 32767 bytes would pass the limit
    ASSERT_TRUE(wait_until([&] { return locked_line_length(entry) == 7; }));
    EXPECT_EQ(locked_capture_length(entry), 32760);
    pty.send("OK\r\n");

    ASSERT_EQ(t.wait(), AT_COMPLETED);
    EXPECT_EQ(t.result->length, 32764);
    EXPECT_EQ(t.data().substr(32760), "OK\r\n");
    EXPECT_EQ(t.data().find('1'), std::string::npos);
}

TEST_F(TransactionTest, LineOverflowEmptiesTheBufferAndDropsTheChunk)
{
    open_port();
    {
        // Exactly full still assembles: the final CR LF fits.
        transaction t(entry, "AT", 20);
        pty.read_until("\r\n");
        fill_line(32761);
        pty.send("\r\nOK\r\n");
        ASSERT_EQ(t.wait(), AT_COMPLETED);
        EXPECT_EQ(locked_line_length(entry), 0);
    }
    {
        transaction t(entry, "AT", 20);
        pty.read_until("\r\n");
        fill_line(32760);
        pty.send("\r\nERROR\r\n");
        ASSERT_TRUE(wait_until([&] { return locked_line_length(entry) == 0; }));
        EXPECT_TRUE(locked_waiting(entry));
        pty.send("tail OK\r\n");
        ASSERT_EQ(t.wait(), AT_COMPLETED);
        EXPECT_STREQ(t.result->matched_flag, "OK");
    }
}

// A NUL byte ends a line's text but never hides the CR LF behind it.
TEST_F(TransactionTest, NulBytesNeitherStallLinesNorEndTheCapture)
{
    open_port();
    transaction t(entry, "AT+CSQ", 10);
    pty.read_until("\r\n");
    const std::string first = "+CSQ: \0 20\r\nA\0OK\r\n"s;
    pty.send(first);
    ASSERT_TRUE(wait_until([&] { return locked_capture_length(entry) == 18; }));
    ASSERT_TRUE(wait_until([&] { return locked_line_length(entry) == 0; }));
    EXPECT_TRUE(locked_waiting(entry));
    pty.send("\0junk\r\nOK\r\n"s);
    ASSERT_EQ(t.wait(), AT_COMPLETED);
    EXPECT_EQ(t.data(), first + "\0junk\r\nOK\r\n"s);
    EXPECT_EQ(t.result->length, 29);
}

// The reader that met the error has finished; destroying the record must
// still join it and close the descriptor without blocking.
TEST_F(PortTest, ReadErrorWhileWaitingEndsAsTimeoutWithTheCapture)
{
    port_entry *entry = port_create("/dev/ptmx");
    ASSERT_EQ(port_open(entry, 115200, 8, 0, 1), 0);
    int peer = open_master_peer(entry);
    ASSERT_GE(peer, 0);
    stream_capture err(2);

    transaction t(entry, "AT+CSQ", 3);
    EXPECT_EQ(read_until(peer, "\r\n"), "AT+CSQ\r\n");
    ASSERT_EQ(write(peer, "+CSQ: 1", 7), 7);
    ASSERT_TRUE(wait_until([&] { return locked_capture_length(entry) == 7; }));
    close(peer);

    ASSERT_EQ(t.wait(), AT_TIMED_OUT);
    EXPECT_EQ(t.data(), "+CSQ: 1");
    EXPECT_FALSE(entry->is_open);
    EXPECT_EQ(err.text(), "Error reading from port /dev/ptmx: Input/output error, marking as closed\n");
    EXPECT_TRUE(entry->has_reader);
    EXPECT_GE(entry->fd, 0);
    port_destroy(entry);
    EXPECT_EQ(registry_count(), 0);
}
