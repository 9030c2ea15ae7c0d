// How the client library indexes a received body: which attributes reach
// tb[] and so the data callbacks, handlers and printers behind them.
#include "bus/ubus/ubus_internal.h"
#include "tests/bus/ubus/ubus_test_util.h"

namespace
{

struct parsed {
    bytes body;
    blob_attr *tb[UBUS_ATTR_MAX];
};

// The body sits in a buffer of exactly its size, as a received one does,
// so a read past it shows under the address sanitizer.
void parse(parsed &p, const char *body_hex)
{
    p.body = hex(body_hex);
    ubus_parse_attrs(reinterpret_cast<blob_attr *>(p.body.data()), p.tb);
}

} // namespace

TEST(UbusParseAttrsTest, NestedAttributesWithTheExtendedBitAreLeftOut)
{
    parsed p;
    parse(p, "00 00 00 08 87 00 00 04"); // DATA, extended, empty
    EXPECT_EQ(p.tb[UBUS_ATTR_DATA], nullptr);

    // A payload that reads as a name header followed by a valid table
    // member: still not what was meant to be checked.
    parse(p, "00 00 00 18 87 00 00 14 00 00 00 04 85 00 00 0c 00 00 00 00 00 00 00 01");
    EXPECT_EQ(p.tb[UBUS_ATTR_DATA], nullptr);

    parse(p, "00 00 00 08 86 00 00 04"); // SIGNATURE, extended, empty
    EXPECT_EQ(p.tb[UBUS_ATTR_SIGNATURE], nullptr);

    // The same attributes without the bit, beside a plain OBJID.
    parse(p, "00 00 00 14 03 00 00 08 14 5c ae 9e 07 00 00 04 06 00 00 04");
    ASSERT_NE(p.tb[UBUS_ATTR_DATA], nullptr);
    EXPECT_EQ(blob_len(p.tb[UBUS_ATTR_DATA]), 0u);
    EXPECT_NE(p.tb[UBUS_ATTR_SIGNATURE], nullptr);
    ASSERT_NE(p.tb[UBUS_ATTR_OBJID], nullptr);
    EXPECT_EQ(blob_get_u32(p.tb[UBUS_ATTR_OBJID]), 0x145cae9eu);
}
