// What the simulated modem says back: the built-in answer table (status
// queries in fake_modem_status.cpp) and the queueing of an echo plus answer
// behind whatever is still on its way out.
#include "tools/fakemodem/fake_modem_state.h"

#include <algorithm>

namespace
{

// Plain form (fake_modem_frame frames them). None of these lines may hold "OK", "ERROR" or "NO CARRIER" before the
// final one, or begin with "AT": the daemon would end the command early or
// take the line for an echo.
const std::map<std::string, std::string, std::less<>> builtin_answers = {
    {"AT", "OK\r\n"},
    {"ATI", "Manufacturer: Tarnel\r\nModel: Simulated Modem\r\nRevision: 1.0\r\n"
            "IMEI: 350000000000001\r\nOK\r\n"},
};

// A chunk's delay counts from the chunk queued before it, or from now when
// nothing is waiting, so the bytes of one answer keep their spacing even
// behind a slow earlier answer.
} // namespace

void fake_modem_schedule(fake_modem *modem, int delay_ms, std::string bytes)
{
    auto base = fake_modem_clock::now();
    if (!modem->scheduled.empty())
        base = std::max(base, modem->scheduled.back().due);
    auto due = base + std::chrono::milliseconds(std::max(delay_ms, 0));
    modem->scheduled.push_back({due, std::move(bytes)});
}

namespace
{

void schedule(fake_modem *modem, int delay_ms, std::string bytes)
{
    fake_modem_schedule(modem, delay_ms, std::move(bytes));
}

// "AT+CMGS=..." -> "+CMGS", the answer's prefix once the text is in.
std::string message_command(const std::string &command)
{
    for (const char *kind : {"+CMGS", "+CMGW"})
        if (command.starts_with(std::string("AT") + kind + "="))
            return kind;
    return {};
}

// The command as read, with its CR; a modem that does not frame ends the
// echo's line with an LF of its own. A script is its own modem's answer:
// one that does not start with CR (or says nothing) does not frame.
std::string echo_of(const fake_modem *modem, const std::string &command, const std::vector<fake_modem_chunk> *script)
{
    bool framed = modem->framed;
    if (script) {
        auto first = std::find_if(script->begin(), script->end(),
                                  [](const fake_modem_chunk &chunk) { return !chunk.bytes.empty(); });
        framed = framed && first != script->end() && first->bytes.front() == '\r';
    }
    return command + (framed ? "\r" : "\r\n");
}

} // namespace

std::string fake_modem_frame(const fake_modem *modem, const std::string &plain)
{
    if (!modem->framed)
        return plain;
    // The final result code is the last line; what comes before it is
    // information text.
    size_t last = plain.size() < 3 ? std::string::npos : plain.rfind("\r\n", plain.size() - 3);
    if (last == std::string::npos)
        return "\r\n" + plain;
    return "\r\n" + plain.substr(0, last + 2) + "\r\n" + plain.substr(last + 2);
}

std::string fake_modem_answer(fake_modem *modem, const std::string &command)
{
    auto scripted = modem->answers.find(command);
    const std::vector<fake_modem_chunk> *script = scripted != modem->answers.end() ? &scripted->second : nullptr;
    if (modem->echo && modem->echo_at_once)
        modem->ready += echo_of(modem, command, script);
    else if (modem->echo)
        schedule(modem, 0, echo_of(modem, command, script));

    if (script) {
        for (const fake_modem_chunk &chunk : *script)
            schedule(modem, chunk.delay_ms, chunk.bytes);
        return {};
    }
    if (fake_modem_pdu_answer(modem, command))
        return {};
    std::string stored;
    if (fake_modem_store_answer(modem->store, command, &stored)) {
        schedule(modem, modem->answer_delay_ms, fake_modem_frame(modem, stored));
        return {};
    }
    std::string kind = message_command(command);
    if (!kind.empty()) {
        switch (modem->prompt) {
        case fake_modem_prompt::show: schedule(modem, 0, "\r\n> "); return kind;
        case fake_modem_prompt::refuse:
            schedule(modem, modem->answer_delay_ms, fake_modem_frame(modem, "ERROR\r\n"));
            return {};
        case fake_modem_prompt::withhold: return kind;
        case fake_modem_prompt::late:
            schedule(modem, modem->prompt_late_ms, "\r\n> ");
            modem->busy_until = modem->scheduled.back().due;
            return kind;
        }
    }
    std::string status = fake_modem_sim_answer(modem, command);
    if (status.empty())
        status = fake_modem_status_answer(modem, command);
    auto builtin = builtin_answers.find(command);
    if (status.empty())
        status = builtin != builtin_answers.end() ? builtin->second : "ERROR\r\n";
    schedule(modem, modem->answer_delay_ms, fake_modem_frame(modem, status));
    return {};
}

// +CMGS answers the message's reference, +CMGW the index it is stored at
// (in PDU mode, where nothing is stored, a reference too).
void fake_modem_answer_text(fake_modem *modem, const std::string &kind, const std::string &command,
                            const std::string &text)
{
    if (!modem->store.text_mode) {
        fake_modem_pdu_written(modem, kind, command, text);
        return;
    }
    int index = fake_modem_store_written(modem->store, command, text);
    if (kind == "+CMGW" && index == 0 && modem->store.text_mode) {
        schedule(modem, modem->answer_delay_ms, fake_modem_frame(modem, "+CMS ERROR: 322\r\n")); // memory full
        return;
    }
    int number = kind == "+CMGW" && index > 0 ? index : ++modem->message_count;
    std::string answer = kind + ": " + std::to_string(number) + "\r\nOK\r\n";
    schedule(modem, modem->answer_delay_ms, fake_modem_frame(modem, answer));
}
