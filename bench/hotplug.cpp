// A modem that goes away and comes back, as a USB modem does when it
// resets: how soon the daemon shows the port closed, and how soon a command
// works again once the node is back.
#include <chrono>
#include <thread>

#include "bench/measure.h"

using bench_clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto HOTPLUG_DEADLINE = 5s;
constexpr auto HOTPLUG_POLL = 1ms;
constexpr auto HOTPLUG_PAUSE = 50ms; // between cycles

// Nanoseconds until done() holds, polling; -1 when the deadline passed.
template <typename Done>
static int64_t time_until(Done done)
{
    auto start = bench_clock::now();
    while (!done()) {
        if (bench_clock::now() - start > HOTPLUG_DEADLINE)
            return -1;
        std::this_thread::sleep_for(HOTPLUG_POLL);
    }
    return std::chrono::duration_cast<std::chrono::nanoseconds>(bench_clock::now() - start).count();
}

bool measure_hotplug(bench_rig &rig, hotplug_figures *out)
{
    fake_modem_options quiet;
    quiet.keep_log = false;
    fake_modem_ptr modem = rig_modem(rig, "ttyPlug", quiet);
    if (!modem)
        return false;
    std::string port = fake_modem_link_path(modem.get());
    sendat_client client;
    sendat_prepare(client, rig.ctx, rig.tarnel_id, port, "AT");
    latency_samples closed, working;
    bool ok = true;
    for (int cycle = 0; ok && cycle < HOTPLUG_CYCLES; cycle++) {
        ok = fake_modem_unplug(modem.get()) == 0;
        if (ok)
            closed.add(time_until([&] { return rig_port_open(rig.ctx, rig.tarnel_id, port) == 0; }));
        ok = ok && fake_modem_replug(modem.get()) == 0;
        if (ok)
            working.add(time_until([&] { return sendat_once(client) >= 0; }));
        std::this_thread::sleep_for(HOTPLUG_PAUSE);
    }
    sendat_release(client);
    out->closed = closed.summary();
    out->working = working.summary();
    return ok;
}
