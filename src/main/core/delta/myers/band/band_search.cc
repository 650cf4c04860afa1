// The middle-snake search over the run's diagonal band: the iterations,
// overlap windows, progress checks and cuts of the step-by-step search
// (whose rules are in search_rules.h),
// with each pass handed to one of the run's forms of the passes, and the
// passes of one direction skipped where an earlier search from the same
// corner left its values (see search_snapshots.h).
#include "core/delta/myers/band/band_search.h"

namespace kestrava_myers {
namespace {

const int32_t kEvery = snapshot_set::kEvery;
const int32_t kKeepFrom = 1024;  // least range lengths of a search that keeps snapshots

// The diagonals first, first + 2, ... (count of them) that lie within
// lo..hi, as indexes [begin, end); lo and hi have the parity of first.
void window(int32_t first, int32_t count, int64_t lo, int64_t hi, int32_t &begin, int32_t &end) {
    int64_t b = lo > first ? (lo - first) / 2 : 0;
    int64_t e = hi < first ? 0 : (hi - first) / 2 + 1;
    if (e > count) e = count;
    if (b >= e) b = e = 0;
    begin = static_cast<int32_t>(b);
    end = static_cast<int32_t>(e);
}

// Chooses the form of the passes from what the vector passes saw, once
// they have seen enough diagonals: bytes far apart (windows beyond one a
// vector) send the search to the scalar form for a while, frequent short
// snakes to the four-byte form.
class form_choice {
  public:
    explicit form_choice(const pass_forms &forms) : forms_(forms), current_(&forms.first_bytes) {}

    // Passes over a few diagonals go one diagonal at a time: a vector
    // would be mostly empty.
    const search_passes &passes(int32_t count) const { return count < kShortPass ? kScalarPasses : *current_; }
    pass_stats *stats() { return current_ == &forms_.scalar ? nullptr : &last_; }

    // After a pass over `count` diagonals that did not meet the other search.
    void after(int32_t count) {
        if (!forms_.adaptive || count < kShortPass) return;
        if (current_ == &forms_.scalar) {
            if (--scalar_left == 0) current_ = &forms_.first_bytes;
            return;
        }
        seen_ += static_cast<uint32_t>(count);
        extra_windows_ += last_.extra_windows;
        matches_ += last_.matches;
        last_ = {0, 0};
        if (seen_ < kSample) return;
        if (extra_windows_ * 16 > seen_) {
            current_ = &forms_.scalar;
            scalar_left = kScalarStretch;
        } else {
            current_ = matches_ * 64 > seen_ ? &forms_.four_bytes : &forms_.first_bytes;
        }
        seen_ = extra_windows_ = matches_ = 0;
    }

  private:
    static const int32_t kShortPass = 24;
    static const uint32_t kSample = 512;        // diagonals seen before a choice
    static const int32_t kScalarStretch = 512;  // passes before the vector form is tried again
    const pass_forms &forms_;
    const search_passes *current_;
    pass_stats last_{0, 0};
    uint32_t seen_ = 0, extra_windows_ = 0, matches_ = 0;
    int32_t scalar_left = 0;
};

// One search: its ranges, band, passes, and what it borrows and keeps.
class band_search {
  public:
    band_search(const band_task &t, diagonal_band &band, const pass_forms &forms, snapshot_store &snapshots,
                search_counts *counts)
        : t_(t), a_(t.a), n_(t.n), b_(t.b), m_(t.m), delta_(n_ - m_), odd_((delta_ & 1) != 0), band_(band),
          forms_(forms), snapshots_(snapshots), counts_(counts), choice_(forms), old_v_(t.old_v), new_v_(t.new_v) {}

    band_result run();

  private:
    // Values of iteration d for best_points: runs of diagonals from a first
    // one, lent or in the band.
    struct values {
        const int32_t *fwd, *rev;
        int32_t fwd_first, rev_first;
        int32_t f(int32_t k) const { return fwd[(k - fwd_first) >> 1]; }
        int32_t r(int32_t m) const { return rev[(m - rev_first) >> 1]; }
    };
    values of_iteration(int32_t d, int32_t corner_old, int32_t corner_new) {
        // Lent values are of unclamped iterations: diagonals from -d.
        return {lent_forward() ? bounds(d) : band_.f(-corner_old), lent_reverse() ? bounds(d) : band_.r(-corner_new),
                lent_forward() ? -d : -corner_old, lent_reverse() ? -d : -corner_new};
    }

    bool lent_forward() const { return lent_ && lent_->forward; }
    bool lent_reverse() const { return lent_ && !lent_->forward; }
    // Bounds for iteration d <= until_ from the lent snapshots: the values
    // of the first snapshot at or after d of d's parity (forward values
    // only grow and reverse ones only shrink with the iterations), as an
    // array from diagonal -first_bound(d) on.
    const int32_t *bounds(int32_t d);
    static int32_t first_bound(int32_t d) { return d % 2 ? snapshot(d + 1) - 1 : snapshot(d); }
    static int32_t snapshot(int32_t d) { return (d + kEvery - 1) / kEvery * kEvery; }

    // The band holding the values of the search's start, or of the
    // iteration where it left the storage; false without memory for it.
    bool begin(int32_t &count, int32_t &first);
    void borrow();
    // Whether the skipped pass of iteration d could have met the other
    // search, its values taken as their bounds.
    bool lent_allow_overlap(int32_t d);
    // The lent direction's values of iteration d in the band, computed from
    // the last snapshot at or before it; the search goes on without the loan.
    void settle(int32_t d);
    // The pass of iteration d, with its overlap test when `checked`; `met`
    // and `hit` (its diagonal in hit.index) where the searches meet.
    void forward_pass(int32_t d, bool checked, pass_hit &hit, bool &met);
    void reverse_pass(int32_t d, bool checked, pass_hit &hit, bool &met);
    // The pass of one direction of iteration d where values may be lent:
    // true where the searches meet.
    bool pass_with_loans(int32_t d, bool forward, pass_hit &hit);
    // The end of a search that passed its limit at iteration d.
    band_result cut(int32_t d, int32_t count);
    void record(int32_t d);
    void record_now(int32_t d);
    void keep(int32_t d);

    const band_task &t_;
    const int32_t a_, n_, b_, m_, delta_;
    const bool odd_;
    diagonal_band &band_;
    const pass_forms &forms_;
    snapshot_store &snapshots_;
    search_counts *const counts_;
    form_choice choice_;
    const uint8_t *old_v_, *new_v_;

    const snapshot_set *lent_ = nullptr;
    int32_t until_ = 0;
    value_array bounds_[2];  // reverse bounds shifted into this search's coordinates, by parity
    int32_t bounds_of_[2] = {-1, -1};  // the iterations they are of
    snapshot_set kept_[2];         // forward, reverse
    bool keeping_[2] = {false, false};
    int32_t keep_to_ = 0;
    int32_t resumed_ = 0;  // the iteration the band's values were first of
};

const int32_t *band_search::bounds(int32_t d) {
    const int32_t s = snapshot(d + (d % 2));
    const int32_t *v = d % 2 ? lent_->before(s) : lent_->at(s);
    if (lent_->forward) return v;
    // Reverse values, shifted once per snapshot and parity.
    const int32_t of = d % 2 ? s - 1 : s;
    int32_t *shifted = bounds_[d % 2].data();
    if (bounds_of_[d % 2] != of) {
        for (int32_t i = 0; i <= of; ++i) shifted[i] = v[i] + n_;
        bounds_of_[d % 2] = of;
    }
    return shifted;
}

bool band_search::lent_allow_overlap(int32_t d) {
    // Forward skipped: reverse diagonals delta + k with |delta + k| < d meet
    // where R <= F; reverse skipped: forward diagonals m - delta with
    // |m - delta| <= d meet where F >= R. The iteration is unclamped.
    const bool forward = lent_forward();
    int32_t begin, end;
    if (forward)
        window(-d, d + 1, static_cast<int64_t>(-d) + 1 - delta_, static_cast<int64_t>(d) - 1 - delta_, begin, end);
    else
        window(-d, d + 1, static_cast<int64_t>(delta_) - d, static_cast<int64_t>(delta_) + d, begin, end);
    // No diagonal in reach of the other search: its values' address would
    // lie outside the band.
    if (begin == end) return false;
    const int32_t *mine = bounds(d) + (first_bound(d) - d) / 2 + begin;
    // Vector code where the run has it, whatever form its passes take now.
    const search_passes &test = forms_.first_bytes;
    return forward ? test.forward_meets(band_.r(delta_ - d + 2 * begin), mine, end - begin)
                   : test.reverse_meets(band_.f(-d - delta_ + 2 * begin), mine, end - begin);
}

void band_search::borrow() {
    if (n_ < 2 * kEvery || m_ < 2 * kEvery) return;
    // Forward values from the same start, else reverse ones to the same end.
    for (int dir = 0; dir < 2 && !lent_; ++dir) {
        const snapshot_set *set = dir == 0 ? snapshots_.find(true, a_, b_) : snapshots_.find(false, a_ + n_, b_ + m_);
        if (!set) continue;
        const int32_t until = snapshots_valid_until(*set, n_, m_);
        if (until < 2 * kEvery) continue;
        // Room for reverse values in this search's coordinates.
        if (!set->forward && !(bounds_[0].resize(static_cast<size_t>(until) + 1) &&
                               bounds_[1].resize(static_cast<size_t>(until) + 1)))
            continue;
        lent_ = set;
        until_ = until;
    }
    // Keep this search's own values for the searches after it, up to
    // about half of the iterations it may run (where those end); not for
    // small searches, whose followers skip too little to pay for them.
    const int64_t up_to = static_cast<int64_t>(t_.limit) / 2 + 2 * kEvery;
    keep_to_ = static_cast<int32_t>(up_to < n_ ? (up_to < m_ ? up_to : m_) : (n_ < m_ ? n_ : m_));
    if (keep_to_ >= 2 * kEvery && n_ >= kKeepFrom && m_ >= kKeepFrom) {
        keeping_[0] = !lent_forward();
        keeping_[1] = !lent_reverse();
        for (int dir = 0; dir < 2; ++dir) {
            kept_[dir].forward = dir == 0;
            kept_[dir].corner_x = dir == 0 ? a_ : a_ + n_;
            kept_[dir].corner_y = dir == 0 ? b_ : b_ + m_;
            kept_[dir].n = n_;
            kept_[dir].m = m_;
        }
    }
}

void band_search::settle(int32_t d) {
    // From the last snapshot, or the values the search came to the band with
    // (untouched since: the lent direction's passes did not run).
    const bool forward = lent_->forward;
    int32_t from = d - d % kEvery;
    if (from < resumed_) from = resumed_;
    if (from > resumed_) {
        const int32_t shift = forward ? 0 : n_;
        for (int32_t pass = 0; pass < 2; ++pass) {
            const int32_t it = from - pass;
            const int32_t *v = pass ? lent_->before(from) : lent_->at(from);
            for (int32_t i = 0, k = -it; k <= it; ++i, k += 2) *(forward ? band_.f(k) : band_.r(k)) = v[i] + shift;
        }
    }
    lent_ = nullptr;
    // The iterations since: no overlap test (the bounds showed none).
    pass_hit hit;
    bool met;
    for (int32_t it = from + 1; it <= d; ++it) {
        if (forward)
            forward_pass(it, false, hit, met);
        else
            reverse_pass(it, false, hit, met);
        if (counts_) counts_->settled += static_cast<uint64_t>(it) + 1;
    }
}

// Forward diagonals -corner_old..corner_new; with an odd delta each may
// meet the reverse path of the previous iteration on reverse diagonal
// delta + k, where |delta + k| < d (tested when `checked`).
inline void band_search::forward_pass(int32_t d, bool checked, pass_hit &hit, bool &met) {
    const int32_t corner_old = corner(d, n_), corner_new = corner(d, m_);
    const int32_t diagonals = (corner_old + corner_new) / 2 + 1;
    pass_job job{old_v_, new_v_, n_, m_, diagonals, -corner_old, 0, band_.f(-corner_old - 1), band_.f(-corner_old),
                 nullptr, 0, 0, choice_.stats()};
    if (checked && odd_) {
        window(-corner_old, diagonals, static_cast<int64_t>(-d) + 1 - delta_, static_cast<int64_t>(d) - 1 - delta_,
               job.check_begin, job.check_end);
        if (job.check_begin < job.check_end) {
            const int32_t first = delta_ - corner_old + 2 * job.check_begin;
            job.other = lent_reverse() ? bounds(d - 1) + (first + first_bound(d - 1)) / 2 : band_.r(first);
        }
    }
    met = choice_.passes(diagonals).forward(job, hit);
    if (met)
        hit.index = -corner_old + 2 * hit.index;  // the diagonal
    else
        choice_.after(diagonals);
}

// Reverse diagonals -corner_new..corner_old (reverse diagonal r is forward
// r - delta); with an even delta each may meet the forward path of this
// iteration where |r - delta| <= d (tested when `checked`).
inline void band_search::reverse_pass(int32_t d, bool checked, pass_hit &hit, bool &met) {
    const int32_t corner_old = corner(d, n_), corner_new = corner(d, m_);
    const int32_t diagonals = (corner_old + corner_new) / 2 + 1;
    pass_job job{old_v_, new_v_, n_, m_, diagonals, 0, delta_ + corner_new, band_.r(-corner_new - 1),
                 band_.r(-corner_new), nullptr, 0, 0, choice_.stats()};
    if (checked && !odd_) {
        window(-corner_new, diagonals, static_cast<int64_t>(delta_) - d, static_cast<int64_t>(delta_) + d,
               job.check_begin, job.check_end);
        if (job.check_begin < job.check_end) {
            const int32_t first = -corner_new - delta_ + 2 * job.check_begin;
            job.other = lent_forward() ? bounds(d) + (first + first_bound(d)) / 2 : band_.f(first);
        }
    }
    met = choice_.passes(diagonals).reverse(job, hit);
    if (met)
        hit.index = -corner_new - delta_ + 2 * hit.index;  // the forward diagonal
    else
        choice_.after(diagonals);
}

inline void band_search::record(int32_t d) {
    if (d % kEvery || d > keep_to_) return;
    record_now(d);
}

void band_search::record_now(int32_t d) {
    for (int dir = 0; dir < 2; ++dir) {
        if (!keeping_[dir]) continue;
        snapshot_set &set = kept_[dir];
        // Past the run's budget the set could never be kept; without memory
        // the search keeps none.
        const size_t count = 2 * static_cast<size_t>(d) + 1;
        if (set.values.size() + count > snapshot_store::kBudget || !set.values.reserve_more(count)) {
            keeping_[dir] = false;
            set.values.clear();
            continue;
        }
        for (int32_t it = d; it >= d - 1; --it)
            for (int32_t k = -it; k <= it; k += 2) set.values.append(dir == 0 ? *band_.f(k) : *band_.r(k) - n_);
        set.last = d;
    }
}

void band_search::keep(int32_t d) {
    for (int dir = 0; dir < 2; ++dir) {
        if (!keeping_[dir] || kept_[dir].last == 0) continue;
        snapshots_.keep(std::move(kept_[dir]), d / 2 + 2 * kEvery);
    }
}

bool band_search::begin(int32_t &count, int32_t &first) {
    count = t_.limit;
    first = 1;
    if (!band_.start(n_)) return false;
    if (!t_.entries) return true;
    if (!band_.extend(t_.from + 1)) return false;
    // The storage's values of iteration `from`, within its reach (from + 3).
    for (int32_t k = -t_.from - 3; k <= t_.from + 3; ++k) {
        const int32_t *at = t_.entries + forward_entry(k);
        *band_.f(k) = at[0];
        *band_.r(k) = at[kReverseEntry];
    }
    count = t_.count;
    resumed_ = t_.from;
    first = t_.from + 1;
    return true;
}

bool band_search::pass_with_loans(int32_t d, bool forward, pass_hit &hit) {
    bool met = false;
    auto pass = [&] {
        if (forward)
            forward_pass(d, true, hit, met);
        else
            reverse_pass(d, true, hit, met);
    };
    if (forward ? lent_forward() : lent_reverse()) {
        // Lent: only the pass's overlap test against the bounds (forward
        // passes test with an odd delta, reverse ones with an even), and
        // where they allow an overlap the pass itself.
        if (forward == odd_ && lent_allow_overlap(d)) {
            settle(d - 1);
            pass();
        }
        return met;
    }
    pass();
    if (met && lent_) {
        // Met a bound of the other direction's lent values: the real values
        // decide (the reverse ones of the iteration before, or the forward
        // ones of this iteration).
        settle(forward ? d - 1 : d);
        pass();
    }
    return met;
}

band_result band_search::cut(int32_t d, int32_t count) {
    if (lent_) settle(d);
    const int32_t corner_old = corner(d, n_), corner_new = corner(d, m_);
    band_result r{band_end::cut, 0, 0, 0, {0, 0}, {0, 0}, count};
    best_points(of_iteration(d, corner_old, corner_new), n_, m_, corner_old, corner_new, r.f, r.r);
    keep(d);
    return r;
}

band_result band_search::run() {
    int32_t count, first;
    if (!begin(count, first)) return {band_end::no_memory, 0, 0, 0, {0, 0}, {0, 0}, 0};
    borrow();

    for (int32_t d = first;; ++d) {
        const int32_t corner_old = corner(d, n_), corner_new = corner(d, m_);
        if (counts_) {
            ++counts_->iterations;
            counts_->diagonals += static_cast<uint64_t>(static_cast<int64_t>(corner_old) + corner_new + 2);
        }
        if (lent_ && d > until_) settle(d - 1);
        if (lent_ && counts_) counts_->lent += static_cast<uint64_t>(d) + 1;

        pass_hit hit;
        if (pass_with_loans(d, true, hit) || pass_with_loans(d, false, hit)) {
            keep(d);
            return {band_end::overlap, hit.s, hit.t, hit.index, {0, 0}, {0, 0}, 0};
        }
        if (limit_passed([&] { return of_iteration(d, corner_old, corner_new); }, n_, m_, d, count))
            return cut(d, count);
        record(d);

        // As the storage would: past its largest iteration the search gives
        // up; out of memory, the caller searches on the storage instead.
        if (d + 1 > t_.last) return {band_end::gave_up, 0, 0, 0, {0, 0}, {0, 0}, 0};
        if (!band_.extend(d + 1)) return {band_end::no_memory, 0, 0, 0, {0, 0}, {0, 0}, 0};
    }
}

}  // namespace

band_result band_path::search(const band_task &t, search_counts *counts) {
    band_search search(t, band_, *forms(), snapshots_, counts);
    return search.run();
}

}  // namespace kestrava_myers
