// Start-up and shutdown of the daemon process as a service manager sees it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include "tests/daemon/daemon_env.h"
#include "tools/fakemodem/fake_modem.h"

using namespace std::chrono_literals;

// The daemon always ends normally, never by a signal or a crash: with 0
// after serving, with 1 when it never got to serve.
static ::testing::AssertionResult exited_with(const child_process &child, int status)
{
    if (!WIFEXITED(child.exit_status))
        return ::testing::AssertionFailure() << "did not exit normally: wait status " << child.exit_status;
    if (WEXITSTATUS(child.exit_status) != status)
        return ::testing::AssertionFailure() << "exit status " << WEXITSTATUS(child.exit_status);
    return ::testing::AssertionSuccess();
}

static ::testing::AssertionResult exited_zero(const child_process &child)
{
    return exited_with(child, 0);
}

TEST(Lifecycle, WithoutBrokerReportsAndExitsOne)
{
    child_process daemon;
    ASSERT_TRUE(child_start(daemon, {TARNEL_DAEMON_PATH}, {{"UBUS_SOCKET", "/nonexistent/ubus.sock"}}));
    ASSERT_TRUE(child_wait_exit(daemon, 10s));
    EXPECT_TRUE(exited_with(daemon, 1));
    EXPECT_EQ(child_stderr(daemon), "Failed to connect to ubus\n");
    EXPECT_EQ(child_stdout(daemon), "");
}

TEST(Lifecycle, StartsServesAndStopsInOrder)
{
    daemon_env env;
    ASSERT_TRUE(env_start(env));
    EXPECT_EQ(child_stdout(env.daemon), "Port monitor thread started\nubus-tarnel started\n");

    ASSERT_TRUE(child_stop(env.daemon, SIGTERM, 5s));
    EXPECT_TRUE(exited_zero(env.daemon));
    EXPECT_EQ(child_stdout(env.daemon),
              "Port monitor thread started\nubus-tarnel started\nPort monitor thread stopped\n");
    EXPECT_EQ(child_stderr(env.daemon), "");
}

TEST(Lifecycle, SecondInstanceCannotRegisterAndExitsOne)
{
    daemon_env env;
    ASSERT_TRUE(env_start(env));
    child_process second;
    ASSERT_TRUE(child_start(second, {TARNEL_DAEMON_PATH}, {{"UBUS_SOCKET", env.sock}}));
    ASSERT_TRUE(child_wait_exit(second, 10s));
    EXPECT_TRUE(exited_with(second, 1));
    EXPECT_EQ(child_stderr(second), "Failed to add object: Invalid argument\n");
    EXPECT_EQ(child_stdout(second), "");
}

TEST(Lifecycle, SigtermWithOpenPortsJoinsEveryReader)
{
    daemon_env env;
    ASSERT_TRUE(env_start(env));
    fake_modem_ptr a(fake_modem_create(env_path(env, "ttyA")));
    fake_modem_ptr b(fake_modem_create(env_path(env, "ttyB")));
    ASSERT_TRUE(a && b);
    for (const char *name : {"ttyA", "ttyB"}) {
        bus_reply r = tarnel_call(env, "open", "{\"at_port\":\"" + env_path(env, name) + "\"}");
        ASSERT_EQ(r.status, 0);
        ASSERT_NE(r.json.find("\"status\":\"success\""), std::string::npos) << r.json;
    }
    // Stopping must not wait out the monitor's pause between passes.
    ASSERT_TRUE(child_stop(env.daemon, SIGTERM, 3s));
    EXPECT_TRUE(exited_zero(env.daemon));
    EXPECT_NE(child_stdout(env.daemon).find("Port monitor thread stopped\n"), std::string::npos);
}

TEST(Lifecycle, ObjectAdvertisesItsMethodsInOrder)
{
    daemon_env env;
    ASSERT_TRUE(env_start(env));
    child_process cli;
    ASSERT_TRUE(child_start(cli, {TARNEL_CLI_PATH, "-s", env.sock, "list", "-v", "tarnel"}));
    ASSERT_TRUE(child_wait_exit(cli, 10s));
    std::string out = child_stdout(cli);
    char id[16];
    snprintf(id, sizeof id, "%08x", env.tarnel_id);
    EXPECT_EQ(out, std::string("'tarnel' @") + id +
                       "\n"
                       "\t\"open\":{\"at_port\":\"String\",\"baudrate\":\"Integer\",\"databits\":\"Integer\","
                       "\"parity\":\"Integer\",\"stopbits\":\"Integer\",\"timeout\":\"Integer\","
                       "\"unsolicited\":\"Array\",\"init\":\"Array\"}\n"
                       "\t\"sendat\":{\"at_port\":\"String\",\"timeout\":\"Integer\",\"end_flag\":\"String\","
                       "\"at_cmd\":\"String\",\"raw_at_content\":\"String\",\"sendonly\":\"Boolean\","
                       "\"data\":\"String\"}\n"
                       "\t\"list\":{}\n"
                       "\t\"close\":{\"at_port\":\"String\"}\n"
                       "\t\"share\":{\"at_port\":\"String\",\"name\":\"String\",\"timeout\":\"Integer\","
                       "\"group\":\"(unknown)\"}\n"
                       "\t\"unshare\":{\"name\":\"String\"}\n"
                       "\t\"batch\":{\"at_port\":\"String\",\"commands\":\"Array\",\"keep_going\":\"Boolean\"}\n"
                       "\t\"sms_list\":{\"at_port\":\"String\",\"storage\":\"String\"}\n"
                       "\t\"sms_delete\":{\"at_port\":\"String\",\"indexes\":\"Array\",\"storage\":\"String\"}\n"
                       "\t\"sms_send\":{\"at_port\":\"String\",\"to\":\"String\",\"text\":\"String\","
                       "\"smsc\":\"String\"}\n"
                       "\t\"ussd\":{\"at_port\":\"String\",\"code\":\"String\",\"timeout\":\"Integer\"}\n");
}
