// Floats: any double written with the float writer reads back through the
// parser as the same value (NaN and the infinities in their fixed forms), in
// the shortest width that holds it exactly. The fixed-width writers read
// back as the double itself and as its nearest single.
#include <cfloat>
#include <cmath>
#include <cstring>

#include "core/cbor/cbor_float.h"
#include "core/cbor/cbor_parser.h"
#include "fuzz_input.h"

namespace {

fuzz::bytes written(int (*writer)(cbor_generator *, double), double x, int expected_result) {
    cbor_generator *g = cbor_generator_create();
    FUZZ_CHECK(g != nullptr && writer(g, x) == expected_result);
    fuzz::bytes out(g->data, g->data + g->len);
    cbor_generator_free(g);
    return out;
}

double read_back(const fuzz::bytes &item) {
    cbor_parser *p = cbor_parser_create(item.data(), static_cast<uint32_t>(item.size()));
    cbor_val *v = cbor_next_val(p);
    FUZZ_CHECK(v != nullptr && v->type == 7 && cbor_parser_available_bytes(p) == 0);
    double x = v->payload.floating;
    cbor_val_free(v);
    cbor_parser_free(p);
    return x;
}

bool identical(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Stated from the value, not from the writer's method: half precision holds
// zeros and normal halves (11 significant bits, 2^-14 to 65504); single
// precision whatever converts to a float and back unchanged.
size_t shortest_item(double x) {
    double a = std::fabs(x);
    if (a == 0) return 3;
    int e;
    double m = std::frexp(a, &e);  // a = m * 2^e, m in [0.5, 1)
    if (a >= std::ldexp(1.0, -14) && a <= 65504 && std::ldexp(m, 11) == std::floor(std::ldexp(m, 11))) return 3;
    if (a <= FLT_MAX && static_cast<double>(static_cast<float>(x)) == x) return 5;
    return 9;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < sizeof(double)) return 0;
    // A ninth byte steers toward the narrow widths, which random doubles
    // rarely hit: a single's bits, or a small integer scaled by a power of two.
    double x;
    if (size > 8 && data[8] % 3 == 1) {
        float f;
        std::memcpy(&f, data, sizeof f);
        x = f;
    } else if (size > 8 && data[8] % 3 == 2) {
        int32_t m;
        std::memcpy(&m, data, sizeof m);
        x = std::ldexp(static_cast<double>(m % 8192), static_cast<int8_t>(data[4]) % 40);
    } else {
        std::memcpy(&x, data, sizeof x);
    }
    if (std::isnan(x)) {
        FUZZ_CHECK(written(cbor_write_float, x, 0) == (fuzz::bytes{0xf9, 0x7e, 0x00}));
    } else if (std::isinf(x)) {
        FUZZ_CHECK(written(cbor_write_float, x, 0) == (x > 0 ? fuzz::bytes{0xf9, 0x7c, 0x00} : fuzz::bytes{0xf9, 0xfc, 0x00}));
    } else {
        fuzz::bytes item = written(cbor_write_float, x, 1);
        FUZZ_CHECK(identical(read_back(item), x));
        FUZZ_CHECK(item.size() == shortest_item(x));
    }
    fuzz::bytes wide = written(cbor_write_float64, x, 1);
    FUZZ_CHECK(wide.size() == 9 && identical(read_back(wide), x));
    if (std::isnan(x) || std::fabs(x) <= FLT_MAX) {
        double single = read_back(written(cbor_write_float32, x, 1));
        FUZZ_CHECK(std::isnan(x) ? std::isnan(single) : identical(single, static_cast<double>(static_cast<float>(x))));
    }
    return 0;
}
