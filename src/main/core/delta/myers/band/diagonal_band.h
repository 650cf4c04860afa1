/* Internal to the delta engine: the forward and reverse values of the
   middle-snake search laid out for passes that read and write many
   diagonals at once.

   The storage record interleaves the four families (forward and reverse,
   diagonals of either sign) in groups of four entries, which puts the
   diagonals of one pass eight entries apart. Here each family of one parity
   is its own contiguous array, so the diagonals k, k + 2, k + 4 ... of a
   pass are neighbouring entries, and so are the values of the previous
   iteration it reads (k - 1, k + 1, ...).

   The band holds what the storage would hold for the searches of one run:
   every diagonal within reach of the current iteration d (|k| <= d + 2)
   has the fill value (forward -1, reverse INT32_MAX) until the search
   writes it, and keeps what was last written. It is private to the run
   started by myers_binary_diff, where nobody can read the storage. */
#ifndef KESTRAVA_DIAGONAL_BAND_H
#define KESTRAVA_DIAGONAL_BAND_H

#include <stddef.h>
#include <stdint.h>

namespace kestrava_myers {

class diagonal_band {
  public:
    diagonal_band() = default;
    diagonal_band(const diagonal_band &) = delete;
    diagonal_band &operator=(const diagonal_band &) = delete;
    ~diagonal_band();

    // A new search over an old range of n bytes: the diagonals of
    // iteration 1 hold the fill values, F(0) = 0 and R(0) = n. False when
    // no memory is left.
    bool start(int32_t n);
    // Reach for iteration d (|k| <= d + 2), newly covered diagonals filled.
    // False when no memory is left.
    bool extend(int32_t d) {
        // Searches extend one iteration at a time: one more diagonal each way.
        if (d + 2 == covered_ + 1 && covered_ < half_) {
            ++covered_;
            fill_one(covered_);
            return true;
        }
        return extend_far(d);
    }

    // Forward value of diagonal k; F(k + 2) follows at f(k) + 1.
    int32_t *f(int32_t k) { return fwd_[k & 1] + index(k); }
    // Reverse value of reverse diagonal m; R(m + 2) follows at r(m) + 1.
    int32_t *r(int32_t m) { return rev_[m & 1] + index(m); }

    // Entries kept before and after the reach of the current iteration,
    // so that passes may form pointers up to this far past either end.
    static const int32_t kSlack = 16;

  private:
    size_t index(int32_t k) const {
        return static_cast<size_t>((static_cast<int64_t>(k) + half_) >> 1) + kSlack;
    }
    bool reserve(int32_t reach);
    bool extend_far(int32_t d);
    void fill_one(int32_t k) {
        *f(k) = -1;
        *f(-k) = -1;
        *r(k) = INT32_MAX;
        *r(-k) = INT32_MAX;
    }
    void fill(int32_t from, int32_t to) {
        for (int32_t k = from; k <= to; ++k) fill_one(k);
    }

    // Small searches (most, in many runs) keep their values here rather
    // than in an allocation of their own.
    static const int32_t kInlineHalf = 64;
    int32_t inline_[4 * (kInlineHalf + 1 + 2 * kSlack)];
    int32_t *memory_ = nullptr;  // allocated when the reach passes kInlineHalf
    int32_t *fwd_[2] = {nullptr, nullptr};
    int32_t *rev_[2] = {nullptr, nullptr};
    int32_t half_ = 0;     // even; diagonals -half_..half_ have entries
    int32_t covered_ = 0;  // diagonals with |k| <= covered_ hold fill or written values
};

}  // namespace kestrava_myers

#endif
