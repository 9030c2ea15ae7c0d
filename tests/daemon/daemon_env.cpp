#include "tests/daemon/daemon_env.h"

#include <signal.h>

#include "tools/cli/blobmsg_json.h"

bool env_start_broker(daemon_env &env)
{
    return child_start(env.broker, {TARNEL_BUSD_PATH, "-s", env.sock}) && wait_for_listener(env.sock);
}

bool env_restart_broker(daemon_env &env)
{
    if (env.ctx)
        ubus_free(env.ctx);
    env.ctx = nullptr;
    child_stop(env.broker, SIGKILL);
    if (!env_start_broker(env))
        return false;
    env.ctx = ubus_connect(env.sock.c_str());
    return env.ctx != nullptr;
}

bool env_start_daemon(daemon_env &env)
{
    std::map<std::string, std::string> vars = env.daemon_vars;
    vars["UBUS_SOCKET"] = env.sock;
    if (!child_start(env.daemon, {TARNEL_DAEMON_PATH}, vars))
        return false;
    return child_wait_output(env.daemon, true, "ubus-tarnel started\n");
}

bool env_start(daemon_env &env)
{
    if (!env_start_broker(env) || !env_start_daemon(env))
        return false;
    env.ctx = ubus_connect(env.sock.c_str());
    if (!env.ctx)
        return false;
    return ubus_lookup_id(env.ctx, "tarnel", &env.tarnel_id) == 0 && env.tarnel_id != 0;
}

static void collect_reply(ubus_request *req, int, blob_attr *msg)
{
    auto *reply = static_cast<bus_reply *>(req->priv);
    reply->json = blobmsg_format_json(msg, false);
}

bus_reply tarnel_call(daemon_env &env, const char *method, const std::string &json_args, int timeout_ms)
{
    bus_reply reply;
    blob_buf b{};
    blob_buf_init(&b, 0);
    if (!json_args.empty() && !blobmsg_add_json_text(&b, json_args)) {
        blob_buf_free(&b);
        reply.status = UBUS_STATUS_PARSE_ERROR;
        return reply;
    }
    reply.status = ubus_invoke(env.ctx, env.tarnel_id, method, b.head, collect_reply, &reply, timeout_ms);
    blob_buf_free(&b);
    return reply;
}

std::string env_path(const daemon_env &env, const std::string &name)
{
    return env.dir.file(name);
}

daemon_env::~daemon_env()
{
    if (ctx)
        ubus_free(ctx);
    child_stop(daemon, SIGTERM);
    child_stop(broker, SIGTERM);
}
