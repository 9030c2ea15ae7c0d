// Reading the router's configuration files (/etc/config/NAME) and the port
// sections of ours, /etc/config/tarnel.
//
// The reader takes a file as the router's uci tool writes it and as a hand
// edit may leave it:
//   config TYPE ['NAME']        a section; no NAME: anonymous
//   option NAME VALUE           one value; a repeated option keeps the last
//   list NAME VALUE             one more value of the list NAME, in order
// Words are bare (no blanks), 'single-quoted' (nothing special inside) or
// "double-quoted" (a backslash takes the next character as it is); outside
// quotes a backslash does the same, which is how the tool writes a quote
// inside a value: 'it'\''s'. Adjacent pieces make one word. A quoted value
// may span lines. Blank lines are skipped, and so is everything from a '#'
// that starts a word to the end of its line. Spaces and tabs are the same.
//
// A malformed statement fails the whole file, with the number of its line:
// the reader never guesses what a broken file meant.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct uci_option {
    std::string name;
    std::string value;
    int line = 0; // of its last occurrence
};

struct uci_list {
    std::string name;
    std::vector<std::string> values;
    int line = 0; // of its first value
};

struct uci_section {
    std::string type;
    std::string name;                // empty: anonymous
    int line = 0;                    // of its "config" line
    std::vector<uci_option> options; // in the order first given
    std::vector<uci_list> lists;     // in the order first given
};

struct uci_error {
    int line = 0; // 0: not about one line (the file could not be read)
    std::string message;
};

// "FILE:LINE: MESSAGE", or "FILE: MESSAGE" for line 0.
std::string uci_error_text(const uci_error &e, std::string_view file);

// On failure returns false, fills `error` and leaves `sections` empty.
bool uci_parse(std::string_view text, std::vector<uci_section> &sections, uci_error &error);
bool uci_load(const std::string &path, std::vector<uci_section> &sections, uci_error &error);

// nullptr when the section has no such option (or list).
const uci_option *uci_find_option(const uci_section &s, std::string_view name);
const uci_list *uci_find_list(const uci_section &s, std::string_view name);

// One "config port" section, checked. parity: 0 none, 1 odd, 2 even (the
// daemon's open method takes the same numbers).
struct port_config {
    std::string section; // its name, or "@port[N]" (N counts port sections from 0)
    int line = 0;        // of its "config" line
    std::string device;  // a path, or usb:VID:PID[:SERIAL]:IF
    int baudrate = 115200;
    int databits = 8;
    int parity = 0;
    int stopbits = 1;
    std::vector<std::string> init;        // commands sent when the port opens
    std::vector<std::string> unsolicited; // prefixes of the modem's unsolicited lines
    std::vector<std::string> share;       // names of virtual ports onto this one
    std::string share_group;              // the group that may open them; empty: none named
    bool enabled = true;
};

// Every "config port" section in file order, the other types ignored, and
// unknown options too. Fails on the first section with a missing device,
// a value out of range (a baud rate the daemon cannot set, parity 'mark',
// enabled 'maybe'), an option written as a list, or a device that two
// sections name. A list written as a single option is a list of one.
bool uci_ports(const std::vector<uci_section> &sections, std::vector<port_config> &ports, uci_error &error);
