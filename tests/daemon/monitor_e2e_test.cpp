// The monitor healing ports in a running daemon on its real 30-second
// cycle, where the hotplug watcher cannot see: the port's directory is a
// symlink that is switched to another directory, so the watched one never
// changes. Slow by nature: labelled so that quick runs can leave it out.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/daemon/daemon_env.h"
#include "tests/daemon/masked.h"
#include "tests/support/wait_until.h"
#include "tools/fakemodem/fake_modem.h"

using namespace std::chrono_literals;

// Points link at target in one step, as udev replaces a link.
static void switch_link(const std::string &link, const std::string &target)
{
    std::string next = link + ".next";
    ASSERT_EQ(symlink(target.c_str(), next.c_str()), 0);
    ASSERT_EQ(rename(next.c_str(), link.c_str()), 0);
}

TEST(MonitorCycle, HealsWhatTheWatcherCannotSee)
{
    daemon_env env;
    ASSERT_TRUE(env_start(env));
    std::string empty = env_path(env, "empty"), full = env_path(env, "full"), by_id = env_path(env, "by-id");
    ASSERT_EQ(mkdir(empty.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(full.c_str(), 0755), 0);
    ASSERT_EQ(symlink(empty.c_str(), by_id.c_str()), 0);
    std::string port = by_id + "/modem";
    fake_modem_ptr modem(fake_modem_create(full + "/modem"));
    ASSERT_TRUE(modem);

    // A record made by "sendat" before its device is there.
    tarnel_call(env, "sendat", "{\"at_port\":\"" + port + "\",\"at_cmd\":\"AT\"}");
    switch_link(by_id, full);

    // First examination: 30 s after creation, within one 5 s pass. A record
    // never opened gets the defaults.
    EXPECT_TRUE(child_wait_output(env.daemon, true,
                                  "Port " + port + " exists but is closed, attempting to reopen...\n" +
                                      "Successfully reopened port " + port + "\n",
                                  45s));
    std::string list = masked(tarnel_call(env, "list", "").json);
    EXPECT_NE(list.find("{\"port\":\"" + port +
                        "\",\"is_open\":1,\"fd\":#,\"baudrate\":115200,\"databits\":8,"
                        "\"parity\":0,\"stopbits\":1,\"last_check\":#}"),
              std::string::npos)
        << list;
    // The wait is generous: the machine may be busy with other tests.
    bus_reply r = tarnel_call(env, "sendat", "{\"at_port\":\"" + port + "\",\"at_cmd\":\"AT+CSQ\",\"timeout\":30}");
    EXPECT_NE(r.json.find("\"status\":\"success\""), std::string::npos) << r.json;

    // The node vanishes from the port's path: closed at the next examination.
    switch_link(by_id, empty);
    EXPECT_TRUE(child_wait_output(env.daemon, false, "Port " + port + " no longer exists, marking as closed\n", 45s));
    // The line comes before the close itself.
    std::string closed = "{\"port\":\"" + port + "\",\"is_open\":0,\"file_status\":\"missing\",\"last_check\":#}";
    EXPECT_TRUE(wait_until([&] {
        list = masked(tarnel_call(env, "list", "").json);
        return list.find(closed) != std::string::npos;
    })) << list;

    // Idle shutdown does not wait out the monitor's pause.
    ASSERT_TRUE(child_stop(env.daemon, SIGTERM, 3s));
    EXPECT_NE(child_stdout(env.daemon).find("Port monitor thread stopped\n"), std::string::npos);
}
