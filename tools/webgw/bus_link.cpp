#include <libubus.h>

#include "tools/webgw/bus_link.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <set>
#include <thread>

#include "tools/cli/blob_walk.h"
#include "tools/cli/blobmsg_json.h"

namespace
{

// Until the first connection, the broker is looked for this often.
constexpr int CONNECT_RETRY_MS = 1000;
// A reader this far behind is cut off; it reconnects and starts afresh.
constexpr size_t STREAM_BACKLOG_MAX = 256;

// Work for the bus thread. ctx is nullptr when there is no broker, or when
// the link is stopping: the job then answers without the bus.
using bus_job = std::function<void(ubus_context *ctx)>;

struct call_job;

// A subscriber of ours.
struct sub_hook {
    ubus_subscriber sub;
    notification_stream *stream;
};

} // namespace

struct bus_link {
    std::string socket;
    std::thread thread;

    std::mutex lock; // guards jobs and stopping
    std::deque<bus_job> jobs;
    bool stopping = false;
    int wake_fd = -1;

    std::atomic<bool> connected{false};
    std::promise<void> first_try; // kept once the first connection was tried

    // Bus thread only.
    uloop_fd wake = {};
    uloop_timeout retry = {};
    ubus_context *ctx = nullptr;
    std::set<call_job *> calls;
    std::map<sub_hook *, std::shared_ptr<notification_stream>> subs;
};

namespace
{

// uloop is one per process, and so is the link; callbacks that carry no
// pointer of ours find it here. Set and read on the bus thread only.
bus_link *the_link;

void end_stream(notification_stream &s)
{
    std::lock_guard guard(s.lock);
    s.ended = true;
    s.changed.notify_all();
}

// ---- calls ----

struct call_timer {
    uloop_timeout t;
    call_job *job;
};

struct call_job {
    ubus_request req;
    call_timer timer;
    std::promise<call_outcome> promise;
    std::string data;
};

void call_finish(call_job *job, call_outcome outcome)
{
    uloop_timeout_cancel(&job->timer.t);
    the_link->calls.erase(job);
    job->promise.set_value(std::move(outcome));
    delete job;
}

void call_data(ubus_request *req, int, blob_attr *msg)
{
    // The last table wins, as the router's web server keeps one.
    static_cast<call_job *>(req->priv)->data = blobmsg_format_json(msg, false);
}

void call_complete(ubus_request *req, int status)
{
    auto *job = static_cast<call_job *>(req->priv);
    call_finish(job, {call_end::done, status, std::move(job->data)});
}

void call_expired(uloop_timeout *t)
{
    call_job *job = container_of(t, call_timer, t)->job;
    if (the_link->ctx)
        ubus_abort_request(the_link->ctx, &job->req);
    call_finish(job, {call_end::timed_out, UBUS_STATUS_TIMEOUT, {}});
}

void call_start(ubus_context *ctx, call_job *job, const std::string &object, const std::string &method,
                const std::string &args_json, std::chrono::milliseconds wait)
{
    the_link->calls.insert(job);
    uint32_t id = 0;
    if (ubus_lookup_id(ctx, object.c_str(), &id) != 0 || !id) {
        call_finish(job, {call_end::not_found, UBUS_STATUS_NOT_FOUND, {}});
        return;
    }
    blob_buf b = {};
    blob_buf_init(&b, 0);
    int ret = blobmsg_add_json_text(&b, args_json) ? 0 : UBUS_STATUS_INVALID_ARGUMENT;
    if (!ret)
        ret = ubus_invoke_async(ctx, id, method.c_str(), b.head, &job->req);
    blob_buf_free(&b);
    if (ret) {
        call_finish(job, {call_end::done, ret, {}});
        return;
    }
    job->req.data_cb = call_data;
    job->req.complete_cb = call_complete;
    job->req.priv = job;
    job->timer.t.cb = call_expired;
    job->timer.job = job;
    uloop_timeout_set(&job->timer.t, int(wait.count()));
    ubus_complete_request_async(ctx, &job->req);
}

// ---- subscriptions ----

int deliver(ubus_context *, ubus_object *obj, ubus_request_data *, const char *type, blob_attr *msg)
{
    auto *hook = container_of(container_of(obj, ubus_subscriber, obj), sub_hook, sub);
    notification_stream &s = *hook->stream;
    std::string text = std::string("event: ") + type + "\ndata: " + blobmsg_format_json(msg, false) + "\n\n";
    std::lock_guard guard(s.lock);
    if (s.ended)
        return 0;
    if (s.messages.size() >= STREAM_BACKLOG_MAX)
        s.ended = true;
    else
        s.messages.push_back(std::move(text));
    s.changed.notify_all();
    return 0;
}

void target_gone(ubus_context *, ubus_subscriber *sub, uint32_t)
{
    end_stream(*container_of(sub, sub_hook, sub)->stream);
}

bool subscribe(ubus_context *ctx, const std::shared_ptr<notification_stream> &stream, const std::string &object)
{
    uint32_t id = 0;
    if (!ctx || ubus_lookup_id(ctx, object.c_str(), &id) != 0 || !id)
        return false;
    auto *hook = new sub_hook{};
    hook->sub.cb = deliver;
    hook->sub.remove_cb = target_gone;
    hook->stream = stream.get();
    if (ubus_register_subscriber(ctx, &hook->sub) != 0) {
        delete hook;
        return false;
    }
    if (ubus_subscribe(ctx, &hook->sub, id) != 0) {
        ubus_remove_object(ctx, &hook->sub.obj);
        delete hook;
        return false;
    }
    stream->hook = hook;
    the_link->subs[hook] = stream;
    return true;
}

void unsubscribe(ubus_context *ctx, notification_stream *stream)
{
    auto *hook = static_cast<sub_hook *>(stream->hook);
    if (!hook || !the_link->subs.count(hook))
        return;
    // Removing our object drops its subscription with it. After a lost
    // connection there is nothing left to remove.
    if (ctx)
        ubus_remove_object(ctx, &hook->sub.obj);
    stream->hook = nullptr;
    the_link->subs.erase(hook);
    delete hook;
}

// ---- the connection ----

void on_connection_lost(ubus_context *)
{
    // Open calls already ended (as failed connections). Streams stay open
    // and hear nothing more; the context is freed when the link stops.
    the_link->connected = false;
}

void try_connect(uloop_timeout *t)
{
    bus_link *link = the_link;
    link->ctx = ubus_connect(link->socket.empty() ? nullptr : link->socket.c_str());
    if (!link->ctx) {
        uloop_timeout_set(t, CONNECT_RETRY_MS);
        return;
    }
    link->connected = true;
    link->ctx->connection_lost = on_connection_lost;
    ubus_add_uloop(link->ctx);
}

ubus_context *usable_ctx(bus_link *link)
{
    return link->connected ? link->ctx : nullptr;
}

void run_jobs(uloop_fd *, unsigned int)
{
    bus_link *link = the_link;
    uint64_t n;
    (void)!read(link->wake_fd, &n, sizeof n);
    std::deque<bus_job> jobs;
    {
        std::lock_guard guard(link->lock);
        jobs.swap(link->jobs);
    }
    for (bus_job &job : jobs)
        job(usable_ctx(link));
}

void bus_main(bus_link *link)
{
    the_link = link;
    uloop_init();
    link->wake.fd = link->wake_fd;
    link->wake.cb = run_jobs;
    uloop_fd_add(&link->wake, ULOOP_READ);
    link->retry.cb = try_connect;
    try_connect(&link->retry);
    link->first_try.set_value();
    uloop_run();

    // Stopping: nothing is left waiting on the bus. The subscribers go
    // before other threads may run jobs themselves (see post).
    uloop_timeout_cancel(&link->retry);
    while (!link->calls.empty()) {
        call_job *job = *link->calls.begin();
        if (link->ctx)
            ubus_abort_request(link->ctx, &job->req);
        call_finish(job, {call_end::not_found, UBUS_STATUS_NOT_FOUND, {}});
    }
    for (auto &[hook, stream] : link->subs) {
        end_stream(*stream);
        stream->hook = nullptr;
        delete hook;
    }
    link->subs.clear();
    std::deque<bus_job> jobs;
    {
        std::lock_guard guard(link->lock);
        link->stopping = true;
        jobs.swap(link->jobs);
    }
    for (bus_job &job : jobs)
        job(nullptr);
    uloop_fd_delete(&link->wake);
    if (link->ctx)
        ubus_free(link->ctx);
    link->ctx = nullptr;
    uloop_done();
}

// Runs job on the bus thread, or here without the bus once it stopped.
void post(bus_link *link, bus_job job)
{
    {
        std::lock_guard guard(link->lock);
        if (!link->stopping) {
            link->jobs.push_back(std::move(job));
            uint64_t one = 1;
            (void)!write(link->wake_fd, &one, sizeof one);
            return;
        }
    }
    job(nullptr);
}

template <typename T>
T on_bus(bus_link *link, std::function<T(ubus_context *)> work)
{
    std::promise<T> promise;
    std::future<T> result = promise.get_future();
    post(link, [&](ubus_context *ctx) { promise.set_value(work(ctx)); });
    return result.get();
}

const char *type_name(int64_t type)
{
    switch (type) {
    case BLOBMSG_TYPE_ARRAY: return "array";
    case BLOBMSG_TYPE_TABLE: return "object";
    case BLOBMSG_TYPE_STRING: return "string";
    case BLOBMSG_TYPE_INT64:
    case BLOBMSG_TYPE_INT32:
    case BLOBMSG_TYPE_INT16: return "number";
    case BLOBMSG_TYPE_INT8: return "boolean";
    case BLOBMSG_TYPE_DOUBLE: return "double";
    default: return "unknown";
    }
}

// The children of a blobmsg region that have the given type, each turned
// into text by each, joined with commas.
template <typename Fn>
std::string join_members(const void *data, size_t len, int type, Fn each)
{
    std::string out;
    blob_cursor c = blob_cursor_over(data, len);
    blob_member m;
    while (blob_member_next(c, m))
        if (m.type == type)
            out += (out.empty() ? "" : ",") + each(m);
    return out;
}

// "path":{"method":{"arg":"type",...},...}
void add_signature(ubus_context *, ubus_object_data *obj, void *priv)
{
    auto *out = static_cast<std::string *>(priv);
    std::string methods;
    if (obj->signature)
        methods = join_members(
            blob_data(obj->signature), blob_len(obj->signature), BLOBMSG_TYPE_TABLE, [](const blob_member &m) {
                return json_quote(m.name) + ":{" +
                       join_members(m.data, m.len, BLOBMSG_TYPE_INT32,
                                    [](const blob_member &a) {
                                        return json_quote(a.name) + ":\"" + type_name(blob_member_int(a)) + "\"";
                                    }) +
                       "}";
            });
    *out += (out->empty() ? "" : ",") + json_quote(obj->path) + ":{" + methods + "}";
}

} // namespace

bus_link *bus_link_start(const std::string &socket)
{
    auto *link = new bus_link;
    link->socket = socket;
    link->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (link->wake_fd < 0) {
        delete link;
        return nullptr;
    }
    std::future<void> tried = link->first_try.get_future();
    link->thread = std::thread(bus_main, link);
    tried.wait();
    return link;
}

bool bus_link_connected(bus_link *link)
{
    return link->connected;
}

void bus_link_stop(bus_link *link)
{
    post(link, [](ubus_context *) { uloop_end(); });
    link->thread.join();
}

void bus_link_free(bus_link *link)
{
    close(link->wake_fd);
    delete link;
}

call_outcome bus_link_call(bus_link *link, const std::string &object, const std::string &method,
                           const std::string &args_json, std::chrono::milliseconds wait)
{
    auto *job = new call_job{};
    std::future<call_outcome> result = job->promise.get_future();
    post(link, [=](ubus_context *ctx) {
        if (ctx) {
            call_start(ctx, job, object, method, args_json, wait);
            return;
        }
        job->promise.set_value({call_end::not_found, UBUS_STATUS_NOT_FOUND, {}});
        delete job;
    });
    return result.get();
}

bool bus_link_exists(bus_link *link, const std::string &object)
{
    return on_bus<bool>(link, [&](ubus_context *ctx) {
        uint32_t id = 0;
        return ctx && ubus_lookup_id(ctx, object.c_str(), &id) == 0 && id != 0;
    });
}

std::vector<std::string> bus_link_objects(bus_link *link)
{
    return on_bus<std::vector<std::string>>(link, [](ubus_context *ctx) {
        std::vector<std::string> paths;
        if (ctx)
            ubus_lookup(
                ctx, nullptr,
                [](ubus_context *, ubus_object_data *obj, void *priv) {
                    static_cast<std::vector<std::string> *>(priv)->push_back(obj->path);
                },
                &paths);
        return paths;
    });
}

std::string bus_link_signatures(bus_link *link, const std::vector<std::string> &paths)
{
    return on_bus<std::string>(link, [&](ubus_context *ctx) {
        std::string out;
        for (const std::string &path : paths)
            if (ctx)
                ubus_lookup(ctx, path.c_str(), add_signature, &out);
        return out;
    });
}

std::shared_ptr<notification_stream> bus_link_subscribe(bus_link *link, const std::string &object)
{
    auto stream = std::make_shared<notification_stream>();
    bool ok = on_bus<bool>(link, [&](ubus_context *ctx) { return subscribe(ctx, stream, object); });
    return ok ? stream : nullptr;
}

bool notification_stream_take(notification_stream &s, std::string *text, std::chrono::milliseconds wait)
{
    std::unique_lock guard(s.lock);
    s.changed.wait_for(guard, wait, [&] { return s.ended || !s.messages.empty(); });
    text->clear();
    while (!s.messages.empty()) {
        *text += s.messages.front();
        s.messages.pop_front();
    }
    return !s.ended || !text->empty();
}

void bus_link_unsubscribe(bus_link *link, const std::shared_ptr<notification_stream> &stream)
{
    // Kept alive until the bus thread has let go of it.
    std::shared_ptr<notification_stream> keep = stream;
    post(link, [keep](ubus_context *ctx) { unsubscribe(ctx, keep.get()); });
}
