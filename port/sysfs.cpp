#include "port/sysfs.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

static std::string resolved(const std::string &path)
{
    char real[PATH_MAX];
    return realpath(path.c_str(), real) ? real : std::string();
}

std::string sysfs_device_dir(const std::string &root, dev_t rdev)
{
    return resolved(root + "/dev/char/" + std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev)));
}

std::string sysfs_link_leaf(const std::string &link)
{
    char target[PATH_MAX];
    ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
    if (n <= 0)
        return {};
    target[n] = '\0';
    const char *slash = strrchr(target, '/');
    return slash ? slash + 1 : target;
}

std::string sysfs_attr(const std::string &dir, const char *name)
{
    std::ifstream file(dir + "/" + name);
    std::string text;
    std::getline(file, text);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

std::string sysfs_devpath(const std::string &root, const std::string &dir)
{
    std::string top = resolved(root);
    if (top.empty() || dir.compare(0, top.size(), top) != 0)
        return dir;
    return dir.substr(top.size());
}

std::string sysfs_ancestor_with(const std::string &root, const std::string &dir, const char *name)
{
    // The root itself may be reached through a link (a temporary directory).
    std::string top = resolved(root);
    if (top.empty())
        return {};
    std::string at = dir;
    while (at.size() > top.size() && at.compare(0, top.size(), top) == 0) {
        struct stat st;
        if (stat((at + "/" + name).c_str(), &st) == 0)
            return at;
        at.erase(at.rfind('/'));
    }
    return {};
}
