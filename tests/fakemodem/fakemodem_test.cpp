// The simulated modem seen from the daemon's side of the pty.
#include "tools/fakemodem/fake_modem.h"
#include "tools/fakemodem/fake_modem_messages.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

namespace
{

constexpr auto DEADLINE = 10s;

struct modem_dir : temp_dir {
    std::string link() const { return file("ttyUSB2"); }
};

// A client opens the port the way the daemon does.
struct client {
    int fd;
    explicit client(const std::string &path) : fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    ~client()
    {
        if (fd >= 0)
            close(fd);
    }
    void send(std::string_view bytes) { ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size())); }

    // Reads until the bytes hold `want` or the limit passes; an empty `want`
    // reads for the whole limit.
    std::string read_for(std::chrono::milliseconds limit) { return read_until({}, limit); }
    std::string read_until(std::string_view want, std::chrono::milliseconds limit = DEADLINE)
    {
        std::string got;
        auto end = steady::now() + limit;
        while ((want.empty() || got.find(want) == std::string::npos) && steady::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            char buf[4096];
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, size_t(n));
        }
        return got;
    }
};

size_t open_descriptors()
{
    size_t n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (readdir(d))
        ++n;
    closedir(d);
    return n;
}

struct FakeModem : testing::Test {
    modem_dir dir;
    fake_modem_ptr modem{fake_modem_create(dir.link())};
    void SetUp() override { ASSERT_TRUE(modem) << strerror(errno); }
};

TEST_F(FakeModem, AnswersFromTheTableWithEcho)
{
    client c(dir.link());
    ASSERT_GE(c.fd, 0);
    c.send("AT+CSQ\r\n");
    EXPECT_EQ(c.read_until("OK\r\n"), "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    c.send("AT+CPIN?\r"); // CR alone ends a command too
    EXPECT_EQ(c.read_until("OK\r\n"), "AT+CPIN?\r\r\n+CPIN: READY\r\n\r\nOK\r\n");
    c.send("at\r\nAT+NOPE\r\n"); // matching is case-sensitive
    EXPECT_EQ(c.read_until("AT+NOPE\r\r\nERROR\r\n"), "at\r\r\nERROR\r\nAT+NOPE\r\r\nERROR\r\n");

    fake_modem_set_echo(modem.get(), false);
    c.send("\r\nATI\r\n"); // an empty command gets no answer
    std::string ident = c.read_until("OK\r\n");
    EXPECT_EQ(ident.rfind("\r\nManufacturer: ", 0), 0u) << ident;
    EXPECT_EQ(ident.find("ATI"), std::string::npos) << ident;
}

TEST_F(FakeModem, ScriptedAnswerArrivesInItsChunks)
{
    client c(dir.link());
    fake_modem_set_echo(modem.get(), false);
    fake_modem_set_answer(modem.get(), "AT+SPLIT", {{0, "O"}, {60000, "K\r\n"}});
    c.send("AT+SPLIT\r\n");
    EXPECT_EQ(c.read_until("O"), "O");
    EXPECT_EQ(c.read_for(300ms), ""); // the second chunk is a minute away
}

TEST_F(FakeModem, ChunkDelaysAreKept)
{
    client c(dir.link());
    fake_modem_set_answer(modem.get(), "AT+SLOW", {{0, "+SLOW: 1\r\n"}, {300, "OK\r\n"}});
    auto sent = steady::now();
    c.send("AT+SLOW\r\n");
    EXPECT_EQ(c.read_until("OK\r\n"), "AT+SLOW\r\n+SLOW: 1\r\nOK\r\n");
    EXPECT_GE(steady::now() - sent, 300ms);
}

TEST_F(FakeModem, SilentCommandGetsOnlyItsEcho)
{
    client c(dir.link());
    fake_modem_set_answer(modem.get(), "AT+MUTE", {});
    c.send("AT+MUTE\r\n");
    c.send("AT\r\n");
    // Output is ordered: anything the silent command said would come first.
    EXPECT_EQ(c.read_until("OK\r\n"), "AT+MUTE\r\nAT\r\r\nOK\r\n");
}

// A script is sent as it is; its echo ends where the script's modem would
// end it: at the CR before a framed answer, with CR LF before an unframed one.
TEST_F(FakeModem, ScriptsEchoAsTheirModemFrames)
{
    client c(dir.link());
    fake_modem_set_answer(modem.get(), "AT+FRAMED", {{0, "\r\n+F: 1\r\n\r\nOK\r\n"}});
    fake_modem_set_answer(modem.get(), "AT+PLAIN", {{0, "+P: 1\r\nOK\r\n"}});
    c.send("AT+FRAMED\r\n");
    EXPECT_EQ(c.read_until("OK\r\n"), "AT+FRAMED\r\r\n+F: 1\r\n\r\nOK\r\n");
    c.send("AT+PLAIN\r\n");
    EXPECT_EQ(c.read_until("OK\r\n"), "AT+PLAIN\r\n+P: 1\r\nOK\r\n");
}

// Without framing the echo ends with CR LF and nothing goes before a line.
TEST(FakeModemUnframed, AnswersWithoutCrLfInFront)
{
    modem_dir dir;
    fake_modem_options options;
    options.framed = false;
    fake_modem_ptr modem{fake_modem_create(dir.link(), options)};
    ASSERT_TRUE(modem);
    client c(dir.link());
    c.send("AT+CSQ\r\nAT+NOPE\r\n");
    EXPECT_EQ(c.read_until("ERROR\r\n"), "AT+CSQ\r\n+CSQ: 20,99\r\nOK\r\nAT+NOPE\r\nERROR\r\n");
    c.send("AT+CMGL=\"ALL\"\r");
    EXPECT_EQ(c.read_until("OK\r\n"), "AT+CMGL=\"ALL\"\r\nOK\r\n");
}

TEST_F(FakeModem, InjectedBytesGoOutAsTheyAre)
{
    client c(dir.link());
    std::string noise("+CMTI: \"SM\",3\r\n\0\xff", 17);
    fake_modem_inject(modem.get(), noise);
    EXPECT_EQ(c.read_until(std::string_view("\xff", 1)), noise);
}

TEST_F(FakeModem, LogHoldsEveryByteReceived)
{
    client c(dir.link());
    std::string raw("AT\r\n\0\xffxyz", 9); // the tail has no CR: never a command
    c.send(raw);
    EXPECT_TRUE(fake_modem_wait_log(
        modem.get(), [&](const std::string &log) { return log == raw; }, DEADLINE))
        << fake_modem_log(modem.get());
    EXPECT_EQ(c.read_until("OK\r\n"), "AT\r\r\nOK\r\n");

    fake_modem_clear_log(modem.get());
    c.send("AT+CGMI\r\n");
    EXPECT_TRUE(fake_modem_wait_log_contains(modem.get(), "\r\n", DEADLINE));
    EXPECT_EQ(fake_modem_log(modem.get()), "AT+CGMI\r\n");
    EXPECT_FALSE(fake_modem_wait_log_contains(modem.get(), "never sent", 50ms));
}

// What a script watching the modem is told: each text sent with Ctrl-Z,
// with its command, never a cancelled one or a plain command.
TEST(FakeModemMessages, SentTextsAreToldWithTheirCommand)
{
    modem_dir dir;
    std::mutex lock;
    std::vector<std::string> told;
    fake_modem_options options;
    options.echo = false;
    options.on_message = [&](const std::string &command, const std::string &text) {
        std::lock_guard guard(lock);
        told.push_back(command + "|" + text);
    };
    fake_modem_ptr modem{fake_modem_create(dir.link(), options)};
    ASSERT_TRUE(modem);
    client c(dir.link());

    c.send("AT+CMGS=\"+15550100\"\r");
    EXPECT_EQ(c.read_until("> "), "\r\n> ");
    c.send("first\x1b");
    c.send("AT\r\nAT+CMGW=\"+15550101\"\r");
    EXPECT_EQ(c.read_until("> "), "\r\nOK\r\n\r\n> ");
    c.send("second, with\r\nlines\x1a");
    EXPECT_EQ(c.read_until("OK\r\n"), "\r\n+CMGW: 1\r\n\r\nOK\r\n");

    std::lock_guard guard(lock);
    EXPECT_EQ(told, std::vector<std::string>{"AT+CMGW=\"+15550101\"|second, with\r\nlines"});
}

// A moving signal walks in small steps within a usable range, and +CESQ
// follows it; the rest of the status answers stay put.
TEST(FakeModemStatus, MovingSignalWalksAndCesqFollows)
{
    modem_dir dir;
    fake_modem_options options;
    options.echo = false;
    options.moving_signal = true;
    fake_modem_ptr modem{fake_modem_create(dir.link(), options)};
    ASSERT_TRUE(modem);
    client c(dir.link());
    std::vector<int> seen;
    for (int i = 0; i < 40; i++) {
        c.send("AT+CSQ\rAT+CESQ\r");
        std::string answer;
        for (int reads = 0; reads < 2 && answer.find("OK", answer.find("+CESQ")) == std::string::npos; reads++)
            answer += c.read_until("OK\r\n");
        int rssi = -1, rsrq = -1, rsrp = -1;
        ASSERT_EQ(
            sscanf(answer.c_str(), "\r\n+CSQ: %d,99\r\n\r\nOK\r\n\r\n+CESQ: 99,99,255,255,%d,%d", &rssi, &rsrq, &rsrp),
            3)
            << answer;
        EXPECT_TRUE(rssi >= 6 && rssi <= 28) << rssi;
        EXPECT_TRUE(seen.empty() || std::abs(rssi - seen.back()) <= 2) << rssi;
        EXPECT_EQ(rsrq, rssi);
        EXPECT_EQ(rsrp, -113 + 2 * rssi - 22 + 141);
        seen.push_back(rssi);
    }
    EXPECT_GT(*std::max_element(seen.begin(), seen.end()), *std::min_element(seen.begin(), seen.end()));
    c.send("AT+CEREG?\rAT+CREG?\r");
    EXPECT_EQ(c.read_until("+CREG: 0,0\r\n\r\nOK\r\n"), "\r\n+CEREG: 0,1\r\n\r\nOK\r\n\r\n+CREG: 0,0\r\n\r\nOK\r\n");
}

TEST_F(FakeModem, UnplugAndReplugMoveOnlyTheLink)
{
    struct stat st;
    client before(dir.link());
    ASSERT_EQ(fake_modem_unplug(modem.get()), 0);
    EXPECT_EQ(lstat(dir.link().c_str(), &st), -1);
    EXPECT_EQ(client(dir.link()).fd, -1);
    before.send("AT\r\n"); // an open descriptor outlives the link
    EXPECT_EQ(before.read_until("OK\r\n"), "AT\r\r\nOK\r\n");

    ASSERT_EQ(fake_modem_replug(modem.get()), 0);
    ASSERT_EQ(fake_modem_replug(modem.get()), 0);
    char target[256] = {};
    ASSERT_GT(readlink(dir.link().c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(target, fake_modem_slave_name(modem.get()));
    client after(dir.link());
    after.send("AT\r\n");
    EXPECT_EQ(after.read_until("OK\r\n"), "AT\r\r\nOK\r\n");
}

TEST_F(FakeModem, HangupBreaksTheClient)
{
    client c(dir.link());
    fake_modem_hangup(modem.get());
    char byte;
    ssize_t n = read(c.fd, &byte, 1);
    // A hung-up tty reads end of file (never EAGAIN again) and refuses writes.
    EXPECT_TRUE(n == 0 || (n < 0 && errno != EAGAIN)) << n << " " << strerror(errno);
    EXPECT_EQ(write(c.fd, "AT\r\n", 4), -1);
    EXPECT_EQ(errno, EIO);
    struct stat st;
    EXPECT_EQ(stat(dir.link().c_str(), &st), -1); // the slave node is gone
    fake_modem_hangup(modem.get());
}

TEST_F(FakeModem, FloodThenQuiet)
{
    client c(dir.link());
    fake_modem_flood(modem.get(), true);
    std::string seen;
    auto end = steady::now() + DEADLINE;
    while ((seen.size() < 65536 || seen.find('\0') == std::string::npos || seen.find('\xff') == std::string::npos) &&
           steady::now() < end)
        seen += c.read_for(20ms);
    EXPECT_GE(seen.size(), 65536u);
    fake_modem_flood(modem.get(), false);
    fake_modem_set_echo(modem.get(), false);
    c.send("AT+CSQ\r\n");
    EXPECT_NE(c.read_until("+CSQ: 20,99\r\n\r\nOK\r\n").find("\r\n+CSQ: 20,99\r\n\r\nOK\r\n"), std::string::npos);
    EXPECT_EQ(c.read_for(200ms), "");
}

TEST(FakeModemLink, ReplacesSymlinksOnlyAndCleansUp)
{
    modem_dir dir;
    size_t descriptors = open_descriptors();
    ASSERT_EQ(symlink("/nonexistent/ttyUSB9", dir.link().c_str()), 0);
    fake_modem *modem = fake_modem_create(dir.link());
    ASSERT_TRUE(modem);
    std::string slave = fake_modem_slave_name(modem);
    fake_modem_destroy(modem);
    struct stat st;
    EXPECT_EQ(lstat(dir.link().c_str(), &st), -1);
    EXPECT_EQ(open_descriptors(), descriptors);

    int fd = open(dir.link().c_str(), O_CREAT | O_WRONLY, 0600);
    close(fd);
    EXPECT_EQ(fake_modem_create(dir.link()), nullptr);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(lstat(dir.link().c_str(), &st), 0); // a real file is left alone
    EXPECT_EQ(open_descriptors(), descriptors);
}

TEST(FakeModemLink, LeavesAForeignLinkInPlace)
{
    modem_dir dir;
    fake_modem_ptr modem{fake_modem_create(dir.link())};
    ASSERT_TRUE(modem);
    unlink(dir.link().c_str());
    ASSERT_EQ(symlink("/dev/null", dir.link().c_str()), 0);
    modem.reset();
    char target[64] = {};
    ASSERT_GT(readlink(dir.link().c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/dev/null");
}

// A modem that replaces a hung-up one at the same path may be given the
// same slave name; destroying the old one must leave the new link alone.
TEST(FakeModemLink, ASuccessorsLinkWithTheSameTargetIsNotOurs)
{
    modem_dir dir;
    fake_modem_ptr old_modem{fake_modem_create(dir.link())};
    ASSERT_TRUE(old_modem);
    std::string slave = fake_modem_slave_name(old_modem.get());
    // Stands in for a successor that got the same name.
    unlink(dir.link().c_str());
    ASSERT_EQ(symlink(slave.c_str(), dir.link().c_str()), 0);
    old_modem.reset();
    struct stat st;
    EXPECT_EQ(lstat(dir.link().c_str(), &st), 0);
}

} // namespace

// Each time stamp of a received message ("26/12/09,02:30:00+00") becomes
// "yy/MM/dd,hh:mm:ss+00"; anything else in its place is left as it is.
std::string stamps_masked(std::string text)
{
    const std::string shape = "00/00/00,00:00:00+00";
    for (size_t at = text.find(",,\""); at != std::string::npos; at = text.find(",,\"", at + 1)) {
        std::string_view stamp = std::string_view(text).substr(at + 3, shape.size());
        bool fits = stamp.size() == shape.size();
        for (size_t i = 0; fits && i < shape.size(); i++)
            fits = shape[i] == '0' ? isdigit(static_cast<unsigned char>(stamp[i])) : stamp[i] == shape[i];
        if (fits)
            text.replace(at + 3, shape.size(), "yy/MM/dd,hh:mm:ss+00");
    }
    return text;
}

// The message store as a script reading messages sees it: an arriving
// message is announced and listed unread, reading marks it read, what
// AT+CMGS sent is kept as sent, deleting empties the index; every answer
// framed as a modem in verbose mode frames it.
TEST(FakeModemMessages, StoreAnswersTheReadingCommands)
{
    modem_dir dir;
    fake_modem_options options;
    options.echo = false;
    fake_modem_ptr modem{fake_modem_create(dir.link(), options)};
    ASSERT_TRUE(modem);
    client c(dir.link());

    EXPECT_EQ(fake_modem_receive_message(modem.get(), "+15550123", "See you at 8"), 1);
    EXPECT_EQ(c.read_until("\r\n+CMTI: \"SM\",1\r\n"), "\r\n+CMTI: \"SM\",1\r\n");
    c.send("AT+CMGS=\"+15550100\"\r");
    EXPECT_EQ(c.read_until("> "), "\r\n> ");
    c.send("Hello\x1a");
    EXPECT_EQ(c.read_until("OK\r\n"), "\r\n+CMGS: 1\r\n\r\nOK\r\n");

    c.send("AT+CMGL=\"ALL\"\r");
    EXPECT_EQ(stamps_masked(c.read_until("\r\nOK\r\n")),
              "\r\n+CMGL: 1,\"REC UNREAD\",\"+15550123\",,\"yy/MM/dd,hh:mm:ss+00\"\r\nSee you at 8\r\n"
              "+CMGL: 2,\"STO SENT\",\"+15550100\",\r\nHello\r\n\r\nOK\r\n");
    c.send("AT+CMGR=1\r");
    EXPECT_EQ(stamps_masked(c.read_until("\r\nOK\r\n")),
              "\r\n+CMGR: \"REC READ\",\"+15550123\",,\"yy/MM/dd,hh:mm:ss+00\"\r\nSee you at 8\r\n\r\nOK\r\n");
    c.send("AT+CMGL\r"); // the unread ones: none left
    EXPECT_EQ(c.read_until("OK\r\n"), "\r\nOK\r\n");
    c.send("AT+CMGD=1\rAT+CMGR=1\r");
    EXPECT_EQ(c.read_until("321\r\n"), "\r\nOK\r\n\r\n+CMS ERROR: 321\r\n");
    c.send("AT+CMGF=0\rAT+CMGL=4\rAT+CMGF?\r");
    // In PDU mode the message stored as text is listed as the SMS-SUBMIT
    // it stands for: no SMSC, to +15550100, "Hello" in 7-bit.
    EXPECT_EQ(c.read_until("+CMGF: 0\r\n\r\nOK\r\n"),
              "\r\nOK\r\n\r\n+CMGL: 2,3,,16\r\n000100089151551000000005C8329BFD06\r\n\r\nOK\r\n"
              "\r\n+CMGF: 0\r\n\r\nOK\r\n");
}

// Random messages arriving, written, read and deleted, against a plain model
// of the store: index -> status, lowest free index first, 30 at most.
TEST(FakeModemMessages, StoreFollowsAModel)
{
    std::mt19937 random(29);
    fake_modem_store store;
    std::map<int, std::string> model;
    const std::vector<std::string> deleted_by_flag[] = {{},
                                                        {"REC READ"},
                                                        {"REC READ", "STO SENT"},
                                                        {"REC READ", "STO SENT", "STO UNSENT"},
                                                        {"REC READ", "STO SENT", "STO UNSENT", "REC UNREAD"}};
    auto lowest_free = [&] {
        for (int i = 1; i <= FAKE_MODEM_STORE_SLOTS; i++)
            if (!model.count(i))
                return i;
        return 0;
    };
    auto occurrences = [](const std::string &text, const std::string &what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            n++;
        return n;
    };
    std::string answer;
    for (int step = 0; step < 3000; step++) {
        SCOPED_TRACE("step " + std::to_string(step));
        int index = int(random() % (FAKE_MODEM_STORE_SLOTS + 2));
        switch (random() % 5) {
        case 0: {
            bool sent = random() % 2;
            int want = lowest_free();
            ASSERT_EQ(fake_modem_store_written(store, sent ? "AT+CMGS=\"+1555\"" : "AT+CMGW=\"+1555\"", "t"), want);
            if (want)
                model[want] = sent ? "STO SENT" : "STO UNSENT";
            break;
        }
        case 1: {
            int want = lowest_free();
            ASSERT_EQ(fake_modem_store_add(store, {"REC UNREAD", "+1555", "26/01/01,00:00:00+00", "t"}), want);
            if (want)
                model[want] = "REC UNREAD";
            break;
        }
        case 2:
            ASSERT_TRUE(fake_modem_store_answer(store, "AT+CMGR=" + std::to_string(index), &answer));
            ASSERT_EQ(answer.ends_with("\r\nOK\r\n"), model.count(index) == 1) << answer;
            if (model.count(index) && model[index] == "REC UNREAD")
                model[index] = "REC READ";
            break;
        case 3: {
            int flag = int(random() % 5);
            std::string command = "AT+CMGD=" + std::to_string(index) + (flag ? "," + std::to_string(flag) : "");
            ASSERT_TRUE(fake_modem_store_answer(store, command, &answer));
            ASSERT_EQ(answer, "OK\r\n"); // plain: the modem frames it
            if (flag == 0)
                model.erase(index);
            std::erase_if(model, [&](const auto &m) {
                const auto &gone = deleted_by_flag[flag];
                return std::find(gone.begin(), gone.end(), m.second) != gone.end();
            });
            break;
        }
        case 4: {
            bool all = random() % 2;
            ASSERT_TRUE(fake_modem_store_answer(store, all ? "AT+CMGL=\"ALL\"" : "AT+CMGL", &answer));
            size_t unread = size_t(
                std::count_if(model.begin(), model.end(), [](const auto &m) { return m.second == "REC UNREAD"; }));
            ASSERT_EQ(occurrences(answer, "+CMGL: "), all ? model.size() : unread) << answer;
            for (auto &[i, stat] : model)
                if (stat == "REC UNREAD")
                    stat = "REC READ";
            break;
        }
        }
        std::map<int, std::string> stored;
        for (auto &[i, m] : store.messages)
            stored[i] = m.stat;
        ASSERT_EQ(stored, model);
    }
}

// A locked SIM: network queries fail with SIM PIN required, wrong PINs
// count down to a blocked SIM, the PUK sets a new PIN; a query made to
// fail answers plain ERROR that many times, then as before.
TEST(FakeModemSim, PinCountsDownToPukAndFailuresRunOut)
{
    modem_dir dir;
    fake_modem_options options;
    options.echo = false;
    options.framed = false; // the SIM's words, without the framing around them
    options.sim_pin = "2468";
    fake_modem_ptr modem{fake_modem_create(dir.link(), options)};
    ASSERT_TRUE(modem);
    client c(dir.link());
    auto ask = [&c](const std::string &command) {
        c.send(command + "\r");
        return c.read_until("\r\n");
    };
    c.send("AT+CPIN?\r");
    EXPECT_EQ(c.read_until("OK\r\n"), "+CPIN: SIM PIN\r\nOK\r\n");
    EXPECT_EQ(ask("AT+COPS?"), "+CME ERROR: 11\r\n");
    EXPECT_EQ(ask("AT+CPIN=\"1111\""), "+CME ERROR: 16\r\n");
    c.send("AT+CPINR\r");
    EXPECT_EQ(c.read_until("OK\r\n"), "+CPINR: SIM PIN,2,3\r\n+CPINR: SIM PUK,10,10\r\nOK\r\n");
    EXPECT_EQ(ask("AT+CPIN=\"1112\""), "+CME ERROR: 16\r\n");
    EXPECT_EQ(ask("AT+CPIN=\"2469\""), "+CME ERROR: 16\r\n");
    c.send("AT+CPIN?\r");
    EXPECT_EQ(c.read_until("OK\r\n"), "+CPIN: SIM PUK\r\nOK\r\n");
    EXPECT_EQ(ask("AT+CPIN=\"2468\""), "+CME ERROR: 12\r\n"); // the old PIN no longer helps
    EXPECT_EQ(ask("AT+CPIN=\"12345678\",\"9999\""), "OK\r\n");
    c.send("AT+CPIN?\rAT+COPS?\r");
    EXPECT_EQ(c.read_until("7\r\nOK\r\n"), "+CPIN: READY\r\nOK\r\n+COPS: 0,0,\"Tarnel Mobile\",7\r\nOK\r\n");

    fake_modem_fail_next(modem.get(), "AT+CSQ", 2);
    EXPECT_EQ(ask("AT+CSQ"), "ERROR\r\n");
    EXPECT_EQ(ask("AT+CSQ"), "ERROR\r\n");
    c.send("AT+CSQ\r");
    EXPECT_EQ(c.read_until("OK\r\n"), "+CSQ: 20,99\r\nOK\r\n");
}
