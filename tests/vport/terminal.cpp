#include "tests/vport/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

terminal::~terminal()
{
    terminal_close(*this);
}

bool terminal_open(terminal &t, const std::string &path)
{
    t.fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio;
    if (t.fd < 0 || tcgetattr(t.fd, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    return tcsetattr(t.fd, TCSANOW, &tio) == 0;
}

void terminal_close(terminal &t)
{
    if (t.fd >= 0)
        close(t.fd);
    t.fd = -1;
}

bool terminal_write(terminal &t, const std::string &bytes)
{
    return write(t.fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

// One read of what is there within `wait`; false when nothing came.
static bool read_some(terminal &t, int wait_ms)
{
    pollfd p = {t.fd, POLLIN, 0};
    if (poll(&p, 1, wait_ms) != 1)
        return false;
    char buf[4096];
    ssize_t n = read(t.fd, buf, sizeof buf);
    if (n <= 0)
        return false;
    t.seen.append(buf, static_cast<size_t>(n));
    return true;
}

bool terminal_wait(terminal &t, const std::string &text, std::chrono::milliseconds deadline)
{
    auto end = std::chrono::steady_clock::now() + deadline;
    while (t.seen.find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        read_some(t, static_cast<int>(left.count()));
    }
    return true;
}

std::string terminal_drain(terminal &t, std::chrono::milliseconds quiet)
{
    while (read_some(t, static_cast<int>(quiet.count()))) {}
    return t.seen;
}
