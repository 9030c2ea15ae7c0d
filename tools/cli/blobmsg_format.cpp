#include "tools/cli/blobmsg_json.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

extern "C" {
#include <libubox/blobmsg.h>
}

#include "tools/cli/blob_walk.h"

namespace
{

void put_quoted(std::string &out, std::string_view s)
{
    out += '"';
    for (unsigned char ch : s) {
        switch (ch) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default:
            if (ch < 0x20) {
                char esc[8];
                snprintf(esc, sizeof esc, "\\u%04x", ch);
                out += esc;
            } else {
                out += static_cast<char>(ch);
            }
        }
    }
    out += '"';
}

// %lf never switches to an exponent, so 1e300 needs its full 300-odd digits.
void put_double(std::string &out, double d)
{
    char small[64];
    int n = snprintf(small, sizeof small, "%lf", d);
    if (n < static_cast<int>(sizeof small)) {
        out += small;
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    snprintf(big.data(), big.size(), "%lf", d);
    big.resize(static_cast<size_t>(n));
    out += big;
}

void put_scalar(std::string &out, const blob_member &m)
{
    switch (m.type) {
    case BLOBMSG_TYPE_STRING: put_quoted(out, blob_member_string(m)); break;
    case BLOBMSG_TYPE_INT8: out += blob_member_int(m) ? "true" : "false"; break;
    case BLOBMSG_TYPE_INT16:
    case BLOBMSG_TYPE_INT32:
    case BLOBMSG_TYPE_INT64: out += std::to_string(blob_member_int(m)); break;
    case BLOBMSG_TYPE_DOUBLE: put_double(out, blob_member_double(m)); break;
    default: out += "null"; break;
    }
}

struct level {
    blob_cursor cur;
    bool array;
    bool empty;
};

void open_level(std::string &out, std::vector<level> &stack, const blob_member &m, bool array, bool indent)
{
    out += array ? '[' : '{';
    if (indent)
        out += '\n';
    stack.push_back({blob_cursor_over(m.data, m.len), array, true});
}

// An empty container still gets its one indented blank line.
void close_level(std::string &out, std::vector<level> &stack, bool indent)
{
    const level &l = stack.back();
    bool array = l.array;
    if (indent) {
        size_t depth = stack.size();
        if (l.empty)
            out.append(depth, '\t');
        out += '\n';
        out.append(depth - 1, '\t');
    }
    out += array ? ']' : '}';
    stack.pop_back();
}

} // namespace

std::string json_quote(std::string_view s)
{
    std::string out;
    put_quoted(out, s);
    return out;
}

// Iterative on purpose: a received message may nest a hundred thousand levels
// deep within its size limit, far more than the stack would take.
std::string blobmsg_format_json(const blob_attr *data_attr, bool indent)
{
    std::string out;
    std::vector<level> stack;
    blob_member top{BLOBMSG_TYPE_TABLE, {}, nullptr, 0};
    if (data_attr) {
        auto *attr = const_cast<blob_attr *>(data_attr);
        top.data = static_cast<const uint8_t *>(blobmsg_data(attr));
        top.len = blobmsg_data_len(attr);
    }
    open_level(out, stack, top, false, indent);

    while (!stack.empty()) {
        level &l = stack.back();
        blob_member m;
        if (!blob_member_next(l.cur, m)) {
            close_level(out, stack, indent);
            continue;
        }
        if (!l.empty)
            out += ',';
        if (indent) {
            if (!l.empty)
                out += '\n';
            out.append(stack.size(), '\t');
        }
        l.empty = false;
        if (!l.array && !m.name.empty()) {
            put_quoted(out, m.name);
            out += indent ? ": " : ":";
        }
        if (m.type == BLOBMSG_TYPE_TABLE || m.type == BLOBMSG_TYPE_ARRAY)
            open_level(out, stack, m, m.type == BLOBMSG_TYPE_ARRAY, indent);
        else
            put_scalar(out, m);
    }
    return out;
}
