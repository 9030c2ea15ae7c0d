// A child process for end-to-end tests: started with its standard output and
// error captured, polled for lines with deadlines, stopped with a signal.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct child_process {
    pid_t pid = -1;
    int exit_status = -1; // from waitpid once reaped

    std::mutex lock;
    std::condition_variable changed;
    std::string out, err; // everything captured so far
    std::thread out_reader, err_reader;

    child_process() = default;
    child_process(const child_process &) = delete;
    child_process &operator=(const child_process &) = delete;
    ~child_process();
};

// Starts argv[0] with the extra environment variables set. False when the
// process could not be started.
bool child_start(child_process &child, const std::vector<std::string> &argv,
                 const std::map<std::string, std::string> &env = {});

// Waits until the captured stream ("out" or "err") contains text.
bool child_wait_output(child_process &child, bool from_stdout, const std::string &text,
                       std::chrono::milliseconds deadline = std::chrono::seconds(10));

std::string child_stdout(child_process &child);
std::string child_stderr(child_process &child);

// Sends sig and waits for the exit; false when it did not end in time.
bool child_stop(child_process &child, int sig, std::chrono::milliseconds deadline = std::chrono::seconds(10));

// Waits for the process to end on its own.
bool child_wait_exit(child_process &child, std::chrono::milliseconds deadline);

// Polls cond until it holds or the deadline passes.
template <typename Cond>
bool wait_until(Cond cond, std::chrono::milliseconds deadline = std::chrono::seconds(10))
{
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
