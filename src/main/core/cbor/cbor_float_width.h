/* Internal to the core (not exported): which precision cbor_write_float
   picks for a finite value, kept apart so that the tests can compare the
   decision with a decode-and-compare reference over many inputs without
   paying for a generator per value; and the item it writes, for writers
   that manage the output themselves. */
#ifndef KESTRAVA_CBOR_FLOAT_WIDTH_H
#define KESTRAVA_CBOR_FLOAT_WIDTH_H

#include <cstdint>

namespace kestrava {

/* 2, 4 or 8: the byte width of the shortest form that reproduces the finite
   value x exactly (half precision only for normal halves and zeros, since
   the half writer truncates and cannot produce subnormal halves). */
int cbor_float_shortest_width(double x);

/* The item cbor_write_float writes for x: its initial byte (0xf9, 0xfa or
   0xfb) and the 2, 4 or 8 bytes that follow it, as an integer; true for a
   finite x. */
bool cbor_float_item(double x, uint8_t &initial, uint64_t &bits);

}  // namespace kestrava

#endif
