// The library against the development broker. The test object lives in an
// owner process (this binary re-executed with --owner, so it gets its own
// event loop); calls come from this process through the broker.
#include "tests/bus/ubus/ubus_test_util.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace
{

// ---- owner process ----

ubus_context *owner_ctx;
ubus_request_data deferred_req;
blob_attr *deferred_msg;
uloop_timeout deferred_timer;

int owner_echo(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    ubus_send_reply(ctx, req, msg);
    return 0;
}

// Answers 50 ms later with a copy of the arguments.
int owner_defer(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    ubus_defer_request(ctx, req, &deferred_req);
    deferred_msg = blob_memdup(msg);
    deferred_timer.cb = [](uloop_timeout *) {
        ubus_send_reply(owner_ctx, &deferred_req, deferred_msg);
        ubus_complete_deferred_request(owner_ctx, &deferred_req, 0);
        free(deferred_msg);
    };
    uloop_timeout_set(&deferred_timer, 50);
    return 0;
}

int owner_hang(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *)
{
    static ubus_request_data never;
    ubus_defer_request(ctx, req, &never);
    return 0;
}

int owner_die(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *)
{
    _exit(0);
}

const ubus_method owner_methods[] = {
    UBUS_METHOD_NOARG("echo", owner_echo),
    UBUS_METHOD_NOARG("defer", owner_defer),
    UBUS_METHOD_NOARG("hang", owner_hang),
    UBUS_METHOD_NOARG("die", owner_die),
};
ubus_object_type owner_type = UBUS_OBJECT_TYPE("test", owner_methods);

int run_owner(const char *path, int ready_fd)
{
    ubus_object obj = {};
    obj.name = "test";
    obj.type = &owner_type;
    obj.methods = owner_methods;
    obj.n_methods = ARRAY_SIZE(owner_methods);

    owner_ctx = ubus_connect(path);
    if (!owner_ctx || ubus_add_object(owner_ctx, &obj) != 0 || write(ready_fd, "R", 1) != 1)
        return 1;
    close(ready_fd);
    ubus_add_uloop(owner_ctx);
    uloop_run();
    ubus_free(owner_ctx);
    uloop_done();
    return 0;
}

// ---- test process ----

bool broker_accepts(const std::string &path)
{
    sockaddr_un sun = {};
    sun.sun_family = AF_UNIX;
    snprintf(sun.sun_path, sizeof(sun.sun_path), "%s", path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)) == 0;
    close(fd);
    return ok;
}

pid_t spawn(const char *exe, const char *arg0, const char *a1, const char *a2, const char *a3)
{
    pid_t pid = fork();
    if (pid == 0) {
        execl(exe, arg0, a1, a2, a3, nullptr);
        _exit(127);
    }
    return pid;
}

void stop_child(pid_t *pid)
{
    if (*pid > 0) {
        kill(*pid, SIGKILL);
        waitpid(*pid, nullptr, 0);
    }
    *pid = -1;
}

// Collects "name=value" of every INT32 in each reply.
void log_reply(ubus_request *req, int, blob_attr *msg)
{
    auto *log = static_cast<std::string *>(req->priv);
    blob_attr *cur;
    size_t rem;

    blobmsg_for_each_attr(cur, msg, rem)
    {
        if (blobmsg_type(cur) == BLOBMSG_TYPE_INT32)
            *log += std::string(blobmsg_name(cur)) + "=" + std::to_string(blobmsg_get_u32(cur));
    }
}

class UbusBrokerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
#ifndef TARNEL_BUSD_PATH
        GTEST_SKIP() << "tarnel-busd is not part of this build";
#else
        if (access(TARNEL_BUSD_PATH, X_OK) != 0)
            GTEST_SKIP() << "tarnel-busd has not been built";
        dir = make_temp_dir();
        path = dir + "/ubus.sock";
        broker = spawn(TARNEL_BUSD_PATH, "tarnel-busd", "-s", path.c_str(), nullptr);
        for (int i = 0; i < 1000 && !broker_accepts(path); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(broker_accepts(path));

        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        std::string fd = std::to_string(ready[1]);
        owner = spawn("/proc/self/exe", "owner", "--owner", path.c_str(), fd.c_str());
        close(ready[1]);
        char c;
        bool up = wait_readable(ready[0], 10000) && read(ready[0], &c, 1) == 1;
        close(ready[0]);
        ASSERT_TRUE(up) << "owner process did not register its object";

        ctx = ubus_connect(path.c_str());
        ASSERT_NE(ctx, nullptr);
        ASSERT_EQ(ubus_lookup_id(ctx, "test", &test_id), 0);
#endif
    }

    void TearDown() override
    {
        ubus_free(ctx);
        stop_child(&owner);
        stop_child(&broker);
        remove_temp_dir(dir);
    }

    int call(const char *method, int n, std::string *log, int timeout = 5000)
    {
        blob_buf b = {};
        blob_buf_init(&b, 0);
        blobmsg_add_u32(&b, "n", n);
        int ret = ubus_invoke(ctx, test_id, method, b.head, log_reply, log, timeout);
        blob_buf_free(&b);
        return ret;
    }

    std::string dir, path;
    pid_t broker = -1, owner = -1;
    ubus_context *ctx = nullptr;
    uint32_t test_id = 0;
};

} // namespace

TEST_F(UbusBrokerTest, CallsReachTheOwnerAndRepliesComeBack)
{
    std::string log;

    EXPECT_EQ(call("echo", 42, &log), 0);
    EXPECT_EQ(call("defer", 7, &log), 0);
    EXPECT_EQ(log, "n=42n=7");
    EXPECT_EQ(call("nosuch", 1, &log), UBUS_STATUS_METHOD_NOT_FOUND);
    EXPECT_EQ(ubus_invoke(ctx, test_id + 1, "echo", nullptr, nullptr, nullptr, 5000), UBUS_STATUS_NOT_FOUND);
}

TEST_F(UbusBrokerTest, UnansweredOrAbandonedCallsEnd)
{
    std::string log;

    EXPECT_EQ(call("hang", 1, &log, 300), UBUS_STATUS_TIMEOUT);
    EXPECT_EQ(call("echo", 2, &log), 0);
    EXPECT_NE(call("die", 3, &log, 3000), 0);
    EXPECT_EQ(log, "n=2");

    // The dead owner's object goes with its connection.
    uint32_t id;
    int ret = 0;
    for (int i = 0; i < 500 && (ret = ubus_lookup_id(ctx, "test", &id)) == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(ret, UBUS_STATUS_NOT_FOUND);
}

static std::string events_seen;

TEST_F(UbusBrokerTest, EventsReachMatchingListeners)
{
    ubus_context *listener = ubus_connect(path.c_str());
    ASSERT_NE(listener, nullptr);
    ubus_event_handler ev = {};
    ev.cb = [](ubus_context *, ubus_event_handler *, const char *type, blob_attr *) {
        events_seen += std::string(type) + ";";
    };
    ASSERT_EQ(ubus_register_event_handler(listener, &ev, "foo.*"), 0);

    EXPECT_EQ(ubus_send_event(ctx, "other", nullptr), 0);
    EXPECT_EQ(ubus_send_event(ctx, "foo.bar", nullptr), 0);
    EXPECT_EQ(ubus_send_event(ctx, "ubus.object.add", nullptr), UBUS_STATUS_PERMISSION_DENIED);
    // Delivery keeps order, so "other" would have come first.
    EXPECT_TRUE(handle_until(listener, [] { return !events_seen.empty(); }));
    EXPECT_EQ(events_seen, "foo.bar;");

    EXPECT_EQ(ubus_unregister_event_handler(listener, &ev), 0);
    ubus_free(listener);
}

// A daemon's loop ends when its broker goes away.
TEST_F(UbusBrokerTest, BrokerLossEndsTheEventLoop)
{
    static bool gave_up;
    uloop_timeout guard = {};
    guard.cb = [](uloop_timeout *) {
        gave_up = true;
        uloop_end();
    };

    ubus_add_uloop(ctx);
    uloop_timeout_set(&guard, 10000);
    stop_child(&broker);
    uloop_run();
    uloop_timeout_cancel(&guard);
    EXPECT_FALSE(gave_up);
    EXPECT_EQ(ubus_invoke(ctx, test_id, "echo", nullptr, nullptr, nullptr, 0), UBUS_STATUS_CONNECTION_FAILED);
}

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "--owner") == 0)
        return run_owner(argv[2], atoi(argv[3]));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
