// Hex, UTF-8 and big-endian UTF-16, as the codec needs them: strict where
// text comes in from a caller, forgiving where it comes from the network.
#include "sms/sms_internal.h"

namespace
{

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The code point at text[*pos], advancing past it; -1 for a byte that
// starts no valid sequence (advancing one byte).
long utf8_next(std::string_view text, size_t *pos)
{
    size_t i = *pos;
    unsigned char lead = static_cast<unsigned char>(text[i]);
    *pos = i + 1;
    if (lead < 0x80)
        return lead;
    int extra;
    char32_t cp;
    char32_t least;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1, cp = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, cp = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, cp = lead & 0x07, least = 0x10000;
    } else {
        return -1;
    }
    if (text.size() - (i + 1) < size_t(extra))
        return -1;
    for (int k = 1; k <= extra; k++) {
        unsigned char c = static_cast<unsigned char>(text[i + k]);
        if ((c & 0xC0) != 0x80)
            return -1;
        cp = cp << 6 | (c & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return -1;
    *pos = i + 1 + extra;
    return long(cp);
}

} // namespace

bool sms_hex_decode(std::string_view hex, std::vector<uint8_t> *out)
{
    out->clear();
    if (hex.size() % 2)
        return false;
    out->reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        int high = hex_value(hex[i]);
        int low = hex_value(hex[i + 1]);
        if (high < 0 || low < 0)
            return false;
        out->push_back(uint8_t(high << 4 | low));
    }
    return true;
}

std::string sms_hex_encode(const uint8_t *data, size_t size)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(2 * size);
    for (size_t i = 0; i < size; i++) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

void utf8_append(std::string *out, char32_t cp)
{
    if (cp < 0x80) {
        *out += char(cp);
    } else if (cp < 0x800) {
        *out += char(0xC0 | cp >> 6);
        *out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out += char(0xE0 | cp >> 12);
        *out += char(0x80 | (cp >> 6 & 0x3F));
        *out += char(0x80 | (cp & 0x3F));
    } else {
        *out += char(0xF0 | cp >> 18);
        *out += char(0x80 | (cp >> 12 & 0x3F));
        *out += char(0x80 | (cp >> 6 & 0x3F));
        *out += char(0x80 | (cp & 0x3F));
    }
}

bool utf8_decode(std::string_view text, std::vector<char32_t> *out)
{
    out->clear();
    size_t pos = 0;
    while (pos < text.size()) {
        long cp = utf8_next(text, &pos);
        if (cp < 0)
            return false;
        out->push_back(char32_t(cp));
    }
    return true;
}

std::string utf8_sanitize(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        long cp = utf8_next(text, &pos);
        utf8_append(&out, cp < 0 ? U'\uFFFD' : char32_t(cp));
    }
    return out;
}

std::string ucs2_to_utf8(const uint8_t *data, size_t size)
{
    std::string out;
    size_t units = size / 2;
    for (size_t i = 0; i < units; i++) {
        char32_t unit = char32_t(data[2 * i] << 8 | data[2 * i + 1]);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
            char32_t low = char32_t(data[2 * i + 2] << 8 | data[2 * i + 3]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                utf8_append(&out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                i++;
                continue;
            }
        }
        utf8_append(&out, unit >= 0xD800 && unit <= 0xDFFF ? U'\uFFFD' : unit);
    }
    return out;
}

void utf16_append(std::vector<uint8_t> *out, char32_t cp)
{
    if (cp >= 0x10000) {
        char32_t v = cp - 0x10000;
        char32_t high = 0xD800 + (v >> 10);
        char32_t low = 0xDC00 + (v & 0x3FF);
        out->push_back(uint8_t(high >> 8));
        out->push_back(uint8_t(high));
        out->push_back(uint8_t(low >> 8));
        out->push_back(uint8_t(low));
    } else {
        out->push_back(uint8_t(cp >> 8));
        out->push_back(uint8_t(cp));
    }
}
