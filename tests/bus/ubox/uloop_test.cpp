// Event loop behaviour. Every run is bounded by a guard timer that ends the
// loop and records a failure, so a broken loop fails instead of hanging.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <libubox/uloop.h>

namespace
{

std::vector<std::string> fired;
bool guard_hit;

void guard_cb(struct uloop_timeout *)
{
    guard_hit = true;
    uloop_end();
}

class Uloop : public ::testing::Test
{
protected:
    struct uloop_timeout guard = {};

    void SetUp() override
    {
        fired.clear();
        guard_hit = false;
        ASSERT_EQ(uloop_init(), 0);
        ASSERT_EQ(uloop_init(), 0);
        guard.cb = guard_cb;
        uloop_timeout_set(&guard, 10000);
    }
    void TearDown() override
    {
        EXPECT_FALSE(guard_hit) << "loop did not finish by itself";
        uloop_done();
    }
};

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(fd), 0); }
    ~Pipe()
    {
        close_end(0);
        close_end(1);
    }
    void close_end(int i)
    {
        if (fd[i] >= 0)
            close(fd[i]);
        fd[i] = -1;
    }
};

void read_and_end(struct uloop_fd *u, unsigned int events)
{
    char c;

    if ((events & ULOOP_READ) && read(u->fd, &c, 1) == 1)
        fired.push_back(std::string("read:") + c);
    uloop_end();
}

TEST_F(Uloop, ReadableFdIsDispatchedAndMadeNonBlocking)
{
    Pipe p;
    struct uloop_fd u = {};
    u.cb = read_and_end;
    u.fd = p.fd[0];

    ASSERT_EQ(uloop_fd_add(&u, ULOOP_READ), 0);
    EXPECT_TRUE(u.registered);
    EXPECT_TRUE(fcntl(p.fd[0], F_GETFL) & O_NONBLOCK);
    ASSERT_EQ(write(p.fd[1], "x", 1), 1);
    EXPECT_EQ(uloop_run(), 0);
    EXPECT_EQ(fired, std::vector<std::string>{"read:x"});

    Pipe q;
    struct uloop_fd v = {};
    v.cb = read_and_end;
    v.fd = q.fd[0];
    ASSERT_EQ(uloop_fd_add(&v, ULOOP_READ | ULOOP_BLOCKING), 0);
    EXPECT_FALSE(fcntl(q.fd[0], F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(uloop_fd_add(&v, 0), 0);
    EXPECT_FALSE(v.registered);
    uloop_fd_delete(&u);
}

struct Named {
    struct uloop_timeout t;
    const char *name;
    bool last;
};

void named_cb(struct uloop_timeout *t)
{
    Named *n = container_of(t, Named, t);

    fired.push_back(n->name);
    if (n->last)
        uloop_end();
}

TEST_F(Uloop, TimersFireInDeadlineOrderEqualOnesFifo)
{
    Named a = {{}, "30", true}, b = {{}, "10", false}, c = {{}, "20", false};
    Named z1 = {{}, "0a", false}, z2 = {{}, "0b", false}, gone = {{}, "cancelled", false};

    for (Named *n : {&a, &b, &c, &z1, &z2, &gone})
        n->t.cb = named_cb;
    uloop_timeout_set(&a.t, 30);
    uloop_timeout_set(&b.t, 10);
    uloop_timeout_set(&c.t, 20);
    uloop_timeout_set(&z1.t, 0);
    uloop_timeout_set(&z2.t, 0);
    uloop_timeout_set(&gone.t, 15);

    EXPECT_EQ(uloop_timeout_add(&a.t), -1);
    EXPECT_EQ(uloop_timeout_cancel(&gone.t), 0);
    EXPECT_EQ(uloop_timeout_cancel(&gone.t), -1);
    EXPECT_EQ(uloop_timeout_remaining64(&gone.t), -1);
    int64_t left = uloop_timeout_remaining64(&a.t);
    EXPECT_GE(left, 0);
    EXPECT_LE(left, 30);

    EXPECT_EQ(uloop_run(), 0);
    EXPECT_EQ(fired, (std::vector<std::string>{"0a", "0b", "10", "20", "30"}));
}

int rearm_count;

void rearm_cb(struct uloop_timeout *t)
{
    EXPECT_FALSE(t->pending);
    if (++rearm_count < 3)
        uloop_timeout_set(t, 0);
}

// A timer re-arming itself for "now" waits for the next pass, so a
// 0 ms self-rearm cannot starve fd events.
TEST_F(Uloop, SelfRearmingTimerRunsOncePerPass)
{
    struct uloop_timeout t = {};
    t.cb = rearm_cb;
    rearm_count = 0;

    uloop_timeout_set(&t, 0);
    for (int pass = 1; pass <= 3; pass++) {
        uloop_run_timeout(0);
        EXPECT_EQ(rearm_count, pass);
    }
    EXPECT_FALSE(t.pending);
}

void send_sigterm(struct uloop_timeout *)
{
    kill(getpid(), SIGTERM);
}

void end_loop(struct uloop_timeout *)
{
    uloop_end();
}

TEST_F(Uloop, SigtermEndsRunWithItsNumberAndHandlersAreRestored)
{
    struct uloop_timeout t = {};
    struct sigaction sa;

    // uloop_end before the run is forgotten on entry.
    uloop_end();
    t.cb = end_loop;
    uloop_timeout_set(&t, 1);
    EXPECT_EQ(uloop_run(), 0);
    EXPECT_FALSE(uloop_cancelling());

    t.cb = send_sigterm;
    uloop_timeout_set(&t, 1);
    EXPECT_EQ(uloop_run(), SIGTERM);
    EXPECT_TRUE(uloop_cancelled);

    // Still installed: a second run can be ended the same way.
    uloop_timeout_set(&t, 1);
    EXPECT_EQ(uloop_run(), SIGTERM);

    // A signal that lands outside any run ends the next one, once.
    kill(getpid(), SIGTERM);
    EXPECT_EQ(uloop_run(), SIGTERM);
    t.cb = end_loop;
    uloop_timeout_set(&t, 1);
    EXPECT_EQ(uloop_run(), 0);

    uloop_done();
    ASSERT_EQ(sigaction(SIGTERM, NULL, &sa), 0);
    EXPECT_EQ(sa.sa_handler, SIG_DFL);
    ASSERT_EQ(sigaction(SIGPIPE, NULL, &sa), 0);
    EXPECT_EQ(sa.sa_handler, SIG_IGN);

    // An inherited SIG_IGN is left alone.
    signal(SIGINT, SIG_IGN);
    ASSERT_EQ(uloop_init(), 0);
    ASSERT_EQ(sigaction(SIGINT, NULL, &sa), 0);
    EXPECT_EQ(sa.sa_handler, SIG_IGN);
    signal(SIGINT, SIG_DFL);
    uloop_timeout_set(&guard, 10000);
}

struct Watched {
    struct uloop_fd u;
    unsigned int events;
    bool registered_in_cb;
    int calls;
};

void watch_cb(struct uloop_fd *u, unsigned int events)
{
    Watched *w = container_of(u, Watched, u);

    w->events = events;
    w->registered_in_cb = u->registered;
    w->calls++;
    uloop_end();
}

TEST_F(Uloop, HangupUnregistersBeforeCallbackEofDoesNot)
{
    Pipe p;
    Watched w = {};
    w.u.cb = watch_cb;
    w.u.fd = p.fd[0];
    ASSERT_EQ(uloop_fd_add(&w.u, ULOOP_READ), 0);
    p.close_end(1);
    uloop_run();
    EXPECT_EQ(w.calls, 1);
    EXPECT_TRUE(w.u.error);
    EXPECT_FALSE(w.registered_in_cb);
    EXPECT_FALSE(w.u.registered);

    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    Watched s = {};
    s.u.cb = watch_cb;
    s.u.fd = sv[0];
    ASSERT_EQ(uloop_fd_add(&s.u, ULOOP_READ), 0);
    shutdown(sv[1], SHUT_WR);
    uloop_run();
    EXPECT_TRUE(s.u.eof);
    EXPECT_FALSE(s.u.error);
    EXPECT_TRUE(s.registered_in_cb);
    EXPECT_TRUE(s.events & ULOOP_READ);
    uloop_fd_delete(&s.u);
    close(sv[0]);
    close(sv[1]);
}

struct Pair {
    struct uloop_fd u;
    struct uloop_fd *other;
    int calls;
};

void delete_other_cb(struct uloop_fd *u, unsigned int)
{
    Pair *self = container_of(u, Pair, u);
    Pair *other = container_of(self->other, Pair, u);

    self->calls++;
    uloop_fd_delete(&self->u);
    uloop_fd_delete(&other->u);
    other->calls += 1000; /* marks that it was deleted, not dispatched */
}

// Both fds are ready in the same batch; whichever runs first deletes the
// other, whose already-fetched event must then be dropped.
TEST_F(Uloop, CallbackMayDeleteAnotherReadyFd)
{
    Pipe p1, p2;
    Pair a = {}, b = {};
    a.u.cb = b.u.cb = delete_other_cb;
    a.u.fd = p1.fd[0];
    b.u.fd = p2.fd[0];
    a.other = &b.u;
    b.other = &a.u;
    ASSERT_EQ(uloop_fd_add(&a.u, ULOOP_READ), 0);
    ASSERT_EQ(uloop_fd_add(&b.u, ULOOP_READ), 0);
    ASSERT_EQ(write(p1.fd[1], "1", 1), 1);
    ASSERT_EQ(write(p2.fd[1], "2", 1), 1);

    for (int i = 0; i < 4; i++)
        uloop_run_timeout(20);
    EXPECT_EQ(a.calls + b.calls, 1001);
}

} // namespace
