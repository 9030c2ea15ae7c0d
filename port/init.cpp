// Init commands: a port's own list of commands (AT+CMEE=2, AT+CNMI=...)
// that must hold whatever happens to the modem. They run in order right
// after every open of the port (the caller's and the daemon's own repairs)
// and again when the modem says it restarted, before any queued call: an
// engine-internal batch at the head of the queue, each step with the
// default end flags and INIT_TIMEOUT_S, the batch going on past a failure.
// Its callback on the event loop only frees it: nothing reaches the bus.
//
// A command that fails is tried again 5 s later (init_retry_ms), INIT_RETRIES
// times, by a batch of its own, so the calls queued meanwhile run in
// between; a start-up line runs the whole list again. A final failure is
// said on the console and published (init_failed). All the init work of a
// port holds it at most INIT_BUDGET_MS until a round goes through without
// failure or a caller opens the port again.
#include <algorithm>
#include <cstring>

#include "port/console.h"
#include "port/port_internal.h"

constexpr int32_t INIT_TIMEOUT_S = 5;
constexpr int INIT_RETRIES = 3;
constexpr int64_t INIT_BUDGET_MS = 600 * 1000;

// On the event loop: the batch is the engine's, and nobody waits for it.
static void init_finished(port_op *op)
{
    delete op;
}

bool init_is_own(const port_entry *entry, const port_op *op)
{
    return op && op == entry->init_op;
}

bool init_waiting(const port_entry *entry)
{
    return entry->init_due && !entry->init.empty() && entry->init_spent_ms < INIT_BUDGET_MS;
}

static void give_up(port_entry *entry, const port_entry::init_retry &retry)
{
    console_init_failed(entry->init[retry.index].c_str(), entry->path, retry.status.c_str());
    emit_state(entry, "init_failed");
}

// A batch queued but not started: the list it was made of is gone.
static void drop_queued(port_entry *entry)
{
    port_op *op = entry->init_op;
    if (!op)
        return;
    {
        mutex_guard guard(&entry->queue_lock);
        auto found = std::find(entry->queue.begin(), entry->queue.end(), op);
        if (found == entry->queue.end())
            return; // running
        entry->queue.erase(found);
    }
    delete op;
    entry->init_op = nullptr;
    entry->init_steps.clear();
}

void init_opened(port_entry *entry, port_op *open)
{
    entry->init_spent_ms = 0;
    if (!open->has_init)
        return;
    drop_queued(entry);
    entry->init_retries.clear();
    mutex_guard state(&entry->state_lock);
    entry->init = std::move(open->init);
}

static void queue_batch(port_entry *entry, std::vector<size_t> indexes)
{
    port_op *batch = new port_op();
    batch->kind = OP_BATCH;
    batch->keep_going = true;
    batch->finished = init_finished;
    batch->entry = entry;
    for (size_t index : indexes) {
        port_op step;
        step.kind = OP_SENDAT;
        step.command = entry->init[index];
        step.timeout = INIT_TIMEOUT_S;
        step.wants_answer = true;
        batch->steps.push_back(std::move(step));
    }
    entry->init_op = batch;
    entry->init_steps = std::move(indexes);
    mutex_guard guard(&entry->queue_lock);
    entry->queue.push_front(batch);
    entry->queue_drained = false;
}

void init_schedule(port_entry *entry, int64_t now_ms)
{
    if (entry->init_op)
        return;
    if (entry->fd < 0 || entry->init.empty()) {
        // The next open starts a round of its own.
        entry->init_due = false;
        entry->init_retries.clear();
        return;
    }
    if (entry->init_spent_ms >= INIT_BUDGET_MS) {
        for (const auto &retry : entry->init_retries)
            give_up(entry, retry);
        entry->init_due = false;
        entry->init_retries.clear();
        return;
    }
    std::vector<size_t> indexes;
    if (entry->init_due) {
        entry->init_due = false;
        entry->init_retries.clear();
        for (size_t i = 0; i < entry->init.size(); i++)
            indexes.push_back(i);
    } else if (!entry->init_retries.empty() && now_ms >= entry->init_retry_at_ms) {
        for (const auto &retry : entry->init_retries)
            indexes.push_back(retry.index);
    } else {
        return;
    }
    queue_batch(entry, std::move(indexes));
}

bool init_step_ready(port_entry *entry, port_op *batch)
{
    // A step never opens the port: the settings are the caller's to give.
    int64_t left = INIT_BUDGET_MS - entry->init_spent_ms;
    if (entry->fd < 0 || left < 1000)
        return false;
    batch->steps[batch->steps_run].timeout = std::min<int32_t>(INIT_TIMEOUT_S, int32_t(left / 1000));
    return true;
}

// Empty for a command the modem took; else the sendat status word, or the
// error line it answered.
static std::string failure_of(const port_op &step)
{
    if (step.outcome == AT_TIMED_OUT)
        return "timeout";
    if (step.outcome != AT_COMPLETED || step.refusal)
        return "error";
    if (strcmp(step.matched_flag, "OK") == 0)
        return {};
    std::string line = step.answer;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    size_t start = line.rfind("\r\n");
    line = start == std::string::npos ? line : line.substr(start + 2);
    return line.empty() ? std::string(step.matched_flag) : line;
}

void init_step_done(port_entry *entry, port_op *step)
{
    port_op *batch = step->parent;
    size_t at = size_t(step - batch->steps.data());
    entry->init_spent_ms += step->elapsed_ms;
    if (at >= entry->init_steps.size() || entry->init_steps[at] >= entry->init.size())
        return;
    size_t index = entry->init_steps[at];
    auto &retries = entry->init_retries;
    auto found = std::find_if(retries.begin(), retries.end(), [index](const auto &r) { return r.index == index; });
    std::string status = failure_of(*step);
    if (status.empty()) {
        if (found != retries.end())
            retries.erase(found);
        return;
    }
    if (found == retries.end())
        found = retries.insert(retries.end(), {index, 0, {}});
    found->failures++;
    found->status = std::move(status);
    if (found->failures > INIT_RETRIES) {
        give_up(entry, *found);
        retries.erase(found);
    }
}

bool init_batch_done(port_entry *entry, port_op *batch)
{
    if (!init_is_own(entry, batch))
        return false;
    entry->init_op = nullptr;
    entry->init_steps.clear();
    if (!entry->init_retries.empty())
        entry->init_retry_at_ms = mono_ms() + entry->engine->init_retry_ms;
    else if (batch->steps_run == batch->steps.size())
        entry->init_spent_ms = 0; // a round that went through
    return true;
}

int64_t init_next_wake_ms(const port_entry *entry, int64_t now_ms)
{
    if (entry->init_op || entry->init_retries.empty() || entry->fd < 0)
        return -1;
    return std::max<int64_t>(0, entry->init_retry_at_ms - now_ms);
}
