// Repairs of a port: the monitor's examination (asked for directly, as the
// monitor's pass asks once the interval is due), the monitor thread's start
// and stop, and the hotplug watcher's fast path with its retries.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "tests/port/port_test_util.h"

static speed_t line_speed(const pty_port &pty)
{
    termios tio;
    memset(&tio, 0, sizeof(tio));
    tcgetattr(pty.slave, &tio);
    return cfgetospeed(&tio);
}

TEST(Examination, VanishedNodeIsClosedAndReopenedWithSavedSettings)
{
    pty_port pty;
    bare_port p(pty.path);
    open_failure why;
    ASSERT_EQ(port_open(p.entry, {57600, 7, 1, 2}, &why), 0);
    pty.remove_node();
    {
        stream_capture err(2);
        port_check(p.entry);
        EXPECT_EQ(err.text(), "Port " + pty.path + " no longer exists, marking as closed\n");
    }
    EXPECT_LT(p.entry->fd, 0);
    {
        stream_capture out(1), err(2);
        port_check(p.entry); // still missing: left alone
        EXPECT_EQ(out.text() + err.text(), "");
    }
    pty.restore_node();
    {
        stream_capture out(1);
        port_check(p.entry);
        EXPECT_EQ(out.text(), "Port " + pty.path + " exists but is closed, attempting to reopen...\n" +
                                  "Successfully reopened port " + pty.path + "\n");
    }
    EXPECT_GE(p.entry->fd, 0);
    EXPECT_EQ(line_speed(pty), B57600);
    EXPECT_EQ(p.entry->settings.stopbits, 2);
    EXPECT_EQ(p.states(), (std::vector<std::string>{"vanished-", "reopen+"}));
}

TEST(Examination, NeverOpenedRecordIsOpenedWithTheDefaults)
{
    pty_port pty;
    bare_port p(pty.path);
    stream_capture out(1);
    port_check(p.entry);
    EXPECT_GE(p.entry->fd, 0);
    port_settings s = p.entry->settings;
    EXPECT_EQ(s.baudrate, 115200);
    EXPECT_EQ(s.databits, 8);
    EXPECT_EQ(s.parity, 0);
    EXPECT_EQ(s.stopbits, 1);
    EXPECT_EQ(line_speed(pty), B115200);
}

TEST(Examination, FailedReopenWritesBothFailureLines)
{
    temp_dir dir;
    std::string file = dir.file("ttyUSB3");
    std::ofstream(file).close();
    bare_port p(file);
    stream_capture out(1), err(2);
    port_check(p.entry);
    EXPECT_EQ(out.text(), "Port " + file + " exists but is closed, attempting to reopen...\n");
    EXPECT_EQ(err.text(), "Failed to open " + file + ": not a serial port\n" + "Failed to reopen port " + file + "\n");
}

// A descriptor that went bad under an open port is replaced, without
// closing a number that may already be someone else's.
TEST(Examination, InvalidDescriptorIsReplaced)
{
    pty_port pty;
    bare_port p(pty.path);
    int stale = dup(0);
    close(stale);
    p.entry->fd = stale;
    p.entry->settings = {19200, 8, 0, 1};
    stream_capture out(1), err(2);
    port_check(p.entry);
    EXPECT_EQ(err.text(), "Port " + pty.path + " file descriptor is invalid, reopening...\n");
    EXPECT_EQ(out.text(), "Successfully reopened port " + pty.path + " after fd failure\n");
    EXPECT_GE(fcntl(p.entry->fd, F_GETFL), 0);
    EXPECT_EQ(line_speed(pty), B19200);
    EXPECT_EQ(p.states(), std::vector<std::string>{"reopen+"});
}

class Repair : public EngineTest
{
protected:
    pty_port pty;
    port_entry *entry = nullptr;

    void SetUp() override
    {
        EngineTest::SetUp();
        entry = create(pty.path);
    }
    bool open_with(port_settings settings)
    {
        port_op op;
        op.kind = OP_OPEN;
        op.settings = settings;
        port_op *opened = submit(entry, std::move(op));
        return wait_done(opened) && opened->ok;
    }
    bool is_open() { return snapshot_of(pty.path).is_open; }
};

TEST_F(Repair, MonitorPassExaminesDuePortsAndStopsAtOnce)
{
    hotplug_stop(engine);
    ASSERT_TRUE(open_with(DEFAULT_SETTINGS));
    pty.remove_node();
    entry->last_check_mono -= PORT_CHECK_INTERVAL;

    stream_capture out(1), err(2);
    port_monitor_start(engine);
    ASSERT_TRUE(wait_until([&] { return !is_open(); }));
    timespec before, after;
    clock_gettime(CLOCK_MONOTONIC, &before);
    port_monitor_stop(engine);
    clock_gettime(CLOCK_MONOTONIC, &after);
    // The pass pauses 5 s; a stop that waited it out would take that long.
    EXPECT_LT(after.tv_sec - before.tv_sec, 4);
    EXPECT_EQ(out.text(), "Port monitor thread started\nPort monitor thread stopped\n");
    EXPECT_EQ(err.text(), "Port " + pty.path + " no longer exists, marking as closed\n");

    stream_capture again(1);
    port_monitor_stop(engine); // never started again: says nothing
    EXPECT_EQ(again.text(), "");
}

// No monitor runs here: only the watcher can notice.
TEST_F(Repair, WatcherClosesAndReopensAsTheNodeComesAndGoes)
{
    ASSERT_TRUE(open_with({38400, 8, 0, 1}));
    port_op *waiting = sendat(entry, "AT+LONG", 60);
    pty.read_until("\r\n");
    pty.remove_node();
    ASSERT_TRUE(wait_done(waiting)); // ended at once, not after 60 s
    EXPECT_EQ(waiting->outcome, AT_TIMED_OUT);
    EXPECT_FALSE(is_open());
    pty.restore_node();
    ASSERT_TRUE(wait_event([&](const port_event &e) { return e.is_state && e.reason == std::string("reopen"); }));
    EXPECT_EQ(line_speed(pty), B38400);
    EXPECT_EQ(state_reasons(pty.path), (std::vector<std::string>{"open+", "vanished-", "reopen+"}));
}

// A link re-pointed at another device in one step: the port lets go of the
// old device and opens the new one.
TEST_F(Repair, NodeReplacedInOneStepIsReopenedOnTheNewDevice)
{
    ASSERT_TRUE(open_with(DEFAULT_SETTINGS));
    pty_port other;
    std::string next = pty.path + ".next";
    ASSERT_EQ(symlink(other.slave_name.c_str(), next.c_str()), 0);
    ASSERT_EQ(rename(next.c_str(), pty.path.c_str()), 0);
    ASSERT_TRUE(wait_event([&](const port_event &e) { return e.is_state && e.reason == std::string("reopen"); }));
    port_op *op = sendat(entry, "AT");
    EXPECT_EQ(other.read_until("\r\n"), "AT\r\n");
    other.send("OK\r\n");
    ASSERT_TRUE(wait_done(op));
    EXPECT_EQ(op->outcome, AT_COMPLETED);
}

// A node may refuse opens for a moment after it appears; the reopen is
// tried again for about two seconds. Here the new link points at a node
// that is not there yet, and the node follows a little later.
TEST_F(Repair, NodeThatRefusesTheFirstOpensIsStillReopened)
{
    ASSERT_TRUE(open_with(DEFAULT_SETTINGS));
    pty.remove_node();
    ASSERT_TRUE(wait_until([&] { return !is_open(); }));

    temp_dir later;
    std::string node = later.file("node");
    ASSERT_EQ(symlink(node.c_str(), pty.path.c_str()), 0);
    usleep(300 * 1000);
    EXPECT_FALSE(is_open());
    ASSERT_EQ(symlink(pty.slave_name.c_str(), node.c_str()), 0);
    EXPECT_TRUE(wait_until([&] { return is_open(); }, std::chrono::seconds(5)));
}

// USB serial names go in order of discovery: after a modem reset the path
// can lead to another interface (its GPS port). A repair reopens the path
// only while it leads to the same device and interface, whichever bus the
// modem came back on; an "open" takes whatever is there.
TEST_F(Repair, PathLeadingToOtherHardwareIsNotReopened)
{
    fake_sysfs sysfs;
    dev_t rdev = device_number(pty.slave);
    sysfs.usb_device("usb2/2-1", "2c7c", "0125", "MDM1");
    auto port_on = [&](const std::string &interface, const std::string &number) {
        sysfs.usb_interface(interface, number, "option");
        sysfs.device(rdev, interface + "/ttyUSB2/tty/ttyUSB2", "tty");
    };
    port_on("usb2/2-1/2-1:1.2", "02");
    engine->sysfs_root = sysfs.root();
    ASSERT_TRUE(open_with(DEFAULT_SETTINGS));
    auto reason_seen = [&](const char *reason, long count) {
        return wait_until([&] {
            pump(1);
            std::vector<std::string> seen = state_reasons(pty.path);
            return std::count(seen.begin(), seen.end(), reason) >= count;
        });
    };

    pty.remove_node();
    ASSERT_TRUE(wait_until([&] { return !is_open(); }));
    port_on("usb2/2-1/2-1:1.3", "03");
    stream_capture err(2);
    pty.restore_node();
    ASSERT_TRUE(reason_seen("replaced-", 1));
    // Neither the examination nor a command opens it, and it is said once.
    port_poke(entry, POKE_CHECK);
    port_op *refused = sendat(entry, "AT", 1);
    ASSERT_TRUE(wait_done(refused));
    EXPECT_EQ(refused->outcome, AT_SEND_FAILED);
    EXPECT_FALSE(is_open());
    EXPECT_EQ(err.text(), "Port " + pty.path +
                              " is now another device (usb 2c7c:0125 serial MDM1 interface 02 -> "
                              "usb 2c7c:0125 serial MDM1 interface 03), not reopening\n");

    // Its own interface is back, on the other bus.
    sysfs.usb_device("usb1/1-3", "2c7c", "0125", "MDM1");
    port_on("usb1/1-3/1-3:1.2", "02");
    port_poke(entry, POKE_CHECK);
    ASSERT_TRUE(reason_seen("reopen+", 1));

    port_on("usb2/2-1/2-1:1.3", "03");
    ASSERT_TRUE(open_with(DEFAULT_SETTINGS));
    pty.remove_node();
    ASSERT_TRUE(wait_until([&] { return !is_open(); }));
    pty.restore_node();
    ASSERT_TRUE(reason_seen("reopen+", 2));
    EXPECT_EQ(state_reasons(pty.path), (std::vector<std::string>{"open+", "vanished-", "replaced-", "reopen+", "open+",
                                                                 "vanished-", "reopen+"}));
}

// Any caller can name ports in directories that do not exist, a new one each
// time: what the watcher keeps about a directory goes with its last record.
using Watcher = EngineTest;
TEST_F(Watcher, DirectoriesThatCannotBeWatchedAreForgottenWithTheirRecords)
{
    temp_dir dir;
    stream_capture err(2);
    for (int i = 0; i < 20; i++) {
        port_entry *entry = create(dir.file("gone" + std::to_string(i)) + "/ttyUSB2");
        ASSERT_NE(entry, nullptr);
        port_retire(entry, &leftovers);
    }
    EXPECT_NE(err.text().find("Cannot watch " + dir.file("gone19") + " for device changes"), std::string::npos);
    mutex_guard guard(&engine->hotplug.lock);
    EXPECT_TRUE(engine->hotplug.by_dir.empty());
    EXPECT_TRUE(engine->hotplug.warned.empty()) << engine->hotplug.warned.size() << " directories kept";
}
