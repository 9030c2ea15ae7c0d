// The command-line client's commands. Each runs on a connected context and
// returns what the process reports:
//   0          success;
//   > 0        a bus status; main prints "Command failed: <text>" (unless -S)
//              and exits with it;
//   CLI_USAGE  wrong arguments; main prints the usage text and exits 254;
//   other < 0  the command already printed its own failure line; main exits
//              with the value modulo 256.
#pragma once

struct ubus_context;

constexpr int CLI_USAGE = -2;

struct cli_opts {
    const char *socket = nullptr; // nullptr: the library's default socket
    int timeout = 30;             // seconds, -t; small enough to pass as ms
    bool timeout_given = false;   // listen runs unlimited unless -t was given
    bool simple = false;          // -S: compact output, no error messages
    bool verbose = false;         // -v: signatures in list
};

int cmd_list(ubus_context *ctx, const cli_opts &o, int argc, char **argv);
int cmd_call(ubus_context *ctx, const cli_opts &o, int argc, char **argv);
int cmd_listen(ubus_context *ctx, const cli_opts &o, int argc, char **argv);
int cmd_subscribe(ubus_context *ctx, const cli_opts &o, int argc, char **argv);
int cmd_send(ubus_context *ctx, const cli_opts &o, int argc, char **argv);
int cmd_wait_for(ubus_context *ctx, const cli_opts &o, int argc, char **argv);

// Fills a fresh message buffer (blob_buf_init'ed by the caller) from an
// optional JSON argument; false when the argument is not a JSON object.
struct blob_buf;
bool cli_message(blob_buf *buf, const char *json);
