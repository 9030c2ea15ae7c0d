// tarnel-oracle: a randomized run that proves no caller ever gets another
// command's answer. It starts the development broker and the daemon, serves
// simulated modems on pseudo-terminals from its own threads, and drives the
// daemon with several clients at once, each with one call in flight, while
// the modems answer as calls.h and modem.h tell: late or never, in
// fragments, with words of final results inside lines, with message texts
// that are exactly "OK", with unsolicited lines at any moment, prompts shown
// late, dials, long answers, stalled writes, links that go away for a
// moment with the device up, and USB resets that hang the device up. Every reply is checked as it comes (check.h), the
// events, the unsolicited lines and the in-time answers at the end, and at
// the very end that the daemon's descriptors, threads and memory are back
// where they started.
//
//   tarnel-oracle [--seconds N] [--seed N]
//
// The seed is printed first; each client and modem draws from its own
// generator seeded from it, so a seed replays the same calls and plans (the
// timing differs). The last line counts calls, faults and violations; the
// exit status is 1 when there was any violation.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/daemon/daemon_env.h"
#include "tests/oracle/calls.h"
#include "tests/oracle/check.h"
#include "tests/oracle/modem.h"

extern "C" {
#include <libubox/blobmsg.h>
}

using std::chrono::milliseconds;
using std::chrono::seconds;

namespace
{

void report_health(oracle_ledger &l, const std::string &what, const std::string &detail = "")
{
    {
        std::lock_guard guard(l.lock);
        l.health_violations++;
    }
    report(l, what, detail);
}

constexpr int CLIENTS = 16;
constexpr long RSS_TOLERANCE_KB = 1024;

struct client {
    rng_t rng;
    id_maker ids;
    ubus_context *ctx = nullptr;
    std::unique_ptr<pending_call> call; // in flight when set
    int record = -1;
    oracle_time deadline;
    int close_next = -1; // a script that closes its port after a timeout
};

struct event_hook {
    ubus_event_handler handler; // first: the bus hands back only this
    oracle_ledger *ledger;
};

struct run {
    oracle_ledger l;
    daemon_env env;
    std::vector<sim_modem *> modems;
    std::vector<client> clients;
    ubus_context *listener = nullptr;
    event_hook hooks[2] = {};
};

call_spec random_call(run &r, client &c)
{
    if (c.close_next >= 0) {
        int port = std::exchange(c.close_next, -1);
        return port_call(r.l, "close", port, "");
    }
    int port = pick(c.rng, 0, PORTS - 1);
    int kind = pick(c.rng, 0, 99);
    if (kind < 4) {
        call_spec s =
            port_call(r.l, "open", port, ",\"baudrate\":" + std::to_string(chance(c.rng, 0.5) ? 115200 : 57600));
        s.faults = 1;
        return s;
    }
    if (kind < 7) {
        call_spec s = port_call(r.l, "close", port, "");
        s.faults = 1;
        return s;
    }
    if (kind < 9)
        return port_call(r.l, "list", -1, "");
    return random_sendat(r.l, c.rng, c.ids, port);
}

int reply_bound_ms(const call_record &rec)
{
    // Its own wait, the calls of every other client queued before it on the
    // port, and slack for a loaded machine.
    return (rec.timeout + 4) * 1000 + (CLIENTS - 1) * (MAX_TIMEOUT + 4) * 1000 + 5000;
}

// A "close" or "open" makes the daemon's next record of the port learn the
// modem's framing anew; the modem hears of it while the call runs.
void record_change(run &r, const call_record &rec, bool begin)
{
    if ((rec.method == "close" || rec.method == "open") && rec.port >= 0)
        modem_record_change(r.modems[rec.port], begin);
}

// The daemon's console lines that name the call's port, since it was sent.
std::string console_about(run &r, const call_record &rec)
{
    if (rec.port < 0)
        return "";
    std::string said = child_stderr_from(r.env.daemon, rec.console_from), out;
    const std::string &path = r.l.ports[rec.port];
    for (size_t at = 0; at < said.size();) {
        size_t end = said.find('\n', at);
        end = end == std::string::npos ? said.size() : end + 1;
        std::string line = said.substr(at, end - at);
        size_t named = line.find(path);
        if (named != std::string::npos && !isdigit(static_cast<unsigned char>(line[named + path.size()])))
            out += line;
        at = end;
    }
    return out;
}

void start(run &r, client &c, call_spec s)
{
    s.rec.slot = c.ids.client;
    s.rec.sent = oracle_clock::now();
    s.rec.console_from = child_stderr_size(r.env.daemon);
    c.record = int(r.l.calls.size());
    r.l.calls.push_back(s.rec);
    enter_commands(r.l, c.record, s);
    record_change(r, s.rec, true);
    c.call = std::make_unique<pending_call>();
    c.deadline = s.rec.sent + milliseconds(reply_bound_ms(s.rec));
    const char *method = r.l.calls[c.record].method.c_str();
    trace(s.rec.port, ("call #" + std::to_string(c.record) + " " + method).c_str(), s.rec.args);
    if (!call_start(c.ctx, r.env.tarnel_id, method, s.rec.args, *c.call)) {
        report_health(r.l, "a call could not be sent", describe(r.l, c.record));
        c.call.reset();
    }
}

// Takes a finished call's reply, or gives up on one past its bound.
void collect(run &r, client &c)
{
    if (!c.call)
        return;
    oracle_time now = oracle_clock::now();
    call_record &rec = r.l.calls[c.record];
    if (c.call->reply.status < 0) {
        if (now < c.deadline)
            return;
        ubus_abort_request(c.ctx, &c.call->req);
        report_health(r.l, "no reply within " + std::to_string(reply_bound_ms(rec)) + " ms", describe(r.l, c.record));
        record_change(r, rec, false);
        c.call.reset();
        return;
    }
    rec.reply = c.call->reply;
    rec.replied = now;
    trace(rec.port, ("reply #" + std::to_string(c.record)).c_str(),
          rec.reply.str("status") + " " + rec.reply.str("message"));
    rec.console_lines = console_about(r, rec);
    record_change(r, rec, false);
    c.call.reset();
    check_call(r.l, c.record);
    if (rec.method == "sendat" && rec.reply.str("status") == "timeout" && chance(c.rng, 0.4))
        c.close_next = rec.port;
}

// Handles whatever the clients' and the listener's connections have, waiting
// up to timeout_ms for the first of it.
void pump(run &r, int timeout_ms)
{
    std::vector<pollfd> fds;
    std::vector<ubus_context *> ctxs;
    for (client &c : r.clients)
        ctxs.push_back(c.ctx);
    ctxs.push_back(r.listener);
    for (ubus_context *ctx : ctxs)
        fds.push_back({ctx->sock.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), timeout_ms) > 0)
        for (size_t i = 0; i < fds.size(); i++)
            if (fds[i].revents)
                ubus_handle_event(ctxs[i]);
    for (client &c : r.clients)
        collect(r, c);
}

void call_and_wait(run &r, call_spec s)
{
    client &c = r.clients[0];
    start(r, c, std::move(s));
    while (c.call)
        pump(r, 100);
}

void on_event(ubus_context *, ubus_event_handler *handler, const char *type, blob_attr *msg)
{
    enum { PORT, LINE, LATE, IS_OPEN, REASON, DROPPED, FIELDS };
    static const blobmsg_policy policy[FIELDS] = {{"port", BLOBMSG_TYPE_STRING},   {"line", BLOBMSG_TYPE_STRING},
                                                  {"late", BLOBMSG_TYPE_UNSPEC},   {"is_open", BLOBMSG_TYPE_INT32},
                                                  {"reason", BLOBMSG_TYPE_STRING}, {"dropped", BLOBMSG_TYPE_INT32}};
    blob_attr *field[FIELDS] = {};
    if (msg)
        blobmsg_parse(policy, FIELDS, field, blob_data(msg), blob_len(msg));
    bus_event e;
    e.state = strcmp(type, "tarnel.port") == 0;
    e.port = field[PORT] ? blobmsg_get_string(field[PORT]) : "";
    e.line = field[LINE] ? blobmsg_get_string(field[LINE]) : "";
    e.reason = field[REASON] ? blobmsg_get_string(field[REASON]) : "";
    e.is_open = field[IS_OPEN] ? int(blobmsg_get_u32(field[IS_OPEN])) : -1;
    e.dropped = field[DROPPED] ? long(blobmsg_get_u32(field[DROPPED])) : 0;
    e.at = oracle_clock::now();
    if (blob_attr *late = field[LATE])
        e.late = blobmsg_type(late) == BLOBMSG_TYPE_INT32 ? blobmsg_get_u32(late) != 0 : blobmsg_get_u8(late) != 0;
    reinterpret_cast<event_hook *>(handler)->ledger->events.push_back(e);
}

bool connect_all(run &r, uint64_t seed)
{
    r.listener = ubus_connect(r.env.sock.c_str());
    if (!r.listener)
        return false;
    const char *names[2] = {"tarnel.urc", "tarnel.port"};
    for (int i = 0; i < 2; i++) {
        r.hooks[i].handler.cb = on_event;
        r.hooks[i].ledger = &r.l;
        if (ubus_register_event_handler(r.listener, &r.hooks[i].handler, names[i]) != UBUS_STATUS_OK)
            return false;
    }
    r.clients.resize(CLIENTS);
    for (int i = 0; i < CLIENTS; i++) {
        client &c = r.clients[i];
        c.ids.client = i;
        c.rng.seed(seed * 7919 + uint64_t(i));
        c.ctx = ubus_connect(r.env.sock.c_str());
        if (!c.ctx)
            return false;
    }
    return true;
}

// Each port opened, used and closed a few times first, so what the daemon
// keeps once (thread stacks, buffers) is in the baseline.
proc_usage warm_up(run &r)
{
    for (int round = 0; round < 3; round++) {
        for (int port = 0; port < PORTS; port++) {
            call_and_wait(r, port_call(r.l, "open", port, ""));
            call_and_wait(r, simple_sendat(r.l, r.clients[0].ids, port));
            call_and_wait(r, port_call(r.l, "close", port, ""));
        }
    }
    return usage_of(r.env.daemon.pid);
}

// Calls from every client until the time is up; returns the calls made.
long drive(run &r, int seconds_to_run)
{
    size_t first = r.l.calls.size();
    oracle_time end = oracle_clock::now() + seconds(seconds_to_run);
    for (;;) {
        bool open = oracle_clock::now() < end, busy = false;
        for (client &c : r.clients) {
            if (!c.call && open)
                start(r, c, random_call(r, c));
            busy = busy || c.call != nullptr;
        }
        if (!open && !busy)
            break;
        pump(r, 20);
    }
    return long(r.l.calls.size() - first);
}

void settle(run &r)
{
    for (sim_modem *m : r.modems)
        modem_quiet(m);
    // A port a caller closed while its modem still owed a prompt is left
    // alone until some record opens it again: that record must end it.
    for (int port = 0; port < PORTS; port++)
        call_and_wait(r, port_call(r.l, "open", port, ""));
    oracle_time end = oracle_clock::now() + seconds(15);
    auto idle = [&] {
        for (sim_modem *m : r.modems)
            if (!modem_pending(m).empty())
                return false;
        return true;
    };
    while (!idle() && oracle_clock::now() < end)
        pump(r, 20);
    for (int port = 0; port < PORTS; port++)
        if (std::string what = modem_pending(r.modems[port]); !what.empty()) {
            int call = -1;
            {
                std::lock_guard guard(r.l.lock);
                auto waiting = r.l.commands.find(int(line_id(what)));
                call = waiting == r.l.commands.end() ? -1 : waiting->second.call;
            }
            report(r.l, "15 s after the last call, the modem of port " + std::to_string(port) + " still " + what,
                   call >= 0 ? describe(r.l, call) : "");
        }
    // The last events on their way.
    for (oracle_time quiet = oracle_clock::now() + milliseconds(500); oracle_clock::now() < quiet;)
        pump(r, 20);
}

void check_usage(run &r, const proc_usage &baseline)
{
    for (int port = 0; port < PORTS; port++)
        call_and_wait(r, port_call(r.l, "close", port, ""));
    proc_usage now;
    wait_until([&] {
        now = usage_of(r.env.daemon.pid);
        return now.fds <= baseline.fds && now.threads <= baseline.threads;
    });
    std::string figures = "descriptors " + std::to_string(baseline.fds) + " -> " + std::to_string(now.fds) +
                          ", threads " + std::to_string(baseline.threads) + " -> " + std::to_string(now.threads) +
                          ", VmRSS " + std::to_string(baseline.rss_kb) + " -> " + std::to_string(now.rss_kb) + " kB";
    // Sanitizers hold freed memory back on purpose; their leak check at the
    // daemon's exit stands in for the memory figure there.
    bool memory_grew = !TARNEL_ORACLE_SANITIZED && now.rss_kb > baseline.rss_kb + RSS_TOLERANCE_KB;
    if (now.fds != baseline.fds || now.threads != baseline.threads || memory_grew)
        report_health(r.l, "the daemon did not give back what the run took, with every port closed", figures);
    else
        printf("oracle: every port closed: %s\n", figures.c_str());
}

void stop_daemon(run &r)
{
    if (!child_stop(r.env.daemon, SIGTERM, seconds(30))) {
        report_health(r.l, "the daemon did not stop within 30 s of SIGTERM");
        return;
    }
    std::string err = child_stderr(r.env.daemon);
    // The daemon's console, for reading a run's violations beside it.
    if (const char *keep = getenv("TARNEL_ORACLE_DAEMON_LOG"))
        if (FILE *f = fopen(keep, "w")) {
            fwrite(err.data(), 1, err.size(), f);
            fclose(f);
        }
    if (!WIFEXITED(r.env.daemon.exit_status) || WEXITSTATUS(r.env.daemon.exit_status) != 0 ||
        err.find("Sanitizer") != std::string::npos || err.find("runtime error") != std::string::npos)
        report_health(r.l, "the daemon ended badly (status " + std::to_string(r.env.daemon.exit_status) + ")",
                      shown(err, 2000));
}

void disconnect(run &r)
{
    for (client &c : r.clients)
        if (c.ctx)
            ubus_free(c.ctx);
    if (r.listener)
        ubus_free(r.listener);
    for (sim_modem *m : r.modems)
        modem_stop(m);
}

// --answers-advisory: violations of whose answer is whose are printed and
// counted, but only the daemon's own health (a hang, a leak, a crash, a
// call lost) fails the run. For CI while the engine's known open faults
// (docs/development.md, "The randomized run") are being mended.
bool answers_advisory = false;

bool parse_args(int argc, char **argv, int *secs, uint64_t *seed)
{
    *secs = 60;
    *seed = std::random_device()() % 1000000000;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--answers-advisory") {
            answers_advisory = true;
        } else if ((arg == "--seconds" || arg == "--seed") && i + 1 < argc) {
            unsigned long long value = strtoull(argv[++i], nullptr, 10);
            if (arg == "--seconds")
                *secs = int(value);
            else
                *seed = value;
        } else {
            fprintf(stderr, "usage: tarnel-oracle [--seconds N] [--seed N] [--answers-advisory]\n");
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int secs;
    uint64_t seed;
    if (!parse_args(argc, argv, &secs, &seed))
        return 2;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    printf("oracle: seed %llu, %d s, %d ports, %d clients\n", static_cast<unsigned long long>(seed), secs, PORTS,
           CLIENTS);

    run r;
    r.l.seed = seed;
    r.l.unplugged.resize(PORTS);
    r.l.hung_up.resize(PORTS);
    r.l.echo_changes.resize(PORTS);
    r.l.silences.resize(PORTS);
    r.l.arrival_order.resize(PORTS);
    r.l.stalled.resize(PORTS);
    for (int port = 0; port < PORTS; port++)
        r.l.ports.push_back(env_path(r.env, "ttyO" + std::to_string(port)));
    bool ready = env_start(r.env) && connect_all(r, seed);
    for (int port = 0; ready && port < PORTS; port++) {
        r.modems.push_back(modem_start(r.l, port, seed * 104729 + uint64_t(port)));
        ready = r.modems.back() != nullptr;
        if (!ready)
            r.modems.pop_back();
    }
    if (!ready) {
        fprintf(stderr, "oracle: could not start the broker, the daemon, the clients or the modems\n");
        disconnect(r);
        return 2;
    }

    proc_usage baseline = warm_up(r);
    auto started = oracle_clock::now();
    long calls = drive(r, secs);
    double elapsed = std::chrono::duration<double>(oracle_clock::now() - started).count();
    settle(r);
    check_usage(r, baseline);
    check_events(r.l);
    check_unsolicited(r.l);
    check_in_time_answers(r.l);
    stop_daemon(r);
    disconnect(r);

    if (r.l.excused_by_doubt)
        printf("oracle: %ld replies one behind after an answer came past a timeout in doubt (echo off or unknown: a "
               "known limit)\n",
               r.l.excused_by_doubt);
    printf("oracle: %ld calls (%ld replies judged strictly, echo on), %ld faults injected, %ld violations, %.1f "
           "calls/s\n",
           calls, r.l.strict_calls, r.l.faults, r.l.violations, calls / elapsed);
    if (answers_advisory && r.l.violations > r.l.health_violations)
        printf("oracle: %ld of the violations are about answers, advisory in this run\n",
               r.l.violations - r.l.health_violations);
    return (answers_advisory ? r.l.health_violations : r.l.violations) ? 1 : 0;
}
