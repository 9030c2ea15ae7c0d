// The object's heartbeat: while "tarnel" has subscribers they hear "alive"
// with the number of ports, period after period, as a notification only;
// bus event listeners never see it.
#include <signal.h>

#include <gtest/gtest.h>

#include "tests/daemon/daemon_env.h"
#include "tools/fakemodem/fake_modem.h"

using namespace std::chrono_literals;

namespace
{

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

TEST(Alive, SubscribersHearTheHeartbeatListenersDoNot)
{
    daemon_env env;
    env.daemon_vars["TARNEL_ALIVE_MS"] = "100";
    ASSERT_TRUE(env_start(env));
    std::string port = env_path(env, "ttyUSB2");
    fake_modem_ptr modem(fake_modem_create(port));
    ASSERT_TRUE(modem);

    // Every event, the heartbeat's too if there were one; listening once an
    // open shows up.
    child_process listener;
    ASSERT_TRUE(child_start(listener, {TARNEL_CLI_PATH, "-s", env.sock, "listen"}));
    ASSERT_TRUE(wait_until([&] {
        tarnel_call(env, "open", "{\"at_port\":\"" + port + "\"}");
        return child_wait_output(listener, true, "\"reason\":\"open\"", 100ms);
    }));

    for (int round = 0; round < 2; round++) {
        child_process sub;
        ASSERT_TRUE(child_start(sub, {TARNEL_CLI_PATH, "-s", env.sock, "subscribe", "tarnel"}));
        ASSERT_TRUE(wait_until([&] { return count_of(child_stdout(sub), "{ \"alive\": {\"ports\":1} }") >= 3; }))
            << child_stdout(sub);
        ASSERT_TRUE(child_stop(sub, SIGTERM));
    }

    fake_modem_inject(modem.get(), "\r\nRING\r\n");
    ASSERT_TRUE(child_wait_output(listener, true, "RING"));
    EXPECT_EQ(child_stdout(listener).find("alive"), std::string::npos) << child_stdout(listener);
}

} // namespace
