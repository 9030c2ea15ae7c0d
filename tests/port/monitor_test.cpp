// The monitor's examination of one port (driven directly, with the
// interval made due) and the monitor thread's start and stop.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "core/daemon_state.h"
#include "tests/port/port_test_util.h"

static speed_t line_speed(const pty_port &pty)
{
    termios tio;
    memset(&tio, 0, sizeof(tio));
    tcgetattr(pty.slave, &tio);
    return cfgetospeed(&tio);
}

TEST_F(PortTest, CheckIsSkippedUntilTheIntervalIsDue)
{
    pty_port pty;
    port_entry *entry = port_create(pty.path.c_str());
    int64_t created = entry->last_check;
    stream_capture out(1);
    port_check(entry);
    EXPECT_FALSE(entry->is_open);
    EXPECT_EQ(entry->last_check, created);
    EXPECT_EQ(out.text(), "");
}

TEST_F(PortTest, CheckClosesAVanishedNodeAndReopensItWithSavedSettings)
{
    pty_port pty;
    port_entry *entry = port_create(pty.path.c_str());
    ASSERT_EQ(port_open(entry, 57600, 7, 1, 2), 0);

    pty.remove_node();
    make_check_due(entry);
    {
        stream_capture err(2);
        port_check(entry);
        EXPECT_EQ(err.text(), "Port " + pty.path + " no longer exists, marking as closed\n");
    }
    EXPECT_FALSE(entry->is_open);
    EXPECT_EQ(entry->fd, -1);
    EXPECT_FALSE(entry->has_reader);

    // Still missing: left alone.
    make_check_due(entry);
    {
        stream_capture out(1), err(2);
        port_check(entry);
        EXPECT_EQ(out.text() + err.text(), "");
    }

    pty.restore_node();
    make_check_due(entry);
    {
        stream_capture out(1);
        port_check(entry);
        EXPECT_EQ(out.text(), "Port " + pty.path +
                                  " exists but is closed, attempting to reopen...\n"
                                  "Successfully reopened port " +
                                  pty.path + "\n");
    }
    EXPECT_TRUE(entry->is_open);
    EXPECT_EQ(line_speed(pty), B57600);
    EXPECT_EQ(entry->databits, 7);
    EXPECT_EQ(entry->parity, 1);
    EXPECT_EQ(entry->stopbits, 2);
}

TEST_F(PortTest, NeverOpenedRecordIsOpenedWithTheDefaults)
{
    pty_port pty;
    port_entry *entry = port_create(pty.path.c_str());
    make_check_due(entry);
    stream_capture out(1);
    port_check(entry);
    EXPECT_TRUE(entry->is_open);
    EXPECT_EQ(entry->baudrate, 115200);
    EXPECT_EQ(entry->databits, 8);
    EXPECT_EQ(entry->parity, 0);
    EXPECT_EQ(entry->stopbits, 1);
    EXPECT_EQ(line_speed(pty), B115200);
    EXPECT_NE(out.text().find("Successfully reopened port " + pty.path + "\n"), std::string::npos);
}

TEST_F(PortTest, FailedReopenWritesBothFailureLines)
{
    std::string dir = make_temp_dir();
    std::string file = dir + "/ttyUSB3";
    std::ofstream(file).close();
    port_entry *entry = port_create(file.c_str());
    make_check_due(entry);
    stream_capture out(1), err(2);
    port_check(entry);
    EXPECT_EQ(out.text(), "Port " + file + " exists but is closed, attempting to reopen...\n");
    EXPECT_EQ(err.text(), "Failed to open " + file +
                              ": not a character device\n"
                              "Failed to reopen port " +
                              file + "\n");
    EXPECT_FALSE(entry->is_open);
    unlink(file.c_str());
    rmdir(dir.c_str());
}

// A descriptor that went bad under an open port is replaced. The record is
// set up by hand (no reader) so that nothing else notices the bad number
// before the check does.
TEST_F(PortTest, InvalidDescriptorIsReplaced)
{
    pty_port pty;
    port_entry *entry = port_create(pty.path.c_str());
    int stale = dup(0);
    close(stale);
    entry->fd = stale;
    entry->is_open = 1;
    entry->baudrate = 19200;

    make_check_due(entry);
    stream_capture out(1), err(2);
    port_check(entry);
    EXPECT_EQ(err.text(), "Port " + pty.path + " file descriptor is invalid, reopening...\n");
    EXPECT_EQ(out.text(), "Successfully reopened port " + pty.path + " after fd failure\n");
    EXPECT_TRUE(entry->is_open);
    EXPECT_TRUE(entry->has_reader);
    EXPECT_GE(fcntl(entry->fd, F_GETFL), 0);
    EXPECT_EQ(line_speed(pty), B19200);
}

TEST_F(PortTest, MonitorPassClosesAVanishedPortAndStopsAtOnce)
{
    pty_port pty;
    port_entry *entry = port_create(pty.path.c_str());
    ASSERT_EQ(port_open(entry, 115200, 8, 0, 1), 0);
    pty.remove_node();
    make_check_due(entry);

    stream_capture out(1), err(2);
    port_monitor_start();
    ASSERT_TRUE(wait_until([&] { return !entry->is_open; }));

    timespec before, after;
    clock_gettime(CLOCK_MONOTONIC, &before);
    port_monitor_stop();
    clock_gettime(CLOCK_MONOTONIC, &after);
    // The pass sleeps 5 s; a stop that waited it out would take that long.
    EXPECT_LT(after.tv_sec - before.tv_sec, 4);

    EXPECT_EQ(out.text(), "Port monitor thread started\nPort monitor thread stopped\n");
    EXPECT_EQ(err.text(), "Port " + pty.path + " no longer exists, marking as closed\n");
    EXPECT_FALSE(g_daemon.monitor_started);
}

TEST_F(PortTest, StoppingAMonitorThatNeverStartedWritesNothing)
{
    stream_capture out(1);
    port_monitor_stop();
    EXPECT_EQ(out.text(), "");
}
