// Port registry: the records of every port the daemon knows, newest first,
// under the engine's registry_lock. Records are created and retired on the
// event-loop thread only; the monitor and the hotplug watcher walk the list
// under the lock, so a record is unlinked before it is torn down and they
// never see one that is going away.
#include <malloc.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "port/console.h"
#include "port/port_internal.h"

// A record's pages are a mapping of our own, which the leak checker does not
// search unless told: what only a record points to would look leaked.
#if defined(__SANITIZE_ADDRESS__)
#define TARNEL_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARNEL_LEAK_CHECKED 1
#endif
#endif
#ifdef TARNEL_LEAK_CHECKED
#include <sanitizer/lsan_interface.h>
static void search_for_leaks(void *memory, bool on)
{
    if (on)
        __lsan_register_root_region(memory, sizeof(port_entry));
    else
        __lsan_unregister_root_region(memory, sizeof(port_entry));
}
#else
static void search_for_leaks(void *, bool) {}
#endif

// The port's thread needs little: no large buffers live on its stack. A
// small stack keeps 64 ports cheap in a router's address space.
constexpr size_t PORT_THREAD_STACK = 256 * 1024;

port_entry *port_find(port_engine *engine, const char *path)
{
    mutex_guard guard(&engine->registry_lock);
    for (port_entry *entry = engine->ports; entry; entry = entry->next)
        if (strcmp(entry->path, path) == 0)
            return entry;
    return nullptr;
}

static int count_locked(const port_engine *engine)
{
    int count = 0;
    for (const port_entry *entry = engine->ports; entry; entry = entry->next)
        count++;
    return count;
}

int registry_count(port_engine *engine)
{
    mutex_guard guard(&engine->registry_lock);
    return count_locked(engine);
}

const char *port_path(const port_entry *entry)
{
    return entry->path;
}

void port_entry_free(port_entry *entry)
{
    pthread_mutex_destroy(&entry->queue_lock);
    pthread_mutex_destroy(&entry->state_lock);
    if (entry->wake_fd >= 0)
        close(entry->wake_fd);
    entry->~port_entry();
    search_for_leaks(entry, false);
    munmap(entry, sizeof(port_entry));
#ifdef __GLIBC__
    // What the port's thread freed stays in its arena otherwise: a router
    // gets the memory of a closed port back.
    malloc_trim(0);
#endif
}

port_entry *port_entry_alloc(port_engine *engine, const char *path)
{
    // Pages of their own, which the kernel zeroes when first touched: the
    // two 32 KiB buffers cost memory only as far as a modem fills them (the
    // heap would zero them up front). The record's members are constructed
    // in place over the zeroes.
    void *memory = mmap(nullptr, sizeof(port_entry), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return nullptr;
    search_for_leaks(memory, true);
    port_entry *entry = new (memory) port_entry;
    entry->engine = engine;
    strncpy(entry->path, path, PORT_PATH_MAX - 1);
    entry->by_hardware = usb_name_parse(entry->path, &entry->hardware_name);
    entry->fd = -1;
    entry->last_check = static_cast<uint32_t>(time(nullptr));
    entry->last_check_mono = engine_seconds(engine);
    entry->check_interval = PORT_CHECK_INTERVAL;
    entry->tokens = EVENTS_PER_SECOND_PORT;
    entry->tokens_ms = mono_ms();
    pthread_mutex_init(&entry->state_lock, nullptr);
    pthread_mutex_init(&entry->queue_lock, nullptr);
    entry->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (entry->wake_fd < 0) {
        port_entry_free(entry);
        return nullptr;
    }
    return entry;
}

static bool start_thread(port_entry *entry)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, PORT_THREAD_STACK);
    entry->has_reader = pthread_create(&entry->reader, &attr, port_reader_main, entry) == 0;
    pthread_attr_destroy(&attr);
    if (!entry->has_reader)
        console_thread_failed(entry->path);
    return entry->has_reader;
}

port_entry *port_create(port_engine *engine, const char *path)
{
    if (registry_count(engine) >= REGISTRY_MAX)
        return nullptr;
    port_entry *entry = port_entry_alloc(engine, path);
    if (!entry)
        return nullptr;
    if (!start_thread(entry)) {
        port_entry_free(entry);
        return nullptr;
    }
    {
        mutex_guard guard(&engine->registry_lock);
        entry->next = engine->ports;
        engine->ports = entry;
    }
    hotplug_watch(engine, entry->path);
    return entry;
}

static std::vector<port_entry *> live_records(port_engine *engine)
{
    std::vector<port_entry *> entries;
    mutex_guard guard(&engine->registry_lock);
    for (port_entry *entry = engine->ports; entry; entry = entry->next)
        entries.push_back(entry);
    return entries;
}

static void take_queue(port_entry *entry, std::deque<port_op *> *leftovers)
{
    mutex_guard guard(&entry->queue_lock);
    for (port_op *op : entry->queue) {
        // The engine's own work goes with the record.
        if (init_is_own(entry, op)) {
            delete op;
            entry->init_op = nullptr;
            continue;
        }
        entry->engine->pending_arg_bytes -= op->arg_bytes;
        leftovers->push_back(op);
    }
    entry->queue.clear();
}

void port_join_thread(port_entry *entry)
{
    if (!entry->has_reader)
        return;
    port_poke(entry, POKE_QUIT);
    pthread_join(entry->reader, nullptr);
    entry->has_reader = false;
}

static void unlink_entry(port_entry *entry)
{
    port_engine *engine = entry->engine;
    mutex_guard guard(&engine->registry_lock);
    for (port_entry **link = &engine->ports; *link; link = &(*link)->next) {
        if (*link == entry) {
            *link = entry->next;
            return;
        }
    }
}

void port_retire(port_entry *entry, std::deque<port_op *> *leftovers)
{
    unlink_entry(entry);
    hotplug_unwatch(entry->engine, entry->path);
    port_join_thread(entry);
    // The thread has ended: its descriptor is ours to close.
    port_close(entry);
    take_queue(entry, leftovers);
    port_entry_free(entry);
}

std::vector<port_snapshot> registry_snapshot(port_engine *engine)
{
    std::vector<port_snapshot> ports;
    mutex_guard guard(&engine->registry_lock);
    for (port_entry *entry = engine->ports; entry; entry = entry->next) {
        mutex_guard state(&entry->state_lock);
        bool open = entry->fd >= 0;
        ports.push_back({entry->path, open, entry->fd, entry->settings, entry->last_check, entry->unsolicited,
                         open && entry->by_hardware ? entry->node : std::string(), entry->identity, entry->init,
                         open ? entry->other_users : std::vector<port_other_user>{}});
    }
    return ports;
}

bool port_is_open(port_entry *entry)
{
    mutex_guard state(&entry->state_lock);
    return entry->fd >= 0;
}

void port_refuse_device(port_engine *engine, dev_t rdev, bool refused)
{
    mutex_guard guard(&engine->open_lock);
    if (refused)
        engine->refused.insert(rdev);
    else
        engine->refused.erase(rdev);
}

bool port_args_fit(port_engine *engine, size_t bytes)
{
    return engine->pending_arg_bytes + bytes <= PENDING_ARGS_MAX;
}

bool port_submit(port_entry *entry, port_op *op)
{
    port_engine *engine = entry->engine;
    if (!port_args_fit(engine, op->arg_bytes))
        return false;
    {
        mutex_guard guard(&entry->queue_lock);
        if (entry->queue.size() + (entry->running ? 1 : 0) >= PORT_QUEUE_MAX)
            return false;
        op->entry = entry;
        engine->pending_arg_bytes += op->arg_bytes;
        entry->queue.push_back(op);
    }
    port_poke(entry, POKE_QUEUE);
    return true;
}

void port_engine_leftovers(port_engine *engine, std::deque<port_op *> *leftovers)
{
    mutex_guard guard(&engine->registry_lock);
    for (port_entry *entry = engine->ports; entry; entry = entry->next)
        take_queue(entry, leftovers);
}

struct closing {
    port_entry *entry;
    int drain_max_ms;
    pthread_t thread;
    bool threaded;
};

static void *close_one(void *arg)
{
    closing *c = static_cast<closing *>(arg);
    port_close(c->entry, c->drain_max_ms);
    return nullptr;
}

// Each close may wait for output a stalled line does not take: together,
// N stalled lines cost no more than one. A port whose closing thread cannot
// be started is closed here, after the others have begun.
void registry_close_all(port_engine *engine, int drain_max_ms)
{
    std::vector<closing> closings;
    {
        mutex_guard guard(&engine->registry_lock);
        for (port_entry *entry = engine->ports; entry; entry = entry->next)
            if (!entry->has_reader && entry->fd >= 0)
                closings.push_back({entry, drain_max_ms, {}, false});
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, PORT_THREAD_STACK);
    for (closing &c : closings)
        c.threaded = pthread_create(&c.thread, &attr, close_one, &c) == 0;
    pthread_attr_destroy(&attr);
    for (closing &c : closings) {
        if (c.threaded)
            pthread_join(c.thread, nullptr);
        else
            close_one(&c);
    }
}

// Operations still queued belong to their callers, who answered them before.
void registry_destroy_all(port_engine *engine)
{
    for (port_entry *entry : live_records(engine))
        port_join_thread(entry);
    registry_close_all(engine, OUTPUT_DRAIN_MAX_MS);
    for (;;) {
        port_entry *head;
        {
            mutex_guard guard(&engine->registry_lock);
            head = engine->ports;
        }
        if (!head)
            return;
        std::deque<port_op *> dropped;
        port_retire(head, &dropped);
    }
}
