// The modem's grammar: final result codes, unsolicited prefixes, message
// texts and the information lines a command owns. See grammar.h.
#include "port/grammar.h"

#include <cstring>

namespace
{

struct named_code {
    const char *text;
    final_code code;
    bool prefix; // the line starts with it, rather than being it
};

// "CONNECT" is both: the line is "CONNECT" or starts with "CONNECT ".
constexpr named_code FINAL_CODES[] = {
    {"OK", FINAL_OK, false},
    {"ERROR", FINAL_ERROR, false},
    {"NO CARRIER", FINAL_NO_CARRIER, false},
    {"BUSY", FINAL_BUSY, false},
    {"NO ANSWER", FINAL_NO_ANSWER, false},
    {"NO DIALTONE", FINAL_NO_DIALTONE, false},
    {"CONNECT", FINAL_CONNECT, false},
    {"+CME ERROR:", FINAL_CME_ERROR, true},
    {"+CMS ERROR:", FINAL_CMS_ERROR, true},
};

// Unsolicited result codes a router's modem sends, by the start of the
// line. Calls, messages, network state, USSD answers and indicators; each
// may arrive at any moment, between the lines of an answer too. NO CARRIER
// joins them when no dial is due (judged apart: it is also a final result).
constexpr const char *URC_PREFIXES[] = {
    "RING",  "+CRING:", "+CLIP:",  "+CCWA:",  "+CMTI:",   "+CMT:",  "+CDSI:", "+CDS:",
    "+CBM:", "+CREG:",  "+CGREG:", "+CEREG:", "+C5GREG:", "+CUSD:", "+CGEV:", "+CIEV:",
};
constexpr int URC_COUNT = sizeof(URC_PREFIXES) / sizeof(URC_PREFIXES[0]);
static_assert(URC_COUNT <= 32, "command_traits::owns holds one bit per prefix");

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool starts_with(const char *s, size_t length, const char *prefix)
{
    size_t n = strlen(prefix);
    return length >= n && memcmp(s, prefix, n) == 0;
}

char upper(char c)
{
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

// Case-blind comparison of a command's name with a prefix's "NAME".
bool same_name(const char *name, size_t length, const char *prefix_name, size_t prefix_length)
{
    if (length != prefix_length)
        return false;
    for (size_t i = 0; i < length; i++)
        if (upper(name[i]) != prefix_name[i])
            return false;
    return true;
}

// The bit of the prefix "+NAME:" that an extended command NAME owns.
uint32_t owned_bit(const char *name, size_t length)
{
    for (int i = 0; i < URC_COUNT; i++) {
        const char *p = URC_PREFIXES[i];
        if (p[0] != '+')
            continue;
        size_t n = strlen(p) - 2; // without '+' and ':'
        if (same_name(name, length, p + 1, n))
            return 1u << i;
    }
    return 0;
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
    if (length > 0) {
        char first = upper(s[0]);
        if (first == 'D' || first == 'A' || first == 'O')
            traits->dial = true;
    }
    for (size_t i = 0; i < length; i++) {
        if (s[i] != '+')
            continue;
        size_t end = i + 1;
        while (end < length && s[end] != '=' && s[end] != '?' && s[end] != ';' && !is_blank(s[end]))
            end++;
        const char *name = s + i + 1;
        size_t name_length = end - i - 1;
        traits->owns |= owned_bit(name, name_length);
        if (same_name(name, name_length, "CGDATA", 6))
            traits->dial = true;
        // Only the next ';' starts another extended command: a '+' inside
        // the arguments ("+15550100") names nothing.
        const char *semicolon = static_cast<const char *>(memchr(s + end, ';', length - end));
        if (!semicolon)
            break;
        i = size_t(semicolon - s);
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
    size_t n = size_t(end - line);
    if (n < 2)
        return FINAL_NONE;
    for (const named_code &c : FINAL_CODES) {
        size_t code_length = strlen(c.text);
        if (n < code_length || memcmp(line, c.text, code_length) != 0)
            continue;
        if (n == code_length || c.prefix || (c.code == FINAL_CONNECT && line[code_length] == ' '))
            return c.code;
    }
    return FINAL_NONE;
}

final_code final_code_named(const char *flag)
{
    for (const named_code &c : FINAL_CODES)
        if (strcmp(flag, c.text) == 0)
            return c.code;
    return FINAL_NONE;
}

bool final_code_fits(final_code flag_code, final_code line_code)
{
    if (flag_code == line_code)
        return true;
    return flag_code == FINAL_ERROR && (line_code == FINAL_CME_ERROR || line_code == FINAL_CMS_ERROR);
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

bool is_unsolicited(const char *line, size_t length, const command_traits *judge, text_line *next)
{
    *next = TEXT_NONE;
    if (length < 4)
        return false;
    if (line[0] == 'N')
        return final_code_of(line, length) == FINAL_NO_CARRIER && !(judge && judge->dial);
    if (line[0] != '+' && line[0] != 'R')
        return false;
    for (int i = 0; i < URC_COUNT; i++) {
        if (!starts_with(line, length, URC_PREFIXES[i]))
            continue;
        if (judge && (judge->owns & (1u << i)))
            return false;
        if (starts_with(line, length, "+CMT:") || starts_with(line, length, "+CBM:") ||
            (starts_with(line, length, "+CDS:") && cds_with_pdu(line, length)))
            *next = TEXT_UNSOLICITED;
        return true;
    }
    return false;
}

bool announces_message_text(const char *line, size_t length)
{
    int stat;
    if (starts_with(line, length, "+CMGR:"))
        stat = 0;
    else if (starts_with(line, length, "+CMGL:"))
        stat = 1;
    else
        return false;
    field f[3];
    int count = header_fields(line, length, 6, f, stat + 2);
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
