// Byte-exact encodings against dumps captured from the stock library.
#include <gtest/gtest.h>

#include <libubox/blobmsg.h>
#include "bus/ubox/attr_walk.h"

#include "bytes.h"

namespace
{

struct Buf {
    struct blob_buf b = {};
    ~Buf() { blob_buf_free(&b); }
};

TEST(BlobEncoding, NestedBlobAttributes)
{
    Buf w;
    void *n;

    ASSERT_EQ(blob_buf_init(&w.b, 0), 0);
    blob_put_u32(&w.b, 3, 0x11223344);
    n = blob_nest_start(&w.b, 7);
    ASSERT_NE(n, nullptr);
    blob_put_string(&w.b, 4, "ab");
    blob_put_u8(&w.b, 10, 1);
    blob_put_u16(&w.b, 2, 0xaabb);
    blob_put_u64(&w.b, 2, 0x0102030405060708ULL);
    blob_nest_end(&w.b, n);

    EXPECT_EQ(dump(w.b), normalized("00 00 00 34  03 00 00 08 11 22 33 44  07 00 00 28"
                                    "04 00 00 07 61 62 00 00  0a 00 00 05 01 00 00 00"
                                    "02 00 00 06 aa bb 00 00  02 00 00 0c 01 02 03 04 05 06 07 08"));
}

TEST(BlobEncoding, FlatTableWithStringIntAndBool)
{
    Buf w;

    ASSERT_EQ(blob_buf_init(&w.b, 0), 0);
    blobmsg_add_string(&w.b, "at_port", "/dev/ttyUSB2");
    blobmsg_add_u32(&w.b, "timeout", 5);
    blobmsg_add_u8(&w.b, "sendonly", 1);

    EXPECT_EQ(dump(w.b), normalized("00 00 00 4c"
                                    "83 00 00 1d 00 07 61 74 5f 70 6f 72 74 00 00 00"
                                    "2f 64 65 76 2f 74 74 79 55 53 42 32 00 00 00 00"
                                    "85 00 00 14 00 07 74 69 6d 65 6f 75 74 00 00 00 00 00 00 05"
                                    "87 00 00 11 00 08 73 65 6e 64 6f 6e 6c 79 00 00 01 00 00 00"));

    Buf t;
    ASSERT_EQ(blobmsg_buf_init(&t.b), 0);
    blobmsg_add_string(&t.b, "a", "b");
    EXPECT_EQ(dump(t.b), normalized("02 00 00 10 83 00 00 0a 00 01 61 00 62 00 00 00"));
}

TEST(BlobEncoding, NestedTablesArraysNullAndDouble)
{
    Buf w;

    ASSERT_EQ(blob_buf_init(&w.b, 0), 0);
    void *t = blobmsg_open_table(&w.b, "t");
    blobmsg_add_u16(&w.b, "x", 0x1234);
    void *arr = blobmsg_open_array(&w.b, "arr");
    blobmsg_add_u64(&w.b, NULL, 0x0102030405060708ULL);
    blobmsg_add_double(&w.b, NULL, 1.5);
    blobmsg_close_array(&w.b, arr);
    blobmsg_close_table(&w.b, t);

    EXPECT_EQ(dump(w.b), normalized("00 00 00 44  82 00 00 40 00 01 74 00"
                                    "86 00 00 0a 00 01 78 00 12 34 00 00"
                                    "81 00 00 2c 00 03 61 72 72 00 00 00"
                                    "84 00 00 10 00 00 00 00 01 02 03 04 05 06 07 08"
                                    "88 00 00 10 00 00 00 00 3f f8 00 00 00 00 00 00"));

    ASSERT_EQ(blob_buf_init(&w.b, 0), 0);
    blobmsg_add_field(&w.b, BLOBMSG_TYPE_UNSPEC, "n", NULL, 0);
    blobmsg_close_table(&w.b, blobmsg_open_table(&w.b, "o"));
    void *a = blobmsg_open_array(&w.b, "a");
    blobmsg_add_u32(&w.b, NULL, 1);
    blobmsg_add_string(&w.b, NULL, "x");
    blobmsg_close_array(&w.b, a);

    EXPECT_EQ(dump(w.b), normalized("00 00 00 34  80 00 00 08 00 01 6e 00  82 00 00 08 00 01 6f 00"
                                    "81 00 00 20 00 01 61 00  85 00 00 0c 00 00 00 00 00 00 00 01"
                                    "83 00 00 0a 00 00 00 00 78 00 00 00"));
}

// A reused buffer still holds the previous message: padding and name
// headers must be written, not inherited.
TEST(BlobEncoding, ReusedBufferCarriesNoStaleBytes)
{
    Buf w;

    ASSERT_EQ(blob_buf_init(&w.b, 0), 0);
    blobmsg_add_string(&w.b, "xxxxxxxxxxxxxxxxxx", "yyyyyyyyyyyyyyyyyyyyyyyyyyyy");
    ASSERT_EQ(blob_buf_init(&w.b, 0), 0);
    blobmsg_add_string(&w.b, "a", "b");
    blob_put(&w.b, 2, NULL, 3);

    EXPECT_EQ(dump(w.b), normalized("00 00 00 18  83 00 00 0a 00 01 61 00 62 00 00 00  02 00 00 07 00 00 00 00"));
}

// Growth moves the buffer: open nests must keep pointing at the right place.
TEST(BlobEncoding, GrowthInsideOpenNestsKeepsStructure)
{
    Buf w;
    const int n = 2000;

    ASSERT_EQ(blob_buf_init(&w.b, 0), 0);
    void *outer = blobmsg_open_table(&w.b, "outer");
    void *list = blobmsg_open_array(&w.b, "list");
    for (int i = 0; i < n; i++)
        ASSERT_EQ(blobmsg_add_string(&w.b, NULL, "value"), 0);
    blobmsg_close_array(&w.b, list);
    blobmsg_add_u32(&w.b, "after", 7);
    blobmsg_close_table(&w.b, outer);

    ASSERT_TRUE(attr_walk::tree_list_ok(blob_data(w.b.head), blob_len(w.b.head), true));
    struct blob_attr *root = (struct blob_attr *)blob_data(w.b.head);
    static const struct blobmsg_policy pol[] = {
        {.name = "list", .type = BLOBMSG_TYPE_ARRAY},
        {.name = "after", .type = BLOBMSG_TYPE_INT32},
    };
    struct blob_attr *tb[2];
    ASSERT_EQ(blobmsg_parse_attr(pol, 2, tb, root), 0);
    ASSERT_NE(tb[0], nullptr);
    ASSERT_NE(tb[1], nullptr);
    EXPECT_EQ(blobmsg_check_array(tb[0], BLOBMSG_TYPE_STRING), n);
    EXPECT_EQ(blobmsg_get_u32(tb[1]), 7u);
}

TEST(BlobEncoding, RefusesWhatCannotBeEncoded)
{
    Buf w;
    std::string long_name(70000, 'n');

    ASSERT_EQ(blob_buf_init(&w.b, 0), 0);
    EXPECT_EQ(blobmsg_add_string(&w.b, long_name.c_str(), "v"), -1);
    EXPECT_EQ(blobmsg_add_field(&w.b, 9, "x", "", 0), -1);
    EXPECT_EQ(blob_put_raw(&w.b, "abc", 3), nullptr);
    // Closing the NULL cookie a failed open returns must change nothing.
    std::vector<char> huge(BLOB_ATTR_LEN_MASK);
    EXPECT_EQ(blob_put(&w.b, 1, huge.data(), (unsigned int)huge.size()), nullptr);
    blob_nest_end(&w.b, NULL);
    EXPECT_EQ(blob_raw_len(w.b.head), 4u);
}

// Copying an attribute's children into a new message reproduces them.
TEST(BlobEncoding, RawCopyAndDuplicate)
{
    Buf src, dst;

    ASSERT_EQ(blob_buf_init(&src.b, 7), 0);
    blobmsg_add_string(&src.b, "k", "v");
    blobmsg_add_u8(&src.b, "b", 1);
    ASSERT_EQ(blob_buf_init(&dst.b, 7), 0);
    ASSERT_NE(blob_put_raw(&dst.b, blob_data(src.b.head), (unsigned int)blob_len(src.b.head)), nullptr);
    EXPECT_TRUE(blob_attr_equal(src.b.head, dst.b.head));

    struct blob_attr *copy = blob_memdup(src.b.head);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(to_hex(copy, blob_pad_len(copy)), dump(src.b));
    blobmsg_add_u8(&dst.b, "c", 0);
    EXPECT_FALSE(blob_attr_equal(copy, dst.b.head));
    free(copy);
}

} // namespace
