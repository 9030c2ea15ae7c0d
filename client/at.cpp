// "tarnel at": commands through the daemon's sendat, answers as lines.
#include <getopt.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <iostream>

#include "client/tarnel.h"

namespace
{

enum { AT_OK = 0, AT_MODEM_ERROR = 1, AT_TIMEOUT = 2, AT_FAILED = 3 };

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool same_text_nocase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = static_cast<char>(y - 'a' + 'A');
        if (x != y)
            return false;
    }
    return true;
}

struct at_options {
    std::string socket;
    std::string port;
    int timeout = 5;
    std::string end_flag;
    bool end_flag_given = false;
    bool raw = false;
};

// The port when -p is not given: the only open one.
bool default_port(bus_link &link, std::string &port)
{
    std::vector<listed_port> ports;
    std::string error;
    if (!bus_list(link, ports, error)) {
        std::cerr << "tarnel: " << error << "\n";
        return false;
    }
    std::vector<std::string> open;
    for (const auto &p : ports)
        if (p.open)
            open.push_back(p.path);
    if (open.size() == 1) {
        port = open.front();
        return true;
    }
    if (open.empty()) {
        std::cerr << "tarnel: no port is open; name one with -p PORT\n";
    } else {
        std::cerr << "tarnel: " << open.size() << " ports are open (";
        for (size_t i = 0; i < open.size(); i++)
            std::cerr << (i ? ", " : "") << open[i];
        std::cerr << "); name one with -p PORT\n";
    }
    return false;
}

void print_lines(const std::vector<std::string> &lines)
{
    for (const auto &l : lines)
        std::cout << l << "\n";
}

int run_one(bus_link &link, const at_options &o, const std::string &command)
{
    blob_buf b{};
    blob_buf_init(&b, 0);
    blobmsg_add_string(&b, "at_port", o.port.c_str());
    blobmsg_add_string(&b, "at_cmd", command.c_str());
    blobmsg_add_u32(&b, "timeout", static_cast<uint32_t>(o.timeout));
    if (o.end_flag_given)
        blobmsg_add_string(&b, "end_flag", o.end_flag.c_str());
    call_result r = bus_call(link, "sendat", b, (o.timeout + 10) * 1000);
    blob_buf_free(&b);

    if (r.status != UBUS_STATUS_OK || !r.reply) {
        std::cerr << "tarnel: " << command << ": " << call_failure(r) << "\n";
        return AT_FAILED;
    }
    blob_attr *msg = r.reply.get();
    std::string status = reply_string(msg, "status");
    if (status == "timeout") {
        std::string partial = reply_string(msg, "partial_response");
        if (o.raw)
            std::cout << partial;
        else
            print_lines(answer_lines(partial, command, "", false));
        std::string message = reply_string(msg, "message");
        std::cerr << "tarnel: " << command << ": " << (message.empty() ? "timed out" : message) << "\n";
        return AT_TIMEOUT;
    }
    if (status != "success") {
        std::cerr << "tarnel: " << command << ": " << call_failure(r) << "\n";
        return AT_FAILED;
    }

    std::string response = reply_string(msg, "response");
    std::string matched = reply_string(msg, "end_flag_matched");
    bool error = matched == "ERROR" || matched == "+CME ERROR:" || matched == "+CMS ERROR:" ||
                 (matched == "NO CARRIER" && !o.end_flag_given);
    std::string final_line;
    bool info_flag = o.end_flag_given && !error && !is_final_result_code(matched);
    std::vector<std::string> lines = answer_lines(response, command, matched, info_flag, &final_line);
    if (o.raw)
        std::cout << response;
    else
        print_lines(lines);
    if (error) {
        std::cerr << (final_line.empty() ? matched : final_line) << "\n";
        return AT_MODEM_ERROR;
    }
    return AT_OK;
}

bool blank(std::string_view s)
{
    return trim(s).empty();
}

const char AT_USAGE[] = "Usage: tarnel at [-s SOCKET] [-p PORT] [-t SECONDS] [-e FLAGS] [-r] [COMMAND...]\n";

} // namespace

int tarnel_at(int argc, char **argv)
{
    at_options o;
    static const option longs[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    optind = 1;
    int c;
    while ((c = getopt_long(argc, argv, "+s:p:t:e:rh", longs, nullptr)) != -1) {
        switch (c) {
        case 's': o.socket = optarg; break;
        case 'p': o.port = optarg; break;
        case 't': {
            std::string_view v = optarg;
            auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), o.timeout);
            if (v.empty() || ec != std::errc() || end != v.data() + v.size() || o.timeout < 0 || o.timeout > 600) {
                std::cerr << "tarnel at: -t takes seconds, 0 to 600\n";
                return AT_FAILED;
            }
            break;
        }
        case 'e':
            o.end_flag = optarg;
            o.end_flag_given = true;
            break;
        case 'r': o.raw = true; break;
        case 'h': std::cout << tarnel_help(); return 0;
        default: std::cerr << AT_USAGE; return AT_FAILED;
        }
    }

    bus_link link;
    std::string error;
    if (!bus_open(link, o.socket, error)) {
        std::cerr << "tarnel: " << error << "\n";
        return AT_FAILED;
    }
    int status = AT_OK;
    if (o.port.empty() && !default_port(link, o.port)) {
        status = AT_FAILED;
    } else if (optind < argc) {
        for (int i = optind; i < argc && status == AT_OK; i++)
            status = run_one(link, o, argv[i]);
    } else {
        std::string line;
        while (status == AT_OK && std::getline(std::cin, line)) {
            while (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!blank(line)) {
                status = run_one(link, o, line);
                std::cout.flush();
            }
        }
    }
    std::cout.flush();
    bus_close(link);
    return status;
}

// --- Reading answers ---

std::vector<std::string> split_end_flags(std::string_view text)
{
    std::vector<std::string> flags;
    while (true) {
        size_t comma = text.find(',');
        std::string_view f = text.substr(0, comma);
        while (!f.empty() && (f.front() == ' ' || f.front() == '\t'))
            f.remove_prefix(1);
        while (!f.empty() && (f.back() == ' ' || f.back() == '\t'))
            f.remove_suffix(1);
        if (!f.empty())
            flags.emplace_back(f);
        if (comma == std::string_view::npos)
            return flags;
        text.remove_prefix(comma + 1);
    }
}

bool is_final_result_code(std::string_view flag)
{
    for (std::string_view code :
         {"OK", "ERROR", "NO CARRIER", "BUSY", "NO ANSWER", "NO DIALTONE", "CONNECT", "+CME ERROR:", "+CMS ERROR:"})
        if (flag == code)
            return true;
    return false;
}

bool line_matches_flag(std::string_view line, std::string_view flag)
{
    std::string_view t = trim(line);
    if (flag == "ERROR")
        return t == "ERROR" || t.starts_with("+CME ERROR:") || t.starts_with("+CMS ERROR:");
    if (flag == "+CME ERROR:" || flag == "+CMS ERROR:")
        return t.starts_with(flag);
    if (flag == "CONNECT")
        return t == "CONNECT" || t.starts_with("CONNECT ");
    if (is_final_result_code(flag))
        return t == flag;
    return !flag.empty() && line.find(flag) != std::string_view::npos;
}

std::vector<std::string> answer_lines(std::string_view response, std::string_view command, std::string_view matched,
                                      bool include_final, std::string *final_line)
{
    std::vector<std::string> out;
    bool first = true;
    while (!response.empty()) {
        size_t nl = response.find('\n');
        std::string_view line = response.substr(0, nl);
        response.remove_prefix(nl == std::string_view::npos ? response.size() : nl + 1);
        while (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (blank(line))
            continue;
        // The answer starts at the echo; with echo off there is none.
        if (first) {
            first = false;
            if (same_text_nocase(trim(line), trim(command)))
                continue;
        }
        if (!matched.empty() && line_matches_flag(line, matched)) {
            if (final_line)
                *final_line = line;
            if (include_final)
                out.emplace_back(line);
            break;
        }
        out.emplace_back(line);
    }
    return out;
}
