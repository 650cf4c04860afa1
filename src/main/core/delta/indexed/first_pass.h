/* Internal to the indexed delta generator: its first pass, which finds the
   copies through an index of the old value and encodes the gaps between
   them with the Myers search. */
#ifndef KESTRAVA_INDEXED_FIRST_PASS_H
#define KESTRAVA_INDEXED_FIRST_PASS_H

#include <stdint.h>

#include "core/delta/indexed/emitter.h"

namespace kestrava_indexed {

// What the first pass did, for tests and benchmarks: the gaps it searched
// and the larger ones it sent as inserts since their two sides share too
// little (`search_all` searches those too).
struct first_pass_work {
    bool search_all = false;
    uint32_t searched = 0, sparse = 0;
};

// Writes the delta of new[0, n_new) against old[0, n_old) into `out` (whose
// limit is set): `out.over` once it would not be shorter than the limit.
// False when memory for the index runs out (`out.oom` likewise for the
// delta itself).
bool first_pass(const uint8_t *old_v, uint32_t n_old, const uint8_t *new_v, uint32_t n_new, output &out,
                first_pass_work *work = nullptr);

}  // namespace kestrava_indexed

#endif
