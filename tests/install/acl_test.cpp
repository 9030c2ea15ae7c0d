// The web RPC layer's access list must grant exactly the methods the daemon
// registers: a method left out is refused to every web client, a misspelt
// one grants nothing. Only "list" may be granted as read, since every other
// method opens, writes to or closes a device; and ":subscribe", the web
// server's own pseudo-method for following the object's notifications,
// which the console page needs. Beyond "tarnel" a group grants only
// logging out ("session" "destroy"): the web server passes the caller's own
// session, so a user can end no other.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "core/object.h"

namespace
{

using method_set = std::set<std::string>;

nlohmann::json load_acl()
{
    std::ifstream in(TARNEL_ACL_PATH);
    EXPECT_TRUE(in) << "cannot read " << TARNEL_ACL_PATH;
    return nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
}

method_set registered_methods()
{
    method_set names;
    for (int i = 0; i < tarnel_object.n_methods; i++)
        names.insert(tarnel_object.methods[i].name);
    return names;
}

// Methods of object "tarnel" granted under "read" or "write" in any group.
method_set granted(const nlohmann::json &acl, const char *access)
{
    method_set names;
    for (const auto &[group, grant] : acl.items()) {
        const nlohmann::json *methods = nullptr;
        if (grant.contains(access) && grant[access].contains("ubus") && grant[access]["ubus"].contains("tarnel"))
            methods = &grant[access]["ubus"]["tarnel"];
        if (!methods)
            continue;
        EXPECT_TRUE(methods->is_array()) << group << "." << access;
        for (const auto &m : *methods) {
            EXPECT_TRUE(m.is_string()) << group << "." << access;
            if (m.is_string())
                names.insert(m.get<std::string>());
        }
    }
    return names;
}

TEST(AclFile, IsWellFormedWithDescribedGroups)
{
    nlohmann::json acl = load_acl();
    ASSERT_FALSE(acl.is_discarded()) << "not valid JSON";
    ASSERT_TRUE(acl.is_object());
    ASSERT_FALSE(acl.empty());
    for (const auto &[group, grant] : acl.items()) {
        ASSERT_TRUE(grant.is_object()) << group;
        EXPECT_TRUE(grant.contains("description") && grant["description"].is_string()) << group;
    }
}

TEST(AclFile, GrantsExactlyTheRegisteredMethods)
{
    nlohmann::json acl = load_acl();
    ASSERT_FALSE(acl.is_discarded());
    method_set read = granted(acl, "read");
    method_set all = granted(acl, "write");
    all.insert(read.begin(), read.end());
    method_set pseudo;
    for (auto it = all.begin(); it != all.end();)
        it = it->starts_with(':') ? (pseudo.insert(*it), all.erase(it)) : std::next(it);

    EXPECT_EQ(all, registered_methods());
    EXPECT_EQ(pseudo, method_set{":subscribe"});
    EXPECT_EQ(read, (method_set{"list", ":subscribe"}));
}

TEST(AclFile, GrantsNothingElseButLoggingOut)
{
    nlohmann::json acl = load_acl();
    ASSERT_FALSE(acl.is_discarded());
    std::map<std::string, method_set> others;
    for (const auto &[group, grant] : acl.items())
        for (const char *access : {"read", "write"})
            if (grant.contains(access) && grant[access].contains("ubus"))
                for (const auto &[object, methods] : grant[access]["ubus"].items())
                    if (object != "tarnel")
                        for (const auto &m : methods)
                            others[object].insert(m.get<std::string>());
    EXPECT_EQ(others, (std::map<std::string, method_set>{{"session", {"destroy"}}}));
}

} // namespace
