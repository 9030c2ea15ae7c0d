// A port's hardware identity. USB serial names are handed out in order of
// discovery: after a modem reset, or with another adapter plugged in,
// /dev/ttyUSB2 can come back as the modem's GPS or diagnostic interface. A
// USB port is therefore known by its device (vendor, product, serial number)
// and its interface number, not by its bus path: a USB 3 modem that resets
// may come back on the USB 2 bus. The same four make a port's name of
// hardware, which finds the interface's terminal whatever its number.
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <strings.h>

#include "port/device.h"
#include "port/sysfs.h"

static std::string usb_identity(const std::string &root, const std::string &interface)
{
    std::string device = sysfs_ancestor_with(root, interface, "idVendor");
    if (device.empty())
        return {};
    std::string id = "usb:" + sysfs_attr(device, "idVendor") + ":" + sysfs_attr(device, "idProduct") + ":";
    std::string serial = sysfs_attr(device, "serial");
    if (!serial.empty())
        id += serial + ":";
    return id + sysfs_attr(interface, "bInterfaceNumber");
}

std::string hardware_identity(const char *sysfs_root, dev_t rdev)
{
    std::string root = sysfs_root;
    std::string dir = sysfs_device_dir(root, rdev);
    if (dir.empty())
        return {};
    std::string interface = sysfs_ancestor_with(root, dir, "bInterfaceNumber");
    std::string usb = interface.empty() ? std::string() : usb_identity(root, interface);
    return usb.empty() ? sysfs_devpath(root, dir) : usb;
}

static bool hex_digits(const std::string &text, size_t min, size_t max)
{
    return text.size() >= min && text.size() <= max &&
           std::all_of(text.begin(), text.end(), [](char c) { return isxdigit(static_cast<unsigned char>(c)); });
}

bool usb_name_parse(const char *name, usb_name *out)
{
    if (strncmp(name, "usb:", 4) != 0)
        return false;
    std::string rest = name + 4;
    if (rest.size() < 11 || rest[4] != ':' || rest[9] != ':')
        return false;
    usb_name parsed;
    parsed.vendor = rest.substr(0, 4);
    parsed.product = rest.substr(5, 4);
    std::string tail = rest.substr(10);
    std::string interface = tail;
    size_t last = tail.rfind(':');
    if (last != std::string::npos) {
        parsed.serial = tail.substr(0, last);
        interface = tail.substr(last + 1);
        if (parsed.serial.empty())
            return false;
    }
    if (!hex_digits(parsed.vendor, 4, 4) || !hex_digits(parsed.product, 4, 4) || !hex_digits(interface, 1, 2))
        return false;
    parsed.interface = unsigned(strtoul(interface.c_str(), nullptr, 16));
    *out = std::move(parsed);
    return true;
}

static bool on_interface(const std::string &root, const std::string &tty, const usb_name &name)
{
    std::string interface = sysfs_ancestor_with(root, tty, "bInterfaceNumber");
    if (interface.empty())
        return false;
    std::string number = sysfs_attr(interface, "bInterfaceNumber");
    if (!hex_digits(number, 1, 2) || strtoul(number.c_str(), nullptr, 16) != name.interface)
        return false;
    std::string device = sysfs_ancestor_with(root, interface, "idVendor");
    return !device.empty() && strcasecmp(sysfs_attr(device, "idVendor").c_str(), name.vendor.c_str()) == 0 &&
           strcasecmp(sysfs_attr(device, "idProduct").c_str(), name.product.c_str()) == 0 &&
           (name.serial.empty() || sysfs_attr(device, "serial") == name.serial);
}

std::vector<std::string> usb_name_nodes(const std::string &sysfs_root, const std::string &dev_root,
                                        const usb_name &name)
{
    std::vector<std::string> nodes;
    std::string class_dir = sysfs_root + "/class/tty";
    DIR *dir = opendir(class_dir.c_str());
    if (!dir)
        return nodes;
    while (const dirent *d = readdir(dir)) {
        if (d->d_name[0] == '.')
            continue;
        char real[PATH_MAX];
        if (realpath((class_dir + "/" + d->d_name).c_str(), real) && on_interface(sysfs_root, real, name))
            nodes.push_back(dev_root + "/" + d->d_name);
    }
    closedir(dir);
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}
