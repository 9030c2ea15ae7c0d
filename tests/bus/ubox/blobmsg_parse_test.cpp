// blobmsg_parse / blobmsg_parse_array / blob_parse selection rules.
#include <gtest/gtest.h>

#include <libubox/blobmsg.h>

#include "bytes.h"

namespace
{

struct Msg {
    struct blob_buf b = {};
    Msg() { blob_buf_init(&b, 0); }
    ~Msg() { blob_buf_free(&b); }
    void *data() { return blob_data(b.head); }
    unsigned int len() { return (unsigned int)blob_len(b.head); }
};

TEST(BlobmsgParse, FirstMatchingOccurrenceWins)
{
    Msg m;
    blobmsg_add_u32(&m.b, "at_port", 1);
    blobmsg_add_string(&m.b, "at_port", "first");
    blobmsg_add_string(&m.b, "at_port", "second");
    blobmsg_add_string(&m.b, "unknown", "zzz");
    blobmsg_add_u32(&m.b, "timeout", 1);
    blobmsg_add_u32(&m.b, "timeout", 2);
    blobmsg_add_u8(&m.b, "any", 9);
    blobmsg_add_u32(&m.b, "sendonly", 1);

    static const struct blobmsg_policy pol[] = {
        {.name = "at_port", .type = BLOBMSG_TYPE_STRING}, {.name = "timeout", .type = BLOBMSG_TYPE_INT32},
        {.name = "sendonly", .type = BLOBMSG_TYPE_BOOL},  {.name = "any", .type = BLOBMSG_TYPE_UNSPEC},
        {.name = "at_port", .type = BLOBMSG_TYPE_UNSPEC},
    };
    struct blob_attr *tb[5];

    ASSERT_EQ(blobmsg_parse(pol, 5, tb, m.data(), m.len()), 0);
    ASSERT_NE(tb[0], nullptr);
    EXPECT_STREQ(blobmsg_get_string(tb[0]), "first");
    ASSERT_NE(tb[1], nullptr);
    EXPECT_EQ(blobmsg_get_u32(tb[1]), 1u);
    EXPECT_EQ(tb[2], nullptr);
    ASSERT_NE(tb[3], nullptr);
    EXPECT_EQ(blobmsg_get_u8(tb[3]), 9);
    ASSERT_NE(tb[4], nullptr);
    EXPECT_EQ(blobmsg_type(tb[4]), BLOBMSG_TYPE_INT32);
    EXPECT_EQ(blobmsg_get_u32(tb[4]), 1u);
}

TEST(BlobmsgParse, EmptyInputClearsSlotsAndFails)
{
    Msg m;
    static const struct blobmsg_policy pol[] = {{.name = "a", .type = BLOBMSG_TYPE_STRING}};
    struct blob_attr *tb[1] = {(struct blob_attr *)&m};

    EXPECT_EQ(blobmsg_parse(pol, 1, tb, m.data(), m.len()), -EINVAL);
    EXPECT_EQ(tb[0], nullptr);
    tb[0] = (struct blob_attr *)&m;
    EXPECT_EQ(blobmsg_parse(pol, 1, tb, NULL, 4), -EINVAL);
    EXPECT_EQ(tb[0], nullptr);
}

// "a" is kept, the broken INT32 stops the parse, "b" after it is never seen.
TEST(BlobmsgParse, MalformedAttributeAbortsAndKeepsEarlierSlots)
{
    std::vector<uint8_t> data = from_hex("83 00 00 0a 00 01 61 00 78 00 00 00"
                                         "85 00 00 0b 00 01 69 00 00 00 01 00"
                                         "83 00 00 0a 00 01 62 00 79 00 00 00");
    static const struct blobmsg_policy pol[] = {
        {.name = "a", .type = BLOBMSG_TYPE_STRING},
        {.name = "b", .type = BLOBMSG_TYPE_STRING},
    };
    struct blob_attr *tb[2];

    EXPECT_EQ(blobmsg_parse(pol, 2, tb, data.data(), (unsigned int)data.size()), -1);
    ASSERT_NE(tb[0], nullptr);
    EXPECT_STREQ(blobmsg_get_string(tb[0]), "x");
    EXPECT_EQ(tb[1], nullptr);
}

// Names must match in full; a prefix, or a policy entry without a name, is no match.
TEST(BlobmsgParse, NamesMatchExactlyAndNamelessEntriesAreSkipped)
{
    Msg m;
    blobmsg_add_string(&m.b, "port", "p");
    blobmsg_add_string(&m.b, "portx", "q");
    static const struct blobmsg_policy pol[] = {
        {.name = "por", .type = BLOBMSG_TYPE_STRING},
        {.name = NULL, .type = BLOBMSG_TYPE_UNSPEC},
        {.name = "portx", .type = BLOBMSG_TYPE_STRING},
    };
    struct blob_attr *tb[3];

    ASSERT_EQ(blobmsg_parse(pol, 3, tb, m.data(), m.len()), 0);
    EXPECT_EQ(tb[0], nullptr);
    EXPECT_EQ(tb[1], nullptr);
    ASSERT_NE(tb[2], nullptr);
    EXPECT_STREQ(blobmsg_get_string(tb[2]), "q");
}

TEST(BlobmsgParse, CastInt64AcceptsEveryIntegerWidth)
{
    Msg m;
    blobmsg_add_u8(&m.b, "i8", 0xff);
    blobmsg_add_u16(&m.b, "i16", 0xfffe);
    blobmsg_add_u32(&m.b, "i32", 0xfffffffd);
    blobmsg_add_u64(&m.b, "i64", 5000000000ULL);
    blobmsg_add_string(&m.b, "s", "1");
    static const struct blobmsg_policy pol[] = {
        {.name = "i8", .type = BLOBMSG_CAST_INT64},  {.name = "i16", .type = BLOBMSG_CAST_INT64},
        {.name = "i32", .type = BLOBMSG_CAST_INT64}, {.name = "i64", .type = BLOBMSG_CAST_INT64},
        {.name = "s", .type = BLOBMSG_CAST_INT64},
    };
    struct blob_attr *tb[5];

    ASSERT_EQ(blobmsg_parse(pol, 5, tb, m.data(), m.len()), 0);
    for (int i = 0; i < 4; i++)
        ASSERT_NE(tb[i], nullptr) << i;
    EXPECT_EQ(tb[4], nullptr);
    EXPECT_EQ(blobmsg_cast_s64(tb[0]), -1);
    EXPECT_EQ(blobmsg_cast_u64(tb[0]), 255u);
    EXPECT_EQ(blobmsg_cast_s64(tb[1]), -2);
    EXPECT_EQ(blobmsg_cast_s64(tb[2]), -3);
    EXPECT_EQ(blobmsg_cast_u64(tb[3]), 5000000000ULL);
}

TEST(BlobmsgParse, ArrayFillsSlotsPositionallyByType)
{
    Msg m;
    blobmsg_add_u32(&m.b, NULL, 1);
    blobmsg_add_string(&m.b, NULL, "s1");
    blobmsg_add_string(&m.b, NULL, "s2");
    blobmsg_add_u32(&m.b, NULL, 2);
    blobmsg_add_u8(&m.b, NULL, 1);
    static const struct blobmsg_policy pol[] = {
        {.name = NULL, .type = BLOBMSG_TYPE_STRING},
        {.name = NULL, .type = BLOBMSG_TYPE_INT32},
        {.name = NULL, .type = BLOBMSG_TYPE_UNSPEC},
    };
    struct blob_attr *tb[3];

    ASSERT_EQ(blobmsg_parse_array(pol, 3, tb, m.data(), m.len()), 0);
    ASSERT_NE(tb[0], nullptr);
    EXPECT_STREQ(blobmsg_get_string(tb[0]), "s1");
    ASSERT_NE(tb[1], nullptr);
    EXPECT_EQ(blobmsg_get_u32(tb[1]), 2u);
    ASSERT_NE(tb[2], nullptr);
    EXPECT_TRUE(blobmsg_get_bool(tb[2]));

    Msg empty;
    EXPECT_EQ(blobmsg_parse_array(pol, 3, tb, empty.data(), empty.len()), 0);
    EXPECT_EQ(tb[0], nullptr);

    // A broken element is an error once it is reached.
    std::vector<uint8_t> bad = from_hex("83 00 00 09 00 00 00 00 78 00 00 00");
    EXPECT_EQ(blobmsg_parse_array(pol, 3, tb, bad.data(), (unsigned int)bad.size()), -1);
}

// Unlike blobmsg_parse, blob_parse keeps the last duplicate.
TEST(BlobParse, IndexesChildrenByIdLastWins)
{
    struct blob_buf b = {};
    blob_buf_init(&b, 0);
    blob_put_u32(&b, 1, 10);
    blob_put_u32(&b, 1, 11);
    blob_put_string(&b, 2, "s");
    blob_put_u8(&b, 3, 1);  /* fails the INT32 rule for id 3 */
    blob_put_u32(&b, 9, 1); /* beyond max */

    static const struct blob_attr_info info[4] = {
        {},
        {.type = BLOB_ATTR_INT32, .minlen = 0, .maxlen = 0, .validate = NULL},
        {.type = BLOB_ATTR_STRING, .minlen = 0, .maxlen = 0, .validate = NULL},
        {.type = BLOB_ATTR_INT32, .minlen = 0, .maxlen = 0, .validate = NULL},
    };
    struct blob_attr *tb[4];

    EXPECT_EQ(blob_parse(b.head, tb, info, 4), 2);
    ASSERT_NE(tb[1], nullptr);
    EXPECT_EQ(blob_get_u32(tb[1]), 11u);
    ASSERT_NE(tb[2], nullptr);
    EXPECT_STREQ(blob_get_string(tb[2]), "s");
    EXPECT_EQ(tb[3], nullptr);

    // The untrusted variant refuses a root that claims more than it has.
    EXPECT_EQ(blob_parse_untrusted(b.head, blob_raw_len(b.head) - 1, tb, info, 4), 0);
    EXPECT_EQ(tb[1], nullptr);
    EXPECT_EQ(blob_parse_untrusted(b.head, blob_raw_len(b.head), tb, info, 4), 2);
    blob_buf_free(&b);
}

} // namespace
