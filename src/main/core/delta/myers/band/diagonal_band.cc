#include "core/delta/myers/band/diagonal_band.h"

#include <stdlib.h>
#include <string.h>

namespace kestrava_myers {

diagonal_band::~diagonal_band() { free(memory_); }

bool diagonal_band::reserve(int32_t reach) {
    if (reach <= half_) return true;
    // Doubling keeps the copies linear in the final reach. Each family
    // holds the diagonals of its parity in -half..half (half + 1 of them),
    // with slack either side.
    int64_t half = half_ ? 2 * static_cast<int64_t>(half_) : kInlineHalf;
    while (half < reach) half *= 2;
    uint64_t family = static_cast<uint64_t>(half + 1 + 2 * kSlack);
    uint64_t bytes = 4 * family * sizeof(int32_t);
    if (half > INT32_MAX || bytes > SIZE_MAX) return false;
    int32_t *grown = half == kInlineHalf ? inline_ : static_cast<int32_t *>(malloc(static_cast<size_t>(bytes)));
    if (!grown) return false;
    int32_t *families[4];
    for (int i = 0; i < 4; ++i) families[i] = grown + static_cast<size_t>(family) * i;
    if (half_) {
        // Diagonal k moves from (k + old half) / 2 to (k + half) / 2.
        size_t shift = static_cast<size_t>((half - half_) / 2);
        size_t old_family = static_cast<size_t>(half_) + 1 + 2 * kSlack;
        int32_t *old[4] = {fwd_[0], fwd_[1], rev_[0], rev_[1]};
        for (int i = 0; i < 4; ++i) memcpy(families[i] + shift, old[i], old_family * sizeof(int32_t));
        free(memory_);
    }
    memory_ = grown == inline_ ? nullptr : grown;
    fwd_[0] = families[0];
    fwd_[1] = families[1];
    rev_[0] = families[2];
    rev_[1] = families[3];
    half_ = static_cast<int32_t>(half);
    return true;
}

bool diagonal_band::start(int32_t n) {
    if (!reserve(3)) return false;
    fill(1, 3);
    covered_ = 3;
    *f(0) = 0;
    *r(0) = n;
    return true;
}

bool diagonal_band::extend_far(int32_t d) {
    int64_t reach = static_cast<int64_t>(d) + 2;
    if (reach <= covered_) return true;
    if (reach > INT32_MAX / 2 || !reserve(static_cast<int32_t>(reach))) return false;
    fill(covered_ + 1, static_cast<int32_t>(reach));
    covered_ = static_cast<int32_t>(reach);
    return true;
}

}  // namespace kestrava_myers
