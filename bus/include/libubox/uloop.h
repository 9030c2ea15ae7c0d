/*
 * uloop.h - single-threaded event loop: file descriptors, one-shot timers
 * and SIGINT/SIGTERM as a clean way out of uloop_run().
 *
 * uloop_init() must run first (libubus' connect does it). All calls belong
 * to the thread that runs the loop. Callbacks may add or delete any fd or
 * timer, themselves included. Timers use CLOCK_MONOTONIC.
 *
 * A run ends on uloop_end() (forgotten when the next run starts) or on
 * SIGINT/SIGTERM, returning the signal number; a signal that arrives while
 * no run is active ends the next run at once instead of being lost.
 */
#ifndef __LIBUBOX_ULOOP_H
#define __LIBUBOX_ULOOP_H

#include <sys/time.h>
#include <sys/types.h>
#include <stdbool.h>
#include <stdint.h>
#include <signal.h>
#include "list.h"

#ifdef __cplusplus
extern "C" {
#endif

struct uloop_fd;
struct uloop_timeout;

typedef void (*uloop_fd_handler)(struct uloop_fd *u, unsigned int events);
typedef void (*uloop_timeout_handler)(struct uloop_timeout *t);

#define ULOOP_READ (1 << 0)
#define ULOOP_WRITE (1 << 1)
#define ULOOP_EDGE_TRIGGER (1 << 2)
#define ULOOP_BLOCKING (1 << 3)

#define ULOOP_EVENT_MASK (ULOOP_READ | ULOOP_WRITE)

/* internal flags */
#define ULOOP_EVENT_BUFFERED (1 << 4)
#define ULOOP_ERROR_CB (1 << 6)

struct uloop_fd {
    uloop_fd_handler cb;
    int fd;
    bool eof;
    bool error;
    bool registered;
    uint8_t flags;
};

struct uloop_timeout {
    struct list_head list;
    bool pending;

    uloop_timeout_handler cb;
    struct timeval time;
};

extern bool uloop_cancelled;

int uloop_fd_add(struct uloop_fd *sock, unsigned int flags);
int uloop_fd_delete(struct uloop_fd *sock);

int uloop_timeout_add(struct uloop_timeout *timeout);
int uloop_timeout_set(struct uloop_timeout *timeout, int msecs);
int uloop_timeout_cancel(struct uloop_timeout *timeout);
int uloop_timeout_remaining(struct uloop_timeout *timeout) __attribute__((deprecated));
int64_t uloop_timeout_remaining64(struct uloop_timeout *timeout);

bool uloop_cancelling(void);

static inline void uloop_end(void)
{
    uloop_cancelled = true;
}

int uloop_init(void);
int uloop_run_timeout(int timeout);
static inline int uloop_run(void)
{
    return uloop_run_timeout(-1);
}
void uloop_done(void);

#ifdef __cplusplus
}
#endif

#endif
