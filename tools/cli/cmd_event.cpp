// Event commands: send, listen, subscribe and wait_for. listen, subscribe
// and wait_for run the event loop until their condition, a signal, the -t
// limit or the loss of the broker ends it.
#include <libubus.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "tools/cli/blob_walk.h"
#include "tools/cli/blobmsg_json.h"
#include "tools/cli/cli.h"

namespace
{

bool broker_lost;

void on_connection_lost(ubus_context *)
{
    broker_lost = true;
    uloop_end();
}

void on_time_limit(uloop_timeout *)
{
    uloop_end();
}

// Runs the loop with an optional limit in seconds (0: none). The loop itself
// returns early on SIGINT/SIGTERM. The library leaves a lost connection to
// its program, as a router's does, so ending the loop then is ours to do.
void run_loop(ubus_context *ctx, int seconds)
{
    ctx->connection_lost = on_connection_lost;
    ubus_add_uloop(ctx);
    uloop_timeout limit = {};
    limit.cb = on_time_limit;
    if (seconds > 0)
        uloop_timeout_set(&limit, seconds * 1000);
    uloop_run();
    uloop_timeout_cancel(&limit);
}

void print_message(const char *type, blob_attr *msg)
{
    printf("{ %s: %s }\n", json_quote(type ? type : "").c_str(), blobmsg_format_json(msg, false).c_str());
    fflush(stdout);
}

void on_event(ubus_context *, ubus_event_handler *, const char *type, blob_attr *msg)
{
    print_message(type, msg);
}

int on_notification(ubus_context *, ubus_object *, ubus_request_data *, const char *type, blob_attr *msg)
{
    print_message(type, msg);
    return 0;
}

struct waiter {
    ubus_event_handler ev; // first: the callback gets a pointer to it
    std::set<std::string> *pending;
};

std::string announced_path(blob_attr *msg)
{
    if (!msg)
        return {};
    blob_cursor c = blob_cursor_over(blobmsg_data(msg), blobmsg_data_len(msg));
    blob_member m;
    while (blob_member_next(c, m))
        if (m.type == BLOBMSG_TYPE_STRING && m.name == "path")
            return std::string(blob_member_string(m));
    return {};
}

void on_object_added(ubus_context *, ubus_event_handler *ev, const char *, blob_attr *msg)
{
    auto *w = reinterpret_cast<waiter *>(ev);
    w->pending->erase(announced_path(msg));
    if (w->pending->empty())
        uloop_end();
}

} // namespace

int cmd_send(ubus_context *ctx, const cli_opts &, int argc, char **argv)
{
    if (argc < 1 || argc > 2)
        return CLI_USAGE;
    blob_buf b = {};
    int ret = UBUS_STATUS_PARSE_ERROR;
    if (cli_message(&b, argc == 2 ? argv[1] : nullptr))
        ret = ubus_send_event(ctx, argv[0], b.head);
    blob_buf_free(&b);
    return ret;
}

int cmd_listen(ubus_context *ctx, const cli_opts &o, int argc, char **argv)
{
    ubus_event_handler ev = {};
    ev.cb = on_event;
    static const char *everything[] = {"*"};
    const char *const *patterns = argc ? argv : everything;
    int count = argc ? argc : 1;
    for (int i = 0; i < count; i++) {
        int ret = ubus_register_event_handler(ctx, &ev, patterns[i]);
        if (ret)
            return ret;
    }
    // Like the router's tool: the loop just ends when the broker goes away.
    run_loop(ctx, o.timeout_given ? o.timeout : 0);
    return 0;
}

// Notifications of the named objects, printed as listen prints events.
int cmd_subscribe(ubus_context *ctx, const cli_opts &o, int argc, char **argv)
{
    if (argc < 1)
        return CLI_USAGE;
    ubus_subscriber sub = {};
    sub.cb = on_notification;
    int ret = ubus_register_subscriber(ctx, &sub);
    for (int i = 0; i < argc && !ret; i++) {
        uint32_t id = 0;
        ret = ubus_lookup_id(ctx, argv[i], &id);
        if (!ret)
            ret = id ? ubus_subscribe(ctx, &sub, id) : UBUS_STATUS_NOT_FOUND;
    }
    if (ret)
        return ret;
    run_loop(ctx, o.timeout_given ? o.timeout : 0);
    return 0;
}

// Registers for announcements before looking anything up, so an object that
// appears in between is not missed.
int cmd_wait_for(ubus_context *ctx, const cli_opts &o, int argc, char **argv)
{
    if (argc < 1)
        return CLI_USAGE;
    std::set<std::string> pending(argv, argv + argc);
    waiter w = {};
    w.ev.cb = on_object_added;
    w.pending = &pending;
    int ret = ubus_register_event_handler(ctx, &w.ev, "ubus.object.add");
    if (ret)
        return ret;
    for (int i = 0; i < argc; i++) {
        uint32_t id;
        if (ubus_lookup_id(ctx, argv[i], &id) == 0)
            pending.erase(argv[i]);
    }
    if (!pending.empty() && o.timeout > 0)
        run_loop(ctx, o.timeout);
    if (pending.empty())
        return 0;
    return broker_lost ? UBUS_STATUS_CONNECTION_FAILED : UBUS_STATUS_TIMEOUT;
}
