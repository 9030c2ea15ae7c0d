// The measurements beyond round trip, throughput and idle cost. Each makes
// the simulated modems it needs in the rig's directory, so no figure leans
// on what an earlier one left behind.
#pragma once

#include <string>

#include "bench/rig.h"
#include "bench/round_trip.h"

// "list" and "sendat" on an instant port, alone and while another client's
// command waits on a modem that never answers it.
struct head_of_line_figures {
    latency_summary list_alone, list_held, sendat_alone, sendat_held;
    bool held_throughout = false; // the silent command still waited when the figures were done
    bool held_answered = false;   // and ended with the answer sent to it afterwards
};
bool measure_head_of_line(bench_rig &rig, const std::string &instant_port, head_of_line_figures *out);

// Modems answering CONCURRENCY_ANSWER_MS after each command: one port with
// one client, then each port with a client of its own, all at once.
constexpr int CONCURRENCY_PORTS = 4;
constexpr int CONCURRENCY_ANSWER_MS = 20;
constexpr double CONCURRENCY_SECONDS = 4;
struct concurrency_figures {
    double one = 0, all = 0; // calls/s
    int one_failed = 0, all_failed = 0;
};
bool measure_concurrency(bench_rig &rig, concurrency_figures *out);
