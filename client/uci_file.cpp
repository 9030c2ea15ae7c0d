#include "client/uci_file.h"

#include <errno.h>
#include <string.h>

#include <charconv>
#include <fstream>
#include <sstream>

#include "port/port.h"

namespace
{

bool is_blank(char c)
{
    // A CR counts as a blank so that a file saved with CR LF line ends reads
    // the same; inside quotes it stays part of the value.
    return c == ' ' || c == '\t' || c == '\r';
}

bool is_name(std::string_view s)
{
    if (s.empty())
        return false;
    for (char c : s) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok)
            return false;
    }
    return true;
}

struct reader {
    std::string_view text;
    size_t pos = 0;
    int line = 1;
    uci_error *error = nullptr;

    bool fail(int at, std::string message)
    {
        error->line = at;
        error->message = std::move(message);
        return false;
    }

    void take(std::string &word, char c)
    {
        if (c == '\n')
            line++;
        word += c;
    }

    bool read_word(std::string &word)
    {
        while (pos < text.size()) {
            char c = text[pos];
            if (is_blank(c) || c == '\n')
                return true;
            if (c == '\'') {
                int start = line;
                size_t end = text.find('\'', pos + 1);
                if (end == std::string_view::npos)
                    return fail(start, "unterminated single quote");
                for (size_t i = pos + 1; i < end; i++)
                    take(word, text[i]);
                pos = end + 1;
            } else if (c == '"') {
                int start = line;
                pos++;
                for (;;) {
                    if (pos >= text.size())
                        return fail(start, "unterminated double quote");
                    char d = text[pos];
                    if (d == '"') {
                        pos++;
                        break;
                    }
                    if (d == '\\') {
                        if (pos + 1 >= text.size())
                            return fail(start, "unterminated double quote");
                        pos++;
                        d = text[pos];
                    }
                    take(word, d);
                    pos++;
                }
            } else if (c == '\\') {
                // A backslash that ends the line would escape the statement's
                // end: no continuation lines, a clear error instead.
                if (pos + 1 >= text.size() || text[pos + 1] == '\n' || text[pos + 1] == '\r')
                    return fail(line, "backslash at the end of a line");
                word += text[pos + 1];
                pos += 2;
            } else {
                word += c;
                pos++;
            }
        }
        return true;
    }

    // The words of the next statement, and the line it starts on; false on
    // a malformed word. An empty `words` at the end of the text: done.
    bool next_statement(std::vector<std::string> &words, int &at)
    {
        words.clear();
        at = 0;
        while (pos < text.size()) {
            char c = text[pos];
            if (is_blank(c)) {
                pos++;
                continue;
            }
            if (c == '\n') {
                pos++;
                line++;
                if (!words.empty())
                    return true;
                continue;
            }
            if (c == '#') {
                size_t end = text.find('\n', pos);
                pos = end == std::string_view::npos ? text.size() : end;
                continue;
            }
            if (words.empty())
                at = line;
            words.emplace_back();
            if (!read_word(words.back()))
                return false;
        }
        return true;
    }
};

// Const or not, as the vector is.
template <class V>
auto find_named(V &items, std::string_view name) -> decltype(&items[0])
{
    for (auto &item : items)
        if (item.name == name)
            return &item;
    return nullptr;
}

bool apply_statement(const std::vector<std::string> &w, int at, std::vector<uci_section> &out, uci_error &error)
{
    auto fail = [&](std::string message) {
        error.line = at;
        error.message = std::move(message);
        return false;
    };
    const std::string &keyword = w[0];
    if (keyword == "config") {
        if (w.size() < 2)
            return fail("config without a section type");
        if (w.size() > 3)
            return fail("config takes a type and at most a name");
        if (!is_name(w[1]))
            return fail("bad section type '" + w[1] + "' (letters, digits and _ only)");
        if (w.size() == 3 && !is_name(w[2]))
            return fail("bad section name '" + w[2] + "' (letters, digits and _ only)");
        uci_section s;
        s.type = w[1];
        s.name = w.size() == 3 ? w[2] : std::string();
        s.line = at;
        out.push_back(std::move(s));
        return true;
    }
    if (keyword != "option" && keyword != "list")
        return fail("expected config, option or list, found '" + keyword + "'");
    if (out.empty())
        return fail(keyword + " before any config line");
    if (w.size() < 3)
        return fail(keyword + (w.size() < 2 ? " without a name" : " " + w[1] + " without a value"));
    if (w.size() > 3)
        return fail(keyword + " " + w[1] + " has more than one value (quote a value with blanks)");
    if (!is_name(w[1]))
        return fail("bad " + keyword + " name '" + w[1] + "' (letters, digits and _ only)");

    uci_section &s = out.back();
    uci_option *as_option = find_named(s.options, w[1]);
    uci_list *as_list = find_named(s.lists, w[1]);
    if (keyword == "option") {
        if (as_list)
            return fail(w[1] + " is a list (line " + std::to_string(as_list->line) + ") and an option");
        if (as_option) {
            as_option->value = w[2];
            as_option->line = at;
        } else {
            s.options.push_back({w[1], w[2], at});
        }
        return true;
    }
    if (as_option)
        return fail(w[1] + " is an option (line " + std::to_string(as_option->line) + ") and a list");
    if (as_list)
        as_list->values.push_back(w[2]);
    else
        s.lists.push_back({w[1], {w[2]}, at});
    return true;
}

} // namespace

std::string uci_error_text(const uci_error &e, std::string_view file)
{
    std::string out(file);
    if (e.line > 0)
        out += ":" + std::to_string(e.line);
    return out + ": " + e.message;
}

bool uci_parse(std::string_view text, std::vector<uci_section> &sections, uci_error &error)
{
    sections.clear();
    reader r{text, 0, 1, &error};
    std::vector<std::string> words;
    int at = 0;
    for (;;) {
        if (!r.next_statement(words, at) || (!words.empty() && !apply_statement(words, at, sections, error))) {
            sections.clear();
            return false;
        }
        if (words.empty())
            return true;
    }
}

bool uci_load(const std::string &path, std::vector<uci_section> &sections, uci_error &error)
{
    sections.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = {0, std::string("cannot open: ") + strerror(errno)};
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        error = {0, std::string("cannot read: ") + strerror(errno)};
        return false;
    }
    return uci_parse(text.str(), sections, error);
}

const uci_option *uci_find_option(const uci_section &s, std::string_view name)
{
    return find_named(s.options, name);
}

const uci_list *uci_find_list(const uci_section &s, std::string_view name)
{
    return find_named(s.lists, name);
}

namespace
{

bool is_hex(std::string_view s, size_t min, size_t max)
{
    if (s.size() < min || s.size() > max)
        return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}

// usb:VID:PID[:SERIAL]:IF. A serial number may itself hold colons: it is
// whatever lies between the product and the last field.
bool is_usb_device(std::string_view d)
{
    d.remove_prefix(4);
    size_t first = d.find(':');
    if (first == std::string_view::npos)
        return false;
    size_t second = d.find(':', first + 1);
    size_t last = d.rfind(':');
    if (second == std::string_view::npos || !is_hex(d.substr(0, first), 4, 4) ||
        !is_hex(d.substr(first + 1, second - first - 1), 4, 4) || !is_hex(d.substr(last + 1), 1, 2))
        return false;
    return last == second || last > second + 1;
}

bool parse_int(std::string_view s, int &out)
{
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return !s.empty() && ec == std::errc() && end == s.data() + s.size();
}

// The speeds the daemon's port setup knows; any other would be run at
// 115200 without a word, so the configuration refuses it.
constexpr int BAUDRATES[] = {9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600};

bool port_from_section(const uci_section &s, int index, port_config &p, uci_error &error)
{
    p = port_config{};
    p.section = s.name.empty() ? "@port[" + std::to_string(index) + "]" : s.name;
    p.line = s.line;
    auto fail = [&](int line, const std::string &message) {
        error.line = line;
        error.message = "port " + p.section + ": " + message;
        return false;
    };

    for (const char *name : {"device", "baudrate", "databits", "parity", "stopbits", "share_group", "enabled"})
        if (const uci_list *l = uci_find_list(s, name))
            return fail(l->line, std::string(name) + " takes one value: write it as option " + name);
    auto lists = [&](const char *name, std::vector<std::string> &out) {
        if (const uci_list *l = uci_find_list(s, name))
            out = l->values;
        else if (const uci_option *o = uci_find_option(s, name))
            out = {o->value};
    };
    lists("init", p.init);
    lists("unsolicited", p.unsolicited);
    lists("share", p.share);

    const uci_option *o = uci_find_option(s, "device");
    if (!o || o->value.empty())
        return fail(o ? o->line : s.line, "no device (option device '/dev/ttyUSB2' or 'usb:VID:PID:IF')");
    p.device = o->value;
    if (p.device.starts_with("usb:")) {
        if (!is_usb_device(p.device))
            return fail(o->line, "device '" + p.device + "' is not usb:VID:PID[:SERIAL]:IF (hexadecimal IDs)");
    } else if (!p.device.starts_with("/")) {
        return fail(o->line, "device '" + p.device + "' is neither an absolute path nor usb:VID:PID[:SERIAL]:IF");
    } else if (p.device.size() >= PORT_PATH_MAX) {
        return fail(o->line, "device path longer than " + std::to_string(PORT_PATH_MAX - 1) + " characters");
    }

    if ((o = uci_find_option(s, "baudrate"))) {
        bool known = false;
        if (parse_int(o->value, p.baudrate))
            for (int b : BAUDRATES)
                known = known || b == p.baudrate;
        if (!known) {
            std::string all;
            for (int b : BAUDRATES)
                all += (all.empty() ? "" : ", ") + std::to_string(b);
            return fail(o->line, "baudrate '" + o->value + "' is not one of " + all);
        }
    }
    if ((o = uci_find_option(s, "databits")) &&
        !(parse_int(o->value, p.databits) && p.databits >= 5 && p.databits <= 8))
        return fail(o->line, "databits '" + o->value + "' is not 5, 6, 7 or 8");
    if ((o = uci_find_option(s, "stopbits")) &&
        !(parse_int(o->value, p.stopbits) && p.stopbits >= 1 && p.stopbits <= 2))
        return fail(o->line, "stopbits '" + o->value + "' is not 1 or 2");
    if ((o = uci_find_option(s, "parity"))) {
        if (o->value == "none")
            p.parity = 0;
        else if (o->value == "odd")
            p.parity = 1;
        else if (o->value == "even")
            p.parity = 2;
        else
            return fail(o->line, "parity '" + o->value + "' is not none, odd or even");
    }
    if ((o = uci_find_option(s, "enabled"))) {
        const std::string &v = o->value;
        if (v == "1" || v == "yes" || v == "on" || v == "true" || v == "enabled")
            p.enabled = true;
        else if (v == "0" || v == "no" || v == "off" || v == "false" || v == "disabled")
            p.enabled = false;
        else
            return fail(o->line, "enabled '" + v + "' is not 1 or 0");
    }
    if ((o = uci_find_option(s, "share_group")))
        p.share_group = o->value;
    for (const auto &name : p.share)
        if (name.empty())
            return fail(uci_find_list(s, "share") ? uci_find_list(s, "share")->line : s.line, "an empty share name");
    return true;
}

} // namespace

bool uci_ports(const std::vector<uci_section> &sections, std::vector<port_config> &ports, uci_error &error)
{
    ports.clear();
    int index = 0;
    for (const auto &s : sections) {
        if (s.type != "port")
            continue;
        port_config p;
        if (!port_from_section(s, index++, p, error)) {
            ports.clear();
            return false;
        }
        // Two sections on one device would fight over its settings and
        // init commands; which one wins must not depend on file order.
        for (const auto &q : ports) {
            if (q.device == p.device) {
                error.line = p.line;
                error.message = "port " + p.section + ": device '" + p.device + "' is also port " + q.section +
                                "'s (line " + std::to_string(q.line) + ")";
                ports.clear();
                return false;
            }
        }
        ports.push_back(std::move(p));
    }
    return true;
}
