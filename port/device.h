// What a character device is, decided before it is opened: whether it is a
// modem's port at all, whether a person's session uses it, and which piece
// of hardware it is. All of it goes by the device number, so every path or
// link that leads to a device gets the same answer.
#pragma once

#include <sys/types.h>

#include <string>

// By the device's class under sysfs_root: a terminal candidate (class tty,
// or none known: it must pass tcgetattr once open), a modem's AT port
// without a line (a WWAN port of type AT, a USB management port of an AT
// driver), or anything else: no modem's port, or a console (/dev/tty,
// /dev/console, /dev/ptmx, ttyprintk, the virtual consoles, the terminals
// the kernel's console writes to).
enum class device_kind { TERMINAL, AT_PORT, OTHER };
device_kind device_kind_of(const char *sysfs_root, dev_t rdev);

// Whether some process has this terminal as its controlling terminal (a
// login, a shell, a getty): it reads and writes the terminal itself.
bool held_as_controlling_terminal(dev_t rdev);

// The hardware behind a device, which stays the same when its node's name
// changes hands: "usb VID:PID [serial S] interface N" for a USB port, the
// device's path in sysfs for another device, empty when the device has no
// sysfs entry (a pseudo-terminal).
std::string hardware_identity(const char *sysfs_root, dev_t rdev);
