// What a character device is, decided before it is opened: whether it is a
// modem's port at all, whether a person's session uses it, and which piece
// of hardware it is. All of it goes by the device number, so every path or
// link that leads to a device gets the same answer.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

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
// changes hands: "usb:VID:PID:IF" (or "usb:VID:PID:SERIAL:IF" when the
// device has a serial number) for a USB port, which is also the name that
// finds it again; the device's path in sysfs for another device; empty
// when the device has no sysfs entry (a pseudo-terminal).
std::string hardware_identity(const char *sysfs_root, dev_t rdev);

// A port named by its hardware: "usb:VID:PID:IF" or "usb:VID:PID:SERIAL:IF",
// vendor and product 4 hex digits as sysfs writes them, IF the interface's
// bInterfaceNumber in hex (1 or 2 digits). What lies between the product
// and the last ':' is the serial number, which may hold ':' itself.
struct usb_name {
    std::string vendor, product, serial; // serial empty: any device
    unsigned interface = 0;
};
bool usb_name_parse(const char *name, usb_name *out);
// The nodes (dev_root/NAME) of the terminals under sysfs_root/class/tty
// that sit on the interface named, in name order.
std::vector<std::string> usb_name_nodes(const std::string &sysfs_root, const std::string &dev_root,
                                        const usb_name &name);
