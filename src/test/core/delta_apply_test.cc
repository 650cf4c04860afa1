#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

#include "cbor/cbor_generator.h"
#include "delta/delta_apply.h"
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

// An independent model of the delta reader, written from the format rules:
// heads decoded by hand, so that the table-driven parser is checked against
// something that does not share its code.
std::optional<bytes> model_apply(const bytes &old_value, const bytes &d) {
    if (d == bytes{0xf6}) return old_value;
    bytes out;
    size_t pos = 0;
    struct item {
        int major;
        uint64_t arg;
        bool indefinite;
        size_t body;
    };
    auto next = [&](item &it) -> int {  // 1 item, 0 end, -1 rejected
        if (pos >= d.size()) return 0;
        uint8_t ib = d[pos++];
        it = {ib >> 5, 0, false, 0};
        int info = ib & 31;
        if (it.major == 7) {
            int k = ib == 0xf9 ? 2 : ib == 0xfa ? 4 : ib == 0xfb ? 8 : 0;
            if (d.size() - pos < static_cast<size_t>(k)) return -1;
            pos += k;
            return 1;
        }
        if (it.major == 6 || info >= 28) {
            // Tags, indefinite starts and reserved codes are one byte; a
            // reserved code keeps its major type with an argument of 0.
            it.indefinite = info == 31 && it.major >= 2 && it.major <= 5;
            return 1;
        }
        if (info < 24) {
            it.arg = static_cast<uint64_t>(info);
        } else {
            size_t k = size_t{1} << (info - 24);
            if (d.size() - pos < k) return -1;
            for (size_t i = 0; i < k; i++) it.arg = it.arg << 8 | d[pos++];
        }
        if (it.major == 2 || it.major == 3) {
            if (it.arg > d.size() - pos) return -1;
            it.body = pos;
            pos += static_cast<size_t>(it.arg);
        }
        return 1;
    };
    for (;;) {
        item it;
        int r = next(it);
        if (r == 0) return out;
        if (r < 0) return std::nullopt;
        if (it.major == 0) {
            item len;
            if (next(len) != 1 || len.major != 0) return std::nullopt;
            if (it.arg > UINT32_MAX || len.arg > UINT32_MAX || it.arg + len.arg > old_value.size()) {
                return std::nullopt;
            }
            out.insert(out.end(), old_value.begin() + static_cast<long>(it.arg),
                       old_value.begin() + static_cast<long>(it.arg + len.arg));
        } else if ((it.major == 2 || it.major == 3) && !it.indefinite) {
            out.insert(out.end(), d.begin() + static_cast<long>(it.body),
                       d.begin() + static_cast<long>(it.body + it.arg));
        }
    }
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
        std::optional<bytes> want = model_apply(old_value, delta);
        if (patched(old_value, delta) != want && first_mismatch < 0) first_mismatch = round;
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
        if (patched(old_value, delta) != model_apply(old_value, delta) && first_mismatch < 0) first_mismatch = round;
    }
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(first_mismatch, -1);
}

}  // namespace
