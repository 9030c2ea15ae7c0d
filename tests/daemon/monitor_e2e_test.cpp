// The monitor healing ports in a running daemon, on its real 30-second
// cycle. Slow by nature: labelled so that quick runs can leave it out.
#include <gtest/gtest.h>

#include "tests/daemon/daemon_env.h"
#include "tests/daemon/masked.h"
#include "tools/fakemodem/fake_modem.h"

using namespace std::chrono_literals;

TEST(MonitorCycle, ClosesVanishedPortsAndOpensReturnedOnes)
{
    daemon_env env;
    ASSERT_TRUE(env_start(env));
    std::string usb2 = env_path(env, "ttyUSB2"), usb3 = env_path(env, "ttyUSB3");
    fake_modem_ptr modem(fake_modem_create(usb2));
    ASSERT_TRUE(modem);

    ASSERT_EQ(tarnel_call(env, "open", "{\"at_port\":\"" + usb2 + "\",\"baudrate\":57600}").status, 0);
    // A record made by "sendat" before its device exists.
    tarnel_call(env, "sendat", "{\"at_port\":\"" + usb3 + "\",\"at_cmd\":\"AT\"}");
    ASSERT_EQ(fake_modem_unplug(modem.get()), 0);
    fake_modem_ptr late(fake_modem_create(usb3));
    ASSERT_TRUE(late);

    // First examination: 30 s after creation, within one 5 s pass.
    EXPECT_TRUE(child_wait_output(env.daemon, false, "Port " + usb2 + " no longer exists, marking as closed\n", 45s));
    EXPECT_TRUE(child_wait_output(env.daemon, true,
                                  "Port " + usb3 +
                                      " exists but is closed, attempting to reopen...\n"
                                      "Successfully reopened port " +
                                      usb3 + "\n",
                                  10s));
    std::string list = masked(tarnel_call(env, "list", "").json);
    EXPECT_NE(list.find("{\"port\":\"" + usb3 +
                        "\",\"is_open\":1,\"fd\":#,\"baudrate\":115200,\"databits\":8,"
                        "\"parity\":0,\"stopbits\":1,\"last_check\":#}"),
              std::string::npos)
        << list;
    EXPECT_NE(list.find("{\"port\":\"" + usb2 + "\",\"is_open\":0,\"file_status\":\"missing\",\"last_check\":#}"),
              std::string::npos)
        << list;

    // The node returns; the next examination reopens it with its own settings.
    ASSERT_EQ(fake_modem_replug(modem.get()), 0);
    EXPECT_TRUE(child_wait_output(env.daemon, true,
                                  "Port " + usb2 +
                                      " exists but is closed, attempting to reopen...\n"
                                      "Successfully reopened port " +
                                      usb2 + "\n",
                                  45s));
    list = masked(tarnel_call(env, "list", "").json);
    EXPECT_NE(list.find("{\"port\":\"" + usb2 + "\",\"is_open\":1,\"fd\":#,\"baudrate\":57600,"), std::string::npos)
        << list;
    bus_reply r = tarnel_call(env, "sendat", "{\"at_port\":\"" + usb2 + "\",\"at_cmd\":\"AT+CSQ\"}");
    EXPECT_NE(r.json.find("\"status\":\"success\""), std::string::npos) << r.json;

    // Idle shutdown does not wait out the monitor's pause.
    ASSERT_TRUE(child_stop(env.daemon, SIGTERM, 3s));
    EXPECT_NE(child_stdout(env.daemon).find("Port monitor thread stopped\n"), std::string::npos);
}
