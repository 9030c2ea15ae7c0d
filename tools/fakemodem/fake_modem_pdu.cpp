// The simulated modem's PDU mode, storages, character set and USSD
// (fake_modem_pdu.h).
#include "tools/fakemodem/fake_modem_pdu.h"

#include <ctime>

#include "sms/sms_codec.h"
#include "tools/fakemodem/fake_modem_state.h"

namespace
{

constexpr const char *SMSC = "+15550000";

// The modem's framing of an answer, in one place: each information line
// and the final result framed as V.250 frames them.
std::string pdu_framed(const std::string &lines, const std::string &final_result = "OK")
{
    std::string out;
    if (!lines.empty())
        out += "\r\n" + lines;
    return out + "\r\n" + final_result + "\r\n";
}

// `lines` of pdu_framed: each line followed by CR LF.
std::string line(const std::string &text)
{
    return text + "\r\n";
}

std::string cms_error(int code)
{
    return "\r\n+CMS ERROR: " + std::to_string(code) + "\r\n";
}

std::string hex(const std::string &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// Empty for anything that is no even run of hex digits.
std::string unhex(const std::string &text, bool *ok)
{
    *ok = text.size() % 2 == 0;
    std::string out;
    auto value = [&](char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        *ok = false;
        return 0;
    };
    for (size_t i = 0; *ok && i + 1 < text.size(); i += 2)
        out += static_cast<char>(value(text[i]) * 16 + value(text[i + 1]));
    return *ok ? out : std::string();
}

// Digits as semi-octets, low nibble first, F-padded.
std::string semi_octets(const std::string &digits)
{
    std::string out;
    for (size_t i = 0; i < digits.size(); i += 2) {
        int low = digits[i] - '0';
        int high = i + 1 < digits.size() ? digits[i + 1] - '0' : 15;
        out += static_cast<char>(high << 4 | low);
    }
    return out;
}

std::string digits_of(const std::string &number)
{
    return number.starts_with("+") ? number.substr(1) : number;
}

// TP-OA / TP-DA: digit count, type, semi-octets.
std::string address(const std::string &number)
{
    std::string digits = digits_of(number);
    return std::string(1, static_cast<char>(digits.size())) + static_cast<char>(number.starts_with("+") ? 0x91 : 0x81) +
           semi_octets(digits);
}

// The SMSC in front of a PDU: octet count (type included), type, digits.
std::string smsc_address()
{
    std::string digits = digits_of(SMSC);
    std::string octets = semi_octets(digits);
    return std::string(1, static_cast<char>(octets.size() + 1)) + static_cast<char>(0x91) + octets;
}

// The service centre time stamp of now, UTC.
std::string time_stamp()
{
    time_t now = time(nullptr);
    tm utc;
    gmtime_r(&now, &utc);
    char text[16];
    strftime(text, sizeof text, "%y%m%d%H%M%S00", &utc);
    return semi_octets(text);
}

std::string text_stamp()
{
    time_t now = time(nullptr);
    tm utc;
    gmtime_r(&now, &utc);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%y/%m/%d,%H:%M:%S+00", &utc);
    return stamp;
}

// An SMS-SUBMIT's parts, as a modem reads them from its TPDU.
struct submit {
    bool ok = false;
    uint8_t first = 0;
    std::string to;
    std::string pid_dcs;   // TP-PID and TP-DCS
    std::string user_data; // TP-UDL and TP-UD
};

submit parse_submit(const std::string &tpdu)
{
    submit s;
    auto at = [&](size_t i) { return static_cast<uint8_t>(tpdu[i]); };
    if (tpdu.size() < 4 || (at(0) & 3) != 1)
        return s;
    s.first = at(0);
    size_t digits = at(2), i = 4 + (digits + 1) / 2;
    if (i + 3 > tpdu.size())
        return s;
    std::string semi = tpdu.substr(4, i - 4);
    for (size_t k = 0; k < digits; k++) {
        int nibble = (static_cast<uint8_t>(semi[k / 2]) >> (k % 2 ? 4 : 0)) & 15;
        s.to += static_cast<char>('0' + nibble);
    }
    if (at(3) == 0x91)
        s.to.insert(0, "+");
    s.pid_dcs = tpdu.substr(i, 2);
    i += 2;
    int vpf = (s.first >> 3) & 3;
    i += vpf == 0 ? 0 : vpf == 2 ? 1 : 7;
    if (i >= tpdu.size())
        return s;
    s.user_data = tpdu.substr(i);
    s.ok = true;
    return s;
}

// The SMS-DELIVER the network hands over for a submitted message: from
// `from`, user data as it was sent (its header too).
std::string deliver_pdu(const submit &s, const std::string &from)
{
    std::string tpdu(1, static_cast<char>((s.first & 0x40) | 0x04)); // UDHI as sent; no more messages
    tpdu += address(from) + s.pid_dcs + time_stamp() + s.user_data;
    return hex(smsc_address() + tpdu);
}

int stat_number(const std::string &stat)
{
    static const char *const stats[] = {"REC UNREAD", "REC READ", "STO UNSENT", "STO SENT"};
    for (int i = 0; i < 4; i++)
        if (stat == stats[i])
            return i;
    return 1;
}

// Octets after the SMSC address.
size_t tpdu_length(const std::string &pdu_hex)
{
    bool ok;
    std::string bytes = unhex(pdu_hex, &ok);
    if (!ok || bytes.empty())
        return 0;
    size_t smsc = static_cast<uint8_t>(bytes[0]) + 1u;
    return bytes.size() > smsc ? bytes.size() - smsc : 0;
}

// The PDU of a stored message; one stored as text (text mode, or a test's
// own) gets one made for it.
std::string pdu_of(fake_modem_message &m)
{
    if (!m.pdu.empty())
        return m.pdu;
    sms_encoded encoded = sms_encode_submit(digits_of(m.number).empty() ? "0" : m.number, m.text);
    if (!encoded.error.empty() || encoded.parts.empty())
        return m.pdu = hex(smsc_address()) + "0100000000"; // an empty SUBMIT to nobody
    std::string pdu = encoded.parts.front().pdu;
    if (m.stat.starts_with("REC")) {
        bool ok;
        std::string bytes = unhex(pdu, &ok);
        size_t smsc = static_cast<uint8_t>(bytes[0]) + 1u;
        pdu = deliver_pdu(parse_submit(bytes.substr(smsc)), m.number);
    }
    return m.pdu = pdu;
}

std::string listing(fake_modem_store &store, int index, fake_modem_message &m, const char *head)
{
    std::string pdu = pdu_of(m);
    std::string lines = line(std::string(head) + (index > 0 ? std::to_string(index) + "," : "") +
                             std::to_string(stat_number(m.stat)) + ",," + std::to_string(tpdu_length(pdu)));
    if (m.stat == "REC UNREAD")
        m.stat = "REC READ";
    (void)store;
    return lines + line(pdu);
}

std::string list(fake_modem_store &store, const std::string &arg)
{
    int stat = arg.empty() ? 0 : fake_modem_number_in(arg);
    if (stat < 0 || stat > 4)
        return cms_error(304); // invalid PDU mode parameter
    std::string lines;
    for (auto &[index, m] : store.messages)
        if (stat == 4 || stat_number(m.stat) == stat)
            lines += listing(store, index, m, "+CMGL: ");
    return pdu_framed(lines);
}

std::string read_one(fake_modem_store &store, const std::string &arg)
{
    auto it = store.messages.find(fake_modem_number_in(arg));
    if (it == store.messages.end())
        return cms_error(321);
    return pdu_framed(listing(store, 0, it->second, "+CMGR: "));
}

std::string storage_answer(fake_modem *modem, const std::string &args)
{
    fake_modem_pdu_state &p = modem->pdu;
    std::string used = std::to_string(modem->store.messages.size()) + "," + std::to_string(FAKE_MODEM_STORE_SLOTS);
    if (args == "?") {
        std::string text = "+CPMS: ";
        for (int i = 0; i < 3; i++)
            text += (i ? ",\"" : "\"") + p.memories[i] + "\"," + used;
        return pdu_framed(line(text));
    }
    // ="SM"[,"SM"[,"SM"]]
    std::string chosen[3] = {p.memories[0], p.memories[1], p.memories[2]};
    size_t from = 0;
    for (int i = 0; i < 3 && from < args.size(); i++) {
        size_t comma = args.find(',', from);
        std::string name = args.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        if (name.size() < 2 || name.front() != '"' || name.back() != '"')
            return cms_error(302);
        name = name.substr(1, name.size() - 2);
        if (name != "SM" && name != "ME" && name != "MT")
            return cms_error(302);
        chosen[i] = name;
        from = comma == std::string::npos ? args.size() : comma + 1;
    }
    for (int i = 0; i < 3; i++)
        p.memories[i] = chosen[i];
    return pdu_framed(line("+CPMS: " + used + "," + used + "," + used));
}

std::string charset_answer(fake_modem *modem, const std::string &args)
{
    if (args == "?")
        return pdu_framed(line("+CSCS: \"" + modem->pdu.charset + "\""));
    for (const char *name : {"GSM", "IRA", "UCS2"}) {
        if (args == std::string("=\"") + name + "\"") {
            modem->pdu.charset = name;
            return pdu_framed("");
        }
    }
    return pdu_framed("", "ERROR");
}

// A code as the modem reads it under its character set: UCS2 hex of a code
// (digits, * and #) under "UCS2".
std::string code_text(const fake_modem *modem, const std::string &code)
{
    if (modem->pdu.charset != "UCS2")
        return code;
    bool ok;
    std::string bytes = unhex(code, &ok), text;
    for (size_t i = 0; ok && i + 1 < bytes.size(); i += 2)
        text += bytes[i] == 0 ? bytes[i + 1] : '?';
    return text;
}

// The network's answer to a code, for the session it leaves.
std::string network_answer(fake_modem *modem, const std::string &code, int *state)
{
    bool menu = modem->pdu.ussd_menu;
    modem->pdu.ussd_menu = false;
    *state = 0;
    if (code == "*111#") {
        modem->pdu.ussd_menu = true;
        *state = 1;
        return "Tarnel Mobile\n1 Balance\n2 Offers";
    }
    if (menu && code == "2")
        return "No offers today.";
    return FAKE_MODEM_BALANCE;
}

std::string ussd_answer(fake_modem *modem, const std::string &args)
{
    if (args == "?")
        return pdu_framed(line("+CUSD: 1"));
    if (args == "=2") {
        modem->pdu.ussd_menu = false;
        return pdu_framed("");
    }
    if (args == "=0" || args == "=1")
        return pdu_framed("");
    if (!args.starts_with("=1,\""))
        return pdu_framed("", "ERROR");
    size_t close = args.find('"', 4);
    if (close == std::string::npos)
        return pdu_framed("", "ERROR");
    int state;
    std::string text = network_answer(modem, code_text(modem, args.substr(4, close - 4)), &state);
    if (modem->pdu.charset == "UCS2")
        text = ussd_encode_code(text, "UCS2");
    fake_modem_schedule(modem, 0, pdu_framed(""));
    fake_modem_schedule(modem, FAKE_MODEM_USSD_DELAY_MS,
                        "\r\n+CUSD: " + std::to_string(state) + ",\"" + text + "\",15\r\n");
    return {};
}

// Stores a received message and announces it.
int store_received(fake_modem *modem, const std::string &from, const std::string &pdu, int delay_ms)
{
    sms_message decoded = sms_decode_pdu(pdu);
    int index = fake_modem_store_add(modem->store, {"REC UNREAD", from, text_stamp(), decoded.text, pdu});
    if (index > 0)
        fake_modem_schedule(modem, delay_ms, "\r\n+CMTI: \"SM\"," + std::to_string(index) + "\r\n");
    return index;
}

} // namespace

bool fake_modem_pdu_answer(fake_modem *modem, const std::string &command)
{
    auto args_of = [&](const char *name, std::string *args) {
        std::string prefix = std::string("AT+") + name;
        if (!command.starts_with(prefix))
            return false;
        *args = command.substr(prefix.size());
        return args->empty() || args->front() == '=' || args->front() == '?';
    };
    std::string args, answer;
    if (args_of("CPMS", &args) && (args == "?" || args.starts_with("="))) {
        answer = storage_answer(modem, args == "?" ? args : args.substr(1));
    } else if (args_of("CSCS", &args)) {
        answer = charset_answer(modem, args);
    } else if (command == "AT+CNUM") {
        answer = pdu_framed(line(std::string("+CNUM: \"\",\"") + FAKE_MODEM_OWN_NUMBER + "\",145"));
    } else if (args_of("CUSD", &args)) {
        answer = ussd_answer(modem, args);
        if (answer.empty())
            return true;
    } else if (!modem->store.text_mode && args_of("CMGL", &args)) {
        answer = list(modem->store, args.empty() ? "" : args.substr(1));
    } else if (!modem->store.text_mode && args_of("CMGR", &args) && args.starts_with("=")) {
        answer = read_one(modem->store, args.substr(1));
    } else {
        return false;
    }
    fake_modem_schedule(modem, modem->answer_delay_ms, answer);
    return true;
}

void fake_modem_pdu_written(fake_modem *modem, const std::string &kind, const std::string &command,
                            const std::string &text)
{
    bool ok;
    std::string bytes = unhex(text, &ok);
    int length = fake_modem_number_in(command.substr(command.find('=') + 1));
    size_t smsc = bytes.empty() ? 0 : static_cast<uint8_t>(bytes[0]) + 1u;
    submit s = ok && smsc < bytes.size() ? parse_submit(bytes.substr(smsc)) : submit{};
    if (!s.ok || length < 0 || size_t(length) != bytes.size() - smsc) {
        fake_modem_schedule(modem, modem->answer_delay_ms, cms_error(304));
        return;
    }
    if (kind == "+CMGW") {
        int index = fake_modem_store_add(modem->store, {"STO UNSENT", s.to, "", sms_decode_pdu(text).text, text});
        fake_modem_schedule(modem, modem->answer_delay_ms,
                            index > 0 ? pdu_framed(line("+CMGW: " + std::to_string(index))) : cms_error(322));
        return;
    }
    fake_modem_schedule(modem, modem->answer_delay_ms,
                        pdu_framed(line("+CMGS: " + std::to_string(++modem->message_count % 256))));
    if (digits_of(s.to) == digits_of(FAKE_MODEM_OWN_NUMBER))
        store_received(modem, FAKE_MODEM_OWN_NUMBER, deliver_pdu(s, FAKE_MODEM_OWN_NUMBER),
                       FAKE_MODEM_DELIVERY_DELAY_MS);
}

int fake_modem_pdu_receive(fake_modem *modem, const std::string &from, const std::string &text)
{
    sms_encoded encoded = sms_encode_submit(from, text);
    if (!encoded.error.empty())
        return -1;
    if (modem->store.messages.size() + encoded.parts.size() > size_t(FAKE_MODEM_STORE_SLOTS))
        return 0;
    int first = 0;
    for (const sms_part &part : encoded.parts) {
        bool ok;
        std::string bytes = unhex(part.pdu, &ok);
        size_t smsc = static_cast<uint8_t>(bytes[0]) + 1u;
        int index = store_received(modem, from, deliver_pdu(parse_submit(bytes.substr(smsc)), from), 0);
        first = first ? first : index;
    }
    return first;
}
