#include "methods/reply.h"

#include <cstring>

#include "port/port.h"

namespace
{

// Memory a reply buffer keeps between replies; a sendat reply with a
// typical answer needs well under 1 KiB.
constexpr int REPLY_KEEP_MAX = 16 * 1024;

blob_buf shared_buffer;
bool shared_in_use;

} // namespace

reply_buf::reply_buf() : b(shared_in_use ? own_ : shared_buffer)
{
    if (&b == &shared_buffer)
        shared_in_use = true;
    blob_buf_init(&b, 0);
}

reply_buf::~reply_buf()
{
    if (&b != &shared_buffer) {
        blob_buf_free(&b);
        return;
    }
    shared_in_use = false;
    if (b.buflen > REPLY_KEEP_MAX)
        blob_buf_free(&b);
}

int add_string(blob_buf *b, const char *name, const std::string &text)
{
    return blobmsg_add_field(b, BLOBMSG_TYPE_STRING, name, text.c_str(), static_cast<unsigned int>(text.size() + 1));
}

const char *port_path_arg(blob_attr *attr)
{
    if (!attr)
        return nullptr;
    const char *path = blobmsg_get_string(attr);
    if (strlen(path) >= PORT_PATH_MAX)
        return nullptr;
    return path;
}

void add_error(blob_buf *b, const char *message)
{
    blobmsg_add_string(b, "status", "error");
    blobmsg_add_string(b, "message", message);
}

int reply_error(ubus_context *ctx, ubus_request_data *req, const char *message)
{
    reply_buf r;
    add_error(&r.b, message);
    r.send(ctx, req);
    return UBUS_STATUS_OK;
}
