/*
 * uloop.cpp - the epoll loop, fd registration and signal wake-up.
 *
 * epoll results are fetched in small batches but dispatched one fd callback
 * per loop pass, so timers get a look-in between callbacks. Deleting an fd
 * erases its not-yet-dispatched events from the batch: a callback may
 * delete (and free) any other uloop_fd safely.
 *
 * SIGINT/SIGTERM only record the signal, set uloop_cancelled and write a
 * byte to a self-pipe that the loop watches; the handler may run on any
 * thread, hence the atomics.
 */
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "uloop_internal.h"

bool uloop_cancelled = false;

namespace
{

constexpr int kMaxEvents = 10;

int poll_fd = -1;
int waker_pipe[2] = {-1, -1};
std::atomic<int> waker_write_fd{-1};
std::atomic<int> signal_status{0};
std::atomic<int> signal_unconsumed{0}; /* arrived, no run has ended on it yet */
struct uloop_fd waker_fd;
int run_depth;

struct epoll_event events[kMaxEvents];
int cur_event;   /* next batch entry to dispatch */
int cur_nevents; /* entries left in the batch */

struct saved_signal {
    int signo;
    bool installed;
    struct sigaction previous;
};

saved_signal saved_signals[] = {{SIGINT, false, {}}, {SIGTERM, false, {}}};

bool is_cancelled()
{
    return __atomic_load_n(&uloop_cancelled, __ATOMIC_SEQ_CST);
}

void set_cancelled(bool value)
{
    __atomic_store_n(&uloop_cancelled, value, __ATOMIC_SEQ_CST);
}

void handle_signal(int signo)
{
    int saved_errno = errno;
    int fd = waker_write_fd.load();

    signal_status.store(signo);
    signal_unconsumed.store(signo);
    set_cancelled(true);
    if (fd >= 0) {
        ssize_t ignored = write(fd, "w", 1);
        (void)ignored;
    }
    errno = saved_errno;
}

void drain_waker(struct uloop_fd *u, unsigned int)
{
    char buf[64];

    while (read(u->fd, buf, sizeof(buf)) > 0)
        ;
}

bool is_default(const struct sigaction &sa)
{
    return !(sa.sa_flags & SA_SIGINFO) && sa.sa_handler == SIG_DFL;
}

/* An inherited SIG_IGN (or a handler the program set up) is respected. */
void install_signal(saved_signal &s)
{
    struct sigaction current, ours = {};

    if (s.installed || sigaction(s.signo, NULL, &current) < 0 || !is_default(current))
        return;
    ours.sa_handler = handle_signal;
    sigemptyset(&ours.sa_mask);
    /* No SA_RESTART: a blocking call in a callback should see EINTR. */
    ours.sa_flags = 0;
    if (sigaction(s.signo, &ours, &s.previous) == 0)
        s.installed = true;
}

/* Leave alone a handler the program installed over ours in the meantime. */
void restore_signal(saved_signal &s)
{
    struct sigaction current;

    if (!s.installed)
        return;
    s.installed = false;
    if (sigaction(s.signo, NULL, &current) == 0 && !(current.sa_flags & SA_SIGINFO) &&
        current.sa_handler == handle_signal)
        sigaction(s.signo, &s.previous, NULL);
}

void ignore_sigpipe()
{
    struct sigaction current, ign = {};

    if (sigaction(SIGPIPE, NULL, &current) < 0 || !is_default(current))
        return;
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    sigaction(SIGPIPE, &ign, NULL);
}

void close_fds()
{
    waker_write_fd.store(-1);
    for (int &fd : waker_pipe) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    if (poll_fd >= 0)
        close(poll_fd);
    poll_fd = -1;
    waker_fd.registered = false;
    cur_event = cur_nevents = 0;
}

void forget_pending_events(const struct uloop_fd *u)
{
    for (int i = cur_event; i < cur_event + cur_nevents; i++) {
        if (events[i].data.ptr == u)
            events[i].data.ptr = NULL;
    }
}

unsigned int epoll_flags(unsigned int flags)
{
    unsigned int ev = EPOLLRDHUP;

    if (flags & ULOOP_READ)
        ev |= EPOLLIN;
    if (flags & ULOOP_WRITE)
        ev |= EPOLLOUT;
    if (flags & ULOOP_EDGE_TRIGGER)
        ev |= EPOLLET;
    return ev;
}

/*
 * On ERR/HUP the fd is unregistered before its callback runs, so a callback
 * that only reads and returns cannot leave the loop spinning on a dead fd.
 */
void dispatch(struct uloop_fd *u, uint32_t ev)
{
    unsigned int got = 0;

    if (ev & (EPOLLERR | EPOLLHUP)) {
        u->error = true;
        uloop_fd_delete(u);
    }
    if (ev & EPOLLRDHUP)
        u->eof = true;
    if (ev & EPOLLIN)
        got |= ULOOP_READ;
    if (ev & EPOLLOUT)
        got |= ULOOP_WRITE;
    if (u->cb)
        u->cb(u, got);
}

/* Dispatch at most one callback, waiting up to timeout ms for a batch. */
void run_events(int timeout)
{
    if (cur_nevents <= 0) {
        int n = epoll_wait(poll_fd, events, kMaxEvents, timeout);

        cur_event = 0;
        cur_nevents = n > 0 ? n : 0;
    }

    while (cur_nevents > 0) {
        struct epoll_event *ev = &events[cur_event++];
        struct uloop_fd *u = (struct uloop_fd *)ev->data.ptr;

        cur_nevents--;
        if (!u)
            continue;
        dispatch(u, ev->events);
        return;
    }
}

} // namespace

int uloop_fd_add(struct uloop_fd *sock, unsigned int flags)
{
    struct epoll_event ev = {};
    int op;

    if (!(flags & ULOOP_EVENT_MASK))
        return uloop_fd_delete(sock);
    if (poll_fd < 0) {
        errno = EBADF;
        return -1;
    }

    if (!sock->registered && !(flags & ULOOP_BLOCKING)) {
        int fl = fcntl(sock->fd, F_GETFL);

        if (fl < 0 || fcntl(sock->fd, F_SETFL, fl | O_NONBLOCK) < 0)
            return -1;
    }

    ev.events = epoll_flags(flags);
    ev.data.ptr = sock;
    op = sock->registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    /* Still marked registered from before a uloop_done/uloop_init cycle. */
    if (epoll_ctl(poll_fd, op, sock->fd, &ev) < 0 &&
        (op != EPOLL_CTL_MOD || errno != ENOENT || epoll_ctl(poll_fd, EPOLL_CTL_ADD, sock->fd, &ev) < 0))
        return -1;

    sock->flags = (uint8_t)flags;
    sock->registered = true;
    sock->eof = false;
    sock->error = false;
    return 0;
}

int uloop_fd_delete(struct uloop_fd *sock)
{
    forget_pending_events(sock);
    if (!sock->registered)
        return 0;
    sock->registered = false;
    sock->flags = 0;
    /* Fails harmlessly if the fd was closed first: epoll already forgot it. */
    if (poll_fd >= 0)
        epoll_ctl(poll_fd, EPOLL_CTL_DEL, sock->fd, NULL);
    return 0;
}

int uloop_init(void)
{
    if (poll_fd >= 0)
        return 0;

    poll_fd = epoll_create1(EPOLL_CLOEXEC);
    if (poll_fd < 0)
        return -1;
    if (pipe2(waker_pipe, O_NONBLOCK | O_CLOEXEC) < 0) {
        close_fds();
        return -1;
    }

    waker_fd = {};
    waker_fd.cb = drain_waker;
    waker_fd.fd = waker_pipe[0];
    if (uloop_fd_add(&waker_fd, ULOOP_READ) < 0) {
        close_fds();
        return -1;
    }
    waker_write_fd.store(waker_pipe[1]);

    for (saved_signal &s : saved_signals)
        install_signal(s);
    ignore_sigpipe();
    return 0;
}

bool uloop_cancelling(void)
{
    return run_depth > 0 && is_cancelled();
}

int uloop_run_timeout(int timeout)
{
    if (poll_fd < 0 && uloop_init() < 0)
        return -1;

    /*
	 * Entry forgets an earlier uloop_end(), but not a signal that came
	 * while no run was active (start-up, a synchronous call): dropping it
	 * would leave a SIGTERM'd process running.
	 */
    int early_signal = signal_unconsumed.exchange(0);

    run_depth++;
    signal_status.store(early_signal);
    set_cancelled(early_signal != 0);
    for (;;) {
        int wait;

        uloop_process_timeouts();
        if (is_cancelled())
            break;

        wait = uloop_next_timeout_ms();
        if (timeout >= 0 && (wait < 0 || wait > timeout))
            wait = timeout;
        run_events(wait);
        if (is_cancelled() || timeout >= 0)
            break;
    }
    run_depth--;
    if (signal_status.load())
        signal_unconsumed.store(0);
    return signal_status.load();
}

void uloop_done(void)
{
    for (saved_signal &s : saved_signals)
        restore_signal(s);
    close_fds();
    uloop_clear_timeouts();
    signal_unconsumed.store(0);
}
