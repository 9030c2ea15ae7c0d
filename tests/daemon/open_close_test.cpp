// The methods "open" and "close" through the bus against simulated modems.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "tests/daemon/daemon_with_modem.h"
#include "tests/daemon/masked.h"
#include "tools/fakemodem/fake_modem.h"

using namespace std::chrono_literals;

class OpenClose : public DaemonWithModem
{
protected:
    std::string list() { return masked(tarnel_call(env, "list", "").json); }

    // Puts the line in cooked mode, so that the raw mode the daemon applies
    // is its own doing and not the simulated modem's.
    void cook_line()
    {
        int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        termios tio{};
        ASSERT_EQ(tcgetattr(fd, &tio), 0);
        tio.c_lflag |= ICANON | ECHO | ECHOE | ISIG;
        tio.c_iflag |= IXON | IXOFF | IXANY | ICRNL;
        tio.c_oflag |= OPOST;
        tio.c_cflag |= CSTOPB;
        tio.c_cflag &= ~CLOCAL;
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        cfsetspeed(&tio, B9600);
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
        close(fd);
    }

    termios line_settings()
    {
        termios tio{};
        int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(tcgetattr(fd, &tio), 0);
        close(fd);
        return tio;
    }
};

TEST_F(OpenClose, OpenWithDefaultsRepliesTheSettingsAndConfiguresTheLine)
{
    cook_line();
    bus_reply r = tarnel_call(env, "open", quoted_port(port));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.json, "{\"status\":\"success\",\"port\":\"" + port +
                          "\",\"baudrate\":115200,\"databits\":8,\"parity\":0,\"stopbits\":1}");
    termios tio = line_settings();
    EXPECT_EQ(cfgetospeed(&tio), B115200);
    EXPECT_EQ(cfgetispeed(&tio), B115200);
    EXPECT_FALSE(tio.c_cflag & CSTOPB);
    EXPECT_TRUE(tio.c_cflag & CREAD);
    EXPECT_TRUE(tio.c_cflag & CLOCAL);
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ECHOE | ISIG));
    EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL));
    EXPECT_FALSE(tio.c_oflag & OPOST);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 1);
}

TEST_F(OpenClose, ReopenAppliesNewSettings)
{
    ASSERT_EQ(tarnel_call(env, "open", quoted_port(port)).status, 0);
    bus_reply r = tarnel_call(
        env, "open", "{\"at_port\":\"" + port + "\",\"baudrate\":57600,\"databits\":7,\"parity\":2,\"stopbits\":2}");
    EXPECT_EQ(r.json, "{\"status\":\"success\",\"port\":\"" + port +
                          "\",\"baudrate\":57600,\"databits\":7,\"parity\":2,\"stopbits\":2}");
    // The pty driver forces 8 data bits without parity whatever is asked;
    // those two are checked on the computed attributes in the port tests.
    termios tio = line_settings();
    EXPECT_EQ(cfgetospeed(&tio), B57600);
    EXPECT_TRUE(tio.c_cflag & CSTOPB);

    tarnel_call(env, "open", "{\"at_port\":\"" + port + "\",\"baudrate\":9600,\"parity\":1}");
    tio = line_settings();
    EXPECT_EQ(cfgetospeed(&tio), B9600);
    EXPECT_FALSE(tio.c_cflag & CSTOPB);
    // Still one record for the path.
    EXPECT_EQ(list(), "{\"ports\":[{\"port\":\"" + port +
                          "\",\"is_open\":1,\"fd\":#,\"baudrate\":9600,\"databits\":8,\"parity\":1,\"stopbits\":1,"
                          "\"last_check\":#}]}");
}

TEST_F(OpenClose, UnsupportedSpeedIsEchoedButTheLineRunsAt115200)
{
    cook_line();
    bus_reply r = tarnel_call(
        env, "open", "{\"at_port\":\"" + port + "\",\"baudrate\":12345,\"databits\":9,\"parity\":3,\"stopbits\":0}");
    EXPECT_EQ(r.json, "{\"status\":\"success\",\"port\":\"" + port +
                          "\",\"baudrate\":12345,\"databits\":9,\"parity\":3,\"stopbits\":0}");
    termios tio = line_settings();
    EXPECT_EQ(cfgetospeed(&tio), B115200);
    EXPECT_FALSE(tio.c_cflag & CSTOPB);
    EXPECT_NE(list().find("\"baudrate\":12345"), std::string::npos);
}

// CPU time the process has used, in clock ticks.
static long cpu_ticks(int pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // utime and stime are the 12th and 13th fields after the command's ")".
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 0; i < 11; i++)
        fields >> skip;
    long utime = 0, stime = 0;
    fields >> utime >> stime;
    return utime + stime;
}

// Any caller of the bus names the path the daemon writes to: whatever is no
// modem port is refused before a byte goes out and leaves no record, also
// when a waiting record's node turns up as something else. /dev/zero once
// kept a port's thread reading it for ever.
TEST_F(OpenClose, OnlySerialPortsAreOpened)
{
    std::string missing = env_path(env, "ttyNONE");
    EXPECT_EQ(tarnel_call(env, "open", quoted_port(missing)).json,
              "{\"status\":\"error\",\"message\":\"Port file does not exist\"}");

    std::string file = env_path(env, "notatty"), fifo = env_path(env, "fifo");
    std::ofstream(file) << "";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string null_link = env_path(env, "ttyNULL"), zero_link = env_path(env, "ttyZERO");
    ASSERT_EQ(symlink("/dev/null", null_link.c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", zero_link.c_str()), 0);
    for (const std::string &path :
         {std::string("/dev/null"), std::string("/dev/zero"), null_link, zero_link, file, fifo, env.dir.path()}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(tarnel_call(env, "open", quoted_port(path)).json,
                  "{\"status\":\"error\",\"message\":\"Failed to open port\"}");
        bus_reply sent = tarnel_call(env, "sendat", "{\"at_port\":\"" + path + "\",\"at_cmd\":\"AT\",\"timeout\":1}");
        EXPECT_EQ(masked(sent.json), "{\"port\":\"" + path +
                                         "\",\"command\":\"AT\",\"is_raw\":0,\"sendonly\":0,\"timeout\":1,\"end_flag\":"
                                         "\"default\",\"end_flags_used\":[],\"status\":\"error\",\"message\":"
                                         "\"Failed to send AT command\",\"response_time_ms\":#}");
        std::string line = "Failed to open " + path + ": not a serial port\n";
        EXPECT_TRUE(child_wait_output(env.daemon, false, line + line));
        EXPECT_EQ(list(), "{\"ports\":[]}");
    }
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);

    // A pseudo-terminal, by its own name and through a link.
    std::string pts = fake_modem_slave_name(modem.get());
    EXPECT_NE(tarnel_call(env, "sendat", "{\"at_port\":\"" + pts + "\",\"at_cmd\":\"AT\"}").json.find("\"OK\""),
              std::string::npos);
    EXPECT_EQ(tarnel_call(env, "close", quoted_port(pts)).status, 0);
    EXPECT_EQ(tarnel_call(env, "open", quoted_port(port)).status, 0);
    EXPECT_EQ(tarnel_call(env, "close", quoted_port(port)).status, 0);

    // A record kept for a missing node, which comes back as /dev/zero.
    std::string later = env_path(env, "ttyUSB7");
    tarnel_call(env, "sendat", "{\"at_port\":\"" + later + "\",\"at_cmd\":\"AT\",\"timeout\":1}");
    ASSERT_EQ(symlink("/dev/zero", later.c_str()), 0);
    EXPECT_TRUE(child_wait_output(env.daemon, false,
                                  "Failed to open " + later + ": not a serial port\nFailed to reopen port " + later));
    EXPECT_EQ(list(),
              "{\"ports\":[{\"port\":\"" + later + "\",\"is_open\":0,\"file_status\":\"exists\",\"last_check\":#}]}");

    // Idle again: a quarter of one core is far above an idle daemon and far
    // below a thread reading /dev/zero, on any machine.
    const std::chrono::seconds window = 2s;
    long before = cpu_ticks(env.daemon.pid);
    std::this_thread::sleep_for(window);
    long used = cpu_ticks(env.daemon.pid) - before;
    EXPECT_LT(used, sysconf(_SC_CLK_TCK) * window.count() / 4);
}

// A process that holds a terminal as its session's controlling terminal,
// as a login or an SSH session holds theirs: a new session opens it without
// O_NOCTTY. Only calls safe between fork and exit run in the child.
struct session_on {
    pid_t pid = -1;

    explicit session_on(const std::string &terminal)
    {
        int ready[2];
        if (pipe(ready) != 0)
            return;
        const char *name = terminal.c_str();
        pid = fork();
        if (pid == 0) {
            if (setsid() < 0 || open(name, O_RDWR) < 0 || write(ready[1], "+", 1) != 1)
                _exit(1);
            pause();
            _exit(0);
        }
        close(ready[1]);
        char c;
        if (pid < 0 || read(ready[0], &c, 1) != 1)
            end();
        close(ready[0]);
    }
    ~session_on() { end(); }
    void end()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
};

// The terminal settings of a real console, put back whatever the test does.
struct console_keeper {
    int fd = open("/dev/console", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios saved{};
    bool kept = fd >= 0 && tcgetattr(fd, &saved) == 0;

    bool unchanged()
    {
        termios now{};
        return !kept || (tcgetattr(fd, &now) == 0 && memcmp(&now, &saved, sizeof now) == 0);
    }
    ~console_keeper()
    {
        if (kept && !unchanged())
            tcsetattr(fd, TCSANOW, &saved);
        if (fd >= 0)
            close(fd);
    }
};

// Terminals that are no modem's port: the consoles (a router's serial
// console would lose its shell's keystrokes to the daemon), /dev/ptmx (a new
// pseudo-terminal per open), and any terminal a session holds (its echo
// would go off and what is typed there, a password, would be published).
TEST_F(OpenClose, ConsolesAndSessionsTerminalsAreRefused)
{
    console_keeper console;
    std::string tty_link = env_path(env, "ttyCTL");
    ASSERT_EQ(symlink("/dev/tty", tty_link.c_str()), 0);
    auto refused = [&](const std::string &path, const char *why) {
        SCOPED_TRACE(path);
        EXPECT_EQ(tarnel_call(env, "open", quoted_port(path)).json,
                  "{\"status\":\"error\",\"message\":\"Failed to open port\"}");
        bus_reply sent = tarnel_call(env, "sendat", "{\"at_port\":\"" + path + "\",\"at_cmd\":\"AT\"}");
        EXPECT_NE(sent.json.find("\"message\":\"Failed to send AT command\""), std::string::npos) << sent.json;
        std::string line = "Failed to open " + path + ": " + why + "\n";
        EXPECT_TRUE(child_wait_output(env.daemon, false, line + line));
        EXPECT_EQ(list(), "{\"ports\":[]}");
    };
    for (const std::string &path : {std::string("/dev/console"), std::string("/dev/ptmx"), tty_link})
        refused(path, "not a serial port");
    EXPECT_TRUE(console.unchanged());

    std::string pts = fake_modem_slave_name(modem.get());
    {
        session_on login(pts);
        ASSERT_GT(login.pid, 0);
        refused(port, "in use as a controlling terminal");
        refused(pts, "in use as a controlling terminal");
    }
    // Nobody's any more: by its name and through a link.
    for (const std::string &path : {pts, port}) {
        bus_reply sent = tarnel_call(env, "sendat", "{\"at_port\":\"" + path + "\",\"at_cmd\":\"AT\"}");
        EXPECT_NE(sent.json.find("\"end_flag_matched\":\"OK\""), std::string::npos) << sent.json;
        EXPECT_EQ(tarnel_call(env, "close", quoted_port(path)).status, 0);
    }
}

// One device under a second path is refused, by "open" and by "sendat",
// and leaves no record: a record kept for it would take the device over
// once the first path is closed.
TEST_F(OpenClose, DeviceOpenUnderAnotherPathLeavesNoRecord)
{
    std::string dotted = env.dir.file("./ttyUSB2");
    ASSERT_EQ(tarnel_call(env, "open", quoted_port(port)).status, 0);
    std::string only_first =
        "{\"ports\":[{\"port\":\"" + port +
        "\",\"is_open\":1,\"fd\":#,\"baudrate\":115200,\"databits\":8,\"parity\":0,\"stopbits\":1,\"last_check\":#}]}";
    std::string line = "Failed to open " + dotted + ": device already open as " + port + "\n";

    bus_reply sent = tarnel_call(env, "sendat", "{\"at_port\":\"" + dotted + "\",\"at_cmd\":\"AT\"}");
    EXPECT_NE(sent.json.find("\"message\":\"Failed to send AT command\""), std::string::npos) << sent.json;
    EXPECT_TRUE(child_wait_output(env.daemon, false, line));
    EXPECT_EQ(list(), only_first);
    EXPECT_EQ(tarnel_call(env, "open", quoted_port(dotted)).json,
              "{\"status\":\"error\",\"message\":\"Failed to open port\"}");
    EXPECT_TRUE(child_wait_output(env.daemon, false, line + line));
    EXPECT_EQ(list(), only_first);

    EXPECT_EQ(tarnel_call(env, "close", quoted_port(port)).status, 0);
    EXPECT_EQ(list(), "{\"ports\":[]}");
}

// A device node that exists but cannot be opened, even by root: the slave of
// a pty whose master was never unlocked.
TEST_F(OpenClose, UnopenableDeviceLeavesNoRecord)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    std::string locked = env_path(env, "ttyLOCKED");
    ASSERT_EQ(symlink(ptsname(master), locked.c_str()), 0);
    EXPECT_EQ(tarnel_call(env, "open", quoted_port(locked)).json,
              "{\"status\":\"error\",\"message\":\"Failed to open port\"}");
    EXPECT_TRUE(child_wait_output(env.daemon, false, "Failed to open " + locked + ": "));
    EXPECT_EQ(list(), "{\"ports\":[]}");
    close(master);
}

TEST_F(OpenClose, ArgumentsThatCannotNameAPortAreRejected)
{
    EXPECT_EQ(tarnel_call(env, "open", "{}").status, UBUS_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(tarnel_call(env, "open", "{\"at_port\":5}").status, UBUS_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(tarnel_call(env, "close", "{}").status, UBUS_STATUS_INVALID_ARGUMENT);

    // 64 characters: too long to be a record's key, for every method.
    std::string long_path = "/tmp/" + std::string(59, 'x');
    ASSERT_EQ(long_path.size(), 64u);
    for (const char *method : {"open", "close"}) {
        bus_reply r = tarnel_call(env, method, quoted_port(long_path));
        EXPECT_EQ(r.status, UBUS_STATUS_INVALID_ARGUMENT) << method;
        EXPECT_EQ(r.json, "") << method;
    }
    bus_reply r = tarnel_call(env, "sendat", "{\"at_port\":\"" + long_path + "\",\"at_cmd\":\"AT\"}");
    EXPECT_EQ(r.status, UBUS_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(list(), "{\"ports\":[]}");

    // Wrongly typed settings count as absent and take their defaults.
    r = tarnel_call(env, "open", "{\"at_port\":\"" + port + "\",\"baudrate\":\"9600\",\"parity\":true}");
    EXPECT_EQ(r.json, "{\"status\":\"success\",\"port\":\"" + port +
                          "\",\"baudrate\":115200,\"databits\":8,\"parity\":0,\"stopbits\":1}");
}

// Keys outside the policy are ignored whatever their shape, including
// nested members with empty names, which are valid on the wire.
TEST_F(OpenClose, UnknownArgumentsOfAnyShapeAreIgnored)
{
    bus_reply r =
        tarnel_call(env, "open", "{\"extra\":{\"\":1,\"deep\":[[[[[[[[1]]]]]]]]},\"at_port\":\"" + port + "\"}");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.json, "{\"status\":\"success\",\"port\":\"" + port +
                          "\",\"baudrate\":115200,\"databits\":8,\"parity\":0,\"stopbits\":1}");
}

TEST_F(OpenClose, CloseRemovesTheRecordOnce)
{
    ASSERT_EQ(tarnel_call(env, "open", quoted_port(port)).status, 0);
    EXPECT_EQ(tarnel_call(env, "close", quoted_port(port)).json,
              "{\"status\":\"success\",\"port\":\"" + port + "\",\"message\":\"Port closed and removed\"}");
    EXPECT_EQ(tarnel_call(env, "close", quoted_port(port)).json,
              "{\"status\":\"error\",\"message\":\"Port not found\"}");
    EXPECT_EQ(list(), "{\"ports\":[]}");
}

TEST_F(OpenClose, VanishedDeviceKeepsItsRecordUntilClosed)
{
    ASSERT_EQ(tarnel_call(env, "open", quoted_port(port)).status, 0);
    ASSERT_EQ(fake_modem_unplug(modem.get()), 0);
    // Reopening fails, the existing record stays, closed.
    EXPECT_EQ(tarnel_call(env, "open", quoted_port(port)).json,
              "{\"status\":\"error\",\"message\":\"Failed to open port\"}");
    EXPECT_TRUE(child_wait_output(env.daemon, false, "Port file " + port + " does not exist\n"));
    EXPECT_EQ(list(),
              "{\"ports\":[{\"port\":\"" + port + "\",\"is_open\":0,\"file_status\":\"missing\",\"last_check\":#}]}");
    EXPECT_EQ(tarnel_call(env, "close", quoted_port(port)).json,
              "{\"status\":\"success\",\"port\":\"" + port + "\",\"message\":\"Port closed and removed\"}");
}

// Init commands: refused as sendat refuses an at_cmd, or beyond the limits,
// with nothing opened; shown by list; and sent again when the node comes
// back, before the call that was waiting for it.
TEST_F(OpenClose, InitCommandsAreCheckedAndRunAgainBeforeTheNextCall)
{
    const std::string head = "{\"at_port\":\"" + port + "\",\"init\":";
    std::string seventeen = "[";
    for (int i = 0; i < 17; i++)
        seventeen += std::string(i ? "," : "") + "\"AT\"";
    for (const auto &[init, message] : std::vector<std::pair<std::string, std::string>>{
             {"[\"AT+CMEE=2\",\"ATV0\"]", "Command not allowed on a shared port"},
             {"[\"\"]", "Invalid AT command"},
             {"[\"AT+" + std::string(254, 'X') + "\"]", "Invalid init commands"},
             {seventeen + "]", "Invalid init commands"},
             {"\"AT+CMEE=2\"", "Invalid init commands"},
         })
        EXPECT_EQ(tarnel_call(env, "open", head + init + "}").json,
                  "{\"status\":\"error\",\"message\":\"" + message + "\"}")
            << init;
    EXPECT_EQ(list(), "{\"ports\":[]}");

    for (const char *command : {"AT+CMEE=2", "AT+CNMI=2,1,0,0,0"})
        fake_modem_set_answer(modem.get(), command, {{0, "OK\r\n"}});
    ASSERT_EQ(tarnel_call(env, "open", head + "[\"AT+CMEE=2\",\"AT+CNMI=2,1,0,0,0\"]}").status, 0);
    ASSERT_TRUE(fake_modem_wait_log_contains(modem.get(), "AT+CNMI=2,1,0,0,0\r\n", 5s));
    EXPECT_EQ(list(), "{\"ports\":[{\"port\":\"" + port +
                          "\",\"is_open\":1,\"fd\":#,\"baudrate\":115200,\"databits\":8,\"parity\":0,\"stopbits\":1,"
                          "\"last_check\":#,\"init\":[\"AT+CMEE=2\",\"AT+CNMI=2,1,0,0,0\"]}]}");

    ASSERT_EQ(fake_modem_unplug(modem.get()), 0);
    ASSERT_TRUE(child_wait_output(env.daemon, false, "Port " + port + " no longer exists, marking as closed\n"));
    fake_modem_clear_log(modem.get());
    ASSERT_EQ(fake_modem_replug(modem.get()), 0);
    bus_reply r = tarnel_call(env, "sendat", "{\"at_port\":\"" + port + "\",\"at_cmd\":\"AT+CSQ\"}");
    EXPECT_NE(r.json.find("\"status\":\"success\""), std::string::npos) << r.json;
    EXPECT_EQ(fake_modem_log(modem.get()), "AT+CMEE=2\r\nAT+CNMI=2,1,0,0,0\r\nAT+CSQ\r\n");
}
