/* Internal to the delta engine: values of finished band searches kept for
   the searches that share a corner with them.

   A search that ends (overlap or cut) hands on the part before its snake or
   cut point, which starts at the same corner, and the part after it, which
   ends at the same corner. From a shared start the forward values of the
   new search are those of the old one, iteration for iteration, as long as
   none of them reaches past the new range's ends (values never decrease
   along the iterations, so checking the last one used is enough), and
   likewise the reverse values from a shared end. Every 64 iterations a
   search keeps the values of that iteration and the one before (one
   direction each), while the range ends clamp none of its diagonals; the
   search that shares the corner then skips those passes. */
#ifndef KESTRAVA_SEARCH_SNAPSHOTS_H
#define KESTRAVA_SEARCH_SNAPSHOTS_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace kestrava_myers {

// A growable array of values whose growth reports a failure instead of
// throwing (snapshots only save time: without memory they are dropped).
// Not std::vector<int32_t>, whose code the shared core would export.
class value_array {
  public:
    value_array() = default;
    value_array(value_array &&other) noexcept;
    value_array &operator=(value_array &&other) noexcept;
    value_array(const value_array &) = delete;
    value_array &operator=(const value_array &) = delete;
    ~value_array();

    size_t size() const { return size_; }
    int32_t *data() { return data_; }
    const int32_t *data() const { return data_; }
    // Room for `count` more values, or false.
    bool reserve_more(size_t count);
    void append(int32_t v) { data_[size_++] = v; }  // after reserve_more
    // Exactly `count` values (fewer than now, or room for more), or false.
    bool resize(size_t count);
    void clear();

  private:
    int32_t *data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
};

// The snapshots of one direction of one search.
struct snapshot_set {
    static const int32_t kEvery = 64;

    bool forward;
    // Absolute start (forward) or end (reverse) of the search's ranges, and
    // their lengths: a search over longer ranges from the same corner could
    // follow snakes past the ends that cut these values.
    int32_t corner_x, corner_y;
    int32_t n, m;
    // Snapshot j is of iteration s = 64 (j + 1): the values of the
    // diagonals -s, -s + 2 .. s, then those of iteration s - 1 (diagonals
    // -s + 1 .. s - 1). Forward values are x from the start; reverse values
    // x - n, from the end (so they hold for any range ending there).
    value_array values;
    int32_t last = 0;  // iteration of the last snapshot; 0 when none

    static size_t offset(int32_t s) {
        const size_t j = static_cast<size_t>(s / kEvery - 1);
        return static_cast<size_t>(kEvery) * j * (j + 1) + j;
    }
    // Values of iteration s (a multiple of 64), from diagonal -s on, and of
    // iteration s - 1, from diagonal -s + 1 on.
    const int32_t *at(int32_t s) const { return values.data() + offset(s); }
    const int32_t *before(int32_t s) const { return at(s) + s + 1; }
};

// The kept snapshot sets of a run, newest last, within a memory budget.
class snapshot_store {
  public:
    // The newest set for searches starting (forward) or ending there.
    const snapshot_set *find(bool forward, int32_t corner_x, int32_t corner_y) const;
    // Keeps the snapshots of a finished search up to iteration `up_to`,
    // dropping the oldest sets beyond the budget (or this one, without
    // memory for it).
    void keep(snapshot_set &&set, int32_t up_to);

    static const size_t kBudget = size_t(1) << 22;  // values kept, all sets together (16 MB)

  private:
    std::vector<snapshot_set> sets_;
    size_t values_ = 0;
};

// The last iteration (a multiple of 64, or 0) up to which the set's values
// are those a search over ranges of n and m bytes from (or to) the set's
// corner would compute: none past the ranges' ends (nor the set's own).
int32_t snapshots_valid_until(const snapshot_set &set, int32_t n, int32_t m);

}  // namespace kestrava_myers

#endif
