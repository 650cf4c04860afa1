// The trimming steps around the middle-snake search and the loop that runs
// pending tasks.
#include "core/delta/common/byte_match.h"
#include "core/delta/myers/middle_snake.h"
#include "core/delta/myers/task_list.h"

namespace kestrava_myers {

using kestrava_bytes::common_prefix;
using kestrava_bytes::common_suffix;

namespace {

const uint8_t *old_at(const execution *e, int32_t pos) { return e->old_buf->data + pos; }
const uint8_t *new_at(const execution *e, int32_t pos) { return e->new_buf->data + pos; }

// Common prefix of the ranges (a, n) and (b, m).
int32_t prefix_length(const execution *e, int32_t a, int32_t n, int32_t b, int32_t m) {
    int32_t limit = n < m ? n : m;
    if (limit <= 0) return 0;
    return static_cast<int32_t>(common_prefix(old_at(e, a), new_at(e, b), static_cast<size_t>(limit)));
}

// Start i of the common suffix of (a, n) and (b, m) that keeps i >= lower:
// old[a + i, a + n) equals new[b + i + m - n, b + m).
int32_t suffix_start(const execution *e, int32_t a, int32_t n, int32_t b, int32_t m, int32_t lower) {
    int32_t limit = n - lower;
    if (limit <= 0) return n;
    return n - static_cast<int32_t>(common_suffix(old_at(e, a) + n, new_at(e, b) + m, static_cast<size_t>(limit)));
}

bool emit_match(execution *e, int32_t a, int32_t n) { return coallescing_script_match(e->script, a, n); }
bool emit_insert(execution *e, int32_t b, int32_t m) { return coallescing_script_insert(e->script, b, m); }
bool emit_delete(execution *e) { return coallescing_script_delete(e->script); }

// The first pos bytes of both ranges already matched: trim the common
// suffix and hand the middle on.
void suffix_diff(work &w, const execution *e, int32_t a, int32_t n, int32_t b, int32_t m, int32_t pos,
                 int32_t limit) {
    int32_t lower = pos + (n > m ? n - m : 0);
    int32_t i = suffix_start(e, a, n, b, m, lower);
    w.match(a + i, n - i);
    if (pos == i)
        w.insert(b + i, m - n);
    else if (pos == i + m - n)
        w.erase();
    else
        w.middlesnake(a + pos, i - pos, b + pos, i + m - n - pos, limit);
}

bool prefix_diff(work &w, execution *e, int32_t a, int32_t n, int32_t b, int32_t m, int32_t limit) {
    int32_t p = prefix_length(e, a, n, b, m);
    if (!emit_match(e, a, p)) return false;
    if (n == p) return emit_insert(e, b + n, m - n);
    if (m == p) return emit_delete(e);
    w.middlesnake(a + p, n - p, b + p, m - p, limit);
    return true;
}

bool diff(work &w, execution *e, int32_t a, int32_t n, int32_t b, int32_t m) {
    int32_t p = prefix_length(e, a, n, b, m);
    if (!emit_match(e, a, p)) return false;
    suffix_diff(w, e, a, n, b, m, p, e->cost_limit);
    return true;
}

// Prefix and suffix only; the middle is replaced without any search.
bool trim(execution *e, int32_t a, int32_t n, int32_t b, int32_t m) {
    int32_t p = prefix_length(e, a, n, b, m);
    if (!emit_match(e, a, p)) return false;
    int32_t j = suffix_start(e, a, n, b, m, p + (n > m ? n - m : 0));
    if (j == p) {
        if (!emit_insert(e, b + j, m - n)) return false;
    } else if (j + m - n == p) {
        if (!emit_delete(e)) return false;
    } else {
        if (!emit_insert(e, b + p, j + m - n - p)) return false;
        if (!emit_delete(e)) return false;
    }
    return emit_match(e, a + j, n - j);
}

bool run_task(execution *e, work &w, const task &t) {
    w.set_level(t.level);
    switch (t.kind) {
        case step::match: return emit_match(e, t.a, t.n);
        case step::insert: return emit_insert(e, t.b, t.m);
        case step::erase: return emit_delete(e);
        case step::diff: return diff(w, e, t.a, t.n, t.b, t.m);
        case step::trim: return trim(e, t.a, t.n, t.b, t.m);
        case step::suffix_diff: suffix_diff(w, e, t.a, t.n, t.b, t.m, t.p, t.q); return true;
        case step::prefix_diff: return prefix_diff(w, e, t.a, t.n, t.b, t.m, t.p);
        case step::middlesnake: return middlesnake(e, w, t);
    }
    return false;
}

}  // namespace

bool run(execution *e, work &w, work_stats *stats) {
    w.stats = stats;
    while (!w.empty()) {
        if (stats && w.size() > stats->peak_pending) stats->peak_pending = w.size();
        task t = w.pop();
        if (stats && t.kind == step::middlesnake) {
            ++stats->searches;
            if (t.level + 1 > stats->peak_level) stats->peak_level = t.level + 1;
        }
        if (!run_task(e, w, t)) return false;
    }
    return true;
}

}  // namespace kestrava_myers
