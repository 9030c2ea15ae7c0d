#include "tests/cli/cli_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

extern char **environ;

namespace
{

using clock_type = std::chrono::steady_clock;

int remaining_ms(clock_type::time_point end)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock_type::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Appends what is available; false at end of stream (EOF, or EIO once a
// terminal's last writer has gone).
bool drain_once(int fd, std::string &into)
{
    char buf[4096];
    ssize_t n;
    do
        n = read(fd, buf, sizeof buf);
    while (n < 0 && errno == EINTR);
    if (n <= 0)
        return false;
    into.append(buf, static_cast<size_t>(n));
    return true;
}

int decode_status(int wstatus)
{
    if (WIFEXITED(wstatus))
        return WEXITSTATUS(wstatus);
    return WIFSIGNALED(wstatus) ? 128 + WTERMSIG(wstatus) : -1;
}

// Reaps pid within the deadline, killing it if it overstays.
int reap(pid_t pid, clock_type::time_point end)
{
    int wstatus;
    while (waitpid(pid, &wstatus, WNOHANG) == 0) {
        if (clock_type::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            return -1;
        }
        poll(nullptr, 0, 5);
    }
    return decode_status(wstatus);
}

// Starts argv with the given descriptors as stdout and stderr, stdin from
// /dev/null and default signal handling whatever the test runner set.
pid_t spawn(const std::vector<std::string> &argv, int out, int err)
{
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&fa, err, STDERR_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &fa, &attr, args.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    return pid;
}

// A terminal for stderr, raw so that "\n" is not turned into "\r\n".
bool open_terminal(int *master, int *slave)
{
    if (openpty(master, slave, nullptr, nullptr, nullptr) != 0)
        return false;
    termios t;
    tcgetattr(*slave, &t);
    cfmakeraw(&t);
    tcsetattr(*slave, TCSANOW, &t);
    fcntl(*master, F_SETFD, FD_CLOEXEC);
    fcntl(*slave, F_SETFD, FD_CLOEXEC);
    return true;
}

} // namespace

run_result run_program(const std::vector<std::string> &argv, bool stderr_tty, std::chrono::milliseconds deadline)
{
    run_result r;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return r;
    bool ok = stderr_tty ? open_terminal(&err[0], &err[1]) : pipe2(err, O_CLOEXEC) == 0;
    if (!ok) {
        close(out[0]);
        close(out[1]);
        return r;
    }
    pid_t pid = spawn(argv, out[1], err[1]);
    close(out[1]);
    close(err[1]);

    auto end = clock_type::now() + deadline;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *into[2] = {&r.out, &r.err};
    int open_streams = pid > 0 ? 2 : 0;
    while (open_streams > 0 && poll(fds, 2, remaining_ms(end)) > 0) {
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd >= 0 && fds[i].revents && !drain_once(fds[i].fd, *into[i])) {
                fds[i].fd = -1;
                open_streams--;
            }
        }
    }
    close(out[0]);
    close(err[0]);
    if (pid > 0)
        r.status = reap(pid, end);
    return r;
}
