// Text messages and USSD as a modem shows them in PDU mode, to and from
// UTF-8. Pure functions: no I/O, no state, no exceptions; a failure is the
// `error` member of the result (empty on success).
//
// - sms_decode_pdu takes the hex of one +CMGL/+CMGR/+CMT PDU line, SMSC
//   address first, and decodes an SMS-DELIVER, SMS-SUBMIT or
//   SMS-STATUS-REPORT. It never reads past its input: anything short, odd
//   or not hex is an error. User data in a language shift table it does not
//   carry decodes with the default alphabet, and `note` says so.
// - sms_encode_submit splits UTF-8 text into at most 10 SMS-SUBMIT parts:
//   GSM 7-bit when every character is in the default alphabet or its
//   extension table, UCS2 otherwise; 160 septets / 70 UTF-16 units alone,
//   153 / 67 per part when concatenated, never splitting an escape or a
//   surrogate pair.
// - ussd_* read a +CUSD: line and turn its string into UTF-8 by its data
//   coding scheme and the modem's character set (AT+CSCS).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class sms_kind { DELIVER, SUBMIT, STATUS_REPORT };
enum class sms_alphabet { GSM7, EIGHT_BIT, UCS2 };

struct sms_concat {
    bool present = false;
    uint16_t ref = 0; // 8- or 16-bit reference, as the sender chose
    uint8_t total = 0;
    uint8_t seq = 0; // 1 .. total
};

struct sms_message {
    std::string error; // empty when decoded
    sms_kind kind = sms_kind::DELIVER;
    std::string smsc;        // "" when the PDU names none; "+..." when international
    std::string number;      // originator (DELIVER), destination (SUBMIT), recipient (STATUS-REPORT)
    uint8_t number_type = 0; // the address's type octet: 0x91 international, 0xD0 alphanumeric, ...
    std::string time;        // service-centre time stamp, "2026-12-09T10:00:00+04:00"; "" for a SUBMIT

    uint8_t first_octet = 0;
    bool udhi = false;           // a user data header precedes the text
    bool more_messages = false;  // DELIVER / STATUS-REPORT: the centre holds more (TP-MMS clear)
    bool status_report = false;  // DELIVER: SRI; SUBMIT: SRR; STATUS-REPORT: SRQ
    bool reply_path = false;     // DELIVER / SUBMIT
    uint8_t message_ref = 0;     // SUBMIT / STATUS-REPORT
    uint8_t validity_format = 0; // SUBMIT: 0 none, 2 relative, 1 enhanced, 3 absolute
    uint8_t pid = 0;
    uint8_t dcs = 0;
    sms_alphabet alphabet = sms_alphabet::GSM7;

    std::string text; // UTF-8; for 8-bit data the octets as upper-case hex
    sms_concat concat;
    std::string note; // what was decoded other than asked: an unknown shift table, compression, ...

    // STATUS-REPORT
    std::string discharge_time;
    uint8_t status = 0; // TP-ST: 0x00 delivered, 0x2x/0x4x/0x6x failures
};

sms_message sms_decode_pdu(std::string_view hex);

struct sms_part {
    std::string pdu;        // upper-case hex, SMSC octets first
    size_t tpdu_length = 0; // for AT+CMGS=<length>: the octets after the SMSC address
};

struct sms_encoded {
    std::string error; // empty when encoded
    sms_alphabet alphabet = sms_alphabet::GSM7;
    std::vector<sms_part> parts;
};

constexpr size_t SMS_PARTS_MAX = 10;

// to: "+" and digits (international) or digits; smsc likewise, empty for
// the one stored in the SIM. concat_ref names the parts of one long
// message to the receiver; without one it is derived from the address and
// the text, so a caller sending the same text twice in a row should pass
// its own (a counter).
sms_encoded sms_encode_submit(std::string_view to, std::string_view utf8_text, std::string_view smsc = {},
                              std::optional<uint8_t> concat_ref = std::nullopt);

// +CUSD: <m>[,<str>[,<dcs>]]. A reply cut over several lines is given
// joined by "\n"; the line breaks inside the quotes belong to str.
struct ussd_reply {
    std::string error; // empty when parsed
    int m = -1;
    bool has_str = false;
    std::string str; // as the modem wrote it, without the quotes
    int dcs = -1;    // -1 when absent
};

ussd_reply ussd_parse_line(std::string_view line);

// str decoded by dcs (CBS coding groups) under the modem's character set
// ("GSM", "IRA", "UCS2", ...): UCS2 hex, packed 7-bit hex, or text the
// modem already decoded. 8-bit data comes back as upper-case hex. The
// result is always valid UTF-8 (U+FFFD for what cannot be read).
std::string ussd_decode(std::string_view str, int dcs, std::string_view charset);

// The code to put in AT+CUSD=1,"<code>",15: as UCS2 hex under "UCS2",
// as it is otherwise. "" when code is not valid UTF-8.
std::string ussd_encode_code(std::string_view code, std::string_view charset);
