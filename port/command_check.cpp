// Command text read as a V.250 modem reads it, to refuse what would change
// the port for everyone else (port/command_check.h).
#include "port/command_check.h"

#include <cstdint>
#include <cstring>
#include <string_view>

namespace
{

constexpr char CTRL_Z = 0x1a, ESC = 0x1b;
constexpr long NUMBER_MAX = 1000000; // saturates: only small values matter

// One command of a line, as the walk meets it.
struct command_item {
    enum { BASIC, DIAL, EXTENDED, REPEAT } kind = BASIC;
    // BASIC: the letter in upper case, behind '&' or '\' or not; its number
    // (0 when omitted); for S, the register and the value set, if any.
    char letter = 0;
    bool prefixed = false;
    long value = 0;
    long reg = 0;
    bool is_set = false;
    // DIAL: ended by ';', which makes it a voice call.
    bool voice = false;
    // EXTENDED: the leading character and the name, and what follows the
    // name up to the ';' (or the line's end).
    char lead = 0;
    std::string_view name, args;
};

char upper(char c)
{
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

bool is_letter(char c)
{
    c = upper(c);
    return c >= 'A' && c <= 'Z';
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// Spaces and control characters: a modem skips them inside a command line.
bool ignored(char c)
{
    return static_cast<unsigned char>(c) <= ' ' || c == 0x7f;
}

bool extended_lead(char c)
{
    return c == '+' || c == '^' || c == '$' || c == '%' || c == '#' || c == '!' || c == '*';
}

bool name_char(char c)
{
    return is_letter(c) || is_digit(c) || strchr("!%-./:_", c) != nullptr;
}

bool blank_char(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Where the next ';' outside double quotes is, or the line's end.
size_t separator_at(std::string_view line, size_t i)
{
    bool quoted = false;
    for (; i < line.size(); i++) {
        if (line[i] == '"')
            quoted = !quoted;
        else if (line[i] == ';' && !quoted)
            return i;
    }
    return i;
}

// A decimal number with ignored characters between its digits; 0 when
// there are no digits.
long read_number(std::string_view line, size_t *i)
{
    long value = 0;
    for (size_t j = *i; j < line.size(); j++) {
        if (is_digit(line[j])) {
            value = value * 10 + (line[j] - '0');
            if (value > NUMBER_MAX)
                value = NUMBER_MAX;
            *i = j + 1;
        } else if (!ignored(line[j])) {
            break;
        }
    }
    return value;
}

size_t skip_ignored(std::string_view line, size_t i)
{
    while (i < line.size() && ignored(line[i]))
        i++;
    return i;
}

// Calls visit(item) for each command of the line, in order, until it
// returns true; returns whether it did. A line that does not start with
// "AT" or "A/" holds no command.
template <typename Visit>
bool walk_line(std::string_view line, Visit &&visit)
{
    size_t i = skip_ignored(line, 0);
    if (i + 1 >= line.size() || upper(line[i]) != 'A')
        return false;
    if (line[i + 1] == '/') {
        command_item repeat;
        repeat.kind = command_item::REPEAT;
        return visit(repeat);
    }
    if (upper(line[i + 1]) != 'T')
        return false;
    i += 2;
    while (i < line.size()) {
        char c = line[i];
        if (ignored(c) || c == ';') {
            i++;
            continue;
        }
        command_item item;
        if (extended_lead(c)) {
            size_t name = i + 1, end = name;
            while (end < line.size() && name_char(line[end]))
                end++;
            size_t next = separator_at(line, end);
            item.kind = command_item::EXTENDED;
            item.lead = c;
            item.name = line.substr(name, end - name);
            item.args = line.substr(end, next - end);
            i = next;
        } else if (upper(c) == 'D') {
            size_t next = separator_at(line, i + 1);
            item.kind = command_item::DIAL;
            item.voice = next < line.size();
            i = next;
        } else if (c == '"') {
            size_t close = line.find('"', i + 1);
            i = close == std::string_view::npos ? line.size() : close + 1;
            continue;
        } else {
            if (c == '&' || c == '\\') {
                item.prefixed = true;
                i = skip_ignored(line, i + 1);
                if (i >= line.size())
                    break;
                c = line[i];
            }
            if (!is_letter(c)) {
                i++; // a stray '=', '?' or digit: nothing to judge
                continue;
            }
            item.letter = upper(c);
            i++;
            if (item.letter == 'S' && !item.prefixed) {
                item.reg = read_number(line, &i);
                i = skip_ignored(line, i);
                if (i < line.size() && line[i] == '=') {
                    i++;
                    item.is_set = true;
                    item.value = read_number(line, &i);
                } else if (i < line.size() && line[i] == '?') {
                    i++;
                }
            } else {
                item.value = read_number(line, &i);
            }
        }
        if (visit(item))
            return true;
    }
    return false;
}

bool changes_shared_setting(const command_item &item)
{
    if (item.kind == command_item::REPEAT)
        return true;
    if (item.kind != command_item::BASIC || item.prefixed)
        return false;
    switch (item.letter) {
    case 'V': return item.value == 0;
    case 'Q': return item.value == 1;
    case 'S': return item.is_set && ((item.reg == 3 && item.value != 13) || (item.reg == 4 && item.value != 10));
    default: return false;
    }
}

bool same_name(std::string_view name, const char *wanted)
{
    if (name.size() != strlen(wanted))
        return false;
    for (size_t i = 0; i < name.size(); i++)
        if (upper(name[i]) != wanted[i])
            return false;
    return true;
}

// "=?" asks which values a command takes, "?" what it is set to: neither
// carries the command out.
bool carried_out(std::string_view args)
{
    size_t i = skip_ignored(args, 0);
    if (i < args.size() && args[i] == '?')
        return false;
    if (i < args.size() && args[i] == '=') {
        i = skip_ignored(args, i + 1);
        return i >= args.size() || args[i] != '?';
    }
    return true;
}

// AT+CNMA=<n>,<length>: the PDU follows at a prompt when a length is given.
bool acknowledgement_with_pdu(std::string_view args)
{
    size_t i = skip_ignored(args, 0);
    if (i >= args.size() || args[i] != '=')
        return false;
    size_t comma = args.find(',', i);
    if (comma == std::string_view::npos)
        return false;
    size_t at = comma + 1;
    size_t digits = skip_ignored(args, at);
    if (digits >= args.size() || !is_digit(args[digits]))
        return false;
    return read_number(args, &at) != 0;
}

bool blank_line(std::string_view line)
{
    for (char c : line)
        if (!blank_char(c))
            return false;
    return true;
}

bool line_prompts(std::string_view line)
{
    return walk_line(line, [](const command_item &item) {
        if (item.kind != command_item::EXTENDED || item.lead != '+')
            return false;
        if (same_name(item.name, "CMGS") || same_name(item.name, "CMGW") || same_name(item.name, "CMGC"))
            return carried_out(item.args);
        return same_name(item.name, "CNMA") && acknowledgement_with_pdu(item.args);
    });
}

// Where the first line that prompts ends (at its CR, or the text's end),
// or npos when none does.
size_t prompt_line_end(std::string_view text)
{
    for (size_t at = 0; at <= text.size();) {
        size_t cr = text.find('\r', at);
        size_t end = cr == std::string_view::npos ? text.size() : cr;
        if (line_prompts(text.substr(at, end - at)))
            return end;
        if (cr == std::string_view::npos)
            break;
        at = cr + 1;
    }
    return std::string_view::npos;
}

// Judges each command line of text; *lines counts the non-blank ones.
command_refusal judge_lines(std::string_view text, int *lines)
{
    for (size_t at = 0; at <= text.size();) {
        size_t cr = text.find('\r', at);
        size_t end = cr == std::string_view::npos ? text.size() : cr;
        std::string_view line = text.substr(at, end - at);
        if (!blank_line(line)) {
            if (++*lines > COMMAND_LINES_MAX)
                return COMMAND_TOO_MANY;
            if (walk_line(line, changes_shared_setting))
                return COMMAND_SHARED_SETTING;
        }
        if (cr == std::string_view::npos)
            break;
        at = cr + 1;
    }
    return COMMAND_ACCEPTED;
}

} // namespace

namespace
{

// What a byte is, for the first look at a whole text.
enum : uint8_t {
    BYTE_CONTROL = 1,   // NUL or ESC
    BYTE_CTRL_Z = 2,    // ends a prompt's text
    BYTE_VISIBLE = 4,   // anything but a blank
    BYTE_SEPARATOR = 8, // ';', CR, LF or Ctrl-Z: more than one command
};
struct byte_classes {
    uint8_t of[256];
};
constexpr byte_classes make_byte_classes()
{
    byte_classes t{};
    for (int c = 0; c < 256; c++) {
        uint8_t k = 0;
        if (c == 0 || c == ESC)
            k |= BYTE_CONTROL;
        if (c == CTRL_Z)
            k |= BYTE_CTRL_Z | BYTE_SEPARATOR;
        if (c == ';' || c == '\r' || c == '\n')
            k |= BYTE_SEPARATOR;
        if (!(c == ' ' || c == '\t' || c == '\r' || c == '\n'))
            k |= BYTE_VISIBLE;
        t.of[c] = k;
    }
    return t;
}
constexpr byte_classes BYTE_CLASS = make_byte_classes();

} // namespace

command_refusal command_check(const char *text, size_t length, bool allow_ctrl_z)
{
    std::string_view all(text, length);
    // Every byte is classed by one table look-up: this runs for every call.
    unsigned seen = 0;
    for (char c : all)
        seen |= BYTE_CLASS.of[static_cast<unsigned char>(c)];
    if ((seen & BYTE_CONTROL) || ((seen & BYTE_CTRL_Z) && !allow_ctrl_z))
        return COMMAND_CONTROL_BYTES;
    if (!(seen & BYTE_VISIBLE))
        return COMMAND_BLANK;
    // One extended command alone ("AT+CSQ", "AT+COPS=0,2"), the usual call:
    // no basic command, no second line, nothing to judge.
    if (!(seen & BYTE_SEPARATOR) && length >= 3 && (text[0] | 0x20) == 'a' && (text[1] | 0x20) == 't' && text[2] == '+')
        return COMMAND_ACCEPTED;

    // Each Ctrl-Z ends a prompt's text, which starts behind the line that
    // prompts. Text before the first Ctrl-Z with no such line answers a
    // prompt an earlier call opened; after a Ctrl-Z, only a line that
    // prompts starts text again.
    int lines = 0;
    size_t at = 0;
    for (bool first = true;; first = false) {
        size_t z = all.find(CTRL_Z, at);
        if (z == std::string_view::npos)
            return judge_lines(all.substr(at), &lines);
        std::string_view part = all.substr(at, z - at);
        size_t commands = prompt_line_end(part);
        if (commands != std::string_view::npos || !first) {
            command_refusal r = judge_lines(part.substr(0, commands), &lines);
            if (r != COMMAND_ACCEPTED)
                return r;
        }
        at = z + 1;
    }
}

const char *command_refusal_message(command_refusal r)
{
    switch (r) {
    case COMMAND_ACCEPTED: return "";
    case COMMAND_CONTROL_BYTES: return "Invalid AT command: use data for message text";
    case COMMAND_BLANK: return "Invalid AT command";
    case COMMAND_SHARED_SETTING: return "Command not allowed on a shared port";
    case COMMAND_TOO_MANY: return "Too many commands in one call";
    }
    return "";
}

// Whether "+CMG" or "+CNM" appears at all: most lines are settled by this.
static bool may_prompt(std::string_view line)
{
    for (size_t i = 0; i + 3 < line.size(); i++) {
        if (line[i] != '+' || (line[i + 1] | 0x20) != 'c')
            continue;
        char a = char(line[i + 2] | 0x20), b = char(line[i + 3] | 0x20);
        if ((a == 'm' && b == 'g') || (a == 'n' && b == 'm'))
            return true;
    }
    return false;
}

bool command_prompts(const char *line, size_t length)
{
    std::string_view text(line, length);
    return may_prompt(text) && line_prompts(text);
}

bool command_data_dial(const char *line, size_t length)
{
    return walk_line(std::string_view(line, length), [](const command_item &item) {
        switch (item.kind) {
        case command_item::DIAL: return !item.voice;
        case command_item::BASIC: return item.letter == 'O' && !item.prefixed;
        case command_item::EXTENDED:
            return item.lead == '+' && same_name(item.name, "CGDATA") && carried_out(item.args);
        default: return false;
        }
    });
}
