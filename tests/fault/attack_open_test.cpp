// What a device holds when a record opens it was sent before that record
// wrote anything. None of it may be taken for the first command's answer,
// an init command's included, whatever it is: more than a few reads' worth,
// a line the modem is still in the middle of, a prompt someone else left
// open, the rest of a message text cut off when the node went.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "tests/fault/fault_env.h"
#include "tests/support/wait_until.h"

using namespace std::chrono_literals;

namespace
{

using lines = std::vector<std::string>;

const std::string CMT = "+CMT: \"+15550100\",,\"26/12/09,10:00:00+04\"";

class AttackOpen : public OneModemTest
{
protected:
    event_listener listener;

    void SetUp() override
    {
        OneModemTest::SetUp();
        ASSERT_TRUE(listener.start(env));
    }

    std::string port_arg() const { return "{\"at_port\":" + json_str(port) + "}"; }

    // Starts a sendat of command, its framed answer tagged with tag.
    bool start_tagged(pending_call &call, const std::string &tag, int timeout = 5)
    {
        const std::string command = "AT+TAG=" + tag;
        fake_modem_set_answer(m, command, {{0, "\r\n+TAG: " + tag + "\r\n\r\nOK\r\n"}});
        std::string args = "{\"at_port\":" + json_str(port) + ",\"at_cmd\":" + json_str(command) +
                           ",\"timeout\":" + std::to_string(timeout) + "}";
        return call_start(env.ctx, env.tarnel_id, "sendat", args, call);
    }
};

// An old message listing, longer than a few reads, e.g. of a caller that
// gave up on AT+CMGL while the daemon was restarted: PDU mode, one hex line
// per message.
std::string old_listing(int messages)
{
    std::string bytes;
    std::string pdu = "07919730071111F1040B919750010010F000006221900100000A";
    while (pdu.size() < 300)
        pdu += "C8329BFD06";
    for (int i = 1; i <= messages; i++)
        bytes += "\r\n+CMGL: " + std::to_string(i) + ",1,,150\r\n" + pdu + "\r\n";
    return bytes + "\r\nOK\r\n";
}

// A response's lines up to its first OK. What came behind the final line in
// the same read is in the response too (the raw bytes read), and published.
lines up_to_ok(lines all)
{
    auto ok = std::find(all.begin(), all.end(), "OK");
    if (ok != all.end())
        all.erase(ok + 1, all.end());
    return all;
}

} // namespace

// A device can hold far more than eight reads' worth (a pseudo-terminal
// some 20 KiB): all of it was there before the first command went out. The modem is kept from reading that command
// until everything it held has been read, so no echo can tell the old
// final result from an answer.
TEST_F(AttackOpen, ABacklogOfMoreThanEightReadsIsNoAnswer)
{
    expect_own_answers({"A"});
    ASSERT_EQ(call("close", port_arg()).str("status"), "success");
    const std::string marker = "+CIEV: battchg,5";
    std::string backlog = old_listing(30);
    ASSERT_GT(backlog.size(), 9000u);
    fake_modem_inject(m, backlog + "\r\n" + marker + "\r\n");
    ASSERT_TRUE(fake_modem_wait_sent(m, 10s));

    fake_modem_pause_reading(m, true);
    pending_call b;
    ASSERT_TRUE(start_tagged(b, "B"));
    // Published behind the old OK: by then that OK has been read.
    bool marker_seen = listener.wait_for(marker);
    fake_modem_pause_reading(m, false);
    ASSERT_TRUE(marker_seen);
    ASSERT_TRUE(call_finish(env.ctx, b, 10000));
    EXPECT_EQ(b.reply.str("status"), "success");
    EXPECT_EQ(response_lines(b.reply.str("response")), (lines{"AT+TAG=B", "+TAG: B", "OK"}))
        << json_str(b.reply.str("response").substr(0, 400));
    EXPECT_EQ(listener.mentions("+CMGL: 30,1,,150"), 1);
    expect_own_answers({"C", "D"});
}

// The device held the start of a line, here the old answer's final result
// with its line end still on the way: the line was begun before anything
// was written, so it is no answer to the first command, though it ends
// after that command went out.
TEST_F(AttackOpen, ALineBegunBeforeTheOpenIsNoAnswer)
{
    expect_own_answers({"A"});
    ASSERT_EQ(call("close", port_arg()).str("status"), "success");
    fake_modem_inject(m, "\r\n+COPS: 0,0,\"Tarnel\",7\r\n\r\nOK");
    ASSERT_TRUE(fake_modem_wait_sent(m, 10s));

    fake_modem_pause_reading(m, true);
    pending_call b;
    ASSERT_TRUE(start_tagged(b, "B"));
    // The daemon reads what the device held before it writes; the line's
    // end and a network report follow once the command is out.
    ASSERT_TRUE(listener.wait_for("+COPS: 0,0,"));
    bool written = fake_modem_wait_unread(m, strlen("AT+TAG=B\r"), 10s);
    fake_modem_inject(m, "\r\n\r\n+CREG: 1\r\n");
    bool report_seen = listener.wait_for("+CREG: 1");
    fake_modem_pause_reading(m, false);
    ASSERT_TRUE(written);
    ASSERT_TRUE(report_seen);
    ASSERT_TRUE(call_finish(env.ctx, b, 10000));
    EXPECT_EQ(b.reply.str("status"), "success");
    EXPECT_EQ(response_lines(b.reply.str("response")), (lines{"AT+TAG=B", "+TAG: B", "OK"})) << b.reply.str("response");
    expect_own_answers({"C"});
}

// A daemon that was restarted between a message command and its text
// finds the modem at its "> ": whatever it writes first would go into that
// text. Seen in what the device held, the prompt is ended before any
// command; the next message goes out as it was given, to its own number.
TEST_F(AttackOpen, APromptLeftAtTheDeviceTakesNoCommand)
{
    ASSERT_NO_FATAL_FAILURE(record_messages());
    const std::string earlier = "AT+CMGS=\"+15550100\"\r";
    {
        // The earlier daemon: its command and the modem's "> ", never read.
        int fd = open(fake_modem_slave_name(m).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, earlier.data(), earlier.size()), ssize_t(earlier.size()));
        bool prompted = wait_until([&] {
            int held = 0;
            return ioctl(fd, FIONREAD, &held) == 0 && size_t(held) >= earlier.size() + strlen("\r\n> ");
        });
        close(fd);
        ASSERT_TRUE(prompted);
    }

    pending_call b;
    ASSERT_TRUE(start_tagged(b, "B", 2));
    ASSERT_TRUE(call_finish(env.ctx, b, 10000));
    EXPECT_EQ(b.reply.str("status"), "success");
    EXPECT_EQ(response_lines(b.reply.str("response")), (lines{"AT+TAG=B", "+TAG: B", "OK"}))
        << b.reply.str("response") << b.reply.str("partial_response") << json_str(fake_modem_log(m));

    reply_fields next =
        sendat(port, "\"at_cmd\":\"AT+CMGS=\\\"+15550199\\\"\",\"data\":\"Your code is 4711\",\"timeout\":3");
    EXPECT_EQ(next.str("status"), "success") << json_str(fake_modem_log(m));
    EXPECT_EQ(sent.taken(), lines{"AT+CMGS=\"+15550199\"|Your code is 4711"});
    EXPECT_EQ(fake_modem_log(m).find("AT+TAG=B\r"), fake_modem_log(m).rfind("AT+TAG=B\r"));
    expect_own_answers({"C"});
}

// The link goes in the middle of a delivered text, in the middle of one of
// its lines, and the rest of the text comes while the port is closed: when
// the node is back, the reopened port reads it as the same text, every line
// of it published once, its "OK" nobody's final result.
TEST_F(AttackOpen, ATextCutByAVanishedLinkEndsOnceAfterTheReopen)
{
    expect_own("AT+CSQ", "+CSQ: 20,99"); // framed: texts run to their empty line
    fake_modem_inject(m, "\r\n" + CMT + "\r\nMeet me at the ga");
    ASSERT_TRUE(listener.wait_for(json_str(CMT)));
    ASSERT_TRUE(fake_modem_wait_sent(m, 10s));
    ASSERT_EQ(fake_modem_unplug(m), 0);
    ASSERT_TRUE(listener.wait_for("\"vanished\""));
    fake_modem_inject(m, "te\r\nOK\r\nBring a coat\r\n\r\n");
    ASSERT_TRUE(fake_modem_wait_sent(m, 10s));
    ASSERT_EQ(fake_modem_replug(m), 0);
    ASSERT_TRUE(listener.wait_for("\"reopen\""));
    ASSERT_TRUE(listener.wait_for("Bring a coat"));
    expect_own_answers({"B", "C"});
    EXPECT_EQ(listener.mentions("Meet me at the gate"), 1);
    EXPECT_EQ(listener.mentions("OK"), 1);
    EXPECT_EQ(listener.mentions("Bring a coat"), 1);
    EXPECT_EQ(listener.mentions("te"), 0);
    expect_clean_exit();
}

// The same backlog on a port with an init command: run first, it must
// not take the old final result for its answer either, or its own answer
// arrives while the caller queued behind it waits.
TEST_F(AttackOpen, AnInitCommandLeavesItsAnswerToNoCaller)
{
    expect_own_answers({"A"});
    ASSERT_EQ(call("close", port_arg()).str("status"), "success");
    const std::string marker = "+CIEV: battchg,5";
    fake_modem_inject(m, old_listing(30) + "\r\n" + marker + "\r\n");
    ASSERT_TRUE(fake_modem_wait_sent(m, 10s));
    fake_modem_set_answer(m, "AT+CMEE=2", {{0, "\r\nOK\r\n"}});

    fake_modem_pause_reading(m, true);
    reply_fields opened = call("open", "{\"at_port\":" + json_str(port) + ",\"init\":[\"AT+CMEE=2\"]}");
    pending_call b;
    bool started = start_tagged(b, "B");
    bool marker_seen = listener.wait_for(marker);
    // The init command is written at once; B only once it is over, which
    // it must not be before the modem has read it.
    fake_modem_wait_unread(m, strlen("AT+CMEE=2\r") + strlen("AT+TAG=B\r"), 2s);
    fake_modem_pause_reading(m, false);
    ASSERT_EQ(opened.str("status"), "success");
    ASSERT_TRUE(started);
    ASSERT_TRUE(marker_seen);
    ASSERT_TRUE(call_finish(env.ctx, b, 10000));
    EXPECT_EQ(b.reply.str("status"), "success");
    EXPECT_EQ(response_lines(b.reply.str("response")), (lines{"AT+TAG=B", "+TAG: B", "OK"}))
        << json_str(b.reply.str("response").substr(0, 400));
    expect_own_answers({"C", "D"});
}

// One client opens and closes the port over and over while another sends
// commands. Each answer has a network report right behind it, its line cut
// in two: the cut and the rest land anywhere among the closes and opens,
// in a record's line, the stash or what the next record finds at its open.
// Every caller gets its own answer, every report is published once.
TEST_F(AttackOpen, OpenCloseStormsKeepEveryLineWhereItBelongs)
{
    constexpr int ROUNDS = 40;
    context_ptr other(ubus_connect(env.sock.c_str()));
    ASSERT_TRUE(other);
    std::atomic<bool> storming{true};
    std::atomic<int> storm_calls{0}, storm_failures{0};
    std::thread storm([&] {
        for (int i = 0; storming; i++) {
            std::string status =
                call_now(other.get(), env.tarnel_id, i % 2 ? "close" : "open", port_arg()).str("status");
            storm_calls++;
            storm_failures += status != "success";
        }
    });
    auto report = [](int i) { return "+CREG: 1,\"" + std::to_string(1000 + i) + "\",\"01C3\",7"; };
    for (int i = 0; i < ROUNDS; i++) {
        const std::string tag = std::to_string(i);
        const std::string line = report(i);
        fake_modem_set_answer(m, "AT+TAG=" + tag,
                              {{0, "\r\n+TAG: " + tag + "\r\n\r\nOK\r\n"},
                               {3, "\r\n" + line.substr(0, 12)},
                               {3, line.substr(12) + "\r\n"}});
        reply_fields r = sendat(port, "\"at_cmd\":\"AT+TAG=" + tag + "\"");
        EXPECT_EQ(r.str("status"), "success") << tag;
        EXPECT_EQ(up_to_ok(response_lines(r.str("response"))), (lines{"AT+TAG=" + tag, "+TAG: " + tag, "OK"}))
            << tag << ": " << json_str(r.str("response"));
    }
    storming = false;
    storm.join();
    EXPECT_EQ(storm_failures, 0) << storm_calls << " calls";
    // What came while the port was closed is read at its next open.
    ASSERT_TRUE(fake_modem_wait_sent(m, 10s));
    ASSERT_EQ(open_port(port).str("status"), "success");
    ASSERT_TRUE(listener.wait_for(json_str(report(ROUNDS - 1))));
    for (int i = 0; i < ROUNDS; i++)
        EXPECT_EQ(listener.mentions(report(i)), 1) << report(i);
    expect_own_answers({"C"});
    expect_clean_exit();
}
