// Calls kept in flight without waiting for them: sent with
// ubus_invoke_async and finished as their clients' sockets are polled, so
// one thread can hold a call that never ends, or one call on each of many
// clients, and go on measuring meanwhile.
#pragma once

#include <span>
#include <vector>

#include "bench/round_trip.h"

// Not movable while in flight: the bus library holds on to `req`.
struct sendat_async {
    sendat_client *client = nullptr;
    ubus_request req{};
    bool in_flight = false;
    bool success = false; // the reply said "success"
    int status = -1;      // the final bus status
};

bool sendat_async_start(sendat_async &call);
// Waits up to timeout_ms for any of the sockets and handles what came.
void pump_clients(const std::vector<ubus_context *> &ctxs, int timeout_ms);
// Waits for the call's end; false, and the call forgotten, when it did not
// end in time.
bool sendat_async_finish(sendat_async &call, int timeout_ms);

// Completed calls per second over `seconds`, one call in flight on each
// client at all times. Every client needs a context of its own.
double sendat_concurrent(std::span<sendat_client> clients, double seconds, int *failures);
// `total` calls in all, one in flight on each client at a time (the last
// ones on fewer); returns the calls whose reply said "success". A call
// unanswered for 10 s fails, and ends the run.
long sendat_calls(std::span<sendat_client> clients, long total, int *failures);
