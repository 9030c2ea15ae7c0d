// Shared pieces of the broker's message handlers (not a public interface).
#pragma once

#include "tools/busd/busd.h"
#include "tools/busd/frame.h"

extern "C" {
#include <libubox/blob.h>
#include <libubox/blobmsg.h>
#include <ubusmsg.h>
}

namespace busd
{

// Handler result meaning "the message went on to another client": the
// broker then sends no STATUS of its own.
constexpr int kForwarded = -1;

// One received message, already split and indexed.
struct Msg {
    uint32_t from;
    Header hdr;
    const uint8_t *body;
    size_t body_len;
    MsgAttrs a;
};

// A message body under construction (root id 0), freed on scope exit.
struct Body {
    blob_buf b = {};
    Body() { blob_buf_init(&b, 0); }
    ~Body() { blob_buf_free(&b); }
    Body(const Body &) = delete;
    Body &operator=(const Body &) = delete;
    const uint8_t *data() const { return reinterpret_cast<const uint8_t *>(b.head); }
    size_t len() const { return blob_raw_len(b.head); }
};

// Queues one frame for a client. False when the client is gone or its
// queue is over the limit (the frame is then dropped).
bool queue_frame(Busd &b, uint32_t to, uint8_t version, uint8_t type, uint16_t seq, uint32_t peer, const uint8_t *body,
                 size_t body_len);
bool queue_body(Busd &b, uint32_t to, uint8_t type, uint16_t seq, uint32_t peer, const Body &body);

// The STATUS a call's caller gets when the object's owner cannot answer:
// it looks exactly like one the owner sent itself.
void fail_call(Busd &b, uint32_t caller, uint16_t seq, uint32_t object, int status);

// Passes an INVOKE (or a notification) on to `object`'s owner, with the
// caller's user and group. Unless `no_reply`, the call is remembered until
// the owner's STATUS, and fails at once if the owner's queue is full.
void forward_call(Busd &b, const Msg &m, uint32_t object, uint32_t owner, bool no_reply);

// Removes an object with everything hanging on it. Returns the id of its
// type when that type went away with it, else 0.
uint32_t object_remove(Busd &b, uint32_t object);

// Delivers an event to every matching listener not owned by `sender`
// (0 for the broker's own events). `data` is the event table's content.
void event_deliver(Busd &b, uint32_t sender, const char *name, const uint8_t *data, size_t len);
void event_object(Busd &b, const char *name, uint32_t object, const std::string &path);

int handle_add_object(Busd &b, const Msg &m);
int handle_remove_object(Busd &b, const Msg &m);
int handle_lookup(Busd &b, const Msg &m);
int handle_invoke(Busd &b, const Msg &m);
int handle_response(Busd &b, const Msg &m);
int handle_event_call(Busd &b, const Msg &m);
int handle_subscribe(Busd &b, const Msg &m);
int handle_unsubscribe(Busd &b, const Msg &m);
int handle_notify(Busd &b, const Msg &m);

// Drops the subscriptions of an object that is going away (given as its
// already detached record): its subscribers are told, and targets left
// without subscribers go inactive.
void subscriptions_drop(Busd &b, uint32_t object, const Object &o);

} // namespace busd
