// USSD as modems hand it over: a +CUSD: line whose string is, by the data
// coding scheme and the character set the modem was told (AT+CSCS), UCS2
// hex, packed 7-bit hex, or text the modem decoded itself.
#include "sms/sms_codec.h"
#include "sms/sms_internal.h"

namespace
{

enum class ussd_coding { GSM7, EIGHT_BIT, UCS2, UCS2_WITH_LANGUAGE };

// The coding groups of cell broadcast, which USSD shares.
ussd_coding coding_of(int dcs)
{
    if (dcs < 0 || dcs > 255)
        return ussd_coding::GSM7;
    int group = dcs >> 4;
    if (dcs == 0x11)
        return ussd_coding::UCS2_WITH_LANGUAGE;
    if ((group >= 4 && group <= 7) || group == 9) {
        switch (dcs >> 2 & 3) {
        case 1: return ussd_coding::EIGHT_BIT;
        case 2: return ussd_coding::UCS2;
        default: return ussd_coding::GSM7;
        }
    }
    if (group == 0xF)
        return dcs & 4 ? ussd_coding::EIGHT_BIT : ussd_coding::GSM7;
    return ussd_coding::GSM7; // languages, and the reserved groups
}

bool same_charset(std::string_view charset, std::string_view name)
{
    if (charset.size() >= 2 && charset.front() == '"' && charset.back() == '"')
        charset = charset.substr(1, charset.size() - 2);
    if (charset.size() != name.size())
        return false;
    for (size_t i = 0; i < name.size(); i++) {
        char c = charset[i];
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
        if (c != name[i])
            return false;
    }
    return true;
}

// UCS2 a modem made of a decoded text: whole units, surrogates paired, no
// control characters but line breaks.
bool plain_ucs2(const std::vector<uint8_t> &octets)
{
    if (octets.empty() || octets.size() % 2)
        return false;
    size_t units = octets.size() / 2;
    for (size_t i = 0; i < units; i++) {
        unsigned u = unsigned(octets[2 * i] << 8 | octets[2 * i + 1]);
        if (u < 0x20 && u != '\n' && u != '\r')
            return false;
        if (u >= 0xDC00 && u <= 0xDFFF)
            return false;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (++i == units)
                return false;
            unsigned low = unsigned(octets[2 * i] << 8 | octets[2 * i + 1]);
            if (low < 0xDC00 || low > 0xDFFF)
                return false;
        }
        if (u >= 0xFFFE)
            return false;
    }
    return true;
}

bool latin_ucs2(const std::vector<uint8_t> &octets)
{
    for (size_t i = 0; i < octets.size(); i += 2)
        if (octets[i] != 0)
            return false;
    return true;
}

// Packed septets, the padding CR of a last full octet dropped.
std::vector<uint8_t> unpack(const std::vector<uint8_t> &octets)
{
    std::vector<uint8_t> septets(octets.size() * 8 / 7);
    for (size_t i = 0; i < septets.size(); i++)
        septets[i] = septet_at(octets.data(), i);
    if (octets.size() % 7 == 0 && !septets.empty() && septets.back() == '\r')
        septets.pop_back();
    return septets;
}

// Whether hex digits are more likely packed septets than a text of hex
// digits: long enough, and they unpack to what reads as text (the
// ASCII-like part of the alphabet, with room for a few accents).
bool reads_as_text(const std::vector<uint8_t> &septets)
{
    if (septets.size() < 4)
        return false;
    size_t plain = 0, letters = 0;
    for (uint8_t s : septets) {
        bool letter = (s >= 'A' && s <= 'Z') || (s >= 'a' && s <= 'z');
        letters += letter;
        if (letter || (s >= 0x20 && s <= 0x3F && s != 0x24) || s == '\n' || s == '\r')
            plain++;
    }
    return letters > 0 && plain * 10 >= septets.size() * 9;
}

std::string gsm7_text(const std::vector<uint8_t> &septets)
{
    bool unsupported = false;
    return gsm7_to_utf8(septets.data(), septets.size(), 0, 0, &unsupported);
}

size_t skip_blanks(std::string_view s, size_t i)
{
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
        i++;
    return i;
}

// A small decimal number at s[*i]; false when there is none.
bool read_number(std::string_view s, size_t *i, int *out)
{
    size_t start = *i;
    int value = 0;
    while (*i < s.size() && s[*i] >= '0' && s[*i] <= '9' && *i - start < 6)
        value = value * 10 + (s[(*i)++] - '0');
    if (*i == start || (*i < s.size() && s[*i] >= '0' && s[*i] <= '9'))
        return false;
    *out = value;
    return true;
}

} // namespace

ussd_reply ussd_parse_line(std::string_view line)
{
    ussd_reply reply;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' '))
        line.remove_suffix(1);
    size_t i = skip_blanks(line, 0);
    constexpr std::string_view PREFIX = "+CUSD:";
    if (line.substr(i, PREFIX.size()) != PREFIX) {
        reply.error = "Not a +CUSD: line";
        return reply;
    }
    i = skip_blanks(line, i + PREFIX.size());
    if (!read_number(line, &i, &reply.m)) {
        reply.error = "No <m> in +CUSD: line";
        return reply;
    }
    i = skip_blanks(line, i);
    if (i == line.size())
        return reply;
    if (line[i] != ',') {
        reply.error = "Unexpected text after <m>";
        return reply;
    }
    i = skip_blanks(line, i + 1);
    std::string_view rest = line.substr(i);
    std::string_view tail; // what follows the string
    if (!rest.empty() && rest.front() == '"') {
        // A quote inside the text is not escaped: the string ends at the
        // last quote.
        size_t close = rest.rfind('"');
        if (close == 0) {
            reply.error = "Unterminated string in +CUSD: line";
            return reply;
        }
        reply.str = rest.substr(1, close - 1);
        tail = rest.substr(close + 1);
    } else {
        size_t comma = rest.rfind(',');
        reply.str = rest.substr(0, comma);
        tail = comma == std::string_view::npos ? std::string_view() : rest.substr(comma);
    }
    reply.has_str = true;
    size_t t = skip_blanks(tail, 0);
    if (t == tail.size())
        return reply;
    if (tail[t] != ',') {
        reply.error = "Unexpected text after the string";
        return reply;
    }
    t = skip_blanks(tail, t + 1);
    if (!read_number(tail, &t, &reply.dcs) || skip_blanks(tail, t) != tail.size()) {
        reply.error = "Bad <dcs> in +CUSD: line";
        reply.dcs = -1;
    }
    return reply;
}

std::string ussd_decode(std::string_view str, int dcs, std::string_view charset)
{
    std::vector<uint8_t> octets;
    bool hex = !str.empty() && sms_hex_decode(str, &octets);
    switch (coding_of(dcs)) {
    case ussd_coding::EIGHT_BIT:
        if (hex)
            return sms_hex_encode(octets.data(), octets.size());
        return sms_hex_encode(reinterpret_cast<const uint8_t *>(str.data()), str.size());
    case ussd_coding::UCS2_WITH_LANGUAGE:
        // Two septets of language, padded to two octets, come first.
        if (hex && octets.size() >= 2 && octets.size() % 2 == 0)
            return ucs2_to_utf8(octets.data() + 2, octets.size() - 2);
        return utf8_sanitize(str);
    case ussd_coding::UCS2:
        if (hex && octets.size() % 2 == 0)
            return ucs2_to_utf8(octets.data(), octets.size());
        return utf8_sanitize(str);
    case ussd_coding::GSM7: break;
    }
    if (!hex)
        return utf8_sanitize(str);
    if (same_charset(charset, "HEX"))
        return gsm7_text(unpack(octets));
    std::vector<uint8_t> septets = unpack(octets);
    bool packed = reads_as_text(septets);
    // Under UCS2 the modem re-encodes the text it decoded; packed septets
    // that happen to form valid UCS2 rarely keep every high octet zero.
    if (same_charset(charset, "UCS2") && plain_ucs2(octets) && (!packed || latin_ucs2(octets)))
        return ucs2_to_utf8(octets.data(), octets.size());
    if (packed)
        return gsm7_text(septets);
    return utf8_sanitize(str);
}

std::string ussd_encode_code(std::string_view code, std::string_view charset)
{
    if (!same_charset(charset, "UCS2"))
        return std::string(code);
    std::vector<char32_t> cps;
    if (!utf8_decode(code, &cps))
        return "";
    std::vector<uint8_t> units;
    for (char32_t cp : cps)
        utf16_append(&units, cp);
    return sms_hex_encode(units.data(), units.size());
}
