// Test helpers for the port engine: a pseudo-terminal reached through a
// symlink (the "device node"), console capture and deadline waits.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "port/port.h"

// The modem side of a port: the test writes answers on `master` and reads
// what the engine wrote. `path` is a symlink to the pty slave; removing it
// makes the device disappear. A slave descriptor is kept so the pty stays
// alive while the engine has the port closed.
struct pty_port {
    int master = -1;
    int slave = -1;
    std::string dir;
    std::string path;
    std::string slave_name;

    pty_port();
    ~pty_port();
    pty_port(const pty_port &) = delete;
    pty_port &operator=(const pty_port &) = delete;

    void remove_node();
    void restore_node();
    void close_master();
    void send(const std::string &bytes);
    // Reads from the master until `needle` has arrived or the deadline
    // passes; returns everything read.
    std::string read_until(const std::string &needle, int timeout_ms = 10000);
};

// For a port opened on /dev/ptmx (a fresh pty master): unlocks and opens
// its slave in raw mode. Closing that slave makes the engine's reads fail
// with EIO, which a closed master cannot do (the slave only hangs up).
int open_master_peer(port_entry *entry);

// Redirects stdout (1) or stderr (2) into a temporary file while alive.
struct stream_capture {
    int target;
    int saved = -1;
    std::string file;

    explicit stream_capture(int fd);
    ~stream_capture();
    std::string text();
};

// Reads `fd` until `needle` has arrived or the deadline passes; returns
// everything read.
std::string read_until(int fd, const std::string &needle, int timeout_ms = 10000);

// Polls `done` every millisecond until it holds or timeout_ms passes.
bool wait_until(const std::function<bool()> &done, int timeout_ms = 10000);

int32_t locked_line_length(port_entry *entry);
int32_t locked_capture_length(port_entry *entry);
bool locked_waiting(port_entry *entry);
// Makes the monitor's next port_check on this record due at once.
void make_check_due(port_entry *entry);
// Creates a temporary directory for paths that are not character devices.
std::string make_temp_dir();

// Every test starts with an empty registry and leaves none behind.
class PortTest : public ::testing::Test
{
protected:
    void SetUp() override { registry_init(); }
    void TearDown() override
    {
        registry_destroy_all();
        registry_shutdown();
    }
};
