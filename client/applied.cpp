// The record of what "tarnel apply" set up, in its state directory:
//
//   tarnel-applied 1
//   OPEN_DIGEST TAB SHARE_DIGEST TAB DEVICE TAB AT_PORT [TAB SHARE]...
//
// one line per port. Digests are 16 hex digits (64-bit FNV-1a of the values,
// each preceded by its length), "-" for what was not applied. Backslash,
// tab and newline inside a field are written \\, \t and \n.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "client/tarnel.h"

namespace
{

const char HEADER[] = "tarnel-applied 1";

struct digest {
    uint64_t h = 14695981039346656037ull;
    void bytes(std::string_view s)
    {
        for (unsigned char c : s) {
            h ^= c;
            h *= 1099511628211ull;
        }
    }
    void value(std::string_view s)
    {
        bytes(std::to_string(s.size()) + ":");
        bytes(s);
    }
    void list(const std::vector<std::string> &v)
    {
        value(std::to_string(v.size()));
        for (const auto &s : v)
            value(s);
    }
    std::string hex() const
    {
        char out[17];
        std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
        return out;
    }
};

std::string escape(std::string_view s)
{
    std::string out;
    for (char c : s) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

bool unescape(std::string_view s, std::string &out)
{
    out.clear();
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '\\') {
            out += s[i];
            continue;
        }
        if (++i == s.size())
            return false;
        switch (s[i]) {
        case '\\': out += '\\'; break;
        case 't': out += '\t'; break;
        case 'n': out += '\n'; break;
        default: return false;
        }
    }
    return true;
}

bool parse_line(std::string_view line, applied_port &p)
{
    std::vector<std::string> fields;
    while (true) {
        size_t tab = line.find('\t');
        std::string f;
        if (!unescape(line.substr(0, tab), f))
            return false;
        fields.push_back(f);
        if (tab == std::string_view::npos)
            break;
        line.remove_prefix(tab + 1);
    }
    if (fields.size() < 4 || fields[2].empty() || fields[3].empty())
        return false;
    p.open_digest = fields[0];
    p.share_digest = fields[1];
    p.device = fields[2];
    p.at_port = fields[3];
    p.shares.assign(fields.begin() + 4, fields.end());
    return true;
}

bool make_dir(const std::string &dir, std::string &error)
{
    // Each missing level, from the top.
    for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        std::string part = dir.substr(0, slash);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            error = "cannot make " + part + ": " + std::strerror(errno);
            return false;
        }
        if (slash == std::string::npos)
            return true;
    }
}

} // namespace

std::string open_digest(const port_config &p)
{
    digest d;
    for (int v : {p.baudrate, p.databits, p.parity, p.stopbits})
        d.value(std::to_string(v));
    d.list(p.init);
    d.list(p.unsolicited);
    return d.hex();
}

std::string share_digest(const std::vector<std::string> &names, const std::string &group)
{
    digest d;
    d.value(group);
    d.list(names);
    return d.hex();
}

bool applied_read(const std::string &path, std::vector<applied_port> &ports, std::string &error)
{
    ports.clear();
    struct stat st;
    if (stat(path.c_str(), &st) != 0 && errno == ENOENT)
        return true;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::string line;
    if (!std::getline(in, line) || line != HEADER) {
        error = path + " is no record of ours";
        return false;
    }
    while (std::getline(in, line)) {
        applied_port p;
        if (parse_line(line, p))
            ports.push_back(p);
    }
    return true;
}

bool applied_write(const std::string &dir, const std::vector<applied_port> &ports, std::string &error)
{
    if (!make_dir(dir, error))
        return false;
    std::string text = std::string(HEADER) + "\n";
    for (const auto &p : ports) {
        text +=
            escape(p.open_digest) + "\t" + escape(p.share_digest) + "\t" + escape(p.device) + "\t" + escape(p.at_port);
        for (const auto &s : p.shares)
            text += "\t" + escape(s);
        text += "\n";
    }
    std::string path = dir + "/applied";
    std::string tmp = path + ".tmp" + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot write " + tmp + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = "cannot write " + tmp + ": " + std::strerror(errno);
            close(fd);
            unlink(tmp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    bool ok = fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}
