#include "tools/webgw/stream.h"

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace
{

using clock_type = std::chrono::steady_clock;

// How often a silent stream looks whether its reader is still there, and
// whether the server is stopping.
constexpr auto LOOK_EVERY = std::chrono::milliseconds(500);

// The inode of the TCP connection from the reader's port to ours, from the
// kernel's table of connections; 0 when it is not there.
unsigned long connection_inode(int local_port, int peer_port)
{
    for (const char *table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
        FILE *f = fopen(table, "re");
        if (!f)
            continue;
        char line[512], local[64], remote[64];
        unsigned long inode = 0, found = 0;
        while (!found && fgets(line, sizeof line, f)) {
            // sl local rem st tx:rx tr:when retrnsmt uid timeout inode
            if (sscanf(line, " %*s %63s %63s %*s %*s %*s %*s %*s %*s %lu", local, remote, &inode) != 3)
                continue;
            const char *lp = strrchr(local, ':'), *rp = strrchr(remote, ':');
            if (lp && rp && strtol(lp + 1, nullptr, 16) == local_port && strtol(rp + 1, nullptr, 16) == peer_port)
                found = inode;
        }
        fclose(f);
        if (found)
            return found;
    }
    return 0;
}

// The descriptor of the request's connection: the HTTP library does not
// hand it out, and a stream that writes nothing needs it to see its reader
// leave. Found by the connection's inode among our descriptors' links,
// which leaves the other connections' descriptors untouched. -1 when not
// found.
int connection_fd(const httplib::Request &req)
{
    unsigned long inode = connection_inode(req.local_port, req.remote_port);
    DIR *dir = inode ? opendir("/proc/self/fd") : nullptr;
    if (!dir)
        return -1;
    std::string want = "socket:[" + std::to_string(inode) + "]";
    int found = -1;
    while (dirent *entry = readdir(dir)) {
        char link[64];
        std::string path = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t n = readlink(path.c_str(), link, sizeof link);
        if (n > 0 && std::string(link, size_t(n)) == want) {
            found = atoi(entry->d_name);
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
