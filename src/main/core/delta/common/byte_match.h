/* Length of the common prefix or suffix of two byte ranges, a word or 32
   bytes at a time: the one byte matcher of the delta engine (the searches' snakes,
   trimming, and the indexed generator's matches). The result equals a
   byte-by-byte comparison. */
#ifndef KESTRAVA_DELTA_BYTE_MATCH_H
#define KESTRAVA_DELTA_BYTE_MATCH_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

namespace kestrava_bytes {

inline uint64_t load8(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

// Index of the first differing byte of two words loaded from memory, given
// their XOR (not zero), counted in memory order from the low address...
inline size_t first_difference(uint64_t x) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return static_cast<size_t>(__builtin_clzll(x)) >> 3;
#else
    return static_cast<size_t>(__builtin_ctzll(x)) >> 3;
#endif
}

// ... and from the high address down.
inline size_t last_difference(uint64_t x) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return static_cast<size_t>(__builtin_ctzll(x)) >> 3;
#else
    return static_cast<size_t>(__builtin_clzll(x)) >> 3;
#endif
}

// Whether the 32 bytes at p and q differ anywhere.
inline bool block_differs(const uint8_t *p, const uint8_t *q) {
    return ((load8(p) ^ load8(q)) | (load8(p + 8) ^ load8(q + 8)) | (load8(p + 16) ^ load8(q + 16)) |
            (load8(p + 24) ^ load8(q + 24))) != 0;
}

// Number of equal bytes at p[0..] and q[0..], at most limit. Past a first
// equal word the comparison goes 32 bytes at a time: the searches' snakes
// mostly end within a word, while trimming compares long runs.
inline size_t common_prefix(const uint8_t *p, const uint8_t *q, size_t limit) {
    size_t i = 0;
    if (limit >= 8) {
        const uint64_t x = load8(p) ^ load8(q);
        if (x) return first_difference(x);
        i = 8;
        while (limit - i >= 32 && !block_differs(p + i, q + i)) i += 32;
    }
    while (limit - i >= 8) {
        const uint64_t x = load8(p + i) ^ load8(q + i);
        if (x) return i + first_difference(x);
        i += 8;
    }
    while (i < limit && p[i] == q[i]) ++i;
    return i;
}

// Number of equal bytes just before p_end and q_end, at most limit.
inline size_t common_suffix(const uint8_t *p_end, const uint8_t *q_end, size_t limit) {
    size_t i = 0;
    if (limit >= 8) {
        const uint64_t x = load8(p_end - 8) ^ load8(q_end - 8);
        if (x) return last_difference(x);
        i = 8;
        while (limit - i >= 32 && !block_differs(p_end - i - 32, q_end - i - 32)) i += 32;
    }
    while (limit - i >= 8) {
        const uint64_t x = load8(p_end - i - 8) ^ load8(q_end - i - 8);
        if (x) return i + last_difference(x);
        i += 8;
    }
    while (i < limit && p_end[-1 - static_cast<ptrdiff_t>(i)] == q_end[-1 - static_cast<ptrdiff_t>(i)]) ++i;
    return i;
}

}  // namespace kestrava_bytes

#endif
