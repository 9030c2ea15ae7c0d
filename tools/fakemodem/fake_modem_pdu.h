// The simulated modem in PDU mode (AT+CMGF=0), and its network services:
// - AT+CPMS? and AT+CPMS=<mem1>[,<mem2>[,<mem3>]] ("SM", "ME" and "MT" all
//   name the one store), AT+CSCS? and AT+CSCS="GSM"|"IRA"|"UCS2",
//   AT+CNUM (its own number, FAKE_MODEM_OWN_NUMBER).
// - AT+CMGL=<stat> (0..4) and AT+CMGR=<index> list PDUs: each stored
//   message keeps its PDU (SMSC address first), and listing marks received
//   unread ones read.
// - AT+CMGS=<length> takes the PDU at its prompt: the length must be the
//   TPDU's octets (else +CMS ERROR: 304); a message to its own number comes
//   back as an SMS-DELIVER, stored and announced with +CMTI after
//   FAKE_MODEM_DELIVERY_DELAY_MS. AT+CMGW=<length>
//   stores the PDU as unsent.
// - AT+CUSD=1,"<code>"[,<dcs>] answers OK, then +CUSD: after
//   FAKE_MODEM_USSD_DELAY_MS: "*111#" opens a menu (state 1, a text of
//   several lines) that takes "1" (the balance) or "2"; any other code gets
//   the balance (state 0). Under AT+CSCS="UCS2" codes and answers are UCS2
//   hex. AT+CUSD=2 ends a session.
// Answers are framed by pdu_framed (one place, for the framing of the rest
// of the modem). Caller holds the modem's lock throughout.
#pragma once

#include <string>

struct fake_modem;

constexpr const char *FAKE_MODEM_OWN_NUMBER = "+15550100";
constexpr const char *FAKE_MODEM_BALANCE = "Your balance is 12.50 EUR, valid until 2026-12-31.";
constexpr int FAKE_MODEM_USSD_DELAY_MS = 300;
constexpr int FAKE_MODEM_DELIVERY_DELAY_MS = 200; // a message to its own number comes back after this

struct fake_modem_pdu_state {
    std::string memories[3] = {"SM", "SM", "SM"};
    std::string charset = "GSM";
    bool ussd_menu = false; // a session waits for the reply to the menu
};

// The framed answer to one of the commands above, queued; false for any
// other command.
bool fake_modem_pdu_answer(fake_modem *modem, const std::string &command);
// PDU text after an AT+CMGS=/AT+CMGW= prompt in PDU mode: answered (and
// queued) here.
void fake_modem_pdu_written(fake_modem *modem, const std::string &kind, const std::string &command,
                            const std::string &hex);
// A message arrives in PDU form: SMS-DELIVER from `from`, GSM 7-bit or
// UCS2 by the text, in concatenated parts when long; each part stored and
// announced. Returns the first part's index, 0 when the store is full, -1
// when the text or the sender cannot be encoded (nothing stored).
int fake_modem_pdu_receive(fake_modem *modem, const std::string &from, const std::string &text);
