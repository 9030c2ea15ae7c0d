// Private contract between the files of the bus client library.
//
// Each file uses only those listed before it:
//   wire.cpp     frames: sends one message, assembles incoming frames from
//                the non-blocking socket, indexes their checked attributes;
//   request.cpp  outgoing requests: sequence numbers, pairing answers with
//                requests (a notification's too), synchronous waits;
//   object.cpp   local objects: registration and serving incoming calls;
//   event.cpp,   events, notifications and subscriptions, built from the
//   notify.cpp   two above;
//   connect.cpp  the connection: connect and reconnect, the socket callback
//                that reads and dispatches frames, calls queued during a
//                synchronous wait, connection loss.
// A synchronous wait in request.cpp reads through ctx->sock.cb, the
// callback connect.cpp installed, so no file calls one listed after it.
#pragma once

#include <libubus.h>

#define UBUS_UNIX_SOCKET "/var/run/ubus/ubus.sock"
#define UBUS_MAX_MSGLEN 1048576

// One received message. tb[] holds only attributes that passed their type
// check (nested ones including their whole blobmsg tree). fd is a passed
// descriptor or -1: whoever keeps it sets the field to -1, the rest is closed.
struct ubus_msg_in {
    struct ubus_msghdr hdr; // host byte order
    struct blob_attr *body;
    uint32_t body_cap; // size of the receive buffer, 0 if not ours
    struct blob_attr *tb[UBUS_ATTR_MAX];
    int fd;
};

enum ubus_rx_result { UBUS_RX_FRAME, UBUS_RX_AGAIN, UBUS_RX_LOST };

// wire.cpp
struct blob_buf *ubus_msg_builder(void);
bool ubus_put_data(struct blob_buf *b, int id, const struct blob_attr *msg);
int ubus_send_msg(struct ubus_context *ctx, uint16_t seq, struct blob_attr *body, int type, uint32_t peer, int fd);
// A 32-bit attribute as it goes on the wire: header word and value.
void ubus_u32_attr(uint32_t out[2], int id, uint32_t value);
// Sends a body made of attrs (whole attributes, attrs_len bytes) and, with
// data_id > 0, an attribute data_id holding the children of msg (none for
// NULL), written straight from msg. Statuses as for ubus_send_msg.
int ubus_send_attrs(struct ubus_context *ctx, uint16_t seq, int type, uint32_t peer, const uint32_t *attrs,
                    size_t attrs_len, int data_id, const struct blob_attr *msg, int fd);
enum ubus_rx_result ubus_rx_frame(struct ubus_context *ctx);
void ubus_rx_take(struct ubus_context *ctx, struct ubus_msg_in *msg);
void ubus_rx_recycle(struct ubus_context *ctx, struct ubus_msg_in *msg);
void ubus_rx_reset(struct ubus_context *ctx);
void ubus_parse_attrs(struct blob_attr *body, struct blob_attr **tb);
void ubus_close_fd(int *fd);

// request.cpp
int ubus_start_request(struct ubus_context *ctx, struct ubus_request *req, struct blob_attr *body, int type,
                       uint32_t peer, int fd);
void ubus_request_done(struct ubus_request *req, int status);
void ubus_process_reply(struct ubus_context *ctx, struct ubus_msg_in *msg);
int ubus_sync_request(struct ubus_context *ctx, struct blob_attr *body, int type, uint32_t peer,
                      ubus_data_handler_t raw_cb, void *priv);

// A notification that waits for its subscribers' answers. The broker's
// first answer lists them; request.cpp then counts their own answers.
struct ubus_notify_request {
    struct ubus_request req; // first: found through its request
    bool listed;
    int n_peers;
    uint32_t peers[UBUS_MAX_NOTIFY_PEERS];
};

// object.cpp
// The one method of every subscriber object, which also marks it as one.
extern const struct ubus_method ubus_subscriber_method;
void ubus_process_obj_msg(struct ubus_context *ctx, struct ubus_msg_in *msg);
// Registers every object of ctx with a new broker; 0 or the first failure.
int ubus_add_objects_again(struct ubus_context *ctx);
