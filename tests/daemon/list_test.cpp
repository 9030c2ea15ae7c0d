// The method "list": which keys each kind of record shows, and in what order.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "tests/daemon/daemon_env.h"
#include "tests/daemon/masked.h"
#include "tools/fakemodem/fake_modem.h"

TEST(List, ShowsRecordsNewestFirstWithTheKeysOfTheirState)
{
    daemon_env env;
    ASSERT_TRUE(env_start(env));
    EXPECT_EQ(tarnel_call(env, "list", "").json, "{\"ports\":[]}");
    // Arguments are ignored.
    EXPECT_EQ(tarnel_call(env, "list", "{\"at_port\":\"x\"}").json, "{\"ports\":[]}");

    std::string a = env_path(env, "ttyA"), b = env_path(env, "ttyB"), gone = env_path(env, "ttyGone");
    fake_modem_ptr ma(fake_modem_create(a)), mb(fake_modem_create(b));
    ASSERT_TRUE(ma && mb);

    time_t before = time(nullptr);
    ASSERT_EQ(tarnel_call(env, "open", quoted_port(a)).status, 0);
    // A speed of 0 runs at 115200 and hides all four settings.
    ASSERT_EQ(tarnel_call(env, "open", "{\"at_port\":\"" + b + "\",\"baudrate\":0}").status, 0);
    // "sendat" registers a device that does not exist yet.
    bus_reply r = tarnel_call(env, "sendat", "{\"at_port\":\"" + gone + "\",\"at_cmd\":\"AT\"}");
    EXPECT_NE(r.json.find("\"status\":\"error\""), std::string::npos) << r.json;

    r = tarnel_call(env, "list", "");
    EXPECT_EQ(masked(r.json), "{\"ports\":["
                              "{\"port\":\"" +
                                  gone +
                                  "\",\"is_open\":0,\"file_status\":\"missing\",\"last_check\":#},"
                                  "{\"port\":\"" +
                                  b +
                                  "\",\"is_open\":1,\"fd\":#,\"last_check\":#},"
                                  "{\"port\":\"" +
                                  a +
                                  "\",\"is_open\":1,\"fd\":#,\"baudrate\":115200,\"databits\":8,\"parity\":0,"
                                  "\"stopbits\":1,\"last_check\":#}]}");

    // Until the monitor looks at a record, last_check is its creation time.
    auto pos = r.json.find("\"last_check\":");
    ASSERT_NE(pos, std::string::npos);
    long long last_check = std::stoll(r.json.substr(pos + 13));
    EXPECT_GE(last_check, static_cast<long long>(before));
    EXPECT_LE(last_check, static_cast<long long>(time(nullptr)));
}

// A port's own unsolicited prefixes are shown after its other keys; an
// open without the list keeps it, an empty list clears it, and a list
// that breaks the limits opens nothing.
TEST(List, ShowsThePrefixesAnOpenGaveItsPort)
{
    daemon_env env;
    ASSERT_TRUE(env_start(env));
    std::string a = env_path(env, "ttyA"), b = env_path(env, "ttyB");
    fake_modem_ptr ma(fake_modem_create(a)), mb(fake_modem_create(b));
    ASSERT_TRUE(ma && mb);
    const std::string head = "{\"at_port\":\"" + a + "\"";
    const std::string shown = "{\"ports\":[{\"port\":\"" + a +
                              "\",\"is_open\":1,\"fd\":#,\"baudrate\":115200,\"databits\":8,\"parity\":0,"
                              "\"stopbits\":1,\"last_check\":#";

    ASSERT_EQ(tarnel_call(env, "open", head + ",\"unsolicited\":[\"+QIND:\",\"^HCSQ:\"]}").status, 0);
    EXPECT_EQ(masked(tarnel_call(env, "list", "").json), shown + ",\"unsolicited\":[\"+QIND:\",\"^HCSQ:\"]}]}");
    ASSERT_EQ(tarnel_call(env, "open", quoted_port(a)).status, 0);
    EXPECT_EQ(masked(tarnel_call(env, "list", "").json), shown + ",\"unsolicited\":[\"+QIND:\",\"^HCSQ:\"]}]}");
    ASSERT_EQ(tarnel_call(env, "open", head + ",\"unsolicited\":[]}").status, 0);
    EXPECT_EQ(masked(tarnel_call(env, "list", "").json), shown + "}]}");

    std::string most;
    for (int i = 0; i < 32; i++)
        most += std::string(i ? "," : "") + "\"+P" + std::to_string(i) + ":\"";
    const std::string refused = "{\"status\":\"error\",\"message\":\"Invalid unsolicited prefixes\"}";
    for (const std::string &list : std::vector<std::string>{
             "[" + most + ",\"+X:\"]", "[\"" + std::string(32, 'P') + "\"]", "[\"\"]", "[\"+A:\",1]", "\"+QIND:\""}) {
        bus_reply r = tarnel_call(env, "open", "{\"at_port\":\"" + b + "\",\"unsolicited\":" + list + "}");
        EXPECT_EQ(r.json, refused) << list;
    }
    EXPECT_EQ(masked(tarnel_call(env, "list", "").json), shown + "}]}");
    bus_reply r = tarnel_call(env, "open", "{\"at_port\":\"" + b + "\",\"unsolicited\":[" + most + "]}");
    EXPECT_NE(r.json.find("\"status\":\"success\""), std::string::npos) << r.json;
}
