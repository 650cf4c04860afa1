// The bounded middle-snake search, its cut at the furthest points reached
// (bail) and the treatment of the unexplored middle a cut leaves.
#include "delta/byte_match.h"
#include "delta/myers_work.h"

namespace kestrava_myers {
namespace {

// Storage index of the forward value of diagonal k (the reverse value is two
// further on); computed unsigned so that large diagonals cannot overflow.
inline size_t forward_index(int32_t k) {
    return k >= 0 ? static_cast<size_t>(4u * static_cast<uint32_t>(k))
                  : static_cast<size_t>(4u * (0u - static_cast<uint32_t>(k)) - 1u);
}

struct diagonals {
    int32_t *e;
    int32_t &f(int32_t k) const { return e[forward_index(k)]; }
    int32_t &r(int32_t m) const { return e[forward_index(m) + 2]; }
    // Starting x of a forward step onto k; a tie steps from k + 1.
    int32_t f_next(int32_t k) const {
        int32_t up = f(k + 1), down = f(k - 1);
        return up >= down ? up + 1 : down;
    }
    // Starting x of a reverse step onto m; a tie steps from m - 1.
    int32_t r_next(int32_t m) const {
        int32_t up = r(m + 1), down = r(m - 1);
        return up < down ? up : down - 1;
    }
};

struct point {
    int32_t x, y;
};

// Furthest forward point over the diagonals -corner_old..corner_new and the
// furthest reverse point over -corner_new..corner_old; ties keep the earlier.
void best_points(const diagonals &v, int32_t n, int32_t m, int32_t corner_old, int32_t corner_new, point &fwd,
                 point &rev) {
    fwd = {0, 0};
    int64_t best = 0;
    for (int32_t k = -corner_old; k <= corner_new; k += 2) {
        int64_t x = v.f(k);
        if (x > n) x = n;
        if (x > static_cast<int64_t>(m) - k) x = static_cast<int64_t>(m) - k;
        if (2 * x + k > best) {
            best = 2 * x + k;
            fwd = {static_cast<int32_t>(x), static_cast<int32_t>(x + k)};
        }
    }
    const int32_t delta = n - m;
    rev = {n, m};
    best = static_cast<int64_t>(n) + m;
    for (int32_t r = -corner_new; r <= corner_old; r += 2) {
        int64_t l = static_cast<int64_t>(delta) - r;
        int64_t x = v.r(r);
        if (x < 0) x = 0;
        if (x < l) x = l;
        if (2 * x - l < best) {
            best = 2 * x - l;
            rev = {static_cast<int32_t>(x), static_cast<int32_t>(x - l)};
        }
    }
}

int32_t saturating_sub(int32_t v, int32_t by) {
    int64_t r = static_cast<int64_t>(v) - by;
    return r < INT32_MIN ? INT32_MIN : static_cast<int32_t>(r);
}

}  // namespace

bool push_bail(execution *e, work &w, int32_t a, int32_t n, int32_t b, int32_t m, int32_t corner_old,
               int32_t corner_new, int32_t count) {
    if (!e->storage->entries) return false;
    point f, r;
    best_points(diagonals{e->storage->entries}, n, m, corner_old, corner_new, f, r);
    if (f.x < r.x && f.y < r.y) {
        // The frontiers have not met: keep what both reached and treat the
        // middle between them separately.
        w.prefix_diff(a + r.x, n - r.x, b + r.y, m - r.y, e->cost_limit);
        push_bounded_diff(e, w, a + f.x, r.x - f.x, b + f.y, r.y - f.y, n, m, count);
        w.suffix_diff(a, f.x, b, f.y, 0, e->cost_limit);
        return true;
    }
    point at = (static_cast<int64_t>(n) + m - r.x - r.y > static_cast<int64_t>(f.x) + f.y) ? r : f;
    w.prefix_diff(a + at.x, n - at.x, b + at.y, m - at.y, e->cost_limit);
    w.suffix_diff(a, at.x, b, at.y, 0, e->cost_limit);
    return true;
}

void push_bounded_diff(execution *e, work &w, int32_t a, int32_t n, int32_t b, int32_t m, int32_t total_old,
                       int32_t total_new, int32_t limit) {
    (void)e;
    int64_t area = static_cast<int64_t>(n) * m;
    int64_t whole = static_cast<int64_t>(total_old) * total_new;
    if (area < whole / 2 + 16777216) {
        w.middlesnake(a, n, b, m, limit > 8 ? limit : 8);
        return;
    }
    int32_t hn = n / 2, hm = m / 2;
    if (limit > 0) {
        w.prefix_diff(a + hn, n - hn, b + hm, m - hm, limit >> 1);
        w.suffix_diff(a, hn, b, hm, 0, limit >> 1);
        return;
    }
    // Out of allowance: search only the middle halves, replace the rest.
    int32_t qn = n / 4, qm = m / 4;
    w.erase();
    w.insert(b + qm + hm, m - hm - qm);
    w.diff(a + qn, hn, b + qm, hm);
    w.erase();
    w.insert(b, qm);
}

bool middlesnake(execution *e, work &w, const task &t) {
    const int32_t a = t.a, n = t.n, b = t.b, m = t.m;
    storage *st = e->storage;
    storage_initialise(st, 1);
    if (!st->entries) return false;
    w.set_level(t.level + 1);

    const uint8_t *old_v = e->old_buf->data + a;
    const uint8_t *new_v = e->new_buf->data + b;
    diagonals v{st->entries};
    v.f(0) = 0;
    v.r(0) = n;
    const int32_t delta = n - m;
    const bool odd = (delta & 1) != 0;
    int32_t count = t.p;

    for (int32_t d = 1;; ++d) {
        const int32_t corner_old = myers_binary_diff_corner(d, n);
        const int32_t corner_new = myers_binary_diff_corner(d, m);
        if (w.stats) {
            ++w.stats->iterations;
            w.stats->diagonals += static_cast<uint64_t>(static_cast<int64_t>(corner_old) + corner_new + 2);
        }

        for (int32_t k = -corner_old; k <= corner_new; k += 2) {
            const int32_t x0 = v.f_next(k);
            int32_t x = x0;
            const int64_t y = static_cast<int64_t>(x) + k;
            if (x >= 0 && y >= 0 && x < n && y < m) {
                int64_t room = n - x;
                if (m - y < room) room = m - y;
                x += static_cast<int32_t>(common_prefix(old_v + x, new_v + y, static_cast<size_t>(room)));
            }
            if (odd) {
                const int32_t r = delta + k;
                if ((r < 0 ? -r : r) < d && v.r(r) <= x) {
                    w.prefix_diff(a + x, n - x, b + x + k, m - x - k, e->cost_limit);
                    w.match(a + x0, x - x0);
                    w.suffix_diff(a, x0, b, x0 + k, 0, e->cost_limit);
                    return true;
                }
            }
            v.f(k) = x;
        }

        for (int32_t r = -corner_new; r <= corner_old; r += 2) {
            const int32_t l = delta - r;
            const int32_t x0 = v.r_next(r);
            int32_t x = x0;
            const int32_t low = l > 0 ? l : 0;
            const int64_t y = static_cast<int64_t>(x) - l;
            if (x > low && x <= n && y <= m) {
                x -= static_cast<int32_t>(common_suffix(old_v + x, new_v + y, static_cast<size_t>(x - low)));
            }
            if (!odd) {
                const int32_t k = -l;
                if ((k < 0 ? -k : k) <= d && v.f(k) >= x) {
                    w.prefix_diff(a + x0, n - x0, b + x0 + k, m - x0 - k, e->cost_limit);
                    w.match(a + x, x0 - x);
                    w.suffix_diff(a, x, b, x + k, 0, e->cost_limit);
                    return true;
                }
            }
            v.r(r) = x;
        }

        bool may_bail = true;
        if (d % 64 == 0) {
            point f, r;
            best_points(v, n, m, corner_old, corner_new, f, r);
            int64_t advanced = static_cast<int64_t>(f.x) + f.y + (static_cast<int64_t>(n) + m - r.x - r.y);
            if (advanced < progress_needed(d)) {
                count = saturating_sub(count, 48);
                may_bail = false;
            }
        }
        if (may_bail && d > count) return push_bail(e, w, a, n, b, m, corner_old, corner_new, count);

        if (!storage_extend(st, d + 1) || !st->entries) return false;
        v.e = st->entries;
    }
}

}  // namespace kestrava_myers
