// What tarnel-fakemodem does for each line written to its control FIFO:
//   ring              sends an unsolicited RING
//   sms FROM TEXT     a text message arrives from FROM: stored, then +CMTI
//   urc LINE          sends LINE as an unsolicited line
//   unplug            removes the link: the port vanishes, as on a modem reset
//   replug            puts the link back
//   pin PIN           the SIM asks for PIN (AT+CPIN? says SIM PIN) until it is given
//   fail COMMAND N    the next N times COMMAND is sent, it answers a plain ERROR
#pragma once

#include <string>
#include <string_view>

#include "tools/fakemodem/fake_modem.h"

// Returns false, with the reason, for a line it cannot carry out.
bool fake_modem_control(fake_modem *modem, std::string_view line, std::string *error);
