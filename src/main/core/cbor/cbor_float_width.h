/* Internal to the core (not exported): which precision cbor_write_float
   picks for a finite value. Kept apart so that the tests can compare the
   decision with a decode-and-compare reference over many inputs without
   paying for a generator per value. */
#ifndef KESTRAVA_CBOR_FLOAT_WIDTH_H
#define KESTRAVA_CBOR_FLOAT_WIDTH_H

namespace kestrava {

/* 2, 4 or 8: the byte width of the shortest form that reproduces the finite
   value x exactly (half precision only for normal halves and zeros, since
   the half writer truncates and cannot produce subnormal halves). */
int cbor_float_shortest_width(double x);

}  // namespace kestrava

#endif
