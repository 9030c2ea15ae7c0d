#include "busd_wire.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

using Clock = std::chrono::steady_clock;

Bytes hx(const std::string &text, const std::map<std::string, uint32_t> &vars)
{
    Bytes out;
    std::istringstream in(text);
    std::string tok;
    while (in >> tok) {
        if (tok.front() == '{') {
            uint32_t v = vars.at(tok.substr(1, tok.size() - 2));
            for (int i = 0; i < 4; i++)
                out.push_back(uint8_t(v >> (24 - 8 * i)));
            continue;
        }
        for (size_t i = 0; i + 1 < tok.size(); i += 2)
            out.push_back(uint8_t(std::stoul(tok.substr(i, 2), nullptr, 16)));
    }
    return out;
}

Bytes msg(const std::string &text, const std::map<std::string, uint32_t> &vars)
{
    Bytes m = hx(text, vars);
    size_t body = m.size() - 8;
    m[9] = uint8_t(body >> 16);
    m[10] = uint8_t(body >> 8);
    m[11] = uint8_t(body);
    return m;
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes str_attr(uint8_t id, const std::string &s)
{
    size_t len = 4 + s.size() + 1;
    Bytes out((len + 3) & ~size_t(3), 0);
    out[0] = id;
    out[1] = uint8_t(len >> 16);
    out[2] = uint8_t(len >> 8);
    out[3] = uint8_t(len);
    for (size_t i = 0; i < s.size(); i++)
        out[4 + i] = uint8_t(s[i]);
    return out;
}

std::string dump(const Bytes &b)
{
    std::string s;
    char buf[4];
    for (uint8_t c : b) {
        snprintf(buf, sizeof buf, "%02x ", c);
        s += buf;
    }
    return s;
}

static int ms_left(Clock::time_point end)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    return left.count() > 0 ? int(left.count()) : 0;
}

static int connect_to(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

RawClient::RawClient(const std::string &path)
{
    fd = connect_to(path);
    if (fd < 0)
        throw std::runtime_error("connect " + path + ": " + strerror(errno));
    auto h = recv();
    if (!h || h->size() != 12)
        throw std::runtime_error("no HELLO");
    hello = *h;
    id = uint32_t((*h)[4]) << 24 | uint32_t((*h)[5]) << 16 | uint32_t((*h)[6]) << 8 | (*h)[7];
}

RawClient::~RawClient()
{
    close_now();
}

void RawClient::close_now()
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

void RawClient::send(const Bytes &b)
{
    size_t off = 0;
    while (off < b.size()) {
        ssize_t n = ::send(fd, b.data() + off, b.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // the broker dropped us; recv() reports it
        off += size_t(n);
    }
}

std::optional<Bytes> RawClient::recv(int timeout_ms)
{
    auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (pending.size() >= 12) {
            size_t body = (size_t(pending[9]) << 16 | size_t(pending[10]) << 8 | pending[11]);
            if (pending.size() >= 8 + body) {
                Bytes frame(pending.begin(), pending.begin() + long(8 + body));
                pending.erase(pending.begin(), pending.begin() + long(8 + body));
                return frame;
            }
        }
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, ms_left(end)) <= 0)
            return std::nullopt;
        uint8_t buf[65536];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return std::nullopt;
        pending.insert(pending.end(), buf, buf + n);
    }
}

bool RawClient::wait_closed(int timeout_ms)
{
    auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, ms_left(end)) <= 0)
            return false;
        uint8_t buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET))
            return true;
    }
}

bool RawClient::nothing_queued()
{
    Bytes ping = hx("00 03 ff ee 00 00 00 00  00 00 00 0c 01 00 00 08 12 34 56 78");
    send(ping);
    auto m = recv();
    return m && (*m)[1] == 2 && (*m)[2] == 0xff && (*m)[3] == 0xee && recv().has_value();
}

BrokerProcess::BrokerProcess()
{
    if (!child_start(child, {TARNEL_BUSD_PATH, "-s", sock}) || !wait_for_listener(sock))
        throw std::runtime_error("broker did not come up");
}

int BrokerProcess::stop(int sig)
{
    if (child.pid < 0)
        return -1;
    return child_stop(child, sig) ? child.exit_status : -1;
}

BrokerProcess::~BrokerProcess()
{
    child_stop(child, SIGKILL);
}
