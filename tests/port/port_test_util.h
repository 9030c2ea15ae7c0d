// Test helpers for the port engine: a pseudo-terminal reached through a
// symlink (the "device node"), an engine whose outbox the test pumps,
// a record driven by hand, console capture and deadline waits.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "port/port_internal.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

// The modem side of a port: the test writes answers on `master` and reads
// what the engine wrote. `path` is a symlink to the pty slave; removing it
// makes the device disappear. A slave descriptor is kept so the pty stays
// alive while the engine has the port closed.
struct pty_port {
    int master = -1;
    int slave = -1;
    temp_dir dir;
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
    // Everything the engine has written so far, without waiting.
    std::string read_now();
};

// A device tree in the kernel's shape, for engine->sysfs_root: devices under
// devices/, each named by dev/char/MAJOR:MINOR, with a class link and
// attribute files. USB ports sit below their interface (bInterfaceNumber,
// a driver link) and that below its device (idVendor, idProduct, serial).
struct fake_sysfs {
    temp_dir dir;

    const std::string &root() const { return dir.path(); }
    // devices/<devpath>, of class cls unless nullptr; the number now names it.
    void device(dev_t rdev, const std::string &devpath, const char *cls);
    void attr(const std::string &devpath, const std::string &name, const std::string &value);
    void usb_device(const std::string &devpath, const std::string &vendor, const std::string &product,
                    const std::string &serial);
    void usb_interface(const std::string &devpath, const std::string &number, const std::string &driver);
};

dev_t device_number(int fd);

// Redirects stdout (1) or stderr (2) into a temporary file while alive.
struct stream_capture {
    int target;
    int saved = -1;
    std::string file;

    explicit stream_capture(int fd);
    ~stream_capture();
    std::string text();
};

std::string read_until(int fd, const std::string &needle, int timeout_ms = 10000);

// A running engine; the test plays the event loop: it submits operations
// and pumps the outbox for finished ones and events.
class EngineTest : public ::testing::Test
{
protected:
    port_engine *engine = nullptr;
    std::vector<std::unique_ptr<port_op>> ops;
    std::vector<port_op *> finished;
    std::vector<port_event> events;
    std::deque<port_op *> leftovers; // queued behind a record that went

    void SetUp() override { engine = port_engine_create(); }
    void TearDown() override;

    port_entry *create(const std::string &path);
    port_op *submit(port_entry *entry, port_op op);
    port_op *sendat(port_entry *entry, const std::string &command, int timeout = 5, const char *flags = nullptr);
    // Pumps the outbox until `op` is back; false when the deadline passes.
    bool wait_done(port_op *op, std::chrono::milliseconds deadline = std::chrono::seconds(10));
    bool wait_event(const std::function<bool(const port_event &)> &match,
                    std::chrono::milliseconds deadline = std::chrono::seconds(10));
    // Takes whatever the outbox holds now, waiting at most timeout_ms for it.
    void pump(int timeout_ms);
    port_snapshot snapshot_of(const std::string &path);
    std::vector<std::string> state_reasons(const std::string &path) const;
};

// A record without its thread, driven by hand as its thread would: the test
// arms commands, feeds chunks and ends waits, then reads the results.
struct bare_port {
    port_engine *engine;
    port_entry *entry;
    port_op op;

    explicit bare_port(const std::string &path = "/dev/bare");
    ~bare_port();
    // A command written and waiting, with these end flags (nullptr: defaults).
    // With `command`, as if it had been written (its echo and its own lines are known).
    void arm(const char *flags = nullptr, const char *command = nullptr);
    void feed(const std::string &bytes);
    // Lets the waiting command time out.
    void expire();
    // A send-only command of this text was written.
    void sent_only(const std::string &text);
    bool waiting() const { return entry->waiting != 0; }
    // Events published since the last call, as "line" or "line (late)", and
    // state changes as "reason+" (open) or "reason-" (closed).
    std::vector<std::string> lines();
    std::vector<std::string> states();

private:
    std::vector<std::string> take(bool state);
};
