// Property tests over many value pairs: every delta rebuilds the new value,
// is never longer than the replacement delta, and an edit-script delta is
// strictly shorter than the new value.
#include <gtest/gtest.h>
#include <pthread.h>

#include <climits>
#include <cstring>
#include <functional>
#include <random>

#include "core/delta/delta_apply.h"
#include "core/delta/delta_generate.h"
#include "core/delta/myers/task_list.h"
#include "core/delta/script/item_codec.h"
#include "pair_gen.h"
#include "test_util.h"

namespace {

using pairs::bytes;

// Checks one delta for (o, n); returns false (with a test failure) if any
// property is broken. Only the driver's results promise the size rules.
bool check_delta(const bytes &o, const bytes &n, const buf *d, const char *what, bool from_driver = true) {
    if (!d) {
        ADD_FAILURE() << what << ": no delta for sizes " << o.size() << "/" << n.size();
        return false;
    }
    bytes delta = test::contents(d);
    if (delta == bytes{0xf6}) {
        EXPECT_TRUE(o == n && n.size() >= 2) << what << " sizes " << o.size() << "/" << n.size();
        return o == n && n.size() >= 2;
    }
    bool replacement = delta.size() == n.size() + kestrava_items::head_size(n.size()) &&
                       std::equal(n.begin(), n.end(), delta.end() - static_cast<ptrdiff_t>(n.size()));
    bool ok = !from_driver || replacement || delta.size() < n.size();
    EXPECT_TRUE(ok) << what << ": delta of " << delta.size() << " bytes for a new value of " << n.size();
    buf ob = test::view(o);
    test::buf_ptr back(diff_apply_binary(&ob, d));
    bool same = back && test::contents(back.get()) == n;
    EXPECT_TRUE(same) << what << ": round trip failed for sizes " << o.size() << "/" << n.size();
    return ok && same;
}

TEST(DeltaRoundTrip, ThousandsOfPairs) {
    std::mt19937 rng(4242);
    int edit_scripts = 0, unchanged = 0, replacements = 0;
    for (int i = 0; i < 3000; ++i) {
        bytes o, n;
        pairs::make_pair(rng, (i % 10 == 0 ? 5000 : 1500) / pairs::kScale, o, n);
        buf ob = test::view(o), nb = test::view(n);
        test::buf_ptr d(diff_generate_binary(&ob, &nb));
        if (!check_delta(o, n, d.get(), "default")) return;
        if (d->len == 1 && d->data[0] == 0xf6)
            ++unchanged;
        else if (d->len < n.size())
            ++edit_scripts;
        else
            ++replacements;
    }
    // The population covers all three shapes.
    EXPECT_GT(edit_scripts, 1000);
    EXPECT_GT(unchanged, 50);
    EXPECT_GT(replacements, 50);
}

TEST(DeltaRoundTrip, EveryQualityAndSmallLimits) {
    std::mt19937 rng(777);
    const int32_t costs[] = {10000, 100, 8, 1, 0, -1};
    const int32_t storages[] = {INT32_MAX, 1000, 60};
    for (int i = 0; i < 600; ++i) {
        bytes o, n;
        pairs::make_pair(rng, 3000 / pairs::kScale, o, n);
        buf ob = test::view(o), nb = test::view(n);
        test::buf_ptr d(diff_generate_binary_ex(&ob, &nb, storages[i % 3], costs[(i / 3) % 6]));
        if (!check_delta(o, n, d.get(), "limits")) return;
        uint32_t quality = static_cast<uint32_t>(i % 7);
        edit_script *s = edit_script_create(&ob, &nb);
        int32_t r = myers_binary_diff(&ob, 0, int32_t(o.size()), &nb, 0, int32_t(n.size()), s, INT32_MAX, 10000,
                                      quality);
        if (r == 0) {
            if (!check_delta(o, n, s->out, "quality", false)) {
                edit_script_free(s);
                return;
            }
        } else {
            EXPECT_TRUE(r == 1 || (r == 2 && o == n)) << r;
        }
        edit_script_free(s);
    }
}

TEST(DeltaRoundTrip, LargeValues) {
    std::mt19937 rng(99);
    const size_t mb = (1u << 20) / pairs::kScale;
    bytes big = pairs::random_bytes(rng, 4 * mb, 256);
    std::vector<std::pair<bytes, bytes>> cases;
    cases.emplace_back(big, pairs::mutate(rng, big, 400, 8, 256));  // scattered small edits
    bytes moved(big.begin(), big.begin() + mb);                      // a 256 KB block moved
    moved.insert(moved.end(), big.begin() + mb + mb / 4, big.begin() + 2 * mb);
    moved.insert(moved.end(), big.begin() + mb, big.begin() + mb + mb / 4);
    cases.emplace_back(bytes(big.begin(), big.begin() + 2 * mb), moved);
    cases.emplace_back(pairs::random_bytes(rng, mb / 2, 256), pairs::random_bytes(rng, mb / 2, 256));
    bytes pattern(2 * mb);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>("kestrel"[i % 7]);
    cases.emplace_back(pattern, bytes(pattern.begin() + 3, pattern.end()));
    for (auto &c : cases) {
        buf ob = test::view(c.first), nb = test::view(c.second);
        test::buf_ptr d(diff_generate_binary(&ob, &nb));
        check_delta(c.first, c.second, d.get(), "large");
    }
}

// Runs `body` on a thread with a small stack.
void on_small_stack(size_t stack_bytes, const std::function<void()> &body) {
    pthread_attr_t attr;
    ASSERT_EQ(0, pthread_attr_init(&attr));
    ASSERT_EQ(0, pthread_attr_setstacksize(&attr, stack_bytes));
    pthread_t thread;
    auto trampoline = [](void *arg) -> void * {
        (*static_cast<const std::function<void()> *>(arg))();
        return nullptr;
    };
    ASSERT_EQ(0, pthread_create(&thread, &attr, trampoline, const_cast<std::function<void()> *>(&body)));
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

// Unrelated values make the chain of cuts nest hundreds of searches deep;
// the search keeps its pending work off the native stack, so a small thread
// stack suffices where nested calls would need far more.
TEST(DeltaRoundTrip, DeepCutChainsOnASmallStack) {
    std::mt19937 rng(31337);
    bytes o = pairs::random_bytes(rng, 256 * 1024 / pairs::kScale, 256);
    bytes n = pairs::random_bytes(rng, 256 * 1024 / pairs::kScale, 256);
    bytes near = o;
    for (size_t i = 0; i < near.size(); i += 4096) near[i] ^= 0x5a;
    kestrava_myers::work_stats stats{};
    test::buf_ptr unrelated, close;
    on_small_stack(pairs::kScale > 1 ? 256 * 1024 : 64 * 1024, [&] {
        buf ob = test::view(o), nb = test::view(n), cb = test::view(near);
        edit_script *s = edit_script_create(&ob, &nb);
        kestrava_myers::binary_diff(&ob, 0, int32_t(o.size()), &nb, 0, int32_t(n.size()), s, INT32_MAX, 10000, 0,
                                    &stats);
        edit_script_free(s);
        unrelated.reset(diff_generate_binary(&ob, &nb));
        close.reset(diff_generate_binary(&ob, &cb));
    });
    EXPECT_GT(stats.peak_level, 100);
    check_delta(o, n, unrelated.get(), "unrelated");
    check_delta(o, near, close.get(), "near");
}

}  // namespace
