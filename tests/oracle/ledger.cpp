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

static const oracle_time run_start = oracle_clock::now();

static double ms_since_start(oracle_time t)
{
    return std::chrono::duration<double, std::milli>(t - run_start).count();
}

void trace(int port, const char *what, std::string_view bytes)
{
    static FILE *out = [] {
        const char *path = getenv("TARNEL_ORACLE_TRACE");
        return path ? fopen(path, "w") : nullptr;
    }();
    if (!out)
        return;
    std::string text = shown(std::string(bytes), SIZE_MAX);
    static std::mutex lock;
    std::lock_guard guard(lock);
    fprintf(out, "%.1f p%d %s %s\n", ms_since_start(oracle_clock::now()), port, what, text.c_str());
}

std::string describe(const oracle_ledger &l, int call)
{
    const call_record &c = l.calls[call];
    std::string out = "call #" + std::to_string(call) + " (client " + std::to_string(c.slot) + ", " + c.method + " " +
                      shown(c.args, 200) + ")";
    char when[64];
    snprintf(when, sizeof when, " sent at %.1f ms", ms_since_start(c.sent));
    out += when;
    if (c.reply.status < 0)
        return out + " in flight";
    snprintf(when, sizeof when, ", replied at %.1f ms", ms_since_start(c.replied));
    out += when;
    out += " -> bus status " + std::to_string(c.reply.status) + ", " + std::to_string(c.reply.replies) + " replies";
    for (const auto &[key, value] : c.reply.number)
        out += ", " + key + "=" + std::to_string(value);
    for (const auto &[key, value] : c.reply.text)
        if (key != "port" && key != "command" && key != "end_flags_used")
            out += ", " + key + "=" + shown(value, key.find("response") != std::string::npos ? 600 : 100);
    if (!c.console_lines.empty())
        out += "\n    the daemon said meanwhile: " + shown(c.console_lines, 600);
    return out;
}

std::string tagged(const std::string &word, long number)
{
    std::string blanks;
    for (; number > 0; number /= 2)
        blanks.insert(blanks.begin(), number % 2 ? '\t' : ' ');
    return word + blanks;
}

std::string message_text(rng_t &rng, long owner, int k, bool may_be_empty)
{
    static const char *const phrases[] = {"OK, see you at 5 ", "ERROR in line ", "NO CARRIER pigeon ", "> see below "};
    int kind = pick(rng, 0, 99);
    if (kind < 25)
        return tagged("OK", tag_of(owner, k));
    if (kind < 40)
        return tagged("ERROR", tag_of(owner, k));
    if (kind < 50 && may_be_empty)
        return "";
    return phrases[kind % 4] + std::to_string(owner) + "." + std::to_string(k);
}

bool own_line(oracle_ledger &l, const std::string &line, const line_owner &owner)
{
    auto [it, added] = l.owners.emplace(without_nul(line), owner);
    return added || (it->second.command == owner.command && it->second.urc == owner.urc);
}

const line_owner *owner_of(const oracle_ledger &l, const std::string &line)
{
    auto it = l.owners.find(line);
    return it == l.owners.end() ? nullptr : &it->second;
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

std::string without_nul(const std::string &s)
{
    std::string out;
    for (char c : s)
        if (c != '\0')
            out += c;
    return out;
}

bool echo_on_throughout(const oracle_ledger &l, int port, oracle_time from, oracle_time to)
{
    bool on = false;
    for (const auto &[at, state] : l.echo_changes[port]) {
        if (at > to)
            break;
        if (at <= from)
            on = state;
        else if (!state)
            return false;
    }
    return on;
}
