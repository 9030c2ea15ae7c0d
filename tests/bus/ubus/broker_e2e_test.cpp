// The library against the development broker. The test object lives in an
// owner process (this binary re-executed with --owner, so it gets its own
// event loop); calls come from this process through the broker.
#include "tests/bus/ubus/ubus_test_util.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "tests/support/child_process.h"

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

int run_owner(const char *path)
{
    ubus_object obj = {};
    obj.name = "test";
    obj.type = &owner_type;
    obj.methods = owner_methods;
    obj.n_methods = ARRAY_SIZE(owner_methods);

    owner_ctx = ubus_connect(path);
    // The test calls once this line is out.
    if (!owner_ctx || ubus_add_object(owner_ctx, &obj) != 0 || write(STDOUT_FILENO, "ready\n", 6) != 6)
        return 1;
    ubus_add_uloop(owner_ctx);
    uloop_run();
    ubus_free(owner_ctx);
    uloop_done();
    return 0;
}

// ---- test process ----

bool start_broker(child_process &broker, const std::string &path)
{
    return child_start(broker, {TARNEL_BUSD_PATH, "-s", path}) && wait_for_listener(path);
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
        ASSERT_TRUE(start_broker(broker, path));
        ASSERT_TRUE(child_start(owner, {"/proc/self/exe", "--owner", path}));
        ASSERT_TRUE(child_wait_output(owner, true, "ready\n")) << "owner process did not register its object";

        ctx = ubus_connect(path.c_str());
        ASSERT_NE(ctx, nullptr);
        ASSERT_EQ(ubus_lookup_id(ctx, "test", &test_id), 0);
#endif
    }

    void TearDown() override
    {
        ubus_free(ctx);
        child_stop(owner, SIGKILL);
        child_stop(broker, SIGKILL);
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

    temp_dir dir;
    std::string path = dir.file("ubus.sock");
    child_process broker, owner;
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
    wait_until([&] { return (ret = ubus_lookup_id(ctx, "test", &id)) != 0; }, std::chrono::seconds(5));
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

// ---- a broker restart ----

namespace
{

int survivor_ping(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *)
{
    blob_buf b = {};
    blob_buf_init(&b, 0);
    blobmsg_add_u32(&b, "pong", 1);
    ubus_send_reply(ctx, req, b.head);
    blob_buf_free(&b);
    return 0;
}

const ubus_method survivor_methods[] = {UBUS_METHOD_NOARG("ping", survivor_ping)};
ubus_object_type survivor_type = UBUS_OBJECT_TYPE("survivor", survivor_methods);

// Runs the loop until `done` holds (checked every 5 ms) or 10 s pass.
// False when the loop ended before, by itself.
template <typename Done>
bool loop_until(Done done)
{
    static std::function<bool()> check;
    static bool met;
    check = done;
    met = false;
    uloop_timeout poll = {};
    poll.cb = [](uloop_timeout *t) {
        met = check();
        if (met)
            uloop_end();
        else
            uloop_timeout_set(t, 5);
    };
    uloop_timeout guard = {};
    guard.cb = [](uloop_timeout *) { uloop_end(); };
    uloop_timeout_set(&guard, 10000);
    uloop_timeout_set(&poll, 5);
    uloop_run();
    uloop_timeout_cancel(&poll);
    uloop_timeout_cancel(&guard);
    return met;
}

// Calls path.method from another process while this one serves the
// object; returns the call's status, or -1. A plain fork rather than the
// child-process runner: the caller is library code of this binary, there
// is no program to start.
int call_from_outside(const std::string &socket, const char *path, const char *method)
{
    int done[2];
    if (pipe(done) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        ubus_context *c = ubus_connect(socket.c_str());
        uint32_t id = 0;
        int ret =
            !c || ubus_lookup_id(c, path, &id) ? 100 : ubus_invoke(c, id, method, nullptr, nullptr, nullptr, 5000);
        _exit(ret);
    }
    close(done[1]);
    static bool exited;
    exited = false;
    uloop_fd pipe_end = {};
    pipe_end.fd = done[0];
    pipe_end.cb = [](uloop_fd *, unsigned int) { exited = true; };
    uloop_fd_add(&pipe_end, ULOOP_READ);
    loop_until([] { return exited; });
    uloop_fd_delete(&pipe_end);
    close(done[0]);
    int ws = 0;
    if (waitpid(pid, &ws, 0) != pid || !WIFEXITED(ws))
        return -1;
    return WEXITSTATUS(ws);
}

size_t open_fds()
{
    size_t n = 0;
    for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator("/proc/self/fd"))
        n++;
    return n;
}

} // namespace

// With the default handler the loop outlives the broker, as with a
// router's library; the program reconnects and its object is back.
TEST_F(UbusBrokerTest, ObjectsComeBackAfterABrokerRestart)
{
    ubus_object obj = {};
    obj.name = "survivor";
    obj.type = &survivor_type;
    obj.methods = survivor_methods;
    obj.n_methods = ARRAY_SIZE(survivor_methods);
    ASSERT_EQ(ubus_add_object(ctx, &obj), 0);
    ubus_add_uloop(ctx);
    uint32_t old_client = ctx->local_id, old_object = obj.id;

    child_stop(broker, SIGKILL);
    static ubus_context *watched;
    watched = ctx;
    EXPECT_TRUE(loop_until([] { return !watched->sock.registered; })) << "the loop ended with the broker";
    EXPECT_EQ(ubus_invoke(ctx, test_id, "echo", nullptr, nullptr, nullptr, 0), UBUS_STATUS_CONNECTION_FAILED);

    ASSERT_TRUE(start_broker(broker, path));
    // A NULL path means the default socket, which the environment names.
    setenv("UBUS_SOCKET", path.c_str(), 1);
    int ret = ubus_reconnect(ctx, nullptr);
    unsetenv("UBUS_SOCKET");
    ASSERT_EQ(ret, 0);
    ubus_add_uloop(ctx);
    EXPECT_NE(ctx->local_id, old_client);
    EXPECT_NE(obj.id, old_object);
    EXPECT_NE(survivor_type.id, 0u);
    uint32_t found = 0;
    EXPECT_EQ(ubus_lookup_id(ctx, "survivor", &found), 0);
    EXPECT_EQ(found, obj.id);
    EXPECT_EQ(call_from_outside(path, "survivor", "ping"), 0);
}

// A call still open on the old connection ends there; failed attempts
// leave no descriptor behind.
TEST_F(UbusBrokerTest, ReconnectWithoutBrokerFailsCleanly)
{
    static int open_call_status;
    open_call_status = -1;
    ubus_request open_call;
    ASSERT_EQ(ubus_invoke_async(ctx, test_id, "hang", nullptr, &open_call), 0);
    open_call.complete_cb = [](ubus_request *, int ret) { open_call_status = ret; };
    ubus_complete_request_async(ctx, &open_call);

    child_stop(broker, SIGKILL);
    EXPECT_EQ(ubus_reconnect(ctx, path.c_str()), UBUS_STATUS_CONNECTION_FAILED);
    EXPECT_EQ(open_call_status, UBUS_STATUS_CONNECTION_FAILED);
    size_t fds = open_fds();
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(ubus_reconnect(ctx, path.c_str()), UBUS_STATUS_CONNECTION_FAILED);
    EXPECT_EQ(open_fds(), fds);
    EXPECT_EQ(ubus_invoke(ctx, test_id, "echo", nullptr, nullptr, nullptr, 0), UBUS_STATUS_CONNECTION_FAILED);
}

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "--owner") == 0)
        return run_owner(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
