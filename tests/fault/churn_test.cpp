// Long runs of ordinary calls: whatever one call takes, it gives back.
#include "tests/fault/fault_env.h"

TEST_F(FaultTest, ThousandOpenCloseCyclesAndSendatsLeaveNothingBehind)
{
    std::string port = path_of("ttyUSB2");
    fake_modem *m = add_modem("ttyUSB2");
    take_baseline();

    const int cycles = 1000;
    proc_usage early;
    for (int i = 0; i < cycles; i++) {
        ASSERT_EQ(open_port(port).str("status"), "success") << i;
        ASSERT_EQ(call("close", "{\"at_port\":" + json_str(port) + "}").str("status"), "success") << i;
        if (i == cycles / 10)
            early = usage_of(env.daemon.pid);
    }
    // Compared with a point well into the run, so that only growth per
    // cycle counts: 1 MB over 900 cycles is about a kilobyte each.
    expect_memory_flat(usage_of(env.daemon.pid), early);

    // Two clients with a call each in flight: every reply carries only the
    // answer scripted for its own command.
    context_ptr other(ubus_connect(env.sock.c_str()));
    ASSERT_TRUE(other);
    ubus_context *clients[2] = {env.ctx, other.get()};
    for (int i = 0; i < cycles; i += 2) {
        pending_call calls[2];
        for (int k = 0; k < 2; k++) {
            std::string tag = std::to_string(i + k);
            fake_modem_set_answer(m, "AT+T=" + tag, {{0, tagged_answer(tag)}});
            ASSERT_TRUE(call_start(clients[k], env.tarnel_id, "sendat", sendat_args(port, "AT+T=" + tag), calls[k]));
        }
        for (int k = 0; k < 2; k++) {
            std::string tag = std::to_string(i + k);
            ASSERT_TRUE(call_finish(clients[k], calls[k], 30000));
            ASSERT_EQ(calls[k].reply.str("response"), "AT+T=" + tag + "\r\n" + tagged_answer(tag));
        }
        if (i == cycles / 10)
            early = usage_of(env.daemon.pid);
    }
    expect_memory_flat(usage_of(env.daemon.pid), early);

    expect_no_growth();
    expect_clean_exit();
}
