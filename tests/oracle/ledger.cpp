#include "tests/oracle/ledger.h"

#include <cctype>
#include <cstdio>

void report(oracle_ledger &l, const std::string &what, const std::string &detail)
{
    std::lock_guard guard(l.lock);
    l.violations++;
    printf("VIOLATION (seed %llu): %s\n", static_cast<unsigned long long>(l.seed), what.c_str());
    if (!detail.empty())
        printf("    %s\n", detail.c_str());
    fflush(stdout);
}

void count_fault(oracle_ledger &l, int n)
{
    std::lock_guard guard(l.lock);
    l.faults += n;
}

std::string shown(const std::string &bytes, size_t max)
{
    std::string out = "\"";
    for (size_t i = 0; i < bytes.size(); i++) {
        if (out.size() >= max) {
            out += "...(" + std::to_string(bytes.size()) + " bytes)";
            break;
        }
        unsigned char c = bytes[i];
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '"' || c == '\\')
            out += std::string("\\") + char(c);
        else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string describe(const oracle_ledger &l, int call)
{
    const call_record &c = l.calls[call];
    std::string out = "call #" + std::to_string(call) + " (client " + std::to_string(c.slot) + ", " + c.method + " " +
                      shown(c.args, 200) + ")";
    if (c.reply.status < 0)
        return out + " in flight";
    out += " -> bus status " + std::to_string(c.reply.status) + ", " + std::to_string(c.reply.replies) + " replies";
    for (const auto &[key, value] : c.reply.number)
        out += ", " + key + "=" + std::to_string(value);
    for (const auto &[key, value] : c.reply.text)
        if (key != "port" && key != "command" && key != "end_flags_used")
            out += ", " + key + "=" + shown(value, key.find("response") != std::string::npos ? 600 : 100);
    return out;
}

long line_id(const std::string &line)
{
    size_t at = line.find_first_of("0123456789");
    if (at == std::string::npos)
        return -1;
    long id = 0;
    for (; at < line.size() && isdigit(static_cast<unsigned char>(line[at])) && id < 100000000; at++)
        id = id * 10 + (line[at] - '0');
    return id;
}

long urc_number(const std::string &line)
{
    return line.rfind("+URC: ", 0) == 0 ? line_id(line) : -1;
}

bool is_echo(const std::string &line)
{
    return line.rfind("AT", 0) == 0;
}

std::string without_nul(const std::string &s)
{
    std::string out;
    for (char c : s)
        if (c != '\0')
            out += c;
    return out;
}
