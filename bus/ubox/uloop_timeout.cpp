/*
 * uloop_timeout.cpp - one-shot timers on CLOCK_MONOTONIC.
 *
 * Pending timers sit on one list sorted by deadline; equal deadlines keep
 * arming order.
 */
#include <climits>
#include <ctime>

#include "uloop_internal.h"

static struct list_head timeouts = LIST_HEAD_INIT(timeouts);

static struct timeval monotonic_now(void)
{
    struct timespec ts;
    struct timeval tv;

    clock_gettime(CLOCK_MONOTONIC, &ts);
    tv.tv_sec = ts.tv_sec;
    tv.tv_usec = ts.tv_nsec / 1000;
    return tv;
}

static int64_t usec_between(const struct timeval *from, const struct timeval *to)
{
    return (int64_t)(to->tv_sec - from->tv_sec) * 1000000 + (to->tv_usec - from->tv_usec);
}

static struct uloop_timeout *timeout_of(struct list_head *pos)
{
    return container_of(pos, struct uloop_timeout, list);
}

int uloop_timeout_add(struct uloop_timeout *timeout)
{
    struct list_head *pos;

    if (timeout->pending)
        return -1;

    list_for_each(pos, &timeouts)
    {
        if (usec_between(&timeout->time, &timeout_of(pos)->time) > 0)
            break;
    }
    list_add_tail(&timeout->list, pos);
    timeout->pending = true;
    return 0;
}

int uloop_timeout_set(struct uloop_timeout *timeout, int msecs)
{
    struct timeval *tv = &timeout->time;

    if (timeout->pending)
        uloop_timeout_cancel(timeout);

    *tv = monotonic_now();
    tv->tv_sec += msecs / 1000;
    tv->tv_usec += (msecs % 1000) * 1000;
    if (tv->tv_usec >= 1000000) {
        tv->tv_sec++;
        tv->tv_usec -= 1000000;
    } else if (tv->tv_usec < 0) {
        tv->tv_sec--;
        tv->tv_usec += 1000000;
    }
    return uloop_timeout_add(timeout);
}

int uloop_timeout_cancel(struct uloop_timeout *timeout)
{
    if (!timeout->pending)
        return -1;
    list_del(&timeout->list);
    timeout->pending = false;
    return 0;
}

/* An overdue timer has 0 ms left, not a negative amount that reads as -1. */
int64_t uloop_timeout_remaining64(struct uloop_timeout *timeout)
{
    struct timeval now;
    int64_t usec;

    if (!timeout->pending)
        return -1;
    now = monotonic_now();
    usec = usec_between(&now, &timeout->time);
    return usec > 0 ? usec / 1000 : 0;
}

int uloop_next_timeout_ms(void)
{
    struct timeval now;
    int64_t usec;

    if (list_empty(&timeouts))
        return -1;
    now = monotonic_now();
    usec = usec_between(&now, &timeout_of(timeouts.next)->time);
    if (usec <= 0)
        return 0;
    /* Rounding down would wake a fraction early and spin until due. */
    return usec / 1000 >= INT_MAX ? INT_MAX : (int)((usec + 999) / 1000);
}

/*
 * Due timers are first moved to a private list, so a callback re-arming
 * with 0 ms lands on the main list and waits for the next pass instead of
 * running again here. Cancelling a timer still on the private list works
 * as usual: list_del does not care which list it is on.
 */
void uloop_process_timeouts(void)
{
    struct timeval now;
    struct list_head due = LIST_HEAD_INIT(due);

    if (list_empty(&timeouts))
        return;
    now = monotonic_now();
    while (!list_empty(&timeouts)) {
        struct uloop_timeout *t = timeout_of(timeouts.next);

        if (usec_between(&now, &t->time) > 0)
            break;
        list_move_tail(&t->list, &due);
    }

    while (!list_empty(&due)) {
        struct uloop_timeout *t = timeout_of(due.next);

        list_del(&t->list);
        t->pending = false;
        if (t->cb)
            t->cb(t);
    }
}

void uloop_clear_timeouts(void)
{
    while (!list_empty(&timeouts))
        uloop_timeout_cancel(timeout_of(timeouts.next));
}
