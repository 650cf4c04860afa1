/* Applying a delta (a bare sequence of CBOR items) to an old value. */
#ifndef KESTRAVA_DELTA_APPLY_H
#define KESTRAVA_DELTA_APPLY_H

#include <stdint.h>

#include "core/buffer/buf.h"

KESTRAVA_API buf *diff_apply_binary(const buf *old_value, const buf *delta);
/* As diff_apply_binary, but null as soon as the output would grow past
   `max_length` bytes, before storage for it is allocated. */
KESTRAVA_API buf *diff_apply_binary_limited(const buf *old_value, const buf *delta, uint64_t max_length);

#endif
