/* Internal to the indexed delta generator: an index of the old value's
   16-byte windows at sampled positions, looked up with a rolling hash of the
   new value, and the byte matcher at the generator's 32-bit widths.

   Everything here is computed in 32-bit unsigned arithmetic from the bytes
   alone, so the same values give the same index (and the same delta) on
   every platform, 32-bit included. */
#ifndef KESTRAVA_OLD_INDEX_H
#define KESTRAVA_OLD_INDEX_H

#include <stdint.h>

#include "core/delta/common/byte_match.h"

namespace kestrava_indexed {

// Bytes hashed per window.
constexpr uint32_t kWindow = 16;
// Entries kept per bucket; a full bucket keeps its first (lowest) positions.
constexpr uint32_t kSlots = 4;

using kestrava_bytes::load8;

// Equal bytes at p[0..] and q[0..], and just before p_end and q_end; at most limit.
inline uint32_t match_forward(const uint8_t *p, const uint8_t *q, uint32_t limit) {
    return static_cast<uint32_t>(kestrava_bytes::common_prefix(p, q, limit));
}
inline uint32_t match_backward(const uint8_t *p_end, const uint8_t *q_end, uint32_t limit) {
    return static_cast<uint32_t>(kestrava_bytes::common_suffix(p_end, q_end, limit));
}

// Polynomial hash of a window, modulo 2^32, rolled one byte at a time.
constexpr uint32_t kBase = 0x01000193u;

// The sum over 8 bytes of byte * kBase^(7 - position), in two independent
// halves: the same value as Horner's rule, computed faster.
inline uint32_t half_hash(const uint8_t *p) {
    uint32_t q[2];
    for (uint32_t k = 0; k < 2; ++k) {
        const uint8_t *b = p + 4 * k;
        q[k] = ((b[0] * kBase + b[1]) * kBase + b[2]) * kBase + b[3];
    }
    return q[0] * (kBase * kBase * kBase * kBase) + q[1];
}

// kBase^8: a window's hash is its first half's times this plus its second's.
constexpr uint32_t kHalfWeight = kBase * kBase * kBase * kBase * kBase * kBase * kBase * kBase;

// The sum over the window's bytes of byte * kBase^(15 - position).
inline uint32_t window_hash(const uint8_t *p) {
    static_assert(kWindow == 16, "two halves of eight bytes");
    return half_hash(p) * kHalfWeight + half_hash(p + 8);
}

// kBase^(kWindow - 1): the weight of the byte that leaves the window.
inline uint32_t leaving_weight() {
    uint32_t w = 1;
    for (uint32_t k = 1; k < kWindow; ++k) w *= kBase;
    return w;
}

inline uint32_t roll(uint32_t h, uint8_t out, uint8_t in, uint32_t out_weight) {
    return (h - out * out_weight) * kBase + in;
}

// The index: 2^bucket_bits buckets of kSlots entries. An entry is 0 (free)
// or (tag << idx_bits) | (window number + 1); window w starts at w * stride.
struct old_index {
    uint32_t *slots;
    uint32_t bucket_bits;
    uint32_t idx_bits;
    uint32_t stride;
    uint32_t windows;
};

inline uint32_t bucket_of(const old_index &ix, uint32_t h) {
    uint32_t m = (h ^ (h >> 15)) * 0x9E3779B1u;
    return ix.bucket_bits == 0 ? 0 : m >> (32 - ix.bucket_bits);
}

// The entry bits above the window number: other hash bits than the bucket's.
inline uint32_t tag_of(const old_index &ix, uint32_t h) {
    uint32_t t = (h ^ (h >> 13)) * 0x85EBCA77u;
    return ix.idx_bits >= 32 ? 0 : (t >> ix.idx_bits) << ix.idx_bits;
}

inline uint32_t idx_mask(const old_index &ix) {
    return ix.idx_bits >= 32 ? 0xFFFFFFFFu : (1u << ix.idx_bits) - 1u;
}

// Bytes the index of an old value of old_len bytes takes (at most old_len).
uint64_t old_index_size(uint32_t old_len);

// Builds the index of old[0, old_len). False when memory runs out.
bool old_index_build(old_index &ix, const uint8_t *old_v, uint32_t old_len);

void old_index_free(old_index &ix);

}  // namespace kestrava_indexed

#endif
