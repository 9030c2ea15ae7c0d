// Virtual ports as programs on the router use them: a terminal program on
// the link and bus callers on the same simulated modem at the same time.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "tests/fault/fault_env.h"
#include "tests/vport/terminal.h"

using namespace std::chrono_literals;

class Vport : public OneModemTest
{
protected:
    std::string run_dir;

    void SetUp() override
    {
        run_dir = env.dir.file("run");
        env.daemon_vars["TARNEL_SHARE_DIR"] = run_dir;
        OneModemTest::SetUp();
        ASSERT_EQ(open_port(port).str("status"), "success");
    }
    std::string share(const std::string &name)
    {
        reply_fields r = call("share", "{\"at_port\":" + json_str(port) + ",\"name\":" + json_str(name) + "}");
        EXPECT_EQ(r.str("status"), "success") << r.str("message");
        EXPECT_EQ(r.str("path"), run_dir + "/" + name);
        return r.str("path");
    }
    // Writes a command line and waits for the final result that ends its answer.
    std::string command(terminal &t, const std::string &line, const std::string &ends = "OK\r\n")
    {
        size_t from = t.seen.size();
        EXPECT_TRUE(terminal_write(t, line));
        EXPECT_TRUE(terminal_wait(t, ends)) << t.seen;
        std::string got = t.seen.substr(from);
        t.seen.clear();
        return got;
    }
};

// Each gets exactly its own answer, while both run on the one modem; the
// program's answers are framed as the modem's own port frames them.
TEST_F(Vport, ProgramAndBusCallerGetTheirOwnAnswers)
{
    fake_modem_set_answer(m, "AT+VP", {{30, tagged_answer("vp")}});
    fake_modem_set_answer(m, "AT+BUS", {{30, tagged_answer("bus")}});
    terminal t;
    ASSERT_TRUE(terminal_open(t, share("gsm")));
    std::thread bus([&] {
        context_ptr ctx(ubus_connect(env.sock.c_str()));
        for (int i = 0; i < 10; i++) {
            reply_fields r = call_now(ctx.get(), env.tarnel_id, "sendat", sendat_args(port, "AT+BUS"));
            EXPECT_EQ(r.str("response"), "AT+BUS\r\n+TAG: bus\r\nOK\r\n");
        }
    });
    for (int i = 0; i < 10; i++)
        EXPECT_EQ(command(t, "AT+VP\r"), "AT+VP\r\r\n+TAG: vp\r\nOK\r\n");
    bus.join();
    // A LF alone ends a line too, and A/ runs this port's last line again.
    EXPECT_EQ(command(t, "AT+CSQ\n"), "AT+CSQ\n\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    EXPECT_EQ(command(t, "A/"), "A/\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
}

// An unsolicited line waits for the running answer to end, then comes on
// its own; the bus hears it once.
TEST_F(Vport, RingComesBetweenAnswers)
{
    event_listener events;
    ASSERT_TRUE(events.start(env));
    fake_modem_set_answer(m, "AT+SLOW", {{0, "+TAG: slow\r\n"}, {400, "OK\r\n"}});
    terminal t;
    ASSERT_TRUE(terminal_open(t, share("gsm")));
    ASSERT_TRUE(terminal_write(t, "AT+SLOW\r"));
    ASSERT_TRUE(fake_modem_wait_log_contains(m, "AT+SLOW\r", 5s));
    std::this_thread::sleep_for(100ms);
    fake_modem_inject(m, "RING\r\n");
    ASSERT_TRUE(terminal_wait(t, "RING\r\n")) << t.seen;
    EXPECT_EQ(terminal_drain(t), "AT+SLOW\r\r\n+TAG: slow\r\nOK\r\n\r\nRING\r\n");
    ASSERT_TRUE(events.wait_for("RING"));
    std::this_thread::sleep_for(200ms);
    int rings = 0;
    for (const std::string &line : events.lines())
        rings += line.find("\"RING\"") != std::string::npos;
    EXPECT_EQ(rings, 1);
}

// The port gives the "> " itself; the text goes to the modem at Ctrl-Z,
// and nothing goes when ESC cancels it.
TEST_F(Vport, TextMessageAtThePortsOwnPrompt)
{
    terminal t;
    ASSERT_TRUE(terminal_open(t, share("sms")));
    // The modem frames these answers as V.250 does: so does the port.
    EXPECT_EQ(command(t, "AT+CMGF=1\r"), "AT+CMGF=1\r\r\nOK\r\n");
    fake_modem_clear_log(m);
    EXPECT_EQ(command(t, "AT+CMGS=\"+15550100\"\r", "> "), "AT+CMGS=\"+15550100\"\r\r\n> ");
    EXPECT_EQ(fake_modem_log(m), "");
    EXPECT_EQ(command(t, "See you at 8\x1a"), "See you at 8\r\n+CMGS: 1\r\n\r\nOK\r\n");
    EXPECT_EQ(fake_modem_log(m), "AT+CMGS=\"+15550100\"\rSee you at 8\x1a");

    fake_modem_clear_log(m);
    EXPECT_EQ(command(t, "AT+CMGS=\"+15550100\"\r", "> "), "AT+CMGS=\"+15550100\"\r\r\n> ");
    EXPECT_EQ(command(t, "never\x1b"), "never\r\nOK\r\n");
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(fake_modem_log(m), "");
}

// Echo is each virtual port's own; settings that would change every
// caller's answers are refused without a byte sent.
TEST_F(Vport, EchoIsThePortsOwnAndSharedSettingsAreRefused)
{
    terminal quiet, other;
    ASSERT_TRUE(terminal_open(quiet, share("quiet")));
    ASSERT_TRUE(terminal_open(other, share("other")));
    fake_modem_clear_log(m);
    EXPECT_EQ(command(quiet, "ATE0\r"), "ATE0\r\r\nOK\r\n");
    EXPECT_EQ(command(quiet, "AT+CSQ\r"), "\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    EXPECT_EQ(command(quiet, "ATE1V0\r", "ERROR\r\n"), "\r\nERROR\r\n");
    EXPECT_EQ(command(other, "AT+CSQ\r"), "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    EXPECT_EQ(sendat(port, "\"at_cmd\":\"AT+CSQ\"").str("response"), "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    EXPECT_EQ(fake_modem_log(m).find("E0"), std::string::npos) << fake_modem_log(m);
    EXPECT_EQ(fake_modem_log(m).find("V0"), std::string::npos) << fake_modem_log(m);
    EXPECT_EQ(command(quiet, "ATE1\r"), "\r\nOK\r\n");
    EXPECT_EQ(command(quiet, "AT\r"), "AT\r\r\nOK\r\n");
}

// What one program left unread, and the answer of the command it left
// running, never reach the next program.
TEST_F(Vport, NextProgramReadsNothingOld)
{
    std::string link = share("gsm");
    fake_modem_set_answer(m, "AT+SLOW", {{500, tagged_answer("slow")}});
    {
        terminal first;
        ASSERT_TRUE(terminal_open(first, link));
        ASSERT_TRUE(terminal_write(first, "AT+CSQ\r"));
        ASSERT_TRUE(fake_modem_wait_log_contains(m, "AT+CSQ\r", 5s));
        std::this_thread::sleep_for(200ms); // its answer waits, unread
        ASSERT_TRUE(terminal_write(first, "AT+SLOW\r"));
        ASSERT_TRUE(fake_modem_wait_log_contains(m, "AT+SLOW\r", 5s));
    }
    std::this_thread::sleep_for(100ms);
    terminal next;
    ASSERT_TRUE(terminal_open(next, link));
    std::this_thread::sleep_for(800ms); // the slow answer has come meanwhile
    EXPECT_EQ(command(next, "ATI\r"), "ATI\r\r\nManufacturer: Tarnel\r\nModel: Simulated Modem\r\nRevision: "
                                      "1.0\r\nIMEI: 350000000000001\r\n\r\nOK\r\n");
}

// The virtual port is listed on its port, refused to "open", and goes with
// "unshare" or with its port's "close".
TEST_F(Vport, ListedRefusedAndRemoved)
{
    std::string link = share("gsm");
    std::string second = share("info");
    EXPECT_EQ(call("share", "{\"at_port\":" + json_str(port) + ",\"name\":\"gsm\"}").str("message"), "Name is in use");
    EXPECT_EQ(call("share", "{\"at_port\":" + json_str(port) + ",\"name\":\"a/b\"}").str("message"), "Invalid name");
    bus_reply list = tarnel_call(env, "list", "");
    EXPECT_NE(list.json.find("\"shared_as\":[" + json_str(link) + "," + json_str(second) + "]"), std::string::npos)
        << list.json;
    EXPECT_EQ(open_port(link).str("message"), "Failed to open port");
    EXPECT_EQ(sendat(link, "\"at_cmd\":\"AT\"").str("status"), "error");

    EXPECT_EQ(call("unshare", "{\"name\":\"info\"}").str("status"), "success");
    EXPECT_NE(access(link.c_str(), F_OK), -1);
    EXPECT_EQ(access(second.c_str(), F_OK), -1);
    ASSERT_EQ(call("close", "{\"at_port\":" + json_str(port) + "}").str("status"), "success");
    EXPECT_EQ(access(link.c_str(), F_OK), -1);
    EXPECT_EQ(tarnel_call(env, "list", "").json.find("shared_as"), std::string::npos);
}

// Another process holding the modem's port when it is opened is said and
// published, and listed on the port.
TEST_F(Vport, AnotherHolderOfThePortIsReported)
{
    ASSERT_EQ(call("close", "{\"at_port\":" + json_str(port) + "}").str("status"), "success");
    event_listener events;
    ASSERT_TRUE(events.start(env));
    std::string slave = fake_modem_slave_name(m);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        // Nothing of ours goes with it: not the simulated modem's master,
        // which would make it the device's other end.
        for (int fd = 3; fd < 1024; fd++)
            if (fd != ready[1])
                close(fd);
        if (open(slave.c_str(), O_RDWR | O_NOCTTY) < 0 || write(ready[1], "y", 1) != 1)
            _exit(1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    struct reaper {
        pid_t pid;
        ~reaper()
        {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    } reap{holder};
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    ASSERT_EQ(open_port(port).str("status"), "success");
    std::string pid = std::to_string(holder);
    EXPECT_TRUE(events.wait_for("\"reason\":\"other_user\",\"pid\":" + pid)) << child_stdout(events.cli);
    EXPECT_TRUE(
        child_wait_output(env.daemon, false, "Port " + port + " is also open in process " + pid + " (vport_test)"));
    EXPECT_NE(tarnel_call(env, "list", "").json.find("\"other_users\":[{\"pid\":" + pid + ",\"comm\":\"vport_test\"}]"),
              std::string::npos);
}

// The virtual port stays while its port vanishes and returns; meanwhile its
// commands get ERROR at once, and none of them opens anything.
TEST_F(Vport, OutlivesThePortsVanishing)
{
    terminal t;
    ASSERT_TRUE(terminal_open(t, share("gsm")));
    auto port_open = [&] { return tarnel_call(env, "list", "").json.find("\"is_open\":1") != std::string::npos; };
    ASSERT_EQ(fake_modem_unplug(m), 0);
    ASSERT_TRUE(wait_until([&] { return !port_open(); }));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(command(t, "AT+CSQ\r", "ERROR\r\n"), "AT+CSQ\r\r\nERROR\r\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    ASSERT_EQ(fake_modem_replug(m), 0);
    ASSERT_TRUE(wait_until(port_open));
    EXPECT_EQ(command(t, "AT+CSQ\r"), "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
}
