// Registry bookkeeping and line setup on real pseudo-terminals.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "core/daemon_state.h"
#include "port/port_internal.h"
#include "tests/port/port_test_util.h"

TEST_F(PortTest, RegistryFindsNewestFirstAndTruncatesLongPaths)
{
    EXPECT_EQ(port_find("/dev/ttyUSB0"), nullptr);
    port_entry *first = port_create("/dev/ttyUSB0");
    port_entry *second = port_create("/dev/ttyUSB1");
    ASSERT_TRUE(first && second);
    EXPECT_EQ(g_daemon.ports, second);
    EXPECT_EQ(second->next, first);
    EXPECT_EQ(port_find("/dev/ttyUSB0"), first);
    EXPECT_EQ(first->fd, -1);
    EXPECT_EQ(first->check_interval, 30);

    std::string long_path = "/dev/" + std::string(70, 'x');
    port_entry *truncated = port_create(long_path.c_str());
    ASSERT_NE(truncated, nullptr);
    EXPECT_EQ(strlen(truncated->path), 63u);
    EXPECT_EQ(port_find(long_path.c_str()), nullptr);

    port_destroy(second);
    EXPECT_EQ(port_find("/dev/ttyUSB1"), nullptr);
    EXPECT_EQ(port_find("/dev/ttyUSB0"), first);
    EXPECT_EQ(registry_count(), 2);
    port_destroy(nullptr);
}

TEST_F(PortTest, RegistryRefusesRecordsBeyondItsLimit)
{
    for (int i = 0; i < REGISTRY_MAX; i++)
        ASSERT_NE(port_create(("/dev/ttyX" + std::to_string(i)).c_str()), nullptr);
    EXPECT_EQ(port_create("/dev/one-too-many"), nullptr);
    EXPECT_EQ(registry_count(), REGISTRY_MAX);
    registry_destroy_all();
    EXPECT_EQ(registry_count(), 0);
}

static termios slave_attrs(const pty_port &pty)
{
    termios tio;
    memset(&tio, 0, sizeof(tio));
    EXPECT_EQ(tcgetattr(pty.slave, &tio), 0);
    return tio;
}

// The pty driver forces CS8 and no parity on its own lines, so framing is
// checked on the attributes the engine computes and everything else on the
// pty itself.
TEST(LineAttributes, FramingFollowsTheRequestWithFallbacks)
{
    struct framing {
        int32_t databits, parity, stopbits;
        tcflag_t size;
        bool parenb, parodd, cstopb;
    };
    for (const framing &f : {framing{8, 2, 1, CS8, true, false, false}, framing{7, 1, 2, CS7, true, true, true},
                             framing{5, 0, 1, CS5, false, true, false}, framing{6, 0, 1, CS6, false, true, false},
                             framing{9, 3, 0, CS8, false, true, false}}) {
        termios tio;
        memset(&tio, 0, sizeof(tio));
        tio.c_cflag = CS8 | PARODD | CRTSCTS;
        line_attributes(&tio, 115200, f.databits, f.parity, f.stopbits);
        SCOPED_TRACE(f.databits);
        EXPECT_EQ(tio.c_cflag & CSIZE, f.size);
        EXPECT_EQ(bool(tio.c_cflag & PARENB), f.parenb);
        EXPECT_EQ(bool(tio.c_cflag & PARODD), f.parodd);
        EXPECT_EQ(bool(tio.c_cflag & CSTOPB), f.cstopb);
        EXPECT_TRUE(tio.c_cflag & CRTSCTS); // flow control keeps its value
    }
}

TEST_F(PortTest, OpenConfiguresTheLine)
{
    pty_port pty;
    port_entry *entry = port_create(pty.path.c_str());

    ASSERT_EQ(port_open(entry, 57600, 8, 2, 1), 0);
    termios tio = slave_attrs(pty);
    EXPECT_EQ(cfgetospeed(&tio), B57600);
    EXPECT_EQ(cfgetispeed(&tio), B57600);
    EXPECT_FALSE(tio.c_cflag & CSTOPB);
    EXPECT_TRUE((tio.c_cflag & (CREAD | CLOCAL)) == (CREAD | CLOCAL));
    EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL));
    EXPECT_FALSE(tio.c_oflag & OPOST);
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ECHOE | ISIG));
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 1);
    EXPECT_TRUE(entry->is_open);
    EXPECT_GE(entry->fd, 0);

    ASSERT_EQ(port_open(entry, 921600, 7, 1, 2), 0);
    tio = slave_attrs(pty);
    EXPECT_EQ(cfgetospeed(&tio), B921600);
    EXPECT_TRUE(tio.c_cflag & CSTOPB);

    // Unsupported values fall back on the line but are stored as asked.
    ASSERT_EQ(port_open(entry, 12345, 9, 3, 0), 0);
    tio = slave_attrs(pty);
    EXPECT_EQ(cfgetospeed(&tio), B115200);
    EXPECT_FALSE(tio.c_cflag & CSTOPB);
    EXPECT_EQ(entry->baudrate, 12345);
    EXPECT_EQ(entry->databits, 9);
    EXPECT_EQ(entry->parity, 3);
    EXPECT_EQ(entry->stopbits, 0);
}

static int count_dir_entries(const char *dir)
{
    int count = 0;
    DIR *d = opendir(dir);
    while (dirent *e = readdir(d))
        count += e->d_name[0] != '.';
    closedir(d);
    return count;
}

static int descriptors_on(const std::string &device)
{
    int count = 0;
    DIR *d = opendir("/proc/self/fd");
    while (dirent *e = readdir(d)) {
        char target[256];
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
        if (n > 0 && device == std::string(target, n))
            count++;
    }
    closedir(d);
    return count;
}

TEST_F(PortTest, ReopenKeepsOneReaderAndOneDescriptor)
{
    pty_port pty;
    port_entry *entry = port_create(pty.path.c_str());
    int fds_before = descriptors_on(pty.slave_name);

    // Threads are counted only once one reader runs: sanitizers start
    // helper threads of their own at the first thread creation.
    ASSERT_EQ(port_open(entry, 115200, 8, 0, 1), 0);
    int threads_open = count_dir_entries("/proc/self/task");
    ASSERT_EQ(port_open(entry, 115200, 8, 0, 1), 0);
    EXPECT_EQ(count_dir_entries("/proc/self/task"), threads_open);
    EXPECT_EQ(descriptors_on(pty.slave_name), fds_before + 1);

    port_close(entry);
    EXPECT_EQ(count_dir_entries("/proc/self/task"), threads_open - 1);
    EXPECT_EQ(descriptors_on(pty.slave_name), fds_before);
    EXPECT_FALSE(entry->is_open);
    EXPECT_EQ(entry->fd, -1);
    port_close(entry); // closing a closed port does nothing
    EXPECT_EQ(entry->fd, -1);
}

TEST_F(PortTest, MissingNodeFailsWithItsConsoleLine)
{
    pty_port pty;
    pty.remove_node();
    port_entry *entry = port_create(pty.path.c_str());
    stream_capture err(2);
    EXPECT_EQ(port_open(entry, 115200, 8, 0, 1), -1);
    EXPECT_EQ(err.text(), "Port file " + pty.path + " does not exist\n");
    EXPECT_FALSE(entry->is_open);
    EXPECT_EQ(entry->baudrate, 0);
}

// Nothing may ever be written to a path that is not a character device:
// a mistyped path must not create or grow a file.
TEST_F(PortTest, OnlyCharacterDevicesAreOpened)
{
    std::string dir = make_temp_dir();
    std::string file = dir + "/file", fifo = dir + "/fifo";
    std::ofstream(file).close();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    for (const std::string &path : {file, dir, fifo}) {
        port_entry *entry = port_create(path.c_str());
        at_response *result = new at_response;
        stream_capture err(2);
        EXPECT_EQ(port_open(entry, 115200, 8, 0, 1), -1);
        EXPECT_EQ(at_transact(entry, "AT", 1, nullptr, false, result), AT_SEND_FAILED);
        EXPECT_EQ(at_send_only(entry, "AT", false), -1);
        std::string line = "Failed to open " + path + ": not a character device\n";
        EXPECT_EQ(err.text(), line + line + line);
        EXPECT_FALSE(entry->is_open);
        EXPECT_EQ(entry->fd, -1);
        delete result;
    }
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    unlink(file.c_str());
    unlink(fifo.c_str());
    rmdir(dir.c_str());
}

// Tests run as root, which opens anything; the refusal is checked in a
// child that drops to an unprivileged user.
TEST_F(PortTest, PermissionDeniedLeavesThePortClosed)
{
    pty_port pty;
    ASSERT_EQ(chmod(pty.dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(pty.slave_name.c_str(), 0600), 0);
    ASSERT_EQ(chown(pty.slave_name.c_str(), 0, 0), 0);
    stream_capture err(2);
    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(10);
        port_entry *entry = port_create(pty.path.c_str());
        int rc = port_open(entry, 115200, 8, 0, 1);
        bool closed = !entry->is_open && entry->fd == -1 && !entry->has_reader;
        fflush(stderr);
        _exit(rc == -1 && closed ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(err.text(), "Failed to open " + pty.path + ": Permission denied\n");
}

// A hung-up tty reports POLLHUP and reads zero bytes forever while its
// descriptor stays valid. The reader gives the port up, like after a read
// error, so that it neither spins nor keeps a dead line that the next
// command or the monitor could not replace.
TEST_F(PortTest, HungUpDeviceIsMarkedClosedInsteadOfSpinning)
{
    pty_port pty;
    port_entry *entry = port_create(pty.path.c_str());
    ASSERT_EQ(port_open(entry, 115200, 8, 0, 1), 0);
    stream_capture err(2);
    pty.close_master();

    ASSERT_TRUE(wait_until([&] { return !entry->is_open; }));
    EXPECT_EQ(err.text(), "Error reading from port " + pty.path + ": device hung up, marking as closed\n");
    EXPECT_TRUE(entry->has_reader);
    EXPECT_GE(entry->fd, 0);

    // The next monitor pass lets go of the dead descriptor even though the
    // port's examination is not due: while it stays open, a USB modem that
    // comes back cannot get its old tty name.
    port_check(entry);
    EXPECT_FALSE(entry->has_reader);
    EXPECT_EQ(entry->fd, -1);
    EXPECT_EQ(err.text(), "Error reading from port " + pty.path + ": device hung up, marking as closed\n");
    port_close(entry);
}

TEST_F(PortTest, FailedReaderWakesTheMonitorToReleaseThePort)
{
    pty_port pty;
    port_entry *entry = port_create(pty.path.c_str());
    ASSERT_EQ(port_open(entry, 115200, 8, 0, 1), 0);
    port_monitor_start();
    stream_capture err(2);
    pty.close_master();
    // Far sooner than the monitor's 5-second pause.
    EXPECT_TRUE(wait_until([&] { return entry->fd == -1; }, 4000));
    port_monitor_stop();
}
