// Events for the bus: unsolicited lines and state changes of a port, and
// finished operations, queued in the outbox for the event loop, which alone
// talks to the bus. A flooding modem must neither grow the daemon nor drown
// the bus: lines are admitted at EVENTS_PER_SECOND_PORT per port and
// EVENTS_PER_SECOND_ALL in all, with at most EVENT_BACKLOG_MAX of a port
// waiting; the rest are counted and the count rides on the port's next line.
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "port/port_internal.h"

// A token bucket holding at most one second's worth.
static bool take_token(double *tokens, int64_t *last_ms, int rate, int64_t now)
{
    *tokens = std::min<double>(rate, *tokens + double(now - *last_ms) * rate / 1000.0);
    *last_ms = now;
    if (*tokens < 1)
        return false;
    *tokens -= 1;
    return true;
}

// Caller holds outbox.lock: a new item at the end of the outbox, filled in
// place. *wake tells whether the outbox was empty: the caller then wakes the
// loop, but only once it has let go of the lock. Woken at once on another
// core, the loop would otherwise block on the lock it still holds.
static outbox_item &push_locked(port_engine *engine, bool *wake)
{
    *wake = engine->outbox.items.empty();
    return engine->outbox.items.emplace_back();
}

// Every write is news to a loop that watches the descriptor edge-triggered,
// even while the counter is already up: nobody ever reads it, and at one
// per reply it cannot come near its limit of 2^64 - 2.
static void wake_loop(port_engine *engine)
{
    uint64_t one = 1;
    (void)!write(engine->outbox.wake_fd, &one, sizeof one);
}

void emit_line(port_entry *entry, const char *line, bool late)
{
    port_engine *engine = entry->engine;
    int64_t now = mono_ms();
    bool wake;
    {
        mutex_guard guard(&engine->outbox.lock);
        // Both shares are looked at before either is spent.
        double port_tokens = entry->tokens;
        int64_t port_ms = entry->tokens_ms;
        if (entry->backlog >= EVENT_BACKLOG_MAX || !take_token(&port_tokens, &port_ms, EVENTS_PER_SECOND_PORT, now) ||
            !take_token(&engine->outbox.tokens, &engine->outbox.tokens_ms, EVENTS_PER_SECOND_ALL, now)) {
            entry->dropped++;
            return;
        }
        entry->tokens = port_tokens;
        entry->tokens_ms = port_ms;

        outbox_item &item = push_locked(engine, &wake);
        item.event.port = entry->path;
        item.event.line.assign(line, strnlen(line, EVENT_LINE_MAX));
        item.event.late = late;
        item.event.dropped = entry->dropped;
        item.event.line_no = ++entry->lines_published;
        item.backlog_of = entry;
        entry->dropped = 0;
        entry->backlog++;
    }
    if (wake)
        wake_loop(engine);
}

// State changes are rare and always published; they still use up the rate.
void emit_state(port_entry *entry, const char *reason)
{
    port_engine *engine = entry->engine;
    int64_t now = mono_ms();
    bool wake;
    {
        mutex_guard guard(&engine->outbox.lock);
        take_token(&entry->tokens, &entry->tokens_ms, EVENTS_PER_SECOND_PORT, now);
        take_token(&engine->outbox.tokens, &engine->outbox.tokens_ms, EVENTS_PER_SECOND_ALL, now);

        outbox_item &item = push_locked(engine, &wake);
        item.event.is_state = true;
        item.event.port = entry->path;
        item.event.is_open = entry->fd >= 0 ? 1 : 0;
        item.event.reason = reason;
    }
    if (wake)
        wake_loop(engine);
}

// Said once per process found (port/monitor.cpp); called from the port's
// thread or the monitor's, so the port's state is not read here.
void emit_other_user(port_entry *entry, const port_other_user &user)
{
    port_engine *engine = entry->engine;
    bool wake;
    {
        mutex_guard guard(&engine->outbox.lock);
        outbox_item &item = push_locked(engine, &wake);
        item.event.is_state = true;
        item.event.port = entry->path;
        item.event.is_open = 1;
        item.event.reason = "other_user";
        item.event.other = user;
    }
    if (wake)
        wake_loop(engine);
}

void outbox_push_op(port_engine *engine, port_op *op)
{
    bool wake;
    {
        mutex_guard guard(&engine->outbox.lock);
        push_locked(engine, &wake).op = op;
    }
    if (wake)
        wake_loop(engine);
}

int port_outbox_fd(port_engine *engine)
{
    return engine->outbox.wake_fd;
}

void port_outbox_take(port_engine *engine, std::deque<outbox_item> *items)
{
    mutex_guard guard(&engine->outbox.lock);
    for (outbox_item &item : engine->outbox.items) {
        if (item.backlog_of)
            item.backlog_of->backlog--;
        if (item.op)
            engine->pending_arg_bytes -= item.op->arg_bytes;
    }
    // An empty deque trades places with the outbox: nothing is moved, and
    // the storage of both is kept for the next round.
    if (items->empty()) {
        items->swap(engine->outbox.items);
        return;
    }
    for (outbox_item &item : engine->outbox.items)
        items->push_back(std::move(item));
    engine->outbox.items.clear();
}
