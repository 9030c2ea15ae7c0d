// A terminal program on a virtual port: the link opened as such programs
// open a modem's port (read-write, no controlling terminal, raw), bytes
// written as typed and everything read kept.
#pragma once

#include <chrono>
#include <string>

struct terminal {
    int fd = -1;
    std::string seen; // every byte read so far

    terminal() = default;
    terminal(const terminal &) = delete;
    terminal &operator=(const terminal &) = delete;
    ~terminal();
};

bool terminal_open(terminal &t, const std::string &path);
void terminal_close(terminal &t);
bool terminal_write(terminal &t, const std::string &bytes);
// Reads until what was read holds `text`; false at the deadline.
bool terminal_wait(terminal &t, const std::string &text, std::chrono::milliseconds deadline = std::chrono::seconds(10));
// Reads whatever comes within `quiet`, and returns all read so far.
std::string terminal_drain(terminal &t, std::chrono::milliseconds quiet = std::chrono::milliseconds(300));
