#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

static void drain(child_process *child, int fd, bool is_stdout)
{
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::lock_guard<std::mutex> guard(child->lock);
        (is_stdout ? child->out : child->err).append(buf, static_cast<size_t>(n));
        child->changed.notify_all();
    }
    close(fd);
}

bool child_start(child_process &child, const std::vector<std::string> &argv,
                 const std::map<std::string, std::string> &env)
{
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return false;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return false;
    }
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0)
            dup2(devnull, STDIN_FILENO);
        for (const auto &[key, value] : env)
            setenv(key.c_str(), value.c_str(), 1);
        // The test runner may ignore these; the child must see the defaults.
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        execv(args[0], args.data());
        _exit(127);
    }
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

bool child_wait_exit(child_process &child, std::chrono::milliseconds deadline)
{
    if (child.pid < 0)
        return true;
    auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        int status;
        pid_t r = waitpid(child.pid, &status, WNOHANG);
        if (r == child.pid) {
            child.exit_status = status;
            child.pid = -1;
            break;
        }
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
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

child_process::~child_process()
{
    if (pid > 0 && !child_stop(*this, SIGTERM, std::chrono::seconds(5)))
        child_stop(*this, SIGKILL, std::chrono::seconds(5));
    if (out_reader.joinable())
        out_reader.join();
    if (err_reader.joinable())
        err_reader.join();
}
