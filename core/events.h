// The port engine's events on the bus: "tarnel.urc" for every unsolicited
// line, "tarnel.port" for every change of a port's state; the same tables
// go to the object's subscribers as notifications "urc" and "port".
#pragma once

#include "port/port.h"

void publish_event(const port_event &event);
