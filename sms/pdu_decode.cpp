// One PDU as a modem lists it: the SMSC address, then an SMS-DELIVER,
// SMS-SUBMIT or SMS-STATUS-REPORT. Every read is checked against what is
// left, so a short or corrupt PDU ends in an error, never past its end.
#include <cstdio>

#include "sms/sms_codec.h"
#include "sms/sms_internal.h"

namespace
{

struct reader {
    const uint8_t *data;
    size_t size;
    size_t pos = 0;

    size_t left() const { return size - pos; }
    bool byte(uint8_t *out)
    {
        if (!left())
            return false;
        *out = data[pos++];
        return true;
    }
    bool take(size_t n, const uint8_t **out)
    {
        if (left() < n)
            return false;
        *out = data + pos;
        pos += n;
        return true;
    }
};

std::string_view trim(std::string_view s)
{
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

// Semi-octet digits, low nibble first; a filler nibble (F) ends them.
std::string bcd_digits(const uint8_t *data, size_t semi_octets)
{
    static const char digits[] = "0123456789*#abc";
    std::string out;
    for (size_t i = 0; i < semi_octets; i++) {
        unsigned nibble = i % 2 ? data[i / 2] >> 4 : data[i / 2] & 15;
        if (nibble == 15)
            break;
        out += digits[nibble];
    }
    return out;
}

constexpr unsigned TON_INTERNATIONAL = 1;
constexpr unsigned TON_ALPHANUMERIC = 5;

bool read_smsc(reader *in, sms_message *msg)
{
    uint8_t length, type;
    const uint8_t *digits;
    if (!in->byte(&length))
        return false;
    if (length == 0)
        return true;
    if (!in->byte(&type) || !in->take(length - 1, &digits))
        return false;
    std::string number = bcd_digits(digits, 2 * size_t(length - 1));
    msg->smsc = ((type >> 4 & 7) == TON_INTERNATIONAL && !number.empty() ? "+" : "") + number;
    return true;
}

// An originator, destination or recipient address: its length counts
// useful semi-octets.
bool read_address(reader *in, std::string *number, uint8_t *type)
{
    uint8_t length;
    const uint8_t *value;
    if (!in->byte(&length) || !in->byte(type) || !in->take((size_t(length) + 1) / 2, &value))
        return false;
    unsigned ton = *type >> 4 & 7;
    if (ton == TON_ALPHANUMERIC) {
        size_t septets = size_t(length) * 4 / 7;
        std::vector<uint8_t> codes(septets);
        for (size_t i = 0; i < septets; i++)
            codes[i] = septet_at(value, i);
        bool unsupported = false;
        *number = gsm7_to_utf8(codes.data(), codes.size(), 0, 0, &unsupported);
        return true;
    }
    std::string digits = bcd_digits(value, length);
    *number = (ton == TON_INTERNATIONAL && !digits.empty() ? "+" : "") + digits;
    return true;
}

// Seven swapped semi-octet pairs: year, month, day, hour, minute, second
// and the offset from UTC in quarter hours, its sign in bit 3.
bool format_time(const uint8_t *t, std::string *out)
{
    unsigned field[6];
    for (int i = 0; i < 6; i++) {
        unsigned low = t[i] & 15, high = t[i] >> 4;
        if (low > 9 || high > 9)
            return false;
        field[i] = low * 10 + high;
    }
    unsigned tens = t[6] & 7, units = t[6] >> 4;
    if (units > 9)
        return false;
    unsigned quarters = tens * 10 + units;
    if (field[1] < 1 || field[1] > 12 || field[2] < 1 || field[2] > 31 || field[3] > 23 || field[4] > 59 ||
        field[5] > 59)
        return false;
    char text[64];
    // Two digits of year: the nineties are the only years of the last
    // century that saw a text message.
    snprintf(text, sizeof text, "%02u%02u-%02u-%02uT%02u:%02u:%02u%c%02u:%02u", field[0] >= 90 ? 19 : 20, field[0],
             field[1], field[2], field[3], field[4], field[5], t[6] & 8 ? '-' : '+', quarters / 4, quarters % 4 * 15);
    *out = text;
    return true;
}

void add_note(sms_message *msg, const std::string &what)
{
    if (!msg->note.empty())
        msg->note += "; ";
    msg->note += what;
}

bool read_time(reader *in, std::string *out, sms_message *msg)
{
    const uint8_t *t;
    if (!in->take(7, &t))
        return false;
    if (!format_time(t, out)) {
        out->clear();
        add_note(msg, "invalid time stamp " + sms_hex_encode(t, 7));
    }
    return true;
}

sms_alphabet alphabet_of(uint8_t dcs, bool *compressed)
{
    *compressed = false;
    if ((dcs & 0x80) == 0) {
        *compressed = dcs & 0x20;
        switch (dcs >> 2 & 3) {
        case 1: return sms_alphabet::EIGHT_BIT;
        case 2: return sms_alphabet::UCS2;
        default: return sms_alphabet::GSM7; // 3 is reserved: read as the default
        }
    }
    switch (dcs >> 4) {
    case 0xE: return sms_alphabet::UCS2;
    case 0xF: return dcs & 4 ? sms_alphabet::EIGHT_BIT : sms_alphabet::GSM7;
    default: return sms_alphabet::GSM7; // message waiting groups, reserved groups
    }
}

struct header_info {
    int locking = 0;
    int single = 0;
};

void read_header(const uint8_t *h, size_t size, sms_message *msg, header_info *info)
{
    size_t i = 0;
    while (i < size) {
        if (size - i < 2 || size - i - 2 < h[i + 1]) {
            add_note(msg, "malformed user data header");
            return;
        }
        uint8_t iei = h[i], len = h[i + 1];
        const uint8_t *v = h + i + 2;
        // Concatenation with a part number outside 1..total is ignored, as
        // the receiver must.
        if (iei == 0x00 && len == 3 && v[1] && v[2] && v[2] <= v[1])
            msg->concat = {true, v[0], v[1], v[2]};
        else if (iei == 0x08 && len == 4 && v[2] && v[3] && v[3] <= v[2])
            msg->concat = {true, uint16_t(v[0] << 8 | v[1]), v[2], v[3]};
        else if (iei == 0x24 && len == 1)
            info->single = v[0];
        else if (iei == 0x25 && len == 1)
            info->locking = v[0];
        i += 2 + len;
    }
}

bool read_user_data(reader *in, sms_message *msg, std::string *error)
{
    uint8_t udl;
    if (!in->byte(&udl)) {
        *error = "Truncated: no user data length";
        return false;
    }
    bool compressed;
    msg->alphabet = alphabet_of(msg->dcs, &compressed);
    bool septets = msg->alphabet == sms_alphabet::GSM7 && !compressed;
    size_t octets = septets ? septet_octets(udl) : udl;
    const uint8_t *ud;
    if (!in->take(octets, &ud)) {
        *error = "Truncated user data";
        return false;
    }
    size_t header = 0; // octets, its length octet included
    header_info info;
    if (msg->udhi) {
        if (octets == 0 || size_t(ud[0]) + 1 > octets) {
            *error = "User data header longer than the user data";
            return false;
        }
        header = size_t(ud[0]) + 1;
        read_header(ud + 1, header - 1, msg, &info);
    }
    if (compressed) {
        msg->text = sms_hex_encode(ud + header, octets - header);
        add_note(msg, "compressed user data, shown as hex");
        return true;
    }
    switch (msg->alphabet) {
    case sms_alphabet::GSM7: {
        size_t skip = (header * 8 + 6) / 7; // the header and its fill bits
        if (skip > udl) {
            *error = "User data header longer than the user data";
            return false;
        }
        std::vector<uint8_t> codes(udl - skip);
        for (size_t i = 0; i < codes.size(); i++)
            codes[i] = septet_at(ud, skip + i);
        bool unsupported = false;
        msg->text = gsm7_to_utf8(codes.data(), codes.size(), info.locking, info.single, &unsupported);
        if (unsupported)
            add_note(msg, "language table (locking " + std::to_string(info.locking) + ", single " +
                              std::to_string(info.single) + ") not supported; default alphabet used");
        break;
    }
    case sms_alphabet::EIGHT_BIT: msg->text = sms_hex_encode(ud + header, octets - header); break;
    case sms_alphabet::UCS2:
        if ((octets - header) % 2)
            add_note(msg, "odd UCS2 length, last octet dropped");
        msg->text = ucs2_to_utf8(ud + header, octets - header);
        break;
    }
    return true;
}

bool decode_tpdu(reader *in, sms_message *msg, std::string *error)
{
    auto truncated = [error](const char *what) {
        *error = std::string("Truncated: ") + what;
        return false;
    };
    uint8_t first = 0;
    if (!in->byte(&first))
        return truncated("no message");
    msg->first_octet = first;
    msg->udhi = first & 0x40;
    switch (first & 3) {
    case 0:
        msg->kind = sms_kind::DELIVER;
        msg->more_messages = !(first & 0x04);
        msg->status_report = first & 0x20;
        msg->reply_path = first & 0x80;
        if (!read_address(in, &msg->number, &msg->number_type))
            return truncated("originator address");
        if (!in->byte(&msg->pid) || !in->byte(&msg->dcs))
            return truncated("protocol identifier or coding scheme");
        if (!read_time(in, &msg->time, msg))
            return truncated("time stamp");
        return read_user_data(in, msg, error);
    case 1: {
        msg->kind = sms_kind::SUBMIT;
        msg->status_report = first & 0x20;
        msg->reply_path = first & 0x80;
        msg->validity_format = first >> 3 & 3;
        if (!in->byte(&msg->message_ref))
            return truncated("message reference");
        if (!read_address(in, &msg->number, &msg->number_type))
            return truncated("destination address");
        if (!in->byte(&msg->pid) || !in->byte(&msg->dcs))
            return truncated("protocol identifier or coding scheme");
        static const size_t validity_octets[4] = {0, 7, 1, 7};
        const uint8_t *skipped;
        if (!in->take(validity_octets[msg->validity_format], &skipped))
            return truncated("validity period");
        return read_user_data(in, msg, error);
    }
    case 2: {
        msg->kind = sms_kind::STATUS_REPORT;
        msg->more_messages = !(first & 0x04);
        msg->status_report = first & 0x20;
        if (!in->byte(&msg->message_ref))
            return truncated("message reference");
        if (!read_address(in, &msg->number, &msg->number_type))
            return truncated("recipient address");
        if (!read_time(in, &msg->time, msg) || !read_time(in, &msg->discharge_time, msg))
            return truncated("time stamps");
        if (!in->byte(&msg->status))
            return truncated("status");
        // The optional fields: a centre that sends them badly still told
        // the status, which is what a report is for.
        uint8_t pi;
        if (!in->byte(&pi) || (pi & 0x78)) // reserved bits: not a parameter indicator
            return true;
        uint8_t more = pi;
        while (more & 0x80)
            if (!in->byte(&more))
                return true;
        reader rest = *in;
        std::string ignored;
        bool ok = (!(pi & 1) || rest.byte(&msg->pid)) && (!(pi & 2) || rest.byte(&msg->dcs)) &&
                  (!(pi & 4) || read_user_data(&rest, msg, &ignored));
        if (!ok) {
            msg->text.clear();
            msg->concat = {};
            add_note(msg, "optional status report fields unreadable");
        }
        return true;
    }
    default: *error = "Reserved message type"; return false;
    }
}

} // namespace

sms_message sms_decode_pdu(std::string_view hex)
{
    sms_message msg;
    std::vector<uint8_t> bytes;
    hex = trim(hex);
    if (hex.empty()) {
        msg.error = "Empty PDU";
        return msg;
    }
    if (!sms_hex_decode(hex, &bytes)) {
        msg.error = "PDU is not hex";
        return msg;
    }
    reader in{bytes.data(), bytes.size()};
    if (!read_smsc(&in, &msg)) {
        msg.error = "Truncated: SMSC address";
        return msg;
    }
    std::string error;
    if (!decode_tpdu(&in, &msg, &error)) {
        sms_message failed;
        failed.error = error;
        return failed;
    }
    return msg;
}
