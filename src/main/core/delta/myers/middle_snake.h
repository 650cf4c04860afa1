/* Internal to the delta engine: the middle-snake search as a step of the
   task list, the cut of a search that passed its limit (bail), and the
   treatment of the unexplored middle a cut leaves. */
#ifndef KESTRAVA_MIDDLE_SNAKE_H
#define KESTRAVA_MIDDLE_SNAKE_H

#include <stdint.h>

#include "core/delta/myers/task_list.h"

namespace kestrava_myers {

// One middle-snake search; pushes the sub-steps it ends in. Searches the
// run's band_path takes go over the band (from their start, or after its
// first iterations); others step by step on the storage. False when the
// storage is exhausted.
bool middlesnake(execution *e, work &w, const task &t);

// Pushes the sub-steps that finish a middle-snake search which passed its
// limit at the iteration with the given corners (the cut). False when the
// storage holds no values.
bool push_bail(execution *e, work &w, int32_t a, int32_t n, int32_t b, int32_t m, int32_t corner_old,
               int32_t corner_new, int32_t count);

// Pushes the sub-steps of a large unexplored middle left by a cut.
void push_bounded_diff(execution *e, work &w, int32_t a, int32_t n, int32_t b, int32_t m, int32_t total_old,
                       int32_t total_new, int32_t limit);

}  // namespace kestrava_myers

#endif
