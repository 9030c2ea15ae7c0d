// End-flag parsing and matching, and strict hex decoding.
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/port/port_test_util.h"

static std::vector<std::string> flags_of(const char *spec)
{
    end_flag_list list;
    end_flags_set(&list, spec);
    return std::vector<std::string>(list.flags, list.flags + list.count);
}

static const std::vector<std::string> DEFAULTS = {"OK", "ERROR", "+CMS ERROR:", "+CME ERROR:", "NO CARRIER"};

TEST(EndFlags, ParsingTrimsSplitsAndFallsBackToDefaults)
{
    EXPECT_EQ(flags_of("OK"), std::vector<std::string>({"OK"}));
    EXPECT_EQ(flags_of(" OK , ERROR "), std::vector<std::string>({"OK", "ERROR"}));
    EXPECT_EQ(flags_of("\tA\t,,B"), std::vector<std::string>({"A", "B"}));
    EXPECT_EQ(flags_of("A,B,C,D,E,F,G"), std::vector<std::string>({"A", "B", "C", "D", "E"}));
    EXPECT_EQ(flags_of(" , ,A, ,B"), std::vector<std::string>({"A", "B"}));
    EXPECT_EQ(flags_of(nullptr), DEFAULTS);
    EXPECT_EQ(flags_of(""), DEFAULTS);
    EXPECT_EQ(flags_of(",,,"), DEFAULTS);
    EXPECT_EQ(flags_of(" , "), DEFAULTS);
}

TEST(EndFlags, LongFieldsAndSpecsAreTruncated)
{
    std::string field(100, 'F');
    EXPECT_EQ(flags_of(field.c_str()), std::vector<std::string>({std::string(63, 'F')}));

    // The whole text is split: neither a long first field nor a run of
    // empty ones hides the flags behind them.
    std::string spec = std::string(510, ',') + "XY";
    EXPECT_EQ(flags_of(spec.c_str()), std::vector<std::string>({"XY"}));
    spec = std::string(600, 'F') + ", OK ,+CSQ:";
    EXPECT_EQ(flags_of(spec.c_str()), std::vector<std::string>({std::string(63, 'F'), "OK", "+CSQ:"}));
}

static std::string match(const char *spec, const std::string &line)
{
    end_flag_list list;
    end_flags_set(&list, spec);
    char matched[END_FLAG_SIZE] = "unset";
    bool hit = end_flag_match(&list, line.c_str(), matched);
    return hit ? matched : "";
}

// Final result codes match only the whole line they are; other flags match
// a line that contains them. The first flag of the list that matches wins.
TEST(EndFlags, FinalResultsAreWholeLinesOtherFlagsAreContained)
{
    EXPECT_EQ(match(nullptr, "OK"), "OK");
    EXPECT_EQ(match(nullptr, " OK\t\r"), "OK");
    EXPECT_EQ(match(nullptr, "BOOK"), "");
    EXPECT_EQ(match(nullptr, "OK, see you at 5"), "");
    EXPECT_EQ(match(nullptr, "ok"), "");
    EXPECT_EQ(match(nullptr, "+CME ERROR: 10"), "ERROR");
    EXPECT_EQ(match(nullptr, "+CMS ERROR: 500"), "ERROR");
    EXPECT_EQ(match(nullptr, "+CPIN: ERROR"), "");
    EXPECT_EQ(match(nullptr, "NO CARRIER"), "NO CARRIER");
    EXPECT_EQ(match(nullptr, "+CSQ: 20,99"), "");
    EXPECT_EQ(match("+CME ERROR:,ERROR", "+CME ERROR: 10"), "+CME ERROR:");
    EXPECT_EQ(match("READY,ERROR", "+CPIN: READY"), "READY");
    EXPECT_EQ(match("READY,ERROR", "+CME ERROR: 10"), "ERROR");
    EXPECT_EQ(match("BUSY,NO ANSWER,CONNECT", "CONNECT 115200"), "CONNECT");
    EXPECT_EQ(match("BUSY,NO ANSWER,CONNECT", "CONNECTED"), "");
    EXPECT_EQ(match("BUSY,NO ANSWER,CONNECT", "NO ANSWER"), "NO ANSWER");
    EXPECT_EQ(match("+CMGS:", "+CMGS: 12"), "+CMGS:");
    EXPECT_EQ(match("X,Y", " \t\r\n"), "");
}

TEST(EndFlags, OnlyTheFirst1023CharactersOfALineAreSearched)
{
    std::string line(1019, 'x');
    EXPECT_EQ(match("READY", line + "READY"), "");
    EXPECT_EQ(match("READY", line.substr(1) + "READY"), "READY");
    EXPECT_EQ(match(nullptr, std::string(2000, ' ') + "OK"), "OK");
}

static bool decodes_to(const char *text, const std::string &expected)
{
    size_t length = 99;
    char *bytes = hex_decode(text, &length);
    if (!bytes)
        return false;
    bool same = std::string(bytes, length) == expected && bytes[length] == '\0';
    free(bytes);
    return same;
}

TEST(HexDecode, AcceptsPairsOfHexDigitsIncludingZeroBytes)
{
    EXPECT_TRUE(decodes_to("41540D0A", "AT\r\n"));
    EXPECT_TRUE(decodes_to("41540d0a", "AT\r\n"));
    EXPECT_TRUE(decodes_to("410042", std::string("A\0B", 3)));
    EXPECT_TRUE(decodes_to("00", std::string(1, '\0')));
    EXPECT_TRUE(decodes_to("ff", "\xff"));
    EXPECT_TRUE(decodes_to("", ""));
}

TEST(HexDecode, RejectsAnythingElse)
{
    size_t length = 0;
    for (const char *bad : {"4", "414", "4G", "G4", " 41", "41 ", "+1", "-1", "0x41", "4\n"})
        EXPECT_EQ(hex_decode(bad, &length), nullptr) << '"' << bad << '"';
}
