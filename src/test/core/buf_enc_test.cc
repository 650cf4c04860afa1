#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "core/buffer/buf_enc.h"
#include "test_util.h"

using test::bytes;
using test::hex;

namespace {

bytes enc32(uint32_t v) {
    test::buf_ptr b(buf_create());
    buf_write_uint32_enc(b.get(), v);
    return test::contents(b.get());
}

bytes enc64(uint64_t v) {
    test::buf_ptr b(buf_create());
    buf_write_uint64_enc(b.get(), v);
    return test::contents(b.get());
}

TEST(VarInt, WritersAreMinimalAtEveryGroupBoundary) {
    EXPECT_EQ(enc32(0), hex("00"));
    EXPECT_EQ(enc32(1), hex("01"));
    EXPECT_EQ(enc32(127), hex("7f"));
    EXPECT_EQ(enc32(128), hex("80 01"));
    EXPECT_EQ(enc32(300), hex("ac 02"));
    EXPECT_EQ(enc32(16383), hex("ff 7f"));
    EXPECT_EQ(enc32(16384), hex("80 80 01"));
    EXPECT_EQ(enc32(UINT32_MAX), hex("ff ff ff ff 0f"));
    EXPECT_EQ(enc64(UINT32_MAX), hex("ff ff ff ff 0f"));
    EXPECT_EQ(enc64(UINT64_MAX), hex("ff ff ff ff ff ff ff ff ff 01"));
    EXPECT_EQ(enc64(1ull << 63), hex("80 80 80 80 80 80 80 80 80 01"));
}

TEST(VarInt, ReadersRoundTripAndStopAtTheLastGroup) {
    const uint64_t values[] = {0, 1, 127, 128, 300, 16384, 0xffffffffull, 0x123456789abcdefull, UINT64_MAX};
    for (uint64_t v : values) {
        bytes e = enc64(v);
        e.push_back(0xaa);  // trailing byte that must not be consumed
        uint64_t out = 0;
        EXPECT_EQ(buf_read_uint64_enc(e.data(), &out), e.data() + e.size() - 1) << v;
        EXPECT_EQ(out, v);
        if (v <= UINT32_MAX) {
            uint32_t out32 = 0;
            EXPECT_EQ(buf_read_uint32_enc(e.data(), &out32), e.data() + e.size() - 1) << v;
            EXPECT_EQ(out32, v);
        }
    }
}

TEST(VarInt, OverlongEncodingsAreRejectedWithoutStoring) {
    uint32_t out32 = 7;
    bytes max32 = hex("ff ff ff ff 0f");
    EXPECT_EQ(buf_read_uint32_enc(max32.data(), &out32), max32.data() + 5);
    EXPECT_EQ(out32, UINT32_MAX);
    bytes high_bits = hex("ff ff ff ff 7f");  // top value bits of the fifth byte are dropped
    EXPECT_EQ(buf_read_uint32_enc(high_bits.data(), &out32), high_bits.data() + 5);
    EXPECT_EQ(out32, UINT32_MAX);
    out32 = 7;
    bytes too_long = hex("80 80 80 80 80");
    EXPECT_EQ(buf_read_uint32_enc(too_long.data(), &out32), nullptr);
    EXPECT_EQ(out32, 7u);
    EXPECT_EQ(buf_read_uint32_enc(max32.data(), nullptr), max32.data() + 5);

    uint64_t out64 = 7;
    bytes bad64 = hex("ff ff ff ff ff ff ff ff ff 81");
    EXPECT_EQ(buf_read_uint64_enc(bad64.data(), &out64), nullptr);
    EXPECT_EQ(out64, 7u);
}

TEST(VarInt, StringsCarryTheirLength) {
    test::buf_ptr b(buf_create());
    buf_write_string_enc(b.get(), "hi");
    buf_write_string_enc(b.get(), "");
    buf_write_string_enc(b.get(), nullptr);
    buf_write_string_length_enc(b.get(), nullptr, 0);
    buf_write_string_length_enc(b.get(), "xyz", 2);
    EXPECT_EQ(test::contents(b.get()), hex("02 68 69 00 00 00 02 78 79"));

    bytes in = hex("02 68 69 00");
    char *text = nullptr;
    uint32_t len = 0;
    EXPECT_EQ(buf_read_string_length_enc(in.data(), &text, &len), in.data() + 3);
    std::unique_ptr<char, test::free_deleter> owned(text);
    EXPECT_STREQ(text, "hi");
    EXPECT_EQ(len, 2u);
    EXPECT_EQ(buf_read_string_length_enc(in.data(), nullptr, nullptr), in.data() + 3);

    text = nullptr;
    len = 9;
    bytes bad = hex("ff ff ff ff ff ff ff ff ff 81");
    EXPECT_EQ(buf_read_string_length_enc(bad.data(), &text, &len), nullptr);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(len, 9u);
}

TEST(VarInt, LongStringLengthUsesSeveralGroups) {
    std::string long_text(300, 'x');
    test::buf_ptr b(buf_create());
    buf_write_string_enc(b.get(), long_text.c_str());
    ASSERT_EQ(b->len, 302u);
    EXPECT_EQ(b->data[0], 0xac);
    EXPECT_EQ(b->data[1], 0x02);
    char *text = nullptr;
    uint32_t len = 0;
    EXPECT_EQ(buf_read_string_length_enc(b->data, &text, &len), b->data + 302);
    std::unique_ptr<char, test::free_deleter> owned(text);
    EXPECT_EQ(std::string(text), long_text);
}

TEST(VarInt, FloatReaderTakesTheEncodedBitPattern) {
    float value = -2.5f;
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    test::buf_ptr b(buf_create());
    buf_write_uint32_enc(b.get(), bits);
    float out = 0;
    EXPECT_EQ(buf_read_float(b->data, &out), b->data + b->len);
    EXPECT_EQ(out, -2.5f);
    bytes bad = hex("80 80 80 80 80");
    EXPECT_EQ(buf_read_float(bad.data(), &out), nullptr);
}

}  // namespace
