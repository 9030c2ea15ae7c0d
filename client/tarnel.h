// The router's command-line client, /usr/bin/tarnel, on the libubus/libubox
// C API (the router's own libraries in a package, ours in development).
//
//   tarnel at [-s SOCKET] [-p PORT] [-t SECONDS] [-e FLAGS] [-r] [COMMAND...]
//     Runs each COMMAND (none given: each non-blank line of standard input)
//     with the object's "sendat", in order, and stops at the first that does
//     not end on OK or on a flag named with -e. Prints the answer's lines
//     between the echo and the final result, one per line, blank lines left
//     out (a line matching a flag of -e that is no final result code is
//     printed too); -r prints the answer exactly as the modem sent it.
//     Exit status, of the last command run:
//       0  success
//       1  the modem answered ERROR, +CME ERROR:, +CMS ERROR: (or NO CARRIER
//          without -e); that line goes to standard error
//       2  no end flag within -t seconds (default 5)
//       3  the bus, the daemon or the port failed (its message on standard
//          error), or no port was given and not exactly one is open
//     The bus call itself waits -t + 10 seconds. -p defaults to the only open
//     port. -s names the bus socket (default: the library's).
//
//   tarnel apply [-c FILE] [-s SOCKET]
//     Sets up the enabled "config port" sections of FILE (/etc/config/tarnel)
//     as the daemon's ports, doing only what changed since the last run, as
//     recorded in $TARNEL_STATE_DIR/applied (default /var/run/tarnel):
//     "open" for a new or changed port (settings, init, unsolicited) or one
//     the daemon no longer lists, "share"/"unshare" for its virtual ports,
//     "close" for a port the record names and the file no longer does (ports
//     other callers opened are left alone). One line per port on standard
//     output ("PORT: opened", "unchanged", "updated", "closed", "failed:
//     MESSAGE"); exit status 1 when a port failed or the file or the bus
//     could not be used, 0 otherwise.
#pragma once

extern "C" {
#include <libubus.h>
#include <libubox/blobmsg.h>
}

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "client/uci_file.h"

// The whole --help text.
const char *tarnel_help();
int tarnel_at(int argc, char **argv);
int tarnel_apply(int argc, char **argv);

// --- The bus ---

struct bus_link {
    ubus_context *ctx = nullptr;
    uint32_t tarnel = 0; // the object's id
};

// Connects (socket empty: the library's default) and looks up "tarnel".
bool bus_open(bus_link &link, const std::string &socket, std::string &error);
void bus_close(bus_link &link);

struct blob_free {
    void operator()(blob_attr *a) const { std::free(a); }
};
using blob_ptr = std::unique_ptr<blob_attr, blob_free>;

struct call_result {
    int status = UBUS_STATUS_NO_DATA; // the call's bus status
    blob_ptr reply;                   // its (last) reply, or null
};

call_result bus_call(bus_link &link, const char *method, blob_buf &args, int timeout_ms);

// Top-level fields of a reply; absent or of another type: "" / false.
std::string reply_string(blob_attr *msg, const char *name);
bool reply_int(blob_attr *msg, const char *name, int64_t &value);
// Empty when the call succeeded ("status": "success"); else the reply's
// message, or the bus status's text.
std::string call_failure(const call_result &r);

struct listed_port {
    std::string path;
    bool open = false;
};
bool bus_list(bus_link &link, std::vector<listed_port> &ports, std::string &error);

// --- Answers ---

// The comma-separated flags of an end_flag text, blanks around each dropped.
std::vector<std::string> split_end_flags(std::string_view text);
// Whether a line of the answer ends the command for this flag, as the daemon
// judges it (final result codes are whole lines, other flags are contained).
bool line_matches_flag(std::string_view line, std::string_view flag);
bool is_final_result_code(std::string_view flag);
// The lines of response after command's echo and before the line that
// matched the flag `matched`, blank lines dropped. include_final: that line
// too (a flag of the caller's that is information, such as READY).
std::vector<std::string> answer_lines(std::string_view response, std::string_view command, std::string_view matched,
                                      bool include_final, std::string *final_line = nullptr);

// --- The record of what "tarnel apply" set up ---

struct applied_port {
    std::string device;              // as the configuration names it
    std::string at_port;             // the path opened
    std::string open_digest;         // settings, init and unsolicited; "-": not applied
    std::string share_digest;        // share list and group; "-": not all applied
    std::vector<std::string> shares; // virtual ports made
};

std::string open_digest(const port_config &p);
std::string share_digest(const std::vector<std::string> &names, const std::string &group);

// A missing file is an empty record. Lines that do not parse are skipped.
bool applied_read(const std::string &path, std::vector<applied_port> &ports, std::string &error);
// Into dir/applied through a temporary file and a rename; dir made 0755.
bool applied_write(const std::string &dir, const std::vector<applied_port> &ports, std::string &error);
