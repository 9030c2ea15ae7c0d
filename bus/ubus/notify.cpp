// Notifications to an object's subscribers, and subscribing to another
// object's. A waiting notification is a request whose answers request.cpp
// collects from every subscriber.
#include "bus/ubus/ubus_internal.h"

#include <cstring>

int ubus_notify(struct ubus_context *ctx, struct ubus_object *obj, const char *type, struct blob_attr *msg, int timeout)
{
    blob_buf *b = ubus_msg_builder();

    blob_buf_init(b, 0);
    blob_put_int32(b, UBUS_ATTR_OBJID, obj->id);
    if (!type || !blob_put_string(b, UBUS_ATTR_METHOD, type) || !ubus_put_data(b, UBUS_ATTR_DATA, msg))
        return UBUS_STATUS_INVALID_ARGUMENT;

    if (timeout < 0) {
        blob_put_int8(b, UBUS_ATTR_NO_REPLY, 1);
        return ubus_send_msg(ctx, ++ctx->request_seq, b->head, UBUS_MSG_NOTIFY, obj->id, -1);
    }

    ubus_notify_request nr;
    memset(&nr, 0, sizeof(nr));
    int ret = ubus_start_request(ctx, &nr.req, b->head, UBUS_MSG_NOTIFY, obj->id, -1);
    if (ret)
        return ret;
    nr.req.notify = true;
    return ubus_complete_request(ctx, &nr.req, timeout);
}

int ubus_register_subscriber(struct ubus_context *ctx, struct ubus_subscriber *sub)
{
    ubus_object *obj = &sub->obj;

    obj->methods = &ubus_subscriber_method;
    obj->n_methods = 1;
    return ubus_add_object(ctx, obj);
}

namespace
{

int subscription(ubus_context *ctx, ubus_subscriber *sub, uint32_t id, int type)
{
    blob_buf *b = ubus_msg_builder();

    blob_buf_init(b, 0);
    blob_put_int32(b, UBUS_ATTR_OBJID, sub->obj.id);
    blob_put_int32(b, UBUS_ATTR_TARGET, id);
    return ubus_sync_request(ctx, b->head, type, 0, nullptr, nullptr);
}

} // namespace

int ubus_subscribe(struct ubus_context *ctx, struct ubus_subscriber *sub, uint32_t id)
{
    return subscription(ctx, sub, id, UBUS_MSG_SUBSCRIBE);
}

int ubus_unsubscribe(struct ubus_context *ctx, struct ubus_subscriber *sub, uint32_t id)
{
    return subscription(ctx, sub, id, UBUS_MSG_UNSUBSCRIBE);
}
