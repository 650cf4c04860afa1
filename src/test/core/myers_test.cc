#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <random>

#include "core/delta/delta_apply.h"
#include "core/delta/myers/myers.h"
#include "core/delta/myers/task_list.h"
#include "pair_gen.h"
#include "test_util.h"

namespace {

using test::bytes;
using test::hex;
using test::of;

struct result {
    int32_t code;
    bytes delta;
};

result run_diff(const bytes &o, const bytes &n, uint32_t quality, int32_t cost_limit = 10000,
                int32_t storage_limit = INT32_MAX) {
    buf ob = test::view(o), nb = test::view(n);
    edit_script *s = edit_script_create(&ob, &nb);
    result r{myers_binary_diff(&ob, 0, int32_t(o.size()), &nb, 0, int32_t(n.size()), s, storage_limit, cost_limit,
                               quality),
             {}};
    r.delta = test::contents(s->out);
    edit_script_free(s);
    return r;
}

TEST(Myers, CheckBounds) {
    bytes ten(10, 'x');
    buf b = test::view(ten);
    EXPECT_EQ(0, myers_binary_diff_check_bounds(&b, 0, 10));
    EXPECT_EQ(0, myers_binary_diff_check_bounds(&b, 3, 7));
    EXPECT_EQ(-1, myers_binary_diff_check_bounds(&b, 3, 8));
    EXPECT_EQ(-1, myers_binary_diff_check_bounds(&b, -1, 0));
    EXPECT_EQ(-1, myers_binary_diff_check_bounds(&b, 0, -1));
    EXPECT_EQ(-1, myers_binary_diff_check_bounds(&b, INT32_MAX, INT32_MAX));  // no wrap to a small sum
}

TEST(Myers, CornerAndBailoutLimit) {
    EXPECT_EQ(3, myers_binary_diff_corner(3, 5));
    EXPECT_EQ(1, myers_binary_diff_corner(5, 3));
    EXPECT_EQ(4, myers_binary_diff_corner(4, 4));
    EXPECT_EQ(INT32_MAX - 2, myers_binary_diff_corner(INT32_MAX, INT32_MAX - 1));  // no overflow in 2n - d
    EXPECT_EQ(256, myers_binary_diff_bailout_limit(1, 0, 0));
    EXPECT_EQ(800, myers_binary_diff_bailout_limit(10000, 1000, 0));
    EXPECT_EQ(256, myers_binary_diff_bailout_limit(3199, 511, 1));  // 3199 * 8 = 25592 < 25600
    EXPECT_EQ(10737418, myers_binary_diff_bailout_limit(1 << 29, 8, 0));  // 2^29 * 2 / 100
    // The 32-bit product wraps: 2^30 * 4 is 0, 2^30 * 2 the most negative value.
    EXPECT_EQ(256, myers_binary_diff_bailout_limit(1 << 30, 64, 0));
    EXPECT_EQ(256, myers_binary_diff_bailout_limit(1 << 30, 8, 0));
    EXPECT_EQ(256, myers_binary_diff_bailout_limit(INT32_MAX, 8, 0));
    // The sum of b and c is taken 64 bits wide: 2^32 - 2 has the estimate 2^10
    // (a wrapped 32-bit sum, -2, would give 2^21).
    EXPECT_EQ(10240, myers_binary_diff_bailout_limit(1000, INT32_MAX, INT32_MAX));
}

TEST(Myers, ProgressThreshold) {
    EXPECT_EQ(1024, kestrava_myers::progress_needed(64));
    EXPECT_EQ(2048, kestrava_myers::progress_needed(128));
    EXPECT_EQ(3072, kestrava_myers::progress_needed(192));
    EXPECT_EQ(8192, kestrava_myers::progress_needed(256));
    EXPECT_EQ(65536, kestrava_myers::progress_needed(1024));
}

TEST(Myers, ResultCodes) {
    for (uint32_t q = 0; q <= 6; ++q) {
        EXPECT_EQ(2, run_diff(of("abcdef"), of("abcdef"), q).code) << q;
        EXPECT_EQ(2, run_diff(bytes{}, bytes{}, q).code) << q;
        EXPECT_EQ(1, run_diff(of("abc"), of("xyz"), q).code) << q;
        result r = run_diff(of("abc"), bytes{}, q);
        EXPECT_EQ(0, r.code) << q;
        EXPECT_TRUE(r.delta.empty()) << q;
        EXPECT_EQ(1, run_diff(bytes{}, of("xyz"), q).code) << q;
    }
    bytes v = of("abcdef");
    buf b = test::view(v);
    edit_script *s = edit_script_create(&b, &b);
    EXPECT_EQ(-1, myers_binary_diff(&b, 0, 7, &b, 0, 6, s, INT32_MAX, 10000, 0));
    EXPECT_EQ(-1, myers_binary_diff(&b, 0, 6, &b, -1, 6, s, INT32_MAX, 10000, 0));
    EXPECT_EQ(0u, s->out->len);
    edit_script_free(s);
}

TEST(Myers, SmallExampleAtEveryQuality) {
    for (uint32_t q = 0; q <= 6; ++q) {
        result r = run_diff(of("abcXdef"), of("abcYYdef"), q);
        EXPECT_EQ(0, r.code) << q;
        EXPECT_EQ(hex("00 03 42 59 59 04 03"), r.delta) << q;
    }
}

// Quality levels 1 and 2 derive their iteration limit from the smallest of
// the cost limit and the two lengths; level 0 with that limit must search
// the same way.
TEST(Myers, QualityLimitsMatchExplicitLimits) {
    std::mt19937 rng(5);
    bool limit_mattered = false;
    for (int i = 0; i < 6; ++i) {
        bytes o = pairs::random_bytes(rng, 1000, 4);
        bytes n = pairs::mutate(rng, pairs::random_bytes(rng, 2000, 4), 5, 50, 4);
        EXPECT_EQ(run_diff(o, n, 0, 250).delta, run_diff(o, n, 1, 10000).delta);
        EXPECT_EQ(run_diff(o, n, 0, 62).delta, run_diff(o, n, 2, 10000).delta);
        EXPECT_EQ(run_diff(o, n, 0, 1).delta, run_diff(o, n, 3, 10000).delta);
        EXPECT_EQ(run_diff(o, n, 0, -1).delta, run_diff(o, n, 5, 10000).delta);
        limit_mattered |= run_diff(o, n, 0, 10000).delta != run_diff(o, n, 1, 10000).delta;
        bytes so = pairs::random_bytes(rng, 100, 4), sn = pairs::mutate(rng, so, 30, 4, 4);
        EXPECT_EQ(run_diff(so, sn, 0, 64).delta, run_diff(so, sn, 1, 10000).delta);
        EXPECT_EQ(run_diff(so, sn, 0, 16).delta, run_diff(so, sn, 2, 10000).delta);
    }
    EXPECT_TRUE(limit_mattered);
}

TEST(Myers, StorageExhaustionGivesUp) {
    std::mt19937 rng(8);
    bytes o = pairs::random_bytes(rng, 300, 256), n = pairs::random_bytes(rng, 300, 256);
    n[0] = o[0];  // something in common, so a full search would find a delta shape
    EXPECT_EQ(1, run_diff(o, n, 0, 10000, 20).code);
    EXPECT_EQ(1, run_diff(o, n, 0, 10000, INT32_MIN).code);
    bytes near = o;
    near[150] ^= 1;
    EXPECT_EQ(0, run_diff(o, near, 0, 10000, 40).code);  // one iteration suffices
}

struct exec_fixture {
    bytes o, n;
    buf ob, nb;
    edit_script *s;
    coallescing_script cs;
    execution *e;
    exec_fixture(bytes old_v, bytes new_v, int32_t cost_limit = 10000) : o(std::move(old_v)), n(std::move(new_v)) {
        ob = test::view(o);
        nb = test::view(n);
        s = edit_script_create(&ob, &nb);
        cs = coallescing_script{s, 0, 0, 2, 0, 0, true};
        e = execution_create(&ob, &nb, &cs, INT32_MAX, cost_limit);
    }
    ~exec_fixture() {
        execution_free(e);
        edit_script_free(s);
    }
};

TEST(Myers, UnrelatedThreeBytesMeetAtTheCorner) {
    exec_fixture f(of("abc"), of("xyz"));
    ASSERT_TRUE(f.e);
    EXPECT_EQ(10000, f.e->cost_limit);
    EXPECT_EQ(&f.cs, f.e->script);
    EXPECT_TRUE(execution_middlesnake(f.e, 0, 3, 0, 3, 10000));
    // Iteration 3 found the overlap: the storage grew to it and F(-3) = 3.
    EXPECT_EQ(4 * 3 + 7, f.e->storage->last_index);
    EXPECT_EQ(3, storage_key_forward_get(f.e->storage, -3));
    // A delete (no run open yet) and then all three new bytes inserted.
    EXPECT_TRUE(f.cs.single_run);
    EXPECT_EQ(0, f.cs.state);
    EXPECT_EQ(0, f.cs.offset);
    EXPECT_EQ(3, f.cs.run_length);
    execution_free(nullptr);
}

TEST(Myers, QualityFourTrimsOnly) {
    exec_fixture f(of("abcXdef"), of("abcYYdef"));
    EXPECT_TRUE(execution_trim_prefix_and_suffix(f.e, 0, 7, 0, 8));
    EXPECT_EQ(0, coallescing_script_close(&f.cs, 7, 8));
    EXPECT_EQ(hex("00 03 42 59 59 04 03"), test::contents(f.s->out));
    // The search finds the common run inside the middle; trimming sends it.
    bytes o = of("0123456789XabcdefghijklmnopqrstX0123456789");
    bytes n = of("0123456789YabcdefghijklmnopqrstY0123456789");
    result searched = run_diff(o, n, 0);
    result trimmed = run_diff(o, n, 4);
    bytes want = hex("00 0a 56");
    want.insert(want.end(), n.begin() + 10, n.begin() + 32);
    bytes tail = hex("18 20 0a");
    want.insert(want.end(), tail.begin(), tail.end());
    EXPECT_EQ(want, trimmed.delta);
    EXPECT_EQ(hex("00 0a 41 59 0b 14 41 59 18 20 0a"), searched.delta);
}

TEST(Myers, StepFunctionsFromOutside) {
    exec_fixture f(of("the quick brown fox jumps over the lazy dog"),
                   of("the quick brown cat jumps over the lazy dog"));
    // The snake ' jumps...' runs from old 19 to 43 on diagonal 0.
    EXPECT_TRUE(execution_recurse(f.e, 0, 43, 0, 43, 19, 43, 0));
    EXPECT_EQ(0, coallescing_script_close(&f.cs, 43, 43));
    EXPECT_EQ(hex("00 10 43 63 61 74 13 18 18"), test::contents(f.s->out));

    exec_fixture g(of("the quick brown fox jumps over the lazy dog"),
                   of("the quick brown cat jumps over the lazy dog"));
    EXPECT_TRUE(execution_prefix_diff(g.e, 0, 19, 0, 19, 10000));
    EXPECT_TRUE(execution_suffix_diff(g.e, 19, 24, 19, 24, 0, 10000));
    EXPECT_EQ(0, coallescing_script_close(&g.cs, 43, 43));
    EXPECT_EQ(hex("00 10 43 63 61 74 13 18 18"), test::contents(g.s->out));

    exec_fixture h(of("the quick brown fox jumps over the lazy dog"),
                   of("the quick brown cat jumps over the lazy dog"));
    EXPECT_TRUE(execution_diff(h.e, 0, 43, 0, 43, -12345));  // the sixth argument is ignored
    EXPECT_EQ(0, coallescing_script_close(&h.cs, 43, 43));
    EXPECT_EQ(hex("00 10 43 63 61 74 13 18 18"), test::contents(h.s->out));
}

// Out of allowance on a large middle: a quarter of each side is replaced,
// the middle halves are diffed with the full limit.
TEST(Myers, BoundedDiffReplacesOuterQuarters) {
    bytes o(40);
    for (size_t i = 0; i < o.size(); ++i) o[i] = static_cast<uint8_t>('A' + i);
    const int32_t m = 420000;
    bytes n(m, '.');
    std::copy(o.begin() + 10, o.begin() + 30, n.begin() + m / 4);  // old[qN, qN + hN) at new qM
    exec_fixture f(o, n);
    EXPECT_TRUE(execution_bounded_diff(f.e, 0, 40, 0, m, 0, 0, -1));
    EXPECT_EQ(0, coallescing_script_close(&f.cs, 40, m));
    bytes d = test::contents(f.s->out);
    ASSERT_EQ(size_t(5 + 105000 + 2 + 5 + (m - 105020)), d.size());
    EXPECT_EQ(hex("5a 00 01 9a 28"), bytes(d.begin(), d.begin() + 5));
    EXPECT_EQ(hex("0a 14"), bytes(d.begin() + 105005, d.begin() + 105007));
    buf ob = test::view(o), db = test::view(d);
    test::buf_ptr applied(diff_apply_binary(&ob, &db));
    EXPECT_EQ(n, test::contents(applied.get()));
}

TEST(Myers, BailSplitsAtTheFurtherPoint) {
    // Limit -1: the search bails after iteration 1 and splits the ranges.
    exec_fixture f(of("aXbcdefgh"), of("abcdefgYh"), 10000);
    EXPECT_TRUE(execution_middlesnake(f.e, 0, 9, 0, 9, -1));
    EXPECT_EQ(0, coallescing_script_close(&f.cs, 9, 9));
    buf ob = test::view(f.o);
    bytes d = test::contents(f.s->out);
    buf db = test::view(d);
    test::buf_ptr applied(diff_apply_binary(&ob, &db));
    EXPECT_EQ(f.n, test::contents(applied.get()));
}

}  // namespace
