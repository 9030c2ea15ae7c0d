// The message codec on arbitrary input. The first byte picks what the rest
// is: 0 a PDU's octets (given to the decoder as hex), 1 the text of a PDU
// line as a modem might garble it, 2 a character set choice and a +CUSD:
// line, 3 a reference, a flag and a text to encode and decode back.
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "sms/sms_codec.h"
#include "sms/sms_internal.h"

static bool valid_utf8(const std::string &text)
{
    std::vector<char32_t> cps;
    return utf8_decode(text, &cps);
}

static void check_decoded(const sms_message &m)
{
    if (!m.error.empty()) {
        FUZZ_CHECK(m.text.empty() && m.number.empty() && !m.concat.present);
        return;
    }
    FUZZ_CHECK(valid_utf8(m.text) && valid_utf8(m.number) && valid_utf8(m.note));
    if (m.concat.present)
        FUZZ_CHECK(m.concat.seq >= 1 && m.concat.seq <= m.concat.total);
}

static void round_trip(fuzz_input in)
{
    uint8_t ref = in.byte();
    uint8_t flags = in.byte();
    const uint8_t *data;
    size_t size = in.take(in.rem, &data);
    std::string text(reinterpret_cast<const char *>(data), size);
    std::string smsc = flags & 1 ? "+4915" : "";
    sms_encoded e = sms_encode_submit("+15551000234", text, smsc, ref);
    if (!e.error.empty()) {
        FUZZ_CHECK(e.parts.empty());
        return;
    }
    FUZZ_CHECK(valid_utf8(text));
    FUZZ_CHECK(!e.parts.empty() && e.parts.size() <= SMS_PARTS_MAX);
    std::string joined;
    for (size_t p = 0; p < e.parts.size(); p++) {
        const sms_part &part = e.parts[p];
        sms_message m = sms_decode_pdu(part.pdu);
        FUZZ_CHECK(m.error.empty());
        FUZZ_CHECK(m.kind == sms_kind::SUBMIT && m.smsc == smsc && m.alphabet == e.alphabet);
        FUZZ_CHECK(part.tpdu_length * 2 == part.pdu.size() - (smsc.empty() ? 2 : 8));
        FUZZ_CHECK(m.concat.present == (e.parts.size() > 1));
        if (m.concat.present)
            FUZZ_CHECK(m.concat.ref == ref && m.concat.total == e.parts.size() && m.concat.seq == p + 1);
        joined += m.text;
    }
    FUZZ_CHECK(joined == text);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input in{data, size};
    uint8_t mode = in.byte() % 4;
    if (mode == 3) {
        round_trip(in);
        return 0;
    }
    const uint8_t *rest;
    if (mode == 0) {
        size_t n = in.take(in.rem, &rest);
        check_decoded(sms_decode_pdu(sms_hex_encode(rest, n)));
    } else if (mode == 1) {
        size_t n = in.take(in.rem, &rest);
        check_decoded(sms_decode_pdu(std::string(reinterpret_cast<const char *>(rest), n)));
    } else {
        static const char *const charsets[] = {"GSM", "IRA", "UCS2", "HEX"};
        const char *charset = charsets[in.byte() % 4];
        size_t n = in.take(in.rem, &rest);
        std::string line(reinterpret_cast<const char *>(rest), n);
        ussd_reply r = ussd_parse_line(line);
        if (r.error.empty() && r.has_str)
            FUZZ_CHECK(valid_utf8(ussd_decode(r.str, r.dcs, charset)));
        FUZZ_CHECK(valid_utf8(ussd_decode(line, n ? rest[0] : -1, charset)));
    }
    return 0;
}
