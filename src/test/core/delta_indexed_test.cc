// The indexed generator: its deltas rebuild the new value over every shape
// of the shared pair generator, keep diff's size rules, find moved and
// repeated blocks and short copies, and are the same bytes on every
// platform; its second pass's parse is the cheapest, and its emitter folds
// a copy exactly when that costs no more.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <utility>

#include "core/delta/delta_apply.h"
#include "core/delta/delta_generate.h"
#include "core/delta/delta_indexed.h"
#include "core/delta/indexed/emitter.h"
#include "core/delta/indexed/first_pass.h"
#include "core/delta/indexed/parse.h"
#include "core/delta/indexed/refine.h"
#include "core/delta/script/item_codec.h"
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

// Pieces of 12 old bytes from far apart, each after 3 new bytes: too short
// for the first pass's 16-byte windows, so only the second pass finds them.
// Each piece is then a 3-byte insert (4 bytes) and a copy at a 3-byte
// offset (4 bytes): 8 bytes for its 15, against 15 without that pass.
TEST(DeltaIndexed, SecondPassFindsShortCopies) {
    std::mt19937 rng(61);
    const bytes o = pairs::random_bytes(rng, 65536, 256);
    const size_t pieces = 1000;
    bytes n(o.begin(), o.begin() + 4096);
    for (size_t k = 0; k < pieces; ++k) {
        bytes fresh = pairs::random_bytes(rng, 3, 256);
        n.insert(n.end(), fresh.begin(), fresh.end());
        const size_t at = 8192 + pairs::below(rng, o.size() - 8192 - 12);
        n.insert(n.end(), o.begin() + at, o.begin() + at + 12);
    }
    n.insert(n.end(), o.begin() + 4096, o.begin() + 8192);
    const bytes d = indexed(o, n);
    check(o, n, d, "short copies");
    // Pieces cut by the pass's batches (of 1024 bytes here) cost a little more.
    EXPECT_LE(d.size(), 8 * pieces + 100) << "the second pass did not find the 12-byte copies";
}

// The second pass in the given form (1: batches, 2: one scan, 0: left to
// choose) over the first pass's delta (which fills `first_work` if given);
// the first pass's delta when it makes nothing shorter.
bytes second_pass(const bytes &o, const bytes &n, int form, kestrava_indexed::refine_work &work,
                  kestrava_indexed::first_pass_work *first_work = nullptr) {
    kestrava_indexed::output first, again;
    first.limit = static_cast<uint32_t>(n.size());
    const uint32_t n_old = static_cast<uint32_t>(o.size()), n_new = static_cast<uint32_t>(n.size());
    EXPECT_TRUE(kestrava_indexed::first_pass(o.data(), n_old, n.data(), n_new, first, first_work));
    if (first.over || first.oom || first.len >= n.size() || o == n) {  // the generator's own answer
        free(first.data);
        return indexed(o, n);
    }
    again.limit = first.len;
    work.force = form;
    const int refined = kestrava_indexed::refine(o.data(), n_old, n.data(), n_new, first, again, &work);
    EXPECT_GE(refined, 0);
    const kestrava_indexed::output &d = refined > 0 && !again.over ? again : first;
    bytes out(d.data, d.data + d.len);
    free(first.data);
    free(again.data);
    return out;
}

// Old and new made of `count` distinct 16-byte windows in random order:
// every 6-byte gram is frequent.
void windows_pair(std::mt19937 &rng, size_t count, size_t size, bytes &o, bytes &n) {
    std::vector<bytes> set;
    for (size_t k = 0; k < count; ++k) set.push_back(pairs::random_bytes(rng, 16, 256));
    for (bytes *v : {&o, &n})
        while (v->size() < size) {
            const bytes &w = set[pairs::below(rng, count)];
            v->insert(v->end(), w.begin(), w.end());
        }
}

// An old value and a new one that keeps its first half and appends pieces of
// a few fresh bytes and 10 to 29 bytes from anywhere in the old value: many
// bytes to parse again, most of them in short copies.
void appended_pieces(std::mt19937 &rng, size_t size, bytes &o, bytes &n) {
    o = pairs::random_bytes(rng, size, 64);
    n.assign(o.begin(), o.begin() + static_cast<ptrdiff_t>(size / 2));
    while (n.size() < size / 2 + size / 16) {
        bytes fresh = pairs::random_bytes(rng, 1 + pairs::below(rng, 4), 64);
        n.insert(n.end(), fresh.begin(), fresh.end());
        const size_t len = 10 + pairs::below(rng, 20), at = pairs::below(rng, size - len);
        n.insert(n.end(), o.begin() + static_cast<ptrdiff_t>(at), o.begin() + static_cast<ptrdiff_t>(at + len));
    }
}

// Both forms of the second pass keep the deltas exact on every pair shape,
// on repetitive values and on many short copies; the one scan probes the
// old value once where the batches probe it once per batch and its deltas
// stay as short on the shapes it is chosen for (the cost model's bet); the
// choice follows the sizes; its candidates' tags spare most reads.
TEST(DeltaIndexed, SecondPassForms) {
    std::mt19937 rng(1717);
    kestrava_indexed::refine_work work;
    for (int i = 0; i < 400; ++i) {
        bytes o, n;
        pairs::make_pair(rng, (i % 10 == 0 ? 40000 : 2000) / pairs::kScale, o, n);
        for (int form : {1, 2})
            if (!check(o, n, second_pass(o, n, form, work), form == 1 ? "batches" : "one scan")) return;
    }
    struct shaped {
        const char *what;
        bytes o, n;
    };
    std::vector<shaped> shapes(3);
    const size_t size = (5u << 20) / pairs::kScale;
    shapes[0].what = "windows";
    windows_pair(rng, 64, size / 2, shapes[0].o, shapes[0].n);
    shapes[1].what = "periodic with dense edits";
    for (size_t k = 0; k < size / 2; ++k) shapes[1].o.push_back(static_cast<uint8_t>("0123456789abcde"[k % 15]));
    shapes[1].n = pairs::mutate(rng, bytes(shapes[1].o.begin() + 7, shapes[1].o.end()), static_cast<int>(size / 128), 2, 256);
    shapes[2].what = "appended pieces";
    appended_pieces(rng, size, shapes[2].o, shapes[2].n);
    for (const shaped &c : shapes) {
        kestrava_indexed::refine_work batches, one, chosen;
        const bytes by_batches = second_pass(c.o, c.n, 1, batches), by_one = second_pass(c.o, c.n, 2, one);
        check(c.o, c.n, by_batches, c.what);
        check(c.o, c.n, by_one, c.what);
        EXPECT_TRUE(one.one_scan && !batches.one_scan) << c.what;
        EXPECT_EQ(1u, one.scans) << c.what;
        EXPECT_LE(one.probes, c.o.size() / 4 + c.n.size() + 16) << c.what << ": the one scan probes more than once";
        EXPECT_LE(one.candidates, 8 * one.lookups) << c.what << ": more candidates than the buckets hold";
        // Candidates there are mostly other grams' that share a bucket (all
        // are the same gram in the periodic value): their tags keep most of
        // them from reading the old value.
        if (&c != &shapes[1]) {
            EXPECT_LE(4 * one.compared, one.candidates) << c.what << ": the slots' tags no longer tell grams apart";
        }
        // The choice: the one scan on old values over 4 MiB with many bytes
        // to parse again, and never a longer delta than the batches'.
        const bytes by_choice = second_pass(c.o, c.n, 0, chosen);
        EXPECT_EQ(by_choice, chosen.one_scan ? by_one : by_batches) << c.what;
        EXPECT_EQ(chosen.one_scan, c.o.size() > (4u << 20)) << c.what;
        EXPECT_LE(by_choice.size(), by_batches.size())
            << c.what << ": the chosen form's delta, " << by_choice.size() << " bytes, against the batches' "
            << by_batches.size();
        if (chosen.one_scan) {
            EXPECT_GE(batches.scans, 4 * one.scans) << c.what << ": the batches no longer cost more; retune the choice";
        }
    }
    bytes o, n;
    appended_pieces(rng, 65536, o, n);
    EXPECT_EQ(second_pass(o, n, 1, work), second_pass(o, n, 0, work)) << "small values: the batches";
}

// The one-scan form's bytes on every platform too (values of fixed sizes,
// the same in sanitizer builds).
TEST(DeltaIndexed, OneScanSameDeltasOnEveryPlatform) {
    std::mt19937 rng(2027);
    digest all;
    kestrava_indexed::refine_work work;
    for (int i = 0; i < 60; ++i) {
        bytes o, n;
        pairs::make_pair(rng, 20000, o, n);
        all.add(second_pass(o, n, 2, work));
    }
    bytes o, n;
    windows_pair(rng, 64, 1u << 18, o, n);
    all.add(second_pass(o, n, 2, work));
    appended_pieces(rng, 1u << 18, o, n);
    all.add(second_pass(o, n, 2, work));
    EXPECT_EQ(0x6df8b5705be169f2ull, all.h) << std::hex << all.h;
}

// Text of words from a small vocabulary, as in source code.
bytes words(std::mt19937 &rng, size_t size) {
    static const char *const vocabulary[] = {"delta ", "copy ", "insert ", "old ", "new ", "value ", "offset ",
                                             "return ", "if ", "else ", "for ", "the ", "(", ") ", "= ", "\n    "};
    bytes out;
    while (out.size() < size) {
        const char *w = vocabulary[pairs::below(rng, sizeof vocabulary / sizeof vocabulary[0])];
        out.insert(out.end(), w, w + strlen(w));
    }
    out.resize(size);
    return out;
}

// Gaps over 512 bytes whose sides share next to no 8-byte string, in an old
// value of a megabyte: the first pass sends them as inserts without the
// search, which would have found nothing worth a copy (random blocks in
// text), and the delta is no longer for it; gaps that share enough are
// still searched. Fixed sizes: the same digest in every build.
TEST(DeltaIndexed, FirstPassSparesSearchesOnGapsThatShareNothing) {
    std::mt19937 rng(1818);
    const bytes o = words(rng, 5u << 18);
    bytes n;
    size_t at = 0;
    for (int k = 0; k < 40; ++k) {
        const size_t keep = 20000 + pairs::below(rng, 10000), cut = 400 + pairs::below(rng, 1200);
        n.insert(n.end(), o.begin() + static_cast<ptrdiff_t>(at), o.begin() + static_cast<ptrdiff_t>(at + keep));
        // A random block, or edited text, in place of `cut` old bytes.
        const bytes fresh = k % 2 ? pairs::random_bytes(rng, 300 + pairs::below(rng, 1500), 256)
                                  : pairs::mutate(rng, bytes(o.begin() + static_cast<ptrdiff_t>(at + keep),
                                                             o.begin() + static_cast<ptrdiff_t>(at + keep + cut)),
                                                  40, 3, 256);
        n.insert(n.end(), fresh.begin(), fresh.end());
        at += keep + cut;
    }
    n.insert(n.end(), o.begin() + static_cast<ptrdiff_t>(at), o.end());
    kestrava_indexed::refine_work work;
    kestrava_indexed::first_pass_work model, all;
    all.search_all = true;
    const bytes d = second_pass(o, n, 0, work, &model), searched = second_pass(o, n, 0, work, &all);
    check(o, n, d, "sparse gaps");
    EXPECT_GE(model.sparse, 10u) << "the first pass searches gaps that share nothing with the old value";
    EXPECT_GE(model.searched, 20u) << "the first pass no longer searches gaps of edited text";
    EXPECT_EQ(all.searched, model.searched + model.sparse);
    EXPECT_LE(d.size(), searched.size()) << "sparing the searches makes the delta longer";
    digest one;
    one.add(d);
    EXPECT_EQ(0x0c3dddf6e03748fbull, one.h) << std::hex << one.h;
}

// The parse of a stretch over known matches against an exhaustive search
// of every sequence of items under the same costs (a copy its two heads, an
// insert its bytes and one for its head): no sequence is cheaper. Matches of
// every head size of offset and length, in stretches up to 60 bytes.
TEST(IndexedParse, NoSequenceOfItemsIsCheaper) {
    using kestrava_items::head_size;
    std::mt19937 rng(62);
    const uint32_t offsets[] = {5, 100, 1000, 70000};
    for (int i = 0; i < 4000; ++i) {
        const uint32_t length = 1 + static_cast<uint32_t>(pairs::below(rng, 60));
        std::vector<uint8_t> len(length);
        std::vector<uint32_t> off(length);
        for (uint32_t j = 0; j < length; ++j) {
            if (rng() % 3) continue;
            len[j] = static_cast<uint8_t>(1 + pairs::below(rng, std::min<uint32_t>(length - j, 30)));
            off[j] = offsets[rng() % 4];
        }
        // Cheapest cost from position j on, with an insert open or not.
        std::vector<uint32_t> memo(2 * (length + 1), UINT32_MAX);
        std::function<uint32_t(uint32_t, bool)> cheapest = [&](uint32_t j, bool open) -> uint32_t {
            if (j == length) return 0;
            uint32_t &m = memo[2 * j + open];
            if (m != UINT32_MAX) return m;
            uint32_t best = (open ? 1 : 2) + cheapest(j + 1, true);
            for (uint32_t l = 1; l <= len[j]; ++l)
                best = std::min(best, head_size(off[j]) + head_size(l) + cheapest(j + l, false));
            return m = best;
        };
        std::vector<uint32_t> cost_a(length + 1), cost_b(length + 1);
        std::vector<uint8_t> copy_len(length + 1), flags(length + 1), step(length);
        kestrava_indexed::cheapest_parse(len.data(), off.data(), length,
                                         {cost_a.data(), cost_b.data(), copy_len.data(), flags.data()},
                                         step.data());
        uint32_t cost = 0;
        bool open = false;
        for (uint32_t j = 0; j < length;) {
            if (step[j] == 0) {
                cost += open ? 1 : 2;
                open = true;
                ++j;
                continue;
            }
            ASSERT_LE(step[j], len[j]) << "case " << i << ": a copy longer than the match at " << j;
            cost += head_size(off[j]) + head_size(step[j]);
            open = false;
            j += step[j];
        }
        ASSERT_EQ(cheapest(0, false), cost) << "case " << i << ": the parse's items cost more than the cheapest";
    }
}

// A copy between inserts (or before the end) is folded into them when its
// bytes cost no more than its heads; on a tie too (the same size in fewer
// items), and never when it costs more.
TEST(IndexedEmitter, FoldsACopyWhoseBytesCostNoMoreThanItsHeads) {
    const bytes new_v = test::of("abcdefghijklmnopqrstuvwxyz");
    struct fold_case {
        const char *what;
        uint32_t copy_len;
        bool then_literal;  // else the end, or another copy with `then_copy`
        bool then_copy;
        bool folds;
    };
    // Heads: the 3-byte insert before 1, the copy at 100 2 + 1, what follows 1.
    const fold_case cases[] = {
        {"between inserts, cheaper as bytes", 3, true, false, true},
        {"between inserts, a tie", 4, true, false, true},
        {"between inserts, dearer as bytes", 5, true, false, false},
        {"at the end, a tie", 3, false, false, true},
        {"at the end, dearer as bytes", 4, false, false, false},
        {"before a copy, a tie", 3, false, true, true},
    };
    for (const fold_case &c : cases) {
        kestrava_indexed::output out;
        out.limit = 1000;
        kestrava_indexed::emitter em{&out, new_v.data()};
        em.literal(0, 3);
        em.copy(100, c.copy_len, 3);
        const uint32_t at = 3 + c.copy_len;
        if (c.then_literal) em.literal(at, 3);
        if (c.then_copy) em.copy(5000, 30, at);
        em.close();
        kestrava_items::item_reader r(out.data, out.data + out.len);
        kestrava_items::item it;
        ASSERT_TRUE(r.next(it)) << c.what;
        EXPECT_FALSE(it.copy) << c.what;
        const uint32_t inserted = c.folds ? at + (c.then_literal ? 3 : 0) : 3;
        EXPECT_EQ(inserted, it.len) << c.what << (c.folds ? ": not folded" : ": folded");
        if (!c.folds) {
            ASSERT_TRUE(r.next(it)) << c.what;
            EXPECT_TRUE(it.copy && it.off == 100 && it.len == c.copy_len) << c.what;
        }
        free(out.data);
    }
}

}  // namespace
