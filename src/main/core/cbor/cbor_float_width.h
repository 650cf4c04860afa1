/* Internal to the core and the bindings (not exported): which precision
   cbor_write_float picks for a value and the item it writes, decided on the
   double's bit pattern with a few integer operations, inline so that
   writers managing their own output pay no call per float. The tests
   compare the decision with a decode-and-compare reference over many
   inputs. */
#ifndef KESTRAVA_CBOR_FLOAT_WIDTH_H
#define KESTRAVA_CBOR_FLOAT_WIDTH_H

#include <cstdint>
#include <cstring>

namespace kestrava {

/* The item cbor_write_float writes for the double whose IEEE-754 pattern is
   `b`: its initial byte (0xf9, 0xfa or 0xfb) and the 2, 4 or 8 bytes that
   follow it, as an integer; true for a finite value.

   Half precision is chosen for zeros and for normal halves only (biased
   exponent 1..30, at most 10 fraction bits), since the half writer
   truncates to a normal half and cannot produce subnormal ones; single
   precision for every other value a single holds exactly, subnormal singles
   included; double precision otherwise (double subnormals among them). */
inline __attribute__((always_inline)) bool cbor_float_item_of_bits(uint64_t b, uint8_t &initial, uint64_t &bits) {
    const uint64_t sign = b >> 63;
    /* Unbiased exponent: -1023 for zeros and double subnormals, 1024 for
       NaN and the infinities. */
    const int32_t e = static_cast<int32_t>(static_cast<uint32_t>(b >> 52) & 0x7ffu) - 1023;
    /* Fraction bits a half (the low 42) or a single (the low 29) drops. */
    const bool half_fraction = (b << 22) == 0;
    const bool single_fraction = (b << 35) == 0;
    if (static_cast<uint32_t>(e + 14) <= 29 && half_fraction) {
        initial = 0xf9;
        bits = sign << 15 | static_cast<uint64_t>(e + 15) << 10 | (b >> 42 & 0x3ffu);
        return true;
    }
    if (static_cast<uint32_t>(e + 126) <= 253) {
        if (single_fraction) {
            initial = 0xfa;
            bits = sign << 31 | static_cast<uint64_t>(e + 127) << 23 | (b >> 29 & 0x7fffffu);
            return true;
        }
    } else if (e == 1024) {
        /* NaN (any sign or payload) and the infinities: fixed halves. */
        initial = 0xf9;
        bits = (b << 12) != 0 ? 0x7e00u : sign != 0 ? 0xfc00u : 0x7c00u;
        return false;
    } else if ((b << 1) == 0) {
        initial = 0xf9;
        bits = sign << 15;
        return true;
    } else if (e >= -149 && e < -126) {
        /* A subnormal single: the significand, implicit bit included, in
           units of 2^-149; exact when the bits shifted out are zero. */
        const uint32_t shift = static_cast<uint32_t>(-97 - e); /* 30..52 */
        const uint64_t significand = (b & ((uint64_t{1} << 52) - 1)) | uint64_t{1} << 52;
        if ((significand & ((uint64_t{1} << shift) - 1)) == 0) {
            initial = 0xfa;
            bits = sign << 31 | significand >> shift;
            return true;
        }
    }
    initial = 0xfb;
    bits = b;
    return true;
}

inline __attribute__((always_inline)) bool cbor_float_item(double x, uint8_t &initial, uint64_t &bits) {
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return cbor_float_item_of_bits(b, initial, bits);
}

/* 2, 4 or 8: the byte width of the shortest form that reproduces the finite
   value x exactly. */
inline int cbor_float_shortest_width(double x) {
    uint8_t initial = 0;
    uint64_t bits = 0;
    cbor_float_item(x, initial, bits);
    return initial == 0xf9 ? 2 : initial == 0xfa ? 4 : 8;
}

}  // namespace kestrava

#endif
