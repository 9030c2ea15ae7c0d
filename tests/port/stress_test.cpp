// Everything at once on one port: a modem answering, transactions and
// send-only writes, the monitor and extra checks, close/open churn, and
// records created and destroyed under the monitor. Meant for the thread
// sanitizer; without it, it still catches hangs and lost answers.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

#include "core/daemon_state.h"
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
        for (size_t end; (end = pending.find("\r\n")) != std::string::npos;) {
            pending.erase(0, end + 2);
            ssize_t w = write(pty->master, "\r\nOK\r\n", 6);
            (void)w;
        }
    }
}

TEST_F(PortTest, ConcurrentTransactionsChecksAndReopens)
{
    pty_port pty;
    port_entry *entry = port_create(pty.path.c_str());
    ASSERT_EQ(port_open(entry, 115200, 8, 0, 1), 0);

    stream_capture out(1), err(2);
    std::atomic<bool> stop{false}, modem_stop{false};
    std::thread modem(play_modem, &pty, &modem_stop);
    std::thread churn([&] {
        while (!stop) {
            port_close(entry);
            port_open(entry, 115200, 8, 0, 1);
            usleep(3000);
        }
    });
    std::thread checker([&] {
        while (!stop) {
            pthread_mutex_lock(&g_daemon.registry_lock);
            for (port_entry *p = g_daemon.ports; p; p = p->next) {
                p->last_check_mono -= PORT_CHECK_INTERVAL;
                port_check(p);
            }
            pthread_mutex_unlock(&g_daemon.registry_lock);
            usleep(1000);
        }
    });
    port_monitor_start();

    auto result = std::make_unique<at_response>();
    int completed = 0;
    for (int i = 0; i < 1000; i++) {
        at_outcome outcome = at_transact(entry, "AT+CSQ", 2, nullptr, false, result.get());
        // Reopens in between may cost a command its answer, never all of them.
        if (outcome == AT_COMPLETED)
            completed++;
        EXPECT_LE(result->length, CAPTURE_MAX);
        if (i % 10 == 0) {
            at_send_only(entry, "AT", false);
            // A record for a missing node, examined by the monitor and the
            // checker while it is destroyed.
            port_entry *ghost = port_create("/nonexistent/ttyUSB9");
            ASSERT_NE(ghost, nullptr);
            make_check_due(ghost);
            usleep(500);
            port_destroy(ghost);
        }
    }

    stop = true;
    churn.join();
    checker.join();
    port_monitor_stop();
    EXPECT_GT(completed, 0);

    // Once the churn is over the port answers normally again.
    port_open(entry, 115200, 8, 0, 1);
    EXPECT_EQ(at_transact(entry, "AT", 10, nullptr, false, result.get()), AT_COMPLETED);
    modem_stop = true;
    modem.join();
    port_close(entry);
    EXPECT_EQ(entry->fd, -1);
    EXPECT_EQ(registry_count(), 1);
}
