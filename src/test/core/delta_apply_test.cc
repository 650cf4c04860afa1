#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

#include "core/cbor/cbor_generator.h"
#include "core/delta/delta_apply.h"
#include "delta_apply_model.h"
#include "test_util.h"

using test::bytes;
using test::hex;
using test::of;

namespace {

// nullopt stands for a failed application (null result).
std::optional<bytes> patched(const bytes &old_value, const bytes &delta) {
    buf o = test::view(old_value), d = test::view(delta);
    test::buf_ptr out(diff_apply_binary(&o, &d));
    if (!out) return std::nullopt;
    return test::contents(out.get());
}

const bytes fox = of("the quick brown fox jumps over the lazy dog");

TEST(DeltaApply, CopiesAndInserts) {
    EXPECT_EQ(patched(fox, hex("00 10 43 63 61 74 13 18 18")), of("the quick brown cat jumps over the lazy dog"));
    EXPECT_EQ(patched(of("abcdefgh"), hex("02 03")), of("cde"));
    EXPECT_EQ(patched(of("abcdefgh"), hex("00 02 00 02")), of("abab"));
    EXPECT_EQ(patched(of("xyz"), hex("63 61 62 63")), of("abc"));
    EXPECT_EQ(patched(of("abcdefgh"), hex("07 01 00 00 41 5a 00 01")), of("hZa"));
    // Wide heads for offsets and lengths.
    bytes big(70000, 'q');
    big[65536] = 'r';
    EXPECT_EQ(patched(big, hex("1a 00 01 00 00 19 00 02")), of("rq"));
}

TEST(DeltaApply, SkippedItemsAndEmptyResults) {
    // Inside a longer delta a null is skipped like any simple value.
    EXPECT_EQ(patched(fox, hex("f6 00 03")), of("the"));
    EXPECT_EQ(patched(fox, bytes{}), bytes{});
    EXPECT_EQ(patched(fox, hex("20")), bytes{});
    EXPECT_EQ(patched(fox, hex("80")), bytes{});
    EXPECT_EQ(patched(of("abc"), hex("20 a1 9f ff f5 c1 3c 9c 5c fb 00 00 00 00 00 00 00 00 01 01")), of("b"));
    // A reserved code keeps its major type: 1c reads as the integer 0.
    EXPECT_EQ(patched(of("abc"), hex("1c 02")), of("ab"));
    // A tag's own argument byte is read as the next item: d8 01 02 copies old[1..3).
    EXPECT_EQ(patched(of("abc"), hex("d8 01 02")), of("bc"));
}

TEST(DeltaApply, NoChangeDeltaKeepsTheOldValue) {
    EXPECT_EQ(patched(fox, hex("f6")), fox);
    EXPECT_EQ(patched(bytes{}, hex("f6")), bytes{});
    EXPECT_EQ(patched(of("ab"), hex("f6 f6")), bytes{});
}

TEST(DeltaApply, MalformedCopiesFail) {
    EXPECT_EQ(patched(fox, hex("00")), std::nullopt);
    EXPECT_EQ(patched(fox, hex("00 41 61")), std::nullopt);
    EXPECT_EQ(patched(fox, hex("41 61 00 20")), std::nullopt);
    EXPECT_EQ(patched(fox, hex("00 18")), std::nullopt);  // second integer truncated
}

TEST(DeltaApply, CopiesOutsideTheOldValueFail) {
    bytes abc = of("abc");
    EXPECT_EQ(patched(abc, hex("00 03")), abc);
    EXPECT_EQ(patched(abc, hex("03 00")), bytes{});
    EXPECT_EQ(patched(abc, hex("00 04")), std::nullopt);
    EXPECT_EQ(patched(abc, hex("03 01")), std::nullopt);
    EXPECT_EQ(patched(abc, hex("04 00")), std::nullopt);
    // offset + length wraps in 32 bits: 0xffffffff + 2.
    EXPECT_EQ(patched(abc, hex("1a ff ff ff ff 02")), std::nullopt);
    // Values that do not fit 32 bits, even when their low 32 bits would.
    EXPECT_EQ(patched(abc, hex("1b 00 00 00 01 00 00 00 00 01")), std::nullopt);
    EXPECT_EQ(patched(abc, hex("00 1b 00 00 00 01 00 00 00 01")), std::nullopt);
    EXPECT_EQ(patched(bytes{}, hex("00 00")), bytes{});
    EXPECT_EQ(patched(bytes{}, hex("00 01")), std::nullopt);
}

TEST(DeltaApply, TruncatedOrRejectedItemsFailInsteadOfReturningPartialOutput) {
    EXPECT_EQ(patched(fox, hex("43 61 62")), std::nullopt);
    EXPECT_EQ(patched(fox, hex("41 61 43 61 62")), std::nullopt);
    // Cut off right after a head: nothing is left after the failed call, so
    // the test must look before it.
    for (const char *cut : {"18", "41", "f9", "58 05", "00 03 41", "fa 00", "1b 00", "7a 00 00 00 09 61"}) {
        EXPECT_EQ(patched(fox, hex(cut)), std::nullopt) << cut;
    }
}

TEST(DeltaApply, IndefiniteStringsContributeTheirChunks) {
    EXPECT_EQ(patched(of("abc"), hex("5f 41 78 42 79 7a ff 00 01")), of("xyza"));
    EXPECT_EQ(patched(of("abc"), hex("7f 62 68 69 ff")), of("hi"));
    EXPECT_EQ(patched(of("abc"), hex("5f")), bytes{});
}

std::optional<bytes> patched_within(const bytes &old_value, const bytes &delta, uint64_t max_length) {
    buf o = test::view(old_value), d = test::view(delta);
    test::buf_ptr out(diff_apply_binary_limited(&o, &d, max_length));
    if (!out) return std::nullopt;
    return test::contents(out.get());
}

TEST(DeltaApply, BoundedOutput) {
    const bytes cat = of("the quick brown cat jumps over the lazy dog");
    const bytes d = hex("00 10 43 63 61 74 13 18 18");
    EXPECT_EQ(patched_within(fox, d, 43), cat);  // exactly at the bound
    EXPECT_EQ(patched_within(fox, d, 42), std::nullopt);
    EXPECT_EQ(patched_within(fox, d, UINT64_MAX), cat);
    // The bound is crossed by the first copy, by the insert, by the last copy.
    EXPECT_EQ(patched_within(fox, d, 15), std::nullopt);
    EXPECT_EQ(patched_within(fox, d, 18), std::nullopt);
    EXPECT_EQ(patched_within(fox, d, 19), std::nullopt);
    EXPECT_EQ(patched_within(of("abc"), hex("42 78 79 00 01"), 3), of("xya"));
    EXPECT_EQ(patched_within(of("abc"), hex("42 78 79 00 01"), 2), std::nullopt);
    EXPECT_EQ(patched_within(of("abc"), hex("5f 41 78 42 79 7a ff"), 2), std::nullopt);
    // Empty output fits any bound; the no-change delta is the old value's size.
    EXPECT_EQ(patched_within(fox, hex("80 00 00"), 0), bytes{});
    EXPECT_EQ(patched_within(of("abc"), hex("f6"), 3), of("abc"));
    EXPECT_EQ(patched_within(of("abc"), hex("f6"), 2), std::nullopt);
    // A malformed delta still fails under a bound it would not reach.
    EXPECT_EQ(patched_within(fox, hex("00 03 00"), 100), std::nullopt);
}

TEST(DeltaApply, BoundStopsHugeExpansionBeforeAllocating) {
    // 4,000 copies of a 1 MiB old value would be about 4 GiB of output; with
    // a bound the application stops at the first copy past it.
    bytes old_value(1 << 20, 'x');
    cbor_generator *g = cbor_generator_create();
    for (int i = 0; i < 4000; i++) {
        cbor_write_uint(g, 0);
        cbor_write_uint(g, old_value.size());
    }
    bytes delta(g->data, g->data + g->len);
    cbor_generator_free(g);
    EXPECT_EQ(patched_within(old_value, delta, 3u << 20), std::nullopt);
    delta.resize(delta.size() / 4000 * 3);
    std::optional<bytes> three = patched_within(old_value, delta, 3u << 20);
    ASSERT_TRUE(three);
    EXPECT_EQ(three->size(), size_t{3} << 20);
}

// Random deltas: well-formed copies and inserts mixed with garbage bytes and
// cut at random points. Every result must match the model exactly.
TEST(DeltaApply, RandomDeltasMatchTheModel) {
    std::mt19937 rng(20261208);
    int successes = 0, failures = 0, first_mismatch = -1;
    testing::internal::CaptureStderr();  // unimplemented codes print a note
    for (int round = 0; round < 4000; round++) {
        bytes old_value(rng() % 300);
        for (auto &b : old_value) b = static_cast<uint8_t>(rng());
        cbor_generator *g = cbor_generator_create();
        bytes expected;
        int items = static_cast<int>(rng() % 12);
        bool garbage = rng() % 4 == 0;
        for (int i = 0; i < items; i++) {
            uint32_t kind = rng() % 10;
            if (kind < 5 && !old_value.empty()) {
                uint32_t off = rng() % static_cast<uint32_t>(old_value.size());
                uint32_t len = rng() % static_cast<uint32_t>(old_value.size() - off + 1);
                if (rng() % 16 == 0) len += 1 + rng() % 3;  // sometimes out of range
                cbor_write_uint(g, off);
                cbor_write_uint(g, len);
            } else if (kind < 9) {
                bytes ins(rng() % 40);
                for (auto &b : ins) b = static_cast<uint8_t>(rng());
                cbor_write_byte_string(g, ins.data(), ins.size());
            } else {
                cbor_write_negint(g, -1 - static_cast<int64_t>(rng() % 1000));
            }
            if (garbage && rng() % 3 == 0) _cbor_generator_write_byte(g, static_cast<uint8_t>(rng()));
        }
        bytes delta(g->data, g->data + g->len);
        cbor_generator_free(g);
        if (garbage && !delta.empty() && rng() % 2) delta.resize(rng() % delta.size());
        std::optional<bytes> want = model::apply(old_value, delta);
        uint64_t bound = rng() % 400;
        if ((patched(old_value, delta) != want ||
             patched_within(old_value, delta, bound) != model::apply(old_value, delta, bound)) &&
            first_mismatch < 0) {
            first_mismatch = round;
        }
        (want ? successes : failures)++;
    }
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(first_mismatch, -1);
    // Both outcomes must be well represented, or the test proves little.
    EXPECT_GT(successes, 1000);
    EXPECT_GT(failures, 300);
}

TEST(DeltaApply, PureGarbageNeverReadsOutOfBounds) {
    std::mt19937 rng(7);
    int first_mismatch = -1;
    testing::internal::CaptureStderr();  // unimplemented codes print a note
    for (int round = 0; round < 20000; round++) {
        bytes old_value(rng() % 64);
        for (auto &b : old_value) b = static_cast<uint8_t>(rng());
        bytes delta(rng() % 24);
        for (auto &b : delta) b = static_cast<uint8_t>(rng() % 3 == 0 ? rng() % 32 : rng());
        if (patched(old_value, delta) != model::apply(old_value, delta) && first_mismatch < 0) first_mismatch = round;
    }
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(first_mismatch, -1);
}

}  // namespace
