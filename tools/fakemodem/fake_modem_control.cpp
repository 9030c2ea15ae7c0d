#include "tools/fakemodem/fake_modem_control.h"

#include <cerrno>
#include <cstring>

namespace
{

// "word rest of the line" -> word, and rest without the blanks in front.
std::string_view split_word(std::string_view line, std::string_view *rest)
{
    size_t end = line.find(' ');
    std::string_view word = line.substr(0, end);
    *rest = end == std::string_view::npos ? std::string_view() : line.substr(end + 1);
    while (!rest->empty() && rest->front() == ' ')
        rest->remove_prefix(1);
    return word;
}

bool link_result(int status, std::string *error)
{
    if (status == 0)
        return true;
    *error = strerror(errno);
    return false;
}

// "COMMAND N": the command is everything before the last word.
bool fail_next(fake_modem *modem, std::string_view rest, std::string *error)
{
    size_t space = rest.rfind(' ');
    std::string_view count = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
    int times = 0;
    for (char c : count)
        times = c >= '0' && c <= '9' && times < 1000 ? times * 10 + (c - '0') : -1;
    if (count.empty() || times < 0) {
        *error = "fail wants a command and how many times (fail AT+CSQ 3)";
        return false;
    }
    fake_modem_fail_next(modem, std::string(rest.substr(0, space)), times);
    return true;
}

} // namespace

bool fake_modem_control(fake_modem *modem, std::string_view line, std::string *error)
{
    std::string_view rest;
    std::string_view word = split_word(line, &rest);
    if (word == "ring" && rest.empty()) {
        fake_modem_inject(modem, "\r\nRING\r\n");
    } else if (word == "urc" && !rest.empty()) {
        fake_modem_inject(modem, "\r\n" + std::string(rest) + "\r\n");
    } else if (word == "sms" && !rest.empty()) {
        std::string_view text;
        std::string from(split_word(rest, &text));
        if (fake_modem_receive_message(modem, from, std::string(text)) == 0) {
            *error = "the message store is full";
            return false;
        }
    } else if (word == "unplug" && rest.empty()) {
        return link_result(fake_modem_unplug(modem), error);
    } else if (word == "replug" && rest.empty()) {
        return link_result(fake_modem_replug(modem), error);
    } else if (word == "pin" && !rest.empty() && rest.find(' ') == std::string_view::npos) {
        fake_modem_lock_sim(modem, std::string(rest));
    } else if (word == "fail" && !rest.empty()) {
        return fail_next(modem, rest, error);
    } else {
        *error = "unknown control line (ring, sms FROM TEXT, urc LINE, unplug, replug, pin PIN, fail COMMAND N)";
        return false;
    }
    return true;
}
