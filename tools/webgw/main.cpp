// tarnel-webgw: a development stand-in for the router's web server and its
// bus endpoint. Serves the pages under a directory, takes JSON-RPC calls at
// POST /ubus and streams an object's notifications at
// GET /ubus/subscribe/OBJECT, all over our bus library, answering as the
// router's web server and session daemon do (errors, streams that lose
// their subscription after the network timeout, no reconnecting to a
// restarted broker). Listens on the loopback address only: it is for a
// developer's own browser.
#include <httplib.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "tools/webgw/bus_link.h"
#include "tools/webgw/rpc.h"
#include "tools/webgw/stream.h"

namespace
{

// Sized for a few pages at once: each open stream and each call waiting
// for a modem holds a thread, and a browser keeps several connections.
constexpr size_t HTTP_THREADS = 32;

void usage(FILE *out)
{
    fprintf(out,
            "usage: tarnel-webgw [-s SOCKET] [-l PORT] [-w DIR] [-p PASSWORD] [-a ACL_DIR]\n"
            "                    [-u USER:PASSWORD:GROUP[,GROUP...]] [-A] [-T SECONDS] [-c SECONDS]\n"
            "                    [-n SECONDS]\n"
            "Development web gateway: serves DIR at http://127.0.0.1:PORT/ and the bus\n"
            "at /ubus (JSON-RPC) and /ubus/subscribe/OBJECT (server-sent events).\n"
            "  -s SOCKET    bus socket (default: $UBUS_SOCKET, else the system's)\n"
            "  -l PORT      port on 127.0.0.1 (default 8080; 0 picks a free one)\n"
            "  -w DIR       pages to serve (default %s)\n"
            "  -p PASSWORD  root's password (default: a random one, printed)\n"
            "  -a ACL_DIR   access list files (*.json) naming the groups of -u\n"
            "  -u ...       another user, granted those access groups\n"
            "  -A           accept calls without logging in\n"
            "  -T SECONDS   session timeout without use (default 300)\n"
            "  -c SECONDS   how long a call may wait for its reply (default 60)\n"
            "  -n SECONDS   network timeout: a stream with no notification for this long\n"
            "               after one loses its subscription, as on a router (default 30)\n"
            "Like the router's web server it does not reconnect to a restarted broker:\n"
            "restart it too.\n",
            TARNEL_WWW_DIR);
}

std::string random_password()
{
    static const char chars[] = "abcdefghijkmnpqrstuvwxyz23456789";
    std::random_device rd;
    std::string p;
    for (int i = 0; i < 12; i++)
        p += chars[rd() % (sizeof chars - 1)];
    return p;
}

bool parse_user(const std::string &spec, gateway_config *config)
{
    size_t a = spec.find(':'), b = a == std::string::npos ? a : spec.find(':', a + 1);
    if (b == std::string::npos || a == 0)
        return false;
    user_account account;
    account.password = spec.substr(a + 1, b - a - 1);
    std::string groups = spec.substr(b + 1);
    for (size_t at = 0; at <= groups.size();) {
        size_t end = groups.find(',', at);
        if (end == std::string::npos)
            end = groups.size();
        if (end > at)
            account.groups.push_back(groups.substr(at, end - at));
        at = end + 1;
    }
    config->users[spec.substr(0, a)] = account;
    return true;
}

int positive(const char *s)
{
    char *end;
    long v = strtol(s, &end, 10);
    return *s && !*end && v > 0 && v < 100000 ? int(v) : -1;
}

// The session id a stream request carries: "Authorization: Bearer SID".
std::string bearer(const httplib::Request &req)
{
    std::string auth = req.get_header_value("Authorization");
    const std::string prefix = "Bearer ";
    return auth.rfind(prefix, 0) == 0 ? auth.substr(prefix.size()) : std::string();
}

} // namespace

int main(int argc, char **argv)
{
    std::string socket, www = TARNEL_WWW_DIR, password, acl_dir;
    std::vector<std::string> user_specs;
    int port = 8080;
    gateway_config config;
    std::chrono::milliseconds network_timeout = std::chrono::seconds(30);
    int ch;
    while ((ch = getopt(argc, argv, "s:l:w:p:a:u:AT:c:n:h")) != -1) {
        switch (ch) {
        case 's': socket = optarg; break;
        case 'l':
            port = strcmp(optarg, "0") == 0 ? 0 : positive(optarg);
            if (port < 0 || port > 65535) {
                usage(stderr);
                return 2;
            }
            break;
        case 'w': www = optarg; break;
        case 'p': password = optarg; break;
        case 'a': acl_dir = optarg; break;
        case 'u': user_specs.push_back(optarg); break;
        case 'A': config.anonymous_everything = true; break;
        case 'T':
        case 'c':
        case 'n': {
            int v = positive(optarg);
            if (v < 0) {
                usage(stderr);
                return 2;
            }
            if (ch == 'T')
                config.session_timeout_s = v;
            else if (ch == 'c')
                config.call_wait = std::chrono::seconds(v);
            else
                network_timeout = std::chrono::seconds(v);
            break;
        }
        case 'h': usage(stdout); return 0;
        default: usage(stderr); return 2;
        }
    }
    if (optind != argc) {
        usage(stderr);
        return 2;
    }
    for (const std::string &spec : user_specs) {
        if (!parse_user(spec, &config)) {
            fprintf(stderr, "tarnel-webgw: bad user %s (USER:PASSWORD:GROUPS)\n", spec.c_str());
            return 2;
        }
    }
    std::string error;
    if (!acl_dir.empty() && !load_access_lists(acl_dir, &config, &error)) {
        fprintf(stderr, "tarnel-webgw: %s\n", error.c_str());
        return 1;
    }
    bool random_root = password.empty();
    if (random_root)
        password = random_password();
    config.users["root"] = {password, true, {}};

    // Only sigwait below sees these; the bus thread's event loop must not
    // take them for itself.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    bus_link *bus = bus_link_start(socket);
    if (!bus) {
        fprintf(stderr, "tarnel-webgw: cannot start the bus thread\n");
        return 1;
    }
    gateway *gw = gateway_create(config, bus);

    httplib::Server server;
    server.new_task_queue = [] { return new httplib::ThreadPool(HTTP_THREADS); };
    server.set_keep_alive_timeout(2);
    // Nothing larger fits in a bus message anyway.
    server.set_payload_max_length(2 << 20);
    if (!server.set_mount_point("/", www)) {
        fprintf(stderr, "tarnel-webgw: cannot serve %s\n", www.c_str());
        return 1;
    }
    server.Get("/", [](const httplib::Request &, httplib::Response &res) { res.set_redirect("/tarnel/"); });
    server.Post("/ubus", [gw](const httplib::Request &req, httplib::Response &res) {
        res.set_content(rpc_answer(gw, req.body), "application/json");
    });
    server.Get(R"(/ubus/subscribe/([^/]+))",
               [gw, bus, network_timeout](const httplib::Request &req, httplib::Response &res) {
                   std::string object = req.matches[1], refusal;
                   if (!may_subscribe(gw, bearer(req), object, &refusal)) {
                       res.set_content(refusal, "application/json");
                       return;
                   }
                   std::shared_ptr<notification_stream> stream = bus_link_subscribe(bus, object);
                   if (!stream) {
                       res.set_content(object_not_found_answer(), "application/json");
                       return;
                   }
                   stream_serve(bus, stream, req, res, network_timeout);
               });

    // The library's own options add SO_REUSEPORT, with which a second
    // gateway on the same port listens too and takes half of the logins.
    // SO_REUSEADDR alone still lets a restarted gateway have its port back.
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    errno = 0;
    int bound = port ? (server.bind_to_port("127.0.0.1", port) ? port : -1) : server.bind_to_any_port("127.0.0.1");
    if (bound < 0) {
        int err = errno;
        fprintf(stderr, "tarnel-webgw: cannot listen on 127.0.0.1:%d: %s\n", port, err ? strerror(err) : "refused");
        bus_link_stop(bus);
        gateway_free(gw);
        bus_link_free(bus);
        return 1;
    }
    std::thread http([&server] { server.listen_after_bind(); });
    setvbuf(stdout, nullptr, _IOLBF, 0);
    printf("tarnel-webgw: the console is at http://127.0.0.1:%d/tarnel/\n", bound);
    if (random_root)
        printf("tarnel-webgw: log in as root with password %s\n", password.c_str());

    int sig = 0;
    while (sigwait(&stop_signals, &sig) != 0) {}
    // The bus goes first: every stream ends and every waiting call is
    // answered, so the server's threads can finish.
    bus_link_stop(bus);
    server.stop();
    http.join();
    gateway_free(gw);
    bus_link_free(bus);
    return 0;
}
