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
        // The next command pays for the answer that never came.
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
        reply_fields r = sendat(port, "\"at_cmd\":\"AT+NEXT\",\"timeout\":1");
        if (c.timeout == 1) {
            EXPECT_EQ(r.str("status"), "timeout");
            r = sendat(port, "\"at_cmd\":\"AT+NEXT\"");
        }
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
