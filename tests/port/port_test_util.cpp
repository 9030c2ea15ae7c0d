#include "tests/port/port_test_util.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "core/daemon_state.h"

std::string make_temp_dir()
{
    char tmpl[] = "/tmp/tarnel-port-XXXXXX";
    const char *dir = mkdtemp(tmpl);
    EXPECT_NE(dir, nullptr);
    return dir ? dir : "";
}

pty_port::pty_port()
{
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty failed";
        return;
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    slave_name = name;
    dir = make_temp_dir();
    path = dir + "/ttyUSB2";
    restore_node();
}

pty_port::~pty_port()
{
    if (master >= 0)
        close(master);
    if (slave >= 0)
        close(slave);
    unlink(path.c_str());
    rmdir(dir.c_str());
}

void pty_port::remove_node()
{
    unlink(path.c_str());
}

void pty_port::restore_node()
{
    EXPECT_EQ(symlink(slave_name.c_str(), path.c_str()), 0);
}

void pty_port::close_master()
{
    close(master);
    master = -1;
}

void pty_port::send(const std::string &bytes)
{
    ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

std::string pty_port::read_until(const std::string &needle, int timeout_ms)
{
    return ::read_until(master, needle, timeout_ms);
}

std::string read_until(int fd, const std::string &needle, int timeout_ms)
{
    std::string got;
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (got.find(needle) != std::string::npos)
            return got;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        int64_t left = timeout_ms - ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000);
        if (left <= 0)
            return got;
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n > 0)
            got.append(buf, n);
        else
            usleep(1000); // no slave open right now: the pty reports a hang-up
    }
}

int open_master_peer(port_entry *entry)
{
    int number = -1, unlock = 0;
    if (ioctl(entry->fd, TIOCGPTN, &number) != 0 || ioctl(entry->fd, TIOCSPTLCK, &unlock) != 0) {
        ADD_FAILURE() << "not a pty master";
        return -1;
    }
    int peer = open(("/dev/pts/" + std::to_string(number)).c_str(), O_RDWR | O_NOCTTY);
    termios tio;
    tcgetattr(peer, &tio);
    cfmakeraw(&tio);
    tcsetattr(peer, TCSANOW, &tio);
    return peer;
}

stream_capture::stream_capture(int fd) : target(fd)
{
    char tmpl[] = "/tmp/tarnel-console-XXXXXX";
    int out = mkstemp(tmpl);
    file = tmpl;
    fflush(fd == 1 ? stdout : stderr);
    saved = dup(fd);
    dup2(out, fd);
    close(out);
}

stream_capture::~stream_capture()
{
    fflush(target == 1 ? stdout : stderr);
    dup2(saved, target);
    close(saved);
    unlink(file.c_str());
}

std::string stream_capture::text()
{
    fflush(target == 1 ? stdout : stderr);
    std::ifstream in(file);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

bool wait_until(const std::function<bool()> &done, int timeout_ms)
{
    for (int waited = 0; waited < timeout_ms; waited++) {
        if (done())
            return true;
        usleep(1000);
    }
    return done();
}

int32_t locked_line_length(port_entry *entry)
{
    pthread_mutex_lock(&entry->line_lock);
    int32_t length = entry->line_length;
    pthread_mutex_unlock(&entry->line_lock);
    return length;
}

int32_t locked_capture_length(port_entry *entry)
{
    pthread_mutex_lock(&entry->capture_lock);
    int32_t length = entry->capture.length;
    pthread_mutex_unlock(&entry->capture_lock);
    return length;
}

bool locked_waiting(port_entry *entry)
{
    pthread_mutex_lock(&entry->capture_lock);
    bool waiting = entry->waiting != 0;
    pthread_mutex_unlock(&entry->capture_lock);
    return waiting;
}

void make_check_due(port_entry *entry)
{
    pthread_mutex_lock(&g_daemon.registry_lock);
    entry->last_check_mono -= PORT_CHECK_INTERVAL + 1;
    pthread_mutex_unlock(&g_daemon.registry_lock);
}
