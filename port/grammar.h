// What a modem's lines mean, as modems implement V.250 and 3GPP TS 27.007
// and 27.005: which lines are final result codes, which are unsolicited,
// which line is message text, and which information lines a command owns.
// The one place that lists them; the reader (port/reader.cpp) applies them.
//
// - A final result is a whole line: OK, ERROR, NO CARRIER, BUSY, NO ANSWER,
//   NO DIALTONE (exactly that, blanks around it ignored), CONNECT or
//   "CONNECT <text>", and lines starting "+CME ERROR:" or "+CMS ERROR:".
//   A line that merely contains "OK" is none.
// - NO CARRIER ends only a dial or answer (ATD, ATA, ATO, AT+CGDATA, also
//   behind other commands on the line); at any other time it is a call that
//   ended, an unsolicited line.
// - An unsolicited line starts with one of URC_PREFIXES (grammar.cpp) and
//   is not an information line of the command it is judged against: an
//   extended command AT+NAME owns the lines that start "+NAME:".
// - The line after +CMT:, +CBM: and a PDU-mode +CDS: is the message's text,
//   and so is the line after a +CMGR: or +CMGL: header that has one. Only
//   that first line is known to be text: a text with line breaks inside is
//   protected up to its first break.
#pragma once

#include <stddef.h>
#include <stdint.h>

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
    bool dial = false; // a dial or answer: NO CARRIER is its result
    uint32_t owns = 0; // unsolicited prefixes that are its own information lines
};
command_traits command_traits_of(const char *bytes, size_t length);

// The line that follows a header, by what it is.
enum text_line : uint8_t { TEXT_NONE, TEXT_UNSOLICITED, TEXT_ANSWER };

// The unsolicited prefix a line starts with (an index into the list, or
// URC_NO_CARRIER), URC_NONE for none. Cheap: most lines are judged by
// their first bytes.
constexpr int URC_NONE = -1;
constexpr int URC_NO_CARRIER = 32;
int unsolicited_prefix(const char *line, size_t length);
// Whether a line with that prefix is unsolicited when judged against
// `judge`, the command whose answer is due first (nullptr for none).
bool unsolicited_for(int prefix, const command_traits *judge);
// What the line after an unsolicited line is.
text_line text_after(int prefix, const char *line, size_t length);
// Whether a +CMGR: or +CMGL: line announces a text line.
bool announces_message_text(const char *line, size_t length);
// A bare "> " prompt, or the start of text typed after one.
bool is_prompt_line(const char *line, size_t length);
