#include <gtest/gtest.h>

#include "core/delta/myers/bits.h"

namespace {

TEST(Bits, LeadingZeroesAndBitLength) {
    EXPECT_EQ(32, number_of_leading_zeroes_int(0));
    EXPECT_EQ(31, number_of_leading_zeroes_int(1));
    EXPECT_EQ(0, number_of_leading_zeroes_int(-1));
    EXPECT_EQ(1, number_of_leading_zeroes_int(INT32_MAX));
    EXPECT_EQ(64, number_of_leading_zeroes_long(0));
    EXPECT_EQ(63, number_of_leading_zeroes_long(1));
    EXPECT_EQ(0, number_of_leading_zeroes_long(UINT64_MAX));
    EXPECT_EQ(0, highest_bit_int(0));
    EXPECT_EQ(1, highest_bit_int(1));
    EXPECT_EQ(2, highest_bit_int(3));
    EXPECT_EQ(3, highest_bit_int(4));
    EXPECT_EQ(32, highest_bit_int(-7));
    EXPECT_EQ(41, highest_bit_long(UINT64_C(1) << 40));
}

TEST(Bits, NextPowerOfTwo) {
    EXPECT_EQ(1, find_next_power_of_two_int(0));
    EXPECT_EQ(1, find_next_power_of_two_int(1));
    EXPECT_EQ(2, find_next_power_of_two_int(2));
    EXPECT_EQ(4, find_next_power_of_two_int(3));
    EXPECT_EQ(8, find_next_power_of_two_int(5));
    EXPECT_EQ(1073741824, find_next_power_of_two_int(1073741824));
    EXPECT_EQ(-1, find_next_power_of_two_int(1073741825));
    EXPECT_EQ(-1, find_next_power_of_two_int(-3));
    EXPECT_EQ(1, find_next_power_of_two_long(0));
    EXPECT_EQ(1, find_next_power_of_two_long(1));
    EXPECT_EQ(4, find_next_power_of_two_long(3));
    EXPECT_EQ(64, find_next_power_of_two_long(48));
    EXPECT_EQ(INT64_C(1) << 41, find_next_power_of_two_long((INT64_C(1) << 40) + 1));
    EXPECT_EQ(INT64_C(1) << 62, find_next_power_of_two_long(INT64_C(1) << 62));
    EXPECT_EQ(-1, find_next_power_of_two_long((INT64_C(1) << 62) + 1));
    EXPECT_EQ(-1, find_next_power_of_two_long(-1));
}

TEST(Bits, CubeRootEstimate) {
    EXPECT_EQ(0, approx_cube_root(0));
    EXPECT_EQ(1, approx_cube_root(1));
    EXPECT_EQ(2, approx_cube_root(7));
    EXPECT_EQ(2, approx_cube_root(8));
    EXPECT_EQ(4, approx_cube_root(64));
    EXPECT_EQ(8, approx_cube_root(1000));
    EXPECT_EQ(INT64_C(1) << 21, approx_cube_root(INT64_C(1) << 62));
    EXPECT_EQ(INT64_C(1) << 21, approx_cube_root(-5));
}

}  // namespace
