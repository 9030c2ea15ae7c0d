// The bus never waits for a modem: a port's calls queue behind each other
// in arrival order, other ports and "list" answer meanwhile, the queue is
// bounded, and a stop answers everyone.

#include "tests/fault/fault_env.h"

using namespace std::chrono_literals;

TEST_F(FaultTest, ListAndOtherPortsAnswerWhileACommandWaits)
{
    fake_modem *slow = add_modem("ttySlow");
    std::string quick = path_of("ttyQuick");
    add_modem("ttyQuick");
    fake_modem_set_answer(slow, "AT+SLOW", {});
    context_ptr waiter(ubus_connect(env.sock.c_str()));
    pending_call waiting;
    ASSERT_TRUE(start_on_line(waiter.get(), slow, "AT+SLOW", 20, waiting));

    // Were the loop held by the waiting command, these would take 20 s.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(call("list", "", 10000).status, 0);
    reply_fields r = sendat(quick, "\"at_cmd\":\"AT+CSQ\"");
    EXPECT_EQ(r.str("status"), "success");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

// Numbered commands from several clients at once: each reply holds its own
// command's answer, and each client's commands reach the modem in the
// order it sent them.
TEST_F(FaultTest, ManyClientsOnOnePortEachGetTheirOwnAnswer)
{
    std::string port = path_of("ttyUSB2");
    fake_modem *m = add_modem("ttyUSB2");
    constexpr int CLIENTS = 4, EACH = 6;
    for (int c = 0; c < CLIENTS; c++)
        for (int i = 0; i < EACH; i++) {
            std::string tag = std::to_string(c) + "-" + std::to_string(i);
            fake_modem_set_answer(m, "AT+N=" + tag, {{i % 3, tagged_answer(tag)}});
        }
    std::vector<context_ptr> clients;
    std::vector<std::vector<pending_call>> calls(CLIENTS);
    for (int c = 0; c < CLIENTS; c++) {
        clients.emplace_back(ubus_connect(env.sock.c_str()));
        ASSERT_TRUE(clients.back());
        calls[c] = std::vector<pending_call>(EACH);
    }
    for (int i = 0; i < EACH; i++)
        for (int c = 0; c < CLIENTS; c++) {
            std::string tag = std::to_string(c) + "-" + std::to_string(i);
            ASSERT_TRUE(call_start(clients[c].get(), env.tarnel_id, "sendat", sendat_args(port, "AT+N=" + tag, 10),
                                   calls[c][i]));
        }
    for (int c = 0; c < CLIENTS; c++)
        for (int i = 0; i < EACH; i++) {
            std::string tag = std::to_string(c) + "-" + std::to_string(i);
            ASSERT_TRUE(call_finish(clients[c].get(), calls[c][i], 30000));
            EXPECT_EQ(calls[c][i].reply.str("response"), "AT+N=" + tag + "\r\n" + tagged_answer(tag));
        }
    std::string log = fake_modem_log(m);
    for (int c = 0; c < CLIENTS; c++) {
        size_t at = 0;
        for (int i = 0; i < EACH; i++) {
            size_t found = log.find("AT+N=" + std::to_string(c) + "-" + std::to_string(i) + "\r\n", at);
            ASSERT_NE(found, std::string::npos) << c << " " << i;
            at = found + 1;
        }
    }
}

TEST_F(FaultTest, ThirtyThirdPendingCallIsRefusedAndNeverWritten)
{
    std::string port = path_of("ttyUSB2");
    fake_modem *m = add_modem("ttyUSB2");
    fake_modem_set_answer(m, "AT+HOLD", {});
    context_ptr holder(ubus_connect(env.sock.c_str()));
    constexpr int PENDING = 32;
    std::vector<pending_call> held(PENDING);
    ASSERT_TRUE(start_on_line(holder.get(), m, "AT+HOLD", 3, held[0]));
    for (int i = 1; i < PENDING; i++)
        ASSERT_TRUE(call_start(holder.get(), env.tarnel_id, "sendat", sendat_args(port, "AT+Q" + std::to_string(i), 1),
                               held[i]));

    reply_fields busy = sendat(port, "\"at_cmd\":\"AT+TOOMANY\"");
    EXPECT_EQ(busy.status, 0);
    EXPECT_EQ(busy.text, (std::map<std::string, std::string>{{"status", "error"}, {"message", "Port busy"}}));
    EXPECT_TRUE(busy.number.empty());
    for (auto &call : held)
        ASSERT_TRUE(call_finish(holder.get(), call, 60000));
    EXPECT_EQ(fake_modem_log(m).find("TOOMANY"), std::string::npos);
}

// A stop cuts the running commands (timeouts), answers the queued ones
// without starting them, writes nothing more, and exits at once. The
// broker drops what it has not read when it sees the daemon hang up, so
// with this many replies written at the last moment, some are lost unless
// the daemon waits until the broker has taken them all.
TEST_F(FaultTest, SigtermAnswersEveryCallerAndWritesNothingMore)
{
    fake_modem *a = add_modem("ttyA");
    fake_modem *b = add_modem("ttyB");
    context_ptr client(ubus_connect(env.sock.c_str()));
    const int queued = 15;
    const int per_port = 1 + queued;
    std::vector<pending_call> calls(2 * per_port);
    int n = 0;
    for (fake_modem *m : {a, b}) {
        fake_modem_set_answer(m, "AT+SLOW", {});
        ASSERT_TRUE(start_on_line(client.get(), m, "AT+SLOW", 60, calls[n++]));
        for (int i = 0; i < queued; i++)
            ASSERT_TRUE(call_start(client.get(), env.tarnel_id, "sendat",
                                   sendat_args(fake_modem_link_path(m), "AT+QUEUED", 60), calls[n++]));
    }
    // The queued calls are in the daemon once "list" has been answered
    // behind them on the same connection.
    EXPECT_EQ(call_now(client.get(), env.tarnel_id, "list", "").status, 0);

    expect_clean_exit(5000);

    for (int i = 0; i < n; i++) {
        ASSERT_TRUE(call_finish(client.get(), calls[i], 10000)) << i;
        EXPECT_TRUE(calls[i].reply.replied) << i;
        if (i % per_port == 0) {
            EXPECT_EQ(calls[i].reply.str("status"), "timeout");
        } else {
            EXPECT_EQ(calls[i].reply.text,
                      (std::map<std::string, std::string>{{"status", "error"}, {"message", "Daemon is stopping"}}));
        }
    }
    for (fake_modem *m : {a, b})
        EXPECT_EQ(fake_modem_log(m).find("AT+QUEUED"), std::string::npos);
}
