/* The rules of the middle-snake search that both of its forms follow (the
   step-by-step search on the storage record, and the fast layer over the
   diagonal band): how far an iteration reaches, where the storage keeps a
   diagonal's values, the furthest points of the two frontiers, and the
   check that cuts a search short when its frontiers advance too slowly. */
#ifndef KESTRAVA_DELTA_SEARCH_RULES_H
#define KESTRAVA_DELTA_SEARCH_RULES_H

#include <stdint.h>

namespace kestrava_myers {

// The furthest diagonal on one side that iteration d reaches when that side
// has len bytes, keeping the parity of d.
inline int32_t corner(int32_t d, int32_t len) {
    return d <= len ? d : static_cast<int32_t>(2 * static_cast<int64_t>(len) - d);
}

// Where the storage's entries keep the forward value of diagonal k (its
// reverse value is kReverseEntry further on): 4k for k >= 0, else -4k - 1,
// modulo 2^32 so that every diagonal has one.
inline uint32_t forward_entry(int32_t k) {
    return k >= 0 ? 4u * static_cast<uint32_t>(k) : 4u * (0u - static_cast<uint32_t>(k)) - 1u;
}
const uint32_t kReverseEntry = 2;

struct point {
    int32_t x, y;
};

// Furthest forward point over the diagonals -corner_old..corner_new and the
// furthest reverse point over -corner_new..corner_old; ties keep the earlier.
// Values: anything with f(k) and r(m) giving the forward and reverse values.
// (Each in two loops, the extreme and then where it first is, which compile
// to vector code.)
template <typename Values>
void best_points(const Values &v, int32_t n, int32_t m, int32_t corner_old, int32_t corner_new, point &fwd,
                 point &rev) {
    // Forward: x = min(F(k), n, m - k), largest x + y = 2x + k, kept only
    // when above that of (0, 0).
    auto forward_x = [&](int32_t k) {
        int64_t x = v.f(k);
        if (x > n) x = n;
        if (x > static_cast<int64_t>(m) - k) x = static_cast<int64_t>(m) - k;
        return x;
    };
    int64_t most = 0;
    for (int32_t k = -corner_old; k <= corner_new; k += 2) {
        const int64_t s = 2 * forward_x(k) + k;
        most = s > most ? s : most;
    }
    fwd = {0, 0};
    if (most > 0) {
        for (int32_t k = -corner_old;; k += 2) {
            const int64_t x = forward_x(k);
            if (2 * x + k == most) {
                fwd = {static_cast<int32_t>(x), static_cast<int32_t>(x + k)};
                break;
            }
        }
    }
    // Reverse: x = max(R(r), 0, l) with l = delta - r, smallest x + y =
    // 2x - l, kept only when below that of (n, m).
    const int64_t delta = static_cast<int64_t>(n) - m;
    auto reverse_x = [&](int32_t r) {
        int64_t x = v.r(r);
        if (x < 0) x = 0;
        if (x < delta - r) x = delta - r;
        return x;
    };
    int64_t least = static_cast<int64_t>(n) + m;
    const int64_t start = least;
    for (int32_t r = -corner_new; r <= corner_old; r += 2) {
        const int64_t s = 2 * reverse_x(r) - (delta - r);
        least = s < least ? s : least;
    }
    rev = {n, m};
    if (least < start) {
        for (int32_t r = -corner_new;; r += 2) {
            const int64_t x = reverse_x(r);
            if (2 * x - (delta - r) == least) {
                rev = {static_cast<int32_t>(x), static_cast<int32_t>(x - (delta - r))};
                break;
            }
        }
    }
}

// Every kProgressEvery iterations a search whose frontiers advanced less
// than progress_needed(d) loses kProgressPenalty iterations of its limit,
// and is not cut at that iteration.
const int32_t kProgressEvery = 64;
const int32_t kProgressPenalty = 48;

// 2^g * d with g the number of base-4 digits of d.
inline int64_t progress_needed(int32_t d) {
    int32_t g = 0;
    for (uint32_t v = static_cast<uint32_t>(d); v; v >>= 2) ++g;
    return static_cast<int64_t>(d) << g;
}

// The limit check after the passes of iteration d over ranges of n and m
// bytes: true when the search is to be cut. `values` gives the values of
// iteration d (for best_points), asked for only at a progress check, which
// may lower `count`, the search's limit.
template <typename ValuesOf>
bool limit_passed(ValuesOf &&values, int32_t n, int32_t m, int32_t d, int32_t &count) {
    if (d % kProgressEvery == 0) {
        point f, r;
        best_points(values(), n, m, corner(d, n), corner(d, m), f, r);
        const int64_t advanced = static_cast<int64_t>(f.x) + f.y + (static_cast<int64_t>(n) + m - r.x - r.y);
        if (advanced < progress_needed(d)) {
            const int64_t lowered = static_cast<int64_t>(count) - kProgressPenalty;
            count = lowered < INT32_MIN ? INT32_MIN : static_cast<int32_t>(lowered);
            return false;
        }
    }
    return d > count;
}

}  // namespace kestrava_myers

#endif
