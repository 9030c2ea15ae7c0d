// Validation of untrusted bytes. Every buffer here is allocated to its
// exact size, so under ASan any read past a lying length is caught.
#include <gtest/gtest.h>

#include <libubox/blobmsg.h>
#include "bus/ubox/attr_walk.h"

#include "bytes.h"

namespace
{

struct CheckCase {
    const char *what;
    const char *hex;
    bool name;
    bool valid;
};

const CheckCase kCheckCases[] = {
    {"named string", "83 00 00 0a 00 01 61 00 62 00 00 00", true, true},
    {"length below header", "83 00 00 03 00 01 61 00 62 00 00 00", false, false},
    {"length beyond buffer", "83 00 00 10 00 01 61 00 62 00 00 00", false, false},
    {"no room for namelen", "83 00 00 05 00 00 00 00", false, false},
    {"name header beyond payload", "83 00 00 08 00 09 61 61", false, false},
    {"name not NUL-terminated", "83 00 00 0a 00 01 61 7a 62 00 00 00", false, false},
    {"empty name where one is needed", "83 00 00 0a 00 00 00 00 62 00 00 00", true, false},
    {"empty name where none is needed", "83 00 00 0a 00 00 00 00 62 00 00 00", false, true},
    {"type beyond double", "89 00 00 08 00 00 00 00", false, false},
    {"string without NUL", "83 00 00 0a 00 01 61 00 62 63 00 00", false, false},
    {"empty string", "83 00 00 08 00 01 61 00", false, false},
    {"string with inner NUL", "83 00 00 0b 00 01 61 00 00 62 00 00", false, true},
    {"int32 of 3 bytes", "85 00 00 0b 00 01 69 00 00 00 01 00", false, false},
    {"int32 of 4 bytes", "85 00 00 0c 00 01 69 00 00 00 00 01", false, true},
    {"int8 of 2 bytes", "87 00 00 0a 00 00 00 00 01 01 00 00", false, false},
    {"double of 4 bytes", "88 00 00 0c 00 00 00 00 3f f8 00 00", false, false},
    {"unspec with junk", "80 00 00 0b 00 00 00 00 01 02 03 00", false, true},
    {"plain attr, no name wanted", "05 00 00 08 00 00 00 01", false, true},
    {"plain attr, name wanted", "05 00 00 08 00 00 00 01", true, false},
    {"table with junk children", "82 00 00 0c 00 01 74 00 ff ff ff ff", false, true},
};

TEST(BlobmsgCheck, SingleAttributeRules)
{
    for (const CheckCase &c : kCheckCases) {
        std::vector<uint8_t> bytes = from_hex(c.hex);
        auto *attr = (const struct blob_attr *)bytes.data();

        EXPECT_EQ(blobmsg_check_attr_len(attr, c.name, bytes.size()), c.valid) << c.what;
        if (blob_raw_len(attr) <= bytes.size()) {
            EXPECT_EQ(blobmsg_check_attr(attr, c.name), c.valid) << c.what;
        }
        EXPECT_EQ(attr_walk::tree_ok(attr, c.name, bytes.size()), c.valid && blobmsg_type(attr) != BLOBMSG_TYPE_TABLE)
            << c.what;
    }
}

TEST(BlobmsgCheck, ContainerChildren)
{
    // Child claims 12 bytes inside an 8-byte region.
    std::vector<uint8_t> overlong = from_hex("82 00 00 10 00 01 74 00 83 00 00 0c 00 01 61 00");
    // Table child without a name: blobmsg_check_array wants table members
    // named, but the wire allows it (blobmsg_add_* with an empty name), so a
    // receiver must take it as it takes the same bytes as an array.
    std::vector<uint8_t> unnamed = from_hex("82 00 00 14 00 01 74 00 85 00 00 0c 00 00 00 00 00 00 00 01");
    std::vector<uint8_t> array = from_hex("81 00 00 14 00 01 74 00 85 00 00 0c 00 00 00 00 00 00 00 01");
    // Two bytes of trailing junk after a valid child.
    std::vector<uint8_t> trailing = from_hex("81 00 00 16 00 00 00 00 85 00 00 0c 00 00 00 00 00 00 00 01 00 00");

    auto attr = [](std::vector<uint8_t> &v) { return (const struct blob_attr *)v.data(); };

    EXPECT_EQ(blobmsg_check_array(attr(overlong), BLOBMSG_TYPE_UNSPEC), -1);
    EXPECT_FALSE(attr_walk::tree_ok(attr(overlong), false, overlong.size()));
    EXPECT_EQ(blobmsg_check_array(attr(unnamed), BLOBMSG_TYPE_UNSPEC), -1);
    EXPECT_TRUE(attr_walk::tree_ok(attr(unnamed), false, unnamed.size()));
    EXPECT_EQ(blobmsg_check_array(attr(array), BLOBMSG_TYPE_INT32), 1);
    EXPECT_EQ(blobmsg_check_array(attr(array), BLOBMSG_TYPE_STRING), -1);
    EXPECT_TRUE(blobmsg_check_attr_list(attr(array), BLOBMSG_TYPE_UNSPEC));
    EXPECT_TRUE(attr_walk::tree_ok(attr(array), false, array.size()));
    EXPECT_EQ(blobmsg_check_array(attr(trailing), BLOBMSG_TYPE_UNSPEC), -1);
    EXPECT_FALSE(attr_walk::tree_ok(attr(trailing), false, trailing.size()));

    // Iteration itself never leaves the container, whatever the child claims.
    struct blob_attr *cur;
    size_t rem;
    int seen = 0;
    blobmsg_for_each_attr(cur, attr(overlong), rem) seen++;
    EXPECT_EQ(seen, 0);
}

TEST(BlobmsgCheck, NestingDepthIsBounded)
{
    auto nested = [](int depth) {
        std::vector<uint8_t> out;
        for (int i = 0; i < depth; i++) {
            uint32_t len = 8 + 8 * (depth - 1 - i);
            uint8_t hdr[8] = {0x81, (uint8_t)(len >> 16), (uint8_t)(len >> 8), (uint8_t)len, 0, 0, 0, 0};
            out.insert(out.end(), hdr, hdr + 8);
        }
        out.shrink_to_fit();
        return out;
    };
    std::vector<uint8_t> ok = nested(attr_walk::max_depth);
    std::vector<uint8_t> deep = nested(attr_walk::max_depth + 2);

    EXPECT_TRUE(attr_walk::tree_ok((const struct blob_attr *)ok.data(), false, ok.size()));
    EXPECT_FALSE(attr_walk::tree_ok((const struct blob_attr *)deep.data(), false, deep.size()));
}

// Reads every value of an already validated tree through the public getters.
size_t walk(struct blob_attr *container)
{
    struct blob_attr *cur;
    size_t rem, total = 0;

    blobmsg_for_each_attr(cur, container, rem)
    {
        total += strlen(blobmsg_name(cur));
        switch (blobmsg_type(cur)) {
        case BLOBMSG_TYPE_ARRAY:
        case BLOBMSG_TYPE_TABLE: total += walk(cur); break;
        case BLOBMSG_TYPE_STRING: total += strlen(blobmsg_get_string(cur)); break;
        case BLOBMSG_TYPE_DOUBLE: total += blobmsg_get_double(cur) > 0; break;
        default: total += (size_t)blobmsg_cast_u64(cur); break;
        }
    }
    return total;
}

// Each truncation and single-byte corruption of a rich message either fails
// validation or yields a tree whose full walk stays inside the buffer.
TEST(BlobmsgCheck, CorruptedMessagesNeverReadOutOfBounds)
{
    struct blob_buf b = {};
    blob_buf_init(&b, 0);
    blobmsg_add_string(&b, "at_port", "/dev/ttyUSB2");
    void *t = blobmsg_open_table(&b, "t");
    blobmsg_add_u16(&b, "x", 0x1234);
    void *a = blobmsg_open_array(&b, "arr");
    blobmsg_add_u64(&b, NULL, 1);
    blobmsg_add_double(&b, NULL, 1.5);
    blobmsg_add_field(&b, BLOBMSG_TYPE_UNSPEC, NULL, NULL, 0);
    blobmsg_close_array(&b, a);
    blobmsg_close_table(&b, t);
    blobmsg_add_u8(&b, "sendonly", 1);
    std::vector<uint8_t> good((uint8_t *)b.head, (uint8_t *)b.head + blob_pad_len(b.head));
    blob_buf_free(&b);

    static const struct blobmsg_policy pol[] = {
        {.name = "at_port", .type = BLOBMSG_TYPE_STRING},
        {.name = "t", .type = BLOBMSG_TYPE_TABLE},
        {.name = "sendonly", .type = BLOBMSG_TYPE_BOOL},
    };
    auto exercise = [&](const std::vector<uint8_t> &bytes) {
        std::vector<uint8_t> exact(bytes);
        exact.shrink_to_fit();
        auto *root = (struct blob_attr *)exact.data();
        struct blob_attr *tb[3];

        if (exact.size() > 4)
            blobmsg_parse(pol, 3, tb, exact.data() + 4, (unsigned int)exact.size() - 4);
        if (exact.size() < 4 || blob_raw_len(root) < 4 || blob_raw_len(root) > exact.size())
            return false;
        blobmsg_parse(pol, 3, tb, blob_data(root), (unsigned int)blob_len(root));
        if (!attr_walk::tree_list_ok(blob_data(root), blob_len(root), true))
            return false;
        return walk(root) > 0;
    };

    EXPECT_TRUE(exercise(good));
    for (size_t len = 0; len < good.size(); len++)
        exercise(std::vector<uint8_t>(good.begin(), good.begin() + len));
    for (size_t i = 0; i < good.size(); i++) {
        for (uint8_t v : {0x00, 0x01, 0x7f, 0x80, 0xff, 0x5a}) {
            std::vector<uint8_t> bad(good);
            bad[i] = v;
            exercise(bad);
            bad[i] = (uint8_t)(good[i] + 1);
            exercise(bad);
        }
    }
}

} // namespace
