// Local objects: registration with the broker, and serving the calls,
// notifications and subscription changes the broker forwards to them.
#include "bus/ubus/ubus_internal.h"

#include <climits>
#include <cstring>
#include <map>
#include <vector>

namespace
{

// Advertises the methods and, per method, the argument names and types the
// mask lets through. Nothing checks calls against it later.
bool put_signature(blob_buf *b, const ubus_object_type *type)
{
    void *sig = blob_nest_start(b, UBUS_ATTR_SIGNATURE);
    if (!sig)
        return false;

    for (int i = 0; type->methods && i < type->n_methods; i++) {
        const ubus_method *m = &type->methods[i];
        void *tbl = blobmsg_open_table(b, m->name);
        if (!tbl)
            return false;
        for (int j = 0; j < m->n_policy; j++) {
            const blobmsg_policy *p = &m->policy[j];
            if (m->mask && (j >= int(sizeof(m->mask) * CHAR_BIT) || !(m->mask & (1ul << j))))
                continue;
            if (p->name && blobmsg_add_u32(b, p->name, p->type) < 0)
                return false;
        }
        blobmsg_close_table(b, tbl);
    }
    blob_nest_end(b, sig);
    return true;
}

// Ids the broker gave an object, and its type if it named one.
struct added {
    uint32_t id;
    uint32_t type_id;
};

void add_object_cb(ubus_request *req, int, blob_attr *body)
{
    auto *got = static_cast<added *>(req->priv);
    blob_attr *tb[UBUS_ATTR_MAX];

    ubus_parse_attrs(body, tb);
    if (tb[UBUS_ATTR_OBJID])
        got->id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
    if (tb[UBUS_ATTR_OBJTYPE])
        got->type_id = blob_get_u32(tb[UBUS_ATTR_OBJTYPE]);
}

// Registers obj with the broker without touching it or the context. A
// type the broker already knows goes by its id (type_id), a new one with
// its signature; an object without path or type is anonymous.
int send_add_object(ubus_context *ctx, const ubus_object *obj, uint32_t type_id, added *got)
{
    blob_buf *b = ubus_msg_builder();

    blob_buf_init(b, 0);
    if (obj->name && obj->type) {
        blob_put_string(b, UBUS_ATTR_OBJPATH, obj->name);
        if (type_id)
            blob_put_int32(b, UBUS_ATTR_OBJTYPE, type_id);
        else if (!put_signature(b, obj->type))
            return UBUS_STATUS_INVALID_ARGUMENT;
    }

    *got = {};
    int ret = ubus_sync_request(ctx, b->head, UBUS_MSG_ADD_OBJECT, 0, add_object_cb, got);
    if (ret)
        return ret;
    return got->id ? 0 : UBUS_STATUS_NO_DATA;
}

// The broker names the type only when this was its last object.
void remove_object_cb(ubus_request *req, int, blob_attr *body)
{
    auto *obj = static_cast<ubus_object *>(req->priv);
    blob_attr *tb[UBUS_ATTR_MAX];

    ubus_parse_attrs(body, tb);
    if (tb[UBUS_ATTR_OBJTYPE] && obj->type)
        obj->type->id = 0;
}

bool is_registered(ubus_context *ctx, ubus_object *obj)
{
    return obj->id && avl_find(&ctx->objects, &obj->id) == &obj->avl;
}

ubus_object *find_object(ubus_context *ctx, const blob_attr *id_attr)
{
    if (!id_attr)
        return nullptr;
    uint32_t id = blob_get_u32(id_attr);
    ubus_object *obj;
    return avl_find_element(&ctx->objects, &id, obj, avl);
}

// A NULL method name in the table accepts every method.
int call_method(ubus_context *ctx, ubus_object *obj, ubus_request_data *req, const char *method, blob_attr *data)
{
    for (int i = 0; obj->methods && i < obj->n_methods; i++) {
        const ubus_method *m = &obj->methods[i];
        if (m->name && strcmp(m->name, method) != 0)
            continue;
        if (!m->handler)
            break;
        return m->handler(ctx, obj, req, method, data);
    }
    return UBUS_STATUS_METHOD_NOT_FOUND;
}

// The status goes with the descriptor the handler asked to pass back.
void send_status(ubus_context *ctx, ubus_request_data *req, int status)
{
    uint32_t attrs[4];

    ubus_u32_attr(attrs, UBUS_ATTR_STATUS, uint32_t(status));
    ubus_u32_attr(attrs + 2, UBUS_ATTR_OBJID, req->object);
    ubus_send_attrs(ctx, req->seq, UBUS_MSG_STATUS, req->peer, attrs, sizeof(attrs), 0, nullptr, req->fd);
    ubus_close_fd(&req->fd);
}

void process_invoke(ubus_context *ctx, ubus_msg_in *msg)
{
    blob_attr **tb = msg->tb;
    ubus_request_data req = {};
    int ret;

    req.object = tb[UBUS_ATTR_OBJID] ? blob_get_u32(tb[UBUS_ATTR_OBJID]) : 0;
    req.peer = msg->hdr.peer;
    req.seq = msg->hdr.seq;
    req.acl.user = tb[UBUS_ATTR_USER] ? blob_get_string(tb[UBUS_ATTR_USER]) : nullptr;
    req.acl.group = tb[UBUS_ATTR_GROUP] ? blob_get_string(tb[UBUS_ATTR_GROUP]) : nullptr;
    req.fd = -1;
    req.req_fd = msg->fd;
    msg->fd = -1;
    bool no_reply = tb[UBUS_ATTR_NO_REPLY] && blob_get_u8(tb[UBUS_ATTR_NO_REPLY]);

    ubus_object *obj = find_object(ctx, tb[UBUS_ATTR_OBJID]);
    if (!obj) {
        ret = UBUS_STATUS_NOT_FOUND;
    } else if (!tb[UBUS_ATTR_METHOD] || !tb[UBUS_ATTR_DATA]) {
        // Also where arguments end up whose encoding did not hold together.
        ret = UBUS_STATUS_INVALID_ARGUMENT;
    } else {
        req.acl.object = obj->name;
        ret = call_method(ctx, obj, &req, blob_get_string(tb[UBUS_ATTR_METHOD]), tb[UBUS_ATTR_DATA]);
    }

    // The caller's descriptor lives only as long as the handler, deferred or
    // not, unless the handler took it. A router's library closes it here
    // too, so no program may come to rely on the deferred copy's number.
    ubus_close_fd(&req.req_fd);
    // A deferred request's copy owns the reply descriptor now.
    if (req.deferred)
        return;
    if (no_reply)
        ubus_close_fd(&req.fd);
    else
        send_status(ctx, &req, ret);
}

// Notifications reach a subscriber as calls of their type.
int deliver_notification(ubus_context *ctx, ubus_object *obj, ubus_request_data *req, const char *method,
                         blob_attr *msg)
{
    auto *sub = container_of(obj, ubus_subscriber, obj);
    return sub->cb ? sub->cb(ctx, obj, req, method, msg) : 0;
}

// The broker drops the subscriptions to an object that went away and says
// so to each subscriber.
void process_unsubscribe(ubus_context *ctx, ubus_msg_in *msg)
{
    ubus_object *obj = find_object(ctx, msg->tb[UBUS_ATTR_OBJID]);

    if (!obj || obj->methods != &ubus_subscriber_method || !msg->tb[UBUS_ATTR_TARGET])
        return;
    auto *sub = container_of(obj, ubus_subscriber, obj);
    if (sub->remove_cb)
        sub->remove_cb(ctx, sub, blob_get_u32(msg->tb[UBUS_ATTR_TARGET]));
}

void process_notify(ubus_context *ctx, ubus_msg_in *msg)
{
    ubus_object *obj = find_object(ctx, msg->tb[UBUS_ATTR_OBJID]);

    if (!obj || !msg->tb[UBUS_ATTR_ACTIVE])
        return;
    obj->has_subscribers = blob_get_u8(msg->tb[UBUS_ATTR_ACTIVE]) != 0;
    if (obj->subscribe_cb)
        obj->subscribe_cb(ctx, obj);
}

} // namespace

const struct ubus_method ubus_subscriber_method = UBUS_METHOD_NOARG(nullptr, deliver_notification);

void ubus_process_obj_msg(struct ubus_context *ctx, struct ubus_msg_in *msg)
{
    if (msg->hdr.type == UBUS_MSG_INVOKE)
        process_invoke(ctx, msg);
    else if (msg->hdr.type == UBUS_MSG_NOTIFY)
        process_notify(ctx, msg);
    else if (msg->hdr.type == UBUS_MSG_UNSUBSCRIBE)
        process_unsubscribe(ctx, msg);
}

int ubus_add_object(struct ubus_context *ctx, struct ubus_object *obj)
{
    // A second insertion of the same node would corrupt the object tree.
    if (is_registered(ctx, obj))
        return UBUS_STATUS_INVALID_ARGUMENT;

    added got;
    obj->id = 0;
    int ret = send_add_object(ctx, obj, obj->type ? obj->type->id : 0, &got);
    if (ret)
        return ret;
    if (got.type_id && obj->type)
        obj->type->id = got.type_id;

    obj->id = got.id;
    obj->avl.key = &obj->id;
    if (avl_insert(&ctx->objects, &obj->avl) < 0) {
        obj->id = 0;
        return UBUS_STATUS_INVALID_ARGUMENT;
    }
    return 0;
}

// Every object is registered anew before any of them takes its new id, so
// a failure halfway leaves the context as it was and a later attempt
// starts over with the same objects.
int ubus_add_objects_again(struct ubus_context *ctx)
{
    std::vector<ubus_object *> objs;
    ubus_object *obj, *tmp;
    avl_for_each_element_safe(&ctx->objects, obj, avl, tmp)
    {
        objs.push_back(obj);
    }

    std::vector<added> got(objs.size());
    std::map<ubus_object_type *, uint32_t> types; // as this broker knows them
    for (size_t i = 0; i < objs.size(); i++) {
        ubus_object_type *type = objs[i]->type;
        auto known = types.find(type);
        int ret = send_add_object(ctx, objs[i], known == types.end() ? 0 : known->second, &got[i]);
        if (ret)
            return ret;
        if (type && got[i].type_id)
            types[type] = got[i].type_id;
    }

    avl_init(&ctx->objects, ctx->objects.comp, false, ctx->objects.cmp_ptr);
    for (size_t i = 0; i < objs.size(); i++) {
        ubus_object_type *type = objs[i]->type;
        if (type) {
            auto known = types.find(type);
            type->id = known == types.end() ? 0 : known->second;
        }
        objs[i]->id = got[i].id;
        objs[i]->avl.key = &objs[i]->id;
        if (avl_insert(&ctx->objects, &objs[i]->avl) < 0)
            objs[i]->id = 0;
    }
    // A new broker knows no subscriptions: notifying would be wasted, and
    // whoever followed an object must subscribe again.
    for (ubus_object *o : objs) {
        if (!o->has_subscribers)
            continue;
        o->has_subscribers = false;
        if (o->subscribe_cb)
            o->subscribe_cb(ctx, o);
    }
    return 0;
}

int ubus_remove_object(struct ubus_context *ctx, struct ubus_object *obj)
{
    blob_buf *b = ubus_msg_builder();

    blob_buf_init(b, 0);
    blob_put_int32(b, UBUS_ATTR_OBJID, obj->id);
    int ret = ubus_sync_request(ctx, b->head, UBUS_MSG_REMOVE_OBJECT, 0, remove_object_cb, obj);
    if (ret)
        return ret;

    if (is_registered(ctx, obj))
        avl_delete(&ctx->objects, &obj->avl);
    obj->id = 0;
    return 0;
}

int ubus_send_reply(struct ubus_context *ctx, struct ubus_request_data *req, struct blob_attr *msg)
{
    uint32_t attrs[2];

    ubus_u32_attr(attrs, UBUS_ATTR_OBJID, req->object);
    int ret = ubus_send_attrs(ctx, req->seq, UBUS_MSG_DATA, req->peer, attrs, sizeof(attrs), UBUS_ATTR_DATA, msg, -1);
    if (ret == UBUS_STATUS_CONNECTION_FAILED)
        return UBUS_STATUS_NO_DATA;
    return ret;
}

void ubus_complete_deferred_request(struct ubus_context *ctx, struct ubus_request_data *req, int ret)
{
    send_status(ctx, req, ret);
}
