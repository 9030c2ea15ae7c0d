// Unsolicited lines on their way to a listener: the latency of single lines
// spaced so the rate limit never bites, then a flood far over the limit,
// where what counts is that the daemon stays small and answers "list", and
// that every line is either published or counted as dropped.
#include <algorithm>
#include <chrono>
#include <thread>

#include "bench/listener.h"
#include "bench/measure.h"
#include "bench/proc_sample.h"

using bench_clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int FLOOD_BLOCK_LINES = 100;
constexpr auto FLOOD_BLOCK_EVERY = std::chrono::milliseconds(FLOOD_SECONDS * 1000 * FLOOD_BLOCK_LINES / FLOOD_LINES);
constexpr auto FLOOD_LIST_EVERY = 2ms;
constexpr auto FLOOD_RSS_EVERY = 100ms;
// Long enough for the backlog to drain and the rate limit to refill, so the
// closing line is published and carries the last count of drops.
constexpr auto FLOOD_SETTLE = 1500ms;

static int64_t ns_between(bench_clock::time_point from, bench_clock::time_point to)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
}

static void measure_latency(fake_modem *modem, urc_listener &listener, urc_figures *out)
{
    latency_samples samples;
    for (int i = 0; i < URC_LINES; i++) {
        std::string line = "+CMTI: \"SM\"," + std::to_string(i);
        listener_expect(listener, line);
        auto sent = bench_clock::now();
        fake_modem_inject(modem, "\r\n" + line + "\r\n");
        samples.add(listener_wait(listener, 1000) ? ns_between(sent, listener.seen_at) : -1);
        std::this_thread::sleep_until(sent + std::chrono::milliseconds(URC_SPACING_MS));
    }
    out->latency = samples.summary();
}

static std::string flood_block(int block)
{
    std::string text;
    for (int i = 0; i < FLOOD_BLOCK_LINES; i++)
        text += "+FLOOD: " + std::to_string(block * FLOOD_BLOCK_LINES + i) + "\r\n";
    return text;
}

// One thread does it all: a block of lines every FLOOD_BLOCK_EVERY, a "list"
// every FLOOD_LIST_EVERY, the daemon's VmRSS every FLOOD_RSS_EVERY, and the
// listener in between.
static bool measure_flood(bench_rig &rig, fake_modem *modem, urc_listener &listener, urc_figures *out)
{
    listener.events = 0;
    listener.dropped = 0;
    bool peak_restarted = proc_peak_reset(rig.daemon);
    latency_samples list;
    const int blocks = FLOOD_LINES / FLOOD_BLOCK_LINES;
    int next_block = 0;
    auto start = bench_clock::now();
    auto next_list = start, next_rss = start;
    while (next_block < blocks) {
        auto now = bench_clock::now();
        if (now >= start + next_block * FLOOD_BLOCK_EVERY) {
            fake_modem_inject(modem, flood_block(next_block++));
            continue;
        }
        if (now >= next_list) {
            list.add(list_once(rig.ctx, rig.tarnel_id));
            next_list = now + FLOOD_LIST_EVERY;
        }
        if (now >= next_rss) {
            out->sampled_max_kib = std::max(out->sampled_max_kib, proc_status_kib(rig.daemon, "VmRSS"));
            next_rss = now + FLOOD_RSS_EVERY;
        }
        auto wake = std::min({start + next_block * FLOOD_BLOCK_EVERY, next_list, next_rss});
        listener_pump(listener, static_cast<int>(std::max<int64_t>(ns_between(bench_clock::now(), wake) / 1000000, 0)));
    }
    out->list = list.summary();

    auto settled = bench_clock::now() + FLOOD_SETTLE;
    while (bench_clock::now() < settled)
        listener_pump(listener, 10);
    listener_expect(listener, "+FLOOD: END");
    fake_modem_inject(modem, "\r\n+FLOOD: END\r\n");
    bool closed = listener_wait(listener, 5000);
    out->sent = FLOOD_LINES + 1;
    out->events = listener.events;
    out->dropped = listener.dropped;
    if (peak_restarted)
        out->peak_kib = proc_status_kib(rig.daemon, "VmHWM");
    return closed;
}

bool measure_unsolicited(bench_rig &rig, urc_figures *out)
{
    fake_modem_options quiet;
    quiet.keep_log = false;
    fake_modem_ptr modem = rig_modem(rig, "ttyUrc", quiet);
    urc_listener listener;
    if (!modem || !listener_start(listener, rig_client(rig)))
        return false;
    measure_latency(modem.get(), listener, out);
    if (!measure_flood(rig, modem.get(), listener, out)) {
        fprintf(stderr, "bench: the line sent after the flood never reached the listener\n");
        return false;
    }
    return true;
}
