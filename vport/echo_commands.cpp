// The echo setting of a virtual port is its own: E commands are taken out
// of a command line before it goes to the modem, which everyone shares.
// The line is read as command_check reads it: basic commands, S-registers,
// a dial to the end of the line or ';', extended commands to the next ';'
// outside quotes.
#include <cctype>
#include <cstring>

#include "vport/vport.h"

static bool digit(char c)
{
    return c >= '0' && c <= '9';
}

// An extended command or a dial: up to and with the next ';' outside quotes.
static size_t to_semicolon(const std::string &line, size_t i)
{
    bool quoted = false;
    for (; i < line.size(); i++) {
        if (line[i] == '"')
            quoted = !quoted;
        else if (line[i] == ';' && !quoted)
            return i + 1;
    }
    return i;
}

std::string vport_take_echo(const std::string &line, int *echo)
{
    *echo = -1;
    std::string out = line.substr(0, 2);
    size_t i = 2, n = line.size();
    while (i < n) {
        char c = line[i];
        char u = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        size_t j = i + 1;
        if (strchr("+^$%#!*", c) || u == 'D') {
            j = to_semicolon(line, i);
        } else if (u == 'E') {
            size_t k = j;
            while (k < n && line[k] == ' ')
                k++;
            long value = 0;
            bool has_value = false;
            for (; k < n && digit(line[k]); k++, has_value = true)
                value = value * 10 + (line[k] - '0');
            if (!has_value || value <= 1) {
                *echo = has_value ? static_cast<int>(value) : 0;
                i = k;
                continue;
            }
            j = k; // E2 and up: the modem's to refuse
        } else if (u == 'S') {
            while (j < n && digit(line[j]))
                j++;
            if (j < n && line[j] == '?') {
                j++;
            } else if (j < n && line[j] == '=') {
                for (j++; j < n && digit(line[j]);)
                    j++;
            }
        } else if (c == '&' || isalpha(static_cast<unsigned char>(c))) {
            if (c == '&' && j < n)
                j++;
            if (j < n && (line[j] == '?' || line[j] == '='))
                j++;
            while (j < n && digit(line[j]))
                j++;
        }
        out.append(line, i, j - i);
        i = j;
    }
    return out;
}
