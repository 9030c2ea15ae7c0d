// Helpers shared by the handlers: the reply buffer, and the argument checks
// every method applies.
#pragma once

#include <stdint.h>

#include <cstring>
#include <string>
#include <string_view>

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

// Fields laid out exactly as blobmsg_add_* lays them out, in a scratch area
// kept between replies, then put into the reply with one call: the replies
// sent most often cost a fraction of the work of a call per field. One
// batch at a time (the event-loop thread builds one reply at a time).
// Names are string literals: their bytes are copied as constants.
struct field_batch {
    field_batch(); // aborts while another batch is open
    ~field_batch();
    field_batch(const field_batch &) = delete;
    field_batch &operator=(const field_batch &) = delete;

    // `text` holds no NUL byte.
    template <size_t N>
    void string(const char (&name)[N], std::string_view text)
    {
        char *payload = named<N>(BLOBMSG_TYPE_STRING, name, text.size() + 1);
        memcpy(payload, text.data(), text.size());
        payload[text.size()] = '\0';
    }
    // Returns where the value lies among the fields, for patch_u32.
    template <size_t N>
    size_t u32(const char (&name)[N], uint32_t value)
    {
        value = cpu_to_be32(value);
        char *at = named<N>(BLOBMSG_TYPE_INT32, name, sizeof value);
        memcpy(at, &value, sizeof value);
        return offset_of(at);
    }
    template <size_t N>
    void boolean(const char (&name)[N], bool value)
    {
        *named<N>(BLOBMSG_TYPE_BOOL, name, 1) = value ? 1 : 0;
    }
    // An array of strings: array_open, strings named "", array_close.
    template <size_t N>
    size_t array_open(const char (&name)[N])
    {
        named<N>(BLOBMSG_TYPE_ARRAY, name, 0);
        return last_;
    }
    void array_close(size_t at);
    // Attributes already laid out; returns where they start among the fields.
    size_t raw(const void *attrs, size_t length);
    // Four bytes of a value, big-endian, at an offset among the fields.
    void patch_u32(size_t at, uint32_t value);
    // Appends the batch to the reply; false when it could not grow.
    bool put(blob_buf *b);
    // The fields as a table of their own, to send as a reply; valid until
    // the next field is added.
    blob_attr *table();
    // The bytes laid out so far.
    std::string_view bytes() const;

private:
    size_t last_ = 0; // where the last field starts among the fields
    size_t offset_of(const char *at) const;
    // A field's header and padding; returns the field's start, where its
    // name (of the length given) goes 6 bytes in.
    char *field(int type, size_t name_length, size_t payload);
    template <size_t N>
    char *named(int type, const char (&name)[N], size_t payload)
    {
        char *attr = field(type, N - 1, payload);
        memcpy(attr + sizeof(blob_attr) + sizeof(uint16_t), name, N - 1);
        return attr + sizeof(blob_attr) + blobmsg_hdrlen(N - 1);
    }
};

// The "at_port" string, or nullptr when it is absent or too long to be a
// record's key (a longer path would be truncated into another port's name).
const char *port_path_arg(blob_attr *attr);

// {"status": "error", "message": text}
void add_error(blob_buf *b, const char *message);
// Replies add_error's table at once and returns UBUS_STATUS_OK.
int reply_error(ubus_context *ctx, ubus_request_data *req, const char *message);
