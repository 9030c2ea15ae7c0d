// Helpers shared by the handlers: the reply buffer, and the argument checks
// every method applies.
#pragma once

#include <string>

#include "core/bus_api.h"

// A reply being built. Replies are built on the event-loop thread only, one
// after another, so they share one buffer whose memory is kept from one
// reply to the next (no allocation per reply); one that a large reply grew
// gives its memory back when that reply is done. Each reply starts empty.
// A reply begun while another is still being built gets a buffer of its own.
struct reply_buf {
private:
    blob_buf own_{}; // used only while the shared one is taken

public:
    reply_buf();
    ~reply_buf();
    reply_buf(const reply_buf &) = delete;
    reply_buf &operator=(const reply_buf &) = delete;

    int send(ubus_context *ctx, ubus_request_data *req) { return ubus_send_reply(ctx, req, b.head); }

    blob_buf &b;
};

// A string field whose length is known: the same bytes blobmsg_add_string
// writes, without measuring the text again. `text` holds no NUL byte.
int add_string(blob_buf *b, const char *name, const std::string &text);

// The "at_port" string, or nullptr when it is absent or too long to be a
// record's key (a longer path would be truncated into another port's name).
const char *port_path_arg(blob_attr *attr);

// {"status": "error", "message": text}
void add_error(blob_buf *b, const char *message);
// Replies add_error's table at once and returns UBUS_STATUS_OK.
int reply_error(ubus_context *ctx, ubus_request_data *req, const char *message);
