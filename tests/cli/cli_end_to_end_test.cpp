// tarnel-ubus run as a child against tarnel-busd and a test object: output
// and exit statuses byte for byte as scripts see them.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace
{

const std::string call_usage_marker = "Usage: ";

class CliEndToEnd : public ::testing::Test
{
protected:
    static inline temp_dir *dir;
    static inline std::string sock;
    static inline child_process *broker, *server;
    static inline bool bus_ready;

    // A failed start must fail every test rather than skip them.
    static void SetUpTestSuite() { bus_ready = start_bus(); }
    void SetUp() override { ASSERT_TRUE(bus_ready) << "broker or test object did not start"; }

    static bool start_bus()
    {
        dir = new temp_dir;
        sock = dir->file("bus.sock");
        broker = new child_process;
        server = new child_process;
        return child_start(*broker, {BUSD_PATH, "-s", sock}) && wait_for_listener(sock) &&
               child_start(*server, {SERVER_PATH, sock, "test"}) && child_wait_output(*server, true, "ready\n");
    }
    static void TearDownTestSuite()
    {
        delete server;
        delete broker;
        delete dir;
    }

    static child_result cli(std::vector<std::string> args, bool tty = false, const std::string &on = sock)
    {
        args.insert(args.begin(), {CLI_PATH, "-s", on});
        return child_run(args, {}, tty);
    }

    // Starts `listen probe` on the socket and waits until it hears a probe.
    static bool start_listener(child_process &listener, const std::string &on, std::vector<std::string> patterns)
    {
        std::vector<std::string> argv = {CLI_PATH, "-s", on, "listen", "probe"};
        argv.insert(argv.end(), patterns.begin(), patterns.end());
        if (!child_start(listener, argv))
            return false;
        // The listener registers asynchronously; probe until it hears one.
        // A probe that cannot be sent will not be heard later either.
        bool failed = false;
        bool heard = wait_until([&] {
            failed = cli({"send", "probe"}, false, on).status != 0;
            return failed || child_wait_output(listener, true, "{ \"probe\": {} }\n", std::chrono::milliseconds(100));
        });
        return heard && !failed;
    }
};

TEST_F(CliEndToEnd, ListPlainVerboseAndMissing)
{
    child_result plain = cli({"list"});
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.out, "test\n");

    child_result prefix = cli({"list", "te*"});
    EXPECT_EQ(prefix.out, "test\n");

    child_result verbose = cli({"list", "-v"});
    EXPECT_EQ(verbose.status, 0);
    const std::string head = "'test' @";
    ASSERT_GT(verbose.out.size(), head.size() + 9);
    EXPECT_EQ(verbose.out.substr(0, head.size()), head);
    std::string id = verbose.out.substr(head.size(), 8);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
    EXPECT_EQ(verbose.out.substr(head.size() + 8),
              "\n"
              "\t\"echo\":{\"at_port\":\"String\",\"timeout\":\"Integer\",\"sendonly\":\"Boolean\"}\n"
              "\t\"fail\":{\"status\":\"Integer\",\"reply\":\"Boolean\"}\n"
              "\t\"silent\":{}\n"
              "\t\"hang\":{}\n");

    EXPECT_EQ(cli({"-S", "list", "-v"}).out, "test\n");

    child_result missing = cli({"list", "nothing"});
    EXPECT_EQ(missing.status, 4);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "Command failed: Not found\n");
}

TEST_F(CliEndToEnd, CallPrintsEachReply)
{
    const std::string args = R"({"at_port":"/dev/ttyUSB2","timeout":5,"sendonly":true})";
    child_result indented = cli({"call", "test", "echo", args});
    EXPECT_EQ(indented.status, 0);
    EXPECT_EQ(indented.out, "{\n\t\"at_port\": \"/dev/ttyUSB2\",\n\t\"timeout\": 5,\n\t\"sendonly\": true\n}\n");
    EXPECT_EQ(indented.err, "");

    child_result compact = cli({"-S", "call", "test", "echo", args});
    EXPECT_EQ(compact.out, args + "\n");

    child_result empty = cli({"call", "test", "echo"});
    EXPECT_EQ(empty.out, "{\n\t\n}\n");

    child_result silent = cli({"call", "test", "silent"});
    EXPECT_EQ(silent.status, 0);
    EXPECT_EQ(silent.out, "");
}

TEST_F(CliEndToEnd, CallFailureFormsDependOnTheTerminal)
{
    struct row {
        std::vector<std::string> args;
        bool tty;
        int status;
        std::string err;
    } rows[] = {
        {{"call", "test", "fail", R"({"status":3})"},
         false,
         253,
         "Command failed: ubus call test fail {\"status\":3} (Method not found)\n"},
        {{"call", "test", "fail", R"({"status":3})"}, true, 3, "Command failed: Method not found\n"},
        {{"-S", "call", "test", "fail", R"({"status":3})"}, false, 3, ""},
        {{"call", "test", "nosuchmethod"},
         false,
         253,
         "Command failed: ubus call test nosuchmethod (Method not found)\n"},
        {{"call", "test", "fail", R"({"status":99})"},
         false,
         157,
         "Command failed: ubus call test fail {\"status\":99} (Unknown error: 99)\n"},
        {{"call", "test", "fail", R"({"status":-1})"},
         false,
         1,
         "Command failed: ubus call test fail {\"status\":-1} (Unknown error: -1)\n"
         "Command failed: Invalid command\n"},
        {{"call", "test", "fail", R"({"status":-1})"}, true, 255, ""},
        {{"call", "test", "fail", R"({"status":256})"}, true, 255, "Command failed: Unknown error: 256\n"},
        {{"call", "test", "echo", "[1]"},
         false,
         244,
         "Command failed: ubus call test echo [1] (Parsing message data failed)\n"},
        {{"call", "test", "echo", "{bad"}, true, 12, "Command failed: Parsing message data failed\n"},
        {{"-S", "call", "test", "echo", "{bad"}, false, 12, ""},
        {{"call", "nothing", "echo"}, false, 4, "Command failed: Not found\n"},
        {{"call", "nothing", "echo"}, true, 4, "Command failed: Not found\n"},
        {{"-S", "call", "nothing", "echo"}, false, 4, ""},
        {{"call", "test", "fail", R"({"status":2})"}, true, 2, "Command failed: Invalid argument\n"},
        {{"-S", "call", "test", "fail", R"({"status":2})"}, false, 2, ""},
        {{"-t", "1", "call", "test", "hang"}, false, 249, "Command failed: ubus call test hang (Request timed out)\n"},
    };
    for (const row &r : rows) {
        std::string what = ::testing::PrintToString(r.args) + (r.tty ? " (tty)" : "");
        child_result res = cli(r.args, r.tty);
        EXPECT_EQ(res.status, r.status) << what;
        EXPECT_EQ(res.err, r.err) << what;
        EXPECT_EQ(res.out, "") << what;
    }

    // Invalid argument towards a log also brings the usage text.
    child_result usage = cli({"call", "test", "fail", R"({"status":2})"});
    EXPECT_EQ(usage.status, 254);
    EXPECT_EQ(usage.err.rfind(
                  "Command failed: ubus call test fail {\"status\":2} (Invalid argument)\n" + call_usage_marker, 0),
              0u)
        << usage.err;

    // Replies that came before a failing status are still printed.
    child_result partial = cli({"call", "test", "fail", R"({"status":5,"reply":true})"});
    EXPECT_EQ(partial.status, 251);
    EXPECT_EQ(partial.out, "{\n\t\"partial\": true\n}\n");
}

TEST_F(CliEndToEnd, UsageAndConnectionErrors)
{
    for (const auto &args : std::vector<std::vector<std::string>>{{},
                                                                  {"frobnicate"},
                                                                  {"call", "test"},
                                                                  {"call", "a", "b", "{}", "extra"},
                                                                  {"list", "a", "b"},
                                                                  {"send"},
                                                                  {"wait_for"},
                                                                  {"-t", "soon", "list"}}) {
        child_result r = cli(args);
        EXPECT_EQ(r.status, 254) << ::testing::PrintToString(args);
        EXPECT_NE(r.err.find(call_usage_marker), std::string::npos);
        for (const char *cmd : {"list", "call", "listen", "send", "wait_for", "-s", "-t", "-S", "-v"})
            EXPECT_NE(r.err.find(cmd), std::string::npos) << cmd;
    }

    std::string nowhere = dir->file("no-such.sock");
    child_result r = child_run({CLI_PATH, "-s", nowhere, "list"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Failed to connect to ubus\n");
    r = child_run({CLI_PATH, "-S", "-s", nowhere, "call", "a", "b"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "");
}

// The library leaves a lost connection to the program, as a router's does;
// listen ends quietly on its own when its broker goes away.
TEST_F(CliEndToEnd, ListenEndsWhenTheBrokerGoesAway)
{
    std::string own = dir->file("own.sock");
    child_process own_broker, listener;
    ASSERT_TRUE(child_start(own_broker, {BUSD_PATH, "-s", own}));
    ASSERT_TRUE(wait_for_listener(own));
    ASSERT_TRUE(start_listener(listener, own, {}));
    ASSERT_TRUE(child_stop(own_broker, SIGKILL));
    ASSERT_TRUE(child_wait_exit(listener, std::chrono::seconds(10)));
    EXPECT_TRUE(WIFEXITED(listener.exit_status) && WEXITSTATUS(listener.exit_status) == 0) << listener.exit_status;
}

TEST_F(CliEndToEnd, SendReachesListeners)
{
    child_process listener;
    ASSERT_TRUE(start_listener(listener, sock, {"cli.*"}));

    child_result sent = cli({"send", "cli.test", R"({"a":[1,true,null],"s":"x\ty","d":1.5})"});
    EXPECT_EQ(sent.status, 0);
    EXPECT_EQ(sent.err, "");
    EXPECT_TRUE(
        child_wait_output(listener, true, "{ \"cli.test\": {\"a\":[1,true,null],\"s\":\"x\\ty\",\"d\":1.500000} }\n"))
        << child_stdout(listener);
    cli({"send", "other"});
    cli({"send", "cli.last"});
    EXPECT_TRUE(child_wait_output(listener, true, "{ \"cli.last\": {} }\n"));
    EXPECT_EQ(child_stdout(listener).find("other"), std::string::npos);
    ASSERT_TRUE(child_stop(listener, SIGINT));
    EXPECT_TRUE(WIFEXITED(listener.exit_status) && WEXITSTATUS(listener.exit_status) == 0) << listener.exit_status;

    child_result denied = cli({"send", "ubus.object.add"});
    EXPECT_EQ(denied.status, 6);
    EXPECT_EQ(denied.err, "Command failed: Permission denied\n");

    child_result bad = cli({"send", "x", "[1]"});
    EXPECT_EQ(bad.status, 12);
    EXPECT_EQ(bad.err, "Command failed: Parsing message data failed\n");
}

TEST_F(CliEndToEnd, WaitForObjects)
{
    EXPECT_EQ(cli({"-t", "0", "wait_for", "test"}).status, 0);

    child_result missing = cli({"-t", "0", "wait_for", "test", "absent"});
    EXPECT_EQ(missing.status, 7);
    EXPECT_EQ(missing.err, "Command failed: Request timed out\n");

    child_process waiter;
    ASSERT_TRUE(child_start(waiter, {CLI_PATH, "-s", sock, "-t", "60", "wait_for", "test", "late"}));
    child_process late;
    ASSERT_TRUE(child_start(late, {SERVER_PATH, sock, "late"}));
    ASSERT_TRUE(child_wait_output(late, true, "ready\n"));
    ASSERT_TRUE(child_wait_exit(waiter, std::chrono::seconds(30)));
    EXPECT_TRUE(WIFEXITED(waiter.exit_status) && WEXITSTATUS(waiter.exit_status) == 0) << waiter.exit_status;
}

} // namespace
