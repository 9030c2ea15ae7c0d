// Reading the kernel's device tree (sysfs) under a root that tests point at
// a tree of their own. Every lookup answers "nothing" when the entry is not
// there: pseudo-terminals have none, and a system may have no sysfs at all.
#pragma once

#include <sys/types.h>

#include <string>

// The device's directory behind <root>/dev/char/MAJOR:MINOR with every link
// resolved; empty when the device has no entry.
std::string sysfs_device_dir(const std::string &root, dev_t rdev);
// The last component of a symlink's target; empty when it is none.
std::string sysfs_link_leaf(const std::string &link);
// An attribute file's text without its line end; empty when it is missing.
std::string sysfs_attr(const std::string &dir, const char *name);
// Where dir lies below <root>, as the kernel names devices ("/devices/...").
std::string sysfs_devpath(const std::string &root, const std::string &dir);
// The nearest of dir and its parents, below <root>, that holds the
// attribute `name`; empty when none does.
std::string sysfs_ancestor_with(const std::string &root, const std::string &dir, const char *name);
