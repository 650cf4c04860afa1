#include "delta/search_snapshots.h"

#include <utility>

namespace kestrava_myers {

const snapshot_set *snapshot_store::find(bool forward, int32_t corner_x, int32_t corner_y) const {
    for (size_t i = sets_.size(); i-- > 0;) {
        const snapshot_set &s = sets_[i];
        if (s.forward == forward && s.corner_x == corner_x && s.corner_y == corner_y) return &s;
    }
    return nullptr;
}

void snapshot_store::keep(snapshot_set &&set, int32_t up_to) {
    int32_t last = up_to - up_to % snapshot_set::kEvery;
    if (last > set.last) last = set.last;
    if (last < snapshot_set::kEvery) return;
    set.values.resize(snapshot_set::offset(last + snapshot_set::kEvery));
    set.values.shrink_to_fit();
    set.last = last;
    if (set.values.size() > kBudget) return;
    while (!sets_.empty() && values_ + set.values.size() > kBudget) {
        values_ -= sets_.front().values.size();
        sets_.erase(sets_.begin());
    }
    values_ += set.values.size();
    sets_.push_back(std::move(set));
}

int32_t snapshots_valid_until(const snapshot_set &set, int32_t n, int32_t m) {
    int32_t valid = 0;
    if (n > set.n || m > set.m) return valid;
    for (int32_t s = snapshot_set::kEvery; s <= set.last && s <= n && s <= m; s += snapshot_set::kEvery) {
        // Iteration s, then s - 1: diagonals from -s (or -s + 1) in steps of 2.
        for (int32_t pass = 0; pass < 2; ++pass) {
            const int32_t d = s - pass;
            const int32_t *v = pass ? set.before(s) : set.at(s);
            for (int32_t i = 0, k = -d; k <= d; ++i, k += 2) {
                // Forward: x <= n and y = x + k <= m. Reverse (x - n stored):
                // x >= 0 and y = x - (n - m - k) >= 0.
                const int64_t x = v[i];
                if (set.forward ? (x > n || x + k > m) : (x + n < 0 || x + m + k < 0)) return valid;
            }
        }
        valid = s;
    }
    return valid;
}

}  // namespace kestrava_myers
