/* Activity history: how busy the caller has recently been, from which the
   delta search's quality level is chosen. */
#ifndef KESTRAVA_ACTIVITY_HISTORY_H
#define KESTRAVA_ACTIVITY_HISTORY_H

#include <stdint.h>

#include "core/export.h"

typedef struct activity_history {
    int32_t last_delta_quality;
    uint64_t *slots;
    uint64_t slot_count, slot_length;
    int32_t slot_shift, slot_mask;
    uint64_t current_slot, start_time, busy_total;
    int32_t scale_shift;
} activity_history;

KESTRAVA_API activity_history *kestrava_activity_history_create(int32_t slots, int64_t slot_length);
KESTRAVA_API void kestrava_activity_history_free(activity_history *h);
KESTRAVA_API void kestrava_activity_history_start(activity_history *h);
KESTRAVA_API void kestrava_activity_history_stop(activity_history *h);
KESTRAVA_API void _activity_history_start(activity_history *h, uint64_t now);
KESTRAVA_API void _activity_history_stop(activity_history *h, uint64_t now);
KESTRAVA_API int32_t kestrava_activity_history_utilisation(const activity_history *h);
KESTRAVA_API int32_t kestrava_activity_history_get_last_delta_quality(const activity_history *h);

#endif
