// A program run to completion with stdout and stderr captured, stderr
// optionally on a terminal: the client's failure output depends on it.
#pragma once

#include <chrono>
#include <string>
#include <vector>

struct run_result {
    int status = -1; // exit status; 128 + signal when killed; -1 when it hung
    std::string out, err;
};

run_result run_program(const std::vector<std::string> &argv, bool stderr_tty = false,
                       std::chrono::milliseconds deadline = std::chrono::seconds(30));
