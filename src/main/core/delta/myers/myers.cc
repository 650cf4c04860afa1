// Entry point of the search, its record and the exported step functions.
#include "core/delta/myers/myers.h"

#include <stdlib.h>

#include <new>

#include "core/delta/common/search_rules.h"
#include "core/delta/myers/bits.h"
#include "core/delta/myers/middle_snake.h"
#include "core/delta/myers/task_list.h"

namespace kestrava_myers {
namespace {

// Iteration limit of each middle-snake search for a quality level.
int32_t quality_limit(uint32_t quality, int32_t cost_limit, int32_t old_length, int32_t new_length) {
    int32_t v = cost_limit;
    if (new_length < v) v = new_length;
    if (old_length < v) v = old_length;
    switch (quality) {
        case 0: return cost_limit;
        case 1: return v <= 255 ? 64 : v >> 2;
        case 2: return v <= 255 ? 16 : (v >> 2) >> 2;
        case 3: return 1;
        default: return -1;
    }
}

// Sets up a task list and runs it. Running out of memory for pending tasks
// ends the work like an exhausted storage: the caller sends the whole value.
template <typename Setup>
bool run_tasks(execution *e, work_stats *stats, Setup &&setup) {
    try {
        work w;
        if (!setup(w)) return false;
        return run(e, w, stats);
    } catch (const std::bad_alloc &) {
        return false;
    }
}

}  // namespace

int32_t binary_diff(const buf *old_value, int32_t old_offset, int32_t old_length, const buf *new_value,
                    int32_t new_offset, int32_t new_length, edit_script *script, int32_t storage_limit,
                    int32_t cost_limit, uint32_t quality, work_stats *stats, search_path path,
                    int32_t band_from, int32_t band_after) {
    if (myers_binary_diff_check_bounds(old_value, old_offset, old_length) == -1 ||
        myers_binary_diff_check_bounds(new_value, new_offset, new_length) == -1)
        return -1;

    coallescing_script cs;
    cs.script = script;
    cs.old_base = old_offset;
    cs.new_base = new_offset;
    cs.state = 2;
    cs.offset = 0;
    cs.run_length = 0;
    cs.single_run = true;

    int32_t limit = quality_limit(quality, cost_limit, old_length, new_length);
    execution *e = execution_create(old_value, new_value, &cs, storage_limit, limit);
    if (!e) return 1;  // no memory for the search: the caller sends the whole value
    // Nobody else sees this run's execution, so its searches may keep their
    // values in a band of their own instead of the storage.
    band_path band(path, band_from, band_after);
    bool ok = run_tasks(e, stats, [&](work &w) {
        w.band = &band;
        if (quality == 4)
            w.trim(old_offset, old_length, new_offset, new_length);
        else
            w.diff(old_offset, old_length, new_offset, new_length);
        return true;
    });
    execution_free(e);
    if (!ok) return 1;
    return coallescing_script_close(&cs, old_length, new_length);
}

}  // namespace kestrava_myers

using kestrava_myers::work;

namespace {

template <typename Setup>
bool run_steps(execution *e, Setup &&setup) {
    return kestrava_myers::run_tasks(e, nullptr, setup);
}

}  // namespace

extern "C" {

int32_t myers_binary_diff(const buf *old_value, int32_t old_offset, int32_t old_length, const buf *new_value,
                          int32_t new_offset, int32_t new_length, edit_script *script, int32_t storage_limit,
                          int32_t cost_limit, uint32_t quality) {
    return kestrava_myers::binary_diff(old_value, old_offset, old_length, new_value, new_offset, new_length, script,
                                       storage_limit, cost_limit, quality, nullptr);
}

int32_t myers_binary_diff_check_bounds(const buf *b, int32_t offset, int32_t length) {
    if (offset < 0 || length < 0) return -1;
    // Wide sum: an offset and length that overflow 32 bits are out of range too.
    if (static_cast<int64_t>(offset) + length > static_cast<int64_t>(static_cast<int32_t>(b->len))) return -1;
    return 0;
}

int32_t myers_binary_diff_corner(int32_t d, int32_t n) { return kestrava_myers::corner(d, n); }

int32_t myers_binary_diff_bailout_limit(int32_t a, int32_t b, int32_t c) {
    int64_t root = approx_cube_root(static_cast<int64_t>(b) + c);
    // 32-bit product with two's-complement wrap-around.
    int32_t r = static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(root));
    return r < 25600 ? 256 : r / 100;
}

execution *execution_create(const buf *old_value, const buf *new_value, coallescing_script *script,
                            int32_t storage_limit, int32_t cost_limit) {
    execution *e = static_cast<execution *>(calloc(1, sizeof(execution)));
    if (!e) return nullptr;
    e->storage = storage_create(storage_limit);
    if (!e->storage) {
        free(e);
        return nullptr;
    }
    e->old_buf = old_value;
    e->new_buf = new_value;
    e->script = script;
    e->cost_limit = cost_limit;
    return e;
}

void execution_free(execution *e) {
    if (!e) return;
    storage_free(e->storage);
    free(e);
}

bool execution_diff(execution *e, int32_t a, int32_t n, int32_t b, int32_t m, int32_t limit) {
    (void)limit;  // every search started here uses the execution's own limit
    return run_steps(e, [&](work &w) {
        w.diff(a, n, b, m);
        return true;
    });
}

bool execution_trim_prefix_and_suffix(execution *e, int32_t a, int32_t n, int32_t b, int32_t m) {
    return run_steps(e, [&](work &w) {
        w.trim(a, n, b, m);
        return true;
    });
}

bool execution_recurse(execution *e, int32_t a, int32_t n, int32_t b, int32_t m, int32_t s, int32_t t, int32_t k) {
    return run_steps(e, [&](work &w) {
        w.prefix_diff(a + t, n - t, b + t + k, m - t - k, e->cost_limit);
        w.match(a + s, t - s);
        w.suffix_diff(a, s, b, s + k, 0, e->cost_limit);
        return true;
    });
}

bool execution_prefix_diff(execution *e, int32_t a, int32_t n, int32_t b, int32_t m, int32_t limit) {
    return run_steps(e, [&](work &w) {
        w.prefix_diff(a, n, b, m, limit);
        return true;
    });
}

bool execution_suffix_diff(execution *e, int32_t a, int32_t n, int32_t b, int32_t m, int32_t pos, int32_t limit) {
    return run_steps(e, [&](work &w) {
        w.suffix_diff(a, n, b, m, pos, limit);
        return true;
    });
}

bool execution_middlesnake(execution *e, int32_t a, int32_t n, int32_t b, int32_t m, int32_t limit) {
    return run_steps(e, [&](work &w) {
        w.middlesnake(a, n, b, m, limit);
        return true;
    });
}

bool execution_bail(execution *e, int32_t a, int32_t n, int32_t b, int32_t m, int32_t corner_old, int32_t corner_new,
                    int32_t count) {
    return run_steps(e, [&](work &w) {
        return kestrava_myers::push_bail(e, w, a, n, b, m, corner_old, corner_new, count);
    });
}

bool execution_bounded_diff(execution *e, int32_t a, int32_t n, int32_t b, int32_t m, int32_t total_old,
                            int32_t total_new, int32_t limit) {
    return run_steps(e, [&](work &w) {
        kestrava_myers::push_bounded_diff(e, w, a, n, b, m, total_old, total_new, limit);
        return true;
    });
}

}  // extern "C"
