// Whether a terminal is some session's controlling terminal. A login, an SSH
// session or a getty reads it: the daemon would switch its echo off and
// publish what is typed there (a password) as unsolicited lines. TIOCGSID
// answers only the terminal's own session, so every process's status is
// read instead: field 7 of /proc/PID/stat is its controlling terminal.
#include <dirent.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "port/device.h"

// The controlling terminal in a stat line, in the kernel's 32-bit encoding of
// device numbers: major in bits 8 to 19, minor in bits 0 to 7 and 20 to 31;
// 0 for none. The command name before it is in parentheses and may itself
// hold spaces and parentheses: the fields start after the last ')'.
static bool stat_terminal(const char *line, unsigned *major_nr, unsigned *minor_nr)
{
    const char *end = strrchr(line, ')');
    unsigned nr;
    if (!end || sscanf(end + 1, " %*c %*d %*d %*d %u", &nr) != 1 || nr == 0)
        return false;
    *major_nr = (nr >> 8) & 0xfff;
    *minor_nr = (nr & 0xff) | ((nr >> 12) & 0xfff00);
    return true;
}

static bool process_holds(int proc, const char *pid, dev_t rdev)
{
    char path[64];
    snprintf(path, sizeof path, "%s/stat", pid);
    int fd = openat(proc, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false; // ended meanwhile
    char line[1024];
    ssize_t n = read(fd, line, sizeof line - 1);
    close(fd);
    if (n <= 0)
        return false;
    line[n] = '\0';
    unsigned major_nr, minor_nr;
    return stat_terminal(line, &major_nr, &minor_nr) && major_nr == major(rdev) && minor_nr == minor(rdev);
}

bool held_as_controlling_terminal(dev_t rdev)
{
    DIR *proc = opendir("/proc");
    if (!proc)
        return false;
    bool held = false;
    while (dirent *e = readdir(proc)) {
        if (isdigit(static_cast<unsigned char>(e->d_name[0])) && process_holds(dirfd(proc), e->d_name, rdev)) {
            held = true;
            break;
        }
    }
    closedir(proc);
    return held;
}
