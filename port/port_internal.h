// Helpers shared by the port engine's sources; not for callers outside port/.
// The *_locked operations expect the caller to hold the record's state_lock.
#pragma once

#include <pthread.h>
#include <termios.h>
#include <time.h>

#include <cstdint>

#include "port/port.h"

constexpr int32_t DEFAULT_BAUDRATE = 115200;
constexpr int32_t DEFAULT_DATABITS = 8;
constexpr int32_t DEFAULT_PARITY = 0;
constexpr int32_t DEFAULT_STOPBITS = 1;

int port_open_locked(port_entry *entry, int32_t baudrate, int32_t databits, int32_t parity, int32_t stopbits);
void port_release_locked(port_entry *entry);
// Applies the requested framing and raw mode to attributes read from the
// device; every flag not named keeps its value.
void line_attributes(termios *tio, int32_t baudrate, int32_t databits, int32_t parity, int32_t stopbits);

// Everything the reader does with one chunk read from the device: capture
// it for a waiting command, then cut lines and match end flags. Takes
// line_lock and capture_lock itself.
void port_process_chunk(port_entry *entry, const char *chunk, int n);

// Monotonic clock: immune to wall-clock steps, so waits neither end early
// nor stretch when the router's time is set.
timespec mono_now();
int64_t mono_seconds();
timespec mono_deadline(int64_t seconds);
int64_t mono_ms_between(const timespec &start, const timespec &end);
void cond_init_monotonic(pthread_cond_t *cond);

// Asks the monitor for a pass now instead of at the end of its pause.
void port_monitor_wake();

struct mutex_guard {
    pthread_mutex_t *mutex;
    explicit mutex_guard(pthread_mutex_t *m) : mutex(m) { pthread_mutex_lock(mutex); }
    ~mutex_guard() { pthread_mutex_unlock(mutex); }
    mutex_guard(const mutex_guard &) = delete;
    mutex_guard &operator=(const mutex_guard &) = delete;
};
