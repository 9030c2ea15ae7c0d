// JSON text -> blobmsg, checked byte for byte against captures of the
// router's own client where they exist.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

extern "C" {
#include <libubox/blobmsg.h>
}

#include "tools/cli/blob_walk.h"
#include "tools/cli/blobmsg_json.h"

namespace
{

struct message {
    blob_buf b = {};
    bool ok = false;
    explicit message(const std::string &json)
    {
        blob_buf_init(&b, 0);
        ok = blobmsg_add_json_text(&b, json);
    }
    ~message() { blob_buf_free(&b); }

    std::string hex() const
    {
        std::string out;
        auto *p = reinterpret_cast<const uint8_t *>(b.head);
        for (size_t i = 0; i < blob_pad_len(b.head); i++) {
            char two[4];
            snprintf(two, sizeof two, "%s%02x", i ? " " : "", p[i]);
            out += two;
        }
        return out;
    }
    // The only top-level member.
    blob_member single() const
    {
        blob_cursor c = blob_cursor_over(blob_data(b.head), blob_len(b.head));
        blob_member m{};
        EXPECT_TRUE(blob_member_next(c, m));
        blob_member extra;
        EXPECT_FALSE(blob_member_next(c, extra));
        return m;
    }
};

TEST(JsonToBlobmsg, MatchesCapturedMethodArguments)
{
    message m(R"({"at_port":"/dev/ttyUSB2","timeout":5,"sendonly":true})");
    ASSERT_TRUE(m.ok);
    EXPECT_EQ(m.hex(), "00 00 00 4c "
                       "83 00 00 1d 00 07 61 74 5f 70 6f 72 74 00 00 00 "
                       "2f 64 65 76 2f 74 74 79 55 53 42 32 00 00 00 00 "
                       "85 00 00 14 00 07 74 69 6d 65 6f 75 74 00 00 00 00 00 00 05 "
                       "87 00 00 11 00 08 73 65 6e 64 6f 6e 6c 79 00 00 01 00 00 00");
}

TEST(JsonToBlobmsg, NestedContainersNullAndEmpty)
{
    message nested(R"({"t":{"x":4660,"arr":[72623859790382856,1.5]}})");
    ASSERT_TRUE(nested.ok);
    EXPECT_EQ(nested.hex(), "00 00 00 44 "
                            "82 00 00 40 00 01 74 00 "
                            "85 00 00 0c 00 01 78 00 00 00 12 34 "
                            "81 00 00 2c 00 03 61 72 72 00 00 00 "
                            "84 00 00 10 00 00 00 00 01 02 03 04 05 06 07 08 "
                            "88 00 00 10 00 00 00 00 3f f8 00 00 00 00 00 00");

    message rest(R"({"n":null,"o":{},"a":[1,"x"]})");
    ASSERT_TRUE(rest.ok);
    EXPECT_EQ(rest.hex(), "00 00 00 34 "
                          "80 00 00 08 00 01 6e 00 "
                          "82 00 00 08 00 01 6f 00 "
                          "81 00 00 20 00 01 61 00 "
                          "85 00 00 0c 00 00 00 00 00 00 00 01 "
                          "83 00 00 0a 00 00 00 00 78 00 00 00");

    message empty("{}");
    ASSERT_TRUE(empty.ok);
    EXPECT_EQ(empty.hex(), "00 00 00 04");
}

TEST(JsonToBlobmsg, RepeatedKeyKeepsFirstPlaceTakesLastValue)
{
    message m(R"({"a":1,"a":2,"b":3})");
    ASSERT_TRUE(m.ok);
    EXPECT_EQ(blobmsg_format_json(m.b.head, false), R"({"a":2,"b":3})");

    message replaced(R"({"t":{"x":[1,2]},"b":true,"t":"flat"})");
    ASSERT_TRUE(replaced.ok);
    EXPECT_EQ(blobmsg_format_json(replaced.b.head, false), R"({"t":"flat","b":true})");

    message inner(R"({"t":{"k":1,"j":0,"k":{"deep":null}}})");
    ASSERT_TRUE(inner.ok);
    EXPECT_EQ(blobmsg_format_json(inner.b.head, false), R"({"t":{"k":{"deep":null},"j":0}})");
}

TEST(JsonToBlobmsg, NumberTypesFollowTheWrittenForm)
{
    struct row {
        const char *json;
        int type;
        int64_t value;
    } integers[] = {
        {R"({"v":0})", BLOBMSG_TYPE_INT32, 0},
        {R"({"v":-0})", BLOBMSG_TYPE_INT32, 0},
        {R"({"v":2147483647})", BLOBMSG_TYPE_INT32, INT32_MAX},
        {R"({"v":-2147483648})", BLOBMSG_TYPE_INT32, INT32_MIN},
        {R"({"v":2147483648})", BLOBMSG_TYPE_INT64, 2147483648LL},
        {R"({"v":-2147483649})", BLOBMSG_TYPE_INT64, -2147483649LL},
        {R"({"v":9223372036854775807})", BLOBMSG_TYPE_INT64, INT64_MAX},
        {R"({"v":9223372036854775808})", BLOBMSG_TYPE_INT64, INT64_MAX},
        {R"({"v":18446744073709551615})", BLOBMSG_TYPE_INT64, INT64_MAX},
        {R"({"v":123456789012345678901234567890})", BLOBMSG_TYPE_INT64, INT64_MAX},
        {R"({"v":-9223372036854775808})", BLOBMSG_TYPE_INT64, INT64_MIN},
        {R"({"v":-123456789012345678901234567890})", BLOBMSG_TYPE_INT64, INT64_MIN},
        {R"({"v":true})", BLOBMSG_TYPE_INT8, 1},
        {R"({"v":false})", BLOBMSG_TYPE_INT8, 0},
    };
    for (const row &r : integers) {
        message m(r.json);
        ASSERT_TRUE(m.ok) << r.json;
        blob_member v = m.single();
        EXPECT_EQ(v.type, r.type) << r.json;
        EXPECT_EQ(blob_member_int(v), r.value) << r.json;
    }

    struct real {
        const char *json;
        double value;
    } reals[] = {{R"({"v":1.0})", 1.0},
                 {R"({"v":1e3})", 1000.0},
                 {R"({"v":-2E-1})", -0.2},
                 {R"({"v":5.0})", 5.0},
                 {R"({"v":-0.0})", -0.0}};
    for (const real &r : reals) {
        message m(r.json);
        ASSERT_TRUE(m.ok) << r.json;
        blob_member v = m.single();
        EXPECT_EQ(v.type, BLOBMSG_TYPE_DOUBLE) << r.json;
        EXPECT_EQ(blob_member_double(v), r.value) << r.json;
    }
}

TEST(JsonToBlobmsg, StringsEndAtAnEscapedNul)
{
    message m(R"({"k\u0000ey":"va\u0000lue","u":"\u00e9\n"})");
    ASSERT_TRUE(m.ok);
    EXPECT_EQ(blobmsg_format_json(m.b.head, false), "{\"k\":\"va\",\"u\":\"\xc3\xa9\\n\"}");
}

TEST(JsonToBlobmsg, RejectsAnythingButOneObject)
{
    for (const char *bad : {"", " ", "[1,2]", "\"text\"", "1", "null", "true", "{", "{\"a\":}", "{\"a\":1,}",
                            "{\"a\":1} {}", "{\"a\":1} x", "{'a':1}", "{a:1}"}) {
        message m(bad);
        EXPECT_FALSE(m.ok) << bad;
    }
    message spaced(" \n{ \"a\" : 1 }\t");
    EXPECT_TRUE(spaced.ok);
}

TEST(JsonToBlobmsg, BoundsNestingDepth)
{
    auto nested = [](int depth) {
        return "{\"a\":" + std::string(static_cast<size_t>(depth), '[') + std::string(static_cast<size_t>(depth), ']') +
               "}";
    };
    message fine(nested(200));
    EXPECT_TRUE(fine.ok);
    message deep(nested(100000));
    EXPECT_FALSE(deep.ok);
}

} // namespace
