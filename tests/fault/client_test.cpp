// Bus clients that go away, and a daemon stopped while clients wait.
#include <signal.h>
#include <sys/wait.h>

#include "tests/fault/fault_env.h"

using namespace std::chrono_literals;

// The daemon answers a caller that is gone, then must serve the next one
// with that one's own answer.
TEST_F(FaultTest, ClientGoneWhileItsCommandWaitsLeavesTheNextCallIntact)
{
    std::string port = path_of("ttyUSB2");
    fake_modem *m = add_modem("ttyUSB2");
    take_baseline();

    struct {
        const char *what;
        std::vector<fake_modem_chunk> answer;
        int timeout;
    } cases[] = {
        {"answer still to come", {{800, tagged_answer("gone")}}, 5},
        {"no answer at all", {}, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fake_modem_set_answer(m, "AT+GONE", c.answer);
        context_ptr gone(ubus_connect(env.sock.c_str()));
        ASSERT_TRUE(gone);
        pending_call call;
        ASSERT_TRUE(start_on_line(gone.get(), m, "AT+GONE", c.timeout, call));
        gone.reset();

        fake_modem_set_answer(m, "AT+NEXT", {{0, tagged_answer("next")}});
        reply_fields r = sendat(port, "\"at_cmd\":\"AT+NEXT\"");
        EXPECT_EQ(r.str("response"), "AT+NEXT\r\n" + tagged_answer("next"));
    }

    // A call whose client leaves before the daemon has even read it, queued
    // behind a call that is still waiting.
    context_ptr keeper(ubus_connect(env.sock.c_str())), gone(ubus_connect(env.sock.c_str()));
    ASSERT_TRUE(keeper && gone);
    fake_modem_set_answer(m, "AT+HOLD", {{500, tagged_answer("hold")}});
    fake_modem_set_answer(m, "AT+QUEUED", {{0, tagged_answer("queued")}});
    pending_call hold, queued;
    ASSERT_TRUE(call_start(keeper.get(), env.tarnel_id, "sendat", sendat_args(port, "AT+HOLD", 5), hold));
    ASSERT_TRUE(call_start(gone.get(), env.tarnel_id, "sendat", sendat_args(port, "AT+QUEUED", 5), queued));
    gone.reset();
    ASSERT_TRUE(call_finish(keeper.get(), hold, 30000));
    EXPECT_EQ(hold.reply.str("response"), "AT+HOLD\r\n" + tagged_answer("hold"));
    fake_modem_set_answer(m, "AT+LAST", {{0, tagged_answer("last")}});
    reply_fields r = sendat(port, "\"at_cmd\":\"AT+LAST\"");
    EXPECT_EQ(r.str("response"), "AT+LAST\r\n" + tagged_answer("last"));

    expect_no_growth();
    expect_clean_exit();
}

// Commands that wait with long timeouts must not hold a stopping daemon:
// a service manager would kill it before the readers are joined.
TEST_F(FaultTest, SigtermWhileCommandsWaitOnTwoPortsExitsPromptly)
{
    std::string port_b = path_of("ttyB");
    fake_modem *a = add_modem("ttyA");
    fake_modem *b = add_modem("ttyB");
    for (fake_modem *m : {a, b})
        fake_modem_set_answer(m, "AT+SLOW", {});
    ASSERT_EQ(open_port(port_b).str("status"), "success");

    context_ptr first(ubus_connect(env.sock.c_str())), second(ubus_connect(env.sock.c_str()));
    ASSERT_TRUE(first && second);
    pending_call on_a, on_b;
    ASSERT_TRUE(start_on_line(first.get(), a, "AT+SLOW", 60, on_a));
    ASSERT_TRUE(call_start(second.get(), env.tarnel_id, "sendat", sendat_args(port_b, "AT+SLOW", 60), on_b));

    auto start = std::chrono::steady_clock::now();
    kill(env.daemon.pid, SIGTERM);
    ASSERT_TRUE(child_wait_exit(env.daemon, 20s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    ASSERT_TRUE(WIFEXITED(env.daemon.exit_status));
    EXPECT_EQ(WEXITSTATUS(env.daemon.exit_status), 0);
    std::string out = child_stdout(env.daemon);
    EXPECT_EQ(out.substr(out.size() - 28), "Port monitor thread stopped\n") << out;

    // Neither client is left hanging: each call ends, and a reply that did
    // get out reports the cut wait as a timeout, never as a success.
    for (auto [ctx, call] : {std::pair{first.get(), &on_a}, std::pair{second.get(), &on_b}}) {
        EXPECT_TRUE(call_finish(ctx, *call, 10000));
        if (call->reply.replied) {
            EXPECT_EQ(call->reply.str("status"), "timeout");
        }
    }
}
