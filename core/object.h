// The bus object "tarnel": one object, one type, six methods in the order
// open, sendat, list, close, share, unshare. Its subscribers also hear a heartbeat (alive.h).
#pragma once

#include "core/bus_api.h"

extern ubus_object tarnel_object;
