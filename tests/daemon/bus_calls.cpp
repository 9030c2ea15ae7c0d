#include "tests/daemon/bus_calls.h"

#include <dirent.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "tools/cli/blobmsg_json.h"

extern "C" {
#include <libubox/blobmsg.h>
}

std::string reply_fields::str(const std::string &key) const
{
    auto it = text.find(key);
    return it == text.end() ? std::string() : it->second;
}

int64_t reply_fields::num(const std::string &key) const
{
    auto it = number.find(key);
    return it == number.end() ? -1 : it->second;
}

static std::string string_value(const blob_attr *attr)
{
    const char *s = static_cast<const char *>(blobmsg_data(attr));
    return std::string(s, strnlen(s, blobmsg_data_len(attr)));
}

// Arrays of strings are kept as one text, items joined with ','.
static std::string joined_array(blob_attr *array)
{
    std::string out;
    blob_attr *item;
    size_t rem;
    blobmsg_for_each_attr(item, array, rem)
    {
        if (!out.empty())
            out += ',';
        out += string_value(item);
    }
    return out;
}

static void collect_fields(ubus_request *req, int, blob_attr *msg)
{
    auto *reply = static_cast<reply_fields *>(req->priv);
    reply->replied = true;
    reply->replies++;
    blob_attr *attr;
    size_t rem;
    blobmsg_for_each_attr(attr, msg, rem)
    {
        std::string name = blobmsg_name(attr);
        switch (blobmsg_type(attr)) {
        case BLOBMSG_TYPE_STRING: reply->text[name] = string_value(attr); break;
        case BLOBMSG_TYPE_INT32: reply->number[name] = static_cast<int32_t>(blobmsg_get_u32(attr)); break;
        case BLOBMSG_TYPE_ARRAY: reply->text[name] = joined_array(attr); break;
        // A string, not the literal: GCC 12 at -O3 warns (wrongly) on the
        // assignment of a char pointer here.
        default: reply->text[name] = std::string(1, '?'); break;
        }
    }
}

static void note_status(ubus_request *req, int status)
{
    static_cast<reply_fields *>(req->priv)->status = status;
}

bool call_start(ubus_context *ctx, uint32_t object, const char *method, const std::string &json, pending_call &call)
{
    blob_buf b{};
    blob_buf_init(&b, 0);
    bool ok = json.empty() || blobmsg_add_json_text(&b, json);
    ok = ok && ubus_invoke_async(ctx, object, method, b.head, &call.req) == 0;
    blob_buf_free(&b);
    if (!ok)
        return false;
    call.req.data_cb = collect_fields;
    call.req.complete_cb = note_status;
    call.req.priv = &call.reply;
    // Matched from now on, so replies that arrive while another call on
    // this connection is being waited for are not dropped.
    ubus_complete_request_async(ctx, &call.req);
    return true;
}

bool call_finish(ubus_context *ctx, pending_call &call, int timeout_ms)
{
    call.reply.status = ubus_complete_request(ctx, &call.req, timeout_ms);
    return call.reply.status != UBUS_STATUS_TIMEOUT;
}

reply_fields call_now(ubus_context *ctx, uint32_t object, const char *method, const std::string &json, int timeout_ms)
{
    pending_call call;
    if (!call_start(ctx, object, method, json, call))
        return call.reply;
    call_finish(ctx, call, timeout_ms);
    return call.reply;
}

static int count_entries(const std::string &dir)
{
    DIR *d = opendir(dir.c_str());
    if (!d)
        return -1;
    int n = 0;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            n++;
    closedir(d);
    return n;
}

proc_usage usage_of(int pid)
{
    std::string base = "/proc/" + std::to_string(pid);
    proc_usage u;
    u.fds = count_entries(base + "/fd");
    u.threads = count_entries(base + "/task");
    std::ifstream status(base + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            u.rss_kb = std::atol(line.c_str() + 6);
    return u;
}

std::string json_str(const std::string &s)
{
    return json_quote(s);
}

std::string sendat_args(const std::string &port, const std::string &command, int timeout)
{
    return "{\"at_port\":" + json_str(port) + ",\"at_cmd\":" + json_str(command) +
           ",\"timeout\":" + std::to_string(timeout) + "}";
}
