// The text is parsed completely into a small ordered tree before anything is
// written: a syntax error then never leaves half an argument in the buffer,
// and a repeated key can take its last value at the place it first appeared.
#include "tools/cli/blobmsg_json.h"

#include <cstdint>
#include <limits>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

extern "C" {
#include <libubox/blobmsg.h>
}

namespace
{

enum class jkind { null, boolean, integer, real, string, array, object };

struct jmember;

struct jnode {
    jkind kind = jkind::null;
    bool b = false;
    int64_t i = 0;
    double d = 0;
    std::string s;
    // A vector of a type still incomplete here is fine; a std::pair of it is
    // not (clang rejects it), hence the named member struct.
    std::vector<jmember> members; // names empty in arrays
};

struct jmember {
    std::string key;
    jnode value;
};

// Bounds the recursion of emit() and of the tree's destructor; arguments
// nested this deep are not real method calls.
constexpr size_t max_depth = 256;

// Strings reach blobmsg as C strings, so an escaped NUL ends them.
std::string c_string(std::string &&s)
{
    size_t nul = s.find('\0');
    if (nul != std::string::npos)
        s.resize(nul);
    return std::move(s);
}

// SAX callbacks for nlohmann::json::sax_parse.
struct tree_builder {
    struct frame {
        jnode *node;
        std::unordered_map<std::string, size_t> index; // key -> member position
        jnode *slot;                                   // value slot of the last key
    };
    jnode root;
    std::vector<frame> stack;

    jnode *next_slot()
    {
        if (stack.empty())
            return &root;
        frame &f = stack.back();
        if (f.node->kind == jkind::array) {
            f.node->members.emplace_back();
            return &f.node->members.back().value;
        }
        return f.slot;
    }
    bool put(jnode &&v)
    {
        *next_slot() = std::move(v);
        return true;
    }
    bool open(jkind kind)
    {
        if (stack.size() >= max_depth)
            return false;
        jnode *n = next_slot();
        *n = jnode{};
        n->kind = kind;
        stack.push_back({n, {}, nullptr});
        return true;
    }

    bool null() { return put(jnode{}); }
    bool boolean(bool v)
    {
        jnode n;
        n.kind = jkind::boolean;
        n.b = v;
        return put(std::move(n));
    }
    bool number_integer(int64_t v)
    {
        jnode n;
        n.kind = jkind::integer;
        n.i = v;
        return put(std::move(n));
    }
    bool number_unsigned(uint64_t v)
    {
        constexpr uint64_t max = std::numeric_limits<int64_t>::max();
        return number_integer(v > max ? static_cast<int64_t>(max) : static_cast<int64_t>(v));
    }
    // The parser also lands here with integers too long for 64 bits; only the
    // lexeme tells them apart from real fractions.
    bool number_float(double v, const std::string &lexeme)
    {
        if (lexeme.find_first_of(".eE") != std::string::npos) {
            jnode n;
            n.kind = jkind::real;
            n.d = v;
            return put(std::move(n));
        }
        bool negative = !lexeme.empty() && lexeme[0] == '-';
        return number_integer(negative ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max());
    }
    bool string(std::string &v)
    {
        jnode n;
        n.kind = jkind::string;
        n.s = c_string(std::move(v));
        return put(std::move(n));
    }
    bool binary(nlohmann::json::binary_t &) { return false; }
    bool start_object(size_t) { return open(jkind::object); }
    bool start_array(size_t) { return open(jkind::array); }
    bool end_object()
    {
        stack.pop_back();
        return true;
    }
    bool end_array() { return end_object(); }
    bool key(std::string &k)
    {
        frame &f = stack.back();
        auto &members = f.node->members;
        auto [it, fresh] = f.index.try_emplace(c_string(std::move(k)), members.size());
        if (fresh)
            members.push_back(jmember{it->first, jnode{}});
        f.slot = &members[it->second].value;
        return true;
    }
    bool parse_error(size_t, const std::string &, const nlohmann::detail::exception &) { return false; }
};

bool emit(blob_buf *buf, const char *name, const jnode &n);

bool emit_container(blob_buf *buf, const char *name, const jnode &n)
{
    bool array = n.kind == jkind::array;
    void *cookie = blobmsg_open_nested(buf, name, array);
    if (!cookie)
        return false;
    for (const auto &[key, value] : n.members)
        if (!emit(buf, array ? "" : key.c_str(), value))
            return false;
    blob_nest_end(buf, cookie);
    return true;
}

bool emit(blob_buf *buf, const char *name, const jnode &n)
{
    switch (n.kind) {
    case jkind::null: return blobmsg_add_field(buf, BLOBMSG_TYPE_UNSPEC, name, nullptr, 0) == 0;
    case jkind::boolean: return blobmsg_add_u8(buf, name, n.b ? 1 : 0) == 0;
    case jkind::integer:
        if (n.i >= INT32_MIN && n.i <= INT32_MAX)
            return blobmsg_add_u32(buf, name, static_cast<uint32_t>(n.i)) == 0;
        return blobmsg_add_u64(buf, name, static_cast<uint64_t>(n.i)) == 0;
    case jkind::real: return blobmsg_add_double(buf, name, n.d) == 0;
    case jkind::string: return blobmsg_add_string(buf, name, n.s.c_str()) == 0;
    case jkind::array:
    case jkind::object: return emit_container(buf, name, n);
    }
    return false;
}

} // namespace

bool blobmsg_add_json_text(blob_buf *buf, std::string_view json)
{
    tree_builder tree;
    if (!nlohmann::json::sax_parse(json.begin(), json.end(), &tree))
        return false;
    if (tree.root.kind != jkind::object)
        return false;
    for (const auto &[key, value] : tree.root.members)
        if (!emit(buf, key.c_str(), value))
            return false;
    return true;
}
