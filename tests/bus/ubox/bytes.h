// Hex helpers for comparing encodings with captured dumps.
#ifndef TARNEL_TESTS_UBOX_BYTES_H
#define TARNEL_TESTS_UBOX_BYTES_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <libubox/blob.h>

// "83 00 00 1d" (any whitespace, '|' ignored) -> bytes. The vector is
// allocated to the exact size so ASan flags any read past the end.
inline std::vector<uint8_t> from_hex(const std::string &text)
{
    std::vector<uint8_t> out;
    std::string digits;

    for (char c : text) {
        if (isxdigit((unsigned char)c))
            digits += c;
    }
    out.reserve(digits.size() / 2);
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back((uint8_t)std::stoi(digits.substr(i, 2), nullptr, 16));
    out.shrink_to_fit();
    return out;
}

inline std::string to_hex(const void *data, size_t len)
{
    const uint8_t *p = (const uint8_t *)data;
    std::string out;
    char buf[4];

    for (size_t i = 0; i < len; i++) {
        snprintf(buf, sizeof(buf), i ? " %02x" : "%02x", p[i]);
        out += buf;
    }
    return out;
}

// The whole root attribute of a blob_buf, padding included.
inline std::string dump(const struct blob_buf &b)
{
    return to_hex(b.head, blob_pad_len(b.head));
}

inline std::string normalized(const std::string &text)
{
    std::vector<uint8_t> bytes = from_hex(text);
    return to_hex(bytes.data(), bytes.size());
}

#endif
