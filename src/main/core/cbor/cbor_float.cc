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

}  // namespace

int cbor_write_float64(cbor_generator *g, double x) {
    return write_item(g, 0xfb, double_bits(x));
}

int cbor_write_float32(cbor_generator *g, double x) {
    return write_item(g, 0xfa, float_bits(to_single(x)));
}

int cbor_write_float(cbor_generator *g, double x) {
    uint8_t initial = 0;
    uint64_t bits = 0;
    const bool finite = kestrava::cbor_float_item(x, initial, bits);
    if (write_item(g, initial, bits) < 0) {
        return -1;
    }
    return finite ? 1 : 0;
}
