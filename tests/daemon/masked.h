// Replies carry values that differ from run to run (descriptors, clocks);
// tests compare the rest of the reply, key order included, with these masked.
#pragma once

#include <cctype>
#include <string>

inline std::string masked(const std::string &json)
{
    std::string out = json;
    for (const char *key : {"\"fd\":", "\"last_check\":", "\"response_time_ms\":"}) {
        const std::string k = key;
        for (size_t pos = out.find(k); pos != std::string::npos; pos = out.find(k, pos + 1)) {
            size_t begin = pos + k.size(), end = begin;
            if (end < out.size() && out[end] == '-')
                end++;
            while (end < out.size() && isdigit(static_cast<unsigned char>(out[end])))
                end++;
            out.replace(begin, end - begin, "#");
        }
    }
    return out;
}

inline std::string quoted_port(const std::string &path)
{
    return "{\"at_port\":\"" + path + "\"}";
}
