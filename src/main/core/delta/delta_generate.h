/* Public entry points that produce a delta from an old and a new value. */
#ifndef KESTRAVA_DELTA_GENERATE_H
#define KESTRAVA_DELTA_GENERATE_H

#include <stdint.h>

#include "core/buffer/buf.h"
#include "core/delta/activity_history.h"

KESTRAVA_API buf *diff_generate_binary(const buf *old_value, const buf *new_value);
KESTRAVA_API buf *diff_generate_binary_ex(const buf *old_value, const buf *new_value,
                                          int32_t storage_limit, int32_t cost_limit);
KESTRAVA_API buf *diff_generate_binary_with_activity_history(activity_history *h, const buf *old_value,
                                                             const buf *new_value);
KESTRAVA_API buf *diff_generate_binary_with_activity_history_ex(activity_history *h, const buf *old_value,
                                                                const buf *new_value, int32_t storage_limit,
                                                                int32_t cost_limit);
KESTRAVA_API buf *_write_replacement_delta(const buf *new_value);

#endif
