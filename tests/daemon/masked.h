// Replies carry values that differ from run to run (descriptors, clocks);
// tests compare the rest of the reply, key order included, with these masked.
#pragma once

#include <regex>
#include <string>

inline std::string masked(const std::string &json)
{
    static const std::regex varying("\"(fd|last_check|response_time_ms)\":-?[0-9]+");
    return std::regex_replace(json, varying, "\"$1\":#");
}

inline std::string quoted_port(const std::string &path)
{
    return "{\"at_port\":\"" + path + "\"}";
}
