#include "tests/support/child_process.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string_view>

extern char **environ;

namespace
{

void drain(child_process *child, int fd, bool is_stdout)
{
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        // End of stream: EOF on a pipe, EIO on a terminal whose last
        // writer has gone.
        if (n <= 0)
            break;
        std::lock_guard<std::mutex> guard(child->lock);
        (is_stdout ? child->out : child->err).append(buf, static_cast<size_t>(n));
        child->changed.notify_all();
    }
    close(fd);
}

bool open_terminal(int fds[2])
{
    if (openpty(&fds[0], &fds[1], nullptr, nullptr, nullptr) != 0)
        return false;
    termios t;
    tcgetattr(fds[1], &t);
    cfmakeraw(&t);
    tcsetattr(fds[1], TCSANOW, &t);
    // Other children started meanwhile must not hold the terminal open.
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    return true;
}

// The test's own environment with env laid over it. Built before the
// child exists: between fork and exec only async-signal-safe calls are
// allowed, and the test runs threads that may hold the allocator's lock.
std::vector<std::string> merged_environment(const std::map<std::string, std::string> &env)
{
    std::vector<std::string> merged;
    for (char **e = environ; *e; e++) {
        std::string_view entry(*e);
        std::string key(entry.substr(0, entry.find('=')));
        if (!env.count(key))
            merged.emplace_back(*e);
    }
    for (const auto &[key, value] : env)
        merged.push_back(key + "=" + value);
    return merged;
}

std::vector<char *> pointers(std::vector<std::string> &strings)
{
    std::vector<char *> out;
    for (std::string &s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

pid_t spawn(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env, int out, int err)
{
    std::vector<std::string> args_text(argv), env_text = merged_environment(env);
    std::vector<char *> args = pointers(args_text), envp = pointers(env_text);

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
    if (posix_spawn(&pid, args[0], &fa, &attr, args.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    return pid;
}

int shell_status(int wait_status)
{
    if (WIFEXITED(wait_status))
        return WEXITSTATUS(wait_status);
    return WIFSIGNALED(wait_status) ? 128 + WTERMSIG(wait_status) : -1;
}

} // namespace

bool child_start(child_process &child, const std::vector<std::string> &argv,
                 const std::map<std::string, std::string> &env, bool stderr_tty)
{
    if (child.pid >= 0 || argv.empty())
        return false;
    if (child.out_reader.joinable())
        child.out_reader.join();
    if (child.err_reader.joinable())
        child.err_reader.join();
    {
        std::lock_guard<std::mutex> guard(child.lock);
        child.out.clear();
        child.err.clear();
    }
    child.exit_status = -1;

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return false;
    if (!(stderr_tty ? open_terminal(err) : pipe2(err, O_CLOEXEC) == 0)) {
        close(out[0]);
        close(out[1]);
        return false;
    }
    pid_t pid = spawn(argv, env, out[1], err[1]);
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(out[0]);
        close(err[0]);
        return false;
    }
    child.pid = pid;
    child.out_reader = std::thread(drain, &child, out[0], true);
    child.err_reader = std::thread(drain, &child, err[0], false);
    return true;
}

bool child_wait_output(child_process &child, bool from_stdout, const std::string &text,
                       std::chrono::milliseconds deadline)
{
    std::unique_lock<std::mutex> guard(child.lock);
    return child.changed.wait_for(
        guard, deadline, [&] { return (from_stdout ? child.out : child.err).find(text) != std::string::npos; });
}

std::string child_stdout(child_process &child)
{
    std::lock_guard<std::mutex> guard(child.lock);
    return child.out;
}

std::string child_stderr(child_process &child)
{
    std::lock_guard<std::mutex> guard(child.lock);
    return child.err;
}

size_t child_stderr_size(child_process &child)
{
    std::lock_guard<std::mutex> guard(child.lock);
    return child.err.size();
}

std::string child_stderr_from(child_process &child, size_t offset)
{
    std::lock_guard<std::mutex> guard(child.lock);
    return offset < child.err.size() ? child.err.substr(offset) : "";
}

bool child_wait_exit(child_process &child, std::chrono::milliseconds deadline)
{
    if (child.pid < 0)
        return true;
    int status = 0;
    if (!wait_until([&] { return waitpid(child.pid, &status, WNOHANG) == child.pid; }, deadline))
        return false;
    child.exit_status = status;
    child.pid = -1;
    if (child.out_reader.joinable())
        child.out_reader.join();
    if (child.err_reader.joinable())
        child.err_reader.join();
    return true;
}

bool child_stop(child_process &child, int sig, std::chrono::milliseconds deadline)
{
    if (child.pid < 0)
        return true;
    kill(child.pid, sig);
    return child_wait_exit(child, deadline);
}

// The state letter follows the command name, which may hold anything but
// ends at the last ')'.
static char process_state(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t end = stat.rfind(')');
    return end == std::string::npos || end + 2 >= stat.size() ? '?' : stat[end + 2];
}

bool child_pause(child_process &child, std::chrono::milliseconds deadline)
{
    if (child.pid < 0 || kill(child.pid, SIGSTOP) != 0)
        return false;
    return wait_until([&] { return process_state(child.pid) == 'T'; }, deadline);
}

void child_resume(child_process &child)
{
    if (child.pid > 0)
        kill(child.pid, SIGCONT);
}

child_result child_run(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
                       bool stderr_tty, std::chrono::milliseconds deadline)
{
    child_result result;
    child_process child;
    if (!child_start(child, argv, env, stderr_tty))
        return result;
    if (child_wait_exit(child, deadline))
        result.status = shell_status(child.exit_status);
    else
        child_stop(child, SIGKILL);
    result.out = child_stdout(child);
    result.err = child_stderr(child);
    return result;
}

bool wait_for_listener(const std::string &socket_path, std::chrono::milliseconds deadline)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path.c_str());
    return wait_until(
        [&] {
            int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
            close(fd);
            return ok;
        },
        deadline);
}

child_process::~child_process()
{
    if (pid > 0 && !child_stop(*this, SIGTERM, std::chrono::seconds(5)))
        child_stop(*this, SIGKILL, std::chrono::seconds(5));
    if (out_reader.joinable())
        out_reader.join();
    if (err_reader.joinable())
        err_reader.join();
}
