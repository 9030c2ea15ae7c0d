// The message store's commands and the messages that arrive.
#include "tools/fakemodem/fake_modem_messages.h"

#include <ctime>
#include <initializer_list>

#include "tools/fakemodem/fake_modem_state.h"

namespace
{

const char *const STATS[] = {"REC UNREAD", "REC READ", "STO UNSENT", "STO SENT"};

// Answers in plain form; the modem frames them (fake_modem_frame).
std::string with_ok(const std::string &lines)
{
    return lines + "OK\r\n";
}

std::string cms_error(int code)
{
    return "+CMS ERROR: " + std::to_string(code) + "\r\n";
}

std::string quoted(const std::string &text)
{
    return "\"" + text + "\"";
}

bool received(const fake_modem_message &m)
{
    return m.stat.starts_with("REC");
}

// Text mode: received messages carry the sender and the time, stored ones
// where they go. The alpha field (a phone book name) is always empty.
std::string header(const fake_modem_message &m)
{
    std::string h = quoted(m.stat) + "," + quoted(m.number) + ",";
    return received(m) ? h + "," + quoted(m.time) : h;
}

void mark_read(fake_modem_message &m)
{
    if (m.stat == "REC UNREAD")
        m.stat = "REC READ";
}

std::string read_one(fake_modem_store &store, const std::string &arg)
{
    auto it = store.messages.find(fake_modem_number_in(arg));
    if (it == store.messages.end())
        return cms_error(321); // invalid memory index
    std::string lines = "+CMGR: " + header(it->second) + "\r\n" + it->second.text + "\r\n";
    mark_read(it->second);
    return with_ok(lines);
}

// No argument lists the unread ones, as a modem does.
std::string list(fake_modem_store &store, const std::string &arg)
{
    std::string stat = arg.empty() ? "\"REC UNREAD\"" : arg;
    if (stat.size() < 2 || stat.front() != '"' || stat.back() != '"')
        return cms_error(305);
    stat = stat.substr(1, stat.size() - 2);
    bool known = stat == "ALL";
    for (const char *s : STATS)
        known = known || stat == s;
    if (!known)
        return cms_error(305); // invalid text mode parameter
    std::string lines;
    for (auto &[index, m] : store.messages) {
        if (stat != "ALL" && m.stat != stat)
            continue;
        lines += "+CMGL: " + std::to_string(index) + "," + header(m) + "\r\n" + m.text + "\r\n";
        mark_read(m);
    }
    return with_ok(lines);
}

// AT+CMGD=<index>[,<delflag>]: flag 1 deletes every read message, 2 the
// sent ones too, 3 the unsent ones too, 4 all; 0 or none the index alone.
std::string delete_messages(fake_modem_store &store, const std::string &args)
{
    size_t comma = args.find(',');
    int index = fake_modem_number_in(args.substr(0, comma));
    int flag = comma == std::string::npos ? 0 : fake_modem_number_in(args.substr(comma + 1));
    if (index < 0 || flag < 0 || flag > 4)
        return cms_error(305);
    if (flag == 0) {
        store.messages.erase(index);
        return with_ok("");
    }
    const char *gone[][4] = {{"REC READ"},
                             {"REC READ", "STO SENT"},
                             {"REC READ", "STO SENT", "STO UNSENT"},
                             {"REC READ", "STO SENT", "STO UNSENT", "REC UNREAD"}};
    std::erase_if(store.messages, [&](const auto &entry) {
        for (const char *stat : gone[flag - 1])
            if (stat && entry.second.stat == stat)
                return true;
        return false;
    });
    return with_ok("");
}

// The number in AT+CMGS="<da>" or AT+CMGW="<da>", empty when there is none.
std::string destination(const std::string &command)
{
    size_t open = command.find('"'), close = open == std::string::npos ? open : command.find('"', open + 1);
    return close == std::string::npos ? std::string() : command.substr(open + 1, close - open - 1);
}

std::string now_stamp()
{
    time_t now = time(nullptr);
    tm utc;
    gmtime_r(&now, &utc);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%y/%m/%d,%H:%M:%S+00", &utc);
    return stamp;
}

} // namespace

bool fake_modem_store_answer(fake_modem_store &store, const std::string &command, std::string *answer)
{
    auto args_of = [&](const char *name, std::string *args) {
        std::string prefix = std::string("AT+") + name;
        if (command == prefix) {
            args->clear();
            return true;
        }
        if (!command.starts_with(prefix + "="))
            return false;
        *args = command.substr(prefix.size() + 1);
        return true;
    };
    std::string args;
    if (command == "AT+CMGF?") {
        *answer = with_ok("+CMGF: " + std::string(store.text_mode ? "1" : "0") + "\r\n");
    } else if (args_of("CMGF", &args)) {
        if (args != "0" && args != "1") {
            *answer = "ERROR\r\n";
            return true;
        }
        store.text_mode = args == "1";
        *answer = with_ok("");
    } else if (args_of("CMGD", &args)) {
        *answer = delete_messages(store, args);
    } else if (args_of("CMGR", &args) || args_of("CMGL", &args)) {
        if (!store.text_mode)
            *answer = cms_error(302); // operation not allowed
        else
            *answer = command.starts_with("AT+CMGR") ? read_one(store, args) : list(store, args);
    } else {
        return false;
    }
    return true;
}

int fake_modem_store_add(fake_modem_store &store, fake_modem_message message)
{
    for (int index = 1; index <= FAKE_MODEM_STORE_SLOTS; index++) {
        if (store.messages.count(index))
            continue;
        store.messages[index] = std::move(message);
        return index;
    }
    return 0;
}

int fake_modem_store_written(fake_modem_store &store, const std::string &command, const std::string &text)
{
    if (!store.text_mode)
        return 0;
    const char *stat = command.starts_with("AT+CMGS=") ? "STO SENT" : "STO UNSENT";
    return fake_modem_store_add(store, {stat, destination(command), "", text});
}

int fake_modem_receive_message(fake_modem *modem, const std::string &from, const std::string &text)
{
    std::lock_guard guard(modem->lock);
    // Kept as a PDU too (UCS2 where the text needs it, in parts when long);
    // a sender that is no number gets a message in text form only.
    int index = fake_modem_pdu_receive(modem, from, text);
    if (index < 0) {
        index = fake_modem_store_add(modem->store, {"REC UNREAD", from, now_stamp(), text});
        if (index > 0)
            modem->ready += "\r\n+CMTI: \"SM\"," + std::to_string(index) + "\r\n";
    }
    fake_modem_wake(modem);
    return index;
}

int fake_modem_number_in(const std::string &text)
{
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stoi(text);
}
