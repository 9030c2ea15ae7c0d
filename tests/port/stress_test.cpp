// Everything at once on one port: a modem answering, commands and send-only
// writes, examinations and node flapping asked for from another thread,
// records created and retired. Meant for the thread sanitizer; without it,
// it still catches hangs and lost answers.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "tests/port/port_test_util.h"

static void play_modem(pty_port *pty, std::atomic<bool> *stop)
{
    std::string pending;
    while (!*stop) {
        pollfd p = {pty->master, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        char buf[1024];
        ssize_t n = read(pty->master, buf, sizeof(buf));
        if (n <= 0)
            continue;
        pending.append(buf, n);
        for (size_t end; (end = pending.find("\r")) != std::string::npos;) {
            pending.erase(0, end + 1);
            (void)!write(pty->master, "\r\nOK\r\n", 6);
        }
    }
}

TEST_F(EngineTest, CommandsRepairsAndRecordsAllAtOnce)
{
    pty_port pty;
    port_entry *entry = create(pty.path);
    stream_capture out(1), err(2);
    std::atomic<bool> stop{false}, modem_stop{false};
    std::thread modem(play_modem, &pty, &modem_stop);
    std::thread repairs([&] {
        for (int i = 0; !stop; i++) {
            // The registry lock keeps records from going while poked.
            {
                mutex_guard guard(&engine->registry_lock);
                for (port_entry *p = engine->ports; p; p = p->next)
                    port_poke(p, POKE_CHECK | (i % 2 ? POKE_GONE : POKE_BACK));
            }
            usleep(1000);
        }
    });
    port_monitor_start(engine);

    int completed = 0;
    for (int i = 0; i < 500; i++) {
        port_op *op = sendat(entry, "AT+CSQ", 2);
        if (i % 10 == 0) {
            port_op only;
            only.command = "AT\r";
            only.send_only = true;
            submit(entry, std::move(only));
            // A record for a missing node, repaired and retired meanwhile.
            port_entry *ghost = create("/nonexistent/ttyUSB9");
            port_op *probe = sendat(ghost, "AT", 1);
            ASSERT_TRUE(wait_done(probe));
            port_retire(ghost, &leftovers);
        }
        ASSERT_TRUE(wait_done(op));
        completed += op->outcome == AT_COMPLETED;
        EXPECT_LE(op->response.size(), size_t(CAPTURE_MAX));
    }
    stop = true;
    repairs.join();
    port_monitor_stop(engine);
    EXPECT_GT(completed, 0);

    // Once the churn is over the port answers normally again (after at most
    // one command that pays for an answer still owed).
    port_op *last = nullptr;
    for (int i = 0; i < 3 && (!last || last->outcome != AT_COMPLETED); i++) {
        last = sendat(entry, "AT", 2);
        ASSERT_TRUE(wait_done(last));
    }
    EXPECT_EQ(last->outcome, AT_COMPLETED);
    modem_stop = true;
    modem.join();
    EXPECT_EQ(registry_count(engine), 1);
}
