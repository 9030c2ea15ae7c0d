#include "bench/rig.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "bench/round_trip.h"

using namespace std::chrono_literals;

constexpr auto START_DEADLINE = 10s;
// valgrind starts a program many times slower, and writes its report as the
// program ends.
constexpr auto WRAPPED_DEADLINE = 60s;

static std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Everything the child needs is built before fork: only async-signal-safe
// calls run between fork and exec.
static pid_t spawn(const std::vector<std::string> &wrap, const std::vector<std::string> &argv,
                   const std::string &sock_env, const std::string &log_prefix)
{
    std::vector<char *> args;
    for (const std::string &arg : wrap)
        args.push_back(const_cast<char *>(arg.c_str()));
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    std::string env_entry = "UBUS_SOCKET=" + sock_env;
    std::string out = log_prefix + ".out", err = log_prefix + ".err";

    pid_t pid = fork();
    if (pid != 0)
        return pid;
    int in_fd = open("/dev/null", O_RDONLY);
    int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in_fd < 0 || out_fd < 0 || err_fd < 0)
        _exit(127);
    dup2(in_fd, STDIN_FILENO);
    dup2(out_fd, STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    if (!sock_env.empty())
        putenv(env_entry.data());
    // A shell that started us may ignore these; the child must not.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    execvp(args[0], args.data());
    _exit(127);
}

static bool exited(pid_t pid)
{
    int status;
    return waitpid(pid, &status, WNOHANG) == pid;
}

template <typename Cond>
static bool wait_for(Cond cond, std::chrono::milliseconds deadline)
{
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

static bool socket_accepts(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    if (fd >= 0)
        close(fd);
    return ok;
}

// A wrapper that traces its program runs it as its child; valgrind runs it
// in place. The program itself never forks.
static pid_t program_process(pid_t started, bool wrapped)
{
    if (!wrapped)
        return started;
    DIR *proc = opendir("/proc");
    pid_t found = started;
    while (dirent *entry = proc ? readdir(proc) : nullptr) {
        pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
        if (pid <= 0)
            continue;
        // "PID (comm) STATE PPID ...": the name may hold anything, so the
        // fields are counted from the last ')'.
        std::string stat = read_file("/proc/" + std::string(entry->d_name) + "/stat");
        size_t close_paren = stat.rfind(')');
        if (close_paren != std::string::npos && close_paren + 4 < stat.size() &&
            atoi(stat.c_str() + close_paren + 4) == started) {
            found = pid;
            break;
        }
    }
    if (proc)
        closedir(proc);
    return found;
}

// SIGTERM to the program, then waiting for what was started (a wrapper ends
// after its program). False when it had to be killed.
static bool stop_child(pid_t &started, pid_t &program, bool wrapped)
{
    if (started <= 0)
        return true;
    if (program <= 0)
        program = program_process(started, wrapped);
    kill(program, SIGTERM);
    bool clean = wait_for([&] { return exited(started); }, wrapped ? WRAPPED_DEADLINE : 5s);
    if (!clean) {
        kill(started, SIGKILL);
        if (program > 0)
            kill(program, SIGKILL);
        waitpid(started, nullptr, 0);
    }
    started = program = -1;
    return clean;
}

static bool fail(const bench_rig &rig, const char *what)
{
    fprintf(stderr, "bench: %s\n", what);
    if (!rig.dir.empty())
        fprintf(stderr, "%s", read_file(rig.dir + "/daemon.err").c_str());
    return false;
}

bool rig_start(bench_rig &rig)
{
    char tmpl[] = "/tmp/tarnel-bench-XXXXXX";
    if (!mkdtemp(tmpl))
        return fail(rig, "no temp directory");
    rig.dir = tmpl;
    rig.sock = rig.dir + "/ubus.sock";
    // The daemon's virtual ports go in the rig's directory, removed with it.
    setenv("TARNEL_SHARE_DIR", (rig.dir + "/run").c_str(), 1);

    auto broker_deadline = rig.broker_wrap.empty() ? START_DEADLINE : WRAPPED_DEADLINE;
    rig.broker = spawn(rig.broker_wrap, {TARNEL_BUSD_PATH, "-s", rig.sock}, "", rig.dir + "/busd");
    if (rig.broker < 0 || !wait_for([&] { return socket_accepts(rig.sock); }, broker_deadline))
        return fail(rig, "the broker did not start");
    rig.broker_proc = program_process(rig.broker, !rig.broker_wrap.empty());

    auto daemon_deadline = rig.daemon_wrap.empty() ? START_DEADLINE : WRAPPED_DEADLINE;
    rig.daemon = spawn(rig.daemon_wrap, {TARNEL_DAEMON_PATH}, rig.sock, rig.dir + "/daemon");
    auto started = [&] {
        return read_file(rig.dir + "/daemon.out").find("ubus-tarnel started\n") != std::string::npos;
    };
    bool gone = false;
    wait_for([&] { return started() || (gone = exited(rig.daemon)); }, daemon_deadline);
    if (gone)
        rig.daemon = -1;
    if (!started())
        return fail(rig, "the daemon did not start");
    rig.daemon_proc = program_process(rig.daemon, !rig.daemon_wrap.empty());

    rig.ctx = ubus_connect(rig.sock.c_str());
    if (!rig.ctx || ubus_lookup_id(rig.ctx, "tarnel", &rig.tarnel_id) != 0 || rig.tarnel_id == 0)
        return fail(rig, "no \"tarnel\" object on the bus");
    return true;
}

ubus_context *rig_client(bench_rig &rig)
{
    ubus_context *ctx = ubus_connect(rig.sock.c_str());
    if (ctx)
        rig.clients.push_back(ctx);
    return ctx;
}

std::string rig_path(const bench_rig &rig, const std::string &name)
{
    return rig.dir + "/" + name;
}

bool rig_open(bench_rig &rig, const std::string &port)
{
    blob_buf args{};
    blob_buf_init(&args, 0);
    blobmsg_add_string(&args, "at_port", port.c_str());
    bool success = false;
    int status = ubus_invoke(rig.ctx, rig.tarnel_id, "open", args.head, note_success, &success, 10000);
    blob_buf_free(&args);
    if (status != UBUS_STATUS_OK || !success)
        fprintf(stderr, "bench: open %s failed (bus status %d)\n", port.c_str(), status);
    return status == UBUS_STATUS_OK && success;
}

fake_modem_ptr rig_modem(bench_rig &rig, const std::string &name, const fake_modem_options &options)
{
    fake_modem_ptr modem(fake_modem_create(rig_path(rig, name), options));
    if (!modem)
        fprintf(stderr, "bench: no simulated modem at %s: %s\n", name.c_str(), strerror(errno));
    else if (!rig_open(rig, fake_modem_link_path(modem.get())))
        modem.reset();
    return modem;
}

struct port_probe {
    const std::string *port;
    int is_open = -1;
};

static void probe_list(ubus_request *req, int, blob_attr *msg)
{
    auto *probe = static_cast<port_probe *>(req->priv);
    static const blobmsg_policy ports_policy = {"ports", BLOBMSG_TYPE_ARRAY};
    static const blobmsg_policy port_policy[] = {{"port", BLOBMSG_TYPE_STRING}, {"is_open", BLOBMSG_TYPE_INT32}};
    blob_attr *ports = nullptr;
    if (!msg || blobmsg_parse(&ports_policy, 1, &ports, blob_data(msg), blob_len(msg)) != 0 || !ports)
        return;
    blob_attr *entry;
    size_t rem;
    blobmsg_for_each_attr(entry, ports, rem)
    {
        blob_attr *field[2] = {};
        blobmsg_parse(port_policy, 2, field, blobmsg_data(entry), blobmsg_data_len(entry));
        if (field[0] && field[1] && *probe->port == blobmsg_get_string(field[0]))
            probe->is_open = blobmsg_get_u32(field[1]) ? 1 : 0;
    }
}

int rig_port_open(ubus_context *ctx, uint32_t object_id, const std::string &port)
{
    port_probe probe{&port};
    blob_buf none{};
    blob_buf_init(&none, 0);
    int status = ubus_invoke(ctx, object_id, "list", none.head, probe_list, &probe, 5000);
    blob_buf_free(&none);
    return status == UBUS_STATUS_OK ? probe.is_open : -1;
}

bool rig_stop(bench_rig &rig)
{
    for (ubus_context *client : rig.clients)
        ubus_free(client);
    rig.clients.clear();
    if (rig.ctx)
        ubus_free(rig.ctx);
    rig.ctx = nullptr;
    // A daemon that died under the bench explains the figures that failed.
    bool clean = true;
    if (rig.daemon > 0 && exited(rig.daemon)) {
        rig.daemon = rig.daemon_proc = -1;
        clean = false;
        fprintf(stderr, "bench: the daemon ended during the run; what it wrote on stderr:\n%s",
                read_file(rig.dir + "/daemon.err").c_str());
    }
    clean = stop_child(rig.daemon, rig.daemon_proc, !rig.daemon_wrap.empty()) && clean;
    return stop_child(rig.broker, rig.broker_proc, !rig.broker_wrap.empty()) && clean;
}

bench_rig::~bench_rig()
{
    rig_stop(*this);
    if (!dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
}
