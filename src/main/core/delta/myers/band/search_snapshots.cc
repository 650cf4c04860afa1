#include "core/delta/myers/band/search_snapshots.h"

#include <stdlib.h>

#include <new>
#include <utility>

namespace kestrava_myers {

value_array::value_array(value_array &&other) noexcept
    : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
}

value_array &value_array::operator=(value_array &&other) noexcept {
    if (this != &other) {
        free(data_);
        data_ = other.data_;
        size_ = other.size_;
        capacity_ = other.capacity_;
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    return *this;
}

value_array::~value_array() { free(data_); }

bool value_array::reserve_more(size_t count) {
    if (count <= capacity_ - size_) return true;
    if (count > SIZE_MAX / sizeof(int32_t) - size_) return false;
    size_t want = capacity_ ? capacity_ : 256;
    while (want < size_ + count) want = want > SIZE_MAX / sizeof(int32_t) / 2 ? size_ + count : 2 * want;
    int32_t *grown = static_cast<int32_t *>(realloc(data_, want * sizeof(int32_t)));
    if (!grown) return false;
    data_ = grown;
    capacity_ = want;
    return true;
}

bool value_array::resize(size_t count) {
    if (count > size_ && !reserve_more(count - size_)) return false;
    if (count < size_ && count > 0) {
        // Give back what is no longer needed (where realloc can).
        int32_t *shrunk = static_cast<int32_t *>(realloc(data_, count * sizeof(int32_t)));
        if (shrunk) {
            data_ = shrunk;
            capacity_ = count;
        }
    }
    size_ = count;
    return true;
}

void value_array::clear() {
    free(data_);
    data_ = nullptr;
    size_ = capacity_ = 0;
}

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
    set.last = last;
    if (set.values.size() > kBudget) return;
    while (!sets_.empty() && values_ + set.values.size() > kBudget) {
        values_ -= sets_.front().values.size();
        sets_.erase(sets_.begin());
    }
    try {
        sets_.push_back(std::move(set));
    } catch (const std::bad_alloc &) {
        return;
    }
    values_ += sets_.back().values.size();
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
