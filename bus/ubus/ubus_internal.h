// Private contract between the files of the bus client library.
//
// wire.cpp moves frames: it sends one message, assembles incoming frames
// from the non-blocking socket and indexes their attributes after checking
// them. connect.cpp owns the connection, the read loop, the queue of calls
// deferred during synchronous waits and connection loss. request.cpp
// matches replies to outgoing requests; object.cpp serves calls to local
// objects; event.cpp and notify.cpp build on both.
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
enum ubus_rx_result ubus_rx_frame(struct ubus_context *ctx);
void ubus_rx_take(struct ubus_context *ctx, struct ubus_msg_in *msg);
void ubus_rx_recycle(struct ubus_context *ctx, struct ubus_msg_in *msg);
void ubus_rx_reset(struct ubus_context *ctx);
void ubus_parse_attrs(struct blob_attr *body, struct blob_attr **tb);
void ubus_close_fd(int *fd);

// connect.cpp
void ubus_read_socket(struct ubus_context *ctx);

// request.cpp
int ubus_start_request(struct ubus_context *ctx, struct ubus_request *req, struct blob_attr *body, int type,
                       uint32_t peer, int fd);
void ubus_request_done(struct ubus_request *req, int status);
void ubus_process_reply(struct ubus_context *ctx, struct ubus_msg_in *msg);
int ubus_sync_request(struct ubus_context *ctx, struct blob_attr *body, int type, uint32_t peer,
                      ubus_data_handler_t raw_cb, void *priv);

// object.cpp
void ubus_process_obj_msg(struct ubus_context *ctx, struct ubus_msg_in *msg);

// notify.cpp
bool ubus_notify_peer_match(struct ubus_request *req, uint32_t peer);
void ubus_notify_status(struct ubus_request *req, struct ubus_msg_in *msg);
