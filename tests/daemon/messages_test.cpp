// The methods "batch", "sms_send", "sms_list", "sms_delete" and "ussd"
// through the bus against the simulated modem: what the replies say, and
// the order in which commands reach the modem.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/daemon/bus_calls.h"
#include "tests/daemon/daemon_with_modem.h"
#include "tools/fakemodem/fake_modem.h"
#include "tools/fakemodem/fake_modem_pdu.h"

using namespace std::chrono_literals;
using json = nlohmann::json;

class Messages : public DaemonWithModem
{
protected:
    json call(const char *method, json args)
    {
        args["at_port"] = port;
        bus_reply r = tarnel_call(env, method, args.dump());
        EXPECT_EQ(r.status, 0) << method;
        json reply = json::parse(r.json, nullptr, false);
        EXPECT_FALSE(reply.is_discarded()) << r.json;
        return reply;
    }

    std::string format_now()
    {
        json r = call("sendat", {{"at_cmd", "AT+CMGF?"}});
        return r.value("response", "");
    }
};

// A command of another caller, sent while a batch runs, waits for the whole
// batch; the modem sees the batch's commands back to back.
TEST_F(Messages, BatchRunsWithNothingInBetween)
{
    fake_modem_set_answer(modem.get(), "AT+CSQ", {{400, "\r\n+CSQ: 20,99\r\n\r\nOK\r\n"}});
    context_ptr other(ubus_connect(env.sock.c_str()));
    ASSERT_TRUE(other);
    json args = {{"at_port", port}, {"commands", {{{"at_cmd", "AT+CSQ"}}, {{"at_cmd", "AT+CGMI"}}}}};
    pending_call batch;
    ASSERT_TRUE(call_start(other.get(), env.tarnel_id, "batch", args.dump(), batch));
    ASSERT_TRUE(fake_modem_wait_log_contains(modem.get(), "AT+CSQ\r", 5s));

    json cut_in = call("sendat", {{"at_cmd", "ATI"}});
    EXPECT_EQ(cut_in["status"], "success");
    ASSERT_TRUE(call_finish(other.get(), batch, 10000));
    EXPECT_EQ(batch.reply.str("status"), "success");
    std::string log = fake_modem_log(modem.get());
    EXPECT_EQ(log, "AT+CSQ\r\nAT+CGMI\r\nATI\r\n");
}

// The first command that does not succeed ends the batch: what came after
// it is never written, and the reply holds sendat's replies of those run.
TEST_F(Messages, BatchStopsAtAFailingCommand)
{
    // An ERROR is an answer, as for sendat: the batch goes on.
    json r = call("batch", {{"commands", {{{"at_cmd", "AT+NOSUCH"}}, {{"at_cmd", "ATI"}}}}});
    EXPECT_EQ(r["status"], "success") << r;
    ASSERT_EQ(r["results"].size(), 2u);
    EXPECT_EQ(r["results"][0]["end_flag_matched"], "ERROR");

    fake_modem_set_answer(modem.get(), "AT+SILENT", {});
    fake_modem_clear_log(modem.get());
    r = call("batch",
             {{"commands", {{{"at_cmd", "AT"}}, {{"at_cmd", "AT+SILENT"}, {"timeout", 1}}, {{"at_cmd", "ATI"}}}}});
    EXPECT_EQ(r["status"], "timeout") << r;
    ASSERT_EQ(r["results"].size(), 2u) << r;
    EXPECT_EQ(r["results"][0]["status"], "success");
    EXPECT_EQ(r["results"][0]["response"], "AT\r\r\nOK\r\n");
    EXPECT_EQ(r["results"][1]["message"], "AT command timed out");
    EXPECT_EQ(fake_modem_log(modem.get()), "AT\r\nAT+SILENT\r\n");
}

// A step refused as sendat refuses it refuses the batch; nothing is written.
TEST_F(Messages, BatchRefusedWholeBeforeAnythingIsWritten)
{
    json r = call("batch", {{"commands", {{{"at_cmd", "AT"}}, {{"at_cmd", "ATV0"}}}}});
    EXPECT_EQ(r["status"], "error");
    EXPECT_NE(r["message"].get<std::string>().find("not allowed"), std::string::npos) << r;
    json many = json::array();
    for (int i = 0; i < 17; i++)
        many.push_back({{"at_cmd", "AT"}});
    EXPECT_EQ(call("batch", {{"commands", many}})["message"], "Too many commands");
    json slow = json::array({{{"at_cmd", "AT"}, {"timeout", 400}}, {{"at_cmd", "AT"}, {"timeout", 201}}});
    EXPECT_EQ(call("batch", {{"commands", slow}})["message"], "Batch too long");
    json large = json::array();
    for (int i = 0; i < 16; i++)
        large.push_back({{"at_cmd", "AT+" + std::string(40000, 'X')}});
    EXPECT_EQ(call("batch", {{"commands", large}})["message"], "Batch too large");
    EXPECT_EQ(fake_modem_log(modem.get()), "");
}

// 400 characters: UCS2 (Polish letters and an emoji), seven parts.
static std::string long_text()
{
    const std::string words = "Zażółć gęślą jaźń 😀 ";
    std::string text;
    size_t characters = 0;
    while (characters < 400) {
        for (size_t i = 0; i < words.size() && characters < 400;) {
            size_t length = 1;
            unsigned char c = words[i];
            length = c < 0x80 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
            text += words.substr(i, length);
            i += length;
            characters++;
        }
    }
    return text;
}

TEST_F(Messages, LongUnicodeMessageSentToItselfListsAsOneAndIsDeleted)
{
    const std::string text = long_text();
    json sent = call("sms_send", {{"to", FAKE_MODEM_OWN_NUMBER}, {"text", text}});
    ASSERT_EQ(sent["status"], "success") << sent;
    EXPECT_EQ(sent["parts"], 7);
    EXPECT_EQ(sent["references"].size(), 7u);
    EXPECT_EQ(sent.count("settings_restored"), 0u);
    // The modem was in text mode, and is again.
    EXPECT_NE(format_now().find("+CMGF: 1"), std::string::npos);

    json list = call("sms_list", json::object());
    ASSERT_EQ(list["status"], "success") << list;
    ASSERT_EQ(list["messages"].size(), 1u) << list;
    const json &m = list["messages"][0];
    EXPECT_EQ(m["text"], text);
    EXPECT_EQ(m["from"], FAKE_MODEM_OWN_NUMBER);
    EXPECT_EQ(m["status"], "unread");
    EXPECT_EQ(m["complete"], true);
    EXPECT_EQ(m["parts"], 7);
    EXPECT_EQ(m["indexes"], json({1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(list["storage"]["used"], 7);
    EXPECT_EQ(list["storage"]["total"], 30);
    EXPECT_NE(format_now().find("+CMGF: 1"), std::string::npos);
    // Listing marked it read.
    EXPECT_EQ(call("sms_list", {{"storage", "SM"}})["messages"][0]["status"], "read");

    json deleted = call("sms_delete", {{"indexes", m["indexes"]}});
    EXPECT_EQ(deleted["status"], "success") << deleted;
    EXPECT_EQ(deleted["deleted"], m["indexes"]);
    EXPECT_EQ(deleted["failed"], json::array());
    list = call("sms_list", json::object());
    EXPECT_EQ(list["messages"], json::array());
    EXPECT_EQ(list["storage"]["used"], 0);
}

// Parts of a long message that arrived, with one missing: merged as far as
// they go. A PDU that cannot be read keeps its PDU.
TEST_F(Messages, ListShowsIncompleteAndUnreadableMessages)
{
    ASSERT_GT(fake_modem_receive_message(modem.get(), "+15550123", std::string(200, 'a')), 0);
    json r = call("sms_delete", {{"indexes", {1}}});
    ASSERT_EQ(r["deleted"], json({1}));
    r = call("sms_list", json::object());
    ASSERT_EQ(r["messages"].size(), 1u) << r;
    EXPECT_EQ(r["messages"][0]["text"], std::string(47, 'a'));
    EXPECT_EQ(r["messages"][0]["complete"], false);
    EXPECT_EQ(r["messages"][0]["indexes"], json({2}));

    fake_modem_set_answer(modem.get(), "AT+CMGL=4", {{0, "\r\n+CMGL: 5,1,,3\r\n0011ZZ\r\n\r\nOK\r\n"}});
    r = call("sms_list", json::object());
    ASSERT_EQ(r["messages"].size(), 1u) << r;
    EXPECT_EQ(r["messages"][0]["pdu"], json({"0011ZZ"}));
    EXPECT_TRUE(r["messages"][0].contains("error"));
}

TEST_F(Messages, UssdAnswersWithTheBalanceInEitherCharacterSet)
{
    json r = call("ussd", {{"code", "*100#"}});
    EXPECT_EQ(r, json({{"status", "success"}, {"state", 0}, {"text", FAKE_MODEM_BALANCE}}));
    EXPECT_NE(fake_modem_log(modem.get()).find("AT+CUSD=1,\"*100#\",15\r"), std::string::npos);

    call("sendat", {{"at_cmd", "AT+CSCS=\"UCS2\""}});
    fake_modem_clear_log(modem.get());
    r = call("ussd", {{"code", "*100#"}});
    EXPECT_EQ(r["text"], FAKE_MODEM_BALANCE) << r;
    EXPECT_NE(fake_modem_log(modem.get()).find("AT+CUSD=1,\"002A0031003000300023\",15\r"), std::string::npos);
}

// A menu over several lines leaves the session waiting: a reply goes into
// it, a new code ends it first.
TEST_F(Messages, UssdMenuTakesAReplyAndANewCodeEndsTheSession)
{
    json r = call("ussd", {{"code", "*111#"}});
    EXPECT_EQ(r, json({{"status", "success"}, {"state", 1}, {"text", "Tarnel Mobile\n1 Balance\n2 Offers"}}));
    r = call("ussd", {{"code", "2"}});
    EXPECT_EQ(r["text"], "No offers today.");
    EXPECT_EQ(fake_modem_log(modem.get()).find("AT+CUSD=2\r"), std::string::npos);

    call("ussd", {{"code", "*111#"}});
    fake_modem_clear_log(modem.get());
    r = call("ussd", {{"code", "*100#"}});
    EXPECT_EQ(r["text"], FAKE_MODEM_BALANCE);
    EXPECT_EQ(fake_modem_log(modem.get()), "AT+CSCS?\r\nAT+CUSD=2\r\nAT+CUSD=1,\"*100#\",15\r\n");

    fake_modem_set_answer(modem.get(), "AT+CUSD=1,\"*5#\",15", {{0, "\r\nOK\r\n"}});
    r = call("ussd", {{"code", "*5#"}, {"timeout", 1}});
    EXPECT_EQ(r, json({{"status", "timeout"}, {"message", "No USSD answer"}}));
}
