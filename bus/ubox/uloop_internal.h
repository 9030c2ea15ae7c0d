/*
 * uloop_internal.h - what the loop core needs from the timer list.
 */
#ifndef TARNEL_UBOX_ULOOP_INTERNAL_H
#define TARNEL_UBOX_ULOOP_INTERNAL_H

#include <libubox/uloop.h>

/* Fire every timer that is due now; timers armed meanwhile wait a pass. */
void uloop_process_timeouts(void);
/* Milliseconds until the earliest timer (rounded up), -1 if none. */
int uloop_next_timeout_ms(void);
void uloop_clear_timeouts(void);

#endif
