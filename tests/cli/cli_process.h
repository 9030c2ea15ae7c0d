// Child processes for the client's end-to-end tests: run to completion with
// stdout and stderr captured (stderr optionally on a terminal, since the
// client's failure output depends on it), or run in the background and read
// until some text appears. All waits have deadlines.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

struct run_result {
    int status = -1; // exit status; 128 + signal when killed; -1 when it hung
    std::string out, err;
};

run_result run_program(const std::vector<std::string> &argv, bool stderr_tty = false,
                       std::chrono::milliseconds deadline = std::chrono::seconds(30));

struct background {
    pid_t pid = -1;
    int out_fd = -1; // stdout; stderr goes to the test's own stderr
    std::string out;
    ~background();
};

bool start_background(background &bg, const std::vector<std::string> &argv);

// Reads stdout until it contains text or the deadline passes.
bool read_until(background &bg, const std::string &text,
                std::chrono::milliseconds deadline = std::chrono::seconds(10));

// Sends sig (if > 0) and reaps; the exit status as in run_result.
int stop_background(background &bg, int sig, std::chrono::milliseconds deadline = std::chrono::seconds(10));
