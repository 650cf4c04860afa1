#include "core/delta/myers/bits.h"

extern "C" {

int32_t number_of_leading_zeroes_long(uint64_t v) {
    if (v == 0) return 64;
    return __builtin_clzll(v);
}

int32_t number_of_leading_zeroes_int(int32_t v) {
    if (v == 0) return 32;
    return __builtin_clz(static_cast<uint32_t>(v));
}

int32_t highest_bit_long(uint64_t v) { return 64 - number_of_leading_zeroes_long(v); }

int32_t highest_bit_int(int32_t v) { return 32 - number_of_leading_zeroes_int(v); }

int32_t find_next_power_of_two_int(int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    if (u > (UINT32_C(1) << 30)) return -1;
    // For 0 and 1 the bit length of v - 1 is 32 or 0; both give 1.
    int32_t bits = highest_bit_int(static_cast<int32_t>(u - 1));
    return bits >= 32 ? 1 : static_cast<int32_t>(UINT32_C(1) << bits);
}

int64_t find_next_power_of_two_long(int64_t v) {
    uint64_t u = static_cast<uint64_t>(v);
    if (u > (UINT64_C(1) << 62)) return -1;
    int32_t bits = highest_bit_long(u - 1);
    return bits >= 64 ? 1 : static_cast<int64_t>(UINT64_C(1) << bits);
}

int64_t approx_cube_root(int64_t v) {
    if (v == 0) return 0;
    return static_cast<int64_t>(UINT64_C(1) << (highest_bit_long(static_cast<uint64_t>(v)) / 3));
}

}  // extern "C"
