// The simulated modem's SIM lock and data context, and queries made to fail
// on purpose. A locked SIM answers +CPIN: SIM PIN until the configured PIN
// is given; three wrong PINs block it (SIM PUK), and ten wrong PUKs leave
// it blocked for good. While it is locked the network knows nothing of the
// modem, so registration, operator and data queries answer +CME ERROR: 11
// (SIM PIN required) or 12 (SIM PUK required), as modems do.
#include "tools/fakemodem/fake_modem_state.h"

#include <array>

namespace
{

constexpr int PIN_TRIES = 3;
constexpr int PUK_TRIES = 10;

// Queries the network answers: a locked SIM gets none of them.
constexpr std::array<std::string_view, 8> network_queries = {
    "AT+CREG?", "AT+CGREG?", "AT+CEREG?", "AT+C5GREG?", "AT+COPS?", "AT+CGACT?", "AT+CGPADDR", "AT+CESQ",
};

std::string ok(const std::string &lines)
{
    return lines.empty() ? "OK\r\n" : lines + "\r\nOK\r\n";
}

// The quoted fields of AT+CPIN="a"[,"b"]; false when it is not that shape.
bool cpin_fields(std::string_view command, std::string *first, std::string *second)
{
    std::string_view rest = command.substr(std::string_view("AT+CPIN=").size());
    auto quoted = [&rest](std::string *out) {
        if (rest.size() < 2 || rest.front() != '"')
            return false;
        size_t end = rest.find('"', 1);
        if (end == std::string_view::npos)
            return false;
        *out = std::string(rest.substr(1, end - 1));
        rest.remove_prefix(end + 1);
        return true;
    };
    if (!quoted(first))
        return false;
    second->clear();
    if (rest.empty())
        return true;
    if (rest.front() != ',')
        return false;
    rest.remove_prefix(1);
    return quoted(second) && rest.empty();
}

std::string enter_pin(fake_modem *modem, std::string_view command)
{
    std::string first, second;
    if (!cpin_fields(command, &first, &second))
        return "ERROR\r\n";
    fake_modem_sim &sim = modem->sim;
    if (sim.state == fake_modem_sim_state::ready)
        return "+CME ERROR: 3\r\n"; // nothing to unlock
    if (sim.state == fake_modem_sim_state::pin) {
        if (!second.empty())
            return "+CME ERROR: 3\r\n";
        if (first == sim.pin) {
            sim.state = fake_modem_sim_state::ready;
            sim.pin_tries = PIN_TRIES;
            return ok("");
        }
        if (--sim.pin_tries == 0)
            sim.state = fake_modem_sim_state::puk;
        return "+CME ERROR: 16\r\n"; // incorrect password
    }
    if (sim.puk_tries == 0 || second.empty())
        return "+CME ERROR: 12\r\n";
    if (first == sim.puk) {
        sim.state = fake_modem_sim_state::ready;
        sim.pin = second;
        sim.pin_tries = PIN_TRIES;
        sim.puk_tries = PUK_TRIES;
        return ok("");
    }
    --sim.puk_tries;
    return "+CME ERROR: 16\r\n";
}

std::string sim_answer(fake_modem *modem, std::string_view command)
{
    const fake_modem_sim &sim = modem->sim;
    if (command == "AT+CPIN?") {
        if (sim.state == fake_modem_sim_state::pin)
            return ok("+CPIN: SIM PIN");
        if (sim.state == fake_modem_sim_state::puk)
            return ok("+CPIN: SIM PUK");
        return {}; // READY, from the status table
    }
    if (command.starts_with("AT+CPIN="))
        return enter_pin(modem, command);
    if (command == "AT+CPINR")
        return ok("+CPINR: SIM PIN," + std::to_string(sim.pin_tries) + "," + std::to_string(PIN_TRIES) +
                  "\r\n+CPINR: SIM PUK," + std::to_string(sim.puk_tries) + "," + std::to_string(PUK_TRIES));
    if (sim.state != fake_modem_sim_state::ready)
        for (std::string_view query : network_queries)
            if (command == query)
                return sim.state == fake_modem_sim_state::pin ? "+CME ERROR: 11\r\n" : "+CME ERROR: 12\r\n";
    return {};
}

// Context 1 is up on the "internet" APN with both address families; context
// 2 (IMS) is defined and down. +CGPADDR gives IPv6 as 16 decimal octets, as
// modems do while AT+CGPIAF is left at its default.
std::string data_answer(std::string_view command)
{
    if (command == "AT+CGDCONT?")
        return ok("+CGDCONT: 1,\"IPV4V6\",\"internet\",\"0.0.0.0\",0,0\r\n"
                  "+CGDCONT: 2,\"IPV6\",\"ims\",\"\",0,0");
    if (command == "AT+CGACT?")
        return ok("+CGACT: 1,1\r\n+CGACT: 2,0");
    if (command == "AT+CGPADDR")
        return ok("+CGPADDR: 1,\"10.64.12.7\",\"32.1.13.184.0.0.0.0.0.0.0.0.0.0.0.1\"\r\n+CGPADDR: 2");
    if (command == "AT+CGPIAF?")
        return ok("+CGPIAF: 0,0,0,0");
    return {};
}

} // namespace

std::string fake_modem_sim_answer(fake_modem *modem, std::string_view command)
{
    if (auto it = modem->failing.find(command); it != modem->failing.end()) {
        if (--it->second == 0)
            modem->failing.erase(it);
        return "ERROR\r\n";
    }
    std::string answer = sim_answer(modem, command);
    return answer.empty() ? data_answer(command) : answer;
}

void fake_modem_lock_sim(fake_modem *modem, const std::string &pin)
{
    std::lock_guard guard(modem->lock);
    modem->sim.state = fake_modem_sim_state::pin;
    modem->sim.pin = pin;
    modem->sim.pin_tries = PIN_TRIES;
    modem->sim.puk_tries = PUK_TRIES;
}

void fake_modem_fail_next(fake_modem *modem, const std::string &command, int times)
{
    std::lock_guard guard(modem->lock);
    if (times > 0)
        modem->failing[command] = times;
    else
        modem->failing.erase(command);
}
