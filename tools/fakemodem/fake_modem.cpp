// Life cycle of the simulated modem (pty, link, thread) and the scripting
// calls that tests make while it serves.
#include "tools/fakemodem/fake_modem_state.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

namespace
{

// The slave is held open by us: without an opener the master reports a
// hangup on every poll, and the raw settings would be lost between the
// daemon's opens.
int open_pty(fake_modem *modem)
{
    modem->master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (modem->master < 0 || grantpt(modem->master) < 0 || unlockpt(modem->master) < 0)
        return -1;
    char name[PATH_MAX];
    if (ptsname_r(modem->master, name, sizeof name) != 0)
        return -1;
    modem->slave_name = name;
    modem->slave_hold = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (modem->slave_hold < 0)
        return -1;
    termios tio;
    if (tcgetattr(modem->slave_hold, &tio) < 0)
        return -1;
    cfmakeraw(&tio);
    return tcsetattr(modem->slave_hold, TCSANOW, &tio);
}

// A symlink already at the path is a leftover (or a modem that went away)
// and is replaced; a real file or device there is never ours to remove.
int place_link(fake_modem *modem)
{
    struct stat st;
    if (lstat(modem->link_path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            errno = EEXIST;
            return -1;
        }
        if (unlink(modem->link_path.c_str()) < 0 && errno != ENOENT)
            return -1;
    }
    if (symlink(modem->slave_name.c_str(), modem->link_path.c_str()) < 0 || lstat(modem->link_path.c_str(), &st) < 0)
        return -1;
    modem->link_ino = st.st_ino;
    modem->link_ctime = st.st_ctim;
    return 0;
}

bool link_is_ours(const fake_modem *modem)
{
    struct stat st;
    return lstat(modem->link_path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && st.st_ino == modem->link_ino &&
           st.st_ctim.tv_sec == modem->link_ctime.tv_sec && st.st_ctim.tv_nsec == modem->link_ctime.tv_nsec;
}

// Someone else's link at our path stays where it is.
int remove_own_link(const fake_modem *modem)
{
    if (!link_is_ours(modem))
        return 0;
    return unlink(modem->link_path.c_str()) == 0 || errno == ENOENT ? 0 : -1;
}

void close_all(fake_modem *modem)
{
    for (int fd : {modem->master, modem->slave_hold, modem->wake})
        if (fd >= 0)
            close(fd);
    delete modem;
}

} // namespace

fake_modem *fake_modem_create(const std::string &link_path, const fake_modem_options &options)
{
    auto *modem = new fake_modem;
    modem->link_path = link_path;
    modem->echo = options.echo;
    modem->echo_at_once = options.echo_at_once;
    modem->framed = options.framed;
    modem->answer_delay_ms = options.answer_delay_ms;
    modem->keep_log = options.keep_log;
    modem->signal_moves = options.moving_signal;
    modem->escape_answer = options.escape_answer;
    modem->on_message = options.on_message;
    if (!options.sim_pin.empty()) {
        modem->sim.state = fake_modem_sim_state::pin;
        modem->sim.pin = options.sim_pin;
    }

    modem->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (modem->wake < 0 || open_pty(modem) < 0 || place_link(modem) < 0) {
        int saved = errno;
        close_all(modem);
        errno = saved;
        return nullptr;
    }
    try {
        modem->server = std::thread(fake_modem_serve, modem);
    } catch (const std::system_error &) {
        remove_own_link(modem);
        close_all(modem);
        errno = EAGAIN;
        return nullptr;
    }
    return modem;
}

void fake_modem_destroy(fake_modem *modem)
{
    if (!modem)
        return;
    {
        std::lock_guard guard(modem->lock);
        modem->stop = true;
    }
    fake_modem_wake(modem);
    modem->server.join();
    // After a hangup the pts number may already serve another pty; the link
    // is still the one we made, and removing it is still right.
    remove_own_link(modem);
    close_all(modem);
}

const std::string &fake_modem_slave_name(const fake_modem *modem)
{
    return modem->slave_name;
}

const std::string &fake_modem_link_path(const fake_modem *modem)
{
    return modem->link_path;
}

void fake_modem_set_answer(fake_modem *modem, const std::string &command, std::vector<fake_modem_chunk> chunks)
{
    std::lock_guard guard(modem->lock);
    modem->answers[command] = std::move(chunks);
}

void fake_modem_set_echo(fake_modem *modem, bool on)
{
    std::lock_guard guard(modem->lock);
    modem->echo = on;
}

void fake_modem_set_prompt(fake_modem *modem, fake_modem_prompt mode, int late_ms)
{
    std::lock_guard guard(modem->lock);
    modem->prompt = mode;
    modem->prompt_late_ms = late_ms;
}

void fake_modem_pause_reading(fake_modem *modem, bool paused)
{
    std::lock_guard guard(modem->lock);
    modem->reading_paused = paused;
    fake_modem_wake(modem);
}

void fake_modem_inject(fake_modem *modem, std::string_view bytes)
{
    std::lock_guard guard(modem->lock);
    modem->ready.append(bytes);
    fake_modem_wake(modem);
}

void fake_modem_flood(fake_modem *modem, bool on)
{
    std::lock_guard guard(modem->lock);
    modem->flood = on;
    fake_modem_wake(modem);
}

std::string fake_modem_log(fake_modem *modem)
{
    std::lock_guard guard(modem->lock);
    return modem->log;
}

void fake_modem_clear_log(fake_modem *modem)
{
    std::lock_guard guard(modem->lock);
    modem->log.clear();
}

bool fake_modem_wait_log(fake_modem *modem, const std::function<bool(const std::string &)> &cond,
                         std::chrono::milliseconds timeout)
{
    std::unique_lock guard(modem->lock);
    return modem->changed.wait_for(guard, timeout, [&] { return cond(modem->log); });
}

bool fake_modem_wait_log_contains(fake_modem *modem, std::string_view needle, std::chrono::milliseconds timeout)
{
    return fake_modem_wait_log(
        modem, [needle](const std::string &log) { return log.find(needle) != std::string::npos; }, timeout);
}

bool fake_modem_wait_sent(fake_modem *modem, std::chrono::milliseconds timeout)
{
    std::unique_lock guard(modem->lock);
    return modem->changed.wait_for(guard, timeout, [&] { return modem->ready.empty() && modem->scheduled.empty(); });
}

bool fake_modem_wait_unread(fake_modem *modem, size_t bytes, std::chrono::milliseconds timeout)
{
    // Nothing wakes us when the daemon writes while the serving thread does
    // not read: the count in the line is looked at until it is reached.
    auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int queued = 0;
        if (ioctl(modem->master, FIONREAD, &queued) == 0 && size_t(queued) >= bytes)
            return true;
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int fake_modem_unplug(fake_modem *modem)
{
    return remove_own_link(modem);
}

int fake_modem_replug(fake_modem *modem)
{
    return link_is_ours(modem) ? 0 : place_link(modem);
}

void fake_modem_hangup(fake_modem *modem)
{
    std::unique_lock guard(modem->lock);
    modem->hangup_requested = true;
    fake_modem_wake(modem);
    modem->changed.wait(guard, [&] { return modem->hung_up; });
}
