// The simulated modem's message store (PDU mode: fake_modem_pdu.h): the SIM's storage ("SM"), indexes
// from 1, filled by AT+CMGS (as "STO SENT"), AT+CMGW ("STO UNSENT") and
// messages that arrive ("REC UNREAD", announced with +CMTI). Answers
// AT+CMGF, AT+CMGR, AT+CMGL and AT+CMGD in text mode, in plain form (each
// line ended with CR LF, the final result last), which the modem frames as
// a modem in verbose mode does. The modem starts in text mode; in PDU mode reading is not offered
// (+CMS ERROR: 302). Not thread-safe: the modem's lock guards it.
#pragma once

#include <map>
#include <string>

struct fake_modem_message {
    std::string stat;   // "REC UNREAD", "REC READ", "STO UNSENT" or "STO SENT"
    std::string number; // who sent it, or where it goes
    std::string time;   // "yy/MM/dd,hh:mm:ss+zz", for received ones only
    std::string text;
    std::string pdu = {}; // hex, SMSC first; made from the rest when empty (fake_modem_pdu.h)
};

struct fake_modem_store {
    bool text_mode = true;
    std::map<int, fake_modem_message> messages; // by index
};

constexpr int FAKE_MODEM_STORE_SLOTS = 30;

// The plain answer to a message-store command; false for any other command.
bool fake_modem_store_answer(fake_modem_store &store, const std::string &command, std::string *answer);
// Stores a message at the lowest free index and returns it, or 0 when full.
int fake_modem_store_add(fake_modem_store &store, fake_modem_message message);
// A command argument that is a whole decimal number (at most 6 digits), or -1.
int fake_modem_number_in(const std::string &text);
// Stores what message text after a prompt left behind, in text mode only:
// AT+CMGS sends it (stored as sent), AT+CMGW stores it. Returns the index,
// or 0 when nothing was stored.
int fake_modem_store_written(fake_modem_store &store, const std::string &command, const std::string &text);
