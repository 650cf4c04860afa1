/* CBOR floating-point items: half (0xf9), single (0xfa) and double (0xfb)
   precision, and the shortest exact choice among them. */
#include "core/cbor/cbor_float.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "core/cbor/cbor_float_width.h"
#include "core/cbor/cbor_generator_append.h"

static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559,
              "the float writers rely on IEEE-754 single and double precision");

namespace {

uint32_t float_bits(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

uint64_t double_bits(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

/* Round to nearest single precision. Magnitudes beyond the single range
   are settled here, so the conversion below never leaves the range. */
float to_single(double x) {
    constexpr double max_single = std::numeric_limits<float>::max();
    /* Halfway between the largest single and 2^128 (= 2^128 - 2^103): ties
       go to the even neighbour, which is 2^128, i.e. infinity. */
    constexpr double overflow_at = 0x1.ffffffp+127;
    const double magnitude = std::fabs(x);
    if (magnitude > max_single && magnitude <= std::numeric_limits<double>::max()) {
        const float rounded = magnitude >= overflow_at ? std::numeric_limits<float>::infinity()
                                                       : std::numeric_limits<float>::max();
        return std::signbit(x) ? -rounded : rounded;
    }
    return static_cast<float>(x);
}

/* A float item is laid out like an integer head: the initial byte (additional
   information 25, 26 or 27) and 2, 4 or 8 big-endian bytes, written in one
   append, so a failed write leaves no partial item behind. */
int write_item(cbor_generator *g, uint8_t initial, uint64_t bits) {
    return kestrava::generator_write_sized(g, initial, bits) == 0 ? 1 : -1;
}

/* Half-precision pattern: the fraction is truncated to 10 bits and the
   exponent rebiased with 16-bit wrap-around; values outside the normal half
   range come out wrong, which is why only cbor_write_float's exactness
   decision may pick this form. */
uint32_t half_bits(double x) {
    const uint32_t f = float_bits(to_single(x));
    const uint32_t sign = (f >> 16) & 0x8000u;
    const uint32_t exponent = (f >> 23) & 0xffu;
    const uint32_t mantissa = f & 0x7fffffu;
    uint32_t half;
    if (exponent == 0xffu) {
        half = sign | 0x7c00u;
    } else if (exponent == 0) {
        half = sign | (mantissa >> 13);
    } else {
        /* Unsigned arithmetic gives the wrap-around modulo 65536. */
        half = sign | (mantissa >> 13) | (((exponent - 112u) * 1024u) & 0xffffu);
    }
    return half;
}

}  // namespace

namespace kestrava {

/* Equivalent to encoding x in all three precisions, decoding them again and
   comparing, but without a scratch generator and parser per value:
   - single precision reproduces x exactly iff rounding to single and
     widening back gives x again;
   - the truncating half writer reproduces a single exactly iff it is zero,
     or a normal half (biased single exponent 113..142) whose low 13
     fraction bits are zero. Subnormal singles, and the patterns the
     exponent wrap-around produces for other exponents, never decode to the
     value. */
int cbor_float_shortest_width(double x) {
    if (x == 0.0) {
        return 2;
    }
    // Through the bit pattern, so that the comparison sees the rounded
    // single even where float arithmetic carries excess precision (x87).
    const uint32_t f = float_bits(to_single(x));
    float single;
    std::memcpy(&single, &f, sizeof single);
    if (static_cast<double>(single) != x) {
        return 8;
    }
    const uint32_t exponent = (f >> 23) & 0xffu;
    const uint32_t mantissa = f & 0x7fffffu;
    if (exponent >= 113 && exponent <= 142 && (mantissa & 0x1fffu) == 0) {
        return 2;
    }
    return 4;
}

}  // namespace kestrava

int cbor_write_float64(cbor_generator *g, double x) {
    return write_item(g, 0xfb, double_bits(x));
}

int cbor_write_float32(cbor_generator *g, double x) {
    return write_item(g, 0xfa, float_bits(to_single(x)));
}

namespace kestrava {

bool cbor_float_item(double x, uint8_t &initial, uint64_t &bits) {
    initial = 0xf9;
    if (std::isnan(x)) {
        bits = 0x7e00;
        return false;
    }
    if (std::isinf(x)) {
        bits = x < 0 ? 0xfc00 : 0x7c00;
        return false;
    }
    switch (cbor_float_shortest_width(x)) {
        case 2:
            bits = half_bits(x);
            break;
        case 4:
            initial = 0xfa;
            bits = float_bits(to_single(x));
            break;
        default:
            initial = 0xfb;
            bits = double_bits(x);
            break;
    }
    return true;
}

}  // namespace kestrava

int cbor_write_float(cbor_generator *g, double x) {
    uint8_t initial = 0;
    uint64_t bits = 0;
    const bool finite = kestrava::cbor_float_item(x, initial, bits);
    if (write_item(g, initial, bits) < 0) {
        return -1;
    }
    return finite ? 1 : 0;
}
