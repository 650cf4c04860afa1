// The engine against the plain nested model of the same search: identical
// result codes and delta bytes for every limit, quality and storage size,
// with every form of the search's passes this processor can run forced in
// turn (searches of any size on the band), and as callers get it.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/delta/common/byte_match.h"
#include "core/delta/myers/band/cpu_features.h"
#include "core/delta/myers/band/search_snapshots.h"
#include "core/delta/myers/task_list.h"
#include "myers_reference.h"
#include "pair_gen.h"
#include "test_util.h"

namespace {

using kestrava_myers::search_path;
using pairs::bytes;

struct engine_result {
    int32_t code;
    bytes delta;
};

struct engine_form {
    const char *name;
    search_path path;
    int32_t band_from, band_after;
    long compared;
};

// The public entry first; then each path with every search on it from its
// first iteration, and once moving from the storage to the band on the way.
std::vector<engine_form> &engine_forms() {
    static std::vector<engine_form> forms = [] {
        std::vector<engine_form> all = {{"myers_binary_diff", search_path::automatic, 0, 0, 0},
                                        {"storage", search_path::storage, 1, 0, 0},
                                        {"scalar", search_path::scalar, 1, 0, 0},
                                        {"avx512 first bytes", search_path::avx512_first, 1, 0, 0},
                                        {"avx512 four bytes", search_path::avx512_four, 1, 0, 0},
                                        {"avx512 chosen by pass", search_path::avx512, 1, 0, 0},
                                        {"band after 5 iterations", search_path::automatic, 1, 5, 0}};
        std::vector<engine_form> here;
        for (const engine_form &f : all)
            if (f.path == search_path::storage || kestrava_myers::passes_for(f.path)) here.push_back(f);
        return here;
    }();
    return forms;
}

engine_result engine_diff(const buf *o, const buf *n, int32_t storage_limit, int32_t cost_limit, uint32_t quality,
                          const engine_form &form) {
    edit_script *s = edit_script_create(o, n);
    engine_result r;
    if (form.band_from == 0)
        r.code = myers_binary_diff(o, 0, int32_t(o->len), n, 0, int32_t(n->len), s, storage_limit, cost_limit, quality);
    else
        r.code = kestrava_myers::binary_diff(o, 0, int32_t(o->len), n, 0, int32_t(n->len), s, storage_limit,
                                             cost_limit, quality, nullptr, form.path, form.band_from, form.band_after);
    r.delta = test::contents(s->out);
    edit_script_free(s);
    return r;
}

void expect_same(const bytes &o, const bytes &n, int32_t storage_limit, int32_t cost_limit, uint32_t quality,
                 reference::rule_counts *counts) {
    buf ob = test::view(o), nb = test::view(n);
    reference::outcome want = reference::diff(&ob, &nb, storage_limit, cost_limit, quality, counts);
    ASSERT_FALSE(want.read_outside_range);
    for (engine_form &form : engine_forms()) {
        engine_result got = engine_diff(&ob, &nb, storage_limit, cost_limit, quality, form);
        ASSERT_EQ(want.code, got.code) << form.name << ": sizes " << o.size() << "/" << n.size() << " storage "
                                       << storage_limit << " cost " << cost_limit << " quality " << quality;
        ASSERT_EQ(want.delta, got.delta) << form.name << ": sizes " << o.size() << "/" << n.size() << " storage "
                                         << storage_limit << " cost " << cost_limit << " quality " << quality;
        ++form.compared;
    }
}

// How many pairs each form matched, for the record of a run.
class FormCounts : public ::testing::Environment {
  public:
    void TearDown() override {
        std::string line = "pairs compared with the reference:";
        for (const engine_form &f : engine_forms())
            line += std::string(" ") + f.name + " " + std::to_string(f.compared) + ";";
        std::printf("%s\n", line.c_str());
        ::testing::Test::RecordProperty("pairs_compared", line);
    }
};
const ::testing::Environment *const kFormCounts = ::testing::AddGlobalTestEnvironment(new FormCounts);

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

// Every shape at every quality, with small and default limits and small
// storages: long snakes, windows near both ends of the values, passes whose
// bytes lie in far clusters, cuts and their sub-searches.
TEST(MyersEquivalence, ShapesAtEveryQuality) {
    std::mt19937 rng(9);
    const int32_t costs[] = {10000, 300, 40, 3};
    const int32_t storages[] = {INT32_MAX, 900, 60};
    const unsigned alphabets[] = {256, 16, 4, 2};
    int cases = 0;
    reference::rule_counts seen;
    for (int i = 0; i < 160; ++i) {
        bytes o, n;
        size_t size = 40 + pairs::below(rng, (i % 8 == 0 ? 20000 : 2500) / pairs::kScale);
        pairs::make_shape(rng, i % pairs::kShapes, size, alphabets[(i / pairs::kShapes) % 4], o, n);
        uint32_t q = static_cast<uint32_t>(i % 6);
        expect_same(o, n, storages[rng() % 3], costs[rng() % 4], q, &seen);
        if (HasFatalFailure()) return;
        ++cases;
    }
    EXPECT_EQ(cases, 160);
    EXPECT_GT(seen.overlaps, 0);
    EXPECT_GT(seen.bails, 0);
    EXPECT_GT(seen.area_searches, 0);
    EXPECT_GT(seen.exhaustions, 0);
    EXPECT_GT(seen.progress_cuts, 0);
}

// Searches that start or end where an earlier one did skip the passes whose
// values it kept, and compute them again where those run out; the
// scattered, edited and unrelated shapes here reach both, from the storage
// and from the band.
TEST(MyersEquivalence, KeptValuesAreLentAndSettled) {
    std::mt19937 rng(12);
    for (int shape : {0, 2, 3}) {
        bytes o, n;
        pairs::make_shape(rng, shape, 30000 / pairs::kScale, 4, o, n);
        expect_same(o, n, INT32_MAX, 10000, 0, nullptr);
        if (HasFatalFailure()) return;
        for (int32_t after : {0, kestrava_myers::kBandAfter}) {
            buf ob = test::view(o), nb = test::view(n);
            edit_script *s = edit_script_create(&ob, &nb);
            kestrava_myers::work_stats stats{};
            kestrava_myers::binary_diff(&ob, 0, int32_t(o.size()), &nb, 0, int32_t(n.size()), s, INT32_MAX, 10000, 0,
                                        &stats, search_path::automatic, 1, after);
            edit_script_free(s);
            EXPECT_GT(stats.lent, 0u) << "shape " << shape << " after " << after;
            EXPECT_GT(stats.settled, 0u) << "shape " << shape << " after " << after;
        }
    }
}

// Kept values serve a later search only as far as none reaches past its
// ranges' ends, and never one over longer ranges than the search that kept
// them (whose snakes the shorter ranges' ends may have cut).
TEST(MyersEquivalence, KeptValuesServeOnlyRangesWithinTheirs) {
    for (bool forward : {true, false}) {
        kestrava_myers::snapshot_set set;
        set.forward = forward;
        set.corner_x = set.corner_y = 0;
        set.n = set.m = 300;
        set.last = 128;
        // Iterations 64 and 63, 128 and 127: forward x = 10 (reverse: 10
        // before the end), except one value of iteration 128 at 150 (150
        // before the end).
        ASSERT_TRUE(set.values.resize(kestrava_myers::snapshot_set::offset(192)));
        for (size_t i = 0; i < set.values.size(); ++i) set.values.data()[i] = forward ? 10 : -10;
        set.values.data()[kestrava_myers::snapshot_set::offset(128) + 64] = forward ? 150 : -150;
        EXPECT_EQ(128, kestrava_myers::snapshots_valid_until(set, 300, 300)) << forward;
        EXPECT_EQ(128, kestrava_myers::snapshots_valid_until(set, 150, 300)) << forward;
        EXPECT_EQ(64, kestrava_myers::snapshots_valid_until(set, 149, 300)) << forward;  // one value past the end
        EXPECT_EQ(64, kestrava_myers::snapshots_valid_until(set, 300, 100)) << forward;  // iteration 128 is clamped
        EXPECT_EQ(0, kestrava_myers::snapshots_valid_until(set, 301, 300)) << forward;   // longer than theirs
        EXPECT_EQ(0, kestrava_myers::snapshots_valid_until(set, 300, 301)) << forward;
    }
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

// Single passes of every vector form against the scalar one on random jobs:
// positions near both ends of short values (windows cut at a value's start
// or end), neighbours' values spread far apart or close, unreached
// diagonals, snakes of every length, overlap tests over part of a pass.
TEST(SearchPasses, VectorFormsAgreeWithScalarOnSingleJobs) {
    using kestrava_myers::pass_forms;
    using kestrava_myers::pass_hit;
    using kestrava_myers::pass_job;
    const pass_forms *scalar = kestrava_myers::passes_for(search_path::scalar);
    std::vector<const pass_forms *> vector_forms;
    for (search_path p : {search_path::avx512_first, search_path::avx512_four})
        if (const pass_forms *f = kestrava_myers::passes_for(p)) vector_forms.push_back(f);
    if (vector_forms.empty()) GTEST_SKIP() << "this processor runs no vector form";
    std::mt19937 rng(31);
    long jobs = 0, hits = 0;
    for (int i = 0; i < 30000; ++i) {
        const unsigned alphabet = (i % 5 < 2) ? 2 : (i % 5 < 4) ? 4 : 256;
        const int32_t n = 1 + static_cast<int32_t>(pairs::below(rng, 300));
        const int32_t m = 1 + static_cast<int32_t>(pairs::below(rng, 300));
        bytes o = pairs::random_bytes(rng, size_t(n), alphabet), nv = pairs::random_bytes(rng, size_t(m), alphabet);
        if (i % 4 == 0) nv = bytes(o.begin(), o.begin() + std::min(n, m));  // long snakes
        const int32_t mm = int32_t(nv.size());
        const bool forward = i % 2 == 0;
        const int32_t count = 1 + static_cast<int32_t>(pairs::below(rng, 70));
        // Positions: near the ends of the values and of 64- and 128-byte
        // windows placed at them, spread over the value, or close together;
        // and unreached diagonals (the fill values).
        const int32_t anchors[] = {0, 1, 2, 3, 4, 64, 65, 66, 67, 68, 128, 129, 130, n - 4, n - 1, n, n + 1};
        const int32_t centre = static_cast<int32_t>(pairs::below(rng, size_t(n) + 7)) - 3;
        std::vector<int32_t> prev(size_t(count) + 1 + 32), other(size_t(count) + 32), outs[3];
        for (int32_t &v : prev) {
            if (i % 3 == 0)
                v = anchors[rng() % (sizeof anchors / sizeof anchors[0])] + static_cast<int32_t>(rng() % 3) - 1;
            else
                v = centre + (i % 3 == 1 ? static_cast<int32_t>(pairs::below(rng, 13)) - 6
                                         : static_cast<int32_t>(pairs::below(rng, 401)) - 200);
            if (rng() % 17 == 0) v = forward ? -1 : INT32_MAX;
        }
        pass_job job{o.data(), nv.data(), n, mm, count, 0, 0, prev.data(), nullptr, nullptr, 0, 0, nullptr};
        if (forward)
            job.k0 = static_cast<int32_t>(pairs::below(rng, size_t(n + mm) + 5)) - n - 2;
        else
            job.l0 = static_cast<int32_t>(pairs::below(rng, size_t(n + mm) + 5)) - mm - 2 + 2 * count;
        if (rng() % 2) {
            job.check_begin = static_cast<int32_t>(pairs::below(rng, size_t(count)));
            job.check_end =
                job.check_begin + 1 + static_cast<int32_t>(pairs::below(rng, size_t(count - job.check_begin)));
            for (int32_t &v : other) v = centre + static_cast<int32_t>(pairs::below(rng, 61)) - 30;
            job.other = other.data();
        }
        pass_hit want{-1, 0, 0};
        outs[0].assign(size_t(count), 7);
        job.out = outs[0].data();
        bool met = forward ? scalar->scalar.forward(job, want) : scalar->scalar.reverse(job, want);
        hits += met;
        for (size_t f = 0; f < vector_forms.size(); ++f) {
            pass_hit got{-1, 0, 0};
            outs[f + 1].assign(size_t(count), 7);
            job.out = outs[f + 1].data();
            const kestrava_myers::search_passes &p = vector_forms[f]->first_bytes;
            ASSERT_EQ(met, forward ? p.forward(job, got) : p.reverse(job, got)) << "job " << i << " form " << f;
            if (met) {
                ASSERT_EQ(want.index, got.index) << "job " << i << " form " << f;
                ASSERT_EQ(want.s, got.s) << "job " << i << " form " << f;
                ASSERT_EQ(want.t, got.t) << "job " << i << " form " << f;
                outs[f + 1].resize(size_t(want.index));
                outs[0].resize(size_t(want.index));
            }
            ASSERT_EQ(outs[0], outs[f + 1]) << "job " << i << " form " << f << " forward " << forward << " n " << n
                                            << " m " << mm << " count " << count << " k0 " << job.k0 << " l0 "
                                            << job.l0 << " check " << job.check_begin << ".." << job.check_end;
            outs[0].resize(size_t(count), 7);
        }
        ++jobs;
    }
    EXPECT_EQ(jobs, 30000);
    EXPECT_GT(hits, 1000);  // both outcomes are well represented
    EXPECT_LT(hits, 29000);
}

// Lengths around the word and the 32-byte block, differences anywhere.
TEST(ByteMatch, WideComparisonEqualsBytewise) {
    std::mt19937 rng(99);
    for (int i = 0; i < 6000; ++i) {
        size_t len = pairs::below(rng, i % 2 ? 40 : 200);
        bytes p = pairs::random_bytes(rng, len, 256), q = p;
        size_t diff_at = pairs::below(rng, len + 1);
        if (diff_at < len) q[diff_at] ^= static_cast<uint8_t>(1 + rng() % 255);
        size_t limit = pairs::below(rng, len + 1);
        size_t want = 0;
        while (want < limit && p[want] == q[want]) ++want;
        EXPECT_EQ(want, kestrava_bytes::common_prefix(p.data(), q.data(), limit));
        size_t want_back = 0;
        while (want_back < limit && p[len - 1 - want_back] == q[len - 1 - want_back]) ++want_back;
        EXPECT_EQ(want_back, kestrava_bytes::common_suffix(p.data() + len, q.data() + len, limit));
    }
}

}  // namespace

// The vector passes need every one of five AVX-512 extensions and a system
// that saves the 512-bit state; the processor's own answer must agree with
// what the kernel reports in /proc/cpuinfo (which leaves out what it does
// not save).
TEST(SearchPasses, Avx512NeedsEveryExtensionAndTheSystemsSupport) {
    using kestrava_myers::avx512_passes_supported;
    using kestrava_myers::cpu_registers;
    const uint32_t ebx = (1u << 16) | (1u << 28) | (1u << 30) | (1u << 31), ecx = 1u << 1;
    const cpu_registers full = {13, 1u << 27, ebx, ecx, 0xe7};
    EXPECT_TRUE(avx512_passes_supported(full));
    for (int bit : {16, 28, 30, 31}) {
        cpu_registers r = full;
        r.leaf7_ebx &= ~(1u << bit);
        EXPECT_FALSE(avx512_passes_supported(r)) << "leaf 7 ebx bit " << bit;
    }
    cpu_registers r = full;
    r.leaf7_ecx = 0;
    EXPECT_FALSE(avx512_passes_supported(r)) << "no VBMI";
    r = full;
    r.max_leaf = 6;
    EXPECT_FALSE(avx512_passes_supported(r)) << "no leaf 7";
    r = full;
    r.leaf1_ecx = 0;
    EXPECT_FALSE(avx512_passes_supported(r)) << "system without xsave";
    for (int bit : {1, 2, 5, 6, 7}) {
        r = full;
        r.xcr0 &= ~(uint64_t(1) << bit);
        EXPECT_FALSE(avx512_passes_supported(r)) << "XCR0 bit " << bit;
    }

    std::FILE *f = std::fopen("/proc/cpuinfo", "r");
    if (!f) GTEST_SKIP() << "no /proc/cpuinfo";
    std::string flags;
    char line[8192];
    while (flags.empty() && std::fgets(line, sizeof line, f))
        if (std::string(line).rfind("flags", 0) == 0) flags = std::string(line) + " ";
    std::fclose(f);
    for (char &c : flags) c = (c == '\t' || c == '\n') ? ' ' : c;
    bool listed = !flags.empty();
    for (const char *name : {" avx512f ", " avx512cd ", " avx512bw ", " avx512vl ", " avx512vbmi "})
        listed = listed && flags.find(name) != std::string::npos;
    EXPECT_EQ(listed, kestrava_myers::passes_for(search_path::avx512) != nullptr) << flags;
}
