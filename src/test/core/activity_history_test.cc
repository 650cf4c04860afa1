#include <gtest/gtest.h>

#include <memory>

#include "core/delta/activity_history.h"

namespace {

struct history_deleter {
    void operator()(activity_history *h) const { kestrava_activity_history_free(h); }
};
using history_ptr = std::unique_ptr<activity_history, history_deleter>;

uint64_t slot(const activity_history *h, uint64_t n) { return h->slots[n & uint32_t(h->slot_mask)]; }

TEST(ActivityHistory, CreationRoundsToPowersOfTwo) {
    history_ptr h(kestrava_activity_history_create(5, 48));
    ASSERT_TRUE(h);
    EXPECT_EQ(8u, h->slot_count);
    EXPECT_EQ(64u, h->slot_length);
    EXPECT_EQ(6, h->slot_shift);
    EXPECT_EQ(7, h->slot_mask);
    EXPECT_EQ(1, h->scale_shift);
    EXPECT_EQ(0, h->last_delta_quality);
    EXPECT_EQ(0u, h->busy_total);
    for (uint64_t i = 0; i < 8; ++i) EXPECT_EQ(0u, h->slots[i]);
    EXPECT_EQ(0, kestrava_activity_history_get_last_delta_quality(h.get()));
    EXPECT_EQ(-1, kestrava_activity_history_get_last_delta_quality(nullptr));
    kestrava_activity_history_free(nullptr);
}

TEST(ActivityHistory, RejectsRingsAndWindowsItCannotMeasure) {
    // No power of two for the slot count.
    EXPECT_EQ(nullptr, kestrava_activity_history_create(-1, 64));
    EXPECT_EQ(nullptr, kestrava_activity_history_create((1 << 30) + 1, 64));
    // No power of two for the slot length.
    EXPECT_EQ(nullptr, kestrava_activity_history_create(8, -1));
    // Window below 256 ms: negative scale shift.
    EXPECT_EQ(nullptr, kestrava_activity_history_create(2, 64));
    // 4 x 64 ms = 256 ms is the smallest window (shift 0).
    history_ptr smallest(kestrava_activity_history_create(4, 64));
    ASSERT_TRUE(smallest);
    EXPECT_EQ(0, smallest->scale_shift);
    // 2^31 ms x 2^8 slots: shift 31 still works, one step more does not.
    history_ptr largest(kestrava_activity_history_create(256, INT64_C(1) << 31));
    ASSERT_TRUE(largest);
    EXPECT_EQ(31, largest->scale_shift);
    EXPECT_EQ(nullptr, kestrava_activity_history_create(512, INT64_C(1) << 31));
}

TEST(ActivityHistory, TimelineWithExplicitTimes) {
    history_ptr h(kestrava_activity_history_create(5, 48));
    ASSERT_TRUE(h);
    _activity_history_start(h.get(), 1000);
    EXPECT_EQ(15u, h->current_slot);
    _activity_history_stop(h.get(), 1030);
    EXPECT_EQ(30u, slot(h.get(), 15));
    EXPECT_EQ(30u, h->busy_total);
    EXPECT_EQ(0, kestrava_activity_history_utilisation(h.get()));

    _activity_history_start(h.get(), 1100);
    EXPECT_EQ(17u, h->current_slot);
    EXPECT_EQ(15, kestrava_activity_history_utilisation(h.get()));

    _activity_history_stop(h.get(), 1300);
    for (uint64_t n = 17; n <= 20; ++n) EXPECT_EQ(64u, slot(h.get(), n)) << n;
    EXPECT_EQ(286u, h->busy_total);

    _activity_history_start(h.get(), 1310);
    EXPECT_EQ(94u, h->busy_total);
    EXPECT_EQ(0u, slot(h.get(), 18));
    EXPECT_EQ(0u, slot(h.get(), 20));
    EXPECT_EQ(47, kestrava_activity_history_utilisation(h.get()));
}

TEST(ActivityHistory, StartClearsAtMostOneRing) {
    history_ptr h(kestrava_activity_history_create(8, 64));
    ASSERT_TRUE(h);
    _activity_history_start(h.get(), 64 * 100);
    _activity_history_stop(h.get(), 64 * 100 + 50);
    EXPECT_EQ(50u, h->busy_total);
    // Far in the future: the whole ring is emptied, nothing else happens.
    _activity_history_start(h.get(), 64 * 1000000);
    EXPECT_EQ(0u, h->busy_total);
    EXPECT_EQ(1000000u, h->current_slot);
}

TEST(ActivityHistory, ClockRunningBackwards) {
    history_ptr h(kestrava_activity_history_create(8, 64));
    ASSERT_TRUE(h);
    _activity_history_start(h.get(), 64 * 40);
    _activity_history_stop(h.get(), 64 * 40 + 10);
    // An earlier slot clears nothing and moves the current slot back.
    _activity_history_start(h.get(), 64 * 35);
    EXPECT_EQ(35u, h->current_slot);
    EXPECT_EQ(10u, h->busy_total);
    // A stop before its start wraps the elapsed time and records nothing.
    _activity_history_stop(h.get(), 64 * 35 - 5);
    EXPECT_EQ(10u, h->busy_total);
}

TEST(ActivityHistory, EarlyTimesWrapAndRecordNothing) {
    history_ptr h(kestrava_activity_history_create(8, 64));
    ASSERT_TRUE(h);
    _activity_history_start(h.get(), 0);
    EXPECT_EQ(0u, h->current_slot);
    _activity_history_stop(h.get(), 200);
    EXPECT_EQ(0u, h->busy_total);
}

TEST(ActivityHistory, WallClockStartStop) {
    history_ptr h(kestrava_activity_history_create(64, 1024));
    ASSERT_TRUE(h);
    kestrava_activity_history_start(h.get());
    EXPECT_GT(h->start_time, UINT64_C(1600000000000));  // milliseconds since the epoch
    kestrava_activity_history_stop(h.get());
    EXPECT_LT(h->busy_total, 1024u);
}

}  // namespace
