#include <gtest/gtest.h>

#include <climits>
#include <memory>

#include "core/delta/myers/storage.h"

namespace {

struct storage_deleter {
    void operator()(storage *s) const { storage_free(s); }
};
using storage_ptr = std::unique_ptr<storage, storage_deleter>;

TEST(Storage, Keys) {
    EXPECT_EQ(0, storage_key_forward(0));
    EXPECT_EQ(4, storage_key_forward(1));
    EXPECT_EQ(3, storage_key_forward(-1));
    EXPECT_EQ(7, storage_key_forward(-2));
    EXPECT_EQ(2, storage_key_reverse(0));
    EXPECT_EQ(6, storage_key_reverse(1));
    EXPECT_EQ(5, storage_key_reverse(-1));
}

TEST(Storage, CreationFillsDiagonalsUpToThree) {
    storage_ptr s(storage_create(1000));
    ASSERT_TRUE(s && s->entries);
    EXPECT_EQ(11, s->last_index);
    EXPECT_EQ(11, s->capacity);
    EXPECT_EQ(1000, s->limit);
    for (int32_t k = -3; k <= 3; ++k) {
        if (k != 0) {
            EXPECT_EQ(-1, storage_key_forward_get(s.get(), k)) << k;
            EXPECT_EQ(INT32_MAX, storage_key_reverse_get(s.get(), k)) << k;
        }
    }
    // Reverse value of diagonal -3 sits at index 13, forward of -4 at 15.
    EXPECT_EQ(INT32_MAX, s->entries[14]);
}

TEST(Storage, MaxIteration) {
    const int32_t limits[] = {2147483647, 100, 3, 0, -5, INT32_MIN};
    const int32_t want[] = {536870911, 24, 0, 0, -2, -536870912};
    for (int i = 0; i < 6; ++i) {
        storage_ptr s(storage_create(limits[i]));
        ASSERT_TRUE(s);
        EXPECT_EQ(want[i], s->max_d) << limits[i];
    }
}

TEST(Storage, ExtendFillsOnlyNewGroupsAndExhausts) {
    storage_ptr s(storage_create(100));
    ASSERT_TRUE(s);
    storage_key_forward_set(s.get(), 2, 42);
    storage_key_reverse_set(s.get(), -2, 7);
    for (int32_t d = 2; d <= 24; ++d) {
        ASSERT_EQ(1, storage_extend(s.get(), d)) << d;
        EXPECT_EQ(4 * d + 7, s->last_index);
        EXPECT_EQ(4 * d + 7, s->capacity);
        EXPECT_EQ(-1, storage_key_forward_get(s.get(), -(d + 2)));
        EXPECT_EQ(INT32_MAX, storage_key_reverse_get(s.get(), d + 2));
    }
    EXPECT_EQ(42, storage_key_forward_get(s.get(), 2));
    EXPECT_EQ(7, storage_key_reverse_get(s.get(), -2));
    EXPECT_EQ(0, storage_extend(s.get(), 25));
    EXPECT_EQ(nullptr, s->entries);
}

TEST(Storage, ReinitialisingKeepsSizeAndRefills) {
    storage_ptr s(storage_create(INT32_MAX));
    ASSERT_TRUE(s);
    for (int32_t d = 2; d <= 10; ++d) ASSERT_EQ(1, storage_extend(s.get(), d));
    storage_key_forward_set(s.get(), 1, 9);
    storage_key_forward_set(s.get(), 8, 9);
    storage_initialise(s.get(), 1);
    EXPECT_EQ(11, s->last_index);
    EXPECT_EQ(47, s->capacity);
    EXPECT_EQ(-1, storage_key_forward_get(s.get(), 1));
    EXPECT_EQ(9, storage_key_forward_get(s.get(), 8));  // beyond the reach of iteration 1
    ASSERT_EQ(1, storage_extend(s.get(), 2));
    ASSERT_EQ(1, storage_extend(s.get(), 3));
    ASSERT_EQ(1, storage_extend(s.get(), 4));
    ASSERT_EQ(1, storage_extend(s.get(), 5));
    ASSERT_EQ(1, storage_extend(s.get(), 6));
    EXPECT_EQ(-1, storage_key_forward_get(s.get(), 8));  // refilled as the search grows again
}

TEST(Storage, GrowthBeyondThirtyTwoBitsIsExhaustion) {
    storage_ptr s(storage_create(INT32_MAX));
    ASSERT_TRUE(s);
    EXPECT_EQ(536870911, s->max_d);
    // 4 * 536870911 + 7 does not fit a signed 32-bit entry count.
    EXPECT_EQ(0, storage_extend(s.get(), 536870911));
    EXPECT_EQ(nullptr, s->entries);
}

TEST(Storage, NextStartingPoints) {
    storage_ptr s(storage_create(100));
    ASSERT_TRUE(s);
    storage_key_forward_set(s.get(), 2, 5);
    storage_key_forward_set(s.get(), 0, 5);
    EXPECT_EQ(6, storage_key_forward_get_next(s.get(), 1));  // tie: step from k + 1
    storage_key_forward_set(s.get(), 2, -1);
    storage_key_forward_set(s.get(), 0, 4);
    EXPECT_EQ(4, storage_key_forward_get_next(s.get(), 1));
    storage_key_forward_set(s.get(), 2, 7);
    EXPECT_EQ(8, storage_key_forward_get_next(s.get(), 1));

    storage_key_reverse_set(s.get(), 1, 5);
    storage_key_reverse_set(s.get(), -1, 5);
    EXPECT_EQ(4, storage_key_reverse_get_next(s.get(), 0));  // tie: step from k - 1
    storage_key_reverse_set(s.get(), 1, 3);
    storage_key_reverse_set(s.get(), -1, INT32_MAX);
    EXPECT_EQ(3, storage_key_reverse_get_next(s.get(), 0));
    storage_key_reverse_set(s.get(), 1, 6);
    storage_key_reverse_set(s.get(), -1, 4);
    EXPECT_EQ(3, storage_key_reverse_get_next(s.get(), 0));
}

TEST(Storage, FreeAcceptsNullAndExhaustedRecords) {
    storage_free(nullptr);
    storage *s = storage_create(3);
    ASSERT_TRUE(s);
    EXPECT_EQ(1, storage_extend(s, 0));
    EXPECT_EQ(0, storage_extend(s, 1));
    storage_free(s);
}

}  // namespace
