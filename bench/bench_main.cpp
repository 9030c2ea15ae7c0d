// tarnel-bench: one run, one table. It starts the development broker and the
// daemon as child processes and serves every simulated modem from its own
// threads, so the daemon's figures hold the daemon's cost and nothing else.
// Goals are printed beside the figures; nothing here fails on a figure.
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/measure.h"
#include "bench/proc_sample.h"
#include "bench/rig.h"
#include "bench/round_trip.h"

constexpr int PORTS = 8;
constexpr int THROUGHPUT_PORTS = 4;
constexpr int WARMUP_CALLS = 200;
constexpr int ROUND_TRIP_CALLS = 3000;
constexpr int ROUND_TRIP_BATCH = 250; // bus and floor alternate in batches
constexpr double THROUGHPUT_SECONDS = 5;
constexpr int IDLE_SECONDS = 10;
constexpr int SETTLE_MS = 1000; // lets a just-opened port go quiet

constexpr double GOAL_ABOVE_FLOOR_MS = 0.15;
constexpr double GOAL_IDLE_CPU_PERCENT = 0.1;
constexpr double GOAL_IDLE_WAKEUPS = 1.0;
constexpr int64_t GOAL_RSS_KIB = 4096;
constexpr double GOAL_HELD_P50_MS = 2.0;
constexpr double GOAL_HELD_RATIO = 3.0;
constexpr double GOAL_CONCURRENCY_RATIO = 3.5;
constexpr double GOAL_HOTPLUG_MS = 1000;

// The instant modems of the first rows. Their ports are opened in steps,
// for the idle figures with 0, 1 and all of them open.
struct instant_modems {
    std::vector<fake_modem_ptr> modems;
    fake_modem_ptr floor_modem; // never seen by the daemon
    std::vector<std::string> paths;
};

struct idle_row {
    int ports = 0;
    proc_delta delta;
    int threads = 0;
    int64_t rss_kib = 0;
};

static bool make_modems(bench_rig &rig, instant_modems &set)
{
    fake_modem_options quiet;
    quiet.keep_log = false;
    for (int i = 0; i < PORTS; i++) {
        set.paths.push_back(rig_path(rig, "ttyUSB" + std::to_string(i)));
        set.modems.emplace_back(fake_modem_create(set.paths.back(), quiet));
        if (!set.modems.back())
            return false;
    }
    set.floor_modem.reset(fake_modem_create(rig_path(rig, "ttyFloor"), quiet));
    return set.floor_modem != nullptr;
}

static bool open_ports(bench_rig &rig, const instant_modems &set, int from, int to)
{
    for (int i = from; i < to; i++)
        if (!rig_open(rig, set.paths[i]))
            return false;
    return true;
}

static bool measure_idle(bench_rig &rig, int ports, idle_row *row)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(SETTLE_MS));
    proc_sample before = proc_take(rig.daemon);
    std::this_thread::sleep_for(std::chrono::seconds(IDLE_SECONDS));
    proc_sample after = proc_take(rig.daemon);
    if (!before.ok || !after.ok)
        return false;
    row->ports = ports;
    row->delta = proc_diff(before, after);
    row->threads = after.threads;
    row->rss_kib = after.rss_kib;
    return true;
}

static void run_batch(int calls, latency_samples *samples, const std::function<int64_t()> &once)
{
    for (int i = 0; i < calls; i++)
        samples->add(once());
}

// Bus and floor alternate in batches so a change in machine load during the
// run weighs on both sides alike.
static bool measure_round_trip(bench_rig &rig, const instant_modems &set, latency_summary *bus, latency_summary *floor)
{
    sendat_client client;
    int fd = floor_open(fake_modem_slave_name(set.floor_modem.get()));
    bool ok = fd >= 0 && sendat_prepare(client, rig.ctx, rig.tarnel_id, set.paths[0], "AT");
    if (ok) {
        latency_samples bus_ns, floor_ns, discard;
        auto bus_once = [&] { return sendat_once(client); };
        auto floor_once_fd = [&] { return floor_once(fd); };
        run_batch(WARMUP_CALLS, &discard, bus_once);
        run_batch(WARMUP_CALLS, &discard, floor_once_fd);
        for (int done = 0; done < ROUND_TRIP_CALLS; done += ROUND_TRIP_BATCH) {
            run_batch(ROUND_TRIP_BATCH, &bus_ns, bus_once);
            run_batch(ROUND_TRIP_BATCH, &floor_ns, floor_once_fd);
        }
        *bus = bus_ns.summary();
        *floor = floor_ns.summary();
    }
    sendat_release(client);
    if (fd >= 0)
        close(fd);
    return ok;
}

static double measure_throughput(bench_rig &rig, const instant_modems &set, int ports, int *failures)
{
    std::vector<sendat_client> clients(ports);
    for (int i = 0; i < ports; i++)
        sendat_prepare(clients[i], rig.ctx, rig.tarnel_id, set.paths[i], "AT");
    double rate = sendat_throughput(clients, THROUGHPUT_SECONDS, failures);
    for (sendat_client &client : clients)
        sendat_release(client);
    return rate;
}

static const char *ports_label(int ports)
{
    static char label[32];
    snprintf(label, sizeof label, "%d open port%s", ports, ports == 1 ? "" : "s");
    return label;
}

static const char *verdict(bool met)
{
    return met ? "met" : "MISSED";
}

static void print_latency_row(const char *label, const latency_summary &l)
{
    printf("   %-38s %7.3f %7.3f %7.3f %7.3f %7.3f %6zu %6d\n", label, l.p50_ms, l.p99_ms, l.p999_ms, l.max_ms,
           l.mean_ms, l.count, l.failures);
}

static void print_latency_heading(const char *title, const char *count_label, const char *fail_label = "failed")
{
    printf("%-43s p50 ms  p99 ms p99.9ms  max ms mean ms %6s %6s\n", title, count_label, fail_label);
}

static void print_round_trip(const latency_summary &bus, const latency_summary &floor)
{
    print_latency_heading("1. sendat round trip, AT -> echo + OK", "calls");
    print_latency_row("bus, persistent client (ubus_invoke)", bus);
    print_latency_row("floor: AT written and read on the pty", floor);
    double above = bus.p50_ms - floor.p50_ms;
    printf("   ratio bus/floor                        %6.1fx %6.1fx\n",
           floor.p50_ms > 0 ? bus.p50_ms / floor.p50_ms : 0, floor.p99_ms > 0 ? bus.p99_ms / floor.p99_ms : 0);
    printf("   p50 above floor: %.3f ms; goal <= %.2f ms: %s\n", above, GOAL_ABOVE_FLOOR_MS,
           verdict(bus.count > 0 && bus.failures == 0 && above <= GOAL_ABOVE_FLOOR_MS));
}

static void print_throughput(double one, int one_failed, double four, int four_failed)
{
    printf("2. sendat throughput over %.0f s               calls/s  failed\n", THROUGHPUT_SECONDS);
    printf("   1 port                                  %8.0f %7d\n", one, one_failed);
    printf("   %d ports, round-robin                    %8.0f %7d\n", THROUGHPUT_PORTS, four, four_failed);
}

static void print_idle(const std::vector<idle_row> &rows)
{
    printf("3. idle cost over %d s, no traffic  CPU ms (stat)  CPU ms (clock)  %% core  wake-ups/s  threads\n",
           IDLE_SECONDS);
    for (const idle_row &row : rows) {
        double cpu_ms = row.delta.cpu_ms >= 0 ? row.delta.cpu_ms : row.delta.cpu_ms_ticks;
        printf("   %-34s %11.0f %15.3f %8.4f %11.2f %8d\n", ports_label(row.ports), row.delta.cpu_ms_ticks,
               row.delta.cpu_ms, cpu_ms / (row.delta.seconds * 10.0), row.delta.wakeups_per_s, row.threads);
    }
    const idle_row &last = rows.back();
    double cpu_ms = last.delta.cpu_ms >= 0 ? last.delta.cpu_ms : last.delta.cpu_ms_ticks;
    double percent = cpu_ms / (last.delta.seconds * 10.0);
    printf("   goal with %d ports: < %.1f %% of a core: %s; <= %.0f wake-up/s in total: %s\n", last.ports,
           GOAL_IDLE_CPU_PERCENT, verdict(percent < GOAL_IDLE_CPU_PERCENT), GOAL_IDLE_WAKEUPS,
           verdict(last.delta.wakeups_per_s <= GOAL_IDLE_WAKEUPS));
}

static void print_memory(const std::vector<idle_row> &rows)
{
    printf("4. resident set (VmRSS)                         KiB\n");
    for (const idle_row &row : rows)
        printf("   %-38s %8lld\n", ports_label(row.ports), static_cast<long long>(row.rss_kib));
    printf("   goal with %d ports: <= %lld KiB: %s\n", rows.back().ports, static_cast<long long>(GOAL_RSS_KIB),
           verdict(rows.back().rss_kib <= GOAL_RSS_KIB));
}

static bool clean(const latency_summary &l)
{
    return l.count > 0 && l.failures == 0;
}

static const char *held_verdict(const latency_summary &held, const latency_summary &alone)
{
    return verdict(clean(held) && clean(alone) && held.p50_ms <= GOAL_HELD_P50_MS &&
                   held.p50_ms <= GOAL_HELD_RATIO * alone.p50_ms);
}

static double ratio(double a, double b)
{
    return b > 0 ? a / b : 0;
}

static void print_head_of_line(const head_of_line_figures &f)
{
    print_latency_heading("5. head of line, a call waiting on port A", "calls");
    print_latency_row("list, nothing waiting", f.list_alone);
    print_latency_row("list, while A waits", f.list_held);
    print_latency_row("sendat on port B, nothing waiting", f.sendat_alone);
    print_latency_row("sendat on B, while A waits", f.sendat_held);
    printf("   goal while A waits: p50 <= %.0f ms and <= %.0fx alone: list %.1fx: %s; sendat %.1fx: %s\n",
           GOAL_HELD_P50_MS, GOAL_HELD_RATIO, ratio(f.list_held.p50_ms, f.list_alone.p50_ms),
           held_verdict(f.list_held, f.list_alone), ratio(f.sendat_held.p50_ms, f.sendat_alone.p50_ms),
           held_verdict(f.sendat_held, f.sendat_alone));
    if (!f.held_throughout)
        printf("   the call on A ended before the figures were taken: they show no contention\n");
    else if (!f.held_answered)
        printf("   the call on A did not end with the answer its modem finally sent\n");
}

static void print_concurrency(const concurrency_figures &f)
{
    printf("6. concurrency, modems answering after %d ms     calls/s  failed\n", CONCURRENCY_ANSWER_MS);
    printf("   1 port, 1 client                        %8.0f %7d\n", f.one, f.one_failed);
    printf("   %d ports, %d clients, a call in flight each %8.0f %7d\n", CONCURRENCY_PORTS, CONCURRENCY_PORTS, f.all,
           f.all_failed);
    printf("   %d ports / 1 port: %.2fx; goal >= %.1fx: %s\n", CONCURRENCY_PORTS, ratio(f.all, f.one),
           GOAL_CONCURRENCY_RATIO,
           verdict(f.one_failed == 0 && f.all_failed == 0 && f.all >= GOAL_CONCURRENCY_RATIO * f.one));
}

static void print_unsolicited(const urc_figures &f)
{
    print_latency_heading("7. unsolicited line, modem -> listener", "lines", "lost");
    char label[64];
    snprintf(label, sizeof label, "tarnel.urc, one line every %d ms", URC_SPACING_MS);
    print_latency_row(label, f.latency);
    printf("8. flood: %d lines on one port in %d s\n", FLOOD_LINES, FLOOD_SECONDS);
    printf("   lines sent, with one after the flood     %8ld\n", f.sent);
    printf("   tarnel.urc events received               %8ld\n", f.events);
    printf("   dropped, summed from \"dropped\"          %8ld\n", f.dropped);
    printf("   neither published nor counted            %8ld\n", f.sent - f.events - f.dropped);
    printf("   daemon's peak VmHWM over the flood, KiB  %8lld (largest VmRSS sampled: %lld)\n",
           static_cast<long long>(f.peak_kib), static_cast<long long>(f.sampled_max_kib));
    print_latency_heading("", "calls");
    print_latency_row("list from another client, during it", f.list);
}

static void print_hotplug(const hotplug_figures &f)
{
    char title[64];
    snprintf(title, sizeof title, "9. hotplug, %d cycles on an open port", HOTPLUG_CYCLES);
    print_latency_heading(title, "cycles");
    print_latency_row("node removed -> list shows it closed", f.closed);
    print_latency_row("node restored -> sendat succeeds", f.working);
    printf("   goal: each under %.0f ms: closed %s; working again %s\n", GOAL_HOTPLUG_MS,
           verdict(clean(f.closed) && f.closed.max_ms < GOAL_HOTPLUG_MS),
           verdict(clean(f.working) && f.working.max_ms < GOAL_HOTPLUG_MS));
}

static void print_vport(const vport_figures &f)
{
    print_latency_heading("10. one command, AT, on an instant modem", "calls");
    print_latency_row("through a virtual port", f.vport);
    print_latency_row("through sendat", f.sendat);
    printf("   added by the virtual port, median: %+.3f ms\n", f.vport.p50_ms - f.sendat.p50_ms);
}

static void print_part(bool measured, const char *title, const std::function<void()> &print)
{
    if (measured)
        print();
    else
        printf("%s: not measured, see the messages above\n", title);
}

int main()
{
    bench_rig rig;
    instant_modems set;
    if (!rig_start(rig) || !make_modems(rig, set))
        return 1;

    // Idle figures first, on a daemon that has carried no traffic yet.
    std::vector<idle_row> idle(3);
    fprintf(stderr, "bench: idle cost, about %d s\n", 3 * (IDLE_SECONDS + SETTLE_MS / 1000));
    if (!measure_idle(rig, 0, &idle[0]) || !open_ports(rig, set, 0, 1) || !measure_idle(rig, 1, &idle[1]) ||
        !open_ports(rig, set, 1, PORTS) || !measure_idle(rig, PORTS, &idle[2])) {
        fprintf(stderr, "bench: idle measurement failed\n");
        return 1;
    }

    fprintf(stderr, "bench: round trip and throughput, about %.0f s\n", 2 * THROUGHPUT_SECONDS + 2);
    latency_summary bus, floor;
    if (!measure_round_trip(rig, set, &bus, &floor)) {
        fprintf(stderr, "bench: round-trip measurement could not start\n");
        return 1;
    }
    int one_failed = 0, four_failed = 0;
    double one = measure_throughput(rig, set, 1, &one_failed);
    double four = measure_throughput(rig, set, THROUGHPUT_PORTS, &four_failed);

    // From here on a part that cannot be measured is reported in the table
    // and the others still run.
    fprintf(stderr, "bench: head of line and concurrency, about %.0f s\n", 2 * CONCURRENCY_SECONDS + 2);
    head_of_line_figures held;
    concurrency_figures concurrency;
    bool held_ok = measure_head_of_line(rig, set.paths[1], &held);
    bool concurrency_ok = measure_concurrency(rig, &concurrency);
    fprintf(stderr, "bench: unsolicited lines and flood, about %d s\n",
            URC_LINES * URC_SPACING_MS / 1000 + FLOOD_SECONDS + 2);
    urc_figures urc;
    bool urc_ok = measure_unsolicited(rig, &urc);
    fprintf(stderr, "bench: hotplug, %d cycles\n", HOTPLUG_CYCLES);
    hotplug_figures hotplug;
    bool hotplug_ok = measure_hotplug(rig, &hotplug);
    fprintf(stderr, "bench: virtual port against sendat, %d calls each\n", VPORT_CALLS);
    vport_figures vport;
    bool vport_ok = measure_vport(rig, &vport);

    printf("ubus-tarnel benchmark, %s build, %ld CPUs online\n", TARNEL_BENCH_BUILD, sysconf(_SC_NPROCESSORS_ONLN));
    print_round_trip(bus, floor);
    print_throughput(one, one_failed, four, four_failed);
    print_idle(idle);
    print_memory(idle);
    print_part(held_ok, "5. head of line", [&] { print_head_of_line(held); });
    print_part(concurrency_ok, "6. concurrency", [&] { print_concurrency(concurrency); });
    print_part(urc_ok, "7./8. unsolicited lines and flood", [&] { print_unsolicited(urc); });
    print_part(hotplug_ok, "9. hotplug", [&] { print_hotplug(hotplug); });
    print_part(vport_ok, "10. virtual port", [&] { print_vport(vport); });
    fflush(stdout);
    return 0;
}
