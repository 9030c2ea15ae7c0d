// The router web server's bus endpoint as a page sees it: JSON-RPC calls
// with session ids, logins with passwords, and access lists that say which
// session may call what.
#pragma once

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

struct bus_link;

// Methods per object; "*" in either matches anything.
using grant_map = std::map<std::string, std::set<std::string>>;

struct user_account {
    std::string password;
    bool everything = false;         // root
    std::vector<std::string> groups; // access groups, read and write
};

struct gateway_config {
    std::map<std::string, user_account> users;
    std::map<std::string, grant_map> groups;    // from the access list files
    bool anonymous_everything = false;          // calls need no login
    int session_timeout_s = 300;                // unless a login asks for its own
    std::chrono::milliseconds call_wait{60000}; // the server's own wait for a reply
};

// Reads every *.json access list file of dir into config.groups, read and
// write grants merged. False (with a reason) when a file does not parse.
bool load_access_lists(const std::string &dir, gateway_config *config, std::string *error);

struct gateway;

gateway *gateway_create(const gateway_config &config, bus_link *bus);
void gateway_free(gateway *gw);

// The answer to a POST /ubus body: always a JSON text, one object or, for a
// batch, an array in the request's order.
std::string rpc_answer(gateway *gw, const std::string &body);

// Whether the session (empty: anonymous) may follow object's notifications;
// when not, the error to send instead of the stream, a bare JSON object
// {"code":-13,...} as the router's server sends it.
bool may_subscribe(gateway *gw, const std::string &sid, const std::string &object, std::string *refusal);
// The answer when the object to follow does not exist ({"code":4,...}).
std::string object_not_found_answer();
