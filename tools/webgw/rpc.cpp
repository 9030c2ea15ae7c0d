#include "tools/webgw/rpc.h"

#include <fnmatch.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>

#include <nlohmann/json.hpp>

#include "tools/webgw/bus_link.h"

using nlohmann::json;

namespace
{

const std::string ANONYMOUS_SID(32, '0');

// Bus statuses the answers carry.
constexpr int STATUS_OK = 0;
constexpr int STATUS_INVALID_ARGUMENT = 2;
constexpr int STATUS_METHOD_NOT_FOUND = 3;
constexpr int STATUS_PERMISSION_DENIED = 6;

struct session {
    std::string user;
    const user_account *account;
    int timeout_s; // renewed by this much on each use
    std::chrono::steady_clock::time_point expires;
};

std::string new_session_id()
{
    static const char hex[] = "0123456789abcdef";
    std::random_device rd;
    std::string id;
    for (int i = 0; i < 32; i++)
        id += hex[rd() & 15];
    return id;
}

bool matches(const std::string &pattern, const std::string &name)
{
    return fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
}

bool granted(const grant_map &grants, const std::string &object, const std::string &method)
{
    for (const auto &[obj, methods] : grants) {
        if (!matches(obj, object))
            continue;
        for (const std::string &m : methods)
            if (matches(m, method))
                return true;
    }
    return false;
}

// Copies a group's "ubus" grants under read or write into out.
void merge_grants(const json &group, const char *access, grant_map *out)
{
    if (!group.contains(access) || !group[access].is_object() || !group[access].contains("ubus"))
        return;
    const json &ubus = group[access]["ubus"];
    if (!ubus.is_object())
        return;
    for (const auto &[object, methods] : ubus.items()) {
        if (!methods.is_array())
            continue;
        for (const json &m : methods)
            if (m.is_string())
                (*out)[object].insert(m.get<std::string>());
    }
}

} // namespace

struct gateway {
    gateway_config config;
    bus_link *bus;
    std::mutex lock; // guards sessions
    std::map<std::string, session> sessions;
};

namespace
{

// The grants of a user, as the session's "acls" lists them.
grant_map grants_of(const gateway *gw, const user_account &account)
{
    if (account.everything)
        return {{"*", {"*"}}};
    grant_map all;
    for (const std::string &group : account.groups) {
        auto it = gw->config.groups.find(group);
        if (it == gw->config.groups.end())
            continue;
        for (const auto &[object, methods] : it->second)
            all[object].insert(methods.begin(), methods.end());
    }
    return all;
}

// The account of a live session, renewed by this use; nullptr when the
// session does not exist or expired. Caller holds gw->lock.
const user_account *live_account(gateway *gw, const std::string &sid)
{
    auto it = gw->sessions.find(sid);
    if (it == gw->sessions.end())
        return nullptr;
    auto now = std::chrono::steady_clock::now();
    if (it->second.expires <= now) {
        gw->sessions.erase(it);
        return nullptr;
    }
    it->second.expires = now + std::chrono::seconds(it->second.timeout_s);
    return it->second.account;
}

// Whether sid may call object.method.
bool allowed(gateway *gw, const std::string &sid, const std::string &object, const std::string &method)
{
    if (sid == ANONYMOUS_SID)
        return gw->config.anonymous_everything;
    std::lock_guard guard(gw->lock);
    const user_account *account = live_account(gw, sid);
    return account && granted(grants_of(gw, *account), object, method);
}

std::string answer(const json &id, const std::string &result)
{
    return "{\"jsonrpc\":\"2.0\",\"id\":" + id.dump() + ",\"result\":" + result + "}";
}

std::string status_answer(const json &id, int status, const std::string &data = {})
{
    return answer(id, "[" + std::to_string(status) + (data.empty() ? "" : "," + data) + "]");
}

std::string error_answer(const json &id, int code, const char *message)
{
    json e = {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
    return e.dump();
}

// The groups a user's login grants, as "access-group" lists them: root
// has every group there is.
json access_groups(const gateway *gw, const user_account &account)
{
    json groups = json::object();
    auto add = [&](const std::string &name) { groups[name] = json::array({"read", "write"}); };
    if (account.everything)
        for (const auto &[name, grants] : gw->config.groups)
            add(name);
    for (const std::string &name : account.groups)
        if (gw->config.groups.count(name))
            add(name);
    return groups;
}

std::string login(gateway *gw, const json &id, const json &args)
{
    if (!args.contains("username") || !args["username"].is_string() || !args.contains("password") ||
        !args["password"].is_string())
        return status_answer(id, STATUS_INVALID_ARGUMENT);
    std::string user = args["username"], password = args["password"];
    auto account = gw->config.users.find(user);
    if (account == gw->config.users.end() || account->second.password != password)
        return status_answer(id, STATUS_PERMISSION_DENIED);

    std::string sid = new_session_id();
    int timeout = gw->config.session_timeout_s;
    if (args.contains("timeout") && args["timeout"].is_number_integer() && args["timeout"].get<int64_t>() > 0 &&
        args["timeout"].get<int64_t>() <= 86400)
        timeout = args["timeout"].get<int>();
    {
        std::lock_guard guard(gw->lock);
        auto now = std::chrono::steady_clock::now();
        std::erase_if(gw->sessions, [&](const auto &s) { return s.second.expires <= now; });
        gw->sessions[sid] = {user, &account->second, timeout, now + std::chrono::seconds(timeout)};
    }
    json acls = {{"access-group", access_groups(gw, account->second)}};
    for (const auto &[object, methods] : grants_of(gw, account->second))
        acls["ubus"][object] = methods;
    json table = {{"ubus_rpc_session", sid},
                  {"timeout", timeout},
                  {"expires", timeout},
                  {"acls", acls},
                  {"data", {{"username", user}}}};
    return status_answer(id, STATUS_OK, table.dump());
}

// The session daemon's object, kept here: log in, and log out again. As on
// a router, logging out needs "destroy" on "session" in one of the
// session's access groups, and ends the caller's own session only.
std::string session_call(gateway *gw, const json &id, const std::string &sid, const std::string &method,
                         const json &args)
{
    // The session daemon is reached over the bus too.
    if (!bus_link_connected(gw->bus))
        return error_answer(id, -32000, "Object not found");
    if (method == "login")
        return login(gw, id, args);
    std::lock_guard guard(gw->lock);
    const user_account *account = live_account(gw, sid);
    if (!account || !granted(grants_of(gw, *account), "session", method))
        return error_answer(id, -32002, "Access denied");
    if (method != "destroy")
        return status_answer(id, STATUS_METHOD_NOT_FOUND);
    gw->sessions.erase(sid);
    return status_answer(id, STATUS_OK);
}

std::string call(gateway *gw, const json &id, const json &params)
{
    if (params.size() < 3 || params.size() > 4 || !params[0].is_string() || !params[1].is_string() ||
        !params[2].is_string())
        return error_answer(id, -32602, "Invalid parameters");
    // The router's server reads the arguments as an object, and fails to
    // parse anything else.
    if (params.size() < 4 || !params[3].is_object())
        return error_answer(id, -32700, "Parse error");
    std::string sid = params[0], object = params[1], method = params[2];
    json args = params[3];
    if (args.contains("ubus_rpc_session"))
        return error_answer(id, -32602, "Invalid parameters");
    if (object == "session")
        return session_call(gw, id, sid, method, args);
    // The object is looked up before the session is checked.
    if (!bus_link_exists(gw->bus, object))
        return error_answer(id, -32000, "Object not found");
    if (!allowed(gw, sid, object, method))
        return error_answer(id, -32002, "Access denied");

    args["ubus_rpc_session"] = sid;
    call_outcome out = bus_link_call(gw->bus, object, method, args.dump(), gw->config.call_wait);
    switch (out.end) {
    case call_end::not_found: return error_answer(id, -32000, "Object not found");
    case call_end::timed_out: return error_answer(id, -32003, "ubus request timed out");
    case call_end::done: break;
    }
    return status_answer(id, out.status, out.data);
}

std::string list(gateway *gw, const json &id, const json &params)
{
    if (params.empty()) {
        json names = bus_link_objects(gw->bus);
        return answer(id, names.dump());
    }
    std::vector<std::string> paths;
    for (const json &p : params) {
        if (!p.is_string())
            return error_answer(id, -32602, "Invalid parameters");
        paths.push_back(p);
    }
    return answer(id, "{" + bus_link_signatures(gw->bus, paths) + "}");
}

std::string answer_one(gateway *gw, const json &req)
{
    json id = req.is_object() && req.contains("id") ? req["id"] : json();
    if (req.is_object() && req.contains("jsonrpc") && req["jsonrpc"] != "2.0")
        return error_answer(id, -32700, "Parse error");
    if (!req.is_object() || !req.contains("jsonrpc") || !req.contains("method") || !req["method"].is_string())
        return error_answer(id, -32600, "Invalid request");
    std::string method = req["method"];
    json params = req.contains("params") ? req["params"] : json::array();
    if (method != "call" && method != "list")
        return error_answer(id, -32601, "Method not found");
    if (!params.is_array())
        return error_answer(id, -32602, "Invalid parameters");
    return method == "call" ? call(gw, id, params) : list(gw, id, params);
}

} // namespace

bool load_access_lists(const std::string &dir, gateway_config *config, std::string *error)
{
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(dir, ec)) {
        if (entry.path().extension() != ".json")
            continue;
        std::ifstream in(entry.path());
        json file = json::parse(in, nullptr, false);
        if (file.is_discarded() || !file.is_object()) {
            *error = entry.path().string() + ": not a JSON object";
            return false;
        }
        for (const auto &[name, group] : file.items()) {
            grant_map &grants = config->groups[name];
            merge_grants(group, "read", &grants);
            merge_grants(group, "write", &grants);
        }
    }
    if (ec) {
        *error = dir + ": " + ec.message();
        return false;
    }
    return true;
}

gateway *gateway_create(const gateway_config &config, bus_link *bus)
{
    auto *gw = new gateway;
    gw->config = config;
    gw->bus = bus;
    return gw;
}

void gateway_free(gateway *gw)
{
    delete gw;
}

std::string rpc_answer(gateway *gw, const std::string &body)
{
    json req = json::parse(body, nullptr, false);
    if (req.is_discarded())
        return error_answer(json(), -32700, "Parse error");
    if (!req.is_array())
        return answer_one(gw, req);
    std::string out = "[";
    for (const json &one : req)
        out += (out.size() > 1 ? "," : "") + answer_one(gw, one);
    return out + "]";
}

bool may_subscribe(gateway *gw, const std::string &sid, const std::string &object, std::string *refusal)
{
    if (allowed(gw, sid.empty() ? ANONYMOUS_SID : sid, object, ":subscribe"))
        return true;
    // A bare error, without the JSON-RPC envelope of the calls.
    *refusal = R"({"code":-13,"message":"Permission denied"})";
    return false;
}

std::string object_not_found_answer()
{
    return R"({"code":4,"message":"Not found"})";
}
