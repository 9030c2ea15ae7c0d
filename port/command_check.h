// What a caller may send as command text on a port that others share. The
// modem keeps one set of settings for everyone on the port: a command that
// turns off verbose results, silences them or moves the line-end
// characters leaves every other caller (and the daemon's own reading of
// answers) unable to tell where an answer ends. Such commands are refused
// before anything is written, as are bytes that are no command text at all.
//
// The text is judged as the modem will read it:
// - Command lines are separated by CR; an LF after a CR, spaces and other
//   control characters inside a line are ignored, as V.250 modems ignore
//   them. The text after the last CR is a command line too: it waits in
//   the modem until the next CR, whoever sends it.
// - A line starting "AT" (any case) holds basic commands: a letter (or '&'
//   and a letter) with an optional number, S-registers as "S<n>",
//   "S<n>=<v>" or "S<n>?"; an omitted number is 0. A dial ("D") runs to the
//   end of the line or a ';' and holds no commands; an extended command
//   ("+NAME", vendor "^NAME", "$NAME", "%NAME", "#NAME", "!NAME", "*NAME")
//   runs to the next ';' outside double quotes and is never read as basic
//   ones.
// - A line "A/" (any case) repeats the last line the modem received,
//   whoever sent it.
// - Message text is no command: with Ctrl-Z allowed, what comes before a
//   Ctrl-Z, back to the end of a line that prompts (or to the start of
//   the text, for a prompt opened by an earlier call), is text.
//
// Refused:
// - COMMAND_CONTROL_BYTES: NUL, ESC, or Ctrl-Z unless allowed. Ctrl-Z
//   and ESC end or cancel a prompt's text; message text goes as the
//   prompt's data, where the daemon knows the port is at its prompt.
// - COMMAND_BLANK: nothing but spaces, tabs, CR and LF; the modem answers
//   nothing, and the caller would wait out its timeout.
// - COMMAND_SHARED_SETTING: V0 (or a bare V), Q1, S3 other than 13, S4
//   other than 10, or a line "A/".
// - COMMAND_TOO_MANY: more than COMMAND_LINES_MAX non-blank command lines;
//   each owes an answer that the port must wait for.
#pragma once

#include <stddef.h>

enum command_refusal {
    COMMAND_ACCEPTED,
    COMMAND_CONTROL_BYTES,
    COMMAND_BLANK,
    COMMAND_SHARED_SETTING,
    COMMAND_TOO_MANY,
};

constexpr int COMMAND_LINES_MAX = 64;

// Judges the text of an at_cmd (see above).
command_refusal command_check(const char *text, size_t length, bool allow_ctrl_z = false);
// The reply's message for a refusal; "" for COMMAND_ACCEPTED.
const char *command_refusal_message(command_refusal r);

// Whether one command line (no CR) is one the modem answers with a "> "
// prompt: AT+CMGS, AT+CMGW or AT+CMGC (any case, also behind other
// commands joined with ';'; not their test or read forms), and the PDU-mode
// acknowledgement AT+CNMA=<n>,<length> with a length other than 0.
bool command_prompts(const char *line, size_t length);
// Whether one command line (no CR) is a data dial: a dial ATD... that does
// not end with ';' (which makes it a voice call), ATO, or AT+CGDATA (not
// its test form), also behind other commands on the line.
bool command_data_dial(const char *line, size_t length);
