#include "methods/reply.h"

#include <algorithm>
#include <cstdlib>
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

namespace
{

// The batch's bytes: one area kept between replies (within BATCH_KEEP_MAX).
// It starts with room for the header of a table holding the fields, so the
// fields can go out as a message of their own without being copied.
constexpr size_t TABLE_HEADER = sizeof(blob_attr);
struct {
    char *data = nullptr;
    size_t size = 0, capacity = 0;
    bool open = false; // a second batch would overwrite the first one's bytes
} batch;
constexpr size_t BATCH_KEEP_MAX = 16 * 1024;

} // namespace

// Room for `more` bytes behind the batch's. Rare once the area is kept, so
// kept out of line: inlined, it would make every field pay for saving the
// registers a realloc needs.
[[gnu::noinline]] static void grow(size_t more)
{
    size_t capacity = std::max({batch.capacity * 2, batch.size + more, size_t(1024)});
    char *data = static_cast<char *>(realloc(batch.data, capacity));
    if (!data)
        abort(); // as a std::string does when memory runs out
    batch.data = data;
    batch.capacity = capacity;
}

// `more` bytes at the end of the batch, which may move.
static char *take(size_t more)
{
    if (batch.size + more > batch.capacity)
        grow(more);
    char *at = batch.data + batch.size;
    batch.size += more;
    return at;
}

field_batch::field_batch()
{
    if (batch.open)
        abort();
    if (batch.capacity > BATCH_KEEP_MAX) {
        free(batch.data);
        batch = {};
    }
    batch.size = 0;
    batch.open = true;
    take(TABLE_HEADER);
}

field_batch::~field_batch()
{
    batch.open = false;
}

// Header, padding behind the name and behind the payload; returns the
// field's start. The bytes may have moved.
char *field_batch::field(int type, size_t name_length, size_t payload)
{
    size_t header = blobmsg_hdrlen(static_cast<unsigned int>(name_length));
    size_t length = sizeof(blob_attr) + header + payload;
    size_t padded = (length + BLOB_ATTR_ALIGN - 1) & ~size_t(BLOB_ATTR_ALIGN - 1);
    last_ = batch.size - TABLE_HEADER;
    char *attr = take(padded);
    uint32_t id_len = cpu_to_be32((uint32_t(type) << BLOB_ATTR_ID_SHIFT) | uint32_t(length) | BLOB_ATTR_EXTENDED);
    uint16_t name_be = cpu_to_be16(static_cast<uint16_t>(name_length));
    // The name's last word (its NUL and padding), then the payload's.
    memset(attr + sizeof(blob_attr) + header - BLOB_ATTR_ALIGN, 0, BLOB_ATTR_ALIGN);
    memset(attr + padded - BLOB_ATTR_ALIGN, 0, BLOB_ATTR_ALIGN);
    memcpy(attr, &id_len, sizeof id_len);
    memcpy(attr + sizeof(blob_attr), &name_be, sizeof name_be);
    return attr;
}

void field_batch::array_close(size_t at)
{
    // The elements are padded already, so the array's length is all of it.
    char *array = batch.data + TABLE_HEADER + at;
    uint32_t id_len;
    memcpy(&id_len, array, sizeof id_len);
    id_len = cpu_to_be32((be32_to_cpu(id_len) & ~BLOB_ATTR_LEN_MASK) | uint32_t(batch.data + batch.size - array));
    memcpy(array, &id_len, sizeof id_len);
}

size_t field_batch::raw(const void *attrs, size_t length)
{
    char *at = take(length);
    memcpy(at, attrs, length);
    return offset_of(at);
}

void field_batch::patch_u32(size_t at, uint32_t value)
{
    value = cpu_to_be32(value);
    memcpy(batch.data + TABLE_HEADER + at, &value, sizeof value);
}

std::string_view field_batch::bytes() const
{
    return {batch.data + TABLE_HEADER, batch.size - TABLE_HEADER};
}

size_t field_batch::offset_of(const char *at) const
{
    return size_t(at - batch.data) - TABLE_HEADER;
}

bool field_batch::put(blob_buf *b)
{
    std::string_view fields = bytes();
    return fields.empty() || blob_put_raw(b, fields.data(), static_cast<unsigned int>(fields.size()));
}

// The same table as a reply buffer holding the fields, whose head an
// answer sends (blob_buf_init(b, 0), then put(b)).
blob_attr *field_batch::table()
{
    uint32_t id_len = cpu_to_be32(uint32_t(batch.size));
    memcpy(batch.data, &id_len, sizeof id_len);
    return reinterpret_cast<blob_attr *>(batch.data);
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
