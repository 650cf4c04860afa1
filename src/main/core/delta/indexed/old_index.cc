// The index of the old value's sampled windows.
#include "core/delta/indexed/old_index.h"

#include <stdlib.h>

namespace kestrava_indexed {
namespace {

// Windows are sampled every 8 bytes up to 1 MiB of old value, every 16 above;
// a match is then found whenever it holds a sampled window entirely.
uint32_t stride_for(uint32_t old_len) { return old_len <= (1u << 20) ? 8 : 16; }

uint32_t window_count(uint32_t old_len, uint32_t stride) {
    return old_len < kWindow ? 0 : (old_len - kWindow) / stride + 1;
}

// Largest power of two at most half the number of windows (at least 1): on
// average 2 to 4 windows per bucket of 4 entries.
uint32_t bucket_bits_for(uint32_t windows) {
    uint32_t half = windows / 2, bits = 0;
    while (bits < 31 && (2u << bits) <= half) ++bits;
    return bits;
}

uint32_t bits_to_hold(uint32_t v) {
    uint32_t bits = 0;
    while (bits < 32 && (v >> bits) != 0) ++bits;
    return bits;
}

}  // namespace

uint64_t old_index_size(uint32_t old_len) {
    uint32_t windows = window_count(old_len, stride_for(old_len));
    if (windows == 0) return 0;
    return (static_cast<uint64_t>(1) << bucket_bits_for(windows)) * kSlots * sizeof(uint32_t);
}

bool old_index_build(old_index &ix, const uint8_t *old_v, uint32_t old_len) {
    ix.stride = stride_for(old_len);
    ix.windows = window_count(old_len, ix.stride);
    ix.bucket_bits = bucket_bits_for(ix.windows);
    ix.idx_bits = bits_to_hold(ix.windows);
    ix.slots = nullptr;
    if (ix.windows == 0) return true;
    uint64_t bytes = old_index_size(old_len);
    if (bytes > SIZE_MAX) return false;
    ix.slots = static_cast<uint32_t *>(calloc(static_cast<size_t>(bytes), 1));
    if (!ix.slots) return false;

    // Hashes are computed a batch ahead so that the buckets they fall in are
    // fetched while the batch before is inserted. Entries only ever fill a
    // bucket from its start, so its first free slot is its count of used
    // ones.
    constexpr uint32_t kBatch = 16;
    uint32_t buckets[2][kBatch], tags[2][kBatch];
    // Windows sampled every 8 bytes overlap by half: each half is hashed
    // once, for the window it ends and the one it starts.
    const bool halves = ix.stride == kWindow / 2;
    auto hash_batch = [&](uint32_t w0, uint32_t *bk, uint32_t *tg) {
        const uint32_t count = ix.windows - w0 < kBatch ? ix.windows - w0 : kBatch;
        const uint8_t *at = old_v + static_cast<uint64_t>(w0) * ix.stride;
        uint32_t first = halves ? half_hash(at) : 0;
        for (uint32_t j = 0; j < count; ++j, at += ix.stride) {
            uint32_t h;
            if (halves) {
                const uint32_t second = half_hash(at + kWindow / 2);
                h = first * kHalfWeight + second;
                first = second;
            } else {
                h = window_hash(at);
            }
            bk[j] = bucket_of(ix, h);
            tg[j] = tag_of(ix, h);
            __builtin_prefetch(ix.slots + static_cast<uint64_t>(bk[j]) * kSlots, 1);
        }
    };
    hash_batch(0, buckets[0], tags[0]);
    for (uint32_t w0 = 0, cur = 0; w0 < ix.windows; w0 += kBatch, cur ^= 1) {
        if (ix.windows - w0 > kBatch) hash_batch(w0 + kBatch, buckets[cur ^ 1], tags[cur ^ 1]);
        const uint32_t count = ix.windows - w0 < kBatch ? ix.windows - w0 : kBatch;
        for (uint32_t j = 0; j < count; ++j) {
            uint32_t *b = ix.slots + static_cast<uint64_t>(buckets[cur][j]) * kSlots;
            static_assert(kSlots == 4, "four slots counted");
            const uint32_t used = (b[0] != 0) + (b[1] != 0) + (b[2] != 0) + (b[3] != 0);
            if (used < kSlots) b[used] = tags[cur][j] | (w0 + j + 1);
        }
    }
    return true;
}

void old_index_free(old_index &ix) {
    free(ix.slots);
    ix.slots = nullptr;
}

}  // namespace kestrava_indexed
