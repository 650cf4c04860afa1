// The indexed generator: its deltas rebuild the new value over every shape
// of the shared pair generator, keep diff's size rules, find moved and
// repeated blocks, and are the same bytes on every platform.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <utility>

#include "delta/delta_apply.h"
#include "delta/delta_generate.h"
#include "delta/delta_indexed.h"
#include "delta/script/item_codec.h"
#include "pair_gen.h"
#include "test_util.h"

namespace {

using pairs::bytes;

bytes indexed(const bytes &o, const bytes &n) {
    buf ob = test::view(o), nb = test::view(n);
    test::buf_ptr d(diff_generate_binary_indexed(&ob, &nb));
    EXPECT_TRUE(d != nullptr);
    return test::contents(d.get());
}

bytes myers_delta(const bytes &o, const bytes &n) {
    buf ob = test::view(o), nb = test::view(n);
    test::buf_ptr d(diff_generate_binary(&ob, &nb));
    return test::contents(d.get());
}

bool is_replacement(const bytes &n, const bytes &d) {
    return d.size() == n.size() + kestrava_items::head_size(n.size()) &&
           std::equal(n.begin(), n.end(), d.end() - static_cast<ptrdiff_t>(n.size()));
}

// The size rules and the round trip; false (with a failure) if one breaks.
bool check(const bytes &o, const bytes &n, const bytes &d, const char *what) {
    if (d == bytes{0xf6}) {
        EXPECT_TRUE(o == n && n.size() >= 2) << what << " sizes " << o.size() << "/" << n.size();
        return o == n && n.size() >= 2;
    }
    bool ok = (o != n || n.size() < 2) && (is_replacement(n, d) || d.size() < n.size());
    EXPECT_TRUE(ok) << what << ": delta of " << d.size() << " bytes for a new value of " << n.size();
    buf ob = test::view(o), db = test::view(d);
    test::buf_ptr back(diff_apply_binary(&ob, &db));
    bool same = back && test::contents(back.get()) == n;
    EXPECT_TRUE(same) << what << ": round trip failed for sizes " << o.size() << "/" << n.size();
    return ok && same;
}

// FNV-1a over the deltas, each preceded by its length.
struct digest {
    uint64_t h = 1469598103934665603ull;
    void add_byte(uint8_t b) { h = (h ^ b) * 1099511628211ull; }
    void add(const bytes &d) {
        for (int k = 0; k < 4; ++k) add_byte(static_cast<uint8_t>(d.size() >> (8 * k)));
        for (uint8_t b : d) add_byte(b);
    }
};

TEST(DeltaIndexed, Shapes) {
    EXPECT_EQ(test::hex("f6"), indexed(test::of("abc"), test::of("abc")));
    EXPECT_EQ(test::hex("4161"), indexed(test::of("a"), test::of("a")));
    EXPECT_EQ(test::hex("40"), indexed({}, {}));
    EXPECT_EQ(test::hex("40"), indexed(test::of("abc"), {}));
    EXPECT_EQ(test::hex("4378797a"), indexed(test::of("abc"), test::of("xyz")));
    EXPECT_EQ(test::hex("4461626364"), indexed(test::of("abc"), test::of("abcd")));
    EXPECT_EQ(test::hex("0010 43636174 131818"),
              indexed(test::of("the quick brown fox jumps over the lazy dog"),
                      test::of("the quick brown cat jumps over the lazy dog")));
}

TEST(DeltaIndexed, RoundTripOverEveryPairShape) {
    std::mt19937 rng(4243);
    int edit_scripts = 0, unchanged = 0, replacements = 0;
    for (int i = 0; i < 3000; ++i) {
        bytes o, n;
        pairs::make_pair(rng, (i % 10 == 0 ? 20000 : 1500) / pairs::kScale, o, n);
        bytes d = indexed(o, n);
        if (!check(o, n, d, "pair")) return;
        if (d == bytes{0xf6})
            ++unchanged;
        else if (d.size() < n.size())
            ++edit_scripts;
        else
            ++replacements;
    }
    EXPECT_GT(edit_scripts, 1000);
    EXPECT_GT(unchanged, 50);
    EXPECT_GT(replacements, 50);
}

// Tiny values: every pair of values up to 3 bytes over a 2-letter alphabet.
TEST(DeltaIndexed, TinyValues) {
    std::vector<bytes> values{{}};
    for (size_t len = 1; len <= 3; ++len)
        for (unsigned bits = 0; bits < (1u << len); ++bits) {
            bytes v;
            for (size_t k = 0; k < len; ++k) v.push_back((bits >> k) & 1 ? 'b' : 'a');
            values.push_back(v);
        }
    for (const bytes &o : values)
        for (const bytes &n : values)
            if (!check(o, n, indexed(o, n), "tiny")) return;
}

struct large_pair {
    const char *what;
    bytes old_v, new_v;
    size_t most;  // largest delta accepted
};

// Moved, inserted, deleted, duplicated and reordered blocks, scattered small
// edits and repetitive values, with the delta size each should reach.
std::vector<large_pair> large_pairs(std::mt19937 &rng, size_t mb) {
    std::vector<large_pair> cases;
    bytes big = pairs::random_bytes(rng, 2 * mb, 256);
    auto cut = [&](size_t from, size_t to) { return bytes(big.begin() + from, big.begin() + to); };
    auto join = [](std::initializer_list<bytes> parts) {
        bytes out;
        for (const bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    size_t q = mb / 4;
    cases.push_back({"moved", big, join({cut(0, q), cut(2 * q, 6 * q), cut(q, 2 * q), cut(6 * q, 8 * q)}), 64});
    cases.push_back({"reordered", big, join({cut(6 * q, 8 * q), cut(2 * q, 4 * q), cut(0, 2 * q), cut(4 * q, 6 * q)}),
                     64});
    cases.push_back({"duplicated", big, join({cut(0, 5 * q), cut(q, 3 * q), cut(5 * q, 8 * q), cut(0, q)}), 64});
    bytes ins = pairs::random_bytes(rng, 4000, 256);
    cases.push_back({"inserted and deleted", big,
                     join({cut(0, q), ins, cut(q + 3000, 5 * q), cut(5 * q + 5000, 7 * q), ins, cut(7 * q, 8 * q)}),
                     2 * ins.size() + 64});
    bytes scattered = pairs::mutate(rng, big, static_cast<int>(mb / 1024), 8, 256);
    cases.push_back({"scattered", big, scattered, 0});  // compared with diff below
    bytes pattern(2 * mb);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>("kestrel"[i % 7]);
    cases.push_back({"shifted pattern", pattern, bytes(pattern.begin() + 1, pattern.end()), 16});
    cases.push_back({"one byte", bytes(2 * mb, 'a'), bytes(2 * mb + 1000, 'a'), 32});
    cases.push_back({"zeros and ones", bytes(2 * mb, 0), bytes(2 * mb, 1), 2 * mb + 5});
    cases.push_back({"unrelated", big, pairs::random_bytes(rng, 2 * mb, 256), 2 * mb + 5});
    return cases;
}

TEST(DeltaIndexed, LargeValues) {
    std::mt19937 rng(8);
    for (const large_pair &c : large_pairs(rng, (1u << 20) / pairs::kScale)) {
        bytes d = indexed(c.old_v, c.new_v);
        check(c.old_v, c.new_v, d, c.what);
        if (c.most)
            EXPECT_LE(d.size(), c.most) << c.what;
        else  // scattered small edits: as compact as the Myers search
            EXPECT_LE(d.size() * 100, myers_delta(c.old_v, c.new_v).size() * 105) << c.what;
    }
}

// The same bytes on every platform: a digest of the deltas of a fixed set of
// generated pairs, checked by the native, the -m32 and the i386 builds.
// Sanitizer builds make smaller values (kScale), so they check their own.
TEST(DeltaIndexed, SameDeltasOnEveryPlatform) {
    std::mt19937 rng(2026);
    digest all;
    for (int i = 0; i < 400; ++i) {
        bytes o, n;
        pairs::make_pair(rng, (i % 20 == 0 ? 60000 : 3000) / pairs::kScale, o, n);
        all.add(indexed(o, n));
    }
    for (const large_pair &c : large_pairs(rng, (1u << 18) / pairs::kScale)) all.add(indexed(c.old_v, c.new_v));
    const uint64_t expected = pairs::kScale == 1 ? 0x0e5f6441187155abull : 0xbb69aed4331ac083ull;
    EXPECT_EQ(expected, all.h) << std::hex << all.h;
}

}  // namespace
