#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "core/cbor/cbor_generator.h"
#include "core/cbor/cbor_generator_append.h"
#include "test_util.h"

using test::bytes;
using test::hex;

namespace {

struct gen_deleter {
    void operator()(cbor_generator *g) const { cbor_generator_free(g); }
};

bytes written(const std::function<int(cbor_generator *)> &write, int expected_result = 0) {
    std::unique_ptr<cbor_generator, gen_deleter> g(cbor_generator_create());
    EXPECT_EQ(write(g.get()), expected_result);
    return g->len == 0 ? bytes{} : bytes(g->data, g->data + g->len);
}

bytes uint_(uint64_t v) { return written([v](cbor_generator *g) { return cbor_write_uint(g, v); }); }
bytes negint(int64_t v) { return written([v](cbor_generator *g) { return cbor_write_negint(g, v); }); }

TEST(CborGenerator, UnsignedHeadsAreShortestAtEachBoundary) {
    EXPECT_EQ(uint_(0), hex("00"));
    EXPECT_EQ(uint_(23), hex("17"));
    EXPECT_EQ(uint_(24), hex("18 18"));
    EXPECT_EQ(uint_(255), hex("18 ff"));
    EXPECT_EQ(uint_(256), hex("19 01 00"));
    EXPECT_EQ(uint_(65535), hex("19 ff ff"));
    EXPECT_EQ(uint_(65536), hex("1a 00 01 00 00"));
    EXPECT_EQ(uint_(4294967295u), hex("1a ff ff ff ff"));
    EXPECT_EQ(uint_(4294967296u), hex("1b 00 00 00 01 00 00 00 00"));
    EXPECT_EQ(uint_(UINT64_MAX), hex("1b ff ff ff ff ff ff ff ff"));
}

TEST(CborGenerator, NegativeIntegersUseTheComplement) {
    EXPECT_EQ(negint(-1), hex("20"));
    EXPECT_EQ(negint(-24), hex("37"));
    EXPECT_EQ(negint(-25), hex("38 18"));
    EXPECT_EQ(negint(-256), hex("38 ff"));
    EXPECT_EQ(negint(-257), hex("39 01 00"));
    EXPECT_EQ(negint(-500), hex("39 01 f3"));
    EXPECT_EQ(negint(INT64_MIN), hex("3b 7f ff ff ff ff ff ff ff"));
}

TEST(CborGenerator, StringsAndContainers) {
    EXPECT_EQ(written([](cbor_generator *g) { return cbor_write_text_string(g, "abc", 3); }), hex("63 61 62 63"));
    EXPECT_EQ(written([](cbor_generator *g) { return cbor_write_text_string(g, "", 0); }), hex("60"));
    EXPECT_EQ(written([](cbor_generator *g) { return cbor_write_byte_string(g, nullptr, 0); }), hex("40"));
    bytes body(24, 0x5a);
    bytes b24 = written([&](cbor_generator *g) { return cbor_write_byte_string(g, body.data(), 24); });
    ASSERT_EQ(b24.size(), 26u);
    EXPECT_EQ(b24[0], 0x58);
    EXPECT_EQ(b24[1], 0x18);
    EXPECT_EQ(bytes(b24.begin() + 2, b24.end()), body);
    EXPECT_EQ(written([](cbor_generator *g) { return cbor_write_array(g, 0); }), hex("80"));
    EXPECT_EQ(written([](cbor_generator *g) { return cbor_write_map(g, 1); }), hex("a1"));
    EXPECT_EQ(written([](cbor_generator *g) { return cbor_write_array(g, 1000); }), hex("99 03 e8"));
}

TEST(CborGenerator, IndefiniteMarkersAndSimpleValues) {
    EXPECT_EQ(written([](cbor_generator *g) {
                  return cbor_write_array(g, CBOR_INDEFINITE) | cbor_write_map(g, CBOR_INDEFINITE) |
                         cbor_write_byte_string(g, nullptr, CBOR_INDEFINITE) |
                         cbor_write_text_string(g, nullptr, CBOR_INDEFINITE) | cbor_write_break(g) |
                         cbor_write_false(g) | cbor_write_true(g) | cbor_write_null(g) | cbor_write_undefined(g);
              }),
              hex("9f bf 5f 7f ff f4 f5 f6 f7"));
}

TEST(CborGenerator, RawWritesAndManyItemsKeepEveryByte) {
    std::unique_ptr<cbor_generator, gen_deleter> g(cbor_generator_create());
    bytes expected;
    for (uint32_t i = 0; i < 5000; i++) {
        ASSERT_EQ(cbor_write_uint(g.get(), i), 0);
        bytes one = uint_(i);
        expected.insert(expected.end(), one.begin(), one.end());
    }
    EXPECT_EQ(_cbor_generator_write_bytes(g.get(), "xy", 2), 0);
    EXPECT_EQ(_cbor_generator_write_bytes(g.get(), nullptr, 0), 0);
    EXPECT_EQ(_cbor_generator_write_byte(g.get(), 'z'), 0);
    expected.insert(expected.end(), {'x', 'y', 'z'});
    ASSERT_EQ(g->len, expected.size());
    EXPECT_EQ(bytes(g->data, g->data + g->len), expected);
}

TEST(CborGenerator, FailuresReportMinusOne) {
    EXPECT_EQ(cbor_write_uint(nullptr, 1), -1);
    EXPECT_EQ(cbor_write_null(nullptr), -1);
    EXPECT_EQ(_cbor_generator_write_bytes(nullptr, "a", 1), -1);
    // A length beyond 32 bits cannot be held: nothing is written, not even the
    // head that would announce it.
    bytes none = written([](cbor_generator *g) { return cbor_write_byte_string(g, "a", 1ull << 32); }, -1);
    EXPECT_TRUE(none.empty());
    none = written([](cbor_generator *g) { return cbor_write_text_string(g, "a", (1ull << 32) + 1); }, -1);
    EXPECT_TRUE(none.empty());
    cbor_generator_free(nullptr);
    cbor_generator_free(cbor_generator_create());
}

TEST(CborGenerator, SizedHeadWritesTheRequestedWidth) {
    EXPECT_EQ(written([](cbor_generator *g) { return _cbor_write_uint_sized(g, 0x19, 5); }), hex("19 00 05"));
    EXPECT_EQ(written([](cbor_generator *g) { return _cbor_write_uint_sized(g, 0x40, 3); }), hex("43"));
    EXPECT_EQ(written([](cbor_generator *g) { return _cbor_write_uint_helper(g, 6, 24); }), hex("d8 18"));
}

// The allocation behind a generator is derived from its length alone; the
// inline writers must derive the same size the growth did, or they would
// write past the storage.
TEST(CborGenerator, StorageSizeIsTheNextPowerOfTwoFromSixtyFour) {
    auto by_doubling = [](uint64_t len) -> uint64_t {
        if (len == 0) return 0;
        uint64_t size = 64;
        while (size < len) size <<= 1;
        return size <= SIZE_MAX ? size : len;
    };
    std::vector<uint64_t> lengths = {0, 1, 63, 64, 65, 127, 128, 129, 1000, UINT32_MAX - 1, UINT32_MAX};
    for (int bit = 6; bit < 32; bit++) {
        const uint64_t power = uint64_t{1} << bit;
        lengths.insert(lengths.end(), {power - 1, power, power + 1});
    }
    for (uint64_t len : lengths) {
        EXPECT_EQ(kestrava::generator_storage_for(len), by_doubling(len)) << len;
    }
}

TEST(CborGenerator, InlineWritesRespectALowerLimit) {
    std::unique_ptr<cbor_generator, gen_deleter> g(cbor_generator_create());
    ASSERT_EQ(kestrava::generator_write_head(g.get(), 0, 1000, 3), 0);
    // Two more bytes would take it past the limit: refused whole.
    EXPECT_EQ(kestrava::generator_write_head(g.get(), 0, 1000, 4), -1);
    EXPECT_EQ(kestrava::generator_write_string(g.get(), 3, "a", 1, 3), -1);
    EXPECT_EQ(kestrava::generator_claim(g.get(), 2, 4), nullptr);
    ASSERT_EQ(g->len, 3u);
    ASSERT_NE(kestrava::generator_claim(g.get(), 1, 4), nullptr);
    EXPECT_EQ(g->len, 4u);
    EXPECT_EQ(bytes(g->data, g->data + 3), hex("19 03 e8"));
}

}  // namespace
