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
                    const char *command, int timeout_s = 5);
void sendat_release(sendat_client &client);
// Nanoseconds from call to final status; -1 unless the reply said "success".
int64_t sendat_once(sendat_client &client);
// A real client looks at the reply, so the bench does too: a call counts
// only when its "status" says "success".
bool reply_success(blob_attr *msg);
// A reply handler for that: sets the bool at req->priv on "success".
void note_success(ubus_request *req, int type, blob_attr *msg);
// Nanoseconds of one "list" call; -1 unless the bus said OK.
int64_t list_once(ubus_context *ctx, uint32_t object_id);

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

// Timed calls as they come: a negative time is a failed call.
struct latency_samples {
    std::vector<int64_t> ns;
    int failures = 0;

    void add(int64_t sample_ns)
    {
        if (sample_ns >= 0)
            ns.push_back(sample_ns);
        else
            failures++;
    }
    latency_summary summary() { return summarise(std::move(ns), failures); }
};

// Completed calls per second over `seconds`, taking the clients in turn.
double sendat_throughput(std::vector<sendat_client> &clients, double seconds, int *failures);
