// SMS-SUBMIT PDUs for AT+CMGS in PDU mode: the text split into parts the
// way a receiver puts them back together.
#include <algorithm>

#include "sms/sms_codec.h"
#include "sms/sms_internal.h"

namespace
{

constexpr size_t GSM7_SINGLE = 160, GSM7_PART = 153; // septets
constexpr size_t UCS2_SINGLE = 70, UCS2_PART = 67;   // UTF-16 units
constexpr size_t NUMBER_DIGITS_MAX = 20;

// "+" and digits: international; digits alone: unknown numbering.
bool parse_number(std::string_view number, std::string *digits, uint8_t *type)
{
    *type = 0x81;
    if (!number.empty() && number.front() == '+') {
        *type = 0x91;
        number.remove_prefix(1);
    }
    if (number.empty() || number.size() > NUMBER_DIGITS_MAX)
        return false;
    for (char c : number)
        if (c < '0' || c > '9')
            return false;
    *digits = number;
    return true;
}

void append_bcd(std::vector<uint8_t> *out, const std::string &digits)
{
    for (size_t i = 0; i < digits.size(); i += 2) {
        unsigned low = unsigned(digits[i] - '0');
        unsigned high = i + 1 < digits.size() ? unsigned(digits[i + 1] - '0') : 15;
        out->push_back(uint8_t(high << 4 | low));
    }
}

// Cuts the weighted characters into parts: one part if all fit in
// `single`, else as many as fit in `part` each. Returns where each part
// ends.
std::vector<size_t> split(const std::vector<uint8_t> &weights, size_t single, size_t part)
{
    size_t total = 0;
    for (uint8_t w : weights)
        total += w;
    std::vector<size_t> ends;
    if (total <= single) {
        ends.push_back(weights.size());
        return ends;
    }
    size_t used = 0;
    for (size_t i = 0; i < weights.size(); i++) {
        if (used + weights[i] > part) {
            ends.push_back(i);
            used = 0;
        }
        used += weights[i];
    }
    ends.push_back(weights.size());
    return ends;
}

uint8_t derived_ref(std::string_view to, std::string_view text)
{
    uint32_t hash = 2166136261u;
    for (std::string_view s : {to, text})
        for (unsigned char c : s)
            hash = (hash ^ c) * 16777619u;
    return uint8_t(hash ^ hash >> 8 ^ hash >> 16 ^ hash >> 24);
}

} // namespace

sms_encoded sms_encode_submit(std::string_view to, std::string_view utf8_text, std::string_view smsc,
                              std::optional<uint8_t> concat_ref)
{
    sms_encoded result;
    std::string to_digits, smsc_digits;
    uint8_t to_type = 0, smsc_type = 0;
    if (!parse_number(to, &to_digits, &to_type)) {
        result.error = "Invalid destination number";
        return result;
    }
    if (!smsc.empty() && !parse_number(smsc, &smsc_digits, &smsc_type)) {
        result.error = "Invalid SMSC number";
        return result;
    }
    std::vector<char32_t> text;
    if (!utf8_decode(utf8_text, &text)) {
        result.error = "Text is not valid UTF-8";
        return result;
    }

    // Each character's septets (GSM) or UTF-16 units (UCS2), and its weight.
    std::vector<std::vector<uint8_t>> codes(text.size());
    std::vector<uint8_t> weights(text.size());
    bool gsm = true;
    for (size_t i = 0; i < text.size() && gsm; i++) {
        uint8_t septets[2];
        int n = gsm7_from_code_point(text[i], septets);
        gsm = n > 0;
        codes[i].assign(septets, septets + n);
        weights[i] = uint8_t(n);
    }
    if (!gsm)
        for (size_t i = 0; i < text.size(); i++) {
            codes[i].clear();
            utf16_append(&codes[i], text[i]);
            weights[i] = uint8_t(codes[i].size() / 2);
        }
    result.alphabet = gsm ? sms_alphabet::GSM7 : sms_alphabet::UCS2;

    std::vector<size_t> ends = gsm ? split(weights, GSM7_SINGLE, GSM7_PART) : split(weights, UCS2_SINGLE, UCS2_PART);
    if (ends.size() > SMS_PARTS_MAX) {
        result.error =
            "Message too long: " + std::to_string(ends.size()) + " parts, at most " + std::to_string(SMS_PARTS_MAX);
        return result;
    }
    bool concat = ends.size() > 1;
    uint8_t ref = concat_ref ? *concat_ref : derived_ref(to, utf8_text);

    std::vector<uint8_t> smsc_octets;
    if (smsc_digits.empty()) {
        smsc_octets.push_back(0);
    } else {
        smsc_octets.push_back(uint8_t(1 + (smsc_digits.size() + 1) / 2));
        smsc_octets.push_back(smsc_type);
        append_bcd(&smsc_octets, smsc_digits);
    }

    size_t begin = 0;
    for (size_t p = 0; p < ends.size(); p++) {
        std::vector<uint8_t> tpdu;
        tpdu.push_back(concat ? 0x41 : 0x01); // SMS-SUBMIT, no validity period; UDHI
        tpdu.push_back(0);                    // message reference: the modem's
        tpdu.push_back(uint8_t(to_digits.size()));
        tpdu.push_back(to_type);
        append_bcd(&tpdu, to_digits);
        tpdu.push_back(0);                 // PID
        tpdu.push_back(gsm ? 0x00 : 0x08); // DCS
        const uint8_t header[6] = {5, 0x00, 3, ref, uint8_t(ends.size()), uint8_t(p + 1)};
        std::vector<uint8_t> body;
        for (size_t i = begin; i < ends[p]; i++)
            body.insert(body.end(), codes[i].begin(), codes[i].end());
        if (gsm) {
            // Seven zero septets hold the header's six octets and a fill bit.
            std::vector<uint8_t> septets;
            septets.reserve(7 + body.size());
            septets.resize(concat ? 7 : 0);
            septets.insert(septets.end(), body.begin(), body.end());
            tpdu.push_back(uint8_t(septets.size()));
            size_t at = tpdu.size();
            septets_pack(septets, &tpdu);
            if (concat)
                std::copy(header, header + 6, tpdu.begin() + long(at));
        } else {
            tpdu.push_back(uint8_t(body.size() + (concat ? 6 : 0)));
            if (concat)
                tpdu.insert(tpdu.end(), header, header + 6);
            tpdu.insert(tpdu.end(), body.begin(), body.end());
        }
        sms_part part;
        part.pdu = sms_hex_encode(smsc_octets.data(), smsc_octets.size()) + sms_hex_encode(tpdu.data(), tpdu.size());
        part.tpdu_length = tpdu.size();
        result.parts.push_back(std::move(part));
        begin = ends[p];
    }
    return result;
}
