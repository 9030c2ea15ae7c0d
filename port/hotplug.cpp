// Hotplug: one thread watches, with inotify, the directory of every known
// port's path (for a port named by its hardware, the node directory), and tells a port the moment its node (or symlink) is removed
// or appears, so a modem that resets is closed and reopened within a second
// instead of at the monitor's next 30 s examination. The monitor stays as
// the safety net for what inotify cannot see (a directory that vanished, a
// file system without inotify, the watch limit).
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "port/console.h"
#include "port/port_internal.h"

constexpr uint32_t WATCH_MASK =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

static std::string dir_of(const char *path)
{
    const char *slash = strrchr(path, '/');
    if (!slash)
        return ".";
    if (slash == path)
        return "/";
    return std::string(path, slash - path);
}

static const char *name_of(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// A port named by its hardware has its nodes in the engine's node directory.
static std::string watched_dir(const port_engine *engine, const char *path)
{
    usb_name name;
    return usb_name_parse(path, &name) ? engine->dev_root : dir_of(path);
}

// Whether a node of this name coming or going concerns the port. A port
// named by its hardware may find its interface under any new node, and
// loses only the node it has open.
static bool concerns(port_entry *entry, const char *name, uint32_t what)
{
    if (!name)
        return true;
    if (!entry->by_hardware)
        return strcmp(name_of(entry->path), name) == 0;
    if (what == POKE_BACK)
        return true;
    mutex_guard state(&entry->state_lock);
    return strcmp(name_of(entry->node.c_str()), name) == 0;
}

// Caller holds hotplug.lock. Two spellings of one directory share a watch
// descriptor, so watches are counted per descriptor as well.
static bool add_watch_locked(port_engine *engine, const std::string &dir, bool warn)
{
    auto &hp = engine->hotplug;
    int wd = inotify_add_watch(hp.inotify_fd, dir.c_str(), WATCH_MASK);
    if (wd < 0) {
        if (warn && hp.warned.insert(dir).second)
            console_watch_failed(dir.c_str(), errno);
        return false;
    }
    hp.by_dir[dir].wd = wd;
    hp.wd_refs[wd]++;
    return true;
}

static void drop_wd_locked(port_engine *engine, int wd)
{
    auto &hp = engine->hotplug;
    auto it = hp.wd_refs.find(wd);
    if (it == hp.wd_refs.end() || --it->second > 0)
        return;
    hp.wd_refs.erase(it);
    inotify_rm_watch(hp.inotify_fd, wd);
}

void hotplug_watch(port_engine *engine, const char *path)
{
    auto &hp = engine->hotplug;
    if (hp.inotify_fd < 0)
        return;
    std::string dir = watched_dir(engine, path);
    mutex_guard guard(&hp.lock);
    auto found = hp.by_dir.find(dir);
    if (found != hp.by_dir.end()) {
        found->second.refs++;
        return;
    }
    hp.by_dir[dir] = {-1, 1};
    add_watch_locked(engine, dir, true);
}

void hotplug_unwatch(port_engine *engine, const char *path)
{
    auto &hp = engine->hotplug;
    if (hp.inotify_fd < 0)
        return;
    mutex_guard guard(&hp.lock);
    auto found = hp.by_dir.find(watched_dir(engine, path));
    if (found == hp.by_dir.end() || --found->second.refs > 0)
        return;
    if (found->second.wd >= 0)
        drop_wd_locked(engine, found->second.wd);
    // Said once per record that brings the directory back: any caller can
    // name a new directory every time, and a list of them would only grow.
    hp.warned.erase(found->first);
    hp.by_dir.erase(found);
}

static void poke_ports(port_engine *engine, const std::vector<std::string> &dirs, const char *name, uint32_t what);

// A directory watched only now (it was not there before, or came back)
// may already hold its nodes: its closed ports try them at once.
void hotplug_refresh(port_engine *engine)
{
    auto &hp = engine->hotplug;
    if (hp.inotify_fd < 0)
        return;
    std::vector<std::string> watched_now;
    {
        mutex_guard guard(&hp.lock);
        for (auto &[dir, watch] : hp.by_dir)
            if (watch.wd < 0 && add_watch_locked(engine, dir, false))
                watched_now.push_back(dir);
    }
    poke_ports(engine, watched_now, nullptr, POKE_BACK);
}

// The watch is gone with its directory; the monitor's refresh adds it again
// once the directory is back.
static void forget_wd(port_engine *engine, int wd)
{
    auto &hp = engine->hotplug;
    mutex_guard guard(&hp.lock);
    for (auto &[dir, watch] : hp.by_dir)
        if (watch.wd == wd)
            watch.wd = -1;
    hp.wd_refs.erase(wd);
}

// Pokes the ports in these directories, or only the one of this name.
static void poke_ports(port_engine *engine, const std::vector<std::string> &dirs, const char *name, uint32_t what)
{
    if (dirs.empty())
        return;
    mutex_guard guard(&engine->registry_lock);
    for (port_entry *entry = engine->ports; entry; entry = entry->next) {
        if (!concerns(entry, name, what))
            continue;
        std::string dir = watched_dir(engine, entry->path);
        for (const std::string &watched : dirs)
            if (watched == dir)
                port_poke(entry, what);
    }
}

static void tell_ports(port_engine *engine, int wd, const char *name, uint32_t what)
{
    std::vector<std::string> dirs;
    {
        mutex_guard guard(&engine->hotplug.lock);
        for (const auto &[dir, watch] : engine->hotplug.by_dir)
            if (watch.wd == wd)
                dirs.push_back(dir);
    }
    poke_ports(engine, dirs, name, what);
}

static void handle_events(port_engine *engine)
{
    alignas(inotify_event) char buf[4096];
    for (;;) {
        ssize_t n = read(engine->hotplug.inotify_fd, buf, sizeof buf);
        if (n <= 0)
            return;
        for (char *p = buf; p < buf + n;) {
            const inotify_event *ev = reinterpret_cast<const inotify_event *>(p);
            p += sizeof(inotify_event) + ev->len;
            if (ev->mask & IN_IGNORED) {
                forget_wd(engine, ev->wd);
                continue;
            }
            if (!ev->len)
                continue;
            if (ev->mask & (IN_DELETE | IN_MOVED_FROM))
                tell_ports(engine, ev->wd, ev->name, POKE_GONE);
            else if (ev->mask & (IN_CREATE | IN_MOVED_TO | IN_ATTRIB))
                tell_ports(engine, ev->wd, ev->name, POKE_BACK);
        }
    }
}

static void *hotplug_main(void *arg)
{
    port_engine *engine = static_cast<port_engine *>(arg);
    for (;;) {
        pollfd fds[2] = {{engine->hotplug.wake_fd, POLLIN, 0}, {engine->hotplug.inotify_fd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0)
            continue;
        if (fds[0].revents)
            return nullptr;
        if (fds[1].revents)
            handle_events(engine);
    }
}

void hotplug_start(port_engine *engine)
{
    auto &hp = engine->hotplug;
    hp.inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    hp.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (hp.inotify_fd >= 0 && hp.wake_fd >= 0 && pthread_create(&hp.thread, nullptr, hotplug_main, engine) == 0) {
        hp.started = true;
        return;
    }
    console_watch_failed("port directories", errno);
    for (int *fd : {&hp.inotify_fd, &hp.wake_fd}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

void hotplug_stop(port_engine *engine)
{
    auto &hp = engine->hotplug;
    if (!hp.started)
        return;
    uint64_t one = 1;
    (void)!write(hp.wake_fd, &one, sizeof one);
    pthread_join(hp.thread, nullptr);
    hp.started = false;
}
