/* Internal to the delta engine: the search's steps as a list of pending
   tasks instead of native recursion.

   Every step of the search emits its operations in the order of the new
   value and, apart from emitting, only decides which sub-steps come next.
   Running the pending sub-steps last-in first-out therefore hands the
   coalescing script exactly the same operations in the same order as
   nested calls would, while the native stack stays flat however deep the
   chain of cuts nests (linear in the input size on unrelated data). */
#ifndef KESTRAVA_MYERS_WORK_H
#define KESTRAVA_MYERS_WORK_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "delta/myers/myers.h"
#include "delta/myers/band/search_passes.h"

namespace kestrava_myers {

class diagonal_band;
class snapshot_store;

// Searches whose ranges are both at least this long move to the band after
// this many iterations (shorter searches do not pay for it).
const int32_t kBandFrom = 128;
const int32_t kBandAfter = 32;

enum class step : uint8_t { match, insert, erase, diff, trim, suffix_diff, prefix_diff, middlesnake };

struct task {
    step kind;
    int32_t level;  // number of enclosing middle-snake searches
    int32_t a, n, b, m;
    int32_t p, q;  // suffix_diff: pos, limit; prefix_diff, middlesnake: limit
};

// What a run costs in depth: for measurements, not for the result.
struct work_stats {
    size_t peak_pending;  // most tasks waiting at once
    int32_t peak_level;   // deepest nesting of middle-snake searches
    uint64_t searches;    // middle-snake searches run
    uint64_t iterations;  // their iterations, all together
    uint64_t diagonals;   // diagonals visited by their passes, all together
    uint64_t lent;        // of those, diagonals whose passes were skipped for values kept from earlier searches
    uint64_t settled;     // diagonals of passes computed again where those values ran out
};

class work {
  public:
    explicit work(int32_t level = 0) : level_(level) {}

    void match(int32_t a, int32_t n) {
        if (n > 0) push({step::match, level_, a, n, 0, 0, 0, 0});
    }
    void insert(int32_t b, int32_t m) {
        if (m > 0) push({step::insert, level_, 0, 0, b, m, 0, 0});
    }
    void erase() { push({step::erase, level_, 0, 0, 0, 0, 0, 0}); }
    void diff(int32_t a, int32_t n, int32_t b, int32_t m) { push({step::diff, level_, a, n, b, m, 0, 0}); }
    void trim(int32_t a, int32_t n, int32_t b, int32_t m) { push({step::trim, level_, a, n, b, m, 0, 0}); }
    void suffix_diff(int32_t a, int32_t n, int32_t b, int32_t m, int32_t pos, int32_t limit) {
        push({step::suffix_diff, level_, a, n, b, m, pos, limit});
    }
    void prefix_diff(int32_t a, int32_t n, int32_t b, int32_t m, int32_t limit) {
        push({step::prefix_diff, level_, a, n, b, m, limit, 0});
    }
    void middlesnake(int32_t a, int32_t n, int32_t b, int32_t m, int32_t limit) {
        push({step::middlesnake, level_, a, n, b, m, limit, 0});
    }

    // Where searches report their effort; may be null.
    work_stats *stats = nullptr;
    // The passes and band of the run's searches: with `band`, searches of at
    // least `band_from` bytes each way run over it with the forms of `path`
    // (looked up at the first); others work step by step on the storage.
    diagonal_band *band = nullptr;
    snapshot_store *snapshots = nullptr;  // values searches leave for others; may be null
    search_path path = search_path::storage;
    int32_t band_from = kBandFrom;
    int32_t band_after = kBandAfter;
    const pass_forms *forms() {
        if (!forms_known_) {
            forms_ = passes_for(path);
            forms_known_ = true;
        }
        return forms_;
    }

    // Tasks pushed from now on belong to this nesting level.
    void set_level(int32_t level) { level_ = level; }

    bool empty() const { return tasks_.empty(); }
    size_t size() const { return tasks_.size(); }
    task pop() {
        task t = tasks_.back();
        tasks_.pop_back();
        return t;
    }

  private:
    void push(const task &t) { tasks_.push_back(t); }

    const pass_forms *forms_ = nullptr;
    bool forms_known_ = false;

    std::vector<task> tasks_;
    int32_t level_;
};

// 2^g * d with g the number of base-4 digits of d: the least advance of the
// two frontiers that counts as progress at a check every 64 iterations.
inline int64_t progress_needed(int32_t d) {
    int32_t g = 0;
    for (uint32_t v = static_cast<uint32_t>(d); v; v >>= 2) ++g;
    return static_cast<int64_t>(d) << g;
}

// Runs the pending tasks to completion; false as soon as one fails (budget
// used up or storage exhausted). Growing the list may throw std::bad_alloc.
bool run(execution *e, work &w, work_stats *stats);

// Pushes the sub-steps that finish a middle-snake search which passed its
// limit at the iteration with the given corners (the cut). False when the
// storage holds no values.
bool push_bail(execution *e, work &w, int32_t a, int32_t n, int32_t b, int32_t m, int32_t corner_old,
               int32_t corner_new, int32_t count);

// Pushes the sub-steps of a large unexplored middle left by a cut.
void push_bounded_diff(execution *e, work &w, int32_t a, int32_t n, int32_t b, int32_t m, int32_t total_old,
                       int32_t total_new, int32_t limit);

// One middle-snake search; pushes the sub-steps it ends in. False when the
// storage is exhausted.
bool middlesnake(execution *e, work &w, const task &t);

// The whole diff of two ranges with measurements: myers_binary_diff's
// contract plus the depth the run reached.
// `path` chooses the passes of the searches (the plain step-by-step search
// on the storage, or forms of the passes over a diagonal band for searches
// of at least `band_from` bytes each way, after `band_after` iterations);
// the tests run each in turn, with every search on the band from its start.
int32_t binary_diff(const buf *old_value, int32_t old_offset, int32_t old_length, const buf *new_value,
                    int32_t new_offset, int32_t new_length, edit_script *script, int32_t storage_limit,
                    int32_t cost_limit, uint32_t quality, work_stats *stats,
                    search_path path = search_path::automatic, int32_t band_from = kBandFrom,
                    int32_t band_after = kBandAfter);

}  // namespace kestrava_myers

#endif
