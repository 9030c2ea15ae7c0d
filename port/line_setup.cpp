// Line setup: open a port's character device, put the line into raw mode
// with the requested framing and start its reader. Open, close and the
// reopen done by the monitor all run under the record's state_lock.
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

static void report_not_char_device(const char *path)
{
    fprintf(stderr, "Failed to open %s: %s\n", path, "not a character device");
}

// Only character devices are opened: a mistyped path must never turn the
// daemon into a writer of regular files, and opening a FIFO could block
// the bus. The device is checked before opening and again on the open
// descriptor, in case the node was swapped in between.
static int open_device(port_entry *entry)
{
    struct stat st;
    if (stat(entry->path, &st) != 0) {
        fprintf(stderr, "Failed to open %s: %s\n", entry->path, strerror(errno));
        return -1;
    }
    if (!S_ISCHR(st.st_mode)) {
        report_not_char_device(entry->path);
        return -1;
    }
    int fd = open(entry->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "Failed to open %s: %s\n", entry->path, strerror(errno));
        return -1;
    }
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        close(fd);
        report_not_char_device(entry->path);
        return -1;
    }
    return fd;
}

static void wake_reader(port_entry *entry)
{
    uint64_t one = 1;
    ssize_t n = write(entry->wake_fd, &one, sizeof(one));
    (void)n; // a counter already non-zero still wakes the reader
}

static void drain_wake(port_entry *entry)
{
    uint64_t count;
    ssize_t n = read(entry->wake_fd, &count, sizeof(count));
    (void)n;
}

void port_release_locked(port_entry *entry)
{
    if (!entry->is_open && !entry->has_reader && entry->fd < 0)
        return;
    entry->stop_reader = 1;
    if (entry->has_reader) {
        wake_reader(entry);
        pthread_join(entry->reader, nullptr);
        entry->reader = pthread_t();
        entry->has_reader = false;
    }
    entry->is_open = 0;
    if (entry->fd >= 0) {
        close(entry->fd);
        entry->fd = -1;
    }
}

int port_open_locked(port_entry *entry, int32_t baudrate, int32_t databits, int32_t parity, int32_t stopbits)
{
    port_release_locked(entry);

    if (access(entry->path, F_OK) != 0) {
        fprintf(stderr, "Port file %s does not exist\n", entry->path);
        return -1;
    }
    int fd = open_device(entry);
    if (fd < 0)
        return -1;
    entry->fd = fd;

    configure_line(fd, baudrate, databits, parity, stopbits);
    entry->baudrate = baudrate;
    entry->databits = databits;
    entry->parity = parity;
    entry->stopbits = stopbits;

    pthread_mutex_lock(&entry->line_lock);
    entry->line_length = 0;
    entry->line_buffer[0] = '\0';
    pthread_mutex_unlock(&entry->line_lock);

    drain_wake(entry);
    entry->is_open = 1;
    entry->stop_reader = 0;
    if (pthread_create(&entry->reader, nullptr, port_reader_main, entry) != 0) {
        fprintf(stderr, "Failed to create reader thread for %s\n", entry->path);
        entry->is_open = 0;
        close(fd);
        entry->fd = -1;
        return -1;
    }
    entry->has_reader = true;
    return 0;
}

int port_open(port_entry *entry, int32_t baudrate, int32_t databits, int32_t parity, int32_t stopbits)
{
    mutex_guard guard(&entry->state_lock);
    return port_open_locked(entry, baudrate, databits, parity, stopbits);
}

void port_close(port_entry *entry)
{
    mutex_guard guard(&entry->state_lock);
    port_release_locked(entry);
}
