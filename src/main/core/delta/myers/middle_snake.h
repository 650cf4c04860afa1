/* Internal to the delta engine: what the two forms of the middle-snake
   search share (the step-by-step search on the storage record, and the
   search over a diagonal_band with interchangeable passes). */
#ifndef KESTRAVA_MIDDLE_SNAKE_H
#define KESTRAVA_MIDDLE_SNAKE_H

#include <stdint.h>

#include "delta/myers/task_list.h"

namespace kestrava_myers {

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

inline int32_t saturating_sub(int32_t v, int32_t by) {
    int64_t r = static_cast<int64_t>(v) - by;
    return r < INT32_MIN ? INT32_MIN : static_cast<int32_t>(r);
}

// The overlap found: the part before the snake (s, s + k) .. (t, t + k), the
// snake itself and the part after it.
void push_recurse(execution *e, work &w, int32_t a, int32_t n, int32_t b, int32_t m, int32_t s, int32_t t,
                  int32_t k);

// The cut of a search that passed its limit, at its best points.
void push_bail_at(execution *e, work &w, int32_t a, int32_t n, int32_t b, int32_t m, point f, point r,
                  int32_t count);

// Where a search on the storage moves to the band: after iteration d, with
// the iteration limit at `count` and the values in the storage's entries.
struct band_resume {
    int32_t d, count;
    const int32_t *entries;
};

// The search of a task over the run's diagonal band with the run's passes,
// from its start or (`resume`) where it left the storage. With `spent` set
// the band found no memory, and nothing was done.
bool band_middlesnake(execution *e, work &w, const task &t, const band_resume *resume, bool &spent);

}  // namespace kestrava_myers

#endif
