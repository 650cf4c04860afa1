/* Internal to the delta engine: the one entry of the search's fast layer.

   A band_path holds what the middle-snake searches of one run share over
   the diagonal band: the band itself, the values searches keep for later
   ones, and the forms of the passes. The designed search asks it whether a
   search goes over the band, hands it the search, and gets back how the
   search ended; what follows (the parts around an overlap or a cut) is the
   designed search's business. */
#ifndef KESTRAVA_BAND_SEARCH_H
#define KESTRAVA_BAND_SEARCH_H

#include <stdint.h>

#include "core/delta/common/search_rules.h"
#include "core/delta/myers/band/diagonal_band.h"
#include "core/delta/myers/band/search_passes.h"
#include "core/delta/myers/band/search_snapshots.h"

namespace kestrava_myers {

// Searches whose ranges are both at least this long move to the band after
// this many iterations (shorter searches do not pay for it).
const int32_t kBandFrom = 128;
const int32_t kBandAfter = 32;

// What searches cost, added up: for measurements, not for the result.
struct search_counts {
    uint64_t iterations;  // iterations of the searches
    uint64_t diagonals;   // diagonals visited by their passes
    uint64_t lent;        // of those, diagonals whose passes were skipped for values kept from earlier searches
    uint64_t settled;     // diagonals of passes computed again where those values ran out
};

// A search handed to the band.
struct band_task {
    const uint8_t *old_v, *new_v;  // the first bytes of the ranges
    int32_t a, n, b, m;            // the ranges in the values (where kept values belong)
    int32_t limit;                 // the search's iteration limit
    int32_t last;                  // past this iteration the search gives up, as the storage would
    // With `entries`, the search leaves the storage after iteration `from`
    // with its limit at `count`, its values in the storage's entries.
    int32_t from, count;
    const int32_t *entries;
};

enum class band_end : uint8_t {
    overlap,    // the searches met on a snake
    cut,        // the search passed its limit
    gave_up,    // past the last iteration
    no_memory,  // the band found no memory: nothing was done
};

struct band_result {
    band_end end;
    int32_t s, t, k;  // overlap: the snake on diagonal k from old position s to t
    point f, r;       // cut: the best forward and reverse points
    int32_t count;    // cut: the limit the search passed
};

class band_path {
  public:
    // The passes of `path`, for searches of at least `from` bytes each way
    // after `after` iterations on the storage.
    band_path(search_path path, int32_t from, int32_t after) : path_(path), from_(from), after_(after) {}
    band_path(const band_path &) = delete;
    band_path &operator=(const band_path &) = delete;

    // Whether a search over ranges of n and m bytes goes over the band (the
    // band takes positions below 2^29 only), and after how many iterations.
    bool takes(int32_t n, int32_t m) {
        return n >= from_ && m >= from_ && static_cast<int64_t>(n) + m < (INT64_C(1) << 29) && forms();
    }
    int32_t after() const { return after_; }

    // Runs the search; counts its effort in `counts` (may be null).
    band_result search(const band_task &t, search_counts *counts);

  private:
    // Looked up at the first search that could take them.
    const pass_forms *forms() {
        if (!forms_known_) {
            forms_ = passes_for(path_);
            forms_known_ = true;
        }
        return forms_;
    }

    diagonal_band band_;
    snapshot_store snapshots_;
    const search_path path_;
    const pass_forms *forms_ = nullptr;
    bool forms_known_ = false;
    const int32_t from_, after_;
};

}  // namespace kestrava_myers

#endif
