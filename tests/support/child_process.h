// A program run by a test: started with its standard output and error
// captured, watched for output with deadlines, stopped with a signal and
// reaped with its exit status.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/wait_until.h"

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

// Starts argv[0] with the extra environment variables set, standard input
// from /dev/null and default signal handling whatever the test runner set.
// With stderr_tty, standard error is a terminal (raw, so "\n" stays "\n"):
// some programs word their failures for a person there. A child that has
// been reaped can be started again; what it captured before is dropped.
// False when the process could not be started.
bool child_start(child_process &child, const std::vector<std::string> &argv,
                 const std::map<std::string, std::string> &env = {}, bool stderr_tty = false);

// Waits until the captured stream (stdout or stderr) contains text.
bool child_wait_output(child_process &child, bool from_stdout, const std::string &text,
                       std::chrono::milliseconds deadline = std::chrono::seconds(10));

std::string child_stdout(child_process &child);
std::string child_stderr(child_process &child);
// How much of stderr has been captured, and what came from `offset` on.
size_t child_stderr_size(child_process &child);
std::string child_stderr_from(child_process &child, size_t offset);

// Sends sig and waits for the exit; false when it did not end in time.
bool child_stop(child_process &child, int sig, std::chrono::milliseconds deadline = std::chrono::seconds(10));

// Freezes the process (SIGSTOP) and waits until it is frozen: it takes no
// step, reads nothing, until child_resume. False when it did not freeze in
// time.
bool child_pause(child_process &child, std::chrono::milliseconds deadline = std::chrono::seconds(10));
void child_resume(child_process &child);

// Waits for the process to end on its own, then for the last of its output.
bool child_wait_exit(child_process &child, std::chrono::milliseconds deadline);

struct child_result {
    int status = -1; // exit status; 128 + signal when killed; -1 when it overstayed
    std::string out, err;
};

// Runs argv to its end as a script would, killing it after the deadline.
child_result child_run(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env = {},
                       bool stderr_tty = false, std::chrono::milliseconds deadline = std::chrono::seconds(30));

// A server is ready once its Unix socket accepts a connection.
bool wait_for_listener(const std::string &socket_path, std::chrono::milliseconds deadline = std::chrono::seconds(10));
