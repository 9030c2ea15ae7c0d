// The broker as a process, driven with raw bytes over its socket. Where a
// real exchange was captured, the bytes below are that capture with the
// run's random ids replaced by placeholders.
#include "busd_wire.h"

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

#include <gtest/gtest.h>

namespace
{

const char *kSignature = "06 00 00 5c"
                         " 82 00 00 48 00 04 6f 70 65 6e 00 00"
                         " 85 00 00 14 00 07 61 74 5f 70 6f 72 74 00 00 00 00 00 00 03"
                         " 85 00 00 14 00 07 74 69 6d 65 6f 75 74 00 00 00 00 00 00 05"
                         " 85 00 00 14 00 08 73 65 6e 64 6f 6e 6c 79 00 00 00 00 00 07"
                         " 82 00 00 10 00 06 73 74 61 74 75 73 00 00 00 00";

Bytes add_mini(uint16_t seq = 1)
{
    Bytes m = cat({hx("00 06 00 00 00 00 00 00 00 00 00 6c 02 00 00 09 6d 69 6e 69 00 00 00 00"), hx(kSignature)});
    m[2] = uint8_t(seq >> 8);
    m[3] = uint8_t(seq);
    return m;
}

Bytes status(uint16_t seq, uint32_t peer, uint32_t code)
{
    Bytes m = hx("00 01 00 00 {P} 00 00 00 0c 01 00 00 08 {C}", {{"P", peer}, {"C", code}});
    m[2] = uint8_t(seq >> 8);
    m[3] = uint8_t(seq);
    return m;
}

uint32_t u32_at(const Bytes &b, size_t off)
{
    return uint32_t(b.at(off)) << 24 | uint32_t(b.at(off + 1)) << 16 | uint32_t(b.at(off + 2)) << 8 | b.at(off + 3);
}

// Registers "mini" on `c` and returns {object id, type id}.
std::pair<uint32_t, uint32_t> register_mini(RawClient &c)
{
    c.send(add_mini());
    auto data = c.recv();
    auto st = c.recv();
    EXPECT_TRUE(data && st);
    if (!data || !st)
        return {0, 0};
    uint32_t obj = u32_at(*data, 16), type = u32_at(*data, 24);
    EXPECT_EQ(*data,
              hx("00 02 00 01 00 00 00 00 00 00 00 14 03 00 00 08 {O} 05 00 00 08 {T}", {{"O", obj}, {"T", type}}));
    EXPECT_EQ(*st, status(1, 0, 0));
    return {obj, type};
}

// INVOKE of the event object's "register" (header peer 1).
Bytes register_msg(uint16_t seq, uint32_t obj, const std::string &pattern)
{
    Bytes pat = hx("83 00 00 00 00 07 70 61 74 74 65 72 6e 00 00 00");
    pat.insert(pat.end(), pattern.begin(), pattern.end());
    pat.push_back(0);
    pat[3] = uint8_t(pat.size());
    while (pat.size() % 4)
        pat.push_back(0);
    Bytes obj_field = hx("85 00 00 14 00 06 6f 62 6a 65 63 74 00 00 00 00 {L}", {{"L", obj}});
    Bytes data_attr = cat({hx("07 00 00 00"), obj_field, pat});
    data_attr[3] = uint8_t(data_attr.size());
    Bytes body = cat(
        {hx("00 00 00 00 03 00 00 08 00 00 00 01"), hx("04 00 00 0d 72 65 67 69 73 74 65 72 00 00 00 00"), data_attr});
    body[3] = uint8_t(body.size());
    Bytes m = cat({hx("00 05 00 00 00 00 00 01"), body});
    m[2] = uint8_t(seq >> 8);
    m[3] = uint8_t(seq);
    return m;
}

uint32_t add_anonymous(RawClient &c)
{
    c.send(msg("00 06 00 01 00 00 00 00 00 00 00 04"));
    auto data = c.recv();
    EXPECT_TRUE(data && c.recv());
    return data && data->size() == 20 ? u32_at(*data, 16) : 0;
}

// An anonymous object listening for events matching `pattern`.
uint32_t listen_on(RawClient &c, const std::string &pattern)
{
    uint32_t obj = add_anonymous(c);
    c.send(register_msg(2, obj, pattern));
    EXPECT_EQ(c.recv(), status(2, 1, 0));
    return obj;
}

// INVOKE of the event object's "send": event "foo.bar" {"x":1,"s":"hi"}.
Bytes send_foo_bar(uint16_t seq)
{
    Bytes m = msg("00 05 00 00 00 00 00 01 00 00 00 54 03 00 00 08 00 00 00 01"
                  " 04 00 00 09 73 65 6e 64 00 00 00 00 07 00 00 3c"
                  " 83 00 00 14 00 02 69 64 00 00 00 00 66 6f 6f 2e 62 61 72 00"
                  " 82 00 00 24 00 04 64 61 74 61 00 00 85 00 00 0c 00 01 78 00 00 00 00 01"
                  " 83 00 00 0b 00 01 73 00 68 69 00 00");
    m[2] = uint8_t(seq >> 8);
    m[3] = uint8_t(seq);
    return m;
}

// Names of the events a listener receives, up to the first removal of an
// object (or the end of its stream).
std::vector<std::string> events_until_removal(RawClient &listener)
{
    std::vector<std::string> names;
    while (auto m = listener.recv()) {
        names.push_back(m->size() > 24 ? reinterpret_cast<const char *>(m->data()) + 24 : "?");
        if (names.back() == "ubus.object.remove")
            break;
    }
    return names;
}

std::string my_user()
{
    passwd *pw = getpwuid(getuid());
    return pw ? pw->pw_name : std::to_string(getuid());
}

std::string my_group()
{
    group *gr = getgrgid(getgid());
    return gr ? gr->gr_name : std::to_string(getgid());
}

struct BusdBroker : ::testing::Test {
    BrokerProcess broker;
};

TEST_F(BusdBroker, HelloPingAndUnhandledTypes)
{
    RawClient c(broker.sock);
    EXPECT_GE(c.id, 1024u);
    EXPECT_EQ(c.hello, hx("00 00 00 00 {ID} 00 00 00 04", {{"ID", c.id}}));
    RawClient d(broker.sock);
    EXPECT_NE(c.id, d.id);

    // PING comes back as DATA, version byte and all, then STATUS 0.
    c.send(msg("00 03 00 07 00 00 12 34 00 00 00 0c 01 00 00 08 00 00 00 2a"));
    EXPECT_EQ(c.recv(), hx("00 02 00 07 00 00 12 34 00 00 00 0c 01 00 00 08 00 00 00 2a"));
    EXPECT_EQ(c.recv(), hx("00 01 00 07 00 00 12 34 00 00 00 0c 01 00 00 08 00 00 00 00"));
    c.send(msg("07 03 00 08 00 00 00 05 00 00 00 04"));
    EXPECT_EQ(c.recv(), hx("07 02 00 08 00 00 00 05 00 00 00 04"));
    EXPECT_EQ(c.recv(), status(8, 5, 0));

    // HELLO, MONITOR and unknown types have no handler.
    for (uint8_t type : {0, 11, 12, 200}) {
        Bytes m = hx("00 00 00 09 00 00 00 03 00 00 00 04");
        m[1] = type;
        c.send(m);
        EXPECT_EQ(c.recv(), status(9, 3, 1)) << int(type);
    }
}

TEST_F(BusdBroker, AddObjectAndLookup)
{
    RawClient owner(broker.sock), other(broker.sock);
    auto [obj, type] = register_mini(owner);
    ASSERT_GE(obj, 1024u);
    ASSERT_GE(type, 1024u);

    other.send(msg("00 04 00 01 00 00 00 00 00 00 00 10 02 00 00 09 6d 69 6e 69 00 00 00 00"));
    Bytes entry = cat({hx("00 02 00 01 00 00 00 00 00 00 00 7c 02 00 00 09 6d 69 6e 69 00 00 00 00"
                          " 03 00 00 08 {O} 05 00 00 08 {T}",
                          {{"O", obj}, {"T", type}}),
                       hx(kSignature)});
    EXPECT_EQ(other.recv(), entry);
    EXPECT_EQ(other.recv(), status(1, 0, 0));

    // The same path again is refused; reusing the type by id is not.
    owner.send(add_mini(2));
    EXPECT_EQ(owner.recv(), status(2, 0, 2));
    owner.send(msg("00 06 00 03 00 00 00 00 00 00 00 14 02 00 00 07 61 62 00 00 05 00 00 08 {T}", {{"T", type}}));
    auto ab = owner.recv();
    ASSERT_TRUE(ab);
    EXPECT_EQ(ab->size(), 20u) << "no OBJTYPE when the type was reused";
    EXPECT_EQ(owner.recv(), status(3, 0, 0));
    // Typeless object with a path: exists, but LOOKUP does not show it.
    owner.send(msg("00 06 00 04 00 00 00 00 00 00 00 0c 02 00 00 06 6d 00 00 00"));
    EXPECT_TRUE(owner.recv());
    EXPECT_EQ(owner.recv(), status(4, 0, 0));
    // Unknown type id and an empty path are both invalid.
    owner.send(msg("00 06 00 05 00 00 00 00 00 00 00 10 02 00 00 06 78 00 00 00 05 00 00 08 00 00 00 09"));
    EXPECT_EQ(owner.recv(), status(5, 0, 2));
    owner.send(msg("00 06 00 06 00 00 00 00 00 00 00 08 02 00 00 05 00 00 00 00"));
    EXPECT_EQ(owner.recv(), status(6, 0, 2));

    // All objects, in byte order of their paths: "ab" < "mini" ("m" is typeless).
    auto paths_of = [&](const Bytes &req, uint16_t seq) {
        other.send(req);
        std::vector<std::string> paths;
        for (;;) {
            auto m = other.recv();
            if (!m || (*m)[1] != 2) {
                EXPECT_TRUE(m && *m == status(seq, 0, 0)) << (m ? dump(*m) : "none");
                return paths;
            }
            paths.push_back(reinterpret_cast<const char *>(m->data()) + 16);
        }
    };
    EXPECT_EQ(paths_of(msg("00 04 00 02 00 00 00 00 00 00 00 04"), 2), (std::vector<std::string>{"ab", "mini"}));
    EXPECT_EQ(paths_of(msg("00 04 00 03 00 00 00 00 00 00 00 0a 02 00 00 06 2a 00 00 00"), 3),
              (std::vector<std::string>{"ab", "mini"}));
    EXPECT_EQ(paths_of(msg("00 04 00 04 00 00 00 00 00 00 00 0c 02 00 00 07 6d 2a 00 00"), 4),
              (std::vector<std::string>{"mini"}));

    other.send(msg("00 04 00 05 00 00 00 00 00 00 00 0c 02 00 00 07 6e 6f 00 00"));
    EXPECT_EQ(other.recv(), status(5, 0, 4));
    other.send(msg("00 04 00 06 00 00 00 00 00 00 00 0c 02 00 00 07 7a 2a 00 00"));
    EXPECT_EQ(other.recv(), status(6, 0, 4));
    other.send(msg("00 04 00 07 00 00 00 00 00 00 00 0c 02 00 00 05 00 00 00 00"));
    EXPECT_EQ(other.recv(), status(7, 0, 2));
    // A typeless match is found but produces no entry.
    other.send(msg("00 04 00 08 00 00 00 00 00 00 00 0c 02 00 00 06 6d 00 00 00"));
    EXPECT_EQ(other.recv(), status(8, 0, 0));
}

TEST_F(BusdBroker, RemoveObject)
{
    RawClient owner(broker.sock), other(broker.sock);
    auto [obj, type] = register_mini(owner);
    Bytes remove = msg("00 07 00 09 00 00 00 00 00 00 00 0c 03 00 00 08 {O}", {{"O", obj}});

    other.send(remove);
    EXPECT_EQ(other.recv(), status(9, 0, 6));
    other.send(msg("00 07 00 0a 00 00 00 00 00 00 00 04"));
    EXPECT_EQ(other.recv(), status(10, 0, 2));

    // The type was used by this object only, so it goes too.
    owner.send(remove);
    EXPECT_EQ(owner.recv(),
              hx("00 02 00 09 00 00 00 00 00 00 00 14 03 00 00 08 {O} 05 00 00 08 {T}", {{"O", obj}, {"T", type}}));
    EXPECT_EQ(owner.recv(), status(9, 0, 0));
    owner.send(remove);
    EXPECT_EQ(owner.recv(), status(9, 0, 4));
    other.send(msg("00 04 00 01 00 00 00 00 00 00 00 10 02 00 00 09 6d 69 6e 69 00 00 00 00"));
    EXPECT_EQ(other.recv(), status(1, 0, 4));
}

TEST_F(BusdBroker, InvokeIsForwardedAndAnswered)
{
    RawClient owner(broker.sock), caller(broker.sock);
    auto [obj, type] = register_mini(owner);
    std::map<std::string, uint32_t> ids = {{"O", obj}, {"C", caller.id}};
    const char *args =
        "07 00 00 4c"
        " 83 00 00 1d 00 07 61 74 5f 70 6f 72 74 00 00 00 2f 64 65 76 2f 74 74 79 55 53 42 32 00 00 00 00"
        " 85 00 00 14 00 07 74 69 6d 65 6f 75 74 00 00 00 00 00 00 05"
        " 87 00 00 11 00 08 73 65 6e 64 6f 6e 6c 79 00 00 01 00 00 00";
    const char *open = "03 00 00 08 {O} 04 00 00 09 6f 70 65 6e 00 00 00 00";

    // NO_REPLY from the caller is not passed on; USER and GROUP are added.
    caller.send(cat({hx("00 05 00 02 {O} 00 00 00 6c", ids), hx(open, ids), hx("0a 00 00 05 01 00 00 00"), hx(args)}));
    Bytes user = str_attr(0x0c, my_user()), group = str_attr(0x0d, my_group());
    Bytes fwd_body = cat({hx(open, ids), user, group, hx(args)});
    Bytes fwd = cat({hx("00 05 00 02 {C} 00 00 00 00", ids), fwd_body});
    fwd[11] = uint8_t(fwd_body.size() + 4);
    EXPECT_EQ(owner.recv(), fwd);

    const char *reply = "00 00 00 4c 03 00 00 08 {O} 07 00 00 40"
                        " 83 00 00 19 00 04 70 6f 72 74 00 00 2f 64 65 76 2f 74 74 79 55 53 42 32 00 00 00 00"
                        " 85 00 00 10 00 02 66 64 00 00 00 00 00 00 00 07"
                        " 87 00 00 0d 00 02 6f 6b 00 00 00 00 01 00 00 00";
    const char *done = "00 00 00 14 01 00 00 08 00 00 00 00 03 00 00 08 {O}";
    owner.send(cat({hx("00 02 00 02 {C}", ids), hx(reply, ids)}));
    owner.send(cat({hx("00 01 00 02 {C}", ids), hx(done, ids)}));
    EXPECT_EQ(caller.recv(), cat({hx("00 02 00 02 {O}", ids), hx(reply, ids)}));
    EXPECT_EQ(caller.recv(), cat({hx("00 01 00 02 {O}", ids), hx(done, ids)}));

    // Replies that do not come from the object's owner go nowhere.
    caller.send(cat({hx("00 01 00 02 {C}", ids), hx(done, ids)}));
    owner.send(cat({hx("00 01 00 02 00 00 00 00", ids), hx(done, ids)}));
    EXPECT_TRUE(caller.nothing_queued());
    EXPECT_TRUE(owner.nothing_queued());

    // Unknown object: STATUS 4 without OBJID, header peer as sent.
    caller.send(msg("00 05 00 03 00 00 02 00 00 00 00 1c 03 00 00 08 00 00 02 00"
                    " 04 00 00 09 6f 70 65 6e 00 00 00 00 07 00 00 04"));
    EXPECT_EQ(caller.recv(), status(3, 0x200, 4));
    caller.send(msg("00 05 00 04 {O} 00 00 00 0c 03 00 00 08 {O}", ids));
    EXPECT_EQ(caller.recv(), status(4, obj, 2));
}

TEST_F(BusdBroker, EventsReachListenersOfOtherClients)
{
    RawClient listener(broker.sock), sender(broker.sock);
    uint32_t l = listen_on(listener, "*");
    uint32_t own = listen_on(sender, "foo.*");
    ASSERT_GE(own, 1024u);

    sender.send(send_foo_bar(1));
    EXPECT_EQ(sender.recv(), status(1, 1, 0));
    EXPECT_EQ(listener.recv(), hx("00 05 00 01 00 00 00 00 00 00 00 34 03 00 00 08 {L}"
                                  " 04 00 00 0c 66 6f 6f 2e 62 61 72 00 07 00 00 1c"
                                  " 85 00 00 0c 00 01 78 00 00 00 00 01 83 00 00 0b 00 01 73 00 68 69 00 00",
                                  {{"L", l}}));
    // The listener's answer (peer 0) is swallowed; the sender's own
    // matching listener got nothing.
    listener.send(msg("00 01 00 01 00 00 00 00 00 00 00 14 01 00 00 08 00 00 00 00 03 00 00 08 {L}", {{"L", l}}));
    EXPECT_TRUE(listener.nothing_queued());
    EXPECT_TRUE(sender.nothing_queued());

    // The broker's own namespace is closed to clients.
    sender.send(msg("00 05 00 02 00 00 00 01 00 00 00 38 03 00 00 08 00 00 00 01"
                    " 04 00 00 09 73 65 6e 64 00 00 00 00 07 00 00 24"
                    " 83 00 00 14 00 02 69 64 00 00 00 00 75 62 75 73 2e 78 00 00"
                    " 82 00 00 0c 00 04 64 61 74 61 00 00"));
    EXPECT_EQ(sender.recv(), status(2, 1, 6));

    // Objects coming and going are announced (second event: seq 2).
    RawClient owner(broker.sock);
    auto [obj, type] = register_mini(owner);
    EXPECT_EQ(listener.recv(), hx("00 05 00 02 00 00 00 00 00 00 00 48 03 00 00 08 {L}"
                                  " 04 00 00 14 75 62 75 73 2e 6f 62 6a 65 63 74 2e 61 64 64 00"
                                  " 07 00 00 28 85 00 00 10 00 02 69 64 00 00 00 00 {O}"
                                  " 83 00 00 11 00 04 70 61 74 68 00 00 6d 69 6e 69 00 00 00 00",
                                  {{"L", l}, {"O", obj}}));
    EXPECT_TRUE(sender.nothing_queued());
    owner.close_now();
    EXPECT_EQ(listener.recv(), hx("00 05 00 03 00 00 00 00 00 00 00 4c 03 00 00 08 {L}"
                                  " 04 00 00 17 75 62 75 73 2e 6f 62 6a 65 63 74 2e 72 65 6d 6f 76 65 00 00"
                                  " 07 00 00 28 85 00 00 10 00 02 69 64 00 00 00 00 {O}"
                                  " 83 00 00 11 00 04 70 61 74 68 00 00 6d 69 6e 69 00 00 00 00",
                                  {{"L", l}, {"O", obj}}));
}

// A client that writes and hangs up before the broker reads loses what it
// wrote, as on a router; one that waits for the answer first loses nothing.
// The broker is frozen meanwhile, so it wakes to the message and the
// hang-up together.
TEST_F(BusdBroker, HangUpDropsWhatWasNotReadYet)
{
    RawClient listener(broker.sock);
    listen_on(listener, "*");
    for (bool wait_for_answer : {false, true}) {
        SCOPED_TRACE(wait_for_answer ? "answered" : "hung up at once");
        RawClient quitter(broker.sock);
        register_mini(quitter); // its removal marks the hang-up for the listener
        if (!wait_for_answer) {
            ASSERT_TRUE(child_pause(broker.child));
        }
        quitter.send(send_foo_bar(2));
        if (wait_for_answer) {
            EXPECT_EQ(quitter.recv(), status(2, 1, 0));
        }
        quitter.close_now();
        child_resume(broker.child);
        std::vector<std::string> expected = {"ubus.object.add", "ubus.object.remove"};
        if (wait_for_answer)
            expected.insert(expected.begin() + 1, "foo.bar");
        EXPECT_EQ(events_until_removal(listener), expected);
    }
}

TEST_F(BusdBroker, EventRegistrationIsChecked)
{
    RawClient a(broker.sock), b(broker.sock);
    uint32_t mine = add_anonymous(a), theirs = add_anonymous(b);
    a.send(register_msg(3, 3, "*"));
    EXPECT_EQ(a.recv(), status(3, 1, 6));
    a.send(register_msg(4, theirs, "*"));
    EXPECT_EQ(a.recv(), status(4, 1, 6));
    a.send(register_msg(5, 0x7fff0000, "*"));
    EXPECT_EQ(a.recv(), status(5, 1, 4));
    a.send(register_msg(6, mine, ""));
    EXPECT_EQ(a.recv(), status(6, 1, 6));
    // No DATA at all, and "object" with the wrong type.
    a.send(msg("00 05 00 07 00 00 00 01 00 00 00 1c 03 00 00 08 00 00 00 01"
               " 04 00 00 0d 72 65 67 69 73 74 65 72 00 00 00 00"));
    EXPECT_EQ(a.recv(), status(7, 1, 2));
    Bytes wrong = register_msg(8, mine, "*");
    wrong[40] = 0x83; // "object" now claims to be a string
    a.send(wrong);
    EXPECT_EQ(a.recv(), status(8, 1, 2));
    a.send(msg("00 05 00 09 00 00 00 01 00 00 00 1c 03 00 00 08 00 00 00 01"
               " 04 00 00 0d 75 6e 6b 6e 6f 77 6e 00 00 00 00 00"));
    EXPECT_EQ(a.recv(), status(9, 1, 3));
}

TEST_F(BusdBroker, DepartedOwnerFailsWaitingCallsAndVanishes)
{
    RawClient caller(broker.sock);
    auto owner = std::make_unique<RawClient>(broker.sock);
    auto [obj, type] = register_mini(*owner);
    std::map<std::string, uint32_t> ids = {{"O", obj}, {"C", caller.id}};
    Bytes invoke = msg("00 05 00 02 {O} 00 00 00 1c 03 00 00 08 {O}"
                       " 04 00 00 0b 73 74 61 74 75 73 00 00 07 00 00 04",
                       ids);
    caller.send(invoke);
    invoke[3] = 3;
    caller.send(invoke);
    ASSERT_TRUE(owner->recv());
    ASSERT_TRUE(owner->recv());
    // The second call is answered before the owner goes; only the first waits.
    owner->send(hx("00 01 00 03 {C} 00 00 00 14 01 00 00 08 00 00 00 00 03 00 00 08 {O}", ids));
    EXPECT_EQ(caller.recv(), hx("00 01 00 03 {O} 00 00 00 14 01 00 00 08 00 00 00 00 03 00 00 08 {O}", ids));
    owner.reset();
    EXPECT_EQ(caller.recv(), hx("00 01 00 02 {O} 00 00 00 14 01 00 00 08 00 00 00 05 03 00 00 08 {O}", ids));
    EXPECT_TRUE(caller.nothing_queued());

    caller.send(msg("00 04 00 04 00 00 00 00 00 00 00 10 02 00 00 09 6d 69 6e 69 00 00 00 00"));
    EXPECT_EQ(caller.recv(), status(4, 0, 4));
    caller.send(invoke);
    EXPECT_EQ(caller.recv(), status(3, obj, 4));

    // The path is free again for a newcomer.
    RawClient again(broker.sock);
    register_mini(again);
}

TEST_F(BusdBroker, RemovedObjectFailsWaitingCalls)
{
    RawClient owner(broker.sock), caller(broker.sock);
    auto [obj, type] = register_mini(owner);
    std::map<std::string, uint32_t> ids = {{"O", obj}, {"C", caller.id}};
    caller.send(msg("00 05 00 05 {O} 00 00 00 1c 03 00 00 08 {O}"
                    " 04 00 00 0b 73 74 61 74 75 73 00 00 07 00 00 04",
                    ids));
    ASSERT_TRUE(owner.recv());
    owner.send(msg("00 07 00 02 00 00 00 00 00 00 00 0c 03 00 00 08 {O}", ids));
    EXPECT_EQ(caller.recv(), hx("00 01 00 05 {O} 00 00 00 14 01 00 00 08 00 00 00 05 03 00 00 08 {O}", ids));
}

// Each bad frame costs its sender the connection and nobody else anything.
TEST_F(BusdBroker, MalformedFramesDisconnectOnlyTheSender)
{
    RawClient bystander(broker.sock), owner(broker.sock);
    register_mini(owner);
    const std::vector<Bytes> bad = {
        hx("00 03 00 01 00 00 00 00 00 10 00 04"), // body > 1 MiB
        hx("00 03 00 01 00 00 00 00 00 ff ff ff"),
        hx("00 03 00 01 00 00 00 00 00 00 00 03"), // body < 4
        hx("00 03 00 01 00 00 00 00 00 00 00 00"),
        hx("00 04 00 01 00 00 00 00 00 00 00 0c 02 00 00 20 6d 00 00 00"),       // attr overruns
        hx("00 04 00 01 00 00 00 00 00 00 00 0c 02 00 00 02 6d 00 00 00"),       // attr < header
        hx("00 04 00 01 00 00 00 00 00 00 00 0e 02 00 00 07 6d 69 00 00 00 00"), // 2 stray bytes
    };
    for (const Bytes &frame : bad) {
        RawClient offender(broker.sock);
        offender.send(frame);
        EXPECT_TRUE(offender.wait_closed()) << dump(frame);
        EXPECT_TRUE(bystander.nothing_queued());
    }
    bystander.send(msg("00 04 00 01 00 00 00 00 00 00 00 10 02 00 00 09 6d 69 6e 69 00 00 00 00"));
    auto entry = bystander.recv();
    ASSERT_TRUE(entry);
    EXPECT_EQ((*entry)[1], 2);
    EXPECT_EQ(bystander.recv(), status(1, 0, 0));

    // Exactly 1 MiB of body is still fine.
    Bytes big(8 + 1048576, 0);
    big[1] = 3;
    big[9] = 0x10;
    big[13] = 0x0f; // one attribute filling the body
    big[14] = 0xff;
    big[15] = 0xfc;
    bystander.send(big);
    auto echo = bystander.recv();
    ASSERT_TRUE(echo);
    EXPECT_EQ(echo->size(), big.size());
    EXPECT_EQ(bystander.recv(), status(0, 0, 0));
}

TEST_F(BusdBroker, SignalEndsCleanlyAndRemovesSocket)
{
    struct stat st;
    ASSERT_EQ(stat(broker.sock.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    RawClient c(broker.sock);
    int ws = broker.stop(SIGTERM);
    ASSERT_TRUE(WIFEXITED(ws)) << ws;
    EXPECT_EQ(WEXITSTATUS(ws), 0);
    EXPECT_NE(stat(broker.sock.c_str(), &st), 0);
    EXPECT_TRUE(c.wait_closed());
}

} // namespace

namespace
{

TEST_F(BusdBroker, SubscribersGetNotifications)
{
    RawClient pub(broker.sock);
    auto sub = std::make_unique<RawClient>(broker.sock);
    auto [t, type] = register_mini(pub);
    uint32_t s = add_anonymous(*sub);
    std::map<std::string, uint32_t> ids = {{"T", t}, {"S", s}, {"P", pub.id}};

    sub->send(msg("00 08 00 02 00 00 00 00 00 00 00 00 03 00 00 08 {S} 08 00 00 08 {T}", ids));
    EXPECT_EQ(sub->recv(), status(2, 0, 0));
    EXPECT_EQ(pub.recv(), hx("00 0a 00 01 00 00 00 00 00 00 00 14 03 00 00 08 {T} 09 00 00 05 01 00 00 00", ids));

    // Waiting form: the subscriber list first, then each subscriber's answer.
    pub.send(msg("00 0a 00 05 {T} 00 00 00 00 03 00 00 08 {T} 04 00 00 09 74 69 63 6b 00 00 00 00"
                 " 07 00 00 04",
                 ids));
    EXPECT_EQ(pub.recv(), hx("00 01 00 05 {T} 00 00 00 20 03 00 00 08 {T} 0b 00 00 0c 00 00 00 08 {S}"
                             " 01 00 00 08 00 00 00 00",
                             ids));
    Bytes fwd_body = cat({hx("03 00 00 08 {S} 04 00 00 09 74 69 63 6b 00 00 00 00", ids), str_attr(0x0c, my_user()),
                          str_attr(0x0d, my_group()), hx("07 00 00 04")});
    Bytes fwd = cat({hx("00 05 00 05 {P} 00 00 00 00", ids), fwd_body});
    fwd[11] = uint8_t(fwd_body.size() + 4);
    EXPECT_EQ(sub->recv(), fwd);
    sub->send(hx("00 01 00 05 {P} 00 00 00 14 01 00 00 08 00 00 00 00 03 00 00 08 {S}", ids));
    EXPECT_EQ(pub.recv(), hx("00 01 00 05 {S} 00 00 00 14 01 00 00 08 00 00 00 00 03 00 00 08 {S}", ids));

    // Fire and forget: no list for the publisher, NO_REPLY for the subscriber.
    pub.send(msg("00 0a 00 06 {T} 00 00 00 00 0a 00 00 05 01 00 00 00 03 00 00 08 {T}"
                 " 04 00 00 09 74 69 63 6b 00 00 00 00",
                 ids));
    auto quiet = sub->recv();
    ASSERT_TRUE(quiet);
    EXPECT_EQ(Bytes(quiet->begin() + 12, quiet->begin() + 20), hx("0a 00 00 05 01 00 00 00"));
    EXPECT_TRUE(pub.nothing_queued());

    // Someone else's object cannot publish; the last subscriber leaving
    // makes the target inactive.
    sub->send(msg("00 0a 00 03 {T} 00 00 00 00 03 00 00 08 {T} 04 00 00 06 78 00 00 00", ids));
    EXPECT_EQ(sub->recv(), status(3, t, 6));
    sub.reset();
    EXPECT_EQ(pub.recv(), hx("00 0a 00 02 00 00 00 00 00 00 00 14 03 00 00 08 {T} 09 00 00 05 00 00 00 00", ids));

    // A target going away unsubscribes its followers.
    RawClient sub2(broker.sock);
    uint32_t s2 = add_anonymous(sub2);
    ids["S2"] = s2;
    sub2.send(msg("00 08 00 02 00 00 00 00 00 00 00 00 03 00 00 08 {S2} 08 00 00 08 {T}", ids));
    EXPECT_EQ(sub2.recv(), status(2, 0, 0));
    EXPECT_TRUE(pub.recv());
    pub.close_now();
    EXPECT_EQ(sub2.recv(), hx("00 09 00 00 00 00 00 00 00 00 00 14 03 00 00 08 {S2} 08 00 00 08 {T}", ids));
}

} // namespace
