/* Internal to the indexed delta generator: the cheapest sequence of items
   for a stretch of the new value, given the longest match in the old value
   at each of its positions. */
#ifndef KESTRAVA_INDEXED_PARSE_H
#define KESTRAVA_INDEXED_PARSE_H

#include <stdint.h>

#include "core/delta/indexed/emitter.h"

namespace kestrava_indexed {

// Arrays the parse works in, each of at least length + 1 entries.
struct parse_scratch {
    uint32_t *cost_a, *cost_b;
    uint8_t *copy_len, *flags;
};

// The cheapest items for `length` new bytes, the longest match at position
// j being match_len[j] bytes from old offset match_off[j] (0: none; a copy
// of any length up to it may start there). A copy costs its two heads, an
// insert its bytes and one byte for its head. Writes step[j] where each item
// starts: the length of the copy starting at j, 0 for an inserted byte.
void cheapest_parse(const uint8_t *match_len, const uint32_t *match_off, uint32_t length, const parse_scratch &s,
                    uint8_t *step);

// The cheapest items for new [new_start, new_start + length), written
// through `em`.
void write_parsed(emitter &em, const uint8_t *match_len, const uint32_t *match_off, uint32_t length,
                  const parse_scratch &s, uint8_t *step, uint32_t new_start);

}  // namespace kestrava_indexed

#endif
