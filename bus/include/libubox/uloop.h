/*
 * uloop.h: the single-threaded event loop that drives a bus client:
 * descriptors, one-shot timers, and SIGINT/SIGTERM as a clean way out.
 *
 * Call uloop_init() first (connecting to the bus does it too) and use
 * everything from the thread that runs the loop. A callback may add or
 * remove any descriptor or timer, its own included.
 *
 * A descriptor that reports a hang-up or an error is taken out of the loop
 * before its callback runs (registered is false there, error is true): the
 * callback sees the failure once, and a dead descriptor cannot keep waking
 * the loop.
 *
 * uloop_run() returns after uloop_end() (forgotten by the next run) or a
 * SIGINT/SIGTERM, whose number it then returns. A signal that comes while
 * no run is active ends the next run at once rather than being lost.
 */
#ifndef TARNEL_LIBUBOX_ULOOP_H
#define TARNEL_LIBUBOX_ULOOP_H

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

/* `events`: the ULOOP_READ / ULOOP_WRITE readiness seen. */
typedef void (*uloop_fd_handler)(struct uloop_fd *u, unsigned int events);
typedef void (*uloop_timeout_handler)(struct uloop_timeout *t);

/* uloop_fd_add() flags. */
#define ULOOP_READ 0x01
#define ULOOP_WRITE 0x02
#define ULOOP_EDGE_TRIGGER 0x04 /* called once per new readiness: drain the fd */
#define ULOOP_BLOCKING 0x08     /* leave the fd's O_NONBLOCK alone */
#define ULOOP_EVENT_MASK (ULOOP_READ | ULOOP_WRITE)

struct uloop_fd {
    uloop_fd_handler cb;
    int fd;
    bool eof;   /* the peer shut down its sending side */
    bool error; /* hang-up or error; the fd is out of the loop */
    bool registered;
    uint8_t flags;
};

struct uloop_timeout {
    struct list_head list;
    bool pending; /* armed; already false while the callback runs */
    uloop_timeout_handler cb;
    struct timeval time; /* deadline, CLOCK_MONOTONIC */
};

/* Set by uloop_end() and by the signals; cleared when a run starts. */
extern bool uloop_cancelled;

int uloop_init(void);
void uloop_done(void);

/* timeout < 0: until ended; otherwise one pass waiting at most timeout ms. */
int uloop_run_timeout(int timeout);

static inline int uloop_run(void)
{
    return uloop_run_timeout(-1);
}

static inline void uloop_end(void)
{
    uloop_cancelled = true;
}

/* True inside a run that has been ended but not yet returned. */
bool uloop_cancelling(void);

/* Registers or updates; flags without READ and WRITE unregister. */
int uloop_fd_add(struct uloop_fd *sock, unsigned int flags);
int uloop_fd_delete(struct uloop_fd *sock);

/* Arms at now + msecs, re-arming a pending timer. */
int uloop_timeout_set(struct uloop_timeout *timeout, int msecs);
/* Arms at the deadline already in timeout->time; -1 if pending. */
int uloop_timeout_add(struct uloop_timeout *timeout);
/* -1 if not pending. */
int uloop_timeout_cancel(struct uloop_timeout *timeout);
/* Milliseconds left, -1 if not pending. */
int64_t uloop_timeout_remaining64(struct uloop_timeout *timeout);

#ifdef __cplusplus
}
#endif

#endif
