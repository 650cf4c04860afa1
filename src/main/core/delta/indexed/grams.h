/* Internal to the indexed delta generator's second pass: the 6-byte grams
   both of its forms hash, and how far they scan and match. */
#ifndef KESTRAVA_INDEXED_GRAMS_H
#define KESTRAVA_INDEXED_GRAMS_H

#include <stdint.h>

#include "core/delta/common/byte_match.h"

namespace kestrava_indexed {

constexpr uint32_t kGram = 6;
// The old value is scanned at every kScanStep-th position: matches of
// kGram + kScanStep - 1 bytes and more are all found.
constexpr uint32_t kScanStep = 4;
// Longest match recorded per position (one CBOR head byte more beyond).
constexpr uint32_t kMaxMatch = 255;
constexpr uint64_t kMix = 0x9E3779B97F4A7C15ull;

// The little-endian value of the 8 bytes at p: the same on every platform.
inline uint64_t gram8(const uint8_t *p) {
    uint64_t v = kestrava_bytes::load8(p);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

// The little-endian value of the gram at p, `avail` (at least kGram) bytes
// being readable from p.
inline uint64_t gram(const uint8_t *p, uint64_t avail) {
    if (avail >= 8) return gram8(p) & 0xFFFFFFFFFFFFull;
    uint64_t v = 0;
    for (uint32_t k = 0; k < kGram; ++k) v |= static_cast<uint64_t>(p[k]) << (8 * k);
    return v;
}

}  // namespace kestrava_indexed

#endif
