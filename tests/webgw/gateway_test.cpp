// The development web gateway seen over HTTP, as a page sees the router's
// web server: JSON-RPC answers and errors of the router's shapes, logins,
// logouts and the packaged access list, calls reaching the simulated modem,
// notification streams that end when their object goes, lose their
// subscription after the network timeout without ending, and fall silent
// with the broker, which the gateway, like the router, does not rejoin.
#include <httplib.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/daemon/daemon_env.h"
#include "tools/fakemodem/fake_modem.h"

using nlohmann::json;
using namespace std::chrono_literals;

namespace
{

const std::string ANONYMOUS(32, '0');

// A notification stream read on a thread of its own until it ends.
struct stream_reader {
    std::mutex lock;
    std::condition_variable changed;
    std::string text, content_type;
    bool ended = false;
    std::unique_ptr<httplib::Client> client;
    std::thread thread;

    void start(int port, const std::string &path, const std::string &sid)
    {
        client = std::make_unique<httplib::Client>("127.0.0.1", port);
        client->set_read_timeout(60, 0);
        thread = std::thread([this, path, sid] {
            httplib::Headers headers;
            if (!sid.empty())
                headers.emplace("Authorization", "Bearer " + sid);
            client->Get(
                path, headers,
                [this](const httplib::Response &res) {
                    std::lock_guard guard(lock);
                    content_type = res.get_header_value("Content-Type");
                    changed.notify_all();
                    return true;
                },
                [this](const char *data, size_t len) {
                    std::lock_guard guard(lock);
                    text.append(data, len);
                    changed.notify_all();
                    return true;
                });
            std::lock_guard guard(lock);
            ended = true;
            changed.notify_all();
        });
    }
    bool wait_for(const std::function<bool()> &cond, std::chrono::milliseconds deadline = 10s)
    {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, deadline, cond);
    }
    // A test that failed half-way leaves no reader behind.
    ~stream_reader()
    {
        if (client)
            client->stop();
        if (thread.joinable())
            thread.join();
    }
};

class Gateway : public ::testing::Test
{
protected:
    daemon_env env;
    fake_modem_ptr modem;
    child_process gw;
    int port = 0;

    void SetUp() override
    {
        ASSERT_TRUE(env_start(env));
        modem.reset(fake_modem_create(env_path(env, "ttyUSB2")));
        ASSERT_TRUE(modem);
        // The packaged group, and one that may only list: it cannot log out.
        std::string acl = env_path(env, "acl");
        std::filesystem::create_directory(acl);
        std::filesystem::copy_file(TARNEL_ACL_DIR "/ubus-tarnel.acl.json", acl + "/ubus-tarnel.json");
        std::ofstream(acl + "/viewer.json")
            << R"({"viewer": {"description": "", "read": {"ubus": {"tarnel": ["list"]}}}})";
        start_gateway(gateway_options());
    }
    virtual std::vector<std::string> gateway_options() { return {}; }
    void TearDown() override { EXPECT_TRUE(child_stop(gw, SIGTERM)); }

    void start_gateway(const std::vector<std::string> &more)
    {
        std::vector<std::string> argv = {
            TARNEL_WEBGW_PATH, "-s", env.sock, "-l", "0", "-p", "secret", "-c", "2", "-a", env_path(env, "acl")};
        for (const char *user : {"web:webpw:ubus-tarnel", "viewer:viewpw:viewer", "guest:guestpw:none"})
            argv.insert(argv.end(), {"-u", user});
        argv.insert(argv.end(), more.begin(), more.end());
        ASSERT_TRUE(child_start(gw, argv));
        const std::string marker = "http://127.0.0.1:";
        ASSERT_TRUE(child_wait_output(gw, true, "/tarnel/\n"));
        std::string out = child_stdout(gw);
        port = std::stoi(out.substr(out.find(marker) + marker.size()));
    }

    // The parsed answer to a raw POST /ubus body.
    json post(const std::string &body)
    {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(30, 0);
        auto res = client.Post("/ubus", body, "application/json");
        EXPECT_TRUE(res);
        if (!res)
            return json();
        EXPECT_EQ(res->status, 200);
        return json::parse(res->body, nullptr, false);
    }
    json call(const std::string &sid, const std::string &object, const std::string &method, const json &args)
    {
        json req = {{"jsonrpc", "2.0"}, {"id", 7}, {"method", "call"}, {"params", {sid, object, method, args}}};
        return post(req.dump());
    }
    std::string login(const std::string &user, const std::string &password)
    {
        json a = call(ANONYMOUS, "session", "login", {{"username", user}, {"password", password}});
        return a["result"][1].value("ubus_rpc_session", "");
    }
    std::string modem_path() const { return env_path(env, "ttyUSB2"); }
};

json error_of(int code, const char *message, json id = 7)
{
    return {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
}

json result_of(json result)
{
    return {{"jsonrpc", "2.0"}, {"id", 7}, {"result", result}};
}

TEST_F(Gateway, RequestsFailWithTheRoutersErrors)
{
    std::string root = login("root", "secret");
    EXPECT_EQ(post("{\"jsonrpc\":"), error_of(-32700, "Parse error", nullptr));
    EXPECT_EQ(post(R"({"jsonrpc":"1.0","id":7,"method":"call","params":[]})"), error_of(-32700, "Parse error"));
    EXPECT_EQ(post(R"({"id":7,"method":"call","params":[]})"), error_of(-32600, "Invalid request"));
    EXPECT_EQ(post(R"({"jsonrpc":"2.0","id":7,"method":"exec","params":[]})"), error_of(-32601, "Method not found"));
    EXPECT_EQ(post("[]"), json::array());
    // Arguments that are no object, or none, do not parse; arguments that
    // name a session are refused.
    EXPECT_EQ(call(root, "tarnel", "list", json::array()), error_of(-32700, "Parse error"));
    json no_args = {{"jsonrpc", "2.0"}, {"id", 7}, {"method", "call"}, {"params", {root, "tarnel", "list"}}};
    EXPECT_EQ(post(no_args.dump()), error_of(-32700, "Parse error"));
    EXPECT_EQ(call(root, "tarnel", "list", {{"ubus_rpc_session", root}}), error_of(-32602, "Invalid parameters"));
    EXPECT_EQ(call(std::string(32, 'f'), "tarnel", "list", json::object()), error_of(-32002, "Access denied"));
    EXPECT_EQ(call(ANONYMOUS, "tarnel", "list", json::object()), error_of(-32002, "Access denied"));
    // The object is looked up first, whoever asks.
    EXPECT_EQ(call(root, "nosuch", "list", json::object()), error_of(-32000, "Object not found"));
    EXPECT_EQ(call(std::string(32, 'f'), "nosuch", "list", json::object()), error_of(-32000, "Object not found"));
    // The server's own wait (2 s here) ends before the command's 5 s.
    fake_modem_set_answer(modem.get(), "AT+SLOW", {});
    EXPECT_EQ(call(root, "tarnel", "sendat", {{"at_port", modem_path()}, {"at_cmd", "AT+SLOW"}}),
              error_of(-32003, "ubus request timed out"));

    // A batch is answered in its order, each answer on its own.
    json batch = post(R"([{"jsonrpc":"2.0","id":1,"method":"list","params":[]},)"
                      R"({"jsonrpc":"2.0","id":2,"method":"nope"},)"
                      R"({"jsonrpc":"2.0","id":3,"method":"list","params":["tarnel"]}])");
    ASSERT_TRUE(batch.is_array() && batch.size() == 3) << batch;
    EXPECT_EQ(batch[0]["result"], json::array({"tarnel"}));
    EXPECT_EQ(batch[1], error_of(-32601, "Method not found", 2));
    EXPECT_EQ(batch[2]["result"]["tarnel"]["sendat"]["at_port"], "string");
    EXPECT_EQ(batch[2]["result"]["tarnel"]["sendat"]["sendonly"], "boolean");
}

TEST_F(Gateway, LoginsGetTheirUsersAccess)
{
    json wrong = call(ANONYMOUS, "session", "login", {{"username", "root"}, {"password", "nope"}});
    EXPECT_EQ(wrong, result_of({6}));
    EXPECT_EQ(call(ANONYMOUS, "session", "login", {{"username", "root"}}), result_of({2}));
    json brief = call(ANONYMOUS, "session", "login", {{"username", "web"}, {"password", "webpw"}, {"timeout", 60}});
    EXPECT_EQ(brief["result"][1]["timeout"], 60) << brief;
    EXPECT_EQ(brief["result"][1]["acls"]["access-group"], json({{"ubus-tarnel", {"read", "write"}}})) << brief;

    json ok = call(ANONYMOUS, "session", "login", {{"username", "root"}, {"password", "secret"}});
    json table = ok["result"][1];
    EXPECT_EQ(ok["result"][0], 0);
    EXPECT_EQ(table["ubus_rpc_session"].get<std::string>().find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(table["ubus_rpc_session"].get<std::string>().size(), 32u);
    EXPECT_EQ(table["timeout"], 300);
    EXPECT_EQ(table["expires"], 300);
    EXPECT_EQ(table["data"]["username"], "root");
    EXPECT_EQ(table["acls"]["access-group"].size(), 2u) << table; // every group there is
    std::string root = table["ubus_rpc_session"];
    EXPECT_EQ(call(root, "tarnel", "list", json::object()), result_of({0, {{"ports", json::array()}}}));

    // The packaged group is all the page needs; a user without it gets nothing.
    std::string web = login("web", "webpw"), guest = login("guest", "guestpw");
    ASSERT_FALSE(web.empty());
    ASSERT_FALSE(guest.empty());
    json opened = call(web, "tarnel", "open", {{"at_port", modem_path()}});
    EXPECT_EQ(opened["result"][1]["status"], "success") << opened;
    json answer = call(web, "tarnel", "sendat", {{"at_port", modem_path()}, {"at_cmd", "AT+CSQ"}});
    EXPECT_EQ(answer["result"][1]["response"], "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n") << answer;
    EXPECT_EQ(call(web, "tarnel", "sendat", json::object()), result_of({2})); // a status and no table
    // The wave's methods pass as the router's server passes them: by the
    // packaged group for writing, not for a reader.
    json batch = call(web, "tarnel", "batch", {{"at_port", modem_path()}, {"commands", {{{"at_cmd", "AT+CSQ"}}}}});
    EXPECT_EQ(batch["result"][1]["status"], "success") << batch;
    EXPECT_EQ(batch["result"][1]["results"][0]["response"], "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n") << batch;
    EXPECT_EQ(
        call(login("viewer", "viewpw"), "tarnel", "batch", {{"at_port", modem_path()}, {"commands", json::array()}}),
        error_of(-32002, "Access denied"));
    EXPECT_EQ(call(web, "tarnel", "close", {{"at_port", modem_path()}})["result"][1]["status"], "success");
    EXPECT_EQ(call(guest, "tarnel", "list", json::object()), error_of(-32002, "Access denied"));

    // Logging out takes "destroy" on "session" in one of the session's
    // groups, as the packaged group grants; without it the session lives on.
    std::string viewer = login("viewer", "viewpw");
    EXPECT_EQ(call(viewer, "session", "destroy", json::object()), error_of(-32002, "Access denied"));
    EXPECT_EQ(call(viewer, "session", "list", json::object()), error_of(-32002, "Access denied"));
    EXPECT_EQ(call(viewer, "tarnel", "list", json::object())["result"][0], 0);
    EXPECT_EQ(call(web, "session", "destroy", json::object()), result_of({0}));
    EXPECT_EQ(call(web, "tarnel", "list", json::object()), error_of(-32002, "Access denied"));
    EXPECT_EQ(call(web, "session", "destroy", json::object()), error_of(-32002, "Access denied"));
}

TEST_F(Gateway, ServesThePageFromItsDirectory)
{
    httplib::Client client("127.0.0.1", port);
    auto page = client.Get("/tarnel/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("<title>Modem console</title>"), std::string::npos);
    auto root = client.Get("/");
    ASSERT_TRUE(root);
    EXPECT_EQ(root->status, 302);
    EXPECT_EQ(root->get_header_value("Location"), "/tarnel/");
    auto outside = client.Get("/tarnel/../../CMakeLists.txt");
    ASSERT_TRUE(outside);
    EXPECT_EQ(outside->status, 404);
}

// What a page reads at /ubus/subscribe/OBJECT until the answer ends.
json subscribe_refusal(int port, const std::string &path, const std::string &sid)
{
    stream_reader r;
    r.start(port, path, sid);
    EXPECT_TRUE(r.wait_for([&] { return r.ended; }));
    return json::parse(r.text, nullptr, false);
}

// Subscribed once the headers are in: the server sends them only then.
void start_stream(stream_reader &stream, int port, const std::string &sid)
{
    stream.start(port, "/ubus/subscribe/tarnel", sid);
    ASSERT_TRUE(stream.wait_for([&] { return !stream.content_type.empty() || stream.ended; }));
    ASSERT_EQ(stream.content_type, "text/event-stream");
}

// Rings until the stream has the RING: under heavy load the daemon, rarely,
// does not publish a line that comes right after an open at all (neither as
// an event nor as a notification), which is not the gateway's to test.
bool ring_until_heard(fake_modem *modem, stream_reader &stream, const std::string &port)
{
    std::string ring = "event: urc\ndata: {\"port\":\"" + port + "\",\"line\":\"RING\"";
    for (int ring_count = 0; ring_count < 3; ring_count++) {
        fake_modem_inject(modem, "\r\nRING\r\n");
        if (stream.wait_for([&] { return stream.text.find(ring) != std::string::npos; }, 4s))
            return true;
    }
    return false;
}

// Each stream carries the object's notifications as server-sent events and
// ends when its object goes, or the gateway itself; a new one works once the
// object is back. A refused one is a bare error object, as on a router.
TEST_F(Gateway, StreamsFollowTheObjectAndEndWithIt)
{
    std::string root = login("root", "secret"), guest = login("guest", "guestpw");
    json denied = {{"code", -13}, {"message", "Permission denied"}};
    EXPECT_EQ(subscribe_refusal(port, "/ubus/subscribe/tarnel", ""), denied);
    EXPECT_EQ(subscribe_refusal(port, "/ubus/subscribe/tarnel", guest), denied);
    EXPECT_EQ(subscribe_refusal(port, "/ubus/subscribe/tarnel", std::string(32, 'f')), denied);
    EXPECT_EQ(subscribe_refusal(port, "/ubus/subscribe/nosuch", root), json({{"code", 4}, {"message", "Not found"}}));

    enum { daemon_stops, gateway_stops };
    for (int round : {daemon_stops, gateway_stops}) {
        // Back on the bus: the daemon reconnects by itself.
        ASSERT_TRUE(wait_until([&] { return call(root, "tarnel", "list", json::object())["result"][0] == 0; }));
        stream_reader stream;
        start_stream(stream, port, root);
        ASSERT_EQ(call(root, "tarnel", "open", {{"at_port", modem_path()}})["result"][1]["status"], "success");
        ASSERT_TRUE(ring_until_heard(modem.get(), stream, modem_path())) << stream.text;
        EXPECT_EQ(stream.text.find("event: port\ndata: {\"port\":\"" + modem_path() + "\",\"is_open\":1,"), 0u)
            << stream.text;

        if (round == daemon_stops) {
            ASSERT_TRUE(child_stop(env.daemon, SIGTERM));
            ASSERT_TRUE(stream.wait_for([&] { return stream.ended; }));
            ASSERT_TRUE(env_start_daemon(env));
        } else {
            ASSERT_TRUE(child_stop(gw, SIGTERM));
            EXPECT_EQ(gw.exit_status, 0);
            ASSERT_TRUE(stream.wait_for([&] { return stream.ended; }));
        }
    }
}

// A gateway with a network timeout of 1 s.
class QuickGateway : public Gateway
{
protected:
    std::vector<std::string> gateway_options() override { return {"-n", "1"}; }
};

// After a notification, a stream that gets no other within the network
// timeout loses its subscription but is neither ended nor closed: a later
// RING reaches a new stream and not that one.
TEST_F(QuickGateway, QuietStreamsLoseTheirSubscriptionAndStayOpen)
{
    std::string root = login("root", "secret");
    stream_reader quiet, fresh;
    start_stream(quiet, port, root);
    ASSERT_EQ(call(root, "tarnel", "open", {{"at_port", modem_path()}})["result"][1]["status"], "success");
    ASSERT_TRUE(quiet.wait_for([&] { return quiet.text.find("event: port") != std::string::npos; }));
    ASSERT_TRUE(child_wait_output(gw, true, "lost its subscription"));

    start_stream(fresh, port, root);
    ASSERT_TRUE(ring_until_heard(modem.get(), fresh, modem_path())) << fresh.text;
    std::lock_guard guard(quiet.lock);
    EXPECT_EQ(quiet.text.find("RING"), std::string::npos) << quiet.text;
    EXPECT_FALSE(quiet.ended);
}

// A lost broker, as on a router: open streams stay open and silent, and
// calls and logins answer "Object not found" even once the broker is back,
// until the gateway is restarted.
TEST_F(Gateway, ALostBrokerIsNotRejoined)
{
    std::string root = login("root", "secret");
    stream_reader stream;
    start_stream(stream, port, root);
    ASSERT_TRUE(env_restart_broker(env));
    // The daemon is back on the new broker.
    ASSERT_TRUE(wait_until([&] {
        uint32_t id = 0;
        return ubus_lookup_id(env.ctx, "tarnel", &id) == 0 && id != 0;
    }));
    json missing = error_of(-32000, "Object not found");
    EXPECT_EQ(call(root, "tarnel", "list", json::object()), missing);
    EXPECT_EQ(call(ANONYMOUS, "session", "login", {{"username", "root"}, {"password", "secret"}}), missing);
    EXPECT_EQ(subscribe_refusal(port, "/ubus/subscribe/tarnel", root), json({{"code", 4}, {"message", "Not found"}}));
    std::lock_guard guard(stream.lock);
    EXPECT_FALSE(stream.ended);
}

} // namespace

// A second gateway on a port that is taken must say so and stop, not
// listen beside the first and take half of its logins.
TEST_F(Gateway, ATakenPortIsRefused)
{
    child_process second;
    ASSERT_TRUE(child_start(second, {TARNEL_WEBGW_PATH, "-s", env.sock, "-l", std::to_string(port), "-p", "other"}));
    ASSERT_TRUE(child_wait_exit(second, 10s));
    EXPECT_TRUE(WIFEXITED(second.exit_status) && WEXITSTATUS(second.exit_status) == 1) << second.exit_status;
    EXPECT_EQ(child_stderr(second),
              "tarnel-webgw: cannot listen on 127.0.0.1:" + std::to_string(port) + ": Address already in use\n");
    for (int i = 0; i < 8; i++)
        EXPECT_FALSE(login("root", "secret").empty());
}
