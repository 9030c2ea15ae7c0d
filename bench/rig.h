// The bench's own start-up: the development broker and the daemon as child
// processes in a private temp directory, and bus clients of the "tarnel"
// object. Both children write their output to files in that directory, so
// nothing has to keep reading them while the figures are taken.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/bus_api.h"
#include "tools/fakemodem/fake_modem.h"

struct bench_rig {
    std::string dir; // removed with the rig
    std::string sock;
    // Commands to run the broker or the daemon under (a tracer, valgrind),
    // set before rig_start; empty to run them as they are.
    std::vector<std::string> broker_wrap, daemon_wrap;
    pid_t broker = -1; // what was started: the program, or its wrapper
    pid_t daemon = -1;
    // The processes that run the programs themselves: a tracer's child, or
    // the started process when it runs the program in place (valgrind).
    pid_t broker_proc = -1;
    pid_t daemon_proc = -1;
    ubus_context *ctx = nullptr; // the main client
    uint32_t tarnel_id = 0;
    std::vector<ubus_context *> clients; // more connections, freed with the rig

    bench_rig() = default;
    bench_rig(const bench_rig &) = delete;
    bench_rig &operator=(const bench_rig &) = delete;
    ~bench_rig();
};

// Starts both children, waits for "ubus-tarnel started", connects the main
// client and looks the object up. Says on stderr why when it fails.
bool rig_start(bench_rig &rig);
// Ends the daemon and then the broker with SIGTERM and waits for them (and
// their wrappers, which write their reports as they end). Clients first
// disconnect. False when one had to be killed.
bool rig_stop(bench_rig &rig);
// Another connection to the broker, owned by the rig; nullptr on failure.
ubus_context *rig_client(bench_rig &rig);
std::string rig_path(const bench_rig &rig, const std::string &name);

// "open" of a port with its defaults; false (and why on stderr) unless the
// reply says "success".
bool rig_open(bench_rig &rig, const std::string &port);
// A simulated modem at <rig dir>/<name> whose port the daemon has opened;
// nullptr (and why on stderr) on failure.
fake_modem_ptr rig_modem(bench_rig &rig, const std::string &name, const fake_modem_options &options = {});
// What "list" says of one port: 1 open, 0 closed, -1 not listed or no reply.
int rig_port_open(ubus_context *ctx, uint32_t object_id, const std::string &port);
