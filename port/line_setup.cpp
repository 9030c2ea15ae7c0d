// Line setup: open a port's character device and put the line into raw
// mode with the requested framing. Runs on the port's own thread, which is
// the only one that opens, uses and closes its descriptor; what other
// threads read of it is published under state_lock.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

// Failures are ignored on purpose: a character device that is not a tty
// still carries bytes, and the modem's ports sometimes refuse attributes.
static void configure_line(int fd, int32_t baudrate, int32_t databits, int32_t parity, int32_t stopbits)
{
    termios tio;
    memset(&tio, 0, sizeof(tio));
    (void)tcgetattr(fd, &tio);
    line_attributes(&tio, baudrate, databits, parity, stopbits);
    (void)tcsetattr(fd, TCSANOW, &tio);
}

// Only character devices are opened: a mistyped path must never turn the
// daemon into a writer of regular files, and opening a FIFO could block
// the port. The device is checked before opening and again on the open
// descriptor, in case the node was swapped in between.
static int open_device(const char *path, dev_t *rdev, open_failure *why)
{
    struct stat st;
    if (stat(path, &st) != 0) {
        why->kind = open_failure::OPEN_ERROR;
        why->err = errno;
        return -1;
    }
    if (!S_ISCHR(st.st_mode)) {
        why->kind = open_failure::NOT_CHAR;
        return -1;
    }
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why->kind = open_failure::OPEN_ERROR;
        why->err = errno;
        return -1;
    }
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        close(fd);
        why->kind = open_failure::NOT_CHAR;
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

// Bytes of an unfinished line go with the descriptor they came from.
void port_drop_descriptor(port_entry *entry)
{
    {
        mutex_guard guard(&entry->state_lock);
        entry->fd = -1;
        entry->rdev = 0;
    }
    entry->line_length = 0;
    entry->line_buffer[0] = '\0';
    entry->line_overflow = false;
    entry->overflow_cr = false;
}

void port_close(port_entry *entry)
{
    int fd = entry->fd;
    if (fd < 0)
        return;
    port_drop_descriptor(entry);
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
    int fd = open_device(entry->path, &rdev, why);
    if (fd < 0)
        return -1;
    if (device_taken(entry, rdev, why)) {
        close(fd);
        return -1;
    }
    configure_line(fd, settings.baudrate, settings.databits, settings.parity, settings.stopbits);
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
