// Repairs of a port: the monitor's examination (asked for directly, as the
// monitor's pass asks once the interval is due), the monitor thread's start
// and stop, and the hotplug watcher's fast path with its retries.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
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
    EXPECT_EQ(err.text(),
              "Port " + pty.path +
                  " is now another device (usb:2c7c:0125:MDM1:02 -> usb:2c7c:0125:MDM1:03), not reopening\n");

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

// Init commands: a round after the open, a failed one tried again while the
// queued call goes first, its final failure said and published; a start-up
// line runs the list again.
TEST_F(Repair, InitCommandThatFailsIsTriedAgainBehindTheQueuedCalls)
{
    engine->init_retry_ms = 100;
    port_op op;
    op.kind = OP_OPEN;
    op.has_init = true;
    op.init = {"AT+QCFG=1", "AT+CMEE=2"};
    port_op *opened = submit(entry, std::move(op));
    ASSERT_TRUE(wait_done(opened) && opened->ok);
    port_op *csq = sendat(entry, "AT+CSQ");
    EXPECT_EQ(pty.read_until("AT+QCFG=1\r\n"), "AT+QCFG=1\r\n");
    pty.send("\r\nERROR\r\n");
    EXPECT_EQ(pty.read_until("AT+CMEE=2\r\n"), "AT+CMEE=2\r\n");
    pty.send("\r\nOK\r\n");
    EXPECT_EQ(pty.read_until("AT+CSQ\r\n"), "AT+CSQ\r\n");
    pty.send("\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    ASSERT_TRUE(wait_done(csq));
    EXPECT_EQ(csq->outcome, AT_COMPLETED);

    stream_capture err(2);
    for (int retry = 0; retry < 3; retry++) {
        EXPECT_EQ(pty.read_until("AT+QCFG=1\r\n"), "AT+QCFG=1\r\n") << retry;
        pty.send("\r\n+CME ERROR: 3\r\n");
    }
    ASSERT_TRUE(wait_event([](const port_event &e) { return e.is_state && e.reason == std::string("init_failed"); }));
    EXPECT_EQ(err.text(), "Init command AT+QCFG=1 on " + pty.path + ": +CME ERROR: 3\n");
    EXPECT_EQ(snapshot_of(pty.path).init, (std::vector<std::string>{"AT+QCFG=1", "AT+CMEE=2"}));

    // The modem restarted, its port kept (and its echo on): the whole list again.
    pty.send("RDY\r\n");
    for (const std::string command : {"AT+QCFG=1", "AT+CMEE=2"}) {
        EXPECT_EQ(pty.read_until(command + "\r\n"), command + "\r\n");
        pty.send(command + "\r\r\nOK\r\n");
    }

    // The node goes and comes back unseen (no watcher): the call that opens
    // the port again lets the list go first.
    hotplug_stop(engine);
    pty.remove_node();
    port_poke(entry, POKE_CHECK);
    ASSERT_TRUE(wait_until([&] { return !is_open(); }));
    pty.restore_node();
    port_op *after = sendat(entry, "AT");
    EXPECT_EQ(pty.read_until("AT+QCFG=1\r\n"), "AT+QCFG=1\r\n");
    pty.send("AT+QCFG=1\r\r\nOK\r\n");
    EXPECT_EQ(pty.read_until("AT+CMEE=2\r\n"), "AT+CMEE=2\r\n");
    pty.send("AT+CMEE=2\r\r\nOK\r\n");
    EXPECT_EQ(pty.read_until("AT\r\n"), "AT\r\n");
    pty.send("AT\r\r\nOK\r\n");
    ASSERT_TRUE(wait_done(after));
    EXPECT_EQ(after->outcome, AT_COMPLETED);
}

// A port named by its hardware. The modem's AT interface (02) has ttyUSB2;
// after a reset it comes back as ttyUSB3. The port follows it under its own
// name, runs its init commands on the new node before the next call, and a
// second modem of the same kind makes the name ambiguous.
class HardwareName : public EngineTest
{
protected:
    fake_sysfs sysfs;
    temp_dir dev;
    const std::string modem = "usb1/1-1", at_interface = "usb1/1-1/1-1:1.2";
    const std::string name = "usb:2c7c:0125:02";

    void SetUp() override
    {
        EngineTest::SetUp();
        engine->sysfs_root = sysfs.root();
        engine->dev_root = dev.path();
        sysfs.usb_device(modem, "2c7c", "0125", "");
        sysfs.usb_interface(at_interface, "02", "option");
        sysfs.usb_interface(modem + "/1-1:1.3", "03", "option");
    }
    // As the kernel makes a terminal: its sysfs entry, then its node.
    void tty_on(const pty_port &pty, const std::string &interface, const std::string &tty)
    {
        sysfs.device(device_number(pty.slave), interface + "/" + tty + "/tty/" + tty, "tty");
        ASSERT_EQ(symlink(pty.slave_name.c_str(), dev.file(tty).c_str()), 0);
    }
    void tty_gone(const std::string &interface, const std::string &tty)
    {
        std::filesystem::remove(sysfs.dir.file("class/tty/" + tty));
        std::filesystem::remove_all(sysfs.dir.file("devices/" + interface + "/" + tty));
        ASSERT_EQ(unlink(dev.file(tty).c_str()), 0);
    }
    static void serve_init(pty_port &pty)
    {
        for (const char *command : {"AT+CMEE=2\r\n", "AT+CNMI=2,1,0,0,0\r\n"}) {
            EXPECT_EQ(pty.read_until(command), command);
            pty.send("\r\nOK\r\n");
        }
    }
    port_op *open_named(port_entry *entry, bool with_init)
    {
        port_op op;
        op.kind = OP_OPEN;
        op.has_init = with_init;
        op.init = {"AT+CMEE=2", "AT+CNMI=2,1,0,0,0"};
        port_op *opened = submit(entry, std::move(op));
        EXPECT_TRUE(wait_done(opened));
        return opened;
    }
};

TEST_F(HardwareName, PortFollowsItsInterfaceToAnotherNode)
{
    pty_port usb2, usb3, gps, twin;
    tty_on(gps, modem + "/1-1:1.3", "ttyUSB1");
    tty_on(usb2, at_interface, "ttyUSB2");
    port_entry *entry = create(name);
    ASSERT_TRUE(open_named(entry, true)->ok);
    serve_init(usb2);
    port_snapshot shown = snapshot_of(name);
    EXPECT_EQ(shown.device, dev.file("ttyUSB2"));
    EXPECT_EQ(shown.hardware, name);

    tty_gone(at_interface, "ttyUSB2");
    tty_on(usb3, at_interface, "ttyUSB3");
    serve_init(usb3);
    port_op *csq = sendat(entry, "AT+CSQ");
    EXPECT_EQ(usb3.read_until("AT+CSQ\r\n"), "AT+CSQ\r\n");
    usb3.send("\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    ASSERT_TRUE(wait_done(csq));
    EXPECT_EQ(csq->outcome, AT_COMPLETED);
    EXPECT_EQ(snapshot_of(name).device, dev.file("ttyUSB3"));
    EXPECT_EQ(state_reasons(name), (std::vector<std::string>{"open+", "vanished-", "reopen+"}));
    EXPECT_EQ(usb2.read_now() + gps.read_now(), "");

    sysfs.usb_device("usb1/1-2", "2c7c", "0125", "");
    sysfs.usb_interface("usb1/1-2/1-2:1.2", "02", "option");
    tty_on(twin, "usb1/1-2/1-2:1.2", "ttyUSB7");
    stream_capture err(2);
    port_op *again = open_named(entry, false);
    EXPECT_FALSE(again->ok);
    EXPECT_STREQ(again->refusal, "Port is ambiguous");
    EXPECT_EQ(err.text(), "Port " + name + " is ambiguous: " + dev.file("ttyUSB3") + " " + dev.file("ttyUSB7") + "\n");
}
