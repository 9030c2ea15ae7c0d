// The object's heartbeat for its subscribers: while "tarnel" has any, a
// notification "alive" ({"ports": N}, the ports known) goes out every 20
// seconds, so that a follower (a web page behind the router's web server)
// can tell a quiet modem from a stream that died. Nothing is sent without
// subscribers, and it is no bus event. Runs on the event-loop thread.
#pragma once

#include "core/bus_api.h"

// The object's subscribe_cb: arms the heartbeat when the first subscriber
// comes, stops it when the last one goes.
void alive_subscribers_changed(ubus_context *ctx, ubus_object *obj);
