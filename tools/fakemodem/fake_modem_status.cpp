// The simulated modem's status and identity answers, as a router's status
// page asks for them: signal (+CSQ, +CESQ), registration (a data-only LTE
// SIM: +CREG and +CGREG say 0, +CEREG says registered at home), operator
// and access technology, maker, model, firmware, IMEI, SIM state and
// ICCID (EF_ICCID through +CRSM, digit pairs swapped, and +CCID). With a
// moving signal each +CSQ takes a small random step, and +CESQ follows it.
#include "tools/fakemodem/fake_modem_state.h"

#include <algorithm>

namespace
{

// ICCID 8949020000123456789 as the SIM stores it: padded with F to 20
// digits, each pair swapped.
const char *const ICCID = "8949020000123456789";
const char *const EF_ICCID = "989420000021436587F9";

const std::map<std::string, std::string, std::less<>> fixed_answers = {
    {"AT+CREG?", "+CREG: 0,0"},
    {"AT+CGREG?", "+CGREG: 0,0"},
    {"AT+CEREG?", "+CEREG: 0,1"},
    {"AT+COPS?", "+COPS: 0,0,\"Tarnel Mobile\",7"},
    {"AT+CGMI", "Tarnel"},
    {"AT+CGMM", "Simulated Modem"},
    {"AT+CGMR", "1.0"},
    {"AT+CGSN", "350000000000001"},
    {"AT+CPIN?", "+CPIN: READY"},
    {"AT+CRSM=176,12258,0,0,10", std::string("+CRSM: 144,0,\"") + EF_ICCID + "\""},
    {"AT+CCID", std::string("+CCID: ") + ICCID},
};

// One step of the signal's random walk (xorshift), kept within 6..28.
void move_signal(fake_modem *modem)
{
    uint32_t &x = modem->signal_seed;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    modem->signal_rssi = std::clamp(modem->signal_rssi + int(x % 5) - 2, 6, 28);
}

// +CESQ from the same signal: RSRP some 22 dB under the RSSI, RSRQ with it.
std::string cesq(int rssi)
{
    int rssi_dbm = -113 + 2 * rssi;
    int rsrp = std::clamp(rssi_dbm - 22 + 141, 1, 97);
    int rsrq = std::clamp(rssi, 0, 34);
    return "+CESQ: 99,99,255,255," + std::to_string(rsrq) + "," + std::to_string(rsrp);
}

} // namespace

std::string fake_modem_status_answer(fake_modem *modem, std::string_view command)
{
    std::string line;
    if (command == "AT+CSQ") {
        if (modem->signal_moves)
            move_signal(modem);
        line = "+CSQ: " + std::to_string(modem->signal_rssi) + ",99";
    } else if (command == "AT+CESQ") {
        line = cesq(modem->signal_rssi);
    } else if (auto it = fixed_answers.find(command); it != fixed_answers.end()) {
        line = it->second;
    } else {
        return {};
    }
    return line + "\r\nOK\r\n";
}
