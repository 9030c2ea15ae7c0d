// blobmsg -> JSON text as the client prints replies: indented and compact,
// and robust against malformed input from the wire.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libubox/blobmsg.h>
}

#include "tools/cli/blobmsg_json.h"

namespace
{

struct buf {
    blob_buf b = {};
    buf() { blob_buf_init(&b, 0); }
    ~buf() { blob_buf_free(&b); }
    std::string indented() { return blobmsg_format_json(b.head, true); }
    std::string compact() { return blobmsg_format_json(b.head, false); }
};

TEST(BlobmsgFormat, NestedIndentedAndCompact)
{
    buf m;
    void *t = blobmsg_open_table(&m.b, "t");
    blobmsg_add_u16(&m.b, "x", 0x1234);
    void *arr = blobmsg_open_array(&m.b, "arr");
    blobmsg_add_u64(&m.b, nullptr, 0x0102030405060708ULL);
    blobmsg_add_double(&m.b, nullptr, 1.5);
    void *inner = blobmsg_open_table(&m.b, nullptr);
    blobmsg_add_string(&m.b, "s", "v");
    blobmsg_close_table(&m.b, inner);
    blobmsg_close_array(&m.b, arr);
    blobmsg_close_table(&m.b, t);
    blobmsg_add_u8(&m.b, "b", 0);

    EXPECT_EQ(m.indented(), "{\n"
                            "\t\"t\": {\n"
                            "\t\t\"x\": 4660,\n"
                            "\t\t\"arr\": [\n"
                            "\t\t\t72623859790382856,\n"
                            "\t\t\t1.500000,\n"
                            "\t\t\t{\n"
                            "\t\t\t\t\"s\": \"v\"\n"
                            "\t\t\t}\n"
                            "\t\t]\n"
                            "\t},\n"
                            "\t\"b\": false\n"
                            "}");
    EXPECT_EQ(m.compact(), R"({"t":{"x":4660,"arr":[72623859790382856,1.500000,{"s":"v"}]},"b":false})");
}

TEST(BlobmsgFormat, EmptyContainersKeepTheirBlankLine)
{
    buf empty;
    EXPECT_EQ(empty.indented(), "{\n\t\n}");
    EXPECT_EQ(empty.compact(), "{}");
    EXPECT_EQ(blobmsg_format_json(nullptr, true), "{\n\t\n}");

    buf m;
    blobmsg_close_array(&m.b, blobmsg_open_array(&m.b, "e"));
    void *t = blobmsg_open_table(&m.b, "t");
    blobmsg_close_table(&m.b, blobmsg_open_table(&m.b, "u"));
    blobmsg_close_table(&m.b, t);
    EXPECT_EQ(m.indented(), "{\n\t\"e\": [\n\t\t\n\t],\n\t\"t\": {\n\t\t\"u\": {\n\t\t\t\n\t\t}\n\t}\n}");
    EXPECT_EQ(m.compact(), R"({"e":[],"t":{"u":{}}})");
}

TEST(BlobmsgFormat, ScalarValues)
{
    buf m;
    blobmsg_add_u8(&m.b, "t", 5);
    blobmsg_add_u16(&m.b, "i16", 0xffff);
    blobmsg_add_u32(&m.b, "i32", static_cast<uint32_t>(-7));
    blobmsg_add_u64(&m.b, "i64", 0x8000000000000000ULL);
    blobmsg_add_field(&m.b, BLOBMSG_TYPE_UNSPEC, "n", nullptr, 0);
    blobmsg_add_u32(&m.b, "", 9); // nameless table member: value only
    EXPECT_EQ(m.compact(), R"({"t":true,"i16":-1,"i32":-7,"i64":-9223372036854775808,"n":null,9})");
    EXPECT_EQ(m.indented(), "{\n\t\"t\": true,\n\t\"i16\": -1,\n\t\"i32\": -7,\n"
                            "\t\"i64\": -9223372036854775808,\n\t\"n\": null,\n\t9\n}");
}

TEST(BlobmsgFormat, DoublesAlwaysSixDecimalsNeverExponent)
{
    buf m;
    for (double d : {1000.0, -2.5e-7, 0.1})
        blobmsg_add_double(&m.b, nullptr, d);
    EXPECT_EQ(m.compact(), "{1000.000000,-0.000000,0.100000}");

    buf big;
    blobmsg_add_double(&big.b, "d", 1e300);
    std::string out = big.compact();
    EXPECT_EQ(out.find('e'), std::string::npos);
    EXPECT_EQ(out.rfind("{\"d\":1000000000000000052504760255204420248704468581108159", 0), 0u) << out;
    EXPECT_EQ(out.size(), std::string("{\"d\":}").size() + 301 + 7);
}

TEST(BlobmsgFormat, StringEscapes)
{
    buf m;
    blobmsg_add_string(&m.b, "q\"k", "a\"b\\c\b\n\t\r\x01\x1f\f/\xc3\xa9\x7f");
    EXPECT_EQ(m.compact(), "{\"q\\\"k\":\"a\\\"b\\\\c\\b\\n\\t\\r\\u0001\\u001f\\u000c/\xc3\xa9\x7f\"}");
    EXPECT_EQ(json_quote("tab\there"), "\"tab\\there\"");
}

// Raw wire bytes wrapped in a DATA attribute (id 7, not extended).
struct raw_data {
    std::vector<uint32_t> words; // keeps the attribute 4-byte aligned
    explicit raw_data(const std::vector<uint8_t> &children)
    {
        words.resize(1 + (children.size() + 3) / 4);
        uint32_t len = static_cast<uint32_t>(4 + children.size());
        auto *p = reinterpret_cast<uint8_t *>(words.data());
        p[0] = 7;
        p[1] = static_cast<uint8_t>(len >> 16);
        p[2] = static_cast<uint8_t>(len >> 8);
        p[3] = static_cast<uint8_t>(len);
        std::copy(children.begin(), children.end(), p + 4);
    }
    const blob_attr *attr() const { return reinterpret_cast<const blob_attr *>(words.data()); }
};

TEST(BlobmsgFormat, SkipsMalformedMembersWithoutReadingPastThem)
{
    const std::vector<uint8_t> good = {0x85, 0, 0, 0x0c, 0, 1, 'g', 0, 0, 0, 0, 1};
    const std::vector<std::vector<uint8_t>> bad = {
        {0x85, 0, 0, 0x0b, 0, 1, 'a', 0, 0, 0, 1, 0},       // INT32 with 3 bytes
        {0x83, 0, 0, 0x0a, 0, 1, 'a', 0, 'x', 'y', 0, 0},   // string without NUL
        {0x83, 0, 0, 0x08, 0, 1, 'a', 0},                   // string with no bytes
        {0x85, 0, 0, 0x0c, 0, 0x40, 'a', 0, 0, 0, 0, 1},    // name longer than the attribute
        {0x85, 0, 0, 0x0c, 0, 1, 'a', 'b', 0, 0, 0, 1},     // name not NUL-terminated
        {0x89, 0, 0, 0x08, 0, 1, 'a', 0},                   // unknown type
        {0x88, 0, 0, 0x0c, 0, 1, 'a', 0, 0x3f, 0xf8, 0, 0}, // short double
        {0x80, 0, 0, 0x05, 0, 0, 0, 0},                     // name header cut short
    };
    for (const auto &b : bad) {
        std::vector<uint8_t> bytes = b;
        bytes.insert(bytes.end(), good.begin(), good.end());
        raw_data d(bytes);
        EXPECT_EQ(blobmsg_format_json(d.attr(), false), R"({"g":1})");
    }

    // A length running past the message ends the walk; a zero length too.
    for (uint8_t len : {0x00, 0x40}) {
        std::vector<uint8_t> bytes = good;
        bytes.insert(bytes.end(), {0x85, 0, 0, len, 0, 1, 'a', 0, 0, 0, 0, 1});
        raw_data d(bytes);
        EXPECT_EQ(blobmsg_format_json(d.attr(), false), R"({"g":1})");
    }

    // Children of nested containers get the same checks.
    std::vector<uint8_t> nested = {0x82, 0, 0, 0x14, 0, 1, 't', 0};
    nested.insert(nested.end(), bad[0].begin(), bad[0].end());
    raw_data d(nested);
    EXPECT_EQ(blobmsg_format_json(d.attr(), false), R"({"t":{}})");
}

TEST(BlobmsgFormat, DeepNestingDoesNotExhaustTheStack)
{
    const size_t depth = 200000; // about as deep as a 1 MiB message allows
    std::vector<uint8_t> bytes(depth * 8);
    for (size_t i = 0; i < depth; i++) {
        uint32_t len = static_cast<uint32_t>(8 * (depth - i));
        uint8_t *p = &bytes[i * 8];
        p[0] = 0x81;
        p[1] = static_cast<uint8_t>(len >> 16);
        p[2] = static_cast<uint8_t>(len >> 8);
        p[3] = static_cast<uint8_t>(len);
    }
    raw_data d(bytes);
    std::string out = blobmsg_format_json(d.attr(), false);
    EXPECT_EQ(out, "{" + std::string(depth, '[') + std::string(depth, ']') + "}");
}

} // namespace
