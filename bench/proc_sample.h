// What /proc says about another process at one moment: its CPU time, the
// voluntary context switches of all its threads, and its resident set.
// Differences of two samples give the idle cost over the time between them.
#pragma once

#include <sys/types.h>

#include <cstdint>

struct proc_sample {
    bool ok = false;
    int64_t cpu_ticks = 0; // utime + stime from /proc/PID/stat
    int64_t cpu_ns = -1;   // the process CPU clock, -1 when unreadable
    int64_t voluntary = 0; // summed over /proc/PID/task/*/status
    int threads = 0;
    int64_t rss_kib = 0;  // VmRSS
    int64_t taken_ns = 0; // CLOCK_MONOTONIC when sampled
};

proc_sample proc_take(pid_t pid);

struct proc_delta {
    double seconds = 0;
    double cpu_ms_ticks = 0; // at clock-tick resolution
    double cpu_ms = -1;      // at nanosecond resolution, -1 when unknown
    double wakeups_per_s = 0;
};

proc_delta proc_diff(const proc_sample &before, const proc_sample &after);

// A field of /proc/PID/status in KiB ("VmRSS", "VmHWM"); -1 when absent.
int64_t proc_status_kib(pid_t pid, const char *field);
// Restarts the peak resident set (VmHWM) from the current one, so a peak
// can be taken over one stretch of time. False when the kernel refused.
bool proc_peak_reset(pid_t pid);
