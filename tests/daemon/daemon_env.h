// End-to-end environment for the daemon: a private broker socket in a temp
// directory, the development broker, the daemon itself as a child process, and
// a bus client to call the object "tarnel" with.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "core/bus_api.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

struct bus_reply {
    int status = -1;  // final bus status of the call
    std::string json; // compact JSON of the reply, empty when none came
};

struct daemon_env {
    temp_dir dir;
    std::string sock = dir.file("ubus.sock");
    child_process broker;
    child_process daemon;
    std::map<std::string, std::string> daemon_vars; // more environment for the daemon
    ubus_context *ctx = nullptr;
    uint32_t tarnel_id = 0;

    daemon_env() = default;
    daemon_env(const daemon_env &) = delete;
    daemon_env &operator=(const daemon_env &) = delete;
    ~daemon_env();
};

// Starts the broker; false on failure.
bool env_start_broker(daemon_env &env);
// Starts the daemon against the broker and waits for its start-up line.
bool env_start_daemon(daemon_env &env);
// Both, then connects the client and looks the object up.
bool env_start(daemon_env &env);
// Kills the broker (the client goes with it) and starts a new one on the
// same socket, with the client connected to it.
bool env_restart_broker(daemon_env &env);

bus_reply tarnel_call(daemon_env &env, const char *method, const std::string &json_args, int timeout_ms = 30000);

std::string env_path(const daemon_env &env, const std::string &name);
