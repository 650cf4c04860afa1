/* Length of the common prefix or suffix of two byte ranges, eight bytes
   at a time: the one byte matcher of the delta engine (the searches' snakes,
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

// Number of equal bytes at p[0..] and q[0..], at most limit.
inline size_t common_prefix(const uint8_t *p, const uint8_t *q, size_t limit) {
    size_t i = 0;
    while (limit - i >= 8) {
        uint64_t x = load8(p + i) ^ load8(q + i);
        if (x) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
            return i + (static_cast<size_t>(__builtin_clzll(x)) >> 3);
#else
            return i + (static_cast<size_t>(__builtin_ctzll(x)) >> 3);
#endif
        }
        i += 8;
    }
    while (i < limit && p[i] == q[i]) ++i;
    return i;
}

// Number of equal bytes just before p_end and q_end, at most limit.
inline size_t common_suffix(const uint8_t *p_end, const uint8_t *q_end, size_t limit) {
    size_t i = 0;
    while (limit - i >= 8) {
        uint64_t x = load8(p_end - i - 8) ^ load8(q_end - i - 8);
        if (x) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
            return i + (static_cast<size_t>(__builtin_ctzll(x)) >> 3);
#else
            return i + (static_cast<size_t>(__builtin_clzll(x)) >> 3);
#endif
        }
        i += 8;
    }
    while (i < limit && p_end[-1 - static_cast<ptrdiff_t>(i)] == q_end[-1 - static_cast<ptrdiff_t>(i)]) ++i;
    return i;
}

}  // namespace kestrava_bytes

#endif
