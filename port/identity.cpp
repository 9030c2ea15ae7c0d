// A port's hardware identity. USB serial names are handed out in order of
// discovery: after a modem reset, or with another adapter plugged in,
// /dev/ttyUSB2 can come back as the modem's GPS or diagnostic interface. A
// USB port is therefore known by its device (vendor, product, serial number)
// and its interface number, not by its bus path: a USB 3 modem that resets
// may come back on the USB 2 bus.
#include "port/device.h"
#include "port/sysfs.h"

static std::string usb_identity(const std::string &root, const std::string &interface)
{
    std::string device = sysfs_ancestor_with(root, interface, "idVendor");
    if (device.empty())
        return {};
    std::string id = "usb " + sysfs_attr(device, "idVendor") + ":" + sysfs_attr(device, "idProduct");
    std::string serial = sysfs_attr(device, "serial");
    if (!serial.empty())
        id += " serial " + serial;
    return id + " interface " + sysfs_attr(interface, "bInterfaceNumber");
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
