#include "core/stop_guard.h"

#include <dirent.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

namespace
{

using steady = std::chrono::steady_clock;

// While a reconnection is under way the connection may be a socket made
// after the first cut: the cut is repeated this often until the bus is let go.
constexpr std::chrono::milliseconds CUT_AGAIN{50};

// The loop's handler for each stop signal, which runs after ours and is
// put back at the end.
struct chained_signal {
    int signo;
    bool installed;
    struct sigaction loop;
};
chained_signal chained[] = {{SIGINT, false, {}}, {SIGTERM, false, {}}};

int wake_fd = -1; // written by the signal handler, and by stop_guard_end
std::atomic<bool> signalled{false};

struct guard_state {
    std::mutex lock;
    std::condition_variable changed;
    std::optional<steady::time_point> began;
    bool released = false;
    bool ending = false;
    // Who the bus connection talks to: a socket with this peer is a bus
    // connection, also one a reconnection has just made.
    sockaddr_storage broker = {};
    socklen_t broker_len = 0;
    int bus_fd = -1; // where /proc cannot be read
    pthread_t thread{};
    bool started = false;
};
guard_state guard;

void on_stop_signal(int signo, siginfo_t *info, void *context)
{
    int saved_errno = errno;
    signalled.store(true);
    uint64_t one = 1;
    (void)!write(wake_fd, &one, sizeof one);
    errno = saved_errno;
    for (const chained_signal &c : chained) {
        if (c.signo != signo)
            continue;
        if (c.loop.sa_flags & SA_SIGINFO)
            c.loop.sa_sigaction(signo, info, context);
        else
            c.loop.sa_handler(signo);
    }
}

// Only in front of a handler the loop installed: a stop signal that is
// ignored stays ignored, and one left to its default still ends the process.
void chain_signal(chained_signal &c)
{
    struct sigaction current;
    if (sigaction(c.signo, nullptr, &current) != 0)
        return;
    bool handled = (current.sa_flags & SA_SIGINFO) ? current.sa_sigaction != nullptr
                                                   : current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN;
    if (!handled)
        return;
    struct sigaction ours = current;
    ours.sa_sigaction = on_stop_signal;
    ours.sa_flags = (current.sa_flags | SA_SIGINFO) & ~SA_RESETHAND;
    c.loop = current;
    c.installed = sigaction(c.signo, &ours, nullptr) == 0;
}

bool talks_to_broker(int fd)
{
    if (guard.broker_len == 0)
        return fd == guard.bus_fd;
    sockaddr_storage peer = {};
    socklen_t len = sizeof peer;
    return getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &len) == 0 && len == guard.broker_len &&
           memcmp(&peer, &guard.broker, len) == 0;
}

// Told by the descriptor's name in /proc rather than by fstat: the
// descriptors belong to other threads, which may be closing them.
bool is_socket(int fd_dir, const char *name)
{
    char target[64];
    ssize_t n = readlinkat(fd_dir, name, target, sizeof target - 1);
    return n > 0 && strncmp(target, "socket:", 7) == 0;
}

// Caller holds guard.lock, so the connection is not freed meanwhile.
void cut_bus_connection()
{
    DIR *fds = opendir("/proc/self/fd");
    if (!fds) {
        (void)shutdown(guard.bus_fd, SHUT_RDWR);
        return;
    }
    while (dirent *e = readdir(fds)) {
        if (e->d_name[0] != '.' && is_socket(dirfd(fds), e->d_name) && talks_to_broker(atoi(e->d_name)))
            (void)shutdown(atoi(e->d_name), SHUT_RDWR);
    }
    closedir(fds);
}

steady::time_point began_locked()
{
    if (!guard.began)
        guard.began = steady::now();
    return *guard.began;
}

void *guard_main(void *)
{
    pollfd wake = {wake_fd, POLLIN, 0};
    while (poll(&wake, 1, -1) < 0 && errno == EINTR) {}
    std::unique_lock<std::mutex> lock(guard.lock);
    steady::time_point cut_at = began_locked() + std::chrono::milliseconds(BUS_CUT_AFTER_MS);
    while (!guard.released && !guard.ending) {
        if (guard.changed.wait_until(lock, cut_at) != std::cv_status::timeout)
            continue;
        cut_bus_connection();
        cut_at = steady::now() + CUT_AGAIN;
    }
    return nullptr;
}

} // namespace

void stop_guard_start(int bus_fd)
{
    guard.bus_fd = bus_fd;
    guard.broker_len = sizeof guard.broker;
    if (getpeername(bus_fd, reinterpret_cast<sockaddr *>(&guard.broker), &guard.broker_len) != 0)
        guard.broker_len = 0;
    wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd < 0)
        return;
    guard.started = pthread_create(&guard.thread, nullptr, guard_main, nullptr) == 0;
    if (!guard.started)
        return;
    for (chained_signal &c : chained)
        chain_signal(c);
}

bool stop_guard_signalled()
{
    return signalled.load();
}

int stop_guard_left_ms(int budget_ms)
{
    std::lock_guard<std::mutex> lock(guard.lock);
    auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - began_locked()).count();
    return spent >= budget_ms ? 0 : budget_ms - static_cast<int>(spent);
}

void stop_guard_release()
{
    std::lock_guard<std::mutex> lock(guard.lock);
    guard.released = true;
    guard.changed.notify_all();
}

void stop_guard_end()
{
    for (chained_signal &c : chained)
        if (c.installed)
            sigaction(c.signo, &c.loop, nullptr);
    if (guard.started) {
        {
            std::lock_guard<std::mutex> lock(guard.lock);
            guard.ending = true;
            guard.changed.notify_all();
        }
        uint64_t one = 1;
        (void)!write(wake_fd, &one, sizeof one);
        pthread_join(guard.thread, nullptr);
        guard.started = false;
    }
    if (wake_fd >= 0)
        close(wake_fd);
    wake_fd = -1;
}
