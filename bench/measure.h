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

// From the modem writing an unsolicited line to a listener holding the
// event, then a flood of lines on the same port.
constexpr int URC_LINES = 300;
constexpr int URC_SPACING_MS = 15;
constexpr int FLOOD_LINES = 100000;
constexpr int FLOOD_SECONDS = 10;
struct urc_figures {
    latency_summary latency;
    long sent = 0, events = 0, dropped = 0; // flood, its closing line included
    int64_t peak_kib = -1;                  // VmHWM over the flood, -1 when it could not be restarted
    int64_t sampled_max_kib = -1;           // the largest VmRSS seen
    latency_summary list;                   // "list" from another client during the flood
};
bool measure_unsolicited(bench_rig &rig, urc_figures *out);

// Node removed on an open port until "list" shows it closed; node restored
// until a "sendat" succeeds.
constexpr int HOTPLUG_CYCLES = 20;
struct hotplug_figures {
    latency_summary closed, working;
};
bool measure_hotplug(bench_rig &rig, hotplug_figures *out);

// One command through a virtual port (a program on its link, writing
// "AT\r" and reading to its "OK") against the same command through
// "sendat", on one instant modem, taken in turns.
constexpr int VPORT_CALLS = 1000;
struct vport_figures {
    latency_summary vport, sendat;
};
bool measure_vport(bench_rig &rig, vport_figures *out);
