// Port engine: the record of one serial port, the registry that owns the
// records, line setup, the reader thread, end flags, the command transaction
// and the health monitor.
//
// Threads: the main thread runs bus handlers (and so every transaction), one
// reader per open port, one monitor. Lock order, never reversed:
//   registry_lock -> port.state_lock -> port.write_lock / port.line_lock -> port.capture_lock
// The reader takes only line_lock and capture_lock.
#pragma once

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdint>

constexpr int PORT_PATH_MAX = 64;       // 63 characters + NUL
constexpr int PORT_BUFFER_SIZE = 32768; // line buffer and capture area
constexpr int CAPTURE_MAX = 32766;      // bytes ever captured for one command
constexpr int END_FLAG_SLOTS = 5;
constexpr int END_FLAG_SIZE = 64;
constexpr int PORT_CHECK_INTERVAL = 30; // seconds between monitor examinations
constexpr int REGISTRY_MAX = 64;        // records the registry holds at most

struct at_response {
    char data[PORT_BUFFER_SIZE];
    int32_t length;
    int32_t status; // 0 completed, -1 timed out or not sent
    char matched_flag[END_FLAG_SIZE];
    timespec start;     // CLOCK_REALTIME
    timespec end;       // CLOCK_REALTIME
    int64_t elapsed_ms; // measured on the monotonic clock
};

struct port_entry {
    char path[PORT_PATH_MAX];
    std::atomic<int32_t> fd;
    int32_t baudrate, databits, parity, stopbits;
    pthread_t reader;
    bool has_reader;

    // Serialises open, close and writes of this port between the main thread
    // and the monitor, so no thread uses a descriptor another one is closing.
    pthread_mutex_t state_lock;

    pthread_mutex_t line_lock;
    pthread_mutex_t write_lock;
    char line_buffer[PORT_BUFFER_SIZE];
    int32_t line_length;

    at_response capture;
    pthread_mutex_t capture_lock;
    pthread_cond_t capture_cond; // monotonic clock
    int32_t waiting;

    char end_flags[END_FLAG_SLOTS][END_FLAG_SIZE];
    int32_t end_flag_count;

    std::atomic<int32_t> is_open;
    std::atomic<int32_t> stop_reader;
    int wake_fd; // eventfd that interrupts the reader's poll

    int64_t last_check;      // wall clock seconds, reported by "list"
    int64_t last_check_mono; // monotonic seconds, drives the interval
    int32_t check_interval;

    port_entry *next;
};

// Registry (lives in g_daemon). registry_init/registry_shutdown bracket its use.
void registry_init();
void registry_destroy_all(); // port_destroy on every record, head first
void registry_shutdown();
port_entry *port_find(const char *path);
port_entry *port_create(const char *path); // nullptr when out of memory or full
void port_destroy(port_entry *entry);
int registry_count();

// Line setup.
int port_open(port_entry *entry, int32_t baudrate, int32_t databits, int32_t parity, int32_t stopbits);
void port_close(port_entry *entry);

// Reader thread body.
void *port_reader_main(void *entry);

// End flags.
void end_flags_set(port_entry *entry, const char *spec);
bool end_flag_match(port_entry *entry, const char *line, char *matched);

// Transaction.
enum at_outcome { AT_COMPLETED = 0, AT_TIMED_OUT = 1, AT_SEND_FAILED = 2 };
at_outcome at_transact(port_entry *entry, const char *command, int32_t timeout_seconds, const char *end_flag_spec,
                       bool is_hex, at_response *result);
int at_send_only(port_entry *entry, const char *command, bool is_hex);
// Decodes hex text; *length receives the decoded byte count. nullptr on bad input.
char *hex_decode(const char *text, size_t *length);

// Monitor.
void port_monitor_start();
void port_monitor_stop();
void *port_monitor_main(void *);
void port_check(port_entry *entry);
