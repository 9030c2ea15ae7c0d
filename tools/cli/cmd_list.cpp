// list [<path>]: one line per object, sorted by path; with -v each method
// follows on its own line as "name":{"arg":"Type",...}.
#include <libubus.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "tools/cli/blob_walk.h"
#include "tools/cli/blobmsg_json.h"
#include "tools/cli/cli.h"

namespace
{

const char *type_name(const blob_member &arg)
{
    if (arg.type != BLOBMSG_TYPE_INT32)
        return "(unknown)";
    switch (blob_member_int(arg)) {
    case BLOBMSG_TYPE_STRING: return "String";
    case BLOBMSG_TYPE_INT32: return "Integer";
    case BLOBMSG_TYPE_INT8: return "Boolean";
    case BLOBMSG_TYPE_ARRAY: return "Array";
    case BLOBMSG_TYPE_TABLE: return "Table";
    default: return "(unknown)";
    }
}

// The signature arrives from the broker: walked with the same checks as any
// reply, so a malformed one loses entries instead of crashing the listing.
std::string describe_methods(const blob_attr *signature)
{
    std::string out;
    if (!signature)
        return out;
    blob_cursor methods = blob_cursor_over(blob_data(signature), blob_len(signature));
    blob_member method;
    while (blob_member_next(methods, method)) {
        out += '\t';
        out += json_quote(method.name);
        out += ":{";
        if (method.type == BLOBMSG_TYPE_TABLE) {
            blob_cursor args = blob_cursor_over(method.data, method.len);
            blob_member arg;
            bool first = true;
            while (blob_member_next(args, arg)) {
                if (!first)
                    out += ',';
                first = false;
                out += json_quote(arg.name);
                out += ":\"";
                out += type_name(arg);
                out += '"';
            }
        }
        out += "}\n";
    }
    return out;
}

struct listing {
    bool verbose;
    std::vector<std::pair<std::string, std::string>> objects; // path, text
};

void on_object(ubus_context *, ubus_object_data *obj, void *priv)
{
    auto *l = static_cast<listing *>(priv);
    std::string path = obj->path ? obj->path : "";
    std::string text;
    if (l->verbose) {
        char head[32];
        snprintf(head, sizeof head, " @%08x\n", obj->id);
        text = "'" + path + "'" + head + describe_methods(obj->signature);
    } else {
        text = path + "\n";
    }
    l->objects.emplace_back(std::move(path), std::move(text));
}

} // namespace

int cmd_list(ubus_context *ctx, const cli_opts &o, int argc, char **argv)
{
    if (argc > 1)
        return CLI_USAGE;
    listing l{o.verbose && !o.simple, {}};
    int ret = ubus_lookup(ctx, argc ? argv[0] : nullptr, on_object, &l);
    std::stable_sort(l.objects.begin(), l.objects.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (const auto &entry : l.objects)
        fputs(entry.second.c_str(), stdout);
    return ret;
}
