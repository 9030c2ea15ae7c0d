#include "tools/busd/server.h"

#include "tools/busd/busd.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace busd
{

namespace
{

// epoll tags; client ids start at 1024 so they never collide.
constexpr uint64_t kListenTag = 0;
constexpr uint64_t kSignalTag = 1;

int signal_pipe[2] = {-1, -1};

void on_signal(int sig)
{
    int saved = errno;
    unsigned char c = uint8_t(sig);
    (void)!write(signal_pipe[1], &c, 1);
    errno = saved;
}

struct Conn {
    int fd;
    bool want_out;
};

struct Server {
    int epfd = -1;
    int listen_fd = -1;
    std::map<uint32_t, Conn> conns;
    Busd core;
};

void make_parent_dirs(const std::string &path)
{
    for (size_t i = path.find('/', 1); i != std::string::npos; i = path.find('/', i + 1))
        mkdir(path.substr(0, i).c_str(), 0755);
}

int listen_on(const char *path)
{
    sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof sa.sun_path) {
        fprintf(stderr, "tarnel-busd: socket path too long: %s\n", path);
        return -1;
    }
    strcpy(sa.sun_path, path);
    make_parent_dirs(path);
    unlink(path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 || chmod(path, 0666) < 0 ||
        listen(fd, SOMAXCONN) < 0) {
        fprintf(stderr, "tarnel-busd: cannot listen on %s: %s\n", path, strerror(errno));
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

bool signals_setup()
{
    if (pipe2(signal_pipe, O_NONBLOCK | O_CLOEXEC) < 0)
        return false;
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return true;
}

void watch(Server &s, int fd, uint64_t tag, uint32_t events, int op)
{
    epoll_event ev = {};
    ev.events = events;
    ev.data.u64 = tag;
    epoll_ctl(s.epfd, op, fd, &ev);
}

// Names of the peer's uid and gid, which forwarded calls carry; numbers
// when the names are unknown.
void peer_names(int fd, std::string *user_name, std::string *group_name)
{
    ucred cred = {};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) < 0)
        cred.uid = cred.gid = uint32_t(-1);
    char buf[4096];
    passwd pw, *pwp = nullptr;
    group gr, *grp = nullptr;
    getpwuid_r(cred.uid, &pw, buf, sizeof buf, &pwp);
    *user_name = pwp ? pwp->pw_name : std::to_string(cred.uid);
    getgrgid_r(cred.gid, &gr, buf, sizeof buf, &grp);
    *group_name = grp ? grp->gr_name : std::to_string(cred.gid);
}

void drop(Server &s, uint32_t id)
{
    auto it = s.conns.find(id);
    if (it == s.conns.end())
        return;
    epoll_ctl(s.epfd, EPOLL_CTL_DEL, it->second.fd, nullptr);
    close(it->second.fd);
    s.conns.erase(it);
    busd_disconnect(s.core, id);
}

void accept_all(Server &s)
{
    for (;;) {
        int fd = accept4(s.listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        std::string user, group;
        peer_names(fd, &user, &group);
        uint32_t id = busd_connect(s.core, user, group);
        s.conns[id] = Conn{fd, false};
        watch(s, fd, id, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_ADD);
    }
}

void read_client(Server &s, uint32_t id)
{
    auto it = s.conns.find(id);
    if (it == s.conns.end())
        return;
    static uint8_t buf[65536];
    ssize_t n = recv(it->second.fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0 || !busd_receive(s.core, id, buf, size_t(n)))
        drop(s, id);
}

// Writes what each client has queued, as far as its socket takes it, and
// asks for writability only while something is left.
void flush(Server &s)
{
    while (!s.core.flush.empty()) {
        uint32_t id = *s.core.flush.begin();
        s.core.flush.erase(s.core.flush.begin());
        auto conn = s.conns.find(id);
        auto cl = s.core.clients.find(id);
        if (conn == s.conns.end() || cl == s.core.clients.end())
            continue;
        Client &c = cl->second;
        bool failed = false;
        while (busd_queued(c) > 0) {
            ssize_t n = send(conn->second.fd, c.out.data() + c.out_off, busd_queued(c), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                failed = errno != EAGAIN && errno != EINTR;
                if (errno != EINTR)
                    break;
                continue;
            }
            busd_consume(c, size_t(n));
        }
        if (failed) {
            drop(s, id);
            continue;
        }
        bool want = busd_queued(c) > 0;
        if (want != conn->second.want_out) {
            conn->second.want_out = want;
            watch(s, conn->second.fd, id, EPOLLIN | EPOLLRDHUP | (want ? uint32_t(EPOLLOUT) : 0u), EPOLL_CTL_MOD);
        }
    }
}

void run(Server &s)
{
    epoll_event evs[64];
    for (;;) {
        int n = epoll_wait(s.epfd, evs, 64, -1);
        if (n < 0 && errno != EINTR)
            return;
        for (int i = 0; i < n; i++) {
            uint64_t tag = evs[i].data.u64;
            if (tag == kSignalTag)
                return;
            if (tag == kListenTag) {
                accept_all(s);
                continue;
            }
            uint32_t id = uint32_t(tag);
            // A hang-up ends the client at once, unread messages and all,
            // even when the same wake-up says it has more to read.
            if (evs[i].events & (EPOLLHUP | EPOLLRDHUP | EPOLLERR)) {
                drop(s, id);
                continue;
            }
            if (evs[i].events & EPOLLIN)
                read_client(s, id);
            if (evs[i].events & EPOLLOUT)
                s.core.flush.insert(id);
        }
        flush(s);
    }
}

} // namespace

int serve(const char *socket_path)
{
    Server s;
    s.core.random = busd_urandom;
    s.core.write = [&s](uint32_t id, const uint8_t *data, size_t len) -> size_t {
        auto it = s.conns.find(id);
        if (it == s.conns.end())
            return 0;
        ssize_t n = send(it->second.fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        return n > 0 ? size_t(n) : 0;
    };
    if (!signals_setup())
        return 1;
    s.listen_fd = listen_on(socket_path);
    if (s.listen_fd < 0)
        return 1;
    s.epfd = epoll_create1(EPOLL_CLOEXEC);
    watch(s, s.listen_fd, kListenTag, EPOLLIN, EPOLL_CTL_ADD);
    watch(s, signal_pipe[0], kSignalTag, EPOLLIN, EPOLL_CTL_ADD);
    run(s);
    for (auto &[id, c] : s.conns)
        close(c.fd);
    close(s.listen_fd);
    close(s.epfd);
    unlink(socket_path);
    return 0;
}

} // namespace busd
