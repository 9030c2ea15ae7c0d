// Line setup: open a port's character device and put the line into raw
// mode with the requested framing. Runs on the port's own thread, which is
// the only one that opens, uses and closes its descriptor; what other
// threads read of it is published under state_lock.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <linux/serial.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "port/console.h"
#include "port/port_internal.h"

static speed_t speed_constant(int32_t baudrate)
{
    switch (baudrate) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B115200;
    }
}

static tcflag_t size_flag(int32_t databits)
{
    switch (databits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

void line_attributes(termios *tio, int32_t baudrate, int32_t databits, int32_t parity, int32_t stopbits)
{
    cfsetispeed(tio, speed_constant(baudrate));
    cfsetospeed(tio, speed_constant(baudrate));

    tio->c_cflag = (tio->c_cflag & ~CSIZE) | size_flag(databits);
    if (parity == 1)
        tio->c_cflag |= PARENB | PARODD;
    else if (parity == 2)
        tio->c_cflag = (tio->c_cflag | PARENB) & ~PARODD;
    else
        tio->c_cflag &= ~PARENB;
    if (stopbits == 2)
        tio->c_cflag |= CSTOPB;
    else
        tio->c_cflag &= ~CSTOPB;
    tio->c_cflag |= CREAD | CLOCAL;

    tio->c_iflag &= ~(IXON | IXOFF | IXANY | ICRNL);
    tio->c_oflag &= ~OPOST;
    tio->c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
    tio->c_cc[VMIN] = 0;
    tio->c_cc[VTIME] = 1;
}

// Failures are ignored on purpose: the modem's ports sometimes refuse
// attributes, and the line works at whatever it runs.
static void configure_line(int fd, int32_t baudrate, int32_t databits, int32_t parity, int32_t stopbits)
{
    termios tio;
    memset(&tio, 0, sizeof(tio));
    (void)tcgetattr(fd, &tio);
    line_attributes(&tio, baudrate, databits, parity, stopbits);
    (void)tcsetattr(fd, TCSANOW, &tio);
}

// Closing a USB modem's port otherwise waits up to 30 s for output its
// driver cannot flush (the line's closing wait). Drivers without the
// setting refuse it, as pseudo-terminals do; nothing is lost then.
static void no_closing_wait(int fd)
{
    serial_struct serial;
    memset(&serial, 0, sizeof serial);
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || serial.closing_wait == ASYNC_CLOSING_WAIT_NONE)
        return;
    serial.closing_wait = ASYNC_CLOSING_WAIT_NONE;
    (void)ioctl(fd, TIOCSSERIAL, &serial);
}

struct fd_closer {
    int fd;
    ~fd_closer()
    {
        if (fd >= 0)
            close(fd);
    }
};

static bool same_node(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_rdev == b.st_rdev && S_ISCHR(b.st_mode);
}

// The node the checks looked at is the node that is opened: the caller's
// path is resolved once, into a descriptor that only names the node
// (O_PATH opens no device), and the device is opened through that very
// descriptor. A link swapped meanwhile can never get another node opened,
// not even for an instant: for some devices the open alone does the harm
// (a watchdog starts counting).
static int open_checked(int node, const struct stat &checked, open_failure *why)
{
    char by_descriptor[32];
    snprintf(by_descriptor, sizeof by_descriptor, "/proc/self/fd/%d", node);
    int fd = open(by_descriptor, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why->kind = open_failure::OPEN_ERROR;
        why->err = errno;
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !same_node(checked, st)) {
        close(fd);
        why->kind = open_failure::NOT_SERIAL;
        return -1;
    }
    return fd;
}

// Two records on one device (/dev/ttyUSB2 and /dev/./ttyUSB2, or a udev
// symlink beside the node) would split the modem's bytes between two
// readers. Caller holds open_lock.
static bool device_taken(port_entry *entry, dev_t rdev, open_failure *why)
{
    port_engine *engine = entry->engine;
    mutex_guard guard(&engine->registry_lock);
    for (port_entry *other = engine->ports; other; other = other->next) {
        if (other == entry)
            continue;
        mutex_guard state(&other->state_lock);
        if (other->fd >= 0 && other->rdev == rdev) {
            why->kind = open_failure::IN_USE;
            memcpy(why->other, other->path, PORT_PATH_MAX);
            return true;
        }
    }
    return false;
}

void port_drop_descriptor(port_entry *entry)
{
    mutex_guard guard(&entry->state_lock);
    entry->fd = -1;
    entry->rdev = 0;
}

void line_reset(port_entry *entry)
{
    entry->line_length = 0;
    entry->line_buffer[0] = '\0';
    entry->line_overflow = false;
    entry->overflow_cr = false;
    entry->line_before_open = false;
}

// What the bytes read so far announced: a message text to come, a prompt
// given up, a fragment of a command to end. A new stream starts clean.
static void stream_reset(port_entry *entry)
{
    line_reset(entry);
    entry->text = {};
    entry->framing = entry->after_info = entry->blank_after_info = false;
    echo_reset(entry);
    entry->prompt_abandoned = false;
    entry->fragment_out = false;
}

void port_forget_stream(port_entry *entry)
{
    stream_reset(entry);
    owed_reset(entry);
}

// Output a modem no longer reads (flow control) would hold the close: a
// "close", a hotplug repair or the daemon's exit. What the line still takes
// goes out first (the last command, the ESC that ends a prompt); once the
// queue stops shrinking, the rest is discarded. Nothing queued, nothing
// flushed: a pseudo-terminal reports nothing queued, and flushing it would
// drop bytes on their way.
constexpr int OUTPUT_STALL_MS = 100;
constexpr int OUTPUT_POLL_MS = 10;

int tty_output_queued(int fd)
{
    int queued = 0;
    return ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : 0;
}

static void settle_output(const port_engine *engine, int fd, int drain_max_ms)
{
    int last = -1;
    int still_ms = 0;
    int waited_ms = 0;
    for (int queued; (queued = engine->output_queued(fd)) > 0; last = queued) {
        still_ms = queued == last ? still_ms + OUTPUT_POLL_MS : 0;
        // A slow line that still drains may not hold the close for long either.
        if (still_ms >= OUTPUT_STALL_MS || waited_ms >= drain_max_ms) {
            (void)tcflush(fd, TCOFLUSH);
            return;
        }
        (void)poll(nullptr, 0, OUTPUT_POLL_MS);
        waited_ms += OUTPUT_POLL_MS;
    }
}

void port_close(port_entry *entry, int drain_max_ms)
{
    int fd = entry->fd;
    if (fd < 0)
        return;
    port_drop_descriptor(entry);
    port_close_detached(entry->engine, fd, drain_max_ms);
}

void port_close_detached(port_engine *engine, int fd, int drain_max_ms)
{
    settle_output(engine, fd, drain_max_ms);
    close(fd);
}

// Only a modem's port passes, judged on the node itself before its device
// is opened: any caller of the bus names the path, one "AT\r\n" into raw
// flash, memory or the kernel log can brick the router, and a terminal that
// a session holds belongs to the person using it.
static bool modem_port(const port_entry *entry, const struct stat &node, device_kind *kind, open_failure *why)
{
    const char *root = entry->engine->sysfs_root.c_str();
    *kind = S_ISCHR(node.st_mode) ? device_kind_of(root, node.st_rdev) : device_kind::OTHER;
    if (*kind == device_kind::OTHER) {
        why->kind = open_failure::NOT_SERIAL;
        return false;
    }
    if (*kind == device_kind::TERMINAL && held_as_controlling_terminal(node.st_rdev)) {
        why->kind = open_failure::NOT_SERIAL;
        why->controlling = true;
        return false;
    }
    return true;
}

// A repair opens a path only while it leads to the hardware the port had.
// Finding other hardware there is said and published once; the record then
// waits, closed, for its own hardware or for an "open".
static bool same_hardware(port_entry *entry, const std::string &now, bool new_identity, open_failure *why)
{
    if (new_identity || !entry->identity_known || entry->identity.empty() || now == entry->identity)
        return true;
    why->kind = open_failure::REPLACED;
    if (!entry->replaced_reported) {
        console_replaced(entry->path, entry->identity.c_str(), now.empty() ? "none" : now.c_str());
        emit_state(entry, "replaced");
        entry->replaced_reported = true;
    }
    return false;
}

// A port named by its hardware follows its interface: whatever was found
// for the name is its hardware now.
static void remember_hardware(port_entry *entry, const std::string &identity, bool new_identity)
{
    if (new_identity || !entry->identity_known || entry->by_hardware) {
        mutex_guard state(&entry->state_lock);
        entry->identity = identity;
        entry->identity_known = true;
    }
    entry->replaced_reported = false;
}

// Opened through the descriptor that was checked; a terminal must also take
// terminal attributes.
static int open_device(int node, const struct stat &st, device_kind kind, const port_settings &settings,
                       open_failure *why)
{
    int fd = open_checked(node, st, why);
    // A WWAN or management port has no line to set up.
    if (fd < 0 || kind != device_kind::TERMINAL)
        return fd;
    termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        close(fd);
        why->kind = open_failure::NOT_SERIAL;
        return -1;
    }
    no_closing_wait(fd);
    configure_line(fd, settings.baudrate, settings.databits, settings.parity, settings.stopbits);
    return fd;
}

int port_open(port_entry *entry, const port_settings &settings, open_failure *why, bool new_identity)
{
    port_close(entry);
    std::string path;
    if (!port_lookup_node(entry, &path, why))
        return -1;
    if (access(path.c_str(), F_OK) != 0) {
        why->kind = open_failure::MISSING;
        return -1;
    }
    fd_closer node{open(path.c_str(), O_PATH | O_CLOEXEC)};
    struct stat st;
    if (node.fd < 0 || fstat(node.fd, &st) != 0) {
        why->kind = open_failure::OPEN_ERROR;
        why->err = errno;
        return -1;
    }
    device_kind kind;
    if (!modem_port(entry, st, &kind, why))
        return -1;
    std::string identity = hardware_identity(entry->engine->sysfs_root.c_str(), st.st_rdev);
    if (!entry->by_hardware && !same_hardware(entry, identity, new_identity, why))
        return -1;

    mutex_guard guard(&entry->engine->open_lock);
    // The daemon's own virtual ports: a port opened on one would read its
    // own answers back as commands.
    if (entry->engine->refused.count(st.st_rdev)) {
        why->kind = open_failure::NOT_SERIAL;
        return -1;
    }
    if (device_taken(entry, st.st_rdev, why))
        return -1;
    int fd = open_device(node.fd, st, kind, settings, why);
    if (fd < 0)
        return -1;
    remember_hardware(entry, identity, new_identity);
    // Bytes of an unfinished line go with the device they came from. The
    // same device, reopened ("open" again, a node that came back), goes on
    // where it was: the rest of that line is still on its way. A node made
    // anew under the old number is a device that reset, or another modem:
    // nothing of the old stream, nor how it framed, goes on.
    node_stamp stamp = {st.st_dev, st.st_ino, st.st_ctim};
    bool new_device =
        st.st_rdev != entry->owed_rdev || (entry->owed_rdev != 0 && !same_node_stamp(stamp, entry->owed_node));
    if (new_device)
        stream_reset(entry);
    entry->owed_rdev = st.st_rdev;
    entry->owed_node = stamp;
    if (new_device)
        framing_recall(entry);
    echo_reopened(entry);
    entry->stashed_since_open = false;
    bool prompt_taken = owed_adopt(entry);
    {
        mutex_guard state(&entry->state_lock);
        entry->settings = settings;
        entry->fd = fd;
        entry->rdev = st.st_rdev;
        entry->node = std::move(path);
    }
    // Its init commands run before anything else on the port.
    entry->init_due = true;
    if (prompt_taken)
        at_cancel_adopted_prompt(entry);
    other_users_at_open(entry, st.st_rdev);
    return 0;
}

// The settings a repair reopens with: what was last asked for, with the
// defaults for what never was.
port_settings saved_settings(const port_entry *entry)
{
    port_settings s = entry->settings;
    if (s.baudrate <= 0)
        s.baudrate = DEFAULT_SETTINGS.baudrate;
    if (s.databits <= 0)
        s.databits = DEFAULT_SETTINGS.databits;
    if (s.stopbits <= 0)
        s.stopbits = DEFAULT_SETTINGS.stopbits;
    return s;
}
