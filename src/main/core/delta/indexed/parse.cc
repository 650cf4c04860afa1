// The cheapest parse of a stretch over its matches: costs forward, choices
// back from the end.
#include "core/delta/indexed/parse.h"

#include "core/delta/script/item_codec.h"

namespace kestrava_indexed {

void cheapest_parse(const uint8_t *match_len, const uint32_t *match_off, uint32_t length, const parse_scratch &s,
                    uint8_t *step) {
    using kestrava_items::head_size;
    const uint32_t kInfinite = 0xFFFFFFFFu;
    // cost_a[j]: the cheapest items for the first j bytes ending with a copy
    // (copy_len[j] long, reached from a copy when flags[j] & 1 is clear);
    // cost_b[j]: ending with an inserted byte (reached from a copy when
    // flags[j] & 2 is clear).
    enum : uint8_t { from_a = 0, from_b = 1 };
    uint32_t *cost_a = s.cost_a, *cost_b = s.cost_b;
    uint8_t *copy_len = s.copy_len, *flags = s.flags;
    cost_a[0] = 0;
    cost_b[0] = kInfinite;
    for (uint32_t j = 1; j <= length; ++j) cost_a[j] = cost_b[j] = kInfinite;
    for (uint32_t j = 0; j < length; ++j) {
        uint32_t a = cost_a[j], b = cost_b[j];
        uint8_t start_state = a <= b ? from_a : from_b;
        uint32_t base = a <= b ? a : b;
        // An inserted byte: a new insert after a copy, or one more byte.
        uint32_t via_a = a == kInfinite ? kInfinite : a + 2, via_b = b == kInfinite ? kInfinite : b + 1;
        uint32_t lit = via_a < via_b ? via_a : via_b;
        if (lit < cost_b[j + 1]) {
            cost_b[j + 1] = lit;
            flags[j + 1] = static_cast<uint8_t>((flags[j + 1] & 1) | (via_a < via_b ? 0 : 2));
        }
        uint32_t len = match_len[j];
        if (len == 0) continue;
        uint32_t off_cost = base + head_size(match_off[j]);
        for (uint32_t l = 1; l <= len; ++l) {
            uint32_t cost = off_cost + head_size(l);
            if (cost < cost_a[j + l]) {
                cost_a[j + l] = cost;
                copy_len[j + l] = static_cast<uint8_t>(l);
                flags[j + l] = static_cast<uint8_t>((flags[j + l] & 2) | start_state);
            }
        }
    }
    // Back from the end.
    uint32_t j = length;
    bool in_a = cost_a[length] < cost_b[length];
    while (j > 0) {
        if (in_a) {
            uint32_t l = copy_len[j];
            j -= l;
            step[j] = static_cast<uint8_t>(l);
            in_a = (flags[j + l] & 1) == from_a;
        } else {
            j -= 1;
            step[j] = 0;
            in_a = (flags[j + 1] & 2) == 0;
        }
    }
}

void write_parsed(emitter &em, const uint8_t *match_len, const uint32_t *match_off, uint32_t length,
                  const parse_scratch &s, uint8_t *step, uint32_t new_start) {
    cheapest_parse(match_len, match_off, length, s, step);
    uint32_t run = 0;
    for (uint32_t j = 0; j < length;) {
        if (step[j] == 0) {
            ++run;
            ++j;
            continue;
        }
        if (run) em.literal(new_start + j - run, run);
        run = 0;
        em.copy(match_off[j], step[j], new_start + j);
        j += step[j];
    }
    if (run) em.literal(new_start + length - run, run);
}

}  // namespace kestrava_indexed
