// The middle-snake search over the run's diagonal band: the iterations,
// overlap windows, progress checks and cuts of the step-by-step search,
// with each pass handed to one of the run's forms of the passes.
#include "delta/diagonal_band.h"
#include "delta/middle_snake.h"
#include "delta/myers_work.h"
#include "delta/search_passes.h"

namespace kestrava_myers {
namespace {

struct band_values {
    diagonal_band *band;
    int32_t f(int32_t k) const { return *band->f(k); }
    int32_t r(int32_t m) const { return *band->r(m); }
};

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

// The largest iteration the storage may reach (as the storage grows by
// 4d + 7 entries, at most 536870910).
int32_t last_iteration(const storage *st) { return st->max_d < 536870910 ? st->max_d : 536870910; }

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
    static const uint32_t kSample = 512;      // diagonals seen before a choice
    static const int32_t kScalarStretch = 64;  // passes before the vector form is tried again
    const pass_forms &forms_;
    const search_passes *current_;
    pass_stats last_{0, 0};
    uint32_t seen_ = 0, extra_windows_ = 0, matches_ = 0;
    int32_t scalar_left = 0;
};

}  // namespace

bool band_middlesnake(execution *e, work &w, const task &t) {
    const int32_t a = t.a, n = t.n, b = t.b, m = t.m;
    diagonal_band &band = *w.band;
    if (!band.start(n)) return false;
    w.set_level(t.level + 1);

    form_choice choice(*w.forms());
    const int32_t last = last_iteration(e->storage);
    const uint8_t *old_v = e->old_buf->data + a;
    const uint8_t *new_v = e->new_buf->data + b;
    const int32_t delta = n - m;
    const bool odd = (delta & 1) != 0;
    int32_t count = t.p;

    for (int32_t d = 1;; ++d) {
        const int32_t corner_old = myers_binary_diff_corner(d, n);
        const int32_t corner_new = myers_binary_diff_corner(d, m);
        const int32_t diagonals = (corner_old + corner_new) / 2 + 1;
        if (w.stats) {
            ++w.stats->iterations;
            w.stats->diagonals += static_cast<uint64_t>(static_cast<int64_t>(corner_old) + corner_new + 2);
        }

        // Forward diagonals -corner_old..corner_new; with an odd delta each
        // may meet the reverse path of the previous iteration on reverse
        // diagonal delta + k, where |delta + k| < d.
        pass_job job{old_v, new_v, n, m, diagonals, -corner_old, 0, band.f(-corner_old - 1), band.f(-corner_old),
                     nullptr, 0, 0, choice.stats()};
        if (odd) {
            window(-corner_old, diagonals, static_cast<int64_t>(-d) + 1 - delta, static_cast<int64_t>(d) - 1 - delta,
                   job.check_begin, job.check_end);
            if (job.check_begin < job.check_end) job.other = band.r(delta - corner_old + 2 * job.check_begin);
        }
        pass_hit hit;
        if (choice.passes(diagonals).forward(job, hit)) {
            push_recurse(e, w, a, n, b, m, hit.s, hit.t, -corner_old + 2 * hit.index);
            return true;
        }
        choice.after(diagonals);

        // Reverse diagonals -corner_new..corner_old (reverse diagonal r is
        // forward r - delta); with an even delta each may meet the forward
        // path of this iteration where |r - delta| <= d.
        job.l0 = delta + corner_new;
        job.prev = band.r(-corner_new - 1);
        job.out = band.r(-corner_new);
        job.other = nullptr;
        job.check_begin = job.check_end = 0;
        job.stats = choice.stats();
        if (!odd) {
            window(-corner_new, diagonals, static_cast<int64_t>(delta) - d, static_cast<int64_t>(delta) + d,
                   job.check_begin, job.check_end);
            if (job.check_begin < job.check_end) job.other = band.f(-corner_new - delta + 2 * job.check_begin);
        }
        if (choice.passes(diagonals).reverse(job, hit)) {
            push_recurse(e, w, a, n, b, m, hit.s, hit.t, -corner_new - delta + 2 * hit.index);
            return true;
        }
        choice.after(diagonals);

        bool may_bail = true;
        if (d % 64 == 0) {
            point f, r;
            best_points(band_values{&band}, n, m, corner_old, corner_new, f, r);
            int64_t advanced = static_cast<int64_t>(f.x) + f.y + (static_cast<int64_t>(n) + m - r.x - r.y);
            if (advanced < progress_needed(d)) {
                count = saturating_sub(count, 48);
                may_bail = false;
            }
        }
        if (may_bail && d > count) {
            point f, r;
            best_points(band_values{&band}, n, m, corner_old, corner_new, f, r);
            push_bail_at(e, w, a, n, b, m, f, r, count);
            return true;
        }

        // As the storage would: past its largest iteration, or out of
        // memory, the search gives up.
        if (d + 1 > last || !band.extend(d + 1)) return false;
    }
}

}  // namespace kestrava_myers
