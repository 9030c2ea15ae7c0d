// A private directory under /tmp for one test or fixture: sockets, device
// links and files go there, and all of it goes with the object.
#pragma once

#include <string>

class temp_dir
{
public:
    // Throws std::system_error when no directory could be made.
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;

    const std::string &path() const { return path_; }
    // path()/name, for something placed in the directory.
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};
