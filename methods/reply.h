// Helpers shared by the handlers: a reply buffer that lives exactly as long
// as its user, and the argument checks every method applies.
#pragma once

#include "core/bus_api.h"

struct reply_buf {
    blob_buf b{};
    reply_buf() { blob_buf_init(&b, 0); }
    ~reply_buf() { blob_buf_free(&b); }
    reply_buf(const reply_buf &) = delete;
    reply_buf &operator=(const reply_buf &) = delete;

    int send(ubus_context *ctx, ubus_request_data *req) { return ubus_send_reply(ctx, req, b.head); }
};

// The "at_port" string, or nullptr when it is absent or too long to be a
// record's key (a longer path would be truncated into another port's name).
const char *port_path_arg(blob_attr *attr);

// {"status": "error", "message": text}
void add_error(blob_buf *b, const char *message);
// Replies add_error's table at once and returns UBUS_STATUS_OK.
int reply_error(ubus_context *ctx, ubus_request_data *req, const char *message);
