// Hotplug: a port's node removed and restored is closed and reopened at
// once, with its settings, without waiting for the monitor's examination.
#include "tests/fault/fault_env.h"

using namespace std::chrono_literals;

TEST_F(FaultTest, RemovedAndRestoredNodeIsClosedAndReopenedAtOnce)
{
    std::string port = path_of("ttyUSB2");
    fake_modem *m = add_modem("ttyUSB2");
    ASSERT_EQ(call("open", "{\"at_port\":" + json_str(port) + ",\"baudrate\":57600}").str("status"), "success");
    auto is_open = [&] { return tarnel_call(env, "list", "").json.find("\"is_open\":1") != std::string::npos; };

    // The monitor's first examination is 30 s away: only the watcher can
    // be this quick.
    for (int round = 0; round < 3; round++) {
        ASSERT_EQ(fake_modem_unplug(m), 0);
        ASSERT_TRUE(wait_until([&] { return !is_open(); }, 10s));
        ASSERT_EQ(fake_modem_replug(m), 0);
        ASSERT_TRUE(wait_until(is_open, 10s));
    }
    EXPECT_NE(tarnel_call(env, "list", "").json.find("\"baudrate\":57600"), std::string::npos);
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CSQ\"").str("status"), "success");
    EXPECT_TRUE(child_wait_output(env.daemon, false, "Port " + port + " no longer exists, marking as closed\n"));
    EXPECT_TRUE(child_wait_output(env.daemon, true, "Successfully reopened port " + port + "\n"));
}
