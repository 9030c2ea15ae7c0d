// Which devices are a modem's ports. Any bus caller names the path the
// daemon opens, puts into raw mode and reads, so the consoles are refused
// even though they are terminals: on a router the serial console's shell
// would lose its keystrokes to the daemon, and /dev/ptmx would make a new
// pseudo-terminal on every open.
#include <sys/sysmacros.h>

#include <sstream>

#include "port/device.h"
#include "port/sysfs.h"

constexpr unsigned TTYAUX_MAJOR = 5; // /dev/tty, /dev/console, /dev/ptmx, ttyprintk
constexpr unsigned TTYAUX_LAST = 3;
constexpr unsigned VT_MAJOR = 4; // minors up to 63 are the virtual consoles,
constexpr unsigned VT_LAST = 63; // above them come the 8250 serial ports

static bool console_number(dev_t rdev)
{
    return (major(rdev) == TTYAUX_MAJOR && minor(rdev) <= TTYAUX_LAST) ||
           (major(rdev) == VT_MAJOR && minor(rdev) <= VT_LAST);
}

static std::string kernel_name(const std::string &dir)
{
    return dir.substr(dir.rfind('/') + 1);
}

// The terminals the kernel's console writes to (often ttyS0 on a router),
// where a shell or a getty takes its input.
static bool active_console(const std::string &root, const std::string &dir)
{
    std::istringstream active(sysfs_attr(root + "/class/tty/console", "active"));
    std::string name = kernel_name(dir);
    for (std::string each; active >> each;)
        if (each == name)
            return true;
    return false;
}

// A cdc-wdm node is usually the QMI or MBIM channel the router's connection
// manager talks to; a reader there would steal its messages. Only drivers
// whose management channel carries AT commands are let in, since vendor QMI
// drivers make cdc-wdm nodes too.
static bool at_management_port(const std::string &root, const std::string &dir)
{
    if (kernel_name(dir).rfind("cdc-wdm", 0) != 0)
        return false;
    std::string interface = sysfs_ancestor_with(root, dir, "bInterfaceNumber");
    if (interface.empty())
        return false;
    std::string driver = sysfs_link_leaf(interface + "/driver");
    return driver == "cdc_wdm" || driver == "huawei_cdc_ncm";
}

device_kind device_kind_of(const char *sysfs_root, dev_t rdev)
{
    if (console_number(rdev))
        return device_kind::OTHER;
    std::string root = sysfs_root;
    std::string dir = sysfs_device_dir(root, rdev);
    // Pseudo-terminals have no entry; a system without sysfs has none at all.
    // The terminal test on the open descriptor decides for them.
    if (dir.empty())
        return device_kind::TERMINAL;
    std::string device_class = sysfs_link_leaf(dir + "/subsystem");
    if (device_class.empty() || device_class == "tty")
        return active_console(root, dir) ? device_kind::OTHER : device_kind::TERMINAL;
    // The class also holds QMI, MBIM, QCDM and firmware-download ports.
    if (device_class == "wwan")
        return sysfs_attr(dir, "type") == "AT" ? device_kind::AT_PORT : device_kind::OTHER;
    // The class also holds HID and printer devices.
    if (device_class == "usbmisc" && at_management_port(root, dir))
        return device_kind::AT_PORT;
    return device_kind::OTHER;
}
