// Monotonic time helpers for deadlines and intervals.
#include "port/port_internal.h"

timespec mono_now()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

int64_t mono_seconds()
{
    return mono_now().tv_sec;
}

uint32_t engine_seconds(const port_engine *engine)
{
    return static_cast<uint32_t>(mono_seconds() - engine->mono_origin);
}

int64_t mono_ms()
{
    return mono_ms_of(mono_now());
}

timespec mono_deadline(int64_t seconds)
{
    timespec deadline = mono_now();
    deadline.tv_sec += seconds;
    return deadline;
}

int64_t mono_ms_between(const timespec &start, const timespec &end)
{
    return (int64_t(end.tv_sec) - start.tv_sec) * 1000 + (end.tv_nsec - start.tv_nsec) / 1000000;
}

void cond_init_monotonic(pthread_cond_t *cond)
{
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
}
