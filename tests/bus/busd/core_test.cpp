// The broker core driven directly: frame reading, reassembly, the output
// limit and a mutation fuzz over whole sessions.
#include "busd_wire.h"
#include "tools/busd/busd.h"
#include "tools/busd/frame.h"

#include <random>

#include <gtest/gtest.h>

namespace
{

using namespace busd;

struct Core {
    Busd b;
    uint32_t next = 0x1000;
    Core()
    {
        b.random = [this] { return next++; };
    }
    // Everything queued for a client, split into frames.
    std::vector<Bytes> take(uint32_t id)
    {
        Client &c = b.clients.at(id);
        std::vector<Bytes> out;
        size_t pos = c.out_off;
        while (c.out.size() - pos >= 12) {
            size_t len = 8 + (size_t(c.out[pos + 9]) << 16 | size_t(c.out[pos + 10]) << 8 | c.out[pos + 11]);
            out.emplace_back(c.out.begin() + long(pos), c.out.begin() + long(pos + len));
            pos += len;
        }
        busd_consume(c, busd_queued(c));
        return out;
    }
    bool feed(uint32_t id, const Bytes &m) { return busd_receive(b, id, m.data(), m.size()); }
};

const char *kAddMini = "00 06 00 01 00 00 00 00 00 00 00 6c 02 00 00 09 6d 69 6e 69 00 00 00 00 06 00 00 5c"
                       " 82 00 00 48 00 04 6f 70 65 6e 00 00"
                       " 85 00 00 14 00 07 61 74 5f 70 6f 72 74 00 00 00 00 00 00 03"
                       " 85 00 00 14 00 07 74 69 6d 65 6f 75 74 00 00 00 00 00 00 05"
                       " 85 00 00 14 00 08 73 65 6e 64 6f 6e 6c 79 00 00 00 00 00 07"
                       " 82 00 00 10 00 06 73 74 61 74 75 73 00 00 00 00";

TEST(BusdFrame, BodyLengthLimits)
{
    size_t len = 0;
    Bytes h = hx("00 03 00 01 00 00 00 00 00 00 00");
    EXPECT_EQ(frame_check(h.data(), h.size(), &len), FrameCheck::Incomplete);
    auto check = [&](const char *lenbytes, size_t have) {
        Bytes f = cat({hx("00 03 00 01 00 00 00 00"), hx(lenbytes)});
        f.resize(have);
        return frame_check(f.data(), f.size(), &len);
    };
    EXPECT_EQ(check("00 00 00 03", 12), FrameCheck::Invalid);
    EXPECT_EQ(check("80 00 00 00", 12), FrameCheck::Invalid);
    EXPECT_EQ(check("00 10 00 01", 12), FrameCheck::Invalid); // pads past 1 MiB
    EXPECT_EQ(check("00 10 00 00", 12), FrameCheck::Incomplete);
    EXPECT_EQ(check("00 10 00 00", 8 + 0x100000), FrameCheck::Complete);
    EXPECT_EQ(len, 8u + 0x100000);
    EXPECT_EQ(check("7f 00 00 05", 13), FrameCheck::Complete); // id and ext bits ignored
    EXPECT_EQ(len, 13u);
}

TEST(BusdFrame, AttributesAreCheckedAndIndexed)
{
    MsgAttrs a;
    // Wrong-sized OBJID, string without NUL and an id past the table are
    // ignored; the later of two OBJIDs wins; the last attribute may lack
    // its padding.
    Bytes body = hx("00 00 00 2d 03 00 00 06 00 01 00 00 02 00 00 06 6d 6d 00 00"
                    " 03 00 00 08 00 00 00 01 03 00 00 08 00 00 00 02 7f 00 00 04"
                    " 04 00 00 05 00");
    ASSERT_TRUE(msg_parse(body.data(), body.size(), &a));
    EXPECT_FALSE(a.tb[2]);
    EXPECT_EQ(attr_u32(a.tb[3]), 2u);
    ASSERT_TRUE(a.tb[4]);
    EXPECT_EQ(a.tb[4].len, 1u);

    for (const char *bad : {"00 00 00 0c 03 00 00 09 00 00 00 01", "00 00 00 0c 03 00 00 03 00 00 00 01",
                            "00 00 00 0a 03 00 00 04 00 00", "00 00 00 08 00 00 00 00"}) {
        Bytes m = hx(bad);
        EXPECT_FALSE(msg_parse(m.data(), m.size(), &a)) << bad;
    }

    // blobmsg fields: name bounds, NUL after the name, per-type sizes.
    auto split = [](const char *hex, bool named) {
        Bytes m = hx(hex);
        AttrIter it(m.data(), m.size());
        Attr at;
        Field f;
        return it.next(&at) && field_split(at, named, &f);
    };
    EXPECT_TRUE(split("85 00 00 0c 00 01 78 00 00 00 00 01", true));
    EXPECT_FALSE(split("05 00 00 0c 00 01 78 00 00 00 00 01", true)); // not extended
    EXPECT_FALSE(split("85 00 00 0c 00 09 78 00 00 00 00 01", true)); // name too long
    EXPECT_FALSE(split("85 00 00 0c 00 01 78 01 00 00 00 01", true)); // no NUL
    EXPECT_FALSE(split("85 00 00 0b 00 01 78 00 00 00 00 00", true)); // int32 of 3
    EXPECT_FALSE(split("85 00 00 0c 00 00 00 00 00 00 00 01", true)); // nameless
    EXPECT_TRUE(split("85 00 00 0c 00 00 00 00 00 00 00 01", false));
    EXPECT_FALSE(split("89 00 00 08 00 00 00 00", false));             // no such type
    EXPECT_FALSE(split("83 00 00 09 00 00 00 00 61 00 00 00", false)); // unterminated
}

TEST(BusdCore, FramesSplitAnywhereGiveTheSameAnswers)
{
    Bytes add = hx(kAddMini);
    Bytes ping = hx("00 03 00 07 00 00 12 34 00 00 00 0c 01 00 00 08 00 00 00 2a");
    Bytes stream = cat({add, ping, ping});

    Core whole;
    uint32_t w = busd_connect(whole.b, "u", "g");
    whole.take(w);
    ASSERT_TRUE(whole.feed(w, stream));
    std::vector<Bytes> expect = whole.take(w);
    ASSERT_EQ(expect.size(), 6u);

    for (size_t step : {1, 3, 7, 13, 100}) {
        Core bits;
        uint32_t id = busd_connect(bits.b, "u", "g");
        bits.take(id);
        for (size_t i = 0; i < stream.size(); i += step)
            ASSERT_TRUE(busd_receive(bits.b, id, stream.data() + i, std::min(step, stream.size() - i)));
        EXPECT_EQ(bits.take(id), expect) << "step " << step;
        EXPECT_TRUE(bits.b.clients.at(id).in.empty());
    }
}

// Ids are drawn from all 32 bits, so half of them have the top bit set;
// they must name objects and types where a long is 32 bits wide as well.
TEST(BusdCore, IdsWithTheTopBitSetAreUsable)
{
    Core c;
    uint32_t id = busd_connect(c.b, "u", "g");
    c.take(id);
    c.next = 0x80000000;
    ASSERT_TRUE(c.feed(id, hx(kAddMini)));
    // The new type is drawn first, then the object.
    std::map<std::string, uint32_t> ids = {{"T", 0x80000000}, {"O", 0x80000001}};
    EXPECT_EQ(c.take(id), (std::vector<Bytes>{
                              hx("00 02 00 01 00 00 00 00 00 00 00 14 03 00 00 08 {O} 05 00 00 08 {T}", ids),
                              hx("00 01 00 01 00 00 00 00 00 00 00 0c 01 00 00 08 00 00 00 00"),
                          }));
}

TEST(BusdCore, StalledClientsLoseMessagesNotTheBroker)
{
    Core c;
    uint32_t slow = busd_connect(c.b, "u", "g");
    uint32_t caller = busd_connect(c.b, "u", "g");
    Bytes big(8 + 262144, 0);
    big[1] = 3; // PING
    big[9] = 0x04;
    big[14] = 0xff; // one attribute filling the body
    big[15] = 0xfc;
    big[13] = 0x03;
    for (int i = 0; i < 8; i++)
        ASSERT_TRUE(c.feed(slow, big));
    const Client &s = c.b.clients.at(slow);
    EXPECT_LE(busd_queued(s), kMaxQueued + big.size());
    EXPECT_GT(s.dropped, 0u);

    // A call to an object whose owner does not read fails at once.
    ASSERT_TRUE(c.feed(slow, msg("00 06 00 01 00 00 00 00 00 00 00 04")));
    uint32_t obj = c.next - 1;
    ASSERT_TRUE(c.b.objects.count(obj));
    c.take(caller);
    ASSERT_TRUE(c.feed(caller, msg("00 05 00 02 {O} 00 00 00 18 03 00 00 08 {O}"
                                   " 04 00 00 06 78 00 00 00",
                                   {{"O", obj}})));
    EXPECT_EQ(c.take(caller), std::vector<Bytes>{hx("00 01 00 02 {O} 00 00 00 14 01 00 00 08 00 00 00 05"
                                                    " 03 00 00 08 {O}",
                                                    {{"O", obj}})});
    EXPECT_TRUE(c.b.calls.empty());
}

// Mutated sessions over three clients: the broker must neither crash nor
// read out of bounds (run under the address sanitizer), and its tables
// must stay consistent whatever it was fed.
TEST(BusdCore, MutationFuzz)
{
    const std::vector<Bytes> seeds = {
        msg(kAddMini),
        msg("00 06 00 01 00 00 00 00 00 00 00 04"),
        msg("00 04 00 01 00 00 00 00 00 00 00 0c 02 00 00 06 2a 00 00 00"),
        msg("00 04 00 01 00 00 00 00 00 00 00 04"),
        msg("00 05 00 02 00 00 10 00 00 00 00 1c 03 00 00 08 00 00 10 00"
            " 04 00 00 0b 73 74 61 74 75 73 00 00 07 00 00 04"),
        msg("00 05 00 01 00 00 00 01 00 00 00 54 03 00 00 08 00 00 00 01"
            " 04 00 00 09 73 65 6e 64 00 00 00 00 07 00 00 3c"
            " 83 00 00 14 00 02 69 64 00 00 00 00 66 6f 6f 2e 62 61 72 00"
            " 82 00 00 24 00 04 64 61 74 61 00 00 85 00 00 0c 00 01 78 00 00 00 00 01"
            " 83 00 00 0b 00 01 73 00 68 69 00 00"),
        msg("00 05 00 02 00 00 00 01 00 00 00 48 03 00 00 08 00 00 00 01"
            " 04 00 00 0d 72 65 67 69 73 74 65 72 00 00 00 00 07 00 00 2c"
            " 85 00 00 14 00 06 6f 62 6a 65 63 74 00 00 00 00 00 00 10 01"
            " 83 00 00 12 00 07 70 61 74 74 65 72 6e 00 00 00 2a 00 00 00"),
        msg("00 01 00 02 00 00 10 00 00 00 00 14 01 00 00 08 00 00 00 00 03 00 00 08 00 00 10 00"),
        msg("00 02 00 02 00 00 10 01 00 00 00 14 03 00 00 08 00 00 10 00 07 00 00 08 00 00 00 00"),
        msg("00 07 00 03 00 00 00 00 00 00 00 0c 03 00 00 08 00 00 10 00"),
        msg("00 03 00 07 00 00 12 34 00 00 00 0c 01 00 00 08 00 00 00 2a"),
        msg("00 08 00 02 00 00 00 00 00 00 00 00 03 00 00 08 00 00 10 01 08 00 00 08 00 00 10 00"),
        msg("00 09 00 02 00 00 00 00 00 00 00 00 03 00 00 08 00 00 10 01 08 00 00 08 00 00 10 00"),
        msg("00 0a 00 05 00 00 10 00 00 00 00 00 03 00 00 08 00 00 10 00"
            " 04 00 00 09 74 69 63 6b 00 00 00 00 07 00 00 04"),
    };
    std::mt19937 rng(20260321);
    Core c;
    std::vector<uint32_t> ids;
    std::map<int, int> sent; // by message type
    for (int round = 0; round < 20000; round++) {
        if (ids.size() < 3)
            ids.push_back(busd_connect(c.b, "u", "g"));
        uint32_t id = ids[rng() % ids.size()];
        Bytes m = seeds[rng() % seeds.size()];
        // Aim ids at things that exist, then damage a few bytes.
        bool event_call = m.size() >= 20 && m[19] == 1;
        if (m.size() >= 20 && !event_call && !c.b.objects.empty() && rng() % 2) {
            uint32_t obj = std::next(c.b.objects.begin(), long(rng() % c.b.objects.size()))->first;
            for (int i = 0; i < 4; i++)
                m[16 + i] = m[4 + i] = uint8_t(obj >> (24 - 8 * i));
        }
        for (unsigned k = rng() % 2 ? rng() % 4 : 0; k > 0; k--)
            m[rng() % m.size()] = uint8_t(rng());
        if (rng() % 16 == 0)
            m.resize(rng() % (m.size() + 1));
        if (!c.feed(id, m) || rng() % 64 == 0) {
            busd_disconnect(c.b, id);
            std::erase(ids, id);
        }
        for (uint32_t x : ids)
            for (const Bytes &f : c.take(x))
                sent[f[1]]++;
    }
    // Guards against a fuzz that only ever trips the frame checks.
    EXPECT_GT(sent[5], 50) << "INVOKEs forwarded or events delivered";
    EXPECT_GT(sent[2], 500) << "DATA replies";
    for (const auto &[path, obj] : c.b.paths)
        EXPECT_EQ(c.b.objects.at(obj).path, path);
    for (const auto &[obj, o] : c.b.objects) {
        EXPECT_TRUE(c.b.clients.count(o.owner));
        EXPECT_TRUE(o.type == 0 || c.b.types.count(o.type));
        for (uint32_t sub : o.subscribers)
            EXPECT_TRUE(c.b.objects.count(sub) && c.b.objects.at(sub).targets.count(obj));
    }
    for (const auto &[obj, caller, seq] : c.b.calls)
        EXPECT_TRUE(c.b.objects.count(obj) && c.b.clients.count(caller));
}

} // namespace
