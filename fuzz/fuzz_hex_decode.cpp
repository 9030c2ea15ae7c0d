// hex_decode on arbitrary text: it accepts exactly the even-length strings
// of hex digits, and what it accepts decodes back to the same text.
#include <cctype>
#include <cstring>
#include <string>

#include "fuzz/fuzz_input.h"
#include "port/port.h"

static bool all_hex_digits(const std::string &text)
{
    for (unsigned char c : text)
        if (!isxdigit(c))
            return false;
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The text arrives as a C string from the bus, so it ends at any NUL.
    std::string text(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
    size_t length = 12345;
    char *bytes = hex_decode(text.c_str(), &length);

    bool valid = text.size() % 2 == 0 && all_hex_digits(text);
    FUZZ_CHECK((bytes != nullptr) == valid);
    if (!bytes)
        return 0;

    FUZZ_CHECK(length == text.size() / 2);
    FUZZ_CHECK(bytes[length] == '\0');
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < length; i++) {
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        FUZZ_CHECK(digits[b >> 4] == tolower(static_cast<unsigned char>(text[2 * i])));
        FUZZ_CHECK(digits[b & 15] == tolower(static_cast<unsigned char>(text[2 * i + 1])));
    }
    free(bytes);
    return 0;
}
