#include "tools/webgw/stream.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace
{

using clock_type = std::chrono::steady_clock;

// How often a silent stream looks whether its reader is still there, and
// whether the server is stopping.
constexpr auto LOOK_EVERY = std::chrono::milliseconds(500);

// Whether fd is the connected TCP socket from peer_addr:peer_port to our
// local_port.
bool is_connection(int fd, const std::string &peer_addr, int peer_port, int local_port)
{
    sockaddr_in local{}, peer{};
    socklen_t local_len = sizeof local, peer_len = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &local_len) != 0 || local.sin_family != AF_INET ||
        ntohs(local.sin_port) != local_port)
        return false;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peer_len) != 0 || ntohs(peer.sin_port) != peer_port)
        return false;
    char text[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text) && peer_addr == text;
}

// The descriptor of the request's connection, found by its addresses among
// our own: the HTTP library does not hand it out, and a stream that writes
// nothing needs it to see its reader leave. -1 when not found.
int connection_fd(const httplib::Request &req)
{
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int found = -1;
    while (dirent *entry = readdir(dir)) {
        char *end;
        long fd = strtol(entry->d_name, &end, 10);
        struct stat st;
        if (*end || fd == dirfd(dir) || fstat(int(fd), &st) != 0 || !S_ISSOCK(st.st_mode))
            continue;
        if (is_connection(int(fd), req.remote_addr, req.remote_port, req.local_port)) {
            found = int(fd);
            break;
        }
    }
    closedir(dir);
    return found;
}

// A reader that hung up: its end of file (or reset) is waiting to be read.
bool reader_left(int fd)
{
    if (fd < 0)
        return false;
    char byte;
    ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

struct stream_writer {
    bus_link *bus;
    std::shared_ptr<notification_stream> stream;
    std::chrono::milliseconds network_timeout;
    int fd;
    std::optional<clock_type::time_point> drop_at; // armed by each notification written
    bool dropped = false;
};

// One turn of the writer: false ends the connection.
bool write_turn(stream_writer &w, httplib::DataSink &sink)
{
    if (reader_left(w.fd))
        return false;
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(LOOK_EVERY);
    if (w.drop_at && !w.dropped)
        wait = std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(*w.drop_at - clock_type::now()),
                          std::chrono::milliseconds(0), wait);
    std::string text;
    if (!notification_stream_take(*w.stream, &text, wait)) {
        sink.done();
        return true;
    }
    if (!text.empty()) {
        w.drop_at = clock_type::now() + w.network_timeout;
        return sink.write(text.data(), text.size());
    }
    if (!w.dropped && w.drop_at && clock_type::now() >= *w.drop_at) {
        w.dropped = true;
        bus_link_unsubscribe(w.bus, w.stream);
        printf("tarnel-webgw: a stream silent for %lld ms lost its subscription, as on a router; "
               "it stays open\n",
               static_cast<long long>(w.network_timeout.count()));
    }
    return true;
}

} // namespace

void stream_serve(bus_link *bus, const std::shared_ptr<notification_stream> &stream, const httplib::Request &req,
                  httplib::Response &res, std::chrono::milliseconds network_timeout)
{
    auto writer = std::make_shared<stream_writer>();
    *writer = {bus, stream, network_timeout, connection_fd(req), std::nullopt, false};
    if (writer->fd < 0)
        fprintf(stderr, "tarnel-webgw: cannot find the connection of a stream; a reader that leaves "
                        "is noticed only at the next notification\n");
    res.set_header("Cache-Control", "no-cache");
    res.set_chunked_content_provider(
        "text/event-stream", [writer](size_t, httplib::DataSink &sink) { return write_turn(*writer, sink); },
        [bus, stream](bool) { bus_link_unsubscribe(bus, stream); });
}
