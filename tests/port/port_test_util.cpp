#include "tests/port/port_test_util.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

pty_port::pty_port()
{
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty failed";
        return;
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    slave_name = name;
    path = dir.file("ttyUSB2");
    restore_node();
}

pty_port::~pty_port()
{
    if (master >= 0)
        close(master);
    if (slave >= 0)
        close(slave);
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

std::string pty_port::read_now()
{
    std::string got;
    char buf[4096];
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;)
        got.append(buf, n);
    return got;
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

void fake_sysfs::device(dev_t rdev, const std::string &devpath, const char *cls)
{
    std::string at = dir.file("devices/" + devpath);
    std::filesystem::create_directories(at);
    std::filesystem::create_directories(dir.file("dev/char"));
    if (cls) {
        std::string class_dir = dir.file(std::string("class/") + cls);
        std::filesystem::create_directories(class_dir);
        std::filesystem::remove(at + "/subsystem");
        std::filesystem::create_directory_symlink(class_dir, at + "/subsystem");
        // The class lists its devices by name, as the kernel's does.
        std::string listed = class_dir + "/" + std::filesystem::path(devpath).filename().string();
        std::filesystem::remove(listed);
        std::filesystem::create_directory_symlink(at, listed);
    }
    std::string number = dir.file("dev/char/" + std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev)));
    std::filesystem::remove(number);
    std::filesystem::create_directory_symlink("../../devices/" + devpath, number);
}

void fake_sysfs::attr(const std::string &devpath, const std::string &name, const std::string &value)
{
    std::string at = dir.file("devices/" + devpath);
    std::filesystem::create_directories(at);
    std::ofstream(at + "/" + name) << value << "\n";
}

void fake_sysfs::usb_device(const std::string &devpath, const std::string &vendor, const std::string &product,
                            const std::string &serial)
{
    attr(devpath, "idVendor", vendor);
    attr(devpath, "idProduct", product);
    if (!serial.empty())
        attr(devpath, "serial", serial);
}

void fake_sysfs::usb_interface(const std::string &devpath, const std::string &number, const std::string &driver)
{
    attr(devpath, "bInterfaceNumber", number);
    std::string link = dir.file("devices/" + devpath + "/driver");
    std::filesystem::remove(link);
    std::filesystem::create_directory_symlink(dir.file("bus/usb/drivers/" + driver), link);
}

dev_t device_number(int fd)
{
    struct stat st;
    EXPECT_EQ(fstat(fd, &st), 0);
    return st.st_rdev;
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

void EngineTest::TearDown()
{
    port_monitor_stop(engine);
    port_engine_stop(engine);
    pump(0);
    port_engine_destroy(engine);
}

port_entry *EngineTest::create(const std::string &path)
{
    port_entry *entry = port_create(engine, path.c_str());
    EXPECT_NE(entry, nullptr);
    return entry;
}

port_op *EngineTest::submit(port_entry *entry, port_op op)
{
    ops.push_back(std::make_unique<port_op>(std::move(op)));
    port_op *queued = ops.back().get();
    EXPECT_TRUE(port_submit(entry, queued));
    return queued;
}

port_op *EngineTest::sendat(port_entry *entry, const std::string &command, int timeout, const char *flags)
{
    port_op op;
    op.kind = OP_SENDAT;
    op.command = command;
    op.timeout = timeout;
    op.has_end_flag = flags != nullptr;
    op.end_flag = flags ? flags : "";
    return submit(entry, std::move(op));
}

void EngineTest::pump(int timeout_ms)
{
    pollfd p = {port_outbox_fd(engine), POLLIN, 0};
    // The engine never reads its wake-up; a level-triggered watcher does.
    uint64_t wakes;
    if (poll(&p, 1, timeout_ms) > 0)
        (void)!read(p.fd, &wakes, sizeof wakes);
    std::deque<outbox_item> items;
    port_outbox_take(engine, &items);
    for (outbox_item &item : items) {
        if (!item.op) {
            events.push_back(std::move(item.event));
            continue;
        }
        // The engine's own work goes back to the engine, as in the daemon.
        if (item.op->finished) {
            item.op->finished(item.op);
            continue;
        }
        finished.push_back(item.op);
        // As the daemon does: a finished record goes, with what was queued on it.
        if (item.op->remove_record)
            port_retire(item.op->entry, &leftovers);
    }
}

bool EngineTest::wait_done(port_op *op, std::chrono::milliseconds deadline)
{
    auto is_done = [&] { return std::find(finished.begin(), finished.end(), op) != finished.end(); };
    return wait_until(
        [&] {
            pump(1);
            return is_done();
        },
        deadline);
}

bool EngineTest::wait_event(const std::function<bool(const port_event &)> &match, std::chrono::milliseconds deadline)
{
    size_t seen = 0;
    return wait_until(
        [&] {
            pump(1);
            for (; seen < events.size(); seen++)
                if (match(events[seen]))
                    return true;
            return false;
        },
        deadline);
}

port_snapshot EngineTest::snapshot_of(const std::string &path)
{
    for (const port_snapshot &port : registry_snapshot(engine))
        if (port.path == path)
            return port;
    ADD_FAILURE() << "no record for " << path;
    return {};
}

std::vector<std::string> EngineTest::state_reasons(const std::string &path) const
{
    std::vector<std::string> reasons;
    for (const port_event &event : events)
        if (event.is_state && event.port == path)
            reasons.push_back(std::string(event.reason) + (event.is_open ? "+" : "-"));
    return reasons;
}

bare_port::bare_port(const std::string &path)
    : engine(port_engine_create()), entry(port_entry_alloc(engine, path.c_str()))
{
}

bare_port::~bare_port()
{
    take(false);
    port_close(entry);
    port_entry_free(entry);
    port_engine_destroy(engine);
}

void bare_port::arm(const char *flags, const char *command)
{
    op = port_op();
    entry->current = &op;
    if (command) {
        // As the transaction writes it: what the reader knows of the command.
        op.command = command;
        entry->command_seq++;
        entry->out = op.command + "\r\n";
        entry->traits_known = false;
        echo_written(entry, entry->out.data(), entry->out.size());
    }
    end_flags_set(&entry->end_flags, flags);
    entry->end_flags_default = false;
    capture_arm(entry);
    entry->deadline_ms = INT64_MAX;
    entry->phase = PHASE_WAIT_FINAL;
}

void bare_port::feed(const std::string &bytes)
{
    port_process_chunk(entry, bytes.data(), static_cast<int>(bytes.size()));
}

void bare_port::expire()
{
    at_tick(entry, INT64_MAX);
}

void bare_port::sent_only(const std::string &text)
{
    owed_send_only(entry, text);
}

std::vector<std::string> bare_port::take(bool state)
{
    std::deque<outbox_item> items;
    port_outbox_take(engine, &items);
    std::vector<std::string> out;
    for (const outbox_item &item : items) {
        if (item.op || item.event.is_state != state)
            continue;
        if (state)
            out.push_back(std::string(item.event.reason) + (item.event.is_open ? "+" : "-"));
        else
            out.push_back(item.event.line + (item.event.late ? " (late)" : ""));
    }
    return out;
}

std::vector<std::string> bare_port::lines()
{
    return take(false);
}

std::vector<std::string> bare_port::states()
{
    return take(true);
}
