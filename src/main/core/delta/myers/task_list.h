/* Internal to the delta engine: the search's steps as a list of pending
   tasks instead of native recursion.

   Every step of the search emits its operations in the order of the new
   value and, apart from emitting, only decides which sub-steps come next.
   Running the pending sub-steps last-in first-out therefore hands the
   coalescing script exactly the same operations in the same order as
   nested calls would, while the native stack stays flat however deep the
   chain of cuts nests (linear in the input size on unrelated data). */
#ifndef KESTRAVA_TASK_LIST_H
#define KESTRAVA_TASK_LIST_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "core/delta/myers/band/band_search.h"
#include "core/delta/myers/myers.h"

namespace kestrava_myers {

enum class step : uint8_t { match, insert, erase, diff, trim, suffix_diff, prefix_diff, middlesnake };

struct task {
    step kind;
    int32_t level;  // number of enclosing middle-snake searches
    int32_t a, n, b, m;
    int32_t p, q;  // suffix_diff: pos, limit; prefix_diff, middlesnake: limit
};

// What a run costs: the effort of its middle-snake searches and its depth.
// For measurements, not for the result.
struct work_stats : search_counts {
    size_t peak_pending;  // most tasks waiting at once
    int32_t peak_level;   // deepest nesting of middle-snake searches
    uint64_t searches;    // middle-snake searches run
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
    // The fast layer of the run's searches; null: every search works step
    // by step on the storage (the exported step functions, whose callers
    // may read the storage afterwards).
    band_path *band = nullptr;

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

    std::vector<task> tasks_;
    int32_t level_;
};

// Runs the pending tasks to completion; false as soon as one fails (budget
// used up or storage exhausted). Growing the list may throw std::bad_alloc.
bool run(execution *e, work &w, work_stats *stats);

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
