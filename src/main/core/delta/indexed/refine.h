/* Internal to the indexed delta generator: its second pass. */
#ifndef KESTRAVA_INDEXED_REFINE_H
#define KESTRAVA_INDEXED_REFINE_H

#include <stdint.h>

#include "core/delta/indexed/emitter.h"
#include "core/delta/indexed/one_scan.h"

namespace kestrava_indexed {

// Re-encodes the stretches of a finished delta made of inserts and short
// copies with the shortest copies from anywhere in the old value (an optimal
// parse of each stretch over the longest match at each of its positions).
// Writes into `out`: 1 when something was parsed again, 0 when nothing was
// (`out` is then of no use), -1 when memory runs out. `work`, when given,
// gets what the pass did.
int refine(const uint8_t *old_v, uint32_t n_old, const uint8_t *new_v, uint32_t n_new, const output &first,
           output &out, refine_work *work = nullptr);

}  // namespace kestrava_indexed

#endif
