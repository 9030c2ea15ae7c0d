// The client's side of the bus: one connection, calls on "tarnel" with
// their replies kept as a copy of the message.
#include "client/tarnel.h"

bool bus_open(bus_link &link, const std::string &socket, std::string &error)
{
    link.ctx = ubus_connect(socket.empty() ? nullptr : socket.c_str());
    if (!link.ctx) {
        error = "Failed to connect to ubus" + (socket.empty() ? std::string() : " at " + socket);
        return false;
    }
    int ret = ubus_lookup_id(link.ctx, "tarnel", &link.tarnel);
    if (ret != 0 || link.tarnel == 0) {
        error = std::string("The daemon is not on the bus (no object tarnel: ") +
                ubus_strerror(ret ? ret : UBUS_STATUS_NOT_FOUND) + ")";
        bus_close(link);
        return false;
    }
    return true;
}

void bus_close(bus_link &link)
{
    if (link.ctx)
        ubus_free(link.ctx);
    link.ctx = nullptr;
    link.tarnel = 0;
}

static void keep_reply(ubus_request *req, int, blob_attr *msg)
{
    auto *r = static_cast<call_result *>(req->priv);
    if (msg)
        r->reply.reset(blob_memdup(msg));
}

call_result bus_call(bus_link &link, const char *method, blob_buf &args, int timeout_ms)
{
    call_result r;
    r.status = ubus_invoke(link.ctx, link.tarnel, method, args.head, keep_reply, &r, timeout_ms);
    return r;
}

static blob_attr *field(blob_attr *msg, const char *name)
{
    if (!msg)
        return nullptr;
    blob_attr *pos;
    size_t rem;
    blob_for_each_attr(pos, msg, rem)
    {
        if (blobmsg_check_attr(pos, true) && std::string_view(blobmsg_name(pos)) == name)
            return pos;
    }
    return nullptr;
}

std::string reply_string(blob_attr *msg, const char *name)
{
    blob_attr *a = field(msg, name);
    if (!a || blobmsg_type(a) != BLOBMSG_TYPE_STRING)
        return {};
    return blobmsg_get_string(a);
}

bool reply_int(blob_attr *msg, const char *name, int64_t &value)
{
    blob_attr *a = field(msg, name);
    if (!a)
        return false;
    switch (blobmsg_type(a)) {
    case BLOBMSG_TYPE_INT8: value = blobmsg_get_u8(a); return true;
    case BLOBMSG_TYPE_INT16: value = static_cast<int16_t>(blobmsg_get_u16(a)); return true;
    case BLOBMSG_TYPE_INT32: value = static_cast<int32_t>(blobmsg_get_u32(a)); return true;
    case BLOBMSG_TYPE_INT64: value = static_cast<int64_t>(blobmsg_get_u64(a)); return true;
    default: return false;
    }
}

std::string call_failure(const call_result &r)
{
    if (r.status != UBUS_STATUS_OK)
        return ubus_strerror(r.status);
    if (!r.reply)
        return "No reply";
    std::string status = reply_string(r.reply.get(), "status");
    if (status == "success")
        return {};
    std::string message = reply_string(r.reply.get(), "message");
    if (!message.empty())
        return message;
    return status.empty() ? "Reply without a status" : "Status " + status;
}

bool bus_list(bus_link &link, std::vector<listed_port> &ports, std::string &error)
{
    blob_buf b{};
    blob_buf_init(&b, 0);
    call_result r = bus_call(link, "list", b, 10000);
    blob_buf_free(&b);
    if (r.status != UBUS_STATUS_OK || !r.reply) {
        error = "list: " + std::string(ubus_strerror(r.status != UBUS_STATUS_OK ? r.status : UBUS_STATUS_NO_DATA));
        return false;
    }
    ports.clear();
    blob_attr *list = field(r.reply.get(), "ports");
    if (!list || blobmsg_type(list) != BLOBMSG_TYPE_ARRAY)
        return true;
    blob_attr *entry;
    size_t rem;
    blobmsg_for_each_attr(entry, list, rem)
    {
        if (blobmsg_type(entry) != BLOBMSG_TYPE_TABLE)
            continue;
        enum { PORT, IS_OPEN, COUNT };
        static const blobmsg_policy policy[COUNT] = {{"port", BLOBMSG_TYPE_STRING}, {"is_open", BLOBMSG_TYPE_INT32}};
        blob_attr *tb[COUNT] = {};
        blobmsg_parse(policy, COUNT, tb, blobmsg_data(entry), static_cast<unsigned int>(blobmsg_data_len(entry)));
        listed_port p;
        if (tb[PORT])
            p.path = blobmsg_get_string(tb[PORT]);
        p.open = tb[IS_OPEN] && blobmsg_get_u32(tb[IS_OPEN]) != 0;
        if (!p.path.empty())
            ports.push_back(p);
    }
    return true;
}
