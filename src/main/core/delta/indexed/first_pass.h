/* Internal to the indexed delta generator: its first pass, which finds the
   copies through an index of the old value and encodes the gaps between
   them with the Myers search. */
#ifndef KESTRAVA_INDEXED_FIRST_PASS_H
#define KESTRAVA_INDEXED_FIRST_PASS_H

#include <stdint.h>

#include "core/delta/indexed/emitter.h"

namespace kestrava_indexed {

// Writes the delta of new[0, n_new) against old[0, n_old) into `out` (whose
// limit is set): `out.over` once it would not be shorter than the limit.
// False when memory for the index runs out (`out.oom` likewise for the
// delta itself).
bool first_pass(const uint8_t *old_v, uint32_t n_old, const uint8_t *new_v, uint32_t n_new, output &out);

}  // namespace kestrava_indexed

#endif
