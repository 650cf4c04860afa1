#include <gtest/gtest.h>

#include <climits>
#include <memory>

#include "core/delta/delta_apply.h"
#include "core/delta/delta_generate.h"
#include "test_util.h"

namespace {

using test::bytes;
using test::hex;
using test::of;

bytes generate(const bytes &o, const bytes &n) {
    buf ob = test::view(o), nb = test::view(n);
    test::buf_ptr d(diff_generate_binary(&ob, &nb));
    EXPECT_TRUE(d);
    return test::contents(d.get());
}

struct history_deleter {
    void operator()(activity_history *h) const { kestrava_activity_history_free(h); }
};
using history_ptr = std::unique_ptr<activity_history, history_deleter>;

TEST(DeltaGenerate, ResultShapes) {
    EXPECT_EQ(hex("f6"), generate(of("abc"), of("abc")));
    EXPECT_EQ(hex("41 61"), generate(of("a"), of("a")));
    EXPECT_EQ(hex("40"), generate(bytes{}, bytes{}));
    EXPECT_EQ(hex("43 78 79 7a"), generate(of("abc"), of("xyz")));
    EXPECT_EQ(hex("40"), generate(of("abc"), bytes{}));
    EXPECT_EQ(hex("44 61 62 63 64"), generate(of("abc"), of("abcd")));
    EXPECT_EQ(hex("00 03 42 59 59 04 03"), generate(of("abcXdef"), of("abcYYdef")));
    EXPECT_EQ(hex("00 10 43 63 61 74 13 18 18"), generate(of("the quick brown fox jumps over the lazy dog"),
                                                          of("the quick brown cat jumps over the lazy dog")));
}

TEST(DeltaGenerate, ReplacementDelta) {
    bytes v(300);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i * 7);
    buf b = test::view(v);
    test::buf_ptr d(_write_replacement_delta(&b));
    bytes want = hex("59 01 2c");
    want.insert(want.end(), v.begin(), v.end());
    EXPECT_EQ(want, test::contents(d.get()));
    bytes empty;
    buf e = test::view(empty);
    test::buf_ptr de(_write_replacement_delta(&e));
    EXPECT_EQ(hex("40"), test::contents(de.get()));
}

TEST(DeltaGenerate, LimitsOfTheExtendedEntry) {
    bytes o(2000), n;
    for (size_t i = 0; i < o.size(); ++i) o[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
    n = o;
    for (size_t i = 100; i < n.size(); i += 150) n[i] ^= 0xff;
    buf ob = test::view(o), nb = test::view(n);
    test::buf_ptr full(diff_generate_binary_ex(&ob, &nb, INT32_MAX, 10000));
    test::buf_ptr dflt(diff_generate_binary(&ob, &nb));
    EXPECT_EQ(test::contents(dflt.get()), test::contents(full.get()));
    EXPECT_LT(full->len, n.size());
    // A storage too small for the search gives the replacement delta.
    test::buf_ptr starved(diff_generate_binary_ex(&ob, &nb, 3, 10000));
    ASSERT_TRUE(starved);
    EXPECT_EQ(n.size() + 3, starved->len);
    EXPECT_EQ(hex("59 07 d0"), bytes(starved->data, starved->data + 3));
}

// The busy share of the window picks the quality level; the history records it.
TEST(DeltaGenerate, QualityFromUtilisation) {
    const int32_t utilisations[] = {0, 127, 128, 165, 166, 203, 204, 242, 243, 256};
    const int32_t levels[] = {0, 0, 1, 1, 2, 2, 3, 3, 4, 4};
    bytes o = of("abcXdef"), n = of("abcYYdef");
    buf ob = test::view(o), nb = test::view(n);
    for (int i = 0; i < 10; ++i) {
        // 4 slots of 64 ms: a 256 ms window, utilisation = busy milliseconds.
        history_ptr h(kestrava_activity_history_create(4, 64));
        ASSERT_TRUE(h);
        h->busy_total = static_cast<uint64_t>(utilisations[i]);
        h->current_slot = UINT64_MAX / 2;  // later than the wall clock: the start clears nothing
        test::buf_ptr d(diff_generate_binary_with_activity_history(h.get(), &ob, &nb));
        EXPECT_EQ(levels[i], kestrava_activity_history_get_last_delta_quality(h.get())) << utilisations[i];
        EXPECT_EQ(hex("00 03 42 59 59 04 03"), test::contents(d.get()));
        // The call was measured: the start moved the ring to the wall clock.
        EXPECT_LT(h->current_slot, UINT64_MAX / 2);
    }
}

TEST(DeltaGenerate, BusyHistoryGivesTrimOnlyDeltas) {
    // The common run in the middle is found by a search, not by trimming.
    bytes o = of("0123456789XabcdefghijklmnopqrstX0123456789");
    bytes n = of("0123456789YabcdefghijklmnopqrstY0123456789");
    buf ob = test::view(o), nb = test::view(n);
    history_ptr idle(kestrava_activity_history_create(8, 1024));
    history_ptr busy(kestrava_activity_history_create(8, 1024));
    ASSERT_TRUE(idle && busy);
    busy->busy_total = 8 * 1024;
    busy->current_slot = UINT64_MAX / 2;
    test::buf_ptr searched(diff_generate_binary_with_activity_history(idle.get(), &ob, &nb));
    test::buf_ptr trimmed(diff_generate_binary_with_activity_history_ex(busy.get(), &ob, &nb, INT32_MAX, 10000));
    EXPECT_EQ(0, idle->last_delta_quality);
    EXPECT_EQ(4, busy->last_delta_quality);
    EXPECT_EQ(hex("00 0a 41 59 0b 14 41 59 18 20 0a"), test::contents(searched.get()));
    EXPECT_EQ(28u, trimmed->len);  // 00 0a, the 22 middle bytes literally, 18 20 0a
    for (buf *d : {searched.get(), trimmed.get()}) {
        test::buf_ptr back(diff_apply_binary(&ob, d));
        EXPECT_EQ(n, test::contents(back.get()));
    }
}

}  // namespace
