// The object owner's side against a scripted broker: registration, serving
// forwarded calls, deferral, calls queued during a synchronous wait and
// frames that arrive in pieces or do not hold together.
#include "tests/bus/ubus/ubus_test_util.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cstring>
#include <random>

namespace
{

const blobmsg_policy open_policy[] = {
    {"at_port", BLOBMSG_TYPE_STRING},
    {"timeout", BLOBMSG_TYPE_INT32},
    {"sendonly", BLOBMSG_TYPE_BOOL},
};

struct {
    int open_calls, open_ret, status_calls;
    std::string args;
    ubus_request_data saved;
    bool take_fd;
    int taken_fd;
    std::vector<int> taken; // each call's descriptor, in order, -1 for none
} st;

int handle_open(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    blob_attr *tb[3];

    st.open_calls++;
    blobmsg_parse(open_policy, 3, tb, blob_data(msg), blob_len(msg));
    st.args = std::string(tb[0] ? blobmsg_get_string(tb[0]) : "-") + " " +
              std::to_string(tb[1] ? blobmsg_get_u32(tb[1]) : 0) + " " +
              std::to_string(tb[2] && blobmsg_get_bool(tb[2]));

    blob_buf b = {};
    blob_buf_init(&b, 0);
    blobmsg_add_string(&b, "port", tb[0] ? blobmsg_get_string(tb[0]) : "");
    blobmsg_add_u32(&b, "fd", 7);
    blobmsg_add_u8(&b, "ok", 1);
    ubus_send_reply(ctx, req, b.head);
    blob_buf_free(&b);
    return st.open_ret;
}

int handle_status(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *)
{
    st.status_calls++;
    if (st.take_fd) {
        st.taken_fd = ubus_request_get_caller_fd(req);
        st.taken.push_back(st.taken_fd);
    }
    ubus_defer_request(ctx, req, &st.saved);
    return UBUS_STATUS_UNKNOWN_ERROR; // ignored once deferred
}

const ubus_method mini_methods[] = {
    UBUS_METHOD("open", handle_open, open_policy),
    UBUS_METHOD_NOARG("status", handle_status),
};
ubus_object_type mini_type = UBUS_OBJECT_TYPE("mini", mini_methods);

const char *const forwarded_open = "00 05 00 02 ac 36 2f 04 00 00 00 7c 03 00 00 08 14 5c ae 9e"
                                   " 04 00 00 09 6f 70 65 6e 00 00 00 00"
                                   " 0c 00 00 09 72 6f 6f 74 00 00 00 00 0d 00 00 09 72 6f 6f 74 00 00 00 00"
                                   " 07 00 00 4c 83 00 00 1d 00 07 61 74 5f 70 6f 72 74 00 00 00"
                                   " 2f 64 65 76 2f 74 74 79 55 53 42 32 00 00 00 00"
                                   " 85 00 00 14 00 07 74 69 6d 65 6f 75 74 00 00 00 00 00 00 05"
                                   " 87 00 00 11 00 08 73 65 6e 64 6f 6e 6c 79 00 00 01 00 00 00";

const char *const open_reply = "00 02 00 02 ac 36 2f 04 00 00 00 4c 03 00 00 08 14 5c ae 9e 07 00 00 40"
                               " 83 00 00 19 00 04 70 6f 72 74 00 00 2f 64 65 76 2f 74 74 79 55 53 42 32 00 00 00 00"
                               " 85 00 00 10 00 02 66 64 00 00 00 00 00 00 00 07"
                               " 87 00 00 0d 00 02 6f 6b 00 00 00 00 01 00 00 00";

std::string owner_status(const char *code)
{
    return to_hex(
        hex(std::string("00 01 00 02 ac 36 2f 04 00 00 00 14 01 00 00 08 ") + code + " 03 00 00 08 14 5c ae 9e"));
}

// A call on the mini object, seq 2, from client ac362f04.
bytes call_frame(const std::string &attrs)
{
    bytes body = hex("03 00 00 08 14 5c ae 9e " + attrs);
    size_t len = body.size() + 4;
    bytes f = hex("00 05 00 02 ac 36 2f 04");
    f.insert(f.end(), {0, 0, uint8_t(len >> 8), uint8_t(len)});
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

// Writes frame with fd passed along, as a broker forwards a caller's.
void send_with_fd(int sock, const bytes &frame, int fd)
{
    iovec iov = {const_cast<uint8_t *>(frame.data()), frame.size()};
    alignas(cmsghdr) char cbuf[CMSG_SPACE(sizeof(int))] = {};
    msghdr mh = {};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = cbuf;
    mh.msg_controllen = sizeof cbuf;
    cmsghdr *c = CMSG_FIRSTHDR(&mh);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &fd, sizeof(int));
    ASSERT_EQ(sendmsg(sock, &mh, 0), ssize_t(frame.size()));
}

class UbusOwnerTest : public UbusWireTest
{
protected:
    void SetUp() override
    {
        UbusWireTest::SetUp();
        st = {};
        mini_type.id = 0;
        obj = {};
        obj.name = "mini";
        obj.type = &mini_type;
        obj.methods = mini_methods;
        obj.n_methods = ARRAY_SIZE(mini_methods);
        sent_add = exchange({hex("00 02 00 01 00 00 00 00 00 00 00 14 03 00 00 08 14 5c ae 9e"
                                 " 05 00 00 08 40 e1 85 fb"),
                             hex("00 01 00 01 00 00 00 00 00 00 00 0c 01 00 00 08 00 00 00 00")},
                            [&] { ASSERT_EQ(ubus_add_object(ctx, &obj), 0); });
    }

    // Feeds one frame and returns the answers; they are all written
    // before ubus_handle_event returns.
    std::vector<std::string> serve(const bytes &frame, size_t answers)
    {
        std::vector<std::string> out;
        write_bytes(conn, frame);
        EXPECT_TRUE(wait_readable(ctx->sock.fd, 5000));
        ubus_handle_event(ctx);
        for (size_t i = 0; i < answers; i++)
            out.push_back(to_hex(read_frame(conn)));
        EXPECT_FALSE(wait_readable(conn, 0));
        return out;
    }

    ubus_object obj;
    std::string sent_add;
};

} // namespace

TEST_F(UbusOwnerTest, RegistrationAdvertisesPathAndSignature)
{
    EXPECT_EQ(sent_add, to_hex(hex("00 06 00 01 00 00 00 00 00 00 00 6c 02 00 00 09 6d 69 6e 69 00 00 00 00"
                                   " 06 00 00 5c 82 00 00 48 00 04 6f 70 65 6e 00 00"
                                   " 85 00 00 14 00 07 61 74 5f 70 6f 72 74 00 00 00 00 00 00 03"
                                   " 85 00 00 14 00 07 74 69 6d 65 6f 75 74 00 00 00 00 00 00 05"
                                   " 85 00 00 14 00 08 73 65 6e 64 6f 6e 6c 79 00 00 00 00 00 07"
                                   " 82 00 00 10 00 06 73 74 61 74 75 73 00 00 00 00")));
    EXPECT_EQ(obj.id, 0x145cae9eu);
    EXPECT_EQ(mini_type.id, 0x40e185fbu);
    EXPECT_EQ(ubus_add_object(ctx, &obj), UBUS_STATUS_INVALID_ARGUMENT); // already in

    // A second object of a known type sends the type id; duplicate path refused.
    ubus_object twin = {};
    twin.name = "mini";
    twin.type = &mini_type;
    EXPECT_EQ(exchange({hex("00 01 00 02 00 00 00 00 00 00 00 0c 01 00 00 08 00 00 00 02")},
                       [&] { EXPECT_EQ(ubus_add_object(ctx, &twin), UBUS_STATUS_INVALID_ARGUMENT); }),
              to_hex(hex("00 06 00 02 00 00 00 00 00 00 00 18 02 00 00 09 6d 69 6e 69 00 00 00 00"
                         " 05 00 00 08 40 e1 85 fb")));
    EXPECT_EQ(twin.id, 0u);

    // Removal: the broker names the type as gone; calls then find nothing.
    EXPECT_EQ(exchange({hex("00 02 00 03 00 00 00 00 00 00 00 14 03 00 00 08 14 5c ae 9e"
                            " 05 00 00 08 40 e1 85 fb"),
                        hex("00 01 00 03 00 00 00 00 00 00 00 0c 01 00 00 08 00 00 00 00")},
                       [&] { EXPECT_EQ(ubus_remove_object(ctx, &obj), 0); }),
              to_hex(hex("00 07 00 03 00 00 00 00 00 00 00 0c 03 00 00 08 14 5c ae 9e")));
    EXPECT_EQ(obj.id, 0u);
    EXPECT_EQ(mini_type.id, 0u);
    EXPECT_EQ(serve(hex(forwarded_open), 1)[0], owner_status("00 00 00 04"));
}

TEST_F(UbusOwnerTest, HandlerRepliesThenStatus)
{
    auto a = serve(hex(forwarded_open), 2);
    EXPECT_EQ(a[0], to_hex(hex(open_reply)));
    EXPECT_EQ(a[1], owner_status("00 00 00 00"));
    EXPECT_EQ(st.args, "/dev/ttyUSB2 5 1");

    st.open_ret = UBUS_STATUS_NOT_SUPPORTED;
    a = serve(hex(forwarded_open), 2);
    EXPECT_EQ(a[0], to_hex(hex(open_reply)));
    EXPECT_EQ(a[1], owner_status("00 00 00 08"));
}

TEST_F(UbusOwnerTest, CallsThatReachNoHandler)
{
    const std::string open = "04 00 00 09 6f 70 65 6e 00 00 00 00 ";

    EXPECT_EQ(serve(call_frame("04 00 00 0a 6e 6f 70 65 00 00 00 00 07 00 00 04"), 1)[0],
              owner_status("00 00 00 03"));                                // method "nope"
    EXPECT_EQ(serve(call_frame(open), 1)[0], owner_status("00 00 00 02")); // no DATA
    // A string claiming more bytes than the arguments hold.
    EXPECT_EQ(serve(call_frame(open + "07 00 00 14 83 00 00 ff 00 01 61 00 62 63 64 00 00 00 00 00"), 1)[0],
              owner_status("00 00 00 02"));
    EXPECT_EQ(st.open_calls, 0);

    // NO_REPLY: the handler runs and only its DATA goes out.
    auto a = serve(call_frame(open + "07 00 00 04 0a 00 00 05 01 00 00 00"), 1);
    EXPECT_EQ(st.open_calls, 1);
    EXPECT_EQ(a[0].substr(0, 6), "00 02 ");
}

TEST_F(UbusOwnerTest, DeferredRequestCompletesLater)
{
    EXPECT_TRUE(serve(call_frame("04 00 00 0b 73 74 61 74 75 73 00 00 07 00 00 04"), 0).empty());
    EXPECT_EQ(st.status_calls, 1);

    blob_buf b = {};
    blob_buf_init(&b, 0);
    blobmsg_add_u32(&b, "fd", 7);
    EXPECT_EQ(ubus_send_reply(ctx, &st.saved, b.head), 0);
    ubus_complete_deferred_request(ctx, &st.saved, 0);
    blob_buf_free(&b);
    EXPECT_EQ(to_hex(read_frame(conn)), to_hex(hex("00 02 00 02 ac 36 2f 04 00 00 00 20 03 00 00 08 14 5c ae 9e"
                                                   " 07 00 00 14 85 00 00 10 00 02 66 64 00 00 00 00 00 00 00 07")));
    EXPECT_EQ(to_hex(read_frame(conn)), owner_status("00 00 00 00"));
}

// A caller's descriptor lives as long as the handler that got it, deferred
// or not, unless the handler took it. The deferred copy still names the
// number, which may belong to something else by the time the call
// completes: completing must leave it alone.
TEST_F(UbusOwnerTest, CallersDescriptorEndsWithTheHandlerUnlessTaken)
{
    // Passes a pipe's writing end with a deferred call; returns the reading
    // end, which reports a hang-up once no writing end is open anywhere.
    auto deferred_call_with_pipe = [&] {
        int fds[2] = {-1, -1};
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        send_with_fd(conn, call_frame("04 00 00 0b 73 74 61 74 75 73 00 00 07 00 00 04"), fds[1]);
        close(fds[1]);
        EXPECT_TRUE(wait_readable(ctx->sock.fd, 5000));
        ubus_handle_event(ctx);
        return fds[0];
    };
    auto hung_up = [](int fd) {
        pollfd p = {fd, POLLIN, 0};
        return poll(&p, 1, 0) == 1;
    };

    int left = deferred_call_with_pipe();
    EXPECT_EQ(st.status_calls, 1);
    EXPECT_TRUE(hung_up(left));
    // Usually the number is the lowest free one, and taken again at once.
    int stranger = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (stranger != st.saved.req_fd) {
        ASSERT_EQ(dup2(stranger, st.saved.req_fd), st.saved.req_fd);
        close(stranger);
    }
    ubus_complete_deferred_request(ctx, &st.saved, 0);
    EXPECT_EQ(to_hex(read_frame(conn)), owner_status("00 00 00 00"));
    EXPECT_EQ(close(st.saved.req_fd), 0) << "the stranger was closed";
    close(left);

    st.take_fd = true;
    int taken = deferred_call_with_pipe();
    ASSERT_GE(st.taken_fd, 0);
    EXPECT_FALSE(hung_up(taken));
    ubus_complete_deferred_request(ctx, &st.saved, 0);
    EXPECT_EQ(to_hex(read_frame(conn)), owner_status("00 00 00 00"));
    EXPECT_FALSE(hung_up(taken));
    close(st.taken_fd);
    EXPECT_TRUE(hung_up(taken));
    close(taken);
}

TEST_F(UbusOwnerTest, CallDuringASyncWaitRunsAfterItFromUloop)
{
    uint32_t id = 0;

    exchange({hex(forwarded_open), hex("00 01 00 02 00 00 00 00 00 00 00 0c 01 00 00 08 00 00 00 04")},
             [&] { EXPECT_EQ(ubus_lookup_id(ctx, "other", &id), UBUS_STATUS_NOT_FOUND); });
    EXPECT_EQ(st.open_calls, 0);

    wait_until(
        [&] {
            if (st.open_calls == 0)
                uloop_run_timeout(10);
            return st.open_calls != 0;
        },
        std::chrono::seconds(5));
    EXPECT_EQ(st.open_calls, 1);
    EXPECT_EQ(to_hex(read_frame(conn)), to_hex(hex(open_reply)));
    EXPECT_EQ(to_hex(read_frame(conn)), owner_status("00 00 00 00"));
}

TEST_F(UbusOwnerTest, FrameArrivingInPieces)
{
    bytes call = hex(forwarded_open);

    for (auto [from, to] : {std::pair{0, 10}, std::pair{10, 50}}) {
        write_bytes(conn, bytes(call.begin() + from, call.begin() + to));
        ASSERT_TRUE(wait_readable(ctx->sock.fd, 5000));
        ubus_handle_event(ctx);
        EXPECT_EQ(st.open_calls, 0);
    }
    EXPECT_EQ(serve(bytes(call.begin() + 50, call.end()), 2)[1], owner_status("00 00 00 00"));
    EXPECT_EQ(st.open_calls, 1);
}

// A status call whose arguments hold `pad` bytes, so that frames of every
// size come: within one read and larger than the library reads ahead.
bytes padded_status_call(size_t pad)
{
    blob_buf args = {}, body = {};
    blob_buf_init(&args, 0);
    blobmsg_add_string(&args, "pad", std::string(pad, 'p').c_str());
    blob_buf_init(&body, 0);
    blob_put_int32(&body, UBUS_ATTR_OBJID, 0x145cae9e);
    blob_put_string(&body, UBUS_ATTR_METHOD, "status");
    blob_put(&body, UBUS_ATTR_DATA, blob_data(args.head), unsigned(blob_len(args.head)));
    bytes frame = hex("00 05 00 02 ac 36 2f 04");
    auto *raw = reinterpret_cast<const uint8_t *>(body.head);
    frame.insert(frame.end(), raw, raw + blob_raw_len(body.head));
    blob_buf_free(&args);
    blob_buf_free(&body);
    return frame;
}

ino_t inode_of(int fd)
{
    struct stat s = {};
    fstat(fd, &s);
    return s.st_ino;
}

// Calls written back to back, some passing a descriptor, are read together
// however they fall into the library's reads: each descriptor must reach
// the call it came with, and no other.
TEST_F(UbusOwnerTest, DescriptorsStayWithTheCallsTheyCameWith)
{
    std::mt19937 random(28);
    st.take_fd = true;
    for (int round = 0; round < 40; round++) {
        size_t calls = 1 + random() % 5;
        std::vector<int> kept; // the reading end of each call's pipe, -1 for none
        for (size_t i = 0; i < calls; i++) {
            bytes frame = padded_status_call(random() % 3 == 0 ? 3000 + random() % 6000 : random() % 100);
            if (random() % 2) {
                write_bytes(conn, frame);
                kept.push_back(-1);
                continue;
            }
            int fds[2];
            ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
            send_with_fd(conn, frame, fds[1]);
            close(fds[1]);
            kept.push_back(fds[0]);
        }
        st.taken.clear();
        ASSERT_TRUE(handle_until(ctx, [&] { return st.taken.size() == calls; })) << "round " << round;
        for (size_t i = 0; i < calls; i++) {
            if (kept[i] < 0) {
                EXPECT_EQ(st.taken[i], -1) << "round " << round << ", call " << i;
            } else {
                EXPECT_GE(st.taken[i], 0) << "round " << round << ", call " << i;
                if (st.taken[i] >= 0) {
                    EXPECT_EQ(inode_of(st.taken[i]), inode_of(kept[i])) << "round " << round << ", call " << i;
                }
                close(kept[i]);
            }
            if (st.taken[i] >= 0)
                close(st.taken[i]);
        }
    }
}
