/* The indexed delta generator: the same delta format and size guarantees as
   diff_generate_binary, for large values with moved, inserted,
   deleted, duplicated or reordered blocks.

   First pass: copies anywhere in the old value are found with an index of
   the old value's 16-byte windows at sampled positions (every 8 bytes up to
   1 MiB of old value, every 16 above), looked up with a rolling hash of the
   new value, and extended both ways. Near the end of each copy the
   continuation is first looked for on nearby diagonals, so the index is
   only built when that fails. The small gap between two copies that follow
   each other in the old value is encoded by the bounded Myers
   search (myers_binary_diff), so scattered small edits come out as compact
   as with diff_generate_binary; other gaps are inserted.
   Second pass: the stretches made of inserts and short copies are parsed
   again against the whole old value (matches from 6 bytes on, the cheapest
   sequence of items by their CBOR sizes), unless a sample of their bytes
   shows next to nothing in common with the old value. Few stretches (one
   batch of 1/64 of the old value), or old values up to 2 MiB, go in
   batches that each scan the old value for every match; otherwise the old
   value is scanned once into a table of the grams the stretches hold (a
   few positions per gram and per longer key), which every stretch then
   looks up. Throughout, a copy
   whose CBOR heads cost more than the bytes it stands for is folded into
   the inserts around it.

   Results, as with diff_generate_binary: equal values of 2 bytes or more give
   the single byte f6; an edit-script delta is strictly shorter than the new
   value, otherwise the replacement delta is returned. Deterministic: the same
   values give the same bytes on every platform (32-bit included): all
   hashing is 32- or 64-bit unsigned arithmetic on the bytes alone.

   Memory beyond the two values and the delta it returns: in the first pass
   the index, at most the old value's size (half of it above 1 MiB), and a
   few KB for the search of each gap; in the second pass at most about 0.6
   times the old value's size (at least about 80 KB), and a second copy of
   the delta while it is rewritten. Null
   when a value has 2^31 bytes or more or memory for the first pass runs out;
   without memory for the second pass the first pass's delta is returned. */
#ifndef KESTRAVA_DELTA_INDEXED_H
#define KESTRAVA_DELTA_INDEXED_H

#include "core/buffer/buf.h"

KESTRAVA_API buf *diff_generate_binary_indexed(const buf *old_value, const buf *new_value);

#endif
