// The message codec against PDUs as modems and networks send them, and one
// randomized run that encodes texts, decodes every part and checks that
// they put the text back together and were split by the rules.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "sms/sms_codec.h"

namespace
{

// +15551000234, and 2026-12-09 10:00:00 +04:00, in the PDUs built for these
// tests.
const char *const NUMBER = "+15551000234";
const char *const TIME = "2026-12-09T10:00:00+04:00";

sms_message decoded(const std::string &hex)
{
    sms_message m = sms_decode_pdu(hex);
    EXPECT_EQ(m.error, "") << hex;
    return m;
}

TEST(SmsDecode, DeliverAndSubmitExamples)
{
    // The long-standing tutorial pair: a DELIVER with an SMSC and a
    // 7-bit "hellohello", and the SUBMIT that sent it (relative validity).
    sms_message m = decoded("07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37");
    EXPECT_EQ(m.kind, sms_kind::DELIVER);
    EXPECT_EQ(m.smsc, "+27381000015");
    EXPECT_EQ(m.number, "27838890001");
    EXPECT_EQ(m.time, "1999-03-29T15:16:59+02:00");
    EXPECT_EQ(m.text, "hellohello");
    EXPECT_FALSE(m.more_messages);
    EXPECT_FALSE(m.concat.present);

    m = decoded("0011000B916407281553F80000AA0AE8329BFD4697D9EC37");
    EXPECT_EQ(m.kind, sms_kind::SUBMIT);
    EXPECT_EQ(m.smsc, "");
    EXPECT_EQ(m.number, "+46708251358");
    EXPECT_EQ(m.validity_format, 2);
    EXPECT_EQ(m.time, "");
    EXPECT_EQ(m.text, "hellohello");

    // Absolute and enhanced validity periods are skipped whole.
    m = decoded("0019000B916407281553F800006221900100006102C834");
    EXPECT_EQ(m.text, "Hi");
    m = decoded("0009000B916407281553F80000"
                "01000000000000" // enhanced: 7 octets
                "02C834");
    EXPECT_EQ(m.text, "Hi");

    // An alphanumeric sender, as a verification code arrives; and a time
    // zone west of Greenwich.
    m = decoded("00040BD0C7F7FBCC2E0300006221900100000A13C716ED168B81D27350FE5D9783C66F7219");
    EXPECT_EQ(m.number, "Google");
    EXPECT_EQ(m.number_type, 0xD0);
    EXPECT_EQ(m.time, "2026-12-09T10:00:00-05:00");
    EXPECT_EQ(m.text, "G-4711 is your code");

    // The extension table behind ESC.
    m = decoded("00040B915155010032F40000622190010000611CC3F79CAE03D53665D08617DEF83628F126B5796D289BDE0608");
    EXPECT_EQ(m.number, NUMBER);
    EXPECT_EQ(m.time, TIME);
    EXPECT_EQ(m.text, "Cost: 5€ [a]{b}\\^~|");

    // 8-bit data is shown as hex.
    m = decoded("00040B915155010032F40004622190010000610300FF7F");
    EXPECT_EQ(m.alphabet, sms_alphabet::EIGHT_BIT);
    EXPECT_EQ(m.text, "00FF7F");
}

TEST(SmsDecode, Ucs2SurrogatesAndNationalTables)
{
    // "Hi 😀": a surrogate pair; then a high surrogate with no low one.
    sms_message m = decoded("00040B915155010032F40008622190010000610A004800690020D83DDE00");
    EXPECT_EQ(m.alphabet, sms_alphabet::UCS2);
    EXPECT_EQ(m.text, "Hi 😀");
    m = decoded("00040B915155010032F4000862219001000061"
                "06D83D0041D83D");
    EXPECT_EQ(m.text, "\uFFFDA\uFFFD");

    // Turkish locking and single shift: ı İ Ş ç from the table, Ğ € after ESC.
    m = decoded("00440B915155010032F40000622190010000611106250101240101072007BC396ECA41");
    EXPECT_EQ(m.text, "ıİŞçĞ€A");
    EXPECT_EQ(m.note, "");
    // Spanish has a single shift table only.
    m = decoded("00440B915155010032F40000622190010000610A03240102D804DD9B34");
    EXPECT_EQ(m.text, "Ání");
    m = decoded("00440B915155010032F40000622190010000610D06250103240103843D69B305");
    EXPECT_EQ(m.text, "êãºÃ");
    // A table not carried: the default alphabet, and a note that says so.
    m = decoded("00440B915155010032F4000062219001000061080325010D088BC7");
    EXPECT_EQ(m.text, "abc");
    EXPECT_NE(m.note.find("not supported"), std::string::npos);
}

TEST(SmsDecode, ConcatenatedPartsAndStatusReport)
{
    const char *parts[] = {
        "00440B915155010032F4000062219001000061120500032A0301906536FB0D32CBDF6D10",
        "00440B915155010032F4000062219001000061140500032A0302C2A076793E0F9FCBA0B41B04",
        "00440B915155010032F4000062219001000061120500032A0303E86879B90C8287E5F439",
    };
    std::string text;
    for (int i = 0; i < 3; i++) {
        sms_message m = decoded(parts[i]);
        EXPECT_TRUE(m.udhi);
        EXPECT_TRUE(m.concat.present);
        EXPECT_EQ(m.concat.ref, 0x2A);
        EXPECT_EQ(m.concat.total, 3);
        EXPECT_EQ(m.concat.seq, i + 1);
        text += m.text;
    }
    EXPECT_EQ(text, "Hello from a message in three parts");

    // A 16-bit reference, and an escape right after the header's fill bits.
    sms_message m = decoded("00440B915155010032F40000622190010000610E06080412340202F80D2FBFF101");
    EXPECT_EQ(m.concat.ref, 0x1234);
    EXPECT_EQ(m.concat.seq, 2);
    EXPECT_EQ(m.text, "x[y]");

    m = decoded("00062A0B915155010032F4622190010000616221900100506100");
    EXPECT_EQ(m.kind, sms_kind::STATUS_REPORT);
    EXPECT_EQ(m.message_ref, 0x2A);
    EXPECT_EQ(m.number, NUMBER);
    EXPECT_EQ(m.time, TIME);
    EXPECT_EQ(m.discharge_time, "2026-12-09T10:00:05+04:00");
    EXPECT_EQ(m.status, 0);
}

TEST(SmsDecode, DamagedInputIsAnError)
{
    const char *whole[] = {
        "07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37",
        "0011000B916407281553F80000AA0AE8329BFD4697D9EC37",
        "00440B915155010032F40000622190010000610E06080412340202F80D2FBFF101",
        "00040B915155010032F40008622190010000610A004800690020D83DDE00",
        "00062A0B915155010032F4622190010000616221900100506100",
    };
    for (const char *pdu : whole) {
        std::string hex = pdu;
        for (size_t n = 0; n < hex.size(); n++)
            EXPECT_NE(sms_decode_pdu(hex.substr(0, n)).error, "") << "prefix of " << n << " digits of " << pdu;
        std::string bad = hex;
        bad[hex.size() / 2] = 'G';
        EXPECT_NE(sms_decode_pdu(bad).error, "");
    }
    // A header that claims more than the user data holds.
    EXPECT_NE(sms_decode_pdu("00440B915155010032F400006221900100006102FF00").error, "");
    EXPECT_NE(sms_decode_pdu("0003").error, ""); // reserved message type
}

TEST(SmsEncode, AddressesAndRefusals)
{
    sms_encoded e = sms_encode_submit("+46708251358", "hellohello");
    ASSERT_EQ(e.error, "");
    ASSERT_EQ(e.parts.size(), 1u);
    EXPECT_EQ(e.parts[0].pdu, "0001000B916407281553F800000AE8329BFD4697D9EC37");
    EXPECT_EQ(e.parts[0].tpdu_length, 22u); // ten septets in nine octets

    e = sms_encode_submit("5550123", "Привет", "+27381000015");
    ASSERT_EQ(e.error, "");
    EXPECT_EQ(e.alphabet, sms_alphabet::UCS2);
    EXPECT_EQ(e.parts[0].pdu, "07917283010010F5"
                              "01000781550521F3"
                              "00080C041F04400438043204350442");
    EXPECT_EQ(e.parts[0].tpdu_length, 23u);

    EXPECT_NE(sms_encode_submit("", "x").error, "");
    EXPECT_NE(sms_encode_submit("+", "x").error, "");
    EXPECT_NE(sms_encode_submit("555-0123", "x").error, "");
    EXPECT_NE(sms_encode_submit("123456789012345678901", "x").error, "");
    EXPECT_NE(sms_encode_submit("5550123", "x", "smsc").error, "");
    EXPECT_NE(sms_encode_submit("5550123", "bad \xC3(").error, "");
    EXPECT_NE(sms_encode_submit("5550123", "\xED\xA0\x80").error, ""); // an encoded surrogate
    EXPECT_NE(sms_encode_submit("5550123", std::string(1531, 'a')).error, "");
    EXPECT_EQ(sms_encode_submit("5550123", std::string(1530, 'a')).parts.size(), 10u);
}

struct token {
    std::string utf8;
    bool gsm;    // in the default alphabet or its extension
    int septets; // 1, or 2 behind ESC
    int units;   // UTF-16
};

const std::vector<token> &pool()
{
    static const std::vector<token> tokens = [] {
        std::vector<token> t;
        for (const char *s : {"a", "Z", "0",  " ",  ".", "@", "£", "$", "¥", "è", "é", "Ä", "ñ", "§",
                              "¿", "à", "\n", "\r", "Δ", "Ω", "ß", "É", "_", "!", "?", "#", "¤"})
            t.push_back({s, true, 1, 1});
        for (const char *s : {"€", "[", "]", "{", "}", "\\", "^", "~", "|", "\f"})
            t.push_back({s, true, 2, 1});
        for (const char *s : {"ж", "中", "ç", "\t", "ı"})
            t.push_back({s, false, 0, 1});
        for (const char *s : {"😀", "🎉", "𝄞"})
            t.push_back({s, false, 0, 2});
        return t;
    }();
    return tokens;
}

TEST(SmsEncode, RandomTextsRoundTripAndSplitByTheRules)
{
    const unsigned seed = 20261209;
    printf("seed %u\n", seed);
    std::mt19937 rng(seed);
    const std::vector<token> &all = pool();
    std::vector<const token *> gsm_only;
    for (const token &t : all)
        if (t.gsm)
            gsm_only.push_back(&t);

    for (int round = 0; round < 400; round++) {
        bool mixed = rng() % 2;
        size_t length = rng() % 4 == 0 ? rng() % 1700 : rng() % 200;
        std::vector<const token *> text;
        for (size_t i = 0; i < length; i++)
            text.push_back(mixed ? &all[rng() % all.size()] : gsm_only[rng() % gsm_only.size()]);
        bool gsm = true;
        std::string utf8;
        for (const token *t : text) {
            gsm = gsm && t->gsm;
            utf8 += t->utf8;
        }
        auto weight = [gsm](const token *t) { return gsm ? t->septets : t->units; };
        int single = gsm ? 160 : 70, per_part = gsm ? 153 : 67;
        int total = 0;
        for (const token *t : text)
            total += weight(t);
        size_t expected_parts = 1;
        if (total > single) {
            int used = 0;
            for (const token *t : text) {
                if (used + weight(t) > per_part) {
                    expected_parts++;
                    used = 0;
                }
                used += weight(t);
            }
        }

        std::string smsc = rng() % 2 ? "+4915" + std::to_string(rng() % 100000) : "";
        std::optional<uint8_t> ref;
        if (rng() % 2)
            ref = uint8_t(rng());
        SCOPED_TRACE("round " + std::to_string(round) + ", text of " + std::to_string(text.size()) + " characters");
        sms_encoded e = sms_encode_submit("+15551000234", utf8, smsc, ref);
        if (expected_parts > SMS_PARTS_MAX) {
            EXPECT_NE(e.error, "");
            EXPECT_TRUE(e.parts.empty());
            continue;
        }
        ASSERT_EQ(e.error, "");
        ASSERT_EQ(e.parts.size(), expected_parts);
        EXPECT_EQ(e.alphabet, gsm ? sms_alphabet::GSM7 : sms_alphabet::UCS2);

        std::string joined;
        size_t next = 0; // the token the next part starts with
        for (size_t p = 0; p < e.parts.size(); p++) {
            const sms_part &part = e.parts[p];
            size_t smsc_octets = 1 + std::stoul(part.pdu.substr(0, 2), nullptr, 16);
            EXPECT_EQ(part.tpdu_length * 2 + smsc_octets * 2, part.pdu.size());
            sms_message m = sms_decode_pdu(part.pdu);
            ASSERT_EQ(m.error, "");
            EXPECT_EQ(m.kind, sms_kind::SUBMIT);
            EXPECT_EQ(m.smsc, smsc);
            EXPECT_EQ(m.number, "+15551000234");
            EXPECT_EQ(m.alphabet, e.alphabet);
            EXPECT_EQ(m.concat.present, e.parts.size() > 1);
            if (m.concat.present) {
                EXPECT_EQ(m.concat.total, e.parts.size());
                EXPECT_EQ(m.concat.seq, p + 1);
                EXPECT_EQ(m.concat.ref, ref ? *ref : sms_decode_pdu(e.parts[0].pdu).concat.ref);
            }
            // The part's text is whole tokens of the original, as many as
            // the part can hold.
            std::string piece;
            int used = 0;
            while (next < text.size() && piece.size() < m.text.size()) {
                piece += text[next]->utf8;
                used += weight(text[next++]);
            }
            ASSERT_EQ(piece, m.text) << "part " << p + 1;
            EXPECT_LE(used, e.parts.size() > 1 ? per_part : single);
            if (p + 1 < e.parts.size()) {
                EXPECT_GT(used + weight(text[next]), per_part) << "part " << p + 1 << " could hold more";
            }
            joined += m.text;
        }
        EXPECT_EQ(next, text.size());
        EXPECT_EQ(joined, utf8);
    }
}

TEST(Ussd, LinesAndCodings)
{
    ussd_reply r = ussd_parse_line("+CUSD: 0,\"Your balance: 5.00\nSay \"hi\"\",15\r");
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.m, 0);
    EXPECT_TRUE(r.has_str);
    EXPECT_EQ(r.str, "Your balance: 5.00\nSay \"hi\"");
    EXPECT_EQ(r.dcs, 15);
    r = ussd_parse_line("+CUSD: 2");
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.m, 2);
    EXPECT_FALSE(r.has_str);
    r = ussd_parse_line("+CUSD: 1,\"0041\",72");
    EXPECT_EQ(r.str, "0041");
    EXPECT_EQ(r.dcs, 72);
    EXPECT_NE(ussd_parse_line("+CUSD: 0,\"open").error, "");
    EXPECT_NE(ussd_parse_line("+CUSD: x").error, "");
    EXPECT_NE(ussd_parse_line("+CREG: 1").error, "");
    EXPECT_NE(ussd_parse_line("+CUSD: 0,\"a\",1x").error, "");

    // UCS2 under dcs 72 whatever the character set, an emoji included.
    EXPECT_EQ(ussd_decode("041F04400438D83DDE00", 72, "IRA"), "При😀");
    EXPECT_EQ(ussd_decode("D83D0041", 72, "GSM"), "\uFFFDA");
    // dcs 15: as the modem decoded it, as packed septets, or as UCS2 hex
    // when the character set is UCS2.
    EXPECT_EQ(ussd_decode("Balance 5.00", 15, "GSM"), "Balance 5.00");
    EXPECT_EQ(ussd_decode("1234", 15, "IRA"), "1234");
    EXPECT_EQ(ussd_decode("20260101", 15, "IRA"), "20260101");
    EXPECT_EQ(ussd_decode("D9775D0E1287D961F7B80C4ACF4135170C062A56A5", 15, "IRA"), "Your balance is 5.00 EUR");
    EXPECT_EQ(ussd_decode("D9775D0E1287D961F7B80C4ACF4135170C062A56A5", 15, "UCS2"), "Your balance is 5.00 EUR");
    EXPECT_EQ(ussd_decode("00420061006C0061006E00630065", 15, "UCS2"), "Balance");
    EXPECT_EQ(ussd_decode("04110430043B0430043D0441", 15, "\"UCS2\""), "Баланс");
    // 8-bit data as hex; text that is not UTF-8 comes out valid.
    EXPECT_EQ(ussd_decode("00ff", 0x44, "IRA"), "00FF");
    EXPECT_EQ(ussd_decode("caf\xE9", 15, "IRA"), "caf\uFFFD");

    EXPECT_EQ(ussd_encode_code("*100#", "UCS2"), "002A0031003000300023");
    EXPECT_EQ(ussd_encode_code("*100#", "GSM"), "*100#");
    EXPECT_EQ(ussd_encode_code("\xFF", "UCS2"), "");
}

} // namespace
