#include "bench/async_calls.h"

#include <poll.h>

#include <algorithm>
#include <chrono>

using bench_clock = std::chrono::steady_clock;

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

double sendat_concurrent(std::span<sendat_client> clients, double seconds, int *failures)
{
    *failures = 0;
    std::vector<sendat_async> calls(clients.size());
    std::vector<ubus_context *> ctxs;
    for (size_t i = 0; i < clients.size(); i++) {
        calls[i].client = &clients[i];
        ctxs.push_back(clients[i].ctx);
    }
    long completed = 0;
    auto start = bench_clock::now();
    auto end = start + std::chrono::duration_cast<bench_clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<bool> live(calls.size());
    for (size_t i = 0; i < calls.size(); i++)
        live[i] = sendat_async_start(calls[i]);
    while (bench_clock::now() < end) {
        pump_clients(ctxs, std::max(ms_until(end), 1));
        for (size_t i = 0; i < calls.size(); i++) {
            if (!live[i] || calls[i].in_flight)
                continue;
            if (calls[i].status == UBUS_STATUS_OK && calls[i].success)
                completed++;
            else
                (*failures)++;
            live[i] = sendat_async_start(calls[i]);
        }
    }
    double elapsed = std::chrono::duration<double>(bench_clock::now() - start).count();
    for (sendat_async &call : calls)
        if (call.in_flight)
            sendat_async_finish(call, 5000);
    return completed / elapsed;
}
