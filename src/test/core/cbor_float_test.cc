// Float writers: exact bytes of the documented cases, and the arithmetic
// precision decision checked against the decode-and-compare rule (encode in
// all three precisions, decode with the parser, keep the shortest that
// decodes to the same value).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/cbor/cbor_float.h"
#include "core/cbor/cbor_float_width.h"
#include "core/cbor/cbor_generator.h"
#include "core/cbor/cbor_parser.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes written(int (*writer)(cbor_generator *, double), double x, int expected_result) {
    cbor_generator *g = cbor_generator_create();
    EXPECT_NE(g, nullptr);
    EXPECT_EQ(writer(g, x), expected_result) << x;
    Bytes out(g->data, g->data + g->len);
    cbor_generator_free(g);
    return out;
}

Bytes shortest(double x) {
    return written(cbor_write_float, x, std::isfinite(x) ? 1 : 0);
}

Bytes hex(const std::string &text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 3) {
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

uint32_t bits_of(float f) {
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

float float_of(uint32_t b) {
    float f;
    std::memcpy(&f, &b, sizeof f);
    return f;
}

double double_of(uint64_t b) {
    double d;
    std::memcpy(&d, &b, sizeof d);
    return d;
}

// The documented half-precision pattern of the (internal) half writer.
uint16_t reference_half_pattern(float single) {
    const uint32_t f = bits_of(single);
    const uint32_t s = (f >> 16) & 0x8000u;
    const uint32_t e = (f >> 23) & 0xffu;
    const uint32_t m = f & 0x7fffffu;
    if (e == 0xff) return static_cast<uint16_t>(s | 0x7c00u);
    if (e == 0) return static_cast<uint16_t>(s | (m >> 13));
    const int64_t rebiased = ((static_cast<int64_t>(e) - 112) * 1024) % 65536;
    const uint32_t wrapped = static_cast<uint32_t>(rebiased < 0 ? rebiased + 65536 : rebiased);
    return static_cast<uint16_t>(s | (m >> 13) | wrapped);
}

// Round to nearest single; magnitudes past the single range are settled
// by hand (the largest single up to the midpoint to 2^128, infinity from
// there on) so that no conversion leaves the range.
float single_of(double x) {
    const double a = std::fabs(x);
    if (a > std::numeric_limits<float>::max()) {
        const float m = a >= std::ldexp(1.0, 128) - std::ldexp(1.0, 103) ? std::numeric_limits<float>::infinity()
                                                                       : std::numeric_limits<float>::max();
        return std::signbit(x) ? -m : m;
    }
    return static_cast<float>(x);
}

// The arithmetic form of the decision that the bit-pattern one replaced:
// round to single, widen back and compare (through the bit pattern, so
// that x87 excess precision cannot hide the rounding), then test the
// single's exponent and low fraction bits for a normal half.
void arithmetic_item(double x, uint8_t &initial, uint64_t &bits) {
    initial = 0xf9;
    if (std::isnan(x)) {
        bits = 0x7e00;
        return;
    }
    if (std::isinf(x)) {
        bits = x < 0 ? 0xfc00 : 0x7c00;
        return;
    }
    const uint32_t f = bits_of(single_of(x));
    if (x == 0.0) {
        bits = reference_half_pattern(float_of(f));
        return;
    }
    if (static_cast<double>(float_of(f)) != x) {
        initial = 0xfb;
        std::memcpy(&bits, &x, sizeof bits);
        return;
    }
    const uint32_t exponent = (f >> 23) & 0xffu;
    if (exponent >= 113 && exponent <= 142 && (f & 0x1fffu) == 0) {
        bits = reference_half_pattern(float_of(f));
        return;
    }
    initial = 0xfa;
    bits = f;
}

// The item written for x equals the arithmetic reference's, byte for byte.
::testing::AssertionResult same_item(double x) {
    uint8_t initial = 0, want_initial = 0;
    uint64_t bits = 0, want_bits = 0;
    kestrava::cbor_float_item(x, initial, bits);
    arithmetic_item(x, want_initial, want_bits);
    if (initial == want_initial && bits == want_bits) return ::testing::AssertionSuccess();
    uint64_t pattern;
    std::memcpy(&pattern, &x, sizeof pattern);
    return ::testing::AssertionFailure() << "double pattern " << std::hex << pattern << ": item " << int(initial) << " "
                                         << bits << ", expected " << int(want_initial) << " " << want_bits;
}

// Decode exactly one item with the parser; false when it cannot be read.
bool decode(const uint8_t *item, uint32_t n, double *out) {
    cbor_parser *p = cbor_parser_create(item, n);
    if (p == nullptr) return false;
    cbor_val *v = cbor_next_val(p);
    bool ok = v != nullptr && v->type == 7 && cbor_parser_available_bytes(p) == 0;
    if (ok) *out = v->payload.floating;
    cbor_val_free(v);
    cbor_parser_free(p);
    return ok;
}

// The decode-and-compare rule, literally: write the three candidates into a
// scratch generator, read them back, compare the decoded values (unordered
// counts as different). Returns the chosen width in bytes.
int reference_width(double x) {
    cbor_generator *scratch = cbor_generator_create();
    const uint16_t h = reference_half_pattern(single_of(x));
    const uint8_t half_item[3] = {0xf9, static_cast<uint8_t>(h >> 8), static_cast<uint8_t>(h)};
    EXPECT_EQ(_cbor_generator_write_bytes(scratch, half_item, 3), 0);
    EXPECT_EQ(cbor_write_float32(scratch, x), 1);
    EXPECT_EQ(cbor_write_float64(scratch, x), 1);
    EXPECT_EQ(scratch->len, 3u + 5u + 9u);
    double half = 0, single = 0, dbl = 0;
    const bool have_half = decode(scratch->data, 3, &half);
    const bool have_single = decode(scratch->data + 3, 5, &single);
    const bool have_double = decode(scratch->data + 8, 9, &dbl);
    cbor_generator_free(scratch);
    EXPECT_TRUE(have_double);
    if (!have_single || !(single == dbl)) return 8;
    if (!have_half || !(half == single)) return 4;
    return 2;
}

TEST(CborFloat, DocumentedShortestForms) {
    const struct {
        double x;
        const char *hex;
    } cases[] = {
        {0.0, "f9 00 00"},
        {-0.0, "f9 80 00"},
        {1.0, "f9 3c 00"},
        {1.5, "f9 3e 00"},
        {0.5, "f9 38 00"},
        {3.0, "f9 42 00"},
        {-4.0, "f9 c4 00"},
        {65504.0, "f9 7b ff"},
        {65520.0, "fa 47 7f f0 00"},
        {65536.0, "fa 47 80 00 00"},
        {100000.0, "fa 47 c3 50 00"},
        {std::ldexp(1.0, -14), "f9 04 00"},
        {1.5 * std::ldexp(1.0, -14), "f9 06 00"},
        {std::ldexp(1.0, -15), "fa 38 00 00 00"},
        {std::ldexp(1.0, -24), "fa 33 80 00 00"},
        {1.1, "fb 3f f1 99 99 99 99 99 9a"},
        {0.1, "fb 3f b9 99 99 99 99 99 9a"},
        {1e300, "fb 7e 37 e4 3c 88 00 75 9c"},
        {3.4028234663852886e38, "fa 7f 7f ff ff"},
        {std::ldexp(1.0, -149), "fa 00 00 00 01"},       // smallest single subnormal
        {std::ldexp(1.0, -150), "fb 36 90 00 00 00 00 00 00"},  // below it: double
        {std::ldexp(1.0, 128), "fb 47 f0 00 00 00 00 00 00"},   // just past the single range
        {-65504.0, "f9 fb ff"},
        {2049.0, "fa 45 00 10 00"},  // 12 significant bits: too many for a half
        {2048.0, "f9 68 00"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(shortest(c.x), hex(c.hex)) << c.hex;
    }
}

TEST(CborFloat, NanAndInfinitiesHaveFixedItemsAndResultZero) {
    EXPECT_EQ(shortest(std::nan("")), hex("f9 7e 00"));
    EXPECT_EQ(shortest(-std::nan("")), hex("f9 7e 00"));
    EXPECT_EQ(shortest(std::numeric_limits<double>::infinity()), hex("f9 7c 00"));
    EXPECT_EQ(shortest(-std::numeric_limits<double>::infinity()), hex("f9 fc 00"));
}

TEST(CborFloat, FixedPrecisionWriters) {
    EXPECT_EQ(written(cbor_write_float32, 1.1, 1), hex("fa 3f 8c cc cd"));
    EXPECT_EQ(written(cbor_write_float64, 1.0, 1), hex("fb 3f f0 00 00 00 00 00 00"));
    // Beyond the single range: the largest single up to the rounding
    // midpoint, infinity from there on (ties to even).
    EXPECT_EQ(written(cbor_write_float32, std::ldexp(1.0, 128) - std::ldexp(1.0, 103) - std::ldexp(1.0, 80), 1),
              hex("fa 7f 7f ff ff"));
    EXPECT_EQ(written(cbor_write_float32, std::ldexp(1.0, 128) - std::ldexp(1.0, 103), 1),
              hex("fa 7f 80 00 00"));
    EXPECT_EQ(written(cbor_write_float32, -1e300, 1), hex("fa ff 80 00 00"));
    EXPECT_EQ(written(cbor_write_float32, std::numeric_limits<double>::infinity(), 1), hex("fa 7f 80 00 00"));
}

TEST(CborFloat, NullGeneratorFails) {
    EXPECT_EQ(cbor_write_float(nullptr, 1.5), -1);
    EXPECT_EQ(cbor_write_float(nullptr, 1.1), -1);
    EXPECT_EQ(cbor_write_float(nullptr, std::nan("")), -1);
    EXPECT_EQ(cbor_write_float(nullptr, -std::numeric_limits<double>::infinity()), -1);
    EXPECT_EQ(cbor_write_float32(nullptr, 1.0), -1);
    EXPECT_EQ(cbor_write_float64(nullptr, 1.0), -1);
}

TEST(CborFloat, AppendsAfterExistingOutput) {
    cbor_generator *g = cbor_generator_create();
    ASSERT_EQ(cbor_write_array(g, 2), 0);
    ASSERT_EQ(cbor_write_float(g, 1.5), 1);
    ASSERT_EQ(cbor_write_float(g, 0.1), 1);
    EXPECT_EQ(Bytes(g->data, g->data + g->len), hex("82 f9 3e 00 fb 3f b9 99 99 99 99 99 9a"));
    cbor_generator_free(g);
}

// Every finite single-precision value (both signs): for these the double
// candidate always decodes equal, so the decision is half against single.
// The half candidates' decoded values come from the parser once per
// pattern; the single candidate is decoded by the parser's float32 handler.
TEST(CborFloat, DecisionMatchesDecodeAndCompareForEverySingle) {
    std::vector<double> half_decoded(65536);
    std::vector<char> half_readable(65536);
    for (uint32_t h = 0; h < 65536; ++h) {
        const uint8_t item[3] = {0xf9, static_cast<uint8_t>(h >> 8), static_cast<uint8_t>(h)};
        double v = 0;
        half_readable[h] = decode(item, 3, &v);
        half_decoded[h] = v;
    }
    // The full sweep takes about half a minute in an optimised 64-bit
    // build, which runs it; the instrumented and 32-bit builds take every
    // 61st pattern (a prime stride reaching every exponent and low-bit
    // residue) to stay within the suite's time.
#if defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__)
    const uint64_t stride = 61;
#else
    const uint64_t stride = sizeof(void *) == 8 ? 1 : 61;
#endif
    uint64_t mismatches = 0, halves = 0;
    for (uint64_t p = 0; p <= 0xffffffffull; p += stride) {
        const float f = float_of(static_cast<uint32_t>(p));
        if (!std::isfinite(f)) continue;
        const uint8_t item[5] = {0xfa, static_cast<uint8_t>(p >> 24), static_cast<uint8_t>(p >> 16),
                                 static_cast<uint8_t>(p >> 8), static_cast<uint8_t>(p)};
        cbor_parser parser = {item, 5, item, 0};
        cbor_val val = {};
        val.initial_byte = 0xfa;
        val.type = 7;
        const bool single_readable = cbor_parse_float32(&parser, &val) == 0;
        const double single = val.payload.floating;
        const uint16_t h = reference_half_pattern(f);
        // The double candidate decodes to the value itself, so an unreadable
        // single is the only way the double form could win here.
        const int expected = !single_readable ? 8 : half_readable[h] && half_decoded[h] == single ? 2 : 4;
        halves += expected == 2;
        if (kestrava::cbor_float_shortest_width(static_cast<double>(f)) != expected && ++mismatches < 10) {
            ADD_FAILURE() << "pattern " << std::hex << p << " expected width " << expected;
        }
    }
    EXPECT_EQ(mismatches, 0u);
    if (stride == 1) {
        // Zeros plus 2 signs x 30 exponents x 1024 fractions.
        EXPECT_EQ(halves, 2u + 2u * 30u * 1024u);
    }
}

// Doubles, through the literal rule with a scratch generator and parser per
// value: random bit patterns, values near single and half boundaries, and
// singles nudged by one unit in the last place of the double.
TEST(CborFloat, DecisionMatchesDecodeAndCompareForDoubles) {
    std::mt19937_64 rng(20261208);
    std::vector<double> sample;
#if defined(__SANITIZE_ADDRESS__)
    const int count = 50000;  // each value costs a generator and three parses
#else
    const int count = 200000;
#endif
    for (int i = 0; i < count; ++i) {
        sample.push_back(double_of(rng()));
    }
    std::uniform_int_distribution<int> exponent(-160, 140);
    for (int i = 0; i < count; ++i) {
        // Few significant bits, so that the single and half forms are hit.
        const double mantissa = static_cast<double>(rng() >> (40 + (i % 24)));
        const double x = std::ldexp(mantissa, exponent(rng) - 20);
        sample.push_back(x);
        sample.push_back(std::nextafter(x, 1e308));
        sample.push_back(std::nextafter(x, -1e308));
        sample.push_back(-x);
    }
    for (int e = -170; e <= 130; ++e) {
        const double x = std::ldexp(1.0, e);
        sample.push_back(x);
        sample.push_back(std::nextafter(x, 0.0));
        sample.push_back(std::nextafter(x, 1e308));
    }
    sample.push_back(std::numeric_limits<double>::max());
    sample.push_back(std::numeric_limits<double>::denorm_min());
    sample.push_back(std::numeric_limits<double>::min());
    int mismatches = 0;
    for (double x : sample) {
        if (!std::isfinite(x)) continue;
        const int expected = reference_width(x);
        if (kestrava::cbor_float_shortest_width(x) != expected && ++mismatches < 10) {
            ADD_FAILURE() << "value " << x << " expected width " << expected;
        }
        // And what is written is the chosen writer's output.
        const Bytes out = shortest(x);
        ASSERT_EQ(out.size(), static_cast<size_t>(expected) + 1) << x;
        if (expected == 4) {
            EXPECT_EQ(out, written(cbor_write_float32, x, 1));
        }
        if (expected == 8) {
            EXPECT_EQ(out, written(cbor_write_float64, x, 1));
        }
    }
    EXPECT_EQ(mismatches, 0);
}

// The items themselves against the arithmetic reference: every half
// pattern and its neighbouring doubles, every 61st single pattern (the
// widths of all singles are checked above), NaNs of every sign and many
// payloads, the infinities and zeros, double subnormals, the edges of the
// single range, and random doubles (uniform bit patterns, and values with
// few significant bits across the exponents where the forms change).
TEST(CborFloat, ItemsMatchTheArithmeticDecision) {
    std::vector<double> sample;
    for (uint32_t h = 0; h < 65536; ++h) {
        const uint8_t item[3] = {0xf9, static_cast<uint8_t>(h >> 8), static_cast<uint8_t>(h)};
        double v = 0;
        if (!decode(item, 3, &v)) continue;
        sample.push_back(v);
        sample.push_back(std::nextafter(v, 1e308));
        sample.push_back(std::nextafter(v, -1e308));
        sample.push_back(static_cast<double>(std::nextafter(static_cast<float>(v), 1e30f)));
    }
    for (uint64_t p = 0; p <= 0xffffffffull; p += 61) {
        sample.push_back(static_cast<double>(float_of(static_cast<uint32_t>(p))));
    }
    std::mt19937_64 rng(20270114);
    for (int i = 0; i < 4096; ++i) {
        const uint64_t payload = (rng() & ((uint64_t{1} << 52) - 1)) | 1;
        sample.push_back(double_of(uint64_t{0x7ff} << 52 | payload));
        sample.push_back(double_of(uint64_t{0xfff} << 52 | payload));
        sample.push_back(double_of(rng() & ((uint64_t{1} << 52) - 1)));  // subnormal or zero
        sample.push_back(-double_of(rng() & ((uint64_t{1} << 52) - 1)));
    }
    for (double x : {0.0, -0.0, std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                     std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min(),
                     static_cast<double>(std::numeric_limits<float>::max()),
                     static_cast<double>(std::numeric_limits<float>::denorm_min()),
                     static_cast<double>(std::numeric_limits<float>::min())}) {
        sample.push_back(x);
        sample.push_back(std::nextafter(x, 0.0));
        sample.push_back(-x);
    }
#if defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__)
    const int count = 200000;
#else
    const int count = 4000000;
#endif
    std::uniform_int_distribution<int> exponent(-1100, 1030);
    for (int i = 0; i < count; ++i) {
        sample.push_back(double_of(rng()));
        const double mantissa = static_cast<double>(rng() >> (i % 64));
        sample.push_back(std::ldexp(mantissa, (i % 2 ? exponent(rng) : exponent(rng) % 180) - 63));
    }
    uint64_t mismatches = 0;
    for (double x : sample) {
        if (!same_item(x) && ++mismatches < 10) {
            ADD_FAILURE() << same_item(x).message();
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

}  // namespace
