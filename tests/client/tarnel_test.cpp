// The command-line client against the real daemon, our broker and simulated
// modems: what "tarnel at" prints and exits with, and what "tarnel apply"
// leaves open in the daemon.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "tests/daemon/bus_calls.h"
#include "tests/daemon/daemon_with_modem.h"

namespace
{

class TarnelAt : public DaemonWithModem
{
protected:
    child_result at(std::vector<std::string> args)
    {
        std::vector<std::string> argv = {TARNEL_CLIENT_PATH, "at", "-s", env.sock};
        argv.insert(argv.end(), args.begin(), args.end());
        return child_run(argv);
    }
};

TEST_F(TarnelAt, PrintsTheAnswerLinesAndExitsWithWhatTheModemSaid)
{
    // Framed as V.250 frames it: the blank lines go, the echo and OK too.
    fake_modem_set_answer(modem.get(), "AT+CSQ", {{0, "\r\n+CSQ: 21,99\r\n\r\nOK\r\n"}});
    child_result r = at({"-p", port, "AT", "AT+CSQ"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "+CSQ: 21,99\n");

    r = at({"-p", port, "-r", "AT+CSQ"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "AT+CSQ\r\r\n+CSQ: 21,99\r\n\r\nOK\r\n");

    fake_modem_set_answer(modem.get(), "AT+CFUN=9", {{0, "+CME ERROR: 50\r\n"}});
    r = at({"-p", port, "AT+CFUN=9"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "+CME ERROR: 50\n");

    // A flag of the caller's that is information is printed with its line.
    r = at({"-p", port, "-e", "READY", "AT+CPIN?"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "+CPIN: READY\n");

    // Last: the port owes this command its answer from now on.
    fake_modem_set_answer(modem.get(), "AT+SILENT", {});
    r = at({"-p", port, "-t", "1", "AT+SILENT"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("timed out"), std::string::npos) << r.err;
}

TEST_F(TarnelAt, FailsWhenThePortIsMissingOrNotNamedAmongSeveral)
{
    child_result r = at({"-p", env_path(env, "ttyUSB9"), "AT"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("Failed to send AT command"), std::string::npos) << r.err;

    r = at({"AT"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("no port is open"), std::string::npos) << r.err;

    fake_modem_ptr other(fake_modem_create(env_path(env, "ttyUSB3")));
    ASSERT_TRUE(other);
    for (const auto &p : {port, env_path(env, "ttyUSB3")})
        ASSERT_EQ(tarnel_call(env, "open", "{\"at_port\":" + json_str(p) + "}").status, 0);
    r = at({"AT"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("2 ports are open"), std::string::npos) << r.err;
    EXPECT_EQ(fake_modem_log(modem.get()), "");
}

TEST_F(TarnelAt, RunsStandardInputLineByLineUpToTheFirstFailure)
{
    ASSERT_EQ(tarnel_call(env, "open", "{\"at_port\":" + json_str(port) + "}").status, 0);
    std::string script =
        "printf 'AT+CSQ\\r\\n\\n  \\nAT+NOPE\\nAT+CGMI\\n' | '" TARNEL_CLIENT_PATH "' at -s '" + env.sock + "'";
    child_result r = child_run({"/bin/sh", "-c", script});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, "+CSQ: 20,99\n");
    EXPECT_EQ(r.err, "ERROR\n");
    std::string log = fake_modem_log(modem.get());
    EXPECT_NE(log.find("AT+NOPE"), std::string::npos) << log;
    EXPECT_EQ(log.find("AT+CGMI"), std::string::npos) << log;
}

// "tarnel apply" on a file as the router's uci writes it.
class TarnelApply : public ::testing::Test
{
protected:
    daemon_env env;
    fake_modem_ptr usb2, usb3, usb4;
    std::string p2, p3, p4, config;

    void SetUp() override
    {
        ASSERT_TRUE(env_start(env));
        p2 = env_path(env, "ttyUSB2");
        p3 = env_path(env, "ttyUSB3");
        p4 = env_path(env, "ttyUSB4");
        usb2.reset(fake_modem_create(p2));
        usb3.reset(fake_modem_create(p3));
        usb4.reset(fake_modem_create(p4));
        ASSERT_TRUE(usb2 && usb3 && usb4);
        config = env_path(env, "tarnel");
    }

    void write_config(const std::string &text)
    {
        std::ofstream out(config, std::ios::binary | std::ios::trunc);
        out << text;
    }

    child_result apply()
    {
        return child_run({TARNEL_CLIENT_PATH, "apply", "-c", config, "-s", env.sock},
                         {{"TARNEL_STATE_DIR", env_path(env, "state/tarnel")}});
    }

    // The list entry of a port, "" when the daemon does not know it.
    std::string listed(const std::string &path)
    {
        bus_reply r = tarnel_call(env, "list", "");
        std::string key = "{\"port\":" + json_str(path) + ",";
        size_t at = r.json.find(key);
        return at == std::string::npos ? "" : r.json.substr(at, r.json.find('}', at) - at + 1);
    }
};

std::string section(const std::string &name, const std::string &device, const std::string &body = "")
{
    return "\nconfig port '" + name + "'\n\toption device '" + device + "'\n" + body;
}

TEST_F(TarnelApply, OpensWhatTheFileNamesAndClosesOnlyWhatItNoLongerNames)
{
    // Opened by another program: never touched.
    ASSERT_EQ(tarnel_call(env, "open", "{\"at_port\":" + json_str(p4) + "}").status, 0);
    write_config(section("a", p2, "\toption baudrate '57600'\n\toption parity 'even'\n\tlist init 'AT+CMEE=2'\n") +
                 section("b", p3, "\tlist unsolicited '+QIND:'\n") +
                 section("c", env_path(env, "ttyUSB7"), "\toption enabled '0'\n"));
    child_result r = apply();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, p2 + ": opened\n" + p3 + ": opened\n");
    EXPECT_NE(listed(p2).find("\"is_open\":1,"), std::string::npos) << listed(p2);
    EXPECT_NE(listed(p2).find("\"baudrate\":57600,\"databits\":8,\"parity\":2,\"stopbits\":1"), std::string::npos)
        << listed(p2);
    EXPECT_NE(listed(p3).find("\"unsolicited\":[\"+QIND:\"]"), std::string::npos) << listed(p3);
    EXPECT_EQ(listed(env_path(env, "ttyUSB7")), "");

    // b removed: closed; a unchanged; the other program's port stays.
    write_config(section("a", p2, "\toption baudrate '57600'\n\toption parity 'even'\n\tlist init 'AT+CMEE=2'\n"));
    r = apply();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, p3 + ": closed\n" + p2 + ": unchanged\n");
    EXPECT_EQ(listed(p3), "");
    EXPECT_NE(listed(p2), "");
    EXPECT_NE(listed(p4), "");

    // An edit reopens the port with its new settings.
    write_config(section("a", p2, "\toption baudrate '115200'\n\toption parity 'even'\n\tlist init 'AT+CMEE=2'\n"));
    r = apply();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, p2 + ": opened\n");
    EXPECT_NE(listed(p2).find("\"baudrate\":115200,"), std::string::npos) << listed(p2);

    // A broken file changes nothing.
    write_config("config port\n\toption device\n");
    r = apply();
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(config + ":2:"), std::string::npos) << r.err;
    EXPECT_NE(listed(p2), "");
}

TEST_F(TarnelApply, ReopensAPortTheDaemonNoLongerKnowsAndLeavesAnUnrecordedOneOpen)
{
    write_config(section("a", p2) + section("b", p3));
    child_result r = apply();
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(stat(env_path(env, "state/tarnel").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);

    // Closed behind its back (or a daemon that restarted): opened again.
    ASSERT_EQ(tarnel_call(env, "close", "{\"at_port\":" + json_str(p2) + "}").status, 0);
    r = apply();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, p2 + ": opened\n" + p3 + ": unchanged\n");
    EXPECT_NE(listed(p2), "");

    // Without its record, apply knows no port as its own: it closes none.
    ASSERT_EQ(unlink(env_path(env, "state/tarnel/applied").c_str()), 0);
    write_config("");
    r = apply();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(listed(p2), "");
    EXPECT_NE(listed(p3), "");
}

} // namespace
