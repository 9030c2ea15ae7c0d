// The one place the daemon includes the bus libraries. The router's own
// libubox headers carry no extern "C" guard, so they are wrapped here; the
// same sources then build against our in-tree libraries and the system ones.
#pragma once

extern "C" {
#include <libubus.h>
#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
}
