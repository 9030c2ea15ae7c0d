#include "tests/bus/ubus/ubus_test_util.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>

bytes hex(std::string_view text)
{
    bytes out;
    std::string digits;

    for (char c : text) {
        if (isxdigit(static_cast<unsigned char>(c)))
            digits += c;
    }
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

std::string to_hex(const bytes &b)
{
    std::string s;
    char buf[4];

    for (uint8_t v : b) {
        snprintf(buf, sizeof(buf), "%02x ", v);
        s += buf;
    }
    return s;
}

bool wait_readable(int fd, int timeout_ms)
{
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) > 0;
}

static bool read_full(int fd, uint8_t *buf, size_t len, int timeout_ms)
{
    while (len > 0) {
        if (!wait_readable(fd, timeout_ms))
            return false;
        ssize_t n = read(fd, buf, len);
        if (n <= 0)
            return false;
        buf += n;
        len -= n;
    }
    return true;
}

bytes read_frame(int fd, int timeout_ms)
{
    bytes f(12);

    if (!read_full(fd, f.data(), 12, timeout_ms))
        return {};
    size_t len = (size_t(f[9]) << 16) | (size_t(f[10]) << 8) | f[11];
    f.resize(8 + std::max<size_t>(len, 4));
    if (!read_full(fd, f.data() + 12, f.size() - 12, timeout_ms))
        return {};
    return f;
}

void write_bytes(int fd, const bytes &b)
{
    size_t done = 0;

    while (done < b.size()) {
        ssize_t n = write(fd, b.data() + done, b.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += n;
    }
}

void UbusWireTest::SetUp()
{
    sockaddr_un sun = {};
    sun.sun_family = AF_UNIX;
    snprintf(sun.sun_path, sizeof(sun.sun_path), "%s", path.c_str());
    listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(listen_fd, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)), 0);
    ASSERT_EQ(listen(listen_fd, 4), 0);

    std::thread greeter([this] {
        if (!wait_readable(listen_fd, 5000))
            return;
        conn = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        write_bytes(conn, hex("00 00 00 00 ac 36 2f 04 00 00 00 04"));
    });
    ctx = ubus_connect(path.c_str());
    greeter.join();
    ASSERT_NE(ctx, nullptr);
}

void UbusWireTest::TearDown()
{
    ubus_free(ctx);
    if (conn >= 0)
        close(conn);
    if (listen_fd >= 0)
        close(listen_fd);
}
