#include "client/uci_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace
{

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string show_quote(const std::string &v)
{
    std::string out = "'";
    for (char c : v)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// What the router's "uci show CONFIG" prints for these sections, entries in
// file order (our sections keep options and lists apart; their lines put
// them back in order).
std::string show(const std::string &config, const std::vector<uci_section> &sections)
{
    std::string out;
    std::vector<std::pair<std::string, int>> seen; // anonymous sections of each type so far
    for (const auto &s : sections) {
        std::string id = s.name;
        if (id.empty()) {
            auto it = std::find_if(seen.begin(), seen.end(), [&](auto &p) { return p.first == s.type; });
            if (it == seen.end())
                it = seen.insert(seen.end(), {s.type, 0});
            id = "@" + s.type + "[" + std::to_string(it->second++) + "]";
        }
        out += config + "." + id + "=" + s.type + "\n";
        std::vector<std::pair<int, std::string>> entries;
        for (const auto &o : s.options)
            entries.push_back({o.line, config + "." + id + "." + o.name + "=" + show_quote(o.value)});
        for (const auto &l : s.lists) {
            std::string line = config + "." + id + "." + l.name + "=";
            for (size_t i = 0; i < l.values.size(); i++)
                line += (i ? " " : "") + show_quote(l.values[i]);
            entries.push_back({l.line, line});
        }
        std::sort(entries.begin(), entries.end());
        for (const auto &e : entries)
            out += e.second + "\n";
    }
    return out;
}

std::vector<uci_section> parse_ok(const std::string &text)
{
    std::vector<uci_section> sections;
    uci_error e;
    EXPECT_TRUE(uci_parse(text, sections, e)) << e.line << ": " << e.message;
    return sections;
}

uci_error parse_error(const std::string &text)
{
    std::vector<uci_section> sections{{}};
    uci_error e;
    EXPECT_FALSE(uci_parse(text, sections, e)) << text;
    EXPECT_TRUE(sections.empty());
    return e;
}

uci_error ports_error(const std::string &text)
{
    std::vector<port_config> ports;
    uci_error e;
    EXPECT_FALSE(uci_ports(parse_ok(text), ports, e)) << text;
    return e;
}

} // namespace

// The file the router's tool wrote reads as the tool itself shows it.
TEST(UciFile, ToolWrittenFileReadsAsTheToolShowsIt)
{
    std::vector<uci_section> sections;
    uci_error e;
    ASSERT_TRUE(uci_load(UCI_DATA_DIR "/tarnel.sample", sections, e)) << e.message;
    EXPECT_EQ(show("tarnel", sections), slurp(UCI_DATA_DIR "/tarnel.show"));
}

// Hand edits: double quotes with escapes, bare words, pieces run together,
// comments, spaces, CR LF, a repeated option, a value over two lines.
TEST(UciFile, HandEditedFormsReadAsTheToolsOwn)
{
    auto sections = parse_ok("# ports\r\n"
                             "config port\r\n"
                             "  option device usb:2c7c:0125:02   # the modem\r\n"
                             "  option baudrate 9600\r\n"
                             "  option baudrate \"115200\"\r\n"
                             "  list init \"AT+CMEE=2\"\r\n"
                             "\tlist  init\tAT+CNMI=2,1,0,0,0\r\n"
                             "config port gps\n"
                             "    option note \"it's \\\"quoted\\\"\"\n"
                             "    option pieces 'a b'\"c\\\\\"d\\'e\n"
                             "    option text 'one\n"
                             "two'\n"
                             "    option after ''\n");
    ASSERT_EQ(sections.size(), 2u);
    EXPECT_EQ(show("tarnel", sections), "tarnel.@port[0]=port\n"
                                        "tarnel.@port[0].device='usb:2c7c:0125:02'\n"
                                        "tarnel.@port[0].baudrate='115200'\n"
                                        "tarnel.@port[0].init='AT+CMEE=2' 'AT+CNMI=2,1,0,0,0'\n"
                                        "tarnel.gps=port\n"
                                        "tarnel.gps.note='it'\\''s \"quoted\"'\n"
                                        "tarnel.gps.pieces='a bc\\d'\\''e'\n"
                                        "tarnel.gps.text='one\ntwo'\n"
                                        "tarnel.gps.after=''\n");
    EXPECT_EQ(sections[1].line, 8);
    EXPECT_EQ(uci_find_option(sections[1], "after")->line, 13);
}

TEST(UciFile, MalformedLinesFailWithTheirNumber)
{
    struct {
        const char *text;
        int line;
        const char *says;
    } cases[] = {
        {"\nconfig port\n\toption device '/dev/ttyUSB2\n\tlist init 'AT'\n", 4, "unterminated single quote"},
        {"config port\n\toption device \"/dev/tty\\\"\n", 2, "unterminated double quote"},
        {"\n\toption device '/dev/ttyUSB2'\n", 2, "before any config"},
        {"config port\n\toption device /dev/tty USB2\n", 2, "more than one value"},
        {"config port\n\toption device\n", 2, "without a value"},
        {"config port\n\toptoin device x\n", 2, "expected config, option or list"},
        {"config port modem extra\n", 1, "at most a name"},
        {"config port 'my modem'\n", 1, "bad section name"},
        {"config port\n\toption device x\\\n\toption baudrate 1\n", 2, "backslash at the end"},
        {"config port\n\tlist init AT\n\toption init ATI\n", 3, "is a list (line 2) and an option"},
    };
    for (const auto &c : cases) {
        uci_error e = parse_error(c.text);
        EXPECT_EQ(e.line, c.line) << c.text;
        EXPECT_NE(e.message.find(c.says), std::string::npos) << c.text << " -> " << e.message;
    }
    EXPECT_EQ(uci_error_text({4, "unterminated single quote"}, "/etc/config/tarnel"),
              "/etc/config/tarnel:4: unterminated single quote");
}

TEST(UciPorts, ToolWrittenFileGivesItsPortsWithDefaults)
{
    std::vector<uci_section> sections;
    std::vector<port_config> ports;
    uci_error e;
    ASSERT_TRUE(uci_load(UCI_DATA_DIR "/tarnel.sample", sections, e)) << e.message;
    sections.insert(sections.begin(), uci_section{"other", "x", 1, {{"device", "/dev/null", 1}}, {}});
    ASSERT_TRUE(uci_ports(sections, ports, e)) << e.message;
    ASSERT_EQ(ports.size(), 2u);

    const port_config &modem = ports[0];
    EXPECT_EQ(modem.section, "@port[0]");
    EXPECT_EQ(modem.device, "usb:2c7c:0125:02");
    EXPECT_EQ(modem.baudrate, 115200);
    EXPECT_EQ(modem.databits, 8);
    EXPECT_EQ(modem.parity, 0);
    EXPECT_EQ(modem.stopbits, 1);
    EXPECT_EQ(modem.init, (std::vector<std::string>{"AT+CMEE=2", "AT+CNMI=2,1,0,0,0"}));
    EXPECT_EQ(modem.unsolicited, (std::vector<std::string>{"+QIND:"}));
    EXPECT_EQ(modem.share, (std::vector<std::string>{"sms", "info"}));
    EXPECT_EQ(modem.share_group, "dialout");
    EXPECT_TRUE(modem.enabled);

    const port_config &gps = ports[1];
    EXPECT_EQ(gps.section, "gps");
    EXPECT_EQ(gps.device, "/dev/ttyUSB1");
    EXPECT_FALSE(gps.enabled);
    EXPECT_EQ(gps.init, (std::vector<std::string>{"AT+QGPS=1"}));
    EXPECT_TRUE(gps.share.empty());
    EXPECT_EQ(gps.share_group, "");

    ASSERT_TRUE(uci_ports(parse_ok("config port\n option device /dev/ttyS1\n option parity even\n option stopbits 2\n"
                                   " option databits 7\n option baudrate 921600\n option init ATI\n"
                                   " option enabled off\n"),
                          ports, e))
        << e.message;
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].parity, 2);
    EXPECT_EQ(ports[0].stopbits, 2);
    EXPECT_EQ(ports[0].databits, 7);
    EXPECT_EQ(ports[0].baudrate, 921600);
    EXPECT_EQ(ports[0].init, (std::vector<std::string>{"ATI"}));
    EXPECT_FALSE(ports[0].enabled);
}

TEST(UciPorts, BadValuesFailNamingLineAndValue)
{
    struct {
        const char *text;
        int line;
        const char *says;
    } cases[] = {
        {"config port\n\toption device /dev/ttyUSB2\n\toption parity 'mark'\n", 3,
         "port @port[0]: parity 'mark' is not none, odd or even"},
        {"config port modem\n\toption device /dev/ttyUSB2\n\toption baudrate 'fast'\n", 3,
         "port modem: baudrate 'fast' is not one of 9600,"},
        {"config port\n\toption device /dev/ttyUSB2\n\toption baudrate 115201\n", 3, "baudrate '115201'"},
        {"config port\n\toption device /dev/ttyUSB2\n\toption databits 9\n", 3, "databits '9'"},
        {"config port\n\toption device /dev/ttyUSB2\n\toption stopbits ' 1'\n", 3, "stopbits ' 1'"},
        {"config port\n\toption device /dev/ttyUSB2\n\toption enabled maybe\n", 3, "enabled 'maybe'"},
        {"config port\n\toption baudrate 9600\n", 1, "no device"},
        {"config port\n\toption device ttyUSB2\n", 2, "neither an absolute path"},
        {"config port\n\toption device usb:2c7c:125:02\n", 2, "not usb:VID:PID"},
        {"config port\n\toption device usb:2c7c:0125::02\n", 2, "not usb:VID:PID"},
        {"config port\n\tlist device /dev/ttyUSB2\n", 2, "device takes one value"},
        {"config port a\n\toption device /dev/ttyUSB2\nconfig port b\n\toption device /dev/ttyUSB2\n", 3,
         "port b: device '/dev/ttyUSB2' is also port a's (line 1)"},
    };
    for (const auto &c : cases) {
        uci_error e = ports_error(c.text);
        EXPECT_EQ(e.line, c.line) << c.text;
        EXPECT_NE(e.message.find(c.says), std::string::npos) << c.text << " -> " << e.message;
    }
    std::vector<port_config> ports;
    uci_error e;
    EXPECT_TRUE(uci_ports(parse_ok("config port\n option device usb:2c7c:0125:SER:IAL:3\n"), ports, e)) << e.message;
}

// The configuration the package installs reads as empty, and its example,
// once uncommented, is a valid port.
TEST(UciPorts, ShippedConfigurationAndItsExample)
{
    std::string shipped = slurp(SHIPPED_CONFIG);
    ASSERT_FALSE(shipped.empty());
    EXPECT_TRUE(parse_ok(shipped).empty());

    std::istringstream in(shipped);
    std::string line, example;
    while (std::getline(in, line))
        example += (line.starts_with("#config ") || line.starts_with("#\t") ? line.substr(1) : line) + "\n";
    std::vector<port_config> ports;
    uci_error e;
    ASSERT_TRUE(uci_ports(parse_ok(example), ports, e)) << e.message;
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_FALSE(ports[0].device.empty());
    EXPECT_FALSE(ports[0].init.empty());
    EXPECT_FALSE(ports[0].share.empty());
}
