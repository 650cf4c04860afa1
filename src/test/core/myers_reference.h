// A deliberately plain model of the delta search for the tests: nested
// calls, byte-by-byte comparisons and a storage array sized exactly as the
// record describes. The engine (flat task list, word-wide comparisons,
// rounded allocations) must hand the coalescing script the very same
// operations, so both are compared on whole deltas.
#ifndef KESTRAVA_TEST_MYERS_REFERENCE_H
#define KESTRAVA_TEST_MYERS_REFERENCE_H

#include <cstdint>
#include <vector>

#include "core/delta/script/edit_script.h"
#include "core/delta/myers/myers.h"

namespace reference {

struct diag_store {
    std::vector<int32_t> e;
    int32_t capacity = 0, max_d = 0, last_index = 0;
    bool exhausted = false;

    static int64_t key(int32_t k) { return k >= 0 ? 4 * int64_t(k) : -4 * int64_t(k) - 1; }
    int32_t &f(int32_t k) { return e[key(k)]; }
    int32_t &r(int32_t k) { return e[key(k) + 2]; }

    void ensure(int32_t d) {
        last_index = 4 * d + 7;
        if (4 * d + 10 >= capacity) {
            e.resize(size_t(2) * (4 * d + 7));
            capacity = 4 * d + 7;
        }
    }
    void fill(int32_t from) {
        for (int32_t g = from; g <= last_index + 3; g += 4) {
            e[g] = -1;
            e[g + 1] = -1;
            e[g + 2] = INT32_MAX;
            e[g + 3] = INT32_MAX;
        }
    }
    bool extend(int32_t d) {
        if (max_d < d) {
            exhausted = true;
            return false;
        }
        int32_t from = last_index;
        ensure(d);
        fill(from);
        return true;
    }
};

// How often each rule fired, so that tests can show they reached it.
struct rule_counts {
    long overlaps = 0, bails = 0, bail_splits = 0, area_searches = 0, halvings = 0, replacements = 0,
         exhaustions = 0, progress_cuts = 0;
};

struct model {
    const buf *old_buf, *new_buf;
    coallescing_script *cs;
    int32_t cost_limit;
    diag_store st;
    int32_t depth = 0, max_depth = 0;  // nesting of middle-snake searches
    bool read_outside_range = false;   // a snake looked beyond its search's ranges
    rule_counts *counts = nullptr;
    void note(long rule_counts::*which) {
        if (counts) ++(counts->*which);
    }

    uint8_t o(int64_t i) { return old_buf->data[i]; }
    uint8_t n(int64_t i) { return new_buf->data[i]; }

    static int32_t corner(int32_t d, int32_t len) { return d <= len ? d : int32_t(2 * int64_t(len) - d); }

    bool match(int32_t a, int32_t len) { return coallescing_script_match(cs, a, len); }
    bool insert(int32_t b, int32_t len) { return coallescing_script_insert(cs, b, len); }
    bool del() { return coallescing_script_delete(cs); }

    int32_t prefix(int32_t a, int32_t N, int32_t b, int32_t M) {
        int32_t p = 0;
        while (p < N && p < M && o(a + p) == n(b + p)) ++p;
        return p;
    }

    bool diff(int32_t a, int32_t N, int32_t b, int32_t M) {
        int32_t p = prefix(a, N, b, M);
        if (!match(a, p)) return false;
        return suffix_diff(a, N, b, M, p, cost_limit);
    }

    bool suffix_diff(int32_t a, int32_t N, int32_t b, int32_t M, int32_t pos, int32_t limit) {
        int32_t lower = pos + (N - M > 0 ? N - M : 0);
        int32_t i = N;
        while (i > lower && o(a + i - 1) == n(b + i - 1 + (M - N))) --i;
        bool ok;
        if (pos == i)
            ok = insert(b + i, M - N);
        else if (pos == i + M - N)
            ok = del();
        else
            ok = middlesnake(a + pos, i - pos, b + pos, i + M - N - pos, limit);
        if (!ok) return false;
        return match(a + i, N - i);
    }

    bool prefix_diff(int32_t a, int32_t N, int32_t b, int32_t M, int32_t limit) {
        int32_t p = prefix(a, N, b, M);
        if (!match(a, p)) return false;
        if (N == p) return insert(b + N, M - N);
        if (M == p) return del();
        return middlesnake(a + p, N - p, b + p, M - p, limit);
    }

    bool recurse(int32_t a, int32_t N, int32_t b, int32_t M, int32_t s, int32_t t, int32_t k) {
        return suffix_diff(a, s, b, s + k, 0, cost_limit) && match(a + s, t - s) &&
               prefix_diff(a + t, N - t, b + t + k, M - t - k, cost_limit);
    }

    bool trim(int32_t a, int32_t N, int32_t b, int32_t M) {
        int32_t p = prefix(a, N, b, M);
        if (!match(a, p)) return false;
        int32_t lower = p + (N - M > 0 ? N - M : 0);
        int32_t j = N;
        while (j > lower && o(a + j - 1) == n(b + j - 1 + (M - N))) --j;
        bool ok;
        if (j == p)
            ok = insert(b + j, M - N);
        else if (j + M - N == p)
            ok = del();
        else
            ok = insert(b + p, j + M - N - p) && del();
        return ok && match(a + j, N - j);
    }

    void best(int32_t N, int32_t M, int32_t co, int32_t cn, int32_t &fx, int32_t &fy, int32_t &rx, int32_t &ry) {
        fx = 0, fy = 0;
        for (int32_t k = -co; k <= cn; k += 2) {
            int32_t x = st.f(k);
            if (N < x) x = N;
            if (M - k < x) x = M - k;
            if (x + x + k > fx + fy) fx = x, fy = x + k;
        }
        rx = N, ry = M;
        for (int32_t m = -cn; m <= co; m += 2) {
            int32_t l = (N - M) - m;
            int32_t x = st.r(m);
            if (x < 0) x = 0;
            if (x < l) x = l;
            if (x + x - l < rx + ry) rx = x, ry = x - l;
        }
    }

    bool middlesnake(int32_t a, int32_t N, int32_t b, int32_t M, int32_t limit) {
        ++depth;
        if (depth > max_depth) max_depth = depth;
        bool r = search(a, N, b, M, limit);
        --depth;
        return r;
    }

    bool search(int32_t a, int32_t N, int32_t b, int32_t M, int32_t limit) {
        st.ensure(1);
        st.fill(3);
        st.f(0) = 0;
        st.r(0) = N;
        int32_t count = limit;
        int32_t delta = N - M;
        for (int32_t d = 1;; ++d) {
            int32_t co = corner(d, N), cn = corner(d, M);
            for (int32_t k = -co; k <= cn; k += 2) {
                int32_t up = st.f(k + 1), down = st.f(k - 1);
                int32_t x0 = up >= down ? up + 1 : down;
                int32_t x = x0;
                while (x < N && x + k < M) {
                    if (x < 0 || x + k < 0) {
                        read_outside_range = true;
                        break;
                    }
                    if (o(a + x) != n(b + x + k)) break;
                    ++x;
                }
                if (delta % 2 != 0) {
                    int32_t m = delta + k;
                    if ((m < 0 ? -m : m) < d && st.r(m) <= x) {
                        note(&rule_counts::overlaps);
                        return recurse(a, N, b, M, x0, x, k);
                    }
                }
                st.f(k) = x;
            }
            for (int32_t m = -cn; m <= co; m += 2) {
                int32_t l = delta - m;
                int32_t up = st.r(m + 1), down = st.r(m - 1);
                int32_t x0 = up < down ? up : down - 1;
                int32_t x = x0;
                while (x > (l > 0 ? l : 0)) {
                    if (x > N || x - l > M) {
                        read_outside_range = true;
                        break;
                    }
                    if (o(a + x - 1) != n(b + x - 1 - l)) break;
                    --x;
                }
                if (delta % 2 == 0) {
                    int32_t k = -l;
                    if ((k < 0 ? -k : k) <= d && st.f(k) >= x) {
                        note(&rule_counts::overlaps);
                        return recurse(a, N, b, M, x, x0, k);
                    }
                }
                st.r(m) = x;
            }
            bool check = true;
            if (d % 64 == 0) {
                int32_t fx, fy, rx, ry;
                best(N, M, co, cn, fx, fy, rx, ry);
                int64_t P = int64_t(fx) + fy + (int64_t(N) + M - rx - ry);
                int g = 0;
                for (int32_t v = d; v > 0; v /= 4) ++g;
                int64_t Q = (int64_t(1) << g) * d;
                if (P < Q) {
                    note(&rule_counts::progress_cuts);
                    count -= 48;
                    check = false;
                }
            }
            if (check && d > count) return bail(a, N, b, M, co, cn, count);
            if (!st.extend(d + 1)) {
                note(&rule_counts::exhaustions);
                return false;
            }
        }
    }

    bool bail(int32_t a, int32_t N, int32_t b, int32_t M, int32_t co, int32_t cn, int32_t count) {
        int32_t fx, fy, rx, ry;
        best(N, M, co, cn, fx, fy, rx, ry);
        note(&rule_counts::bails);
        if (fx < rx && fy < ry) {
            return suffix_diff(a, fx, b, fy, 0, cost_limit) &&
                   bounded_diff(a + fx, rx - fx, b + fy, ry - fy, N, M, count) &&
                   prefix_diff(a + rx, N - rx, b + ry, M - ry, cost_limit);
        }
        note(&rule_counts::bail_splits);
        int32_t x = fx, y = fy;
        if (N + M - rx - ry > fx + fy) x = rx, y = ry;
        return suffix_diff(a, x, b, y, 0, cost_limit) && prefix_diff(a + x, N - x, b + y, M - y, cost_limit);
    }

    bool bounded_diff(int32_t a, int32_t N, int32_t b, int32_t M, int32_t tN, int32_t tM, int32_t limit) {
        if (int64_t(N) * M < int64_t(tN) * tM / 2 + 16777216) {
            note(&rule_counts::area_searches);
            return middlesnake(a, N, b, M, limit > 8 ? limit : 8);
        }
        int32_t hN = N / 2, hM = M / 2;
        note(limit > 0 ? &rule_counts::halvings : &rule_counts::replacements);
        if (limit > 0)
            return suffix_diff(a, hN, b, hM, 0, limit >> 1) &&
                   prefix_diff(a + hN, N - hN, b + hM, M - hM, limit >> 1);
        int32_t qN = N / 4, qM = M / 4;
        return insert(b, qM) && del() && diff(a + qN, hN, b + qM, hM) && insert(b + qM + hM, M - hM - qM) && del();
    }
};

struct outcome {
    int32_t code;
    std::vector<uint8_t> delta;
    int32_t max_depth;
    bool read_outside_range;
};

// myers_binary_diff on whole values, the plain way.
inline outcome diff(const buf *old_value, const buf *new_value, int32_t storage_limit, int32_t cost_limit,
                    uint32_t quality, rule_counts *counts = nullptr) {
    edit_script *s = edit_script_create(old_value, new_value);
    coallescing_script cs{s, 0, 0, 2, 0, 0, true};
    int32_t N = int32_t(old_value->len), M = int32_t(new_value->len);
    int32_t v = cost_limit < M ? cost_limit : M;
    if (N < v) v = N;
    int32_t limit = quality == 0 ? cost_limit
                    : quality == 1 ? (v <= 255 ? 64 : v >> 2)
                    : quality == 2 ? (v <= 255 ? 16 : (v >> 2) >> 2)
                    : quality == 3 ? 1
                                   : -1;
    model m{old_value, new_value, &cs, limit, {}};
    m.counts = counts;
    m.st.max_d = (storage_limit - 3) / 4;
    m.st.ensure(1);
    m.st.fill(3);
    bool ok = quality == 4 ? m.trim(0, N, 0, M) : m.diff(0, N, 0, M);
    outcome r;
    r.code = ok ? coallescing_script_close(&cs, N, M) : 1;
    r.delta.assign(s->out->data, s->out->data + s->out->len);
    r.max_depth = m.max_depth;
    r.read_outside_range = m.read_outside_range;
    edit_script_free(s);
    return r;
}

}  // namespace reference

#endif
