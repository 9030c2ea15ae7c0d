// The caller's side against a scripted broker: connect, lookup, invoke,
// events and notify, byte for byte.
#include "tests/bus/ubus/ubus_test_util.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <thread>

namespace
{

const char *const lookup_mini_reply = "00 02 00 01 00 00 00 00 00 00 00 7c 02 00 00 09 6d 69 6e 69 00 00 00 00"
                                      " 03 00 00 08 14 5c ae 9e 05 00 00 08 40 e1 85 fb 06 00 00 5c"
                                      " 82 00 00 48 00 04 6f 70 65 6e 00 00"
                                      " 85 00 00 14 00 07 61 74 5f 70 6f 72 74 00 00 00 00 00 00 03"
                                      " 85 00 00 14 00 07 74 69 6d 65 6f 75 74 00 00 00 00 00 00 05"
                                      " 85 00 00 14 00 08 73 65 6e 64 6f 6e 6c 79 00 00 00 00 00 07"
                                      " 82 00 00 10 00 06 73 74 61 74 75 73 00 00 00 00";

// DATA {"port":"/dev/ttyUSB2","fd":7,"ok":true} for seq `seq`.
bytes open_reply(uint8_t seq)
{
    bytes f = hex("00 02 00 00 14 5c ae 9e 00 00 00 4c 03 00 00 08 14 5c ae 9e 07 00 00 40"
                  " 83 00 00 19 00 04 70 6f 72 74 00 00 2f 64 65 76 2f 74 74 79 55 53 42 32 00 00 00 00"
                  " 85 00 00 10 00 02 66 64 00 00 00 00 00 00 00 07"
                  " 87 00 00 0d 00 02 6f 6b 00 00 00 00 01 00 00 00");
    f[3] = seq;
    return f;
}

bytes status(const char *seq_peer, const char *code)
{
    return hex(std::string("00 01 ") + seq_peer + " 00 00 00 0c 01 00 00 08 " + code);
}

struct replies_seen {
    int calls = 0;
    uint32_t fd = 0;
    ubus_object_data obj{};
    std::string path; // obj's pointers die with the callback
    size_t signature_len = 0;
};

void on_data(ubus_request *req, int, blob_attr *msg)
{
    static const blobmsg_policy policy[] = {{"fd", BLOBMSG_TYPE_INT32}};
    auto *s = static_cast<replies_seen *>(req->priv);
    blob_attr *tb[1];

    s->calls++;
    blobmsg_parse(policy, 1, tb, blob_data(msg), blob_len(msg));
    s->fd = tb[0] ? blobmsg_get_u32(tb[0]) : 0;
}

void on_lookup(ubus_context *, ubus_object_data *obj, void *priv)
{
    auto *s = static_cast<replies_seen *>(priv);
    s->calls++;
    s->obj = *obj;
    s->path = obj->path;
    s->signature_len = blob_len(obj->signature);
}

} // namespace

TEST(UbusConnectTest, GreetingIsCheckedAndNullPathFollowsTheEnvironment)
{
    struct {
        const char *hello;
        bool ok;
    } cases[] = {
        {"00 00 00 00 d3 fd 24 aa 00 00 00 04", true},  {"01 00 00 00 d3 fd 24 aa 00 00 00 04", false}, // version 1
        {"00 02 00 00 d3 fd 24 aa 00 00 00 04", false},                                                 // not HELLO
        {"00 00 00 00 00 00 00 01 00 00 00 04", false},                                                 // client id 1
        {"00 00 00 00 d3 fd 24 aa 00 00 00 02", false}, // body length < 4
    };
    temp_dir dir;
    std::string path = dir.file("ubus.sock");
    sockaddr_un sun = {};
    sun.sun_family = AF_UNIX;
    snprintf(sun.sun_path, sizeof(sun.sun_path), "%s", path.c_str());
    int lfd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)), 0);
    ASSERT_EQ(listen(lfd, 4), 0);
    setenv("UBUS_SOCKET", path.c_str(), 1);

    for (const auto &c : cases) {
        std::thread broker([&] {
            int fd = accept(lfd, nullptr, nullptr);
            write_bytes(fd, hex(c.hello));
            shutdown(fd, SHUT_WR);
            close(fd);
        });
        ubus_context *ctx = ubus_connect(nullptr);
        broker.join();
        EXPECT_EQ(ctx != nullptr, c.ok) << c.hello;
        EXPECT_EQ(ctx ? ctx->local_id : 0xd3fd24aa, 0xd3fd24aau);
        ubus_free(ctx);
    }
    unsetenv("UBUS_SOCKET");
    close(lfd);
    EXPECT_EQ(ubus_connect(path.c_str()), nullptr); // nobody listens
}

TEST(UbusStrerrorTest, KnownAndUnknownCodes)
{
    EXPECT_STREQ(ubus_strerror(0), "Success");
    EXPECT_STREQ(ubus_strerror(UBUS_STATUS_NO_DATA), "No response");
    EXPECT_STREQ(ubus_strerror(UBUS_STATUS_PARSE_ERROR), "Parsing message data failed");
    EXPECT_STREQ(ubus_strerror(UBUS_STATUS_SYSTEM_ERROR), "System error");
    EXPECT_STREQ(ubus_strerror(14), "Unknown error: 14");
    EXPECT_STREQ(ubus_strerror(-1), "Unknown error: -1");
}

TEST_F(UbusWireTest, LookupReportsObjectsAndIds)
{
    replies_seen seen;
    uint32_t id = 77;

    EXPECT_EQ(exchange({hex(lookup_mini_reply), status("00 01 00 00 00 00", "00 00 00 00")},
                       [&] { EXPECT_EQ(ubus_lookup(ctx, "mini", on_lookup, &seen), 0); }),
              to_hex(hex("00 04 00 01 00 00 00 00 00 00 00 10 02 00 00 09 6d 69 6e 69 00 00 00 00")));
    ASSERT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.path, "mini");
    EXPECT_EQ(seen.obj.id, 0x145cae9eu);
    EXPECT_EQ(seen.obj.type_id, 0x40e185fbu);
    EXPECT_EQ(seen.signature_len, 88u);

    // Not found; then success without DATA, which leaves the id alone.
    exchange({status("00 02 00 00 00 00", "00 00 00 04")},
             [&] { EXPECT_EQ(ubus_lookup_id(ctx, "x", &id), UBUS_STATUS_NOT_FOUND); });
    exchange({status("00 03 00 00 00 00", "00 00 00 00")}, [&] { EXPECT_EQ(ubus_lookup_id(ctx, "x", &id), 0); });
    EXPECT_EQ(id, 77u);
    EXPECT_EQ(
        exchange({status("00 04 00 00 00 00", "00 00 00 00")}, [&] { ubus_lookup(ctx, nullptr, on_lookup, &seen); }),
        to_hex(hex("00 04 00 04 00 00 00 00 00 00 00 04")));
}

TEST_F(UbusWireTest, InvokeSendsTheCallAndMatchesRepliesOnSeqAndPeer)
{
    blob_buf b = {};
    blob_buf_init(&b, 0);
    blobmsg_add_string(&b, "at_port", "/dev/ttyUSB2");
    blobmsg_add_u32(&b, "timeout", 5);
    blobmsg_add_u8(&b, "sendonly", 1);
    ctx->request_seq = 1; // the CLI's lookup went first
    replies_seen seen;
    bytes wrong_peer = open_reply(2), bad_version = open_reply(2);
    wrong_peer[7] ^= 1;
    bad_version[0] = 1;

    EXPECT_EQ(exchange({open_reply(9), wrong_peer, bad_version, open_reply(2),
                        hex("00 01 00 02 14 5c ae 9e 00 00 00 14 01 00 00 08 00 00 00 00"
                            " 03 00 00 08 14 5c ae 9e")},
                       [&] { EXPECT_EQ(ubus_invoke(ctx, 0x145cae9e, "open", b.head, on_data, &seen, 5000), 0); }),
              to_hex(hex("00 05 00 02 14 5c ae 9e 00 00 00 64 03 00 00 08 14 5c ae 9e"
                         " 04 00 00 09 6f 70 65 6e 00 00 00 00 07 00 00 4c"
                         " 83 00 00 1d 00 07 61 74 5f 70 6f 72 74 00 00 00"
                         " 2f 64 65 76 2f 74 74 79 55 53 42 32 00 00 00 00"
                         " 85 00 00 14 00 07 74 69 6d 65 6f 75 74 00 00 00 00 00 00 05"
                         " 87 00 00 11 00 08 73 65 6e 64 6f 6e 6c 79 00 00 01 00 00 00")));
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.fd, 7u);

    // A STATUS without its status attribute counts as invalid argument.
    exchange({hex("00 01 00 03 14 5c ae 9e 00 00 00 0c 03 00 00 08 14 5c ae 9e")}, [&] {
        EXPECT_EQ(ubus_invoke(ctx, 0x145cae9e, "x", nullptr, nullptr, nullptr, 0), UBUS_STATUS_INVALID_ARGUMENT);
    });

    // Over 1 MiB of arguments is refused before anything is sent.
    std::string big(UBUS_MSG_CHUNK_SIZE, 'x');
    for (int i = 0; i < 16; i++)
        blobmsg_add_string(&b, "k", big.c_str());
    EXPECT_EQ(ubus_invoke(ctx, 0x145cae9e, "open", b.head, nullptr, nullptr, 100), UBUS_STATUS_INVALID_ARGUMENT);
    EXPECT_FALSE(wait_readable(conn, 0));
    blob_buf_free(&b);
}

TEST_F(UbusWireTest, TimedOutCallIgnoresItsLateReply)
{
    replies_seen seen;

    EXPECT_EQ(exchange({},
                       [&] {
                           EXPECT_EQ(ubus_invoke(ctx, 0x145cae9e, "status", nullptr, on_data, &seen, 200),
                                     UBUS_STATUS_TIMEOUT);
                       }),
              to_hex(hex("00 05 00 01 14 5c ae 9e 00 00 00 1c 03 00 00 08 14 5c ae 9e"
                         " 04 00 00 0b 73 74 61 74 75 73 00 00 07 00 00 04")));

    exchange(
        {open_reply(1), status("00 01 14 5c ae 9e", "00 00 00 00"), status("00 02 14 5c ae 9e", "00 00 00 03")}, [&] {
            EXPECT_EQ(ubus_invoke(ctx, 0x145cae9e, "x", nullptr, on_data, &seen, 5000), UBUS_STATUS_METHOD_NOT_FOUND);
        });
    EXPECT_EQ(seen.calls, 0);
}

static int lost_calls;

TEST_F(UbusWireTest, LossEndsPendingCallsOnce)
{
    lost_calls = 0;
    ctx->connection_lost = [](ubus_context *) { lost_calls++; };

    // A frame announcing 1 MiB + 4 bytes cannot be skipped: the stream is lost.
    exchange({hex("00 01 00 01 14 5c ae 9e 00 10 00 04 01 00 00 08 00 00 00 00")}, [&] {
        EXPECT_EQ(ubus_invoke(ctx, 0x145cae9e, "x", nullptr, nullptr, nullptr, 0), UBUS_STATUS_CONNECTION_FAILED);
    });
    EXPECT_EQ(lost_calls, 1);
    uint32_t id;
    EXPECT_EQ(ubus_lookup_id(ctx, "mini", &id), UBUS_STATUS_CONNECTION_FAILED);
    EXPECT_EQ(lost_calls, 1);
}

TEST_F(UbusWireTest, AsyncCallCompletesFromTheSocketAndAbortSilencesIt)
{
    struct log {
        int data = 0, done = 0, status = -1;
    } seen, quiet;
    ubus_request req, aborted;
    auto start = [&](ubus_request *r, log *l) {
        ASSERT_EQ(ubus_invoke_async(ctx, 0x145cae9e, "open", nullptr, r), 0);
        r->data_cb = [](ubus_request *q, int, blob_attr *) { static_cast<log *>(q->priv)->data++; };
        r->complete_cb = [](ubus_request *q, int ret) {
            static_cast<log *>(q->priv)->done++;
            static_cast<log *>(q->priv)->status = ret;
        };
        r->priv = l;
        ubus_complete_request_async(ctx, r);
    };
    start(&req, &seen);
    start(&aborted, &quiet);
    ubus_abort_request(ctx, &aborted);

    for (const bytes &f : {open_reply(2), status("00 02 14 5c ae 9e", "00 00 00 00"), open_reply(1),
                           status("00 01 14 5c ae 9e", "00 00 00 04")})
        write_bytes(conn, f);
    ASSERT_TRUE(handle_until(ctx, [&] { return seen.done == 1; }));
    EXPECT_EQ(seen.data, 1);
    EXPECT_EQ(seen.status, UBUS_STATUS_NOT_FOUND);
    EXPECT_EQ(quiet.data + quiet.done, 0);
}

static std::string event_seen;

TEST_F(UbusWireTest, EventsRegisterListenAndSend)
{
    event_seen.clear(); // left over when the test is repeated
    ubus_event_handler ev = {};
    ev.cb = [](ubus_context *, ubus_event_handler *, const char *type, blob_attr *msg) {
        blob_attr *cur;
        size_t rem;
        event_seen = type;
        blobmsg_for_each_attr(cur, msg, rem) event_seen += std::string(" ") + blobmsg_name(cur);
    };

    // Anonymous object first, then the pattern.
    auto broker = std::async(std::launch::async, [this] {
        std::string add = to_hex(read_frame(conn));
        write_bytes(conn, hex("00 02 00 01 00 00 00 00 00 00 00 0c 03 00 00 08 18 57 91 b1"));
        write_bytes(conn, status("00 01 00 00 00 00", "00 00 00 00"));
        std::string reg = to_hex(read_frame(conn));
        write_bytes(conn, status("00 02 00 00 00 01", "00 00 00 00"));
        return add + "| " + reg;
    });
    EXPECT_EQ(ubus_register_event_handler(ctx, &ev, "*"), 0);
    EXPECT_EQ(broker.get(), to_hex(hex("00 06 00 01 00 00 00 00 00 00 00 04")) + "| " +
                                to_hex(hex("00 05 00 02 00 00 00 01 00 00 00 48 03 00 00 08 00 00 00 01"
                                           " 04 00 00 0d 72 65 67 69 73 74 65 72 00 00 00 00 07 00 00 2c"
                                           " 85 00 00 14 00 06 6f 62 6a 65 63 74 00 00 00 00 18 57 91 b1"
                                           " 83 00 00 12 00 07 70 61 74 74 65 72 6e 00 00 00 2a 00 00 00")));

    // Delivery: broker-wide seq, peer 0; the answer goes back the same way.
    const char *event_data = "07 00 00 1c 85 00 00 0c 00 01 78 00 00 00 00 01"
                             " 83 00 00 0b 00 01 73 00 68 69 00 00";
    write_bytes(conn, hex(std::string("00 05 00 01 00 00 00 00 00 00 00 34 03 00 00 08 18 57 91 b1"
                                      " 04 00 00 0c 66 6f 6f 2e 62 61 72 00 ") +
                          event_data));
    ASSERT_TRUE(handle_until(ctx, [] { return !event_seen.empty(); }));
    EXPECT_EQ(event_seen, "foo.bar x s");
    EXPECT_EQ(to_hex(read_frame(conn)), to_hex(hex("00 01 00 01 00 00 00 00 00 00 00 14 01 00 00 08 00 00 00 00"
                                                   " 03 00 00 08 18 57 91 b1")));

    // Sending wraps the data in {"id", "data"}; no data is an empty table.
    blob_buf b = {};
    blob_buf_init(&b, 0);
    blobmsg_add_u32(&b, "x", 1);
    blobmsg_add_string(&b, "s", "hi");
    EXPECT_EQ(exchange({status("00 03 00 00 00 01", "00 00 00 00")},
                       [&] { EXPECT_EQ(ubus_send_event(ctx, "foo.bar", b.head), 0); }),
              to_hex(hex("00 05 00 03 00 00 00 01 00 00 00 54 03 00 00 08 00 00 00 01"
                         " 04 00 00 09 73 65 6e 64 00 00 00 00 07 00 00 3c"
                         " 83 00 00 14 00 02 69 64 00 00 00 00 66 6f 6f 2e 62 61 72 00"
                         " 82 00 00 24 00 04 64 61 74 61 00 00 85 00 00 0c 00 01 78 00 00 00 00 01"
                         " 83 00 00 0b 00 01 73 00 68 69 00 00")));
    std::string sent = exchange({status("00 04 00 00 00 01", "00 00 00 06")}, [&] {
        EXPECT_EQ(ubus_send_event(ctx, "ubus.x", nullptr), UBUS_STATUS_PERMISSION_DENIED);
    });
    EXPECT_EQ(sent.substr(sent.size() - 36), to_hex(hex("82 00 00 0c 00 04 64 61 74 61 00 00")));
    blob_buf_free(&b);
}

TEST_F(UbusWireTest, NotifyWaitsForEveryListedSubscriber)
{
    ubus_object obj = {};
    obj.id = 0x145cae9e;

    EXPECT_EQ(ubus_notify(ctx, &obj, "tick", nullptr, -1), 0);
    EXPECT_EQ(to_hex(read_frame(conn)),
              to_hex(hex("00 0a 00 01 14 5c ae 9e 00 00 00 24 03 00 00 08 14 5c ae 9e"
                         " 04 00 00 09 74 69 63 6b 00 00 00 00 07 00 00 04 0a 00 00 05 01 00 00 00")));

    bytes listed = hex("00 01 00 02 14 5c ae 9e 00 00 00 28 03 00 00 08 14 5c ae 9e"
                       " 0b 00 00 14 00 00 00 08 00 00 0a 01 00 00 00 08 00 00 0a 02"
                       " 01 00 00 08 00 00 00 00");
    exchange({listed, status("00 02 00 00 0a 01", "00 00 00 00"), status("00 02 00 00 0a 02", "00 00 00 03")},
             [&] { EXPECT_EQ(ubus_notify(ctx, &obj, "tick", nullptr, 5000), 0); });

    listed[3] = 3; // seq 3: one subscriber stays silent
    exchange({listed, status("00 03 00 00 0a 01", "00 00 00 00")},
             [&] { EXPECT_EQ(ubus_notify(ctx, &obj, "tick", nullptr, 200), UBUS_STATUS_TIMEOUT); });
}
