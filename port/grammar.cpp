// The modem's grammar: final result codes, unsolicited prefixes, message
// texts and the information lines a command owns. See grammar.h.
#include "port/grammar.h"

#include <array>
#include <cstring>
#include <string_view>

namespace
{

using namespace std::string_view_literals;

// The final result codes by name, for end flags that name one.
struct named_code {
    std::string_view text;
    final_code code;
};
constexpr named_code FINAL_CODES[] = {
    {"OK"sv, FINAL_OK},           {"ERROR"sv, FINAL_ERROR},           {"NO CARRIER"sv, FINAL_NO_CARRIER},
    {"BUSY"sv, FINAL_BUSY},       {"NO ANSWER"sv, FINAL_NO_ANSWER},   {"NO DIALTONE"sv, FINAL_NO_DIALTONE},
    {"CONNECT"sv, FINAL_CONNECT}, {"+CME ERROR:"sv, FINAL_CME_ERROR}, {"+CMS ERROR:"sv, FINAL_CMS_ERROR},
};

// Unsolicited result codes a router's modem sends, by the start of the
// line. Calls, messages, network state, USSD answers and indicators; each
// may arrive at any moment, between the lines of an answer too. NO CARRIER
// joins them when no dial is due (judged apart: it is also a final result).
constexpr std::string_view URC_PREFIXES[] = {
    "RING"sv,  "+CRING:"sv, "+CLIP:"sv,  "+CCWA:"sv,  "+CMTI:"sv,   "+CMT:"sv,  "+CDSI:"sv, "+CDS:"sv,
    "+CBM:"sv, "+CREG:"sv,  "+CGREG:"sv, "+CEREG:"sv, "+C5GREG:"sv, "+CUSD:"sv, "+CGEV:"sv, "+CIEV:"sv,
};
constexpr int URC_COUNT = sizeof(URC_PREFIXES) / sizeof(URC_PREFIXES[0]);
static_assert(URC_COUNT <= 32, "command_traits::owns holds one bit per prefix");

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool starts_with(const char *s, size_t length, std::string_view prefix)
{
    return length >= prefix.size() && memcmp(s, prefix.data(), prefix.size()) == 0;
}

char upper(char c)
{
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

// The NAME of each prefix "+NAME:", with the bit of its prefix.
struct urc_name {
    std::string_view name;
    uint32_t bit;
};
constexpr size_t NAME_MAX = 8;
constexpr auto URC_NAMES = [] {
    std::array<urc_name, URC_COUNT> names{};
    size_t n = 0;
    for (int i = 0; i < URC_COUNT; i++)
        if (URC_PREFIXES[i][0] == '+')
            names[n++] = {URC_PREFIXES[i].substr(1, URC_PREFIXES[i].size() - 2), 1u << i};
    return names;
}();

// The bit of the prefix "+NAME:" that an extended command NAME owns.
uint32_t owned_bit(std::string_view upper_name)
{
    for (const urc_name &u : URC_NAMES)
        if (u.name == upper_name)
            return u.bit;
    return 0;
}

// Whether the basic commands at the start of `s` ("E0", "&D2", "S7=60",
// "X4") hold a dial or answer (D, A, O); the walk stops at an extended one.
bool basic_commands_dial(const char *s, size_t length)
{
    size_t i = 0;
    while (i < length) {
        char c = upper(s[i]);
        if (c == '&') {
            i += 2; // "&D2": the letter after '&' is no dial
        } else if (c >= 'A' && c <= 'Z') {
            if (c == 'D' || c == 'A' || c == 'O')
                return true;
            i++;
        } else if (is_blank(c)) {
            i++;
            continue;
        } else {
            return false;
        }
        while (i < length && ((s[i] >= '0' && s[i] <= '9') || s[i] == '=' || s[i] == '?'))
            i++;
    }
    return false;
}

// One command line (without its CR): "AT" then basic commands, or extended
// ones separated by ';'.
void note_command_line(const char *s, size_t length, command_traits *traits)
{
    while (length > 0 && is_blank(*s)) {
        s++;
        length--;
    }
    if (length < 2 || upper(s[0]) != 'A' || upper(s[1]) != 'T')
        return;
    s += 2;
    length -= 2;
    // V.250 lets a dial follow other basic commands, and an extended one
    // behind its ';'.
    traits->dial = traits->dial || basic_commands_dial(s, length);
    for (size_t i = 0; i < length; i++) {
        if (s[i] != '+')
            continue;
        size_t end = i + 1;
        while (end < length && s[end] != '=' && s[end] != '?' && s[end] != ';' && !is_blank(s[end]))
            end++;
        size_t name_length = end - i - 1;
        if (name_length <= NAME_MAX) {
            char name[NAME_MAX];
            for (size_t k = 0; k < name_length; k++)
                name[k] = upper(s[i + 1 + k]);
            std::string_view upper_name(name, name_length);
            traits->owns |= owned_bit(upper_name);
            if (upper_name == "CGDATA"sv)
                traits->dial = true;
        }
        // Only the next ';' starts another extended command: a '+' inside
        // the arguments ("+15550100") names nothing.
        const char *semicolon = static_cast<const char *>(memchr(s + end, ';', length - end));
        if (!semicolon)
            break;
        i = size_t(semicolon - s);
        traits->dial = traits->dial || basic_commands_dial(s + i + 1, length - i - 1);
    }
}

// The fields of a header after its "+NAME:", split at commas outside quotes.
struct field {
    const char *at;
    size_t length;
};
int header_fields(const char *line, size_t length, size_t skip, field *out, int max)
{
    int count = 0;
    size_t i = skip;
    while (i < length && line[i] == ' ')
        i++;
    while (count < max) {
        size_t start = i;
        bool quoted = false;
        while (i < length && (quoted || line[i] != ',')) {
            if (line[i] == '"')
                quoted = !quoted;
            i++;
        }
        out[count++] = {line + start, i - start};
        if (i >= length)
            break;
        i++; // the comma
    }
    return count;
}

bool all_digits(const field &f)
{
    if (f.length == 0)
        return false;
    for (size_t i = 0; i < f.length; i++)
        if (f.at[i] < '0' || f.at[i] > '9')
            return false;
    return true;
}

// A PDU-mode +CDS: carries only the PDU's length; its PDU is the next line.
bool cds_with_pdu(const char *line, size_t length)
{
    field f[2];
    return header_fields(line, length, 5, f, 2) == 1 && all_digits(f[0]);
}

} // namespace

final_code final_code_of(const char *line, size_t length)
{
    const char *end = line + length;
    while (line < end && is_blank(*line))
        line++;
    while (end > line && is_blank(end[-1]))
        end--;
    std::string_view text(line, size_t(end - line));
    // By the first byte, every line but a few is settled with one compare.
    switch (text.empty() ? 0 : text[0]) {
    case 'O': return text == "OK"sv ? FINAL_OK : FINAL_NONE;
    case 'E': return text == "ERROR"sv ? FINAL_ERROR : FINAL_NONE;
    case 'B': return text == "BUSY"sv ? FINAL_BUSY : FINAL_NONE;
    case 'N':
        return text == "NO CARRIER"sv    ? FINAL_NO_CARRIER
               : text == "NO ANSWER"sv   ? FINAL_NO_ANSWER
               : text == "NO DIALTONE"sv ? FINAL_NO_DIALTONE
                                         : FINAL_NONE;
    case 'C': return text == "CONNECT"sv || text.starts_with("CONNECT "sv) ? FINAL_CONNECT : FINAL_NONE;
    case '+':
        return text.starts_with("+CME ERROR:"sv)   ? FINAL_CME_ERROR
               : text.starts_with("+CMS ERROR:"sv) ? FINAL_CMS_ERROR
                                                   : FINAL_NONE;
    default: return FINAL_NONE;
    }
}

final_code final_code_named(const char *flag)
{
    for (const named_code &c : FINAL_CODES)
        if (c.text == flag)
            return c.code;
    return FINAL_NONE;
}

command_traits command_traits_of(const char *bytes, size_t length)
{
    command_traits traits;
    while (length > 0) {
        const char *cr = static_cast<const char *>(memchr(bytes, '\r', length));
        size_t line_length = cr ? size_t(cr - bytes) : length;
        note_command_line(bytes, line_length, &traits);
        if (!cr)
            break;
        length -= line_length + 1;
        bytes = cr + 1;
    }
    return traits;
}

int unsolicited_prefix(const char *line, size_t length)
{
    if (length < 4)
        return URC_NONE;
    // Blanks around it leave it a final result, and so a call that ended.
    if (line[0] == 'N' || is_blank(line[0]))
        return final_code_of(line, length) == FINAL_NO_CARRIER ? URC_NO_CARRIER : URC_NONE;
    // Only prefixes as long as the line's name (up to its ':') can match.
    size_t name_length = 4; // "RING"
    if (line[0] == '+') {
        if (line[1] != 'C')
            return URC_NONE;
        const void *colon = memchr(line, ':', length < 9 ? length : 9);
        if (!colon)
            return URC_NONE;
        name_length = size_t(static_cast<const char *>(colon) - line) + 1;
    } else if (line[0] != 'R') {
        return URC_NONE;
    }
    for (int i = 0; i < URC_COUNT; i++) {
        std::string_view prefix = URC_PREFIXES[i];
        if (prefix.size() == name_length && prefix[2] == line[2] && memcmp(line, prefix.data(), name_length) == 0)
            return i;
    }
    return URC_NONE;
}

bool unsolicited_for(int prefix, const command_traits *judge)
{
    if (prefix == URC_NO_CARRIER)
        return !(judge && judge->dial);
    return !(judge && (judge->owns & (1u << prefix)));
}

text_line text_after(int prefix, const char *line, size_t length)
{
    if (prefix < 0 || prefix >= URC_COUNT)
        return TEXT_NONE;
    std::string_view p = URC_PREFIXES[prefix];
    if (p == "+CMT:"sv || p == "+CBM:"sv || (p == "+CDS:"sv && cds_with_pdu(line, length)))
        return TEXT_UNSOLICITED;
    return TEXT_NONE;
}

bool announces_message_text(const char *line, size_t length)
{
    int stat;
    if (length < 6 || line[0] != '+' || line[3] != 'G')
        return false;
    if (starts_with(line, length, "+CMGR:"sv))
        stat = 0;
    else if (starts_with(line, length, "+CMGL:"sv))
        stat = 1;
    else
        return false;
    field f[3];
    int count = header_fields(line, length, 6, f, stat + 2);
    // A test command's answer lists ranges, "+CMGL: (0-4)": no message.
    if (f[0].length > 0 && f[0].at[0] == '(')
        return false;
    if (count <= stat)
        return true;
    // PDU mode: <stat> is a number, and the PDU follows.
    bool text_mode = f[stat].length > 0 && f[stat].at[0] == '"';
    // Text mode: a status report or an SMS command has a number after
    // <stat> (its first octet) and no text line.
    return !(text_mode && count > stat + 1 && all_digits(f[stat + 1]));
}

bool is_prompt_line(const char *line, size_t length)
{
    return length > 0 && line[0] == '>';
}
