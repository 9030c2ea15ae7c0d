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
    } else {
        *error = "unknown control line (ring, sms FROM TEXT, urc LINE, unplug, replug)";
        return false;
    }
    return true;
}
