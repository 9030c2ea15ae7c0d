// Port engine: the registry of serial ports and, for each port, one thread
// that owns all of that port's I/O: its queue of operations, the writes, the
// reads, end-flag matching, deadlines and repairs.
//
// Callers (the bus methods) run on the event-loop thread and never wait for
// a modem: they queue an operation on a port with port_submit and get it back
// finished through the engine's outbox, together with the port's events
// (unsolicited lines, state changes). The outbox has a wake-up descriptor
// for the event loop to watch; port threads never call the bus.
//
// Lock order, never reversed:
//   open_lock -> registry_lock -> port.queue_lock / port.state_lock -> outbox.lock
// See docs/architecture.md for the road of one command.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <deque>
#include <string>
#include <vector>

constexpr int PORT_PATH_MAX = 64;       // 63 characters + NUL
constexpr int PORT_BUFFER_SIZE = 32768; // line buffer and capture area
constexpr int CAPTURE_MAX = 32766;      // bytes ever captured for one command
constexpr int END_FLAG_SLOTS = 5;
constexpr int END_FLAG_SIZE = 64;
constexpr int PORT_CHECK_INTERVAL = 30; // seconds between monitor examinations
constexpr int REGISTRY_MAX = 64;        // records the registry holds at most

constexpr int PORT_QUEUE_MAX = 32;           // pending operations of one port, the running one included
constexpr size_t PENDING_ARGS_MAX = 1 << 20; // bytes of queued arguments, all ports together
constexpr size_t COMMAND_MAX = 65536;        // longest command a reply can echo within the bus's limit
constexpr size_t PROMPT_DATA_MAX = 4096;     // text sent at a "> " prompt
constexpr size_t EVENT_LINE_MAX = 1023;      // an unsolicited line is published cut to this
constexpr int EVENT_BACKLOG_MAX = 64;        // lines of one port waiting to be published
constexpr int EVENTS_PER_SECOND_PORT = 100;
constexpr int EVENTS_PER_SECOND_ALL = 400;
constexpr int32_t TIMEOUT_MAX_S = 600;          // longest wait a "sendat" gets
constexpr size_t UNSOLICITED_PREFIXES_MAX = 32; // extra unsolicited-line prefixes of one port
constexpr size_t UNSOLICITED_PREFIX_MAX = 31;   // bytes of one such prefix
constexpr size_t INIT_COMMANDS_MAX = 16;        // init commands of one port
constexpr size_t INIT_COMMAND_MAX = 256;        // bytes of one

struct port_entry;
struct port_engine;

struct port_settings {
    int32_t baudrate, databits, parity, stopbits;
};
constexpr port_settings DEFAULT_SETTINGS = {115200, 8, 0, 1};

struct end_flag_list {
    char flags[END_FLAG_SLOTS][END_FLAG_SIZE];
    int32_t count;
    uint8_t codes[END_FLAG_SLOTS]; // the final result code a flag names (port/grammar.h), or none
    uint8_t text_flags;            // flags that name no code: matched by containment
};

enum port_op_kind { OP_OPEN, OP_CLOSE, OP_SENDAT, OP_BATCH };
enum at_outcome { AT_COMPLETED, AT_TIMED_OUT, AT_SEND_FAILED };

// One call queued on a port. The caller fills the arguments; the port's
// thread fills the results and hands it back through the outbox.
struct port_op {
    port_op_kind kind = OP_SENDAT;

    // OP_OPEN
    port_settings settings = DEFAULT_SETTINGS;
    // Lines starting with one of these are unsolicited on this port too; an
    // open without the list keeps the port's, an empty one clears it.
    bool has_unsolicited = false;
    std::vector<std::string> unsolicited;
    // Commands run after every open of the port and after the modem
    // restarted; the same rule: kept without the list, cleared by an empty one.
    bool has_init = false;
    std::vector<std::string> init;

    // OP_OPEN, OP_SENDAT: this call made the record. An open that fails
    // removes it again, a "sendat" when the path is no serial port.
    bool created = false;

    // OP_SENDAT
    std::string command;
    bool is_hex = false;
    bool send_only = false;
    int32_t timeout = 5;
    bool has_end_flag = false;
    std::string end_flag;
    bool has_data = false;
    std::string data; // written at the "> " prompt, followed by Ctrl-Z
    // Ends at any of the modem's final results (port/grammar.h), whatever
    // the end flags; matched_flag then holds the final result line.
    bool finals_only = false;
    // Collects in `answer` the command's own lines after its echo, through
    // its final result, each with its CR LF: no echo, no unsolicited line.
    bool wants_answer = false;

    // OP_BATCH: steps (OP_SENDAT) run one after another with no other
    // operation in between; the batch stops at the first step that does
    // not succeed (not completed, or send-only not written) unless
    // keep_going. Each step's results are in the step.
    std::vector<port_op> steps;
    bool keep_going = false;
    size_t steps_run = 0;
    port_op *parent = nullptr; // a step's batch

    // Results.
    bool ok = false;            // OP_OPEN opened, OP_CLOSE closed, send-only wrote everything
    bool remove_record = false; // the record is finished: the caller retires it
    at_outcome outcome = AT_SEND_FAILED;
    std::string response;   // captured bytes, NUL bytes left out
    bool truncated = false; // the answer outgrew CAPTURE_MAX: response holds its start
    char matched_flag[END_FLAG_SIZE] = {};
    int64_t elapsed_ms = 0;
    end_flag_list end_flags = {}; // the port's list after the call
    bool data_sent = false;
    std::string answer; // wants_answer

    uint32_t peer = 0;             // the bus client that asked: a prompt left open waits for its text
    const char *refusal = nullptr; // refused by the port, not written: why

    // Lines the port had published before this command was written: its
    // unsolicited answer (a USSD reply) is among the lines published after.
    uint64_t lines_before = 0;
    // Set by a caller that is no bus call (a virtual port, the engine's own
    // work): the event loop hands the finished operation to it.
    void (*finished)(port_op *op) = nullptr;

    port_entry *entry = nullptr; // the record it was queued on
    size_t arg_bytes = 0;        // charged against PENDING_ARGS_MAX while pending
    void *owner = nullptr;       // the caller's; the engine never looks at it
};

// Another process with a descriptor on a port's device: its commands and
// answers mix with the daemon's.
struct port_other_user {
    int32_t pid = 0;
    std::string comm;
};

// An event for the bus, made by a port's thread.
struct port_event {
    bool is_state = false; // else an unsolicited line
    std::string port;
    std::string line;        // unsolicited line without CR LF, at most EVENT_LINE_MAX bytes
    bool late = false;       // set aside as an earlier command's late answer
    uint32_t dropped = 0;    // lines of this port dropped since its last event
    int32_t is_open = 0;     // state events
    const char *reason = ""; // "open", "close", "vanished", "error", "reopen", "replaced", "init_failed", "other_user"
    uint64_t line_no = 0;    // lines: counts the port's published lines, from 1
    port_other_user other;   // "other_user": the process found
};

// What the outbox hands to the event loop: a finished operation or an event.
struct outbox_item {
    port_op *op = nullptr;
    port_event event;
    port_entry *backlog_of = nullptr; // a line counted in that port's backlog
};

// What "list" shows of one record.
struct port_snapshot {
    std::string path;
    bool is_open;
    int32_t fd;
    port_settings settings;
    uint32_t last_check; // wall clock seconds
    std::vector<std::string> unsolicited;
    std::string device;   // a port named by hardware, open: the node in use
    std::string hardware; // its identity, empty for none
    std::vector<std::string> init;
    // While open: the other processes found holding its device at the last
    // look (its open, and the pass every PORT_CHECK_INTERVAL seconds).
    std::vector<port_other_user> other_users;
};

// Engine life: create, start its monitor and hotplug watcher, serve, stop
// (every port thread ends its running command and starts nothing more),
// take what was left, destroy. nullptr when out of descriptors.
port_engine *port_engine_create();
void port_engine_stop(port_engine *engine);
bool port_engine_stopping(const port_engine *engine);
// After port_engine_stop: closes every device, all at the same time, each
// waiting at most drain_max_ms (capped at the usual 500) for output its line
// has not sent. Destroying the engine closes what is left the same way.
void port_engine_close_devices(port_engine *engine, int drain_max_ms);
void port_engine_destroy(port_engine *engine);
// The outbox's wake-up: an eventfd written each time the outbox goes from
// empty to holding something, and never read by the engine. Watch it
// edge-triggered (epoll's EPOLLET, ULOOP_EDGE_TRIGGER) and take everything
// at each wake-up; a level-triggered watcher reads it before taking.
int port_outbox_fd(port_engine *engine);
// Takes everything in the outbox, in the order it was put there, after what
// *items already holds. An empty *items keeps its storage for the engine,
// and gets the outbox's.
void port_outbox_take(port_engine *engine, std::deque<outbox_item> *items);

// Registry. Records are created and retired on the event-loop thread only.
port_entry *port_find(port_engine *engine, const char *path);
// nullptr when the registry is full or out of memory.
port_entry *port_create(port_engine *engine, const char *path);
// Unlinks and destroys a record; operations still queued on it are moved to
// *leftovers, in order, for the caller to place again.
void port_retire(port_entry *entry, std::deque<port_op *> *leftovers);
std::vector<port_snapshot> registry_snapshot(port_engine *engine);
int registry_count(port_engine *engine);
const char *port_path(const port_entry *entry);
// A port's name: an absolute path, or its hardware ("usb:VID:PID:IF",
// "usb:VID:PID:SERIAL:IF"). Any other name is refused.
bool port_name_valid(const char *name);
// Whether the name's node is there now (for hardware, a terminal of that
// interface under the engine's sysfs).
bool port_name_exists(port_engine *engine, const char *name);
// Whether the record's device is open now.
bool port_is_open(port_entry *entry);
// Devices no port may open (the daemon's own virtual ports): "open" fails,
// a "sendat" that would open one fails, as for a device that is no port.
void port_refuse_device(port_engine *engine, dev_t rdev, bool refused);

// Queues an operation. False (and nothing queued) when the port already has
// PORT_QUEUE_MAX pending or the engine's argument bytes would pass
// PENDING_ARGS_MAX.
bool port_submit(port_entry *entry, port_op *op);
// Whether arguments of this size would still fit, for callers that would
// otherwise make a record for nothing.
bool port_args_fit(port_engine *engine, size_t bytes);
// After port_engine_stop: every operation still queued, port by port.
void port_engine_leftovers(port_engine *engine, std::deque<port_op *> *leftovers);

// Monitor: a pass every 5 s asks each port whose 30 s interval is due to
// examine itself.
void port_monitor_start(port_engine *engine);
void port_monitor_stop(port_engine *engine);

// End flags.
void end_flags_set(end_flag_list *list, const char *spec);
const end_flag_list &default_end_flags();
// A flag naming a final result code ("OK", "ERROR", "+CME ERROR:", ...)
// matches only a line that is that final result; any other flag matches a
// line that contains it. The first flag of the list that matches wins.
bool end_flag_match(const end_flag_list *list, const char *line, char *matched);

// Decodes hex text; *length receives the decoded byte count. nullptr on bad input.
char *hex_decode(const char *text, size_t *length);
