// The modem's grammar: final result codes, unsolicited lines, message
// texts and the information lines a command owns. See grammar.h.
#include "port/grammar.h"

#include "port/command_check.h"

#include <algorithm>
#include <cstring>
#include <iterator>

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

// Unsolicited "+NAME:" lines a router's modem sends: calls, messages,
// network state, USSD answers, indicators, and the start-up and SIM lines
// of the common vendors. Each may arrive at any moment, between the lines
// of an answer too. Every "+UU...:" line (u-blox) is unsolicited as well.
constexpr std::string_view URC_NAMES[] = {
    "+C5GREG"sv, "+CBM"sv,       "+CCWA"sv,  "+CDS"sv,           "+CDSI"sv,     "+CEREG"sv, "+CFUN"sv,
    "+CGEV"sv,   "+CGREG"sv,     "+CIEV"sv,  "+CLIP"sv,          "+CMT"sv,      "+CMTE"sv,  "+CMTI"sv,
    "+CPIN"sv,   "+CREG"sv,      "+CRING"sv, "+CSSI"sv,          "+CSSU"sv,     "+CTZE"sv,  "+CTZV"sv,
    "+CUSD"sv,   "+GTSIMSTAT"sv, "+QIND"sv,  "+QNETDEVSTATUS"sv, "+QSIMSTAT"sv, "+QUSIM"sv,
};
// A name is looked up for most "+" lines, answers' lines included, so the
// names sit in a small open-addressed table: one slot or two are looked at.
constexpr size_t URC_SLOTS = 64;
constexpr size_t urc_slot_of(std::string_view name)
{
    size_t h = name.size() * 131u;
    for (char c : name)
        h = h * 31u + static_cast<unsigned char>(c);
    return h % URC_SLOTS;
}
struct urc_table {
    std::string_view slots[URC_SLOTS];
};
constexpr urc_table make_urc_table()
{
    static_assert(std::size(URC_NAMES) * 2 <= URC_SLOTS, "the table must stay at most half full");
    urc_table t{};
    for (std::string_view name : URC_NAMES) {
        size_t at = urc_slot_of(name);
        while (!t.slots[at].empty())
            at = (at + 1) % URC_SLOTS;
        t.slots[at] = name;
    }
    return t;
}
constexpr urc_table URC_TABLE = make_urc_table();

bool urc_name_known(std::string_view name)
{
    for (size_t at = urc_slot_of(name);; at = (at + 1) % URC_SLOTS) {
        std::string_view slot = URC_TABLE.slots[at];
        if (slot.empty())
            return false;
        if (slot.size() == name.size() && memcmp(slot.data(), name.data(), name.size()) == 0)
            return true;
    }
}
// Whole lines (or their start) that no command owns. `startup`: the modem
// has just started, and has forgotten every command it read before.
struct urc_word {
    std::string_view text;
    bool prefix; // the line starts with it; else it is the whole line
    bool startup;
};
constexpr urc_word URC_WORDS[] = {
    // Grouped by their first byte, which finds a line's candidates at once.
    {"*ATREADY:"sv, true, true}, {"+SIM READY"sv, false, false},   {"Call Ready"sv, false, false},
    {"PB DONE"sv, false, false}, {"POWERED DOWN"sv, false, false}, {"RING"sv, true, false},
    {"RDY"sv, false, true},      {"SMS Ready"sv, false, false},    {"SMS DONE"sv, false, false},
    {"^SYSSTART"sv, true, true}, {"^BOOT:"sv, true, false},
};
// For each first byte, the words that start with it: [first, first + count).
struct urc_word_range {
    uint8_t first = 0, count = 0;
};
struct urc_word_index {
    urc_word_range by_lead[128];
};
constexpr urc_word_index make_urc_word_index()
{
    urc_word_index index{};
    for (size_t i = 0; i < std::size(URC_WORDS); i++) {
        if (URC_WORDS[i].text.size() < 2)
            throw "a word is looked at by its second byte too";
        if (!unsolicited_lead(URC_WORDS[i].text[0]))
            throw "unsolicited_lead must take every word's first byte";
        urc_word_range &r = index.by_lead[static_cast<unsigned char>(URC_WORDS[i].text[0])];
        if (r.count == 0)
            r.first = uint8_t(i);
        else if (r.first + r.count != i)
            throw "URC_WORDS must stay grouped by their first byte";
        r.count++;
    }
    return index;
}
constexpr urc_word_index URC_WORD_INDEX = make_urc_word_index();

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

char upper(char c)
{
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

bool is_lead(char c)
{
    return c == '+' || c == '^' || c == '#' || c == '$' || c == '%' || c == '!';
}

std::string_view trimmed(const char *line, size_t length)
{
    const char *end = line + length;
    while (line < end && is_blank(*line))
        line++;
    while (end > line && is_blank(end[-1]))
        end--;
    return {line, size_t(end - line)};
}

// Walks the basic commands at the start of `s` ("E0", "&D2", "S7=60",
// "X4", "D*99#") and calls `each(letter, amp, value)` for each; stops at an
// extended command. A dial's string runs to the end of the command.
template <typename F>
size_t walk_basic(const char *s, size_t length, F each)
{
    size_t i = 0;
    while (i < length) {
        char c = upper(s[i]);
        if (is_blank(c)) {
            i++;
            continue;
        }
        bool amp = c == '&';
        if (amp) {
            if (++i >= length)
                break;
            c = upper(s[i]);
        }
        if (c < 'A' || c > 'Z')
            break;
        i++;
        if (!amp && c == 'D') {
            each('D', false, std::string_view{});
            while (i < length && s[i] != ';')
                i++;
            break;
        }
        size_t value_at = i;
        while (i < length && (is_digit(s[i]) || s[i] == '=' || s[i] == '?'))
            i++;
        each(c, amp, std::string_view(s + value_at, i - value_at));
    }
    return i;
}

// One command line (without its CR): "AT" then basic commands, or extended
// ones separated by ';'.
void note_command_line(const char *s, size_t length, command_traits *traits)
{
    std::string_view line = trimmed(s, length);
    if (line.size() < 2 || upper(line[0]) != 'A' || upper(line[1]) != 'T')
        return;
    traits->prompts = traits->prompts || command_prompts(line.data(), line.size());
    s = line.data() + 2;
    length = line.size() - 2;
    auto dial = [traits](char c, bool amp, std::string_view) {
        if (!amp && (c == 'D' || c == 'A' || c == 'O'))
            traits->dial = true;
    };
    size_t i = walk_basic(s, length, dial);
    while (i < length) {
        if (!is_lead(s[i])) {
            i++;
            continue;
        }
        size_t end = i + 1;
        while (end < length && s[end] != '=' && s[end] != '?' && s[end] != ';' && !is_blank(s[end]))
            end++;
        std::string name(1, s[i]);
        for (size_t k = i + 1; k < end; k++)
            name += upper(s[k]);
        if (name == "+CGDATA")
            traits->dial = true;
        if (name == "+CUSD") {
            std::string_view rest(s + end, length - end);
            traits->reads_ussd = traits->reads_ussd || rest.starts_with("?"sv) || rest.starts_with("=?"sv);
        }
        traits->names.push_back(std::move(name));
        // Only the next ';' outside quotes starts another command: a '+'
        // inside the arguments ("+15550100") names nothing.
        bool quoted = false;
        while (end < length && (quoted || s[end] != ';')) {
            quoted = quoted != (s[end] == '"');
            end++;
        }
        if (end >= length)
            break;
        i = end + 1;
        i += walk_basic(s + i, length - i, dial);
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
    std::string_view t = trimmed(f.at, f.length);
    if (t.empty())
        return false;
    for (char c : t)
        if (!is_digit(c))
            return false;
    return true;
}

int32_t number_of(const field &f)
{
    int32_t n = 0;
    for (char c : trimmed(f.at, f.length))
        n = n > 100000 ? n : n * 10 + (c - '0');
    return n;
}

bool starts_with(const char *s, size_t length, std::string_view prefix)
{
    return length >= prefix.size() && memcmp(s, prefix.data(), prefix.size()) == 0;
}

bool only_blanks(const char *s, size_t length)
{
    for (size_t i = 0; i < length; i++)
        if (!is_blank(s[i]))
            return false;
    return true;
}

// Whether the quoted text of a +CUSD: line is left open at its end.
bool quote_open(const char *line, size_t length)
{
    bool open = false;
    for (size_t i = 0; i < length; i++)
        open = open != (line[i] == '"');
    return open;
}

// Whether a line ends in '",<dcs>', the end of a USSD text whatever
// quotes the text holds.
bool ends_with_dcs(std::string_view t)
{
    size_t end = t.size();
    while (end > 0 && is_digit(t[end - 1]))
        end--;
    return end < t.size() && end >= 2 && t[end - 1] == ',' && t[end - 2] == '"';
}

// A line that closes a USSD text: it ends in '"' or '",<dcs>'.
bool closes_ussd(const char *line, size_t length)
{
    std::string_view t = trimmed(line, length);
    return ends_with_dcs(t) || (!t.empty() && t.back() == '"');
}

// Text characters as a header's <length> counts them: each character, or
// each hex digit of an all-hex text, whichever makes the count larger (the
// length is then reached as early as it can be).
int32_t text_units(const char *line, size_t length)
{
    bool hex = length > 0;
    int32_t characters = 0;
    for (size_t i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        hex = hex && (is_digit(char(c)) || (upper(char(c)) >= 'A' && upper(char(c)) <= 'F'));
        characters += (c & 0xC0) != 0x80 ? 1 : 0;
    }
    return hex ? int32_t(length) : characters;
}

constexpr int32_t TEXT_LINES_MAX = 64; // a text that never ends must not swallow the port
constexpr int32_t USSD_LINES_MAX = 8;
constexpr int32_t USSD_BYTES_MAX = 1024;

} // namespace

final_code final_code_of(const char *line, size_t length)
{
    std::string_view text = trimmed(line, length);
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

int echo_setting_of(const char *line, size_t length)
{
    std::string_view text = trimmed(line, length);
    // "AT+NAME..." alone has no basic command that could set echo.
    bool extended_only = text.size() > 2 && text[2] == '+' && text.find(';') == std::string_view::npos;
    if (extended_only || text.size() < 2 || upper(text[0]) != 'A' || upper(text[1]) != 'T')
        return -1;
    int setting = -1;
    auto basic = [&setting](char c, bool amp, std::string_view value) {
        if (!amp && c == 'E')
            setting = value.empty() || value == "0"sv ? 0 : value == "1"sv ? 1 : setting;
        else if ((!amp && c == 'Z') || (amp && c == 'F'))
            setting = 1;
    };
    std::string_view body = text.substr(2);
    size_t i = walk_basic(body.data(), body.size(), basic);
    // Basic commands may follow an extended one behind its ';'
    // ("AT+CSQ;E0").
    while (i < body.size()) {
        bool quoted = false;
        while (i < body.size() && (quoted || body[i] != ';')) {
            quoted = quoted != (body[i] == '"');
            i++;
        }
        if (i >= body.size())
            break;
        i++;
        i += walk_basic(body.data() + i, body.size() - i, basic);
    }
    return setting;
}

urc_match unsolicited_line(const char *line, size_t length, const std::vector<std::string> *extras)
{
    urc_match m;
    if (length == 0)
        return m;
    if (extras) {
        for (const std::string &p : *extras) {
            if (!starts_with(line, length, p))
                continue;
            m.found = true;
            size_t colon = p.find(':');
            if (colon != std::string::npos && colon > 1 && is_lead(p[0]))
                m.name = std::string_view(line, colon);
            return m;
        }
    }
    // By the first byte, most lines are settled at once.
    if (!unsolicited_lead(line[0]))
        return m;
    if (line[0] == 'N' || line[0] == ' ' || line[0] == '\t') {
        // Blanks around it leave it a final result, and so a call that ended.
        m.no_carrier = final_code_of(line, length) == FINAL_NO_CARRIER;
        m.found = m.no_carrier;
        return m;
    }
    urc_word_range words = URC_WORD_INDEX.by_lead[static_cast<unsigned char>(line[0]) & 0x7f];
    for (size_t i = words.first; i < size_t(words.first + words.count); i++) {
        const urc_word &w = URC_WORDS[i];
        // A whole-line word may have blanks behind it; none before it, as
        // the line starts with the word's first byte. The second byte
        // settles most lines ("+CSQ: ..." against "+SIM READY") without a
        // compare of the whole word.
        bool hit = length >= w.text.size() && line[1] == w.text[1] && starts_with(line, length, w.text) &&
                   (w.prefix || only_blanks(line + w.text.size(), length - w.text.size()));
        if (hit) {
            m.found = true;
            m.startup = w.startup;
            return m;
        }
    }
    if (line[0] != '+' && line[0] != '^' && line[0] != '#')
        return m;
    const void *colon = memchr(line, ':', length < 40 ? length : 40);
    size_t name_length = colon ? size_t(static_cast<const char *>(colon) - line) : 0;
    if (line[0] != '+') {
        // Every '^' and '#' line is a vendor's news, unless it is the
        // answer of that vendor's command.
        m.found = true;
        if (name_length > 1)
            m.name = std::string_view(line, name_length);
        return m;
    }
    if (name_length < 2)
        return m;
    std::string_view name(line, name_length);
    if (name.starts_with("+UU"sv)) {
        m.found = true;
        m.name = name;
        return m;
    }
    if (urc_name_known(name)) {
        m.found = true;
        m.name = name;
    }
    return m;
}

bool unsolicited_for(const urc_match &urc, const command_traits *judge)
{
    if (!urc.found)
        return false;
    if (urc.no_carrier)
        return !(judge && judge->dial);
    if (urc.name.empty() || !judge)
        return true;
    if (urc.name == "+CUSD"sv)
        return !judge->reads_ussd;
    for (const std::string &n : judge->names) {
        if (n.size() != urc.name.size())
            continue;
        size_t k = 0;
        while (k < n.size() && n[k] == upper(urc.name[k]))
            k++;
        if (k == n.size())
            return false;
    }
    return true;
}

text_state text_announced(const urc_match &urc, const char *line, size_t length, bool framing)
{
    text_state t;
    field f[12];
    if (urc.found) {
        if (urc.name == "+CUSD"sv) {
            if (quote_open(line, length) && !ends_with_dcs(trimmed(line, length))) {
                t.kind = TEXT_UNSOLICITED;
                t.ussd = true;
            }
            return t;
        }
        bool cmt = urc.name == "+CMT"sv, cbm = urc.name == "+CBM"sv, cds = urc.name == "+CDS"sv;
        if (!cmt && !cbm && !cds)
            return t;
        int count = header_fields(line, length, urc.name.size() + 1, f, 12);
        // PDU mode: "+CMT: [<alpha>],<length>", "+CBM: <length>", "+CDS: <length>".
        bool pdu = all_digits(f[count - 1]) && (cmt ? count == 2 : count == 1);
        if (cds && !pdu)
            return t; // a text-mode status report is one line
        t.kind = TEXT_UNSOLICITED;
        if (!pdu && cmt) {
            t.framed = framing;
            if (count >= 10 && all_digits(f[count - 1]))
                t.length = number_of(f[count - 1]);
        } else if (!pdu) {
            t.framed = framing;
        }
        return t;
    }
    if (length < 6 || line[0] != '+' || line[3] != 'G')
        return t;
    bool list;
    if (starts_with(line, length, "+CMGR:"sv))
        list = false;
    else if (starts_with(line, length, "+CMGL:"sv))
        list = true;
    else
        return t;
    int stat = list ? 1 : 0;
    int count = header_fields(line, length, 6, f, 12);
    // A test command's answer lists ranges, "+CMGL: (0-4)": no message.
    if (f[0].length > 0 && f[0].at[0] == '(')
        return t;
    t.kind = TEXT_ANSWER;
    if (count <= stat)
        return t;
    bool text_mode = f[stat].length > 0 && f[stat].at[0] == '"';
    if (!text_mode)
        return t; // PDU mode: <stat> is a number, and one line of hex follows
    // Text mode: a status report or an SMS command has a number after
    // <stat> (its first octet) and no text line.
    if (count > stat + 1 && all_digits(f[stat + 1])) {
        t.kind = TEXT_NONE;
        return t;
    }
    t.framed = framing;
    t.listed = list;
    if (count >= (list ? 7 : 10) && all_digits(f[count - 1]))
        t.length = number_of(f[count - 1]);
    return t;
}

bool text_takes(text_state *t, const char *line, size_t length)
{
    if (t->kind == TEXT_NONE)
        return false;
    if (t->ussd) {
        t->lines++;
        t->bytes += int32_t(length);
        if (closes_ussd(line, length) || t->lines >= USSD_LINES_MAX || t->bytes >= USSD_BYTES_MAX)
            *t = {};
        return true;
    }
    if (!t->framed) {
        *t = {};
        return true;
    }
    // A list puts no empty line between its entries: the next header
    // ("+CMGL: <index>,") starts the next one.
    if (t->listed && length > 7 && starts_with(line, length, "+CMGL: "sv) && is_digit(line[7])) {
        *t = {};
        return false;
    }
    if (length == 0 && (t->length < 0 || t->counted >= t->length)) {
        *t = {}; // the framing in front of what follows
        return false;
    }
    t->counted += (t->lines > 0 ? 1 : 0) + text_units(line, length);
    t->lines++;
    if ((t->length >= 0 && t->counted >= t->length) || t->lines >= TEXT_LINES_MAX)
        *t = {};
    return true;
}

bool is_prompt_line(const char *line, size_t length)
{
    return length > 0 && line[0] == '>';
}
