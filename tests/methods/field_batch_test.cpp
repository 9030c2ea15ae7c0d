// Replies laid out by hand must be the very bytes blobmsg_add_* lays out:
// random sequences of fields, built both ways, compared byte for byte.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "methods/reply.h"

namespace
{

std::string text_of(std::mt19937 &rng)
{
    std::string text(std::uniform_int_distribution<int>(0, 40)(rng), 'x');
    for (char &c : text)
        c = static_cast<char>(std::uniform_int_distribution<int>(1, 255)(rng));
    return text;
}

std::string bytes_of(const blob_buf &b)
{
    return std::string(static_cast<const char *>(blob_data(b.head)), blob_len(b.head));
}

} // namespace

TEST(FieldBatch, LaysOutTheBytesBlobmsgLaysOut)
{
    unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    for (int round = 0; round < 500; round++) {
        blob_buf expected{}, got{};
        blob_buf_init(&expected, 0);
        blob_buf_init(&got, 0);
        blobmsg_add_u32(&got, "first", 7); // the batch goes behind what is there
        blobmsg_add_u32(&expected, "first", 7);
        field_batch f;
        for (int n = std::uniform_int_distribution<int>(0, 8)(rng); n > 0; n--) {
            std::string text = text_of(rng);
            uint32_t value = static_cast<uint32_t>(rng());
            switch (std::uniform_int_distribution<int>(0, 4)(rng)) {
            case 0:
                f.string("port", text);
                blobmsg_add_string(&expected, "port", text.c_str());
                break;
            case 1:
                f.string("end_flag_matched", text);
                blobmsg_add_string(&expected, "end_flag_matched", text.c_str());
                break;
            case 2:
                f.u32("response_time_ms", value);
                blobmsg_add_u32(&expected, "response_time_ms", value);
                break;
            case 3:
                f.boolean("truncated", value & 1);
                blobmsg_add_u8(&expected, "truncated", value & 1);
                break;
            case 4: {
                size_t array = f.array_open("end_flags_used");
                void *cookie = blobmsg_open_array(&expected, "end_flags_used");
                for (int k = std::uniform_int_distribution<int>(0, 5)(rng); k > 0; k--) {
                    std::string flag = text_of(rng);
                    f.string("", flag);
                    blobmsg_add_string(&expected, nullptr, flag.c_str());
                }
                f.array_close(array);
                blobmsg_close_array(&expected, cookie);
                break;
            }
            }
        }
        ASSERT_TRUE(f.put(&got));
        ASSERT_EQ(bytes_of(got), bytes_of(expected)) << "round " << round;
        blob_buf_free(&expected);
        blob_buf_free(&got);
    }
}
