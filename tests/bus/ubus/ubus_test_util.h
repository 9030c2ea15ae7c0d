// Helpers for the client library tests: byte strings written as hex, frame
// reads with deadlines, and a scripted broker that records what the
// library sends and answers with canned frames.
#pragma once

#include <libubus.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

using bytes = std::vector<uint8_t>;

bytes hex(std::string_view text);   // "00 06 ..." (whitespace ignored)
std::string to_hex(const bytes &b); // for readable comparisons
bool wait_readable(int fd, int timeout_ms);
bytes read_frame(int fd, int timeout_ms = 5000); // empty on timeout / EOF
void write_bytes(int fd, const bytes &b);

// Drives ctx by hand until pred holds or the deadline passes.
template <typename Pred>
bool handle_until(ubus_context *ctx, Pred pred, std::chrono::milliseconds deadline = std::chrono::seconds(5))
{
    return wait_until(
        [&] {
            if (!pred() && wait_readable(ctx->sock.fd, 10))
                ubus_handle_event(ctx);
            return pred();
        },
        deadline);
}

// One library context (client id 0xac362f04) on a scripted broker socket.
class UbusWireTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs a synchronous library call while the broker reads the next
    // frame and answers with `replies`; returns the frame read.
    template <typename Call>
    std::string exchange(std::vector<bytes> replies, Call call)
    {
        int fd = conn;
        auto sent = std::async(std::launch::async, [fd, replies = std::move(replies)] {
            bytes got = read_frame(fd);
            for (const bytes &r : replies)
                write_bytes(fd, r);
            return got;
        });
        call();
        return to_hex(sent.get());
    }

    temp_dir dir;
    std::string path = dir.file("ubus.sock");
    int listen_fd = -1;
    int conn = -1; // broker end of the library's connection
    ubus_context *ctx = nullptr;
};
