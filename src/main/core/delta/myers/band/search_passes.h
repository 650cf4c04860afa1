/* Internal to the delta engine: one pass of the middle-snake search over a
   run of diagonals of one parity in a diagonal_band, in interchangeable
   forms (plain scalar code, and vector code chosen at run time when the
   processor has it). Every form computes exactly the values, the overlap
   and the order of the step-by-step search. */
#ifndef KESTRAVA_SEARCH_PASSES_H
#define KESTRAVA_SEARCH_PASSES_H

#include <stdint.h>

namespace kestrava_myers {

// What a vector pass saw, for choosing the form of the next one.
struct pass_stats {
    uint32_t extra_windows;  // byte windows beyond the first of each vector
    uint32_t matches;        // diagonals whose first bytes matched
};

// A pass over `count` diagonals, the i-th being k0 + 2i (forward) or the
// reverse diagonal m0 + 2i (reverse, l = l0 - 2i: the points y = x - l).
// Positions fit 31 bits with room to spare (n + m < 2^29).
struct pass_job {
    const uint8_t *old_v, *new_v;  // the ranges of the search
    int32_t n, m;                  // their lengths
    int32_t count;
    int32_t k0;  // forward: first diagonal
    int32_t l0;  // reverse: l of the first reverse diagonal
    // Values of the previous iteration: diagonal i has its neighbours at
    // prev[i] (k - 1) and prev[i + 1] (k + 1).
    const int32_t *prev;
    int32_t *out;  // out[i]: the new value of diagonal i
    // The opposite search's values for the overlap test, which applies to
    // diagonals check_begin <= i < check_end: other[i - check_begin].
    // Forward: meets when other <= x; reverse: when other >= x.
    const int32_t *other;
    int32_t check_begin, check_end;
    pass_stats *stats;  // vector passes report here when they run to the end; may be null
};

// Where a pass met the opposite search: diagonal `index`, whose snake runs
// from old position s to t (s <= t).
struct pass_hit {
    int32_t index, s, t;
};

// Returns true and fills `hit` at the first diagonal (in increasing order)
// where the searches meet; the values of the diagonals before it are
// written, its own and later ones not.
typedef bool (*pass_fn)(const pass_job &, pass_hit &);

// Whether theirs[i] <= mine[i] (forward: a reverse value at or below a
// forward one) or theirs[i] >= mine[i] (reverse) for any i < count: the
// overlap test of a pass that was skipped, against bounds of its values.
typedef bool (*meets_fn)(const int32_t *theirs, const int32_t *mine, int32_t count);

struct search_passes {
    pass_fn forward, reverse;
    meets_fn forward_meets, reverse_meets;
};

// The forms a run may choose from, pass by pass: where the diagonals'
// bytes lie far apart (after long snakes) the scalar form is fastest, where
// short snakes are common the vector form that compares four bytes at once.
struct pass_forms {
    search_passes first_bytes, four_bytes, scalar;
    bool adaptive;  // choose by what the passes saw; else always first_bytes
};

// Which passes a run uses. `storage` is the step-by-step search on the
// storage record itself (what the exported step functions run, since their
// callers may read the storage afterwards); the others run over a diagonal
// band: one form throughout (`scalar`, `avx512_first`, `avx512_four`), or
// chosen pass by pass (`avx512`).
enum class search_path : uint8_t { storage, scalar, avx512_first, avx512_four, avx512, automatic };

// The forms of a path, or null when this processor cannot run it (and for
// `storage`). `automatic` is the fastest this processor can run.
const pass_forms *passes_for(search_path path);

extern const search_passes kScalarPasses;
#if defined(__x86_64__) || defined(__i386__)
#define KESTRAVA_HAVE_AVX512_PASSES 1
extern const search_passes kAvx512Passes;
extern const search_passes kAvx512FourPasses;
#endif

}  // namespace kestrava_myers

#endif
