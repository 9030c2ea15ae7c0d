// Port health. The monitor thread makes a pass every 5 s and asks each port
// whose 30 s interval is due to examine itself; the port's own thread then
// closes a port whose node vanished, reopens one whose node is back or whose
// descriptor went bad. The hotplug watcher asks for the same repairs the
// moment a node comes or goes, and a reopen after a node appeared is retried
// for about 2 s, since a new node may refuse opens while its driver binds.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "port/console.h"
#include "port/port_internal.h"

constexpr int MONITOR_PASS_SECONDS = 5;
// Delays between the attempts to reopen a port whose node has appeared.
constexpr int REOPEN_RETRY_MS[] = {100, 200, 300, 500, 900};
constexpr int REOPEN_RETRIES = sizeof(REOPEN_RETRY_MS) / sizeof(REOPEN_RETRY_MS[0]);

static void note_examined(port_entry *entry)
{
    entry->last_check_mono = engine_seconds(entry->engine);
    entry->last_check = static_cast<uint32_t>(time(nullptr));
}

// Other hardware behind the path is said where it is found, once
// (port_open), and is no failure to report or retry.
static bool reopen_saved(port_entry *entry, open_failure *why)
{
    return port_open(entry, saved_settings(entry), why) == 0;
}

// Whether the device hung up: a modem that reset. A link that went away
// alone leaves a device that still answers what it was sent.
static bool device_hung_up(const port_entry *entry)
{
    pollfd p = {entry->fd, POLLIN, 0};
    return entry->fd < 0 || (poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)));
}

static void close_vanished(port_entry *entry)
{
    console_vanished(entry->path);
    // Only the node may have gone (a link re-pointed), and the device with
    // it may still be at its prompt.
    at_cancel_prompt(entry);
    bool hung_up = device_hung_up(entry);
    if (hung_up) {
        // A USB modem whose device hung up has reset: the answers it owed
        // are not coming, and what comes back starts afresh.
        port_close(entry);
        at_port_closed(entry, false);
        port_forget_stream(entry);
    } else {
        // The device is still up: what it owes comes when the node is back.
        // The port reads closed before its command is answered, and no
        // other record opens the device before the debts are in the stash.
        int fd = entry->fd;
        {
            mutex_guard guard(&entry->engine->open_lock);
            port_drop_descriptor(entry);
            at_port_closed(entry, true);
            owed_stash(entry);
        }
        port_close_detached(entry->engine, fd);
    }
    emit_state(entry, "vanished");
}

void port_check_descriptor(port_entry *entry)
{
    int fd = entry->fd;
    if (fd < 0 || fcntl(fd, F_GETFL) != -1 || errno != EBADF)
        return;
    console_fd_invalid(entry->path);
    // The number is no longer ours: closing it could hit a descriptor
    // someone else has opened since.
    port_drop_descriptor(entry);
    at_port_closed(entry, false);
    port_forget_stream(entry);
    open_failure why;
    bool ok = reopen_saved(entry, &why);
    if (why.kind == open_failure::REPLACED)
        return;
    if (!ok)
        console_open_failed(entry->path, why);
    console_fd_reopened(entry->path, ok);
    emit_state(entry, ok ? "reopen" : "error");
    if (ok)
        port_read_backlog(entry);
}

// A closed port whose node exists is reopened with its saved settings.
// Quiet attempts leave the failure lines to the last one. A path that leads
// to other hardware now is not tried again until something changes.
static bool try_reopen(port_entry *entry, bool last_attempt)
{
    if (!port_node_present(entry)) {
        if (last_attempt && entry->reopen_announced)
            console_reopened(entry->path, false);
        return false;
    }
    open_failure why;
    bool ok = reopen_saved(entry, &why);
    if (why.kind == open_failure::REPLACED) {
        entry->retries_left = 0;
        entry->reopen_announced = false;
        return false;
    }
    if (!entry->reopen_announced) {
        console_reopening(entry->path);
        entry->reopen_announced = true;
    }
    if (!ok && last_attempt)
        console_open_failed(entry->path, why);
    if (ok || last_attempt) {
        console_reopened(entry->path, ok);
        entry->reopen_announced = false;
    }
    if (ok) {
        emit_state(entry, "reopen");
        port_read_backlog(entry);
    }
    return ok;
}

// The node the port has open: its path, or the node found for its hardware.
static const char *open_node(const port_entry *entry)
{
    return entry->by_hardware ? entry->node.c_str() : entry->path;
}

// Whether the node the port has open is still what its name leads to. A
// name of hardware leads elsewhere once its interface is on another node.
static bool node_still_named(const port_entry *entry)
{
    if (access(open_node(entry), F_OK) != 0)
        return false;
    if (!entry->by_hardware)
        return true;
    std::vector<std::string> nodes =
        usb_name_nodes(entry->engine->sysfs_root, entry->engine->dev_root, entry->hardware_name);
    return std::find(nodes.begin(), nodes.end(), entry->node) != nodes.end();
}

void port_check(port_entry *entry)
{
    if (entry->fd >= 0) {
        if (node_still_named(entry)) {
            port_check_descriptor(entry);
            return;
        }
        close_vanished(entry);
        // The interface may be on another node already.
        if (!entry->by_hardware)
            return;
    }
    entry->retries_left = 0;
    entry->reopen_announced = false;
    try_reopen(entry, true);
}

// The path now names another device than the one open: the node went and
// a new one took its place before anyone looked (a link re-pointed at once).
static bool node_replaced(const port_entry *entry)
{
    struct stat st;
    return stat(open_node(entry), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev != entry->rdev;
}

void port_node_gone(port_entry *entry)
{
    entry->retries_left = 0;
    if (entry->fd < 0)
        return;
    if (access(open_node(entry), F_OK) != 0) {
        note_examined(entry);
        close_vanished(entry);
        // Its interface may have come back under another node first.
        if (entry->by_hardware)
            port_node_back(entry);
    } else if (node_replaced(entry)) {
        port_node_back(entry);
    }
}

void port_node_back(port_entry *entry)
{
    if (entry->fd >= 0 && !node_replaced(entry))
        return;
    note_examined(entry);
    if (entry->fd >= 0)
        close_vanished(entry);
    entry->reopen_announced = false;
    entry->retries_left = REOPEN_RETRIES;
    entry->retry_at_ms = mono_ms() + REOPEN_RETRY_MS[0];
    if (try_reopen(entry, false))
        entry->retries_left = 0;
}

void port_retry_reopen(port_entry *entry, int64_t now_ms)
{
    if (entry->retries_left <= 0 || now_ms < entry->retry_at_ms)
        return;
    if (entry->fd >= 0) {
        entry->retries_left = 0;
        return;
    }
    int attempt = REOPEN_RETRIES - entry->retries_left;
    entry->retries_left--;
    note_examined(entry);
    if (try_reopen(entry, entry->retries_left == 0))
        entry->retries_left = 0;
    else if (entry->retries_left > 0)
        entry->retry_at_ms = now_ms + REOPEN_RETRY_MS[attempt + 1];
}

// Other holders of a port's device. Each process's descriptors are looked
// at by their links in /proc: stat follows a link without opening anything.
// A process holding the master of the pseudo-terminal whose slave is the
// device is the device's other end (a simulated modem), not another user.
constexpr unsigned PTY_SLAVE_MAJOR_FIRST = 136, PTY_SLAVE_MAJOR_LAST = 143, PTY_SLAVES_PER_MAJOR = 256;
static const dev_t PTMX = makedev(5, 2);

static int pty_index(dev_t rdev)
{
    unsigned ma = major(rdev);
    if (ma < PTY_SLAVE_MAJOR_FIRST || ma > PTY_SLAVE_MAJOR_LAST)
        return -1;
    return static_cast<int>((ma - PTY_SLAVE_MAJOR_FIRST) * PTY_SLAVES_PER_MAJOR + minor(rdev));
}

// The index of the pseudo-terminal a master descriptor serves, -1 if unknown.
static int master_index(const char *pid, const char *fd)
{
    std::string path = std::string("/proc/") + pid + "/fdinfo/" + fd;
    FILE *f = fopen(path.c_str(), "re");
    if (!f)
        return -1;
    char line[128];
    int index = -1;
    while (fgets(line, sizeof line, f))
        if (strncmp(line, "tty-index:", 10) == 0)
            index = atoi(line + 10);
    fclose(f);
    return index;
}

static std::string comm_of(const char *pid)
{
    std::string path = std::string("/proc/") + pid + "/comm";
    char comm[64] = {};
    FILE *f = fopen(path.c_str(), "re");
    if (f) {
        if (!fgets(comm, sizeof comm, f))
            comm[0] = '\0';
        fclose(f);
    }
    comm[strcspn(comm, "\n")] = '\0';
    return comm;
}

struct dir_closer {
    DIR *dir;
    ~dir_closer()
    {
        if (dir)
            closedir(dir);
    }
};

// The devices of `wanted` one process holds, less the pseudo-terminals it
// is the other end of.
static std::set<dev_t> held_by(const char *pid, const std::set<dev_t> &wanted)
{
    std::set<dev_t> held;
    std::set<int> masters;
    std::string dir = std::string("/proc/") + pid + "/fd/";
    dir_closer fds{opendir(dir.c_str())};
    if (!fds.dir)
        return held;
    while (dirent *d = readdir(fds.dir)) {
        if (d->d_name[0] == '.')
            continue;
        struct stat st;
        if (stat((dir + d->d_name).c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
            continue;
        if (wanted.count(st.st_rdev))
            held.insert(st.st_rdev);
        else if (st.st_rdev == PTMX)
            masters.insert(master_index(pid, d->d_name));
    }
    std::erase_if(held, [&](dev_t rdev) { return pty_index(rdev) >= 0 && masters.count(pty_index(rdev)); });
    return held;
}

// One walk of /proc: for each device of `wanted`, the other processes that
// hold it.
static std::map<dev_t, std::vector<port_other_user>> holders_of(const std::set<dev_t> &wanted)
{
    std::map<dev_t, std::vector<port_other_user>> found;
    dir_closer proc{opendir("/proc")};
    if (!proc.dir || wanted.empty())
        return found;
    const long self = getpid();
    while (dirent *d = readdir(proc.dir)) {
        char *end;
        long pid = strtol(d->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self)
            continue;
        std::set<dev_t> held = held_by(d->d_name, wanted);
        if (held.empty())
            continue;
        std::string comm = comm_of(d->d_name);
        for (dev_t rdev : held)
            found[rdev].push_back({static_cast<int32_t>(pid), comm});
    }
    return found;
}

// Keeps what was found for "list"; a process not there at the last look
// is said and published.
static void take_other_users(port_entry *entry, std::vector<port_other_user> now)
{
    std::vector<port_other_user> fresh;
    {
        mutex_guard state(&entry->state_lock);
        for (const port_other_user &user : now)
            if (std::none_of(entry->other_users.begin(), entry->other_users.end(),
                             [&](const port_other_user &u) { return u.pid == user.pid; }))
                fresh.push_back(user);
        entry->other_users = std::move(now);
    }
    for (const port_other_user &user : fresh) {
        console_other_user(entry->path, user);
        emit_other_user(entry, user);
    }
}

void other_users_at_open(port_entry *entry, dev_t rdev)
{
    auto found = holders_of({rdev});
    take_other_users(entry, std::move(found[rdev]));
}

void other_users_pass(port_engine *engine)
{
    std::set<dev_t> wanted;
    {
        mutex_guard registry(&engine->registry_lock);
        for (port_entry *entry = engine->ports; entry; entry = entry->next) {
            mutex_guard state(&entry->state_lock);
            if (entry->fd >= 0)
                wanted.insert(entry->rdev);
        }
    }
    // Walked with no lock held; records retired meanwhile are not found
    // again below.
    auto found = holders_of(wanted);
    mutex_guard registry(&engine->registry_lock);
    for (port_entry *entry = engine->ports; entry; entry = entry->next) {
        dev_t rdev;
        {
            mutex_guard state(&entry->state_lock);
            if (entry->fd < 0 || !wanted.count(entry->rdev))
                continue;
            rdev = entry->rdev;
        }
        take_other_users(entry, std::move(found[rdev]));
    }
}

static bool monitor_pause(port_engine *engine)
{
    mutex_guard guard(&engine->monitor.lock);
    timespec deadline = mono_deadline(MONITOR_PASS_SECONDS);
    while (!engine->monitor.stop) {
        if (pthread_cond_timedwait(&engine->monitor.cond, &engine->monitor.lock, &deadline) == ETIMEDOUT)
            break;
    }
    return !engine->monitor.stop;
}

static void *port_monitor_main(void *arg)
{
    port_engine *engine = static_cast<port_engine *>(arg);
    do {
        hotplug_refresh(engine);
        {
            uint32_t now = engine_seconds(engine);
            if (static_cast<int32_t>(now - engine->monitor.other_users_at) >= PORT_CHECK_INTERVAL) {
                engine->monitor.other_users_at = now;
                other_users_pass(engine);
            }
        }
        mutex_guard registry(&engine->registry_lock);
        uint32_t now = engine_seconds(engine);
        for (port_entry *entry = engine->ports; entry; entry = entry->next) {
            // The difference modulo 2^32 holds across the counter's wrap;
            // signed, so a port its own thread examined after `now` was
            // read is not taken as long overdue.
            if (static_cast<int32_t>(now - entry->last_check_mono) < entry->check_interval)
                continue;
            note_examined(entry);
            port_poke(entry, POKE_CHECK);
        }
    } while (monitor_pause(engine));
    return nullptr;
}

void port_monitor_start(port_engine *engine)
{
    {
        mutex_guard guard(&engine->monitor.lock);
        engine->monitor.stop = false;
    }
    bool ok = pthread_create(&engine->monitor.thread, nullptr, port_monitor_main, engine) == 0;
    engine->monitor.started = ok;
    console_monitor_started(ok);
}

void port_monitor_stop(port_engine *engine)
{
    {
        mutex_guard guard(&engine->monitor.lock);
        engine->monitor.stop = true;
        pthread_cond_broadcast(&engine->monitor.cond);
    }
    if (!engine->monitor.started)
        return;
    pthread_join(engine->monitor.thread, nullptr);
    engine->monitor.started = false;
    console_monitor_stopped();
}
