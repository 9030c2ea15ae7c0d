// What a modem's lines mean, as modems implement V.250 and 3GPP TS 27.007
// and 27.005: which lines are final result codes, which are unsolicited,
// which lines are message text, and which information lines a command owns.
// The one place that lists them; the reader (port/reader.cpp) applies them.
//
// - A final result is a whole line: OK, ERROR, NO CARRIER, BUSY, NO ANSWER,
//   NO DIALTONE (exactly that, blanks around it ignored), CONNECT or
//   "CONNECT <text>", and lines starting "+CME ERROR:" or "+CMS ERROR:".
//   A line that merely contains "OK" is none.
// - NO CARRIER ends only a dial or answer (ATD, ATA, ATO, AT+CGDATA, also
//   behind other commands on the line); at any other time it is a call that
//   ended, an unsolicited line.
// - An unsolicited line is one of the standard and vendors' lines listed in
//   grammar.cpp, any line starting '^' or '#', any "+UU...:" line, or a
//   prefix a port was given; a "+NAME:" / "^NAME:" / "#NAME:" line is not
//   unsolicited when judged against a command that runs AT+NAME (AT^NAME,
//   AT#NAME): it is that command's information line. +CUSD: is the answer
//   of AT+CUSD? and AT+CUSD=? only.
// - Message text follows +CMT:, +CBM:, a PDU-mode +CDS:, and a +CMGR: or
//   +CMGL: header that has one. A PDU is one line. A text-mode text is one
//   line on a port not yet seen to frame its answers as V.250 does; on a
//   framing port it runs to the next empty line (in a +CMGL: list, to the
//   next entry's header), or, where the header gives its length, until that
//   length is reached. A +CUSD: whose quoted text is not closed on its line
//   (a ",<dcs>" at its end closes it) goes on to the line that closes it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

enum final_code : uint8_t {
    FINAL_NONE,
    FINAL_OK,
    FINAL_ERROR,
    FINAL_NO_CARRIER,
    FINAL_BUSY,
    FINAL_NO_ANSWER,
    FINAL_NO_DIALTONE,
    FINAL_CONNECT,
    FINAL_CME_ERROR,
    FINAL_CMS_ERROR,
};

// The final result code the line is, FINAL_NONE for any other line.
final_code final_code_of(const char *line, size_t length);
// The code an end flag names when it is one of the final result codes
// ("OK", "+CME ERROR:", ...), FINAL_NONE for any other flag text.
final_code final_code_named(const char *flag);
// Whether a line that is `line_code` ends a wait for a flag naming
// `flag_code`: the same code, or any error for the flag "ERROR".
inline bool final_code_fits(final_code flag_code, final_code line_code)
{
    return flag_code == line_code ||
           (flag_code == FINAL_ERROR && (line_code == FINAL_CME_ERROR || line_code == FINAL_CMS_ERROR));
}

// What a command's bytes say about the lines that answer it.
struct command_traits {
    bool dial = false;       // a dial or answer: NO CARRIER is its result
    bool reads_ussd = false; // AT+CUSD? or AT+CUSD=?: +CUSD: is its answer
    bool prompts = false;    // the modem answers it with a "> " prompt
    // The extended commands it runs, with their lead ("+CSQ", "^HCSQ"):
    // lines starting with those names and ':' are its own.
    std::vector<std::string> names;
};
command_traits command_traits_of(const char *bytes, size_t length);

// What the basic commands of one command line (no CR) do to echo: 0 turns
// it off (E0, a bare E), 1 on (E1, Z, &F), -1 neither.
int echo_setting_of(const char *line, size_t length);

// An unsolicited line as recognised: `name` is what a command must run to
// own it ("+CREG"), empty for lines nobody owns (RING, RDY).
struct urc_match {
    bool found = false;
    bool no_carrier = false;
    bool startup = false; // a modem's start-up line: it has just reset
    std::string_view name;
};
// `extras` are the port's own prefixes (nullptr or empty for none).
urc_match unsolicited_line(const char *line, size_t length, const std::vector<std::string> *extras);
// The first bytes an unsolicited line may start with, the port's own
// prefixes aside: a line starting with any other is none, and needs no
// call to unsolicited_line to tell. The word table is checked against it
// when it is built.
constexpr bool unsolicited_lead(char first)
{
    switch (first) {
    case '+':
    case '^':
    case '#':
    case 'R':
    case 'P':
    case 'S':
    case 'C':
    case '*':
    case 'N': // NO CARRIER
    case ' ':
    case '\t': return true;
    default: return false;
    }
}
// Whether a recognised line is unsolicited when judged against `judge`,
// the command whose answer is due first (nullptr for none).
bool unsolicited_for(const urc_match &urc, const command_traits *judge);

// Message text and USSD text that follow a header.
enum text_line : uint8_t { TEXT_NONE, TEXT_UNSOLICITED, TEXT_ANSWER };
struct text_state {
    text_line kind = TEXT_NONE;
    bool ussd = false;   // runs to the closing quote
    bool framed = false; // runs to an empty line, or to its length
    bool listed = false; // a +CMGL: entry: the next entry's header ends it
    int32_t length = -1; // the header's <length>, -1 for none
    int32_t counted = 0;
    int32_t lines = 0;
    int32_t bytes = 0;
};
// What text a line announces, by what it is: an unsolicited line (`urc`
// found), or a line of an answer. `framing`: the port frames as V.250 does.
text_state text_announced(const urc_match &urc, const char *line, size_t length, bool framing);
// Whether the line is part of the text; the state is cleared once the text
// is over (before this line, when false is returned, or after it).
bool text_takes(text_state *text, const char *line, size_t length);
// A bare "> " prompt, or the start of text typed after one.
bool is_prompt_line(const char *line, size_t length);
