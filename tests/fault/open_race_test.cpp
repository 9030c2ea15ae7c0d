// A link swapped between the check and the open: the node that was checked
// is the node that is opened, or nothing is.
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "tests/fault/fault_env.h"

using namespace std::chrono_literals;

// The link flips between the modem's pseudo-terminal and a regular file as
// fast as it can while "open" is called over and over (and the watcher's
// repairs reopen the port on every flip). Opening the file even for an
// instant shows on inotify: a real open ends with a close event. (An O_PATH
// descriptor opens nothing and, on every kernel, reports no close; some
// older kernels do report its open.)
TEST_F(FaultTest, LinkSwappedDuringOpensNeverOpensTheOtherNode)
{
    fake_modem *m = add_modem("ttyMODEM");
    std::string pts = fake_modem_slave_name(m);
    std::string decoy = path_of("decoy");
    std::ofstream(decoy).close();
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, decoy.c_str(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE), 0);

    std::string port = path_of("ttyUSB2");
    paths.push_back(port);
    std::atomic<bool> flipping{true};
    std::thread flipper([&] {
        std::string next = port + ".next";
        for (int i = 0; flipping; i++) {
            (void)!symlink(i % 2 ? decoy.c_str() : pts.c_str(), next.c_str());
            (void)!rename(next.c_str(), port.c_str());
        }
    });
    int calls = 0, opened = 0, refused = 0;
    const auto until = std::chrono::steady_clock::now() + 5s;
    for (; calls < 2000 && std::chrono::steady_clock::now() < until; calls++) {
        std::string status = open_port(port).str("status");
        opened += status == "success";
        refused += status == "error";
    }
    flipping = false;
    flipper.join();

    char events[4096];
    ssize_t wrong = read(watch, events, sizeof events);
    close(watch);
    EXPECT_LE(wrong, 0) << "the regular file was opened (" << calls << " calls)";
    // Both targets were met.
    EXPECT_GT(opened, 0);
    EXPECT_GT(refused, 0);
}
