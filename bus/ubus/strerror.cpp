// Texts for the bus status codes.
#include "bus/ubus/ubus_internal.h"

#include <cstdio>

const char *ubus_strerror(int error)
{
    static const char *const texts[__UBUS_STATUS_LAST] = {
        "Success",
        "Invalid command",
        "Invalid argument",
        "Method not found",
        "Not found",
        "No response",
        "Permission denied",
        "Request timed out",
        "Operation not supported",
        "Unknown error",
        "Connection failed",
        "Out of memory",
        "Parsing message data failed",
        "System error",
    };
    // Per thread, so two threads formatting unknown codes do not collide.
    static thread_local char unknown[32];

    if (error >= 0 && error < __UBUS_STATUS_LAST)
        return texts[error];
    snprintf(unknown, sizeof(unknown), "Unknown error: %d", error);
    return unknown;
}
