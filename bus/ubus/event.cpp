// Events: sending through the broker's event object and listening with an
// anonymous local object whose every method is an event name.
#include "bus/ubus/ubus_internal.h"

namespace
{

int deliver_event(ubus_context *ctx, ubus_object *obj, ubus_request_data *, const char *method, blob_attr *msg)
{
    auto *ev = container_of(obj, ubus_event_handler, obj);

    if (ev->cb)
        ev->cb(ctx, ev, method, msg);
    return 0;
}

const ubus_method event_method = {
    .name = nullptr,
    .handler = deliver_event,
    .mask = 0,
    .tags = 0,
    .policy = nullptr,
    .n_policy = 0,
};

// Opens a call to the broker's event object; the caller fills the
// arguments table and hands the cookie to finish_event_call.
void *start_event_call(blob_buf *b, const char *method)
{
    blob_buf_init(b, 0);
    blob_put_int32(b, UBUS_ATTR_OBJID, UBUS_SYSTEM_OBJECT_EVENT);
    blob_put_string(b, UBUS_ATTR_METHOD, method);
    return blob_nest_start(b, UBUS_ATTR_DATA);
}

int finish_event_call(ubus_context *ctx, blob_buf *b, void *cookie)
{
    if (!cookie)
        return UBUS_STATUS_NO_MEMORY;
    blob_nest_end(b, cookie);
    return ubus_sync_request(ctx, b->head, UBUS_MSG_INVOKE, UBUS_SYSTEM_OBJECT_EVENT, nullptr, nullptr);
}

} // namespace

// The event body is always sent, as an empty table when there is no data.
int ubus_send_event(struct ubus_context *ctx, const char *id, struct blob_attr *data)
{
    static const char empty[1] = {0};
    blob_buf *b = ubus_msg_builder();

    if (!id || (data && blob_pad_len(data) > UBUS_MAX_MSGLEN))
        return UBUS_STATUS_INVALID_ARGUMENT;

    void *cookie = start_event_call(b, "send");
    blobmsg_add_string(b, "id", id);
    if (blobmsg_add_field(b, BLOBMSG_TYPE_TABLE, "data", data ? blob_data(data) : empty, data ? blob_len(data) : 0) < 0)
        return UBUS_STATUS_INVALID_ARGUMENT;
    return finish_event_call(ctx, b, cookie);
}

int ubus_register_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev, const char *pattern)
{
    ubus_object *obj = &ev->obj;
    blob_buf *b = ubus_msg_builder();

    if (!obj->id) {
        if (!obj->name != !obj->type)
            return UBUS_STATUS_INVALID_ARGUMENT;
        if (!obj->methods) {
            obj->methods = &event_method;
            obj->n_methods = 1;
        }
        int ret = ubus_add_object(ctx, obj);
        if (ret)
            return ret;
    }

    void *cookie = start_event_call(b, "register");
    blobmsg_add_u32(b, "object", obj->id);
    if (pattern)
        blobmsg_add_string(b, "pattern", pattern);
    return finish_event_call(ctx, b, cookie);
}
