/* Applying a delta (a bare sequence of CBOR items) to an old value. */
#ifndef KESTRAVA_DELTA_APPLY_H
#define KESTRAVA_DELTA_APPLY_H

#include "buffer/buf.h"

KESTRAVA_API buf *diff_apply_binary(const buf *old_value, const buf *delta);

#endif
