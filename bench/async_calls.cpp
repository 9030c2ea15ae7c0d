#include "bench/async_calls.h"

#include <poll.h>

#include <algorithm>
#include <chrono>

using bench_clock = std::chrono::steady_clock;

constexpr int STALL_MS = 10000;

static double completed_rate(long completed, double seconds)
{
    return seconds > 0 ? completed / seconds : 0;
}

static void async_reply(ubus_request *req, int, blob_attr *msg)
{
    if (reply_success(msg))
        static_cast<sendat_async *>(req->priv)->success = true;
}

static void async_done(ubus_request *req, int status)
{
    auto *call = static_cast<sendat_async *>(req->priv);
    call->status = status;
    call->in_flight = false;
}

bool sendat_async_start(sendat_async &call)
{
    sendat_client &client = *call.client;
    call.success = false;
    call.status = -1;
    if (ubus_invoke_async(client.ctx, client.object_id, "sendat", client.args.head, &call.req) != UBUS_STATUS_OK)
        return false;
    call.req.data_cb = async_reply;
    call.req.complete_cb = async_done;
    call.req.priv = &call;
    call.in_flight = true;
    ubus_complete_request_async(client.ctx, &call.req);
    return true;
}

void pump_clients(const std::vector<ubus_context *> &ctxs, int timeout_ms)
{
    std::vector<pollfd> fds;
    for (ubus_context *ctx : ctxs)
        fds.push_back({ctx->sock.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), timeout_ms) <= 0)
        return;
    for (size_t i = 0; i < fds.size(); i++)
        if (fds[i].revents)
            ubus_handle_event(ctxs[i]);
}

static int ms_until(bench_clock::time_point end)
{
    auto left = std::chrono::ceil<std::chrono::milliseconds>(end - bench_clock::now()).count();
    return static_cast<int>(std::max<int64_t>(left, 0));
}

bool sendat_async_finish(sendat_async &call, int timeout_ms)
{
    auto end = bench_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (call.in_flight && bench_clock::now() < end)
        pump_clients({call.client->ctx}, ms_until(end));
    if (!call.in_flight)
        return true;
    ubus_abort_request(call.client->ctx, &call.req);
    call.in_flight = false;
    return false;
}

namespace
{

// One call in flight on each client: a call that ended is counted, and its
// client's next call started while the caller's may_start() allows.
struct call_pool {
    std::vector<sendat_async> calls;
    std::vector<ubus_context *> ctxs;
    std::vector<bool> live;
    long completed = 0;
    int failures = 0;

    explicit call_pool(std::span<sendat_client> clients) : calls(clients.size()), live(clients.size())
    {
        for (size_t i = 0; i < clients.size(); i++) {
            calls[i].client = &clients[i];
            ctxs.push_back(clients[i].ctx);
        }
    }

    template <typename MayStart>
    void start(size_t i, MayStart may_start)
    {
        live[i] = may_start();
        if (live[i] && !sendat_async_start(calls[i])) {
            live[i] = false;
            failures++;
        }
    }

    template <typename MayStart>
    void start_all(MayStart may_start)
    {
        for (size_t i = 0; i < calls.size(); i++)
            start(i, may_start);
    }

    // Returns how many calls ended.
    template <typename MayStart>
    int settle(MayStart may_start)
    {
        int ended = 0;
        for (size_t i = 0; i < calls.size(); i++) {
            if (!live[i] || calls[i].in_flight)
                continue;
            ended++;
            if (calls[i].status == UBUS_STATUS_OK && calls[i].success)
                completed++;
            else
                failures++;
            start(i, may_start);
        }
        return ended;
    }

    bool any_live() const { return std::find(live.begin(), live.end(), true) != live.end(); }
};

} // namespace

double sendat_concurrent(std::span<sendat_client> clients, double seconds, int *failures)
{
    call_pool pool(clients);
    auto start = bench_clock::now();
    auto end = start + std::chrono::duration_cast<bench_clock::duration>(std::chrono::duration<double>(seconds));
    auto always = [] { return true; };
    pool.start_all(always);
    while (bench_clock::now() < end) {
        pump_clients(pool.ctxs, std::max(ms_until(end), 1));
        pool.settle(always);
    }
    double elapsed = std::chrono::duration<double>(bench_clock::now() - start).count();
    for (sendat_async &call : pool.calls)
        if (call.in_flight)
            sendat_async_finish(call, 5000);
    *failures = pool.failures;
    return completed_rate(pool.completed, elapsed);
}

long sendat_calls(std::span<sendat_client> clients, long total, int *failures)
{
    call_pool pool(clients);
    long started = 0;
    auto may_start = [&] {
        if (started == total)
            return false;
        started++;
        return true;
    };
    pool.start_all(may_start);
    auto last_end = bench_clock::now();
    while (pool.any_live() && bench_clock::now() - last_end < std::chrono::milliseconds(STALL_MS)) {
        pump_clients(pool.ctxs, STALL_MS);
        if (pool.settle(may_start) > 0)
            last_end = bench_clock::now();
    }
    // Calls that went unanswered that long are given up.
    for (size_t i = 0; i < pool.calls.size(); i++) {
        if (pool.live[i] && !sendat_async_finish(pool.calls[i], 0))
            pool.failures++;
    }
    *failures = pool.failures + static_cast<int>(total - started);
    return pool.completed;
}
