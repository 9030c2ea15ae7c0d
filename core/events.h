// The port engine's events on the bus: "tarnel.urc" for every unsolicited
// line, "tarnel.port" for every change of a port's state.
#pragma once

#include "port/port.h"

void publish_event(const port_event &event);
