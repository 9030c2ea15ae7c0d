// Line setup: open a port's character device and put the line into raw
// mode with the requested framing. Runs on the port's own thread, which is
// the only one that opens, uses and closes its descriptor; what other
// threads read of it is published under state_lock.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

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

// The last component of a symlink's target; empty when it is none.
static std::string link_leaf(const std::string &link)
{
    char target[PATH_MAX];
    ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
    if (n <= 0)
        return {};
    target[n] = '\0';
    const char *slash = strrchr(target, '/');
    return slash ? slash + 1 : target;
}

device_kind device_kind_of(const char *sysfs_root, dev_t rdev)
{
    std::string device =
        std::string(sysfs_root) + "/dev/char/" + std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev));
    std::string device_class = link_leaf(device + "/subsystem");
    // Pseudo-terminals have no entry; a system without sysfs has none at all.
    // The terminal test on the open descriptor decides for them.
    if (device_class.empty() || device_class == "tty")
        return device_kind::TERMINAL;
    if (device_class == "wwan")
        return device_kind::AT_PORT;
    // The class also holds HID and printer devices; only the modem's
    // management port takes AT commands. The kernel's name counts, not a
    // link's.
    if (device_class == "usbmisc" && link_leaf(device).rfind("cdc-wdm", 0) == 0)
        return device_kind::AT_PORT;
    return device_kind::OTHER;
}

// Only a modem's ports are opened: any caller of the bus names the path, and
// one "AT\r\n" into raw flash, memory or the kernel log can brick the
// router. The class is decided from sysfs before opening, since opening
// alone sets some devices off (a watchdog starts counting), and the
// terminal test is made on the descriptor. A node swapped for another
// between the checks is refused too.
static int open_device(port_entry *entry, dev_t *rdev, device_kind *kind, open_failure *why)
{
    const char *path = entry->path;
    struct stat st;
    if (stat(path, &st) != 0) {
        why->kind = open_failure::OPEN_ERROR;
        why->err = errno;
        return -1;
    }
    *kind = S_ISCHR(st.st_mode) ? device_kind_of(entry->engine->sysfs_root.c_str(), st.st_rdev) : device_kind::OTHER;
    if (*kind == device_kind::OTHER) {
        why->kind = open_failure::NOT_SERIAL;
        return -1;
    }
    dev_t checked = st.st_rdev;
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why->kind = open_failure::OPEN_ERROR;
        why->err = errno;
        return -1;
    }
    termios tio;
    if (fstat(fd, &st) != 0 || st.st_rdev != checked || !S_ISCHR(st.st_mode) ||
        (*kind == device_kind::TERMINAL && tcgetattr(fd, &tio) != 0)) {
        close(fd);
        why->kind = open_failure::NOT_SERIAL;
        return -1;
    }
    *rdev = st.st_rdev;
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
}

// What the bytes read so far announced: a message text to come, a prompt
// given up, a fragment of a command to end. A new stream starts clean.
static void stream_reset(port_entry *entry)
{
    line_reset(entry);
    entry->next_text = TEXT_NONE;
    entry->prompt_abandoned = false;
    entry->fragment_out = false;
}

void port_forget_stream(port_entry *entry)
{
    stream_reset(entry);
    owed_reset(entry);
}

// Output a modem no longer reads (flow control) would hold the close for
// the tty's closing wait, 30 s by default: a "close", a hotplug repair or
// the daemon's exit. What the line still takes goes out first (the last
// command, the ESC that ends a prompt); once the queue stops shrinking, the
// rest is discarded. Nothing queued, nothing flushed: a pseudo-terminal
// reports nothing queued, and flushing it would drop bytes on their way.
constexpr int OUTPUT_STALL_MS = 100;
constexpr int OUTPUT_POLL_MS = 10;
constexpr int OUTPUT_DRAIN_MAX_MS = 500;

static void settle_output(int fd)
{
    int last = -1;
    int still_ms = 0;
    int waited_ms = 0;
    for (int queued; ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0; last = queued) {
        still_ms = queued == last ? still_ms + OUTPUT_POLL_MS : 0;
        waited_ms += OUTPUT_POLL_MS;
        // A slow line that still drains may not hold the close for long either.
        if (still_ms >= OUTPUT_STALL_MS || waited_ms >= OUTPUT_DRAIN_MAX_MS) {
            (void)tcflush(fd, TCOFLUSH);
            return;
        }
        (void)poll(nullptr, 0, OUTPUT_POLL_MS);
    }
}

void port_close(port_entry *entry)
{
    int fd = entry->fd;
    if (fd < 0)
        return;
    port_drop_descriptor(entry);
    settle_output(fd);
    close(fd);
}

int port_open(port_entry *entry, const port_settings &settings, open_failure *why)
{
    port_close(entry);
    if (access(entry->path, F_OK) != 0) {
        why->kind = open_failure::MISSING;
        return -1;
    }

    mutex_guard guard(&entry->engine->open_lock);
    dev_t rdev = 0;
    device_kind kind;
    int fd = open_device(entry, &rdev, &kind, why);
    if (fd < 0)
        return -1;
    if (device_taken(entry, rdev, why)) {
        close(fd);
        return -1;
    }
    // A WWAN or management port has no line to set up.
    if (kind == device_kind::TERMINAL)
        configure_line(fd, settings.baudrate, settings.databits, settings.parity, settings.stopbits);
    // Bytes of an unfinished line go with the device they came from. The
    // same device, reopened ("open" again, a node that came back), goes on
    // where it was: the rest of that line is still on its way.
    if (rdev != entry->owed_rdev)
        stream_reset(entry);
    entry->owed_rdev = rdev;
    owed_adopt(entry);
    mutex_guard state(&entry->state_lock);
    entry->settings = settings;
    entry->fd = fd;
    entry->rdev = rdev;
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
