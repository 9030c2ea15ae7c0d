#include "tests/support/temp_dir.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

temp_dir::temp_dir()
{
    char tmpl[] = "/tmp/tarnel-test-XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    path_ = tmpl;
}

temp_dir::~temp_dir()
{
    // A destructor must not throw; what cannot be removed stays behind.
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}
