/* Internal to the indexed delta generator: the second pass in one scan of
   the old value, for deltas with many bytes to parse again. */
#ifndef KESTRAVA_INDEXED_ONE_SCAN_H
#define KESTRAVA_INDEXED_ONE_SCAN_H

#include <stdint.h>

#include "core/delta/indexed/emitter.h"
#include "core/delta/script/item_codec.h"

namespace kestrava_indexed {

// Copies shorter than this are parsed again with the inserts around them.
constexpr uint32_t kSoftCopy = 64;
// Stretches with fewer inserted bytes are kept as they are.
constexpr uint32_t kMinInserted = 4;

inline bool soft_item(const kestrava_items::item &it) { return !it.copy || it.len < kSoftCopy; }

// What the second pass did, for tests and benchmarks: old positions hashed
// and tested (over all scans of the old value), new positions looked up,
// candidates met and those whose old bytes were read (the others' tags told
// them apart), and which form ran. `force` makes refine() run the batches
// (1) or the one scan (2) whatever they cost.
struct refine_work {
    int force = 0;
    uint64_t probes = 0, lookups = 0, candidates = 0, compared = 0;
    uint32_t scans = 0;
    bool one_scan = false;
};

// The second pass over `first`'s stretches of inserts and short copies
// (`gathered` bytes of them) in one scan of the old value: 1 when `out`
// holds the new delta, 0 when the stretches share next to nothing with the
// old value (`out` is then of no use), -1 when memory runs out.
int refine_one_scan(const uint8_t *old_v, uint32_t n_old, const uint8_t *new_v, uint32_t n_new, const output &first,
                    uint64_t gathered, output &out, refine_work &work);

}  // namespace kestrava_indexed

#endif
