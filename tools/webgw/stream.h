// One notification stream as the router's web server writes it: the
// object's notifications as server-sent events and nothing else (no
// keep-alive comments). After each notification written the server's
// network timeout is armed: when it runs out before the next one, the
// subscription is dropped while the stream stays open, silent, until the
// reader leaves. A page cannot tell that from a quiet modem except by the
// object's own heartbeat.
#pragma once

#include <httplib.h>

#include <chrono>
#include <memory>

#include "tools/webgw/bus_link.h"

// Answers req with stream until the reader leaves, the stream ends or the
// server stops.
void stream_serve(bus_link *bus, const std::shared_ptr<notification_stream> &stream, const httplib::Request &req,
                  httplib::Response &res, std::chrono::milliseconds network_timeout);
