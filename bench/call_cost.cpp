// tarnel-callcost: one window of "sendat" calls on modems that answer at
// once, for scripts/call-cost.sh. It starts the development broker and the
// daemon (each under a wrapper command if given: valgrind, strace), opens
// the ports, warms up, then makes the window's calls with one persistent
// client per port, one call in flight each, and ends both programs with
// SIGTERM so their wrappers write their reports. It prints one line:
//
//   calls=N failed=N seconds=S daemon_vcsw=N broker_vcsw=N daemon_threads=N
//
// the voluntary context switches being those of all threads over the window
// alone. The script runs two windows of different sizes and divides the
// difference of their totals by the difference of their calls, so start-up,
// warm-up and shutdown cancel out.
//
//   tarnel-callcost [--ports N] [--calls N] [--warmup N] [--command AT]
//                   [--daemon-wrap "CMD ARGS"] [--broker-wrap "CMD ARGS"]
//
// A wrapper's words are split at spaces.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "bench/async_calls.h"
#include "bench/proc_sample.h"
#include "bench/rig.h"

namespace
{

struct options {
    int ports = 1;
    long calls = 10000;
    long warmup = 500;
    std::string command = "AT+CSQ";
    std::vector<std::string> daemon_wrap, broker_wrap;
};

std::vector<std::string> words(const char *text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string word; in >> word;)
        out.push_back(word);
    return out;
}

bool parse(int argc, char **argv, options *o)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const char *name = argv[i], *value = argv[i + 1];
        if (!strcmp(name, "--ports"))
            o->ports = atoi(value);
        else if (!strcmp(name, "--calls"))
            o->calls = atol(value);
        else if (!strcmp(name, "--warmup"))
            o->warmup = atol(value);
        else if (!strcmp(name, "--command"))
            o->command = value;
        else if (!strcmp(name, "--daemon-wrap"))
            o->daemon_wrap = words(value);
        else if (!strcmp(name, "--broker-wrap"))
            o->broker_wrap = words(value);
        else
            return false;
    }
    return argc % 2 == 1 && o->ports > 0 && o->calls >= 0 && o->warmup >= 0;
}

struct window {
    long completed = 0;
    int failed = 0;
    double seconds = 0;
    proc_sample daemon_before, daemon_after, broker_before, broker_after;
};

bool run(const options &o, window *w)
{
    bench_rig rig;
    rig.daemon_wrap = o.daemon_wrap;
    rig.broker_wrap = o.broker_wrap;
    if (!rig_start(rig))
        return false;

    fake_modem_options quiet;
    quiet.keep_log = false;
    std::vector<fake_modem_ptr> modems;
    std::vector<sendat_client> clients(o.ports);
    bool ready = true;
    for (int i = 0; i < o.ports && ready; i++) {
        modems.push_back(rig_modem(rig, "ttyUSB" + std::to_string(i), quiet));
        ubus_context *ctx = rig_client(rig);
        ready = modems.back() && ctx &&
                sendat_prepare(clients[i], ctx, rig.tarnel_id, fake_modem_link_path(modems.back().get()),
                               o.command.c_str());
    }
    if (ready) {
        int warmup_failed = 0;
        sendat_calls(clients, o.warmup, &warmup_failed);
        w->daemon_before = proc_take(rig.daemon_proc);
        w->broker_before = proc_take(rig.broker_proc);
        auto start = std::chrono::steady_clock::now();
        w->completed = sendat_calls(clients, o.calls, &w->failed);
        w->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        w->daemon_after = proc_take(rig.daemon_proc);
        w->broker_after = proc_take(rig.broker_proc);
        w->failed += warmup_failed;
    }
    for (sendat_client &client : clients)
        sendat_release(client);
    // The reports of the wrappers are complete only once both have ended.
    bool stopped = rig_stop(rig);
    if (!stopped)
        fprintf(stderr, "callcost: the daemon or the broker did not end on SIGTERM\n");
    return ready && stopped;
}

} // namespace

int main(int argc, char **argv)
{
    options o;
    if (!parse(argc, argv, &o)) {
        fprintf(stderr,
                "usage: %s [--ports N] [--calls N] [--warmup N] [--command AT] [--daemon-wrap \"CMD ARGS\"] "
                "[--broker-wrap \"CMD ARGS\"]\n",
                argv[0]);
        return 2;
    }
    window w;
    if (!run(o, &w))
        return 1;
    printf("calls=%ld failed=%d seconds=%.3f daemon_vcsw=%lld broker_vcsw=%lld daemon_threads=%d\n", w.completed,
           w.failed, w.seconds, static_cast<long long>(w.daemon_after.voluntary - w.daemon_before.voluntary),
           static_cast<long long>(w.broker_after.voluntary - w.broker_before.voluntary), w.daemon_after.threads);
    return w.failed == 0 && w.daemon_after.ok && w.broker_after.ok ? 0 : 1;
}
