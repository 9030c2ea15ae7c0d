// Registry bookkeeping and line setup on real pseudo-terminals.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>

#include "tests/port/port_test_util.h"

using Registry = EngineTest;

TEST_F(Registry, FindsNewestFirstAndTruncatesLongPaths)
{
    EXPECT_EQ(port_find(engine, "/dev/ttyUSB0"), nullptr);
    port_entry *first = create("/dev/ttyUSB0");
    port_entry *second = create("/dev/ttyUSB1");
    EXPECT_EQ(port_find(engine, "/dev/ttyUSB0"), first);
    std::vector<port_snapshot> ports = registry_snapshot(engine);
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].path, "/dev/ttyUSB1");
    EXPECT_FALSE(ports[0].is_open);
    EXPECT_EQ(ports[0].fd, -1);

    std::string long_path = "/dev/" + std::string(70, 'x');
    port_entry *truncated = create(long_path);
    EXPECT_EQ(strlen(port_path(truncated)), 63u);
    EXPECT_EQ(port_find(engine, long_path.c_str()), nullptr);

    port_retire(second, &leftovers);
    EXPECT_EQ(port_find(engine, "/dev/ttyUSB1"), nullptr);
    EXPECT_EQ(registry_count(engine), 2);
}

TEST_F(Registry, RefusesRecordsBeyondItsLimit)
{
    for (int i = 0; i < REGISTRY_MAX; i++)
        ASSERT_NE(port_create(engine, ("/dev/ttyX" + std::to_string(i)).c_str()), nullptr);
    EXPECT_EQ(port_create(engine, "/dev/one-too-many"), nullptr);
    EXPECT_EQ(registry_count(engine), REGISTRY_MAX);
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

class LineSetup : public EngineTest
{
protected:
    pty_port pty;
    port_entry *entry = nullptr;
    void SetUp() override
    {
        EngineTest::SetUp();
        entry = create(pty.path);
    }
    port_op *open_op(port_settings settings)
    {
        port_op op;
        op.kind = OP_OPEN;
        op.settings = settings;
        return submit(entry, std::move(op));
    }
    bool open_with(port_settings settings)
    {
        port_op *op = open_op(settings);
        return wait_done(op) && op->ok;
    }
    termios slave_attrs()
    {
        termios tio;
        memset(&tio, 0, sizeof(tio));
        EXPECT_EQ(tcgetattr(pty.slave, &tio), 0);
        return tio;
    }
};

TEST_F(LineSetup, OpenConfiguresTheLine)
{
    ASSERT_TRUE(open_with({57600, 8, 2, 1}));
    termios tio = slave_attrs();
    EXPECT_EQ(cfgetospeed(&tio), B57600);
    EXPECT_EQ(cfgetispeed(&tio), B57600);
    EXPECT_FALSE(tio.c_cflag & CSTOPB);
    EXPECT_TRUE((tio.c_cflag & (CREAD | CLOCAL)) == (CREAD | CLOCAL));
    EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL));
    EXPECT_FALSE(tio.c_oflag & OPOST);
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ECHOE | ISIG));
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 1);

    ASSERT_TRUE(open_with({921600, 7, 1, 2}));
    tio = slave_attrs();
    EXPECT_EQ(cfgetospeed(&tio), B921600);
    EXPECT_TRUE(tio.c_cflag & CSTOPB);

    // Unsupported values fall back on the line but are stored as asked.
    ASSERT_TRUE(open_with({12345, 9, 3, 0}));
    tio = slave_attrs();
    EXPECT_EQ(cfgetospeed(&tio), B115200);
    EXPECT_FALSE(tio.c_cflag & CSTOPB);
    port_settings s = snapshot_of(pty.path).settings;
    EXPECT_EQ(s.baudrate, 12345);
    EXPECT_EQ(s.databits, 9);
    EXPECT_EQ(s.parity, 3);
    EXPECT_EQ(s.stopbits, 0);
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

TEST_F(LineSetup, ReopenKeepsOneDescriptorAndCloseLetsItGo)
{
    int before = descriptors_on(pty.slave_name);
    ASSERT_TRUE(open_with(DEFAULT_SETTINGS));
    ASSERT_TRUE(open_with(DEFAULT_SETTINGS));
    EXPECT_EQ(descriptors_on(pty.slave_name), before + 1);

    port_op op;
    op.kind = OP_CLOSE;
    port_op *close_op = submit(entry, std::move(op));
    ASSERT_TRUE(wait_done(close_op));
    EXPECT_TRUE(close_op->remove_record);
    EXPECT_EQ(descriptors_on(pty.slave_name), before);
    EXPECT_EQ(registry_count(engine), 0);
    EXPECT_EQ(state_reasons(pty.path), (std::vector<std::string>{"open+", "open+", "close-"}));
}

// Nothing may ever be written to a path that is not a character device:
// a mistyped path must not create or grow a file.
TEST_F(LineSetup, OnlyDevicesAreOpened)
{
    temp_dir tmp;
    const std::string &dir = tmp.path();
    std::string file = tmp.file("file"), fifo = tmp.file("fifo");
    std::ofstream(file).close();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    for (const std::string &path : {file, dir, fifo}) {
        port_entry *other = create(path);
        stream_capture err(2);
        port_op open;
        open.kind = OP_OPEN;
        port_op *opened = submit(other, std::move(open));
        port_op *waited = sendat(other, "AT", 1);
        port_op only;
        only.command = "AT";
        only.send_only = true;
        port_op *sent = submit(other, std::move(only));
        ASSERT_TRUE(wait_done(sent));
        EXPECT_FALSE(opened->ok || sent->ok);
        EXPECT_EQ(waited->outcome, AT_SEND_FAILED);
        std::string line = "Failed to open " + path + ": not a serial port\n";
        EXPECT_EQ(err.text(), line + line + line);
        EXPECT_FALSE(snapshot_of(path).is_open);
    }
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
}

// What opens is decided by the device's class, looked up in a sysfs tree
// made here for the pty: a WWAN port of type AT or the management port of an
// AT driver opens without any line setup; any other WWAN or cdc-wdm port
// (QMI, MBIM: the router's connection manager talks there), the console in
// use and anything that is no terminal are refused. The pty starts at 9600
// each time, so the speed shows whether the line was set up.
TEST_F(LineSetup, DeviceClassDecidesWhatOpens)
{
    struct device_class {
        const char *cls, *devpath;
        const char *type;   // a WWAN port's type attribute
        const char *driver; // of the USB interface above the device
        bool opens, set_up;
    };
    const char *usb_port = "usb1/1-1/1-1:1.4/usbmisc/cdc-wdm0";
    dev_t rdev = device_number(pty.slave);
    for (const device_class &c : {
             device_class{nullptr, nullptr, nullptr, nullptr, true, true},
             device_class{"tty", "ttyUSB2", nullptr, nullptr, true, true},
             device_class{"tty", "serial8250/tty/ttyS0", nullptr, nullptr, false, false}, // the console in use
             device_class{"wwan", "wwan0at0", "AT", nullptr, true, false},
             device_class{"wwan", "wwan0qmi0", "QMI", nullptr, false, false},
             device_class{"usbmisc", usb_port, nullptr, "cdc_wdm", true, false},
             device_class{"usbmisc", usb_port, nullptr, "huawei_cdc_ncm", true, false},
             device_class{"usbmisc", usb_port, nullptr, "qmi_wwan_q", false, false},
             device_class{"usbmisc", "usb1/1-2/1-2:1.0/usbmisc/hiddev0", nullptr, "usbhid", false, false},
             device_class{"mem", "virtual/mem/zero", nullptr, nullptr, false, false},
         }) {
        SCOPED_TRACE(c.cls ? std::string(c.devpath) + " " + (c.type ? c.type : "") + (c.driver ? c.driver : "")
                           : "no class");
        fake_sysfs sysfs;
        if (c.cls)
            sysfs.device(rdev, c.devpath, c.cls);
        if (c.type)
            sysfs.attr(c.devpath, "type", c.type);
        if (c.driver)
            sysfs.usb_interface(std::filesystem::path(c.devpath).parent_path().parent_path(), "04", c.driver);
        sysfs.attr("virtual/tty/console", "active", "tty0 ttyS0");
        std::filesystem::create_directories(sysfs.dir.file("class/tty"));
        std::filesystem::create_directory_symlink("../../devices/virtual/tty/console",
                                                  sysfs.dir.file("class/tty/console"));
        engine->sysfs_root = sysfs.root();
        termios tio = slave_attrs();
        cfsetspeed(&tio, B9600);
        ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &tio), 0);

        stream_capture err(2);
        EXPECT_EQ(open_with({57600, 8, 0, 1}), c.opens);
        tio = slave_attrs();
        EXPECT_EQ(cfgetospeed(&tio), c.set_up ? B57600 : B9600);
        EXPECT_EQ(err.text(), c.opens ? "" : "Failed to open " + pty.path + ": not a serial port\n");
        EXPECT_EQ(snapshot_of(pty.path).is_open, c.opens);
    }

    // Without a class to go by, the descriptor must be a terminal.
    port_entry *null = create("/dev/null");
    stream_capture err(2);
    port_op *op = sendat(null, "AT", 1);
    ASSERT_TRUE(wait_done(op));
    EXPECT_EQ(op->outcome, AT_SEND_FAILED);
    EXPECT_EQ(err.text(), "Failed to open /dev/null: not a serial port\n");
}

TEST_F(LineSetup, MissingNodeFailsWithItsConsoleLine)
{
    pty.remove_node();
    stream_capture err(2);
    EXPECT_FALSE(open_with(DEFAULT_SETTINGS));
    EXPECT_EQ(err.text(), "Port file " + pty.path + " does not exist\n");
    EXPECT_EQ(snapshot_of(pty.path).settings.baudrate, 0);
}

// Tests run as root, which opens anything; the refusal is checked in a
// child that drops to an unprivileged user. A plain fork rather than the
// child-process runner: the child runs the engine from this binary's own
// image, it starts no program.
TEST(LinePermission, DeniedLeavesThePortClosed)
{
    pty_port pty;
    ASSERT_EQ(chmod(pty.dir.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(pty.slave_name.c_str(), 0600), 0);
    ASSERT_EQ(chown(pty.slave_name.c_str(), 0, 0), 0);
    stream_capture err(2);
    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(10);
        port_engine *engine = port_engine_create();
        port_entry *entry = port_create(engine, pty.path.c_str());
        port_op op;
        op.kind = OP_OPEN;
        port_submit(entry, &op);
        std::deque<outbox_item> items;
        while (items.empty() || !items.back().op) {
            pollfd p = {port_outbox_fd(engine), POLLIN, 0};
            uint64_t wakes;
            if (poll(&p, 1, 1000) > 0)
                (void)!read(p.fd, &wakes, sizeof wakes);
            port_outbox_take(engine, &items);
        }
        bool closed = !registry_snapshot(engine)[0].is_open;
        fflush(stderr);
        _exit(!op.ok && closed ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(err.text(), "Failed to open " + pty.path + ": Permission denied\n");
}

// One device under two spellings would split the modem's bytes between
// two readers; the second open is refused until the first record goes.
TEST_F(LineSetup, OneDeviceOpensUnderOneRecordOnly)
{
    ASSERT_TRUE(open_with(DEFAULT_SETTINGS));
    std::string dotted = pty.dir.file("./ttyUSB2");
    std::string beside = pty.dir.file("modem-at");
    ASSERT_EQ(symlink(pty.slave_name.c_str(), beside.c_str()), 0);
    for (const std::string &path : {dotted, beside, pty.slave_name}) {
        port_entry *other = create(path);
        stream_capture err(2);
        port_op *op = sendat(other, "AT", 1);
        ASSERT_TRUE(wait_done(op));
        EXPECT_EQ(op->outcome, AT_SEND_FAILED);
        EXPECT_EQ(err.text(), "Failed to open " + path + ": device already open as " + pty.path + "\n");
    }

    port_op close;
    close.kind = OP_CLOSE;
    ASSERT_TRUE(wait_done(submit(entry, std::move(close))));
    port_op open;
    open.kind = OP_OPEN;
    port_op *reopened = submit(port_find(engine, beside.c_str()), std::move(open));
    ASSERT_TRUE(wait_done(reopened));
    EXPECT_TRUE(reopened->ok);
    unlink(beside.c_str());
}

// A line that stopped taking output holds its close for a drain wait; at
// exit the waits overlap, so N stalled lines cost one. No pseudo-terminal
// reports queued output: this line drains slowly until every port has
// begun its close, and stalls from then on. Closed one after another, each
// port would wait out the whole drain alone.
struct stand_in_line {
    std::mutex lock;
    size_t ports = 0;
    std::map<int, int> queued; // by descriptor
};
static stand_in_line slow_line;

static int slow_line_queue(int fd)
{
    std::lock_guard<std::mutex> guard(slow_line.lock);
    int &queued = slow_line.queued.try_emplace(fd, 4096).first->second;
    if (slow_line.queued.size() < slow_line.ports)
        queued--;
    return queued;
}

TEST_F(Registry, StalledLinesCloseTogether)
{
    std::vector<std::unique_ptr<pty_port>> lines;
    for (int i = 0; i < 4; i++) {
        lines.push_back(std::make_unique<pty_port>());
        port_op open;
        open.kind = OP_OPEN;
        ASSERT_TRUE(wait_done(submit(create(lines.back()->dir.file("ttyUSB2")), std::move(open))));
    }
    port_engine_stop(engine);
    slow_line.ports = lines.size();
    engine->output_queued = slow_line_queue;

    auto start = std::chrono::steady_clock::now();
    port_engine_close_devices(engine, OUTPUT_DRAIN_MAX_MS);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(slow_line.queued.size(), lines.size());
    EXPECT_LT(took, std::chrono::milliseconds(OUTPUT_DRAIN_MAX_MS * (lines.size() - 1)));
    for (const port_snapshot &port : registry_snapshot(engine))
        EXPECT_FALSE(port.is_open) << port.path;
}
