// The engine against the plain nested model of the same search: identical
// result codes and delta bytes for every limit, quality and storage size.
#include <gtest/gtest.h>

#include <climits>
#include <random>

#include "delta/byte_match.h"
#include "myers_reference.h"
#include "pair_gen.h"
#include "test_util.h"

namespace {

using pairs::bytes;

struct engine_result {
    int32_t code;
    bytes delta;
};

engine_result engine_diff(const buf *o, const buf *n, int32_t storage_limit, int32_t cost_limit, uint32_t quality) {
    edit_script *s = edit_script_create(o, n);
    engine_result r;
    r.code = myers_binary_diff(o, 0, int32_t(o->len), n, 0, int32_t(n->len), s, storage_limit, cost_limit, quality);
    r.delta = test::contents(s->out);
    edit_script_free(s);
    return r;
}

void expect_same(const bytes &o, const bytes &n, int32_t storage_limit, int32_t cost_limit, uint32_t quality,
                 reference::rule_counts *counts) {
    buf ob = test::view(o), nb = test::view(n);
    reference::outcome want = reference::diff(&ob, &nb, storage_limit, cost_limit, quality, counts);
    engine_result got = engine_diff(&ob, &nb, storage_limit, cost_limit, quality);
    ASSERT_FALSE(want.read_outside_range);
    ASSERT_EQ(want.code, got.code) << "sizes " << o.size() << "/" << n.size() << " storage " << storage_limit
                                   << " cost " << cost_limit << " quality " << quality;
    ASSERT_EQ(want.delta, got.delta) << "sizes " << o.size() << "/" << n.size() << " storage " << storage_limit
                                     << " cost " << cost_limit << " quality " << quality;
}

TEST(MyersEquivalence, MixedPairsAtEveryQualityAndLimit) {
    std::mt19937 rng(12345);
    const int32_t costs[] = {10000, 200, 9, 1, 0, -1};
    const int32_t storages[] = {INT32_MAX, 500, 40};
    int cases = 0;
    reference::rule_counts seen;
    for (int i = 0; i < 300; ++i) {
        bytes o, n;
        pairs::make_pair(rng, 1500 / pairs::kScale, o, n);
        for (uint32_t q = 0; q <= 5; ++q) {
            int32_t cost = costs[rng() % 6];
            int32_t storage = storages[rng() % 3];
            expect_same(o, n, storage, cost, q, &seen);
            if (HasFatalFailure()) return;
            ++cases;
        }
    }
    EXPECT_EQ(cases, 1800);
    // The population reaches every way a search can end.
    EXPECT_GT(seen.overlaps, 0);
    EXPECT_GT(seen.bails, 0);
    EXPECT_GT(seen.bail_splits, 0);
    EXPECT_GT(seen.area_searches, 0);
    EXPECT_GT(seen.exhaustions, 0);
    EXPECT_GT(seen.progress_cuts, 0);
}

// Tiny values over two or three symbols: every corner case of the diagonal
// ranges (corners shrinking past the shorter side, diagonals around 0).
TEST(MyersEquivalence, TinyValues) {
    std::mt19937 rng(2);
    for (int i = 0; i < 4000; ++i) {
        unsigned alphabet = 2 + (i % 2);
        bytes o = pairs::random_bytes(rng, pairs::below(rng, 24), alphabet);
        bytes n = (i % 3 == 0) ? pairs::mutate(rng, o, 2, 3, alphabet)
                               : pairs::random_bytes(rng, pairs::below(rng, 24), alphabet);
        int32_t storage = (i % 5 == 0) ? 20 : INT32_MAX;
        expect_same(o, n, storage, (i % 4 == 0) ? 1 : 10000, static_cast<uint32_t>(i % 6), nullptr);
        if (HasFatalFailure()) return;
    }
}

// Ranges of 4096 bytes and more reach the cut's halving and partial
// replacement of the unexplored middle.
TEST(MyersEquivalence, LargeMiddlesReachEveryCutRule) {
    std::mt19937 rng(777);
    reference::rule_counts seen;
    const size_t size = 12000 / pairs::kScale;
    for (int i = 0; i < 6; ++i) {
        bytes o = pairs::random_bytes(rng, size + pairs::below(rng, 3000), i % 2 ? 256 : 4);
        bytes n = (i % 3 == 0) ? pairs::random_bytes(rng, size, i % 2 ? 256 : 4)
                               : pairs::mutate(rng, o, 40, 200, i % 2 ? 256 : 4);
        for (int32_t cost : {300, 40, 0}) {
            expect_same(o, n, INT32_MAX, cost, 0, &seen);
            if (HasFatalFailure()) return;
        }
    }
    EXPECT_GT(seen.halvings, 0);
    EXPECT_GT(seen.replacements, 0);
}

// The default limit on unrelated values: long chains of cuts, halvings and
// fresh full searches of replaced middles.
TEST(MyersEquivalence, UnrelatedValuesAtTheDefaultLimit) {
    std::mt19937 rng(4);
    const size_t size = 40000 / (pairs::kScale * pairs::kScale);
    for (unsigned alphabet : {256u, 3u}) {
        bytes o = pairs::random_bytes(rng, size, alphabet), n = pairs::random_bytes(rng, size + 999, alphabet);
        expect_same(o, n, INT32_MAX, 10000, 0, nullptr);
        if (HasFatalFailure()) return;
    }
}

TEST(ByteMatch, WordWideComparisonEqualsBytewise) {
    std::mt19937 rng(99);
    for (int i = 0; i < 3000; ++i) {
        size_t len = pairs::below(rng, 40);
        bytes p = pairs::random_bytes(rng, len, 256), q = p;
        size_t diff_at = pairs::below(rng, len + 1);
        if (diff_at < len) q[diff_at] ^= static_cast<uint8_t>(1 + rng() % 255);
        size_t limit = pairs::below(rng, len + 1);
        size_t want = 0;
        while (want < limit && p[want] == q[want]) ++want;
        EXPECT_EQ(want, kestrava_myers::common_prefix(p.data(), q.data(), limit));
        size_t want_back = 0;
        while (want_back < limit && p[len - 1 - want_back] == q[len - 1 - want_back]) ++want_back;
        EXPECT_EQ(want_back, kestrava_myers::common_suffix(p.data() + len, q.data() + len, limit));
    }
}

}  // namespace
