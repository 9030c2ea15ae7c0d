#include "bench/round_trip.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string_view>

using bench_clock = std::chrono::steady_clock;

constexpr int CALL_TIMEOUT_MS = 5000;

static int64_t ns_since(bench_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(bench_clock::now() - start).count();
}

bool sendat_prepare(sendat_client &client, ubus_context *ctx, uint32_t object_id, const std::string &port,
                    const char *command, int timeout_s)
{
    client.ctx = ctx;
    client.object_id = object_id;
    blob_buf_init(&client.args, 0);
    return blobmsg_add_string(&client.args, "at_port", port.c_str()) == 0 &&
           blobmsg_add_string(&client.args, "at_cmd", command) == 0 &&
           blobmsg_add_u32(&client.args, "timeout", timeout_s) == 0;
}

void sendat_release(sendat_client &client)
{
    blob_buf_free(&client.args);
}

bool reply_success(blob_attr *msg)
{
    static const blobmsg_policy status_policy = {"status", BLOBMSG_TYPE_STRING};
    blob_attr *status = nullptr;
    if (!msg)
        return false;
    blobmsg_parse(&status_policy, 1, &status, blob_data(msg), blob_len(msg));
    return status && strcmp(blobmsg_get_string(status), "success") == 0;
}

void note_success(ubus_request *req, int, blob_attr *msg)
{
    if (reply_success(msg))
        *static_cast<bool *>(req->priv) = true;
}

int64_t sendat_once(sendat_client &client)
{
    bool success = false;
    auto start = bench_clock::now();
    int status =
        ubus_invoke(client.ctx, client.object_id, "sendat", client.args.head, note_success, &success, CALL_TIMEOUT_MS);
    int64_t elapsed = ns_since(start);
    return status == UBUS_STATUS_OK && success ? elapsed : -1;
}

int64_t list_once(ubus_context *ctx, uint32_t object_id)
{
    static blob_buf none = [] {
        blob_buf b{};
        blob_buf_init(&b, 0);
        return b;
    }();
    auto start = bench_clock::now();
    int status = ubus_invoke(ctx, object_id, "list", none.head, nullptr, nullptr, CALL_TIMEOUT_MS);
    int64_t elapsed = ns_since(start);
    return status == UBUS_STATUS_OK ? elapsed : -1;
}

int floor_open(const std::string &path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

int64_t floor_once(int fd)
{
    static constexpr std::string_view done = "OK\r\n";
    char buf[256];
    size_t have = 0;
    auto start = bench_clock::now();
    if (write(fd, "AT\r\n", 4) != 4)
        return -1;
    while (std::string_view(buf, have).find(done) == std::string_view::npos) {
        pollfd in = {fd, POLLIN, 0};
        if (poll(&in, 1, CALL_TIMEOUT_MS) <= 0 || have == sizeof buf)
            return -1;
        ssize_t n = read(fd, buf + have, sizeof buf - have);
        if (n < 0 && errno != EAGAIN)
            return -1;
        have += n > 0 ? static_cast<size_t>(n) : 0;
    }
    return ns_since(start);
}

latency_summary summarise(std::vector<int64_t> samples_ns, int failures)
{
    latency_summary summary;
    summary.count = samples_ns.size();
    summary.failures = failures;
    if (samples_ns.empty())
        return summary;
    std::sort(samples_ns.begin(), samples_ns.end());
    auto at = [&](double q) {
        size_t index = std::min(samples_ns.size() - 1, static_cast<size_t>(q * samples_ns.size()));
        return samples_ns[index] / 1e6;
    };
    summary.p50_ms = at(0.50);
    summary.p99_ms = at(0.99);
    summary.p999_ms = at(0.999);
    summary.max_ms = samples_ns.back() / 1e6;
    double total = 0;
    for (int64_t ns : samples_ns)
        total += ns;
    summary.mean_ms = total / samples_ns.size() / 1e6;
    return summary;
}

double sendat_throughput(std::vector<sendat_client> &clients, double seconds, int *failures)
{
    *failures = 0;
    if (clients.empty())
        return 0;
    long completed = 0;
    auto start = bench_clock::now();
    auto end = start + std::chrono::duration_cast<bench_clock::duration>(std::chrono::duration<double>(seconds));
    for (size_t next = 0; bench_clock::now() < end; next = (next + 1) % clients.size()) {
        if (sendat_once(clients[next]) >= 0)
            completed++;
        else
            (*failures)++;
    }
    return completed / (ns_since(start) / 1e9);
}
