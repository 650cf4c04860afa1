// The bounded middle-snake search, its cut at the furthest points reached
// (bail) and the treatment of the unexplored middle a cut leaves.
#include "core/delta/myers/middle_snake.h"

#include "core/delta/common/byte_match.h"
#include "core/delta/common/search_rules.h"

namespace kestrava_myers {

using kestrava_bytes::common_prefix;
using kestrava_bytes::common_suffix;

namespace {

// Storage index of the forward value of diagonal k.
inline size_t forward_index(int32_t k) { return forward_entry(k); }

struct diagonals {
    int32_t *e;
    int32_t &f(int32_t k) const { return e[forward_index(k)]; }
    int32_t &r(int32_t m) const { return e[forward_index(m) + kReverseEntry]; }
};

// Where a pass found the two searches overlapping: the snake on forward
// diagonal k from old position s to old position t.
struct overlap {
    int32_t s, t, k;
};

struct search_state {
    int32_t *e;  // the storage's entries
    const uint8_t *old_v, *new_v;
    int32_t n, m, delta, d;
};

// One forward step onto diagonal k, its neighbours' values at e[up] (k + 1)
// and e[down] (k - 1), its own at e[i]. A tie steps from k + 1. With an odd
// delta the path may meet the reverse path of the previous iteration.
template <bool Odd>
__attribute__((always_inline)) inline bool forward_step(const search_state &st, int32_t k, size_t i, size_t up,
                                                        size_t down, overlap &hit) {
    int32_t *e = st.e;
    const int32_t from_up = e[up], from_down = e[down];
    const int32_t x0 = from_up >= from_down ? from_up + 1 : from_down;
    int32_t x = x0;
    const int64_t y = static_cast<int64_t>(x) + k;
    if (static_cast<uint32_t>(x) < static_cast<uint32_t>(st.n) &&
        static_cast<uint64_t>(y) < static_cast<uint64_t>(st.m) && st.old_v[x] == st.new_v[y]) {
        int64_t room = st.n - x;
        if (st.m - y < room) room = st.m - y;
        x += 1 + static_cast<int32_t>(
                     common_prefix(st.old_v + x + 1, st.new_v + y + 1, static_cast<size_t>(room - 1)));
    }
    if (Odd) {
        const int32_t r = st.delta + k;
        // |r| < d, without overflow
        if (static_cast<uint32_t>(r) + static_cast<uint32_t>(st.d) - 1u < 2u * static_cast<uint32_t>(st.d) - 1u &&
            e[forward_index(r) + kReverseEntry] <= x) {
            hit = {x0, x, k};
            return true;
        }
    }
    e[i] = x;
    return false;
}

// One reverse step onto reverse diagonal r (points with y = x - l), its
// neighbours' values at e[up] (r + 1) and e[down] (r - 1), its own at e[i].
// A tie steps from r - 1. With an even delta the path may meet the forward
// path of this iteration.
template <bool Odd>
__attribute__((always_inline)) inline bool reverse_step(const search_state &st, int32_t r, size_t i, size_t up,
                                                        size_t down, overlap &hit) {
    int32_t *e = st.e;
    const int32_t from_up = e[up], from_down = e[down];
    const int32_t x0 = from_up < from_down ? from_up : from_down - 1;
    int32_t x = x0;
    const int32_t l = st.delta - r;
    const int32_t low = l > 0 ? l : 0;
    const int64_t y = static_cast<int64_t>(x) - l;
    if (x > low && x <= st.n && y <= st.m && st.old_v[x - 1] == st.new_v[y - 1]) {
        x -= 1 + static_cast<int32_t>(
                     common_suffix(st.old_v + x - 1, st.new_v + y - 1, static_cast<size_t>(x - low - 1)));
    }
    if (!Odd) {
        const int32_t k = -l;
        // |k| <= d, without overflow
        if (static_cast<uint32_t>(k) + static_cast<uint32_t>(st.d) <= 2u * static_cast<uint32_t>(st.d) &&
            e[forward_index(k)] >= x) {
            hit = {x, x0, k};
            return true;
        }
    }
    e[i] = x;
    return false;
}

// Forward pass over the diagonals from..to in steps of 2. Away from diagonal
// 0 the storage index of a diagonal and its neighbours' are a fixed distance
// apart (4 entries; 8 to the next diagonal of the pass), so the long
// stretches run on plain index arithmetic.
template <bool Odd>
bool forward_pass(const search_state &st, int32_t from, int32_t to, overlap &hit) {
    int32_t k = from;
    if (k <= -2) {
        const int32_t last = to < -2 ? to : -2;
        for (size_t i = forward_index(k); k <= last; k += 2, i -= 8)
            if (forward_step<Odd>(st, k, i, i - 4, i + 4, hit)) return true;
    }
    for (; k <= to && k <= 1; k += 2)
        if (forward_step<Odd>(st, k, forward_index(k), forward_index(k + 1), forward_index(k - 1), hit)) return true;
    if (k <= to) {
        for (size_t i = forward_index(k); k <= to; k += 2, i += 8)
            if (forward_step<Odd>(st, k, i, i + 4, i - 4, hit)) return true;
    }
    return false;
}

template <bool Odd>
bool reverse_pass(const search_state &st, int32_t from, int32_t to, overlap &hit) {
    int32_t r = from;
    if (r <= -2) {
        const int32_t last = to < -2 ? to : -2;
        for (size_t i = forward_index(r) + kReverseEntry; r <= last; r += 2, i -= 8)
            if (reverse_step<Odd>(st, r, i, i - 4, i + 4, hit)) return true;
    }
    for (; r <= to && r <= 1; r += 2)
        if (reverse_step<Odd>(st, r, forward_index(r) + kReverseEntry, forward_index(r + 1) + kReverseEntry,
                                forward_index(r - 1) + kReverseEntry, hit))
            return true;
    if (r <= to) {
        for (size_t i = forward_index(r) + kReverseEntry; r <= to; r += 2, i += 8)
            if (reverse_step<Odd>(st, r, i, i + 4, i - 4, hit)) return true;
    }
    return false;
}

// The overlap found: the part before the snake (s, s + k) .. (t, t + k), the
// snake itself and the part after it.
void push_recurse(execution *e, work &w, int32_t a, int32_t n, int32_t b, int32_t m, int32_t s, int32_t t,
                  int32_t k) {
    w.prefix_diff(a + t, n - t, b + t + k, m - t - k, e->cost_limit);
    w.match(a + s, t - s);
    w.suffix_diff(a, s, b, s + k, 0, e->cost_limit);
}

// The cut of a search that passed its limit, at its best points.
void push_bail_at(execution *e, work &w, int32_t a, int32_t n, int32_t b, int32_t m, point f, point r,
                  int32_t count) {
    if (f.x < r.x && f.y < r.y) {
        // The frontiers have not met: keep what both reached and treat the
        // middle between them separately.
        w.prefix_diff(a + r.x, n - r.x, b + r.y, m - r.y, e->cost_limit);
        push_bounded_diff(e, w, a + f.x, r.x - f.x, b + f.y, r.y - f.y, n, m, count);
        w.suffix_diff(a, f.x, b, f.y, 0, e->cost_limit);
        return;
    }
    point at = (static_cast<int64_t>(n) + m - r.x - r.y > static_cast<int64_t>(f.x) + f.y) ? r : f;
    w.prefix_diff(a + at.x, n - at.x, b + at.y, m - at.y, e->cost_limit);
    w.suffix_diff(a, at.x, b, at.y, 0, e->cost_limit);
}

// The search handed to the run's band, from its start or (`entries`) where
// it leaves the storage after iteration `from`. False, with nothing done,
// when the band found no memory: the search then goes on on the storage.
bool on_band(execution *e, work &w, const task &t, int32_t from, int32_t count, const int32_t *entries,
             bool &result) {
    // The largest iteration the storage may reach (as it grows by 4d + 7
    // entries, at most 536870910).
    const int32_t last = e->storage->max_d < 536870910 ? e->storage->max_d : 536870910;
    const band_task bt{e->old_buf->data + t.a, e->new_buf->data + t.b, t.a, t.n, t.b, t.m, t.p, last, from, count,
                       entries};
    const band_result r = w.band->search(bt, w.stats);
    switch (r.end) {
        case band_end::no_memory: return false;
        case band_end::gave_up: result = false; return true;
        case band_end::overlap:
            w.set_level(t.level + 1);
            push_recurse(e, w, t.a, t.n, t.b, t.m, r.s, r.t, r.k);
            break;
        case band_end::cut:
            w.set_level(t.level + 1);
            push_bail_at(e, w, t.a, t.n, t.b, t.m, r.f, r.r, r.count);
            break;
    }
    result = true;
    return true;
}

}  // namespace

bool push_bail(execution *e, work &w, int32_t a, int32_t n, int32_t b, int32_t m, int32_t corner_old,
               int32_t corner_new, int32_t count) {
    if (!e->storage->entries) return false;
    point f, r;
    best_points(diagonals{e->storage->entries}, n, m, corner_old, corner_new, f, r);
    push_bail_at(e, w, a, n, b, m, f, r, count);
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
    // Searches over a few hundred bytes stay on the storage, and others for
    // their first iterations (the band_path's after()): most end there, and
    // their passes are too short for the band's forms to pay.
    bool band = w.band && w.band->takes(t.n, t.m);
    if (band && w.band->after() == 0) {
        bool done;
        if (on_band(e, w, t, 0, 0, nullptr, done)) return done;
        band = false;  // no memory for the band: the same search on the storage
    }
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
        const int32_t corner_old = corner(d, n);
        const int32_t corner_new = corner(d, m);
        if (w.stats) {
            ++w.stats->iterations;
            w.stats->diagonals += static_cast<uint64_t>(static_cast<int64_t>(corner_old) + corner_new + 2);
        }

        const search_state ss{v.e, old_v, new_v, n, m, delta, d};
        overlap hit;
        // Forward diagonals -corner_old..corner_new, then reverse diagonals
        // -corner_new..corner_old (reverse diagonal r is forward r - delta).
        bool met = odd ? forward_pass<true>(ss, -corner_old, corner_new, hit)
                       : forward_pass<false>(ss, -corner_old, corner_new, hit);
        if (!met)
            met = odd ? reverse_pass<true>(ss, -corner_new, corner_old, hit)
                      : reverse_pass<false>(ss, -corner_new, corner_old, hit);
        if (met) {
            push_recurse(e, w, a, n, b, m, hit.s, hit.t, hit.k);
            return true;
        }
        if (limit_passed([&] { return v; }, n, m, d, count))
            return push_bail(e, w, a, n, b, m, corner_old, corner_new, count);

        if (!storage_extend(st, d + 1) || !st->entries) return false;
        v.e = st->entries;
        if (band && d == w.band->after()) {
            bool done;
            if (on_band(e, w, t, d, count, v.e, done)) return done;
            band = false;
        }
    }
}

}  // namespace kestrava_myers
