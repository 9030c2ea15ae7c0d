// The port's own thread: it runs the port's operations one at a time in the
// order they were queued, reads the device whenever it has something, and
// carries out the repairs the monitor and the hotplug watcher ask for. It
// sleeps in poll() on the device and its wake-up descriptor, so an idle port
// costs nothing and a request reaches it at once.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "port/console.h"
#include "port/port_internal.h"

void port_poke(port_entry *entry, uint32_t what)
{
    entry->pokes.fetch_or(what);
    uint64_t one = 1;
    (void)!write(entry->wake_fd, &one, sizeof one);
}

// Whether a step went as its batch needs it to.
static bool step_succeeded(const port_op &step)
{
    return step.refusal == nullptr && (step.send_only ? step.ok : step.outcome == AT_COMPLETED);
}

// A finished operation goes back to its caller; the engine's own batch
// leaves its results with the port first.
static void hand_back(port_entry *entry, port_op *op)
{
    init_batch_done(entry, op);
    // Submitters read it under the queue's lock; the thread that alone
    // sets it needs none.
    entry->running = false;
    outbox_push_op(entry->engine, op);
}

void port_finish_op(port_entry *entry, port_op *op)
{
    if (port_op *batch = op->parent) {
        if (init_is_own(entry, batch))
            init_step_done(entry, op);
        batch->steps_run++;
        bool more = batch->steps_run < batch->steps.size() && !entry->engine->stopping;
        if (more && (batch->keep_going || step_succeeded(*op))) {
            entry->batch = batch; // the thread starts the next step when the port is free
            return;
        }
        entry->batch = nullptr;
        op = batch;
    }
    hand_back(entry, op);
}

void port_requeue_op(port_entry *entry, port_op *op)
{
    mutex_guard guard(&entry->queue_lock);
    entry->queue.push_front(op);
    entry->queue_drained = false;
    entry->running = false;
}

// Both return whether the record is finished. The operation itself belongs
// to the event loop again once handed back, and must not be read after.
static bool run_open(port_entry *entry, port_op *op)
{
    bool was_open = entry->fd >= 0;
    open_failure why;
    // Whoever opens the path by name takes the hardware now behind it.
    if (port_open(entry, op->settings, &why, true) == 0) {
        op->ok = true;
        // Kept like the settings: only an open that succeeded changes them.
        if (op->has_unsolicited) {
            mutex_guard state(&entry->state_lock);
            entry->unsolicited = std::move(op->unsolicited);
        }
        init_opened(entry, op);
        emit_state(entry, "open");
        port_read_backlog(entry);
    } else {
        console_open_failed(entry->path, why);
        op->refusal = open_refusal(why);
        if (was_open)
            emit_state(entry, "error");
        // A record made for this call alone goes again; one that existed
        // before stays, closed, for the monitor to bring back.
        op->remove_record = op->created;
    }
    bool done = op->remove_record;
    port_finish_op(entry, op);
    return done;
}

static bool run_close(port_entry *entry, port_op *op)
{
    {
        // A script that opens, sends and closes every time must not get
        // the answer of its previous command in the next record.
        mutex_guard guard(&entry->engine->open_lock);
        owed_stash(entry);
    }
    port_close(entry);
    emit_state(entry, "close");
    op->ok = true;
    op->remove_record = true;
    port_finish_op(entry, op);
    return true;
}

enum start_result { STARTED, NOTHING_QUEUED, RECORD_DONE };

// The next step of a batch: nothing else runs in between. A step never
// finishes its record.
static start_result start_step(port_entry *entry)
{
    port_op *batch = std::exchange(entry->batch, nullptr);
    if (init_is_own(entry, batch) && !init_step_ready(entry, batch)) {
        hand_back(entry, batch);
        return STARTED;
    }
    port_op *step = &batch->steps[batch->steps_run];
    step->parent = batch;
    step->entry = entry;
    step->created = false;
    at_start(entry, step);
    return STARTED;
}

static start_result start_next(port_entry *entry)
{
    if (entry->queue_drained)
        return NOTHING_QUEUED;
    port_op *op;
    {
        mutex_guard guard(&entry->queue_lock);
        if (entry->engine->stopping)
            return NOTHING_QUEUED;
        if (entry->queue.empty()) {
            entry->queue_drained = true;
            return NOTHING_QUEUED;
        }
        auto next = entry->queue.begin();
        // A prompt held for one client's text: its call goes first, the
        // others wait until the text is in or the hold is over.
        if (entry->prompt_hold_until != 0) {
            next = std::find_if(entry->queue.begin(), entry->queue.end(),
                                [entry](const port_op *o) { return at_held_for(entry, o); });
            if (next == entry->queue.end())
                return NOTHING_QUEUED;
        }
        op = *next;
        // Usually the oldest: popped, not erased from the middle.
        if (next == entry->queue.begin())
            entry->queue.pop_front();
        else
            entry->queue.erase(next);
        entry->queue_drained = entry->queue.empty();
        entry->running = true;
    }
    switch (op->kind) {
    case OP_OPEN: return run_open(entry, op) ? RECORD_DONE : STARTED;
    case OP_CLOSE: return run_close(entry, op) ? RECORD_DONE : STARTED;
    case OP_SENDAT: return at_start(entry, op) ? RECORD_DONE : STARTED;
    case OP_BATCH:
        if (op->steps.empty()) {
            port_finish_op(entry, op);
            return STARTED;
        }
        entry->batch = op;
        return start_step(entry);
    }
    return STARTED;
}

// False when the thread must end: the record is being retired or the
// daemon stops. The running operation ends first, without another write.
static bool handle_pokes(port_entry *entry)
{
    uint32_t pokes = entry->pokes.exchange(0);
    // A submitter pokes once its operation is in the queue.
    if (pokes & POKE_QUEUE)
        entry->queue_drained = false;
    if ((pokes & POKE_QUIT) || entry->engine->stopping) {
        at_abort(entry);
        // A batch between two steps ends with the steps it ran.
        if (port_op *batch = std::exchange(entry->batch, nullptr))
            port_finish_op(entry, batch);
        return false;
    }
    if (pokes & POKE_GONE)
        port_node_gone(entry);
    if (pokes & POKE_CHECK)
        port_check(entry);
    if (pokes & POKE_BACK)
        port_node_back(entry);
    return true;
}

static int poll_timeout(const port_entry *entry, int64_t now)
{
    int64_t wait = at_next_wake_ms(entry, now);
    if (entry->retries_left > 0) {
        int64_t retry = std::max<int64_t>(0, entry->retry_at_ms - now);
        wait = wait < 0 ? retry : std::min(wait, retry);
    }
    if (int64_t init = init_next_wake_ms(entry, now); init >= 0)
        wait = wait < 0 ? init : std::min(wait, init);
    return static_cast<int>(std::min<int64_t>(wait, 60000));
}

static void wait_and_serve(port_entry *entry, int64_t now)
{
    short events = POLLIN;
    if (entry->out_done < entry->out.size())
        events |= POLLOUT;
    pollfd fds[2] = {{entry->wake_fd, POLLIN, 0}, {entry->fd, events, 0}};
    int nfds = entry->fd >= 0 ? 2 : 1;
    if (poll(fds, nfds, poll_timeout(entry, now)) <= 0)
        return;
    if (fds[0].revents) {
        uint64_t count;
        (void)!read(entry->wake_fd, &count, sizeof count);
    }
    if (nfds < 2 || !fds[1].revents)
        return;
    short revents = fds[1].revents;
    if (revents & POLLNVAL) {
        port_check_descriptor(entry);
        return;
    }
    if (revents & (POLLIN | POLLHUP | POLLERR))
        port_read_ready(entry, revents);
    if (entry->fd >= 0 && (revents & POLLOUT))
        at_write_ready(entry);
}

// Whether an operation just started may be over already: it finished, or it
// is a command given no time to wait. Any other waits for its device, its
// deadlines a second or more ahead.
static bool may_be_over(const port_entry *entry)
{
    return entry->phase == PHASE_IDLE || (entry->current && entry->current->timeout <= 0);
}

void *port_reader_main(void *arg)
{
    port_entry *entry = static_cast<port_entry *>(arg);
    while (handle_pokes(entry)) {
        int64_t now = mono_ms();
        at_tick(entry, now);
        at_hold_tick(entry, now);
        if (entry->retries_left > 0)
            port_retry_reopen(entry, now);
        if (entry->phase == PHASE_IDLE && !at_settling(entry, now)) {
            if (!entry->batch && init_pending(entry))
                init_schedule(entry, now);
            bool was_open = entry->fd >= 0;
            start_result started = entry->batch ? start_step(entry) : start_next(entry);
            if (started == RECORD_DONE)
                break;
            if (started == STARTED && may_be_over(entry))
                continue; // look again
            // Starting may have opened the device first: its deadlines
            // count from after that, and so must the wait for them.
            if (started == STARTED && !was_open)
                now = mono_ms();
        }
        wait_and_serve(entry, now);
    }
    return nullptr;
}
