#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "core/buffer/buf.h"
#include "test_util.h"

using test::bytes;
using test::contents;

namespace {

std::string captured_stdout(void (*fn)(const buf *), const buf *b) {
    testing::internal::CaptureStdout();
    fn(b);
    return testing::internal::GetCapturedStdout();
}

TEST(Buf, FreshBufferIsEmptyAndUnallocated) {
    test::buf_ptr b(buf_create());
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->data, nullptr);
    EXPECT_EQ(b->len, 0u);
    EXPECT_EQ(b->capacity, 0u);
    std::unique_ptr<char, test::free_deleter> s(buf_as_string(b.get()));
    std::unique_ptr<char, test::free_deleter> h(buf_as_hex(b.get()));
    EXPECT_STREQ(s.get(), "");
    EXPECT_STREQ(h.get(), "");
    EXPECT_EQ(captured_stdout(hexdump_buf, b.get()), "\n");
    EXPECT_EQ(buf_substr(b.get(), 0, 0), nullptr);
}

TEST(Buf, GrowthDoublesTheNeededSize) {
    test::buf_ptr b(buf_create());
    std::vector<uint32_t> capacities;
    for (int i = 0; i < 16; i++) {
        buf_write_byte(b.get(), static_cast<uint8_t>(i));
        if (capacities.empty() || capacities.back() != b->capacity) capacities.push_back(b->capacity);
    }
    EXPECT_EQ(capacities, (std::vector<uint32_t>{2, 6, 14, 30}));
    EXPECT_EQ(b->len, 16u);
    for (int i = 0; i < 16; i++) EXPECT_EQ(b->data[i], i);

    test::buf_ptr c(buf_create());
    buf_write_bytes(c.get(), "0123456789", 10);
    EXPECT_EQ(c->capacity, 20u);
    uint8_t *before = c->data;
    buf_write_byte(c.get(), 'x');
    EXPECT_EQ(c->data, before);
    EXPECT_EQ(c->capacity, 20u);
    buf_write_bytes(c.get(), nullptr, 0);
    EXPECT_EQ(c->len, 11u);
}

TEST(Buf, DupHasNoSpareRoomAndReallocatesOnFirstAppend) {
    test::buf_ptr b(buf_create());
    buf_write_string(b.get(), "abcde");
    test::buf_ptr d(buf_dup(b.get()));
    ASSERT_NE(d, nullptr);
    EXPECT_NE(d->data, b->data);
    EXPECT_EQ(d->capacity, 0u);
    EXPECT_EQ(contents(d.get()), test::of("abcde"));
    buf_write_byte(d.get(), 'f');
    EXPECT_EQ(d->capacity, 12u);
    EXPECT_EQ(contents(d.get()), test::of("abcdef"));
    EXPECT_EQ(buf_dup(nullptr), nullptr);

    test::buf_ptr empty(buf_create());
    test::buf_ptr empty_copy(buf_dup(empty.get()));
    ASSERT_NE(empty_copy, nullptr);
    EXPECT_EQ(empty_copy->len, 0u);
}

TEST(Buf, AppendsOfEveryKind) {
    test::buf_ptr b(buf_create());
    buf_write_string(b.get(), "hi");
    buf_write_bool(b.get(), true);
    buf_write_bool(b.get(), false);
    buf_write_bool(nullptr, true);  // accepted, does nothing
    buf_write_float(b.get(), 1.0f);
    test::buf_ptr other(buf_create());
    buf_write_bytes(other.get(), "\x00\xff", 2);
    buf_write_buf(b.get(), other.get());
    bytes expected = {'h', 'i', 1, 0};
    float one = 1.0f;
    const uint8_t *raw = reinterpret_cast<const uint8_t *>(&one);
    expected.insert(expected.end(), raw, raw + 4);
    expected.push_back(0x00);
    expected.push_back(0xff);
    EXPECT_EQ(contents(b.get()), expected);
}

TEST(Buf, AppendingItsOwnContentSurvivesReallocation) {
    test::buf_ptr b(buf_create());
    buf_write_string(b.get(), "abcd");
    for (int i = 0; i < 6; i++) buf_write_buf(b.get(), b.get());
    ASSERT_EQ(b->len, 4u << 6);
    for (uint32_t i = 0; i < b->len; i++) ASSERT_EQ(b->data[i], "abcd"[i % 4]);
    buf_write_bytes(b.get(), b->data + 1, 2);
    EXPECT_EQ(b->data[b->len - 2], 'b');
    EXPECT_EQ(b->data[b->len - 1], 'c');
}

TEST(Buf, AppendThatWouldOverflowLengthLeavesBufferUnchanged) {
    test::buf_ptr b(buf_create());
    buf_write_string(b.get(), "abc");
    uint8_t *data = b->data;
    uint32_t capacity = b->capacity;
    // 3 + (2^32 - 2) does not fit 32 bits; nothing may be read from the source.
    buf_write_bytes(b.get(), "z", UINT32_MAX - 1);
    EXPECT_EQ(b->len, 3u);
    EXPECT_EQ(b->data, data);
    EXPECT_EQ(b->capacity, capacity);
    EXPECT_EQ(contents(b.get()), test::of("abc"));
}

TEST(Buf, SprintfAppendsWithoutTerminatorAndRetriesLongOutput) {
    test::buf_ptr b(buf_create());
    EXPECT_EQ(buf_sprintf(b.get(), "%d-%s", 42, "x"), 4);
    std::string long_text(500, 'q');
    EXPECT_EQ(buf_sprintf(b.get(), "[%s]", long_text.c_str()), 502);
    std::string expected = "42-x[" + long_text + "]";
    EXPECT_EQ(contents(b.get()), test::of(expected));
}

TEST(Buf, FixedWidthReadersAreBigEndian) {
    bytes in = test::hex("01 02 03 04 00 00 00 00 00 00 01 00");
    uint32_t u32 = 0;
    uint64_t u64 = 0;
    EXPECT_EQ(buf_read_uint32(in.data(), &u32), in.data() + 4);
    EXPECT_EQ(u32, 0x01020304u);
    EXPECT_EQ(buf_read_uint64(in.data() + 4, &u64), in.data() + 12);
    EXPECT_EQ(u64, 256u);
    bytes all_ones(8, 0xff);
    buf_read_uint64(all_ones.data(), &u64);
    EXPECT_EQ(u64, UINT64_MAX);
    uint8_t byte = 0;
    EXPECT_EQ(buf_read_byte(in.data() + 3, &byte), in.data() + 4);
    EXPECT_EQ(byte, 4);
    EXPECT_EQ(buf_read_byte(in.data(), nullptr), in.data() + 1);
}

TEST(Buf, BoolReaderRejectsOtherBytes) {
    bytes in = {0x01, 0x00, 0x02};
    bool flag = false;
    EXPECT_EQ(buf_read_bool(in.data(), &flag), in.data() + 1);
    EXPECT_TRUE(flag);
    EXPECT_EQ(buf_read_bool(in.data() + 1, &flag), in.data() + 2);
    EXPECT_FALSE(flag);
    flag = true;
    EXPECT_EQ(buf_read_bool(in.data() + 2, &flag), nullptr);
    EXPECT_TRUE(flag);
    EXPECT_EQ(buf_read_bool(nullptr, &flag), nullptr);
}

TEST(Buf, StringAndHexConversions) {
    test::buf_ptr b(buf_create());
    buf_write_bytes(b.get(), "a\0b\xfe", 4);
    std::unique_ptr<char, test::free_deleter> s(buf_as_string(b.get()));
    EXPECT_EQ(std::memcmp(s.get(), "a\0b\xfe\0", 5), 0);
    std::unique_ptr<char, test::free_deleter> h(buf_as_hex(b.get()));
    EXPECT_STREQ(h.get(), "610062fe");
    std::unique_ptr<char, test::free_deleter> n(buf_as_string(nullptr));
    EXPECT_STREQ(n.get(), "");
}

TEST(Buf, SubstrChecksTheRangeOnlyForPositiveLengths) {
    test::buf_ptr b(buf_create());
    buf_write_string(b.get(), "abcd");
    EXPECT_EQ(buf_substr(b.get(), 0, 0), b->data);
    EXPECT_EQ(buf_substr(b.get(), 3, 2), nullptr);
    EXPECT_EQ(buf_substr(b.get(), 2, 2), b->data + 2);
    EXPECT_EQ(buf_substr(b.get(), 4, 0), b->data + 4);
    // An offset near 2^32 must not wrap around into range.
    EXPECT_EQ(buf_substr(b.get(), UINT32_MAX, 2), nullptr);
    EXPECT_EQ(buf_substr(nullptr, 0, 1), nullptr);
}

TEST(Buf, CmpIsAnEqualityTestFirst) {
    buf empty1{nullptr, 0, 0}, empty2{nullptr, 0, 0};
    bytes ab = test::of("ab"), abc = test::of("abc"), ac = test::of("ac"), ab2 = test::of("ab");
    buf vab = test::view(ab), vabc = test::view(abc), vac = test::view(ac), vab2 = test::view(ab2);
    EXPECT_EQ(buf_cmp(nullptr, nullptr), 0);
    EXPECT_EQ(buf_cmp(nullptr, &empty1), -1);
    EXPECT_EQ(buf_cmp(&empty1, &empty2), 0);
    EXPECT_EQ(buf_cmp(&vab, &vabc), -1);
    EXPECT_EQ(buf_cmp(&vabc, &vab), -1);
    EXPECT_LT(buf_cmp(&vab, &vac), 0);
    EXPECT_GT(buf_cmp(&vac, &vab), 0);
    EXPECT_EQ(buf_cmp(&vab, &vab2), 0);
}

TEST(Buf, DiscardFrontShrinksToTheRest) {
    test::buf_ptr b(buf_create());
    buf_write_string(b.get(), "abcde");
    buf_discard_front(b.get(), 3);
    EXPECT_EQ(contents(b.get()), test::of("de"));
    EXPECT_EQ(b->capacity, 2u);
    buf_write_byte(b.get(), 'f');
    EXPECT_EQ(b->capacity, 6u);
    EXPECT_EQ(contents(b.get()), test::of("def"));
    buf_discard_front(b.get(), 3);
    EXPECT_EQ(b->len, 0u);
    buf_write_byte(b.get(), 'g');
    EXPECT_EQ(contents(b.get()), test::of("g"));
}

TEST(Buf, HexdumpRows) {
    test::buf_ptr b(buf_create());
    for (int i = 0; i < 20; i++) buf_write_byte(b.get(), static_cast<uint8_t>(i));
    EXPECT_EQ(captured_stdout(hexdump_buf, b.get()),
              "| 00 01 02 03 04 05 06 07 . 08 09 0a 0b 0c 0d 0e 0f |\n| 10 11 12 13 \n");
}

}  // namespace
