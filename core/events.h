// The port engine's events on the bus: "tarnel.urc" for every unsolicited
// line, "tarnel.port" for every change of a port's state; the same tables
// go to the object's subscribers as notifications "urc" and "port".
#pragma once

#include "port/port.h"

void publish_event(const port_event &event);

// Callers inside the daemon that follow the ports' events (virtual ports,
// USSD answers) register here; each sees every event, on the event loop,
// also while the bus is away.
using event_observer = void (*)(const port_event &event);
void events_observe(event_observer observer);
void events_observed(const port_event &event);
