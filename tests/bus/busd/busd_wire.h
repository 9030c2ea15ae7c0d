// Byte-level helpers for the broker tests: hex literals with id
// placeholders, raw socket clients and a broker child process.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <ostream>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

// A distinct type so that failures print as hex.
struct Bytes : std::vector<uint8_t> {
    using std::vector<uint8_t>::vector;
};

// "00 06 {OBJ} 0c" -> bytes; each {NAME} becomes vars[NAME] as 4 bytes BE.
Bytes hx(const std::string &text, const std::map<std::string, uint32_t> &vars = {});
// hx() for a whole message whose body length field is set from its size.
Bytes msg(const std::string &text, const std::map<std::string, uint32_t> &vars = {});
Bytes cat(std::initializer_list<Bytes> parts);
// A plain string attribute (id, NUL-terminated, padded).
Bytes str_attr(uint8_t id, const std::string &s);
std::string dump(const Bytes &b);
inline void PrintTo(const Bytes &b, std::ostream *os)
{
    *os << dump(b);
}

// A connection speaking raw bytes. The constructor reads the HELLO.
struct RawClient {
    int fd = -1;
    uint32_t id = 0;
    Bytes hello;
    Bytes pending;

    explicit RawClient(const std::string &path);
    ~RawClient();
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    void send(const Bytes &b);
    // Next whole frame; nullopt on end of stream or after the deadline.
    std::optional<Bytes> recv(int timeout_ms = 10000);
    // True once the broker has closed the connection.
    bool wait_closed(int timeout_ms = 10000);
    // PINGs the broker and checks the echo is the next message, proving
    // that nothing else was queued for this client before it.
    bool nothing_queued();
    void close_now();
};

// The broker run as a child process on a socket in a fresh temp dir.
struct BrokerProcess {
    temp_dir dir;
    // A missing parent directory is the broker's to create.
    std::string sock = dir.file("run/ubus.sock");
    child_process child;

    BrokerProcess();
    ~BrokerProcess();
    // Sends sig and returns the wait status (-1 if it did not exit in time).
    int stop(int sig);
};
