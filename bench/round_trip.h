// Timed "sendat" calls: through the bus with one persistent client, and the
// same exchange written straight on a pty (the floor no bus path can beat).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/bus_api.h"

// One port's "sendat" call, its arguments built once and reused.
struct sendat_client {
    ubus_context *ctx = nullptr;
    uint32_t object_id = 0;
    blob_buf args{};
};

bool sendat_prepare(sendat_client &client, ubus_context *ctx, uint32_t object_id, const std::string &port,
                    const char *command);
void sendat_release(sendat_client &client);
// Nanoseconds from call to final status; -1 unless the reply said "success".
int64_t sendat_once(sendat_client &client);

// The floor: a descriptor on the simulated modem's slave, raw mode.
int floor_open(const std::string &path);
// Writes "AT\r\n" and reads until "OK\r\n"; nanoseconds, -1 on failure.
int64_t floor_once(int fd);

struct latency_summary {
    size_t count = 0;
    int failures = 0;
    double p50_ms = 0, p99_ms = 0, p999_ms = 0, max_ms = 0, mean_ms = 0;
};
latency_summary summarise(std::vector<int64_t> samples_ns, int failures);

// Completed calls per second over `seconds`, taking the clients in turn.
double sendat_throughput(std::vector<sendat_client> &clients, double seconds, int *failures);
