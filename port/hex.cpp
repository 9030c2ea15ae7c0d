// Hex decoding of raw command content. Strict: only pairs of hex digits are
// accepted, so a typo never sends bytes the client did not mean.
#include <cstdlib>
#include <cstring>

#include "port/port.h"

static int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

char *hex_decode(const char *text, size_t *length)
{
    size_t text_length = strlen(text);
    if (text_length % 2 != 0)
        return nullptr;
    char *bytes = static_cast<char *>(malloc(text_length / 2 + 1));
    if (!bytes)
        return nullptr;
    for (size_t i = 0; i < text_length; i += 2) {
        int high = hex_value(text[i]);
        int low = hex_value(text[i + 1]);
        if (high < 0 || low < 0) {
            free(bytes);
            return nullptr;
        }
        bytes[i / 2] = static_cast<char>(high << 4 | low);
    }
    bytes[text_length / 2] = '\0';
    *length = text_length / 2;
    return bytes;
}
