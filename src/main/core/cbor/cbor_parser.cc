#include "core/cbor/cbor_parser.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

uint32_t available(const cbor_parser *p) {
    return p->len - static_cast<uint32_t>(p->cursor - p->data);
}

// Reads the `k`-byte big-endian argument after the initial byte into
// `integer`. The cursor passes the initial byte even when the argument is
// missing.
int read_argument(cbor_parser *p, cbor_val *v, uint32_t k) {
    p->cursor += 1;
    if (available(p) < k) return -1;
    uint64_t value = 0;
    for (uint32_t i = 0; i < k; i++) value = value << 8 | p->cursor[i];
    p->cursor += k;
    v->payload.integer = static_cast<int64_t>(value);
    return 0;
}

int read_small(cbor_parser *p, cbor_val *v) {
    v->payload.integer = p->cursor[0] & 0x1f;
    p->cursor += 1;
    return 0;
}

int negate(int result, cbor_val *v) {
    if (result == 0) v->payload.integer = static_cast<int64_t>(~static_cast<uint64_t>(v->payload.integer));
    return result;
}

// Strings: the argument is read into a scratch record with `read`, then the
// body (plus a terminator for text) is copied out of the input.
int read_string(cbor_parser *p, cbor_val *v, int (*read)(cbor_parser *, cbor_val *), uint32_t terminator) {
    cbor_val scratch{};
    if (read(p, &scratch) != 0) return -1;
    uint64_t length = static_cast<uint64_t>(scratch.payload.integer);
    v->length = scratch.payload.integer;
    if (length > available(p)) return -1;
    uint64_t size = length + terminator;
    if (size > SIZE_MAX) return -1;
    // At least one byte, so that an empty string still has storage.
    uint8_t *copy = static_cast<uint8_t *>(malloc(size == 0 ? 1 : static_cast<size_t>(size)));
    if (copy == nullptr) return -1;
    if (length > 0) memcpy(copy, p->cursor, static_cast<size_t>(length));
    if (terminator) copy[length] = 0;
    v->payload.data = copy;
    p->cursor += length;
    return 0;
}

int read_count(cbor_parser *p, cbor_val *v, int (*read)(cbor_parser *, cbor_val *)) {
    cbor_val scratch{};
    if (read(p, &scratch) != 0) return -1;
    v->length = scratch.payload.integer;
    return 0;
}

int read_indefinite(cbor_parser *p, cbor_val *v) {
    v->length = -1;
    p->cursor += 1;
    p->in_indefinite = 1;
    return 0;
}

int skip_one(cbor_parser *p) {
    p->cursor += 1;
    return 0;
}

int read_float_bytes(cbor_parser *p, uint32_t k, uint64_t *bits) {
    p->cursor += 1;
    if (available(p) < k) return -1;
    uint64_t value = 0;
    for (uint32_t i = 0; i < k; i++) value = value << 8 | p->cursor[i];
    p->cursor += k;
    *bits = value;
    return 0;
}

}  // namespace

cbor_parser *cbor_parser_create(const uint8_t *data, uint32_t len) {
    cbor_parser *p = static_cast<cbor_parser *>(calloc(1, sizeof(cbor_parser)));
    if (p == nullptr) return nullptr;
    p->data = data;
    p->len = len;
    p->cursor = data;
    return p;
}

void cbor_parser_free(cbor_parser *p) { free(p); }

int32_t cbor_parser_available_bytes(const cbor_parser *p) { return static_cast<int32_t>(available(p)); }

cbor_val *cbor_val_create(void) { return static_cast<cbor_val *>(calloc(1, sizeof(cbor_val))); }

void cbor_val_free(cbor_val *v) {
    if (v == nullptr) return;
    if (v->type == 2 || v->type == 3) free(v->payload.data);
    free(v);
}

cbor_val *cbor_next_val(cbor_parser *p) {
    if (cbor_parser_available_bytes(p) <= 0) return nullptr;
    uint8_t initial = p->cursor[0];
    cbor_val *v = cbor_val_create();
    if (v == nullptr) return nullptr;
    v->initial_byte = initial;
    v->type = initial >> 5;
    if (cbor_jump_table[initial](p, v) != 0) {
        cbor_val_free(v);
        return nullptr;
    }
    return v;
}

int cbor_parse_uint_small(cbor_parser *p, cbor_val *v) { return read_small(p, v); }
int cbor_parse_uint8(cbor_parser *p, cbor_val *v) { return read_argument(p, v, 1); }
int cbor_parse_uint16(cbor_parser *p, cbor_val *v) { return read_argument(p, v, 2); }
int cbor_parse_uint32(cbor_parser *p, cbor_val *v) { return read_argument(p, v, 4); }
int cbor_parse_uint64(cbor_parser *p, cbor_val *v) { return read_argument(p, v, 8); }

int cbor_parse_negint_small(cbor_parser *p, cbor_val *v) { return negate(read_small(p, v), v); }
int cbor_parse_negint8(cbor_parser *p, cbor_val *v) { return negate(read_argument(p, v, 1), v); }
int cbor_parse_negint16(cbor_parser *p, cbor_val *v) { return negate(read_argument(p, v, 2), v); }
int cbor_parse_negint32(cbor_parser *p, cbor_val *v) { return negate(read_argument(p, v, 4), v); }
int cbor_parse_negint64(cbor_parser *p, cbor_val *v) { return negate(read_argument(p, v, 8), v); }

int cbor_parse_byte_string_small(cbor_parser *p, cbor_val *v) { return read_string(p, v, cbor_parse_uint_small, 0); }
int cbor_parse_byte_string_uint8(cbor_parser *p, cbor_val *v) { return read_string(p, v, cbor_parse_uint8, 0); }
int cbor_parse_byte_string_uint16(cbor_parser *p, cbor_val *v) { return read_string(p, v, cbor_parse_uint16, 0); }
int cbor_parse_byte_string_uint32(cbor_parser *p, cbor_val *v) { return read_string(p, v, cbor_parse_uint32, 0); }
int cbor_parse_byte_string_uint64(cbor_parser *p, cbor_val *v) { return read_string(p, v, cbor_parse_uint64, 0); }
int cbor_parse_byte_string_indefinite(cbor_parser *p, cbor_val *v) { return read_indefinite(p, v); }

int cbor_parse_text_string_small(cbor_parser *p, cbor_val *v) { return read_string(p, v, cbor_parse_uint_small, 1); }
int cbor_parse_text_string_uint8(cbor_parser *p, cbor_val *v) { return read_string(p, v, cbor_parse_uint8, 1); }
int cbor_parse_text_string_uint16(cbor_parser *p, cbor_val *v) { return read_string(p, v, cbor_parse_uint16, 1); }
int cbor_parse_text_string_uint32(cbor_parser *p, cbor_val *v) { return read_string(p, v, cbor_parse_uint32, 1); }
int cbor_parse_text_string_uint64(cbor_parser *p, cbor_val *v) { return read_string(p, v, cbor_parse_uint64, 1); }
int cbor_parse_text_string_indefinite(cbor_parser *p, cbor_val *v) { return read_indefinite(p, v); }

int cbor_parse_array_small(cbor_parser *p, cbor_val *v) { return read_count(p, v, cbor_parse_uint_small); }
int cbor_parse_array_uint8(cbor_parser *p, cbor_val *v) { return read_count(p, v, cbor_parse_uint8); }
int cbor_parse_array_uint16(cbor_parser *p, cbor_val *v) { return read_count(p, v, cbor_parse_uint16); }
int cbor_parse_array_uint32(cbor_parser *p, cbor_val *v) { return read_count(p, v, cbor_parse_uint32); }
int cbor_parse_array_uint64(cbor_parser *p, cbor_val *v) { return read_count(p, v, cbor_parse_uint64); }
int cbor_parse_array_indefinite(cbor_parser *p, cbor_val *v) { return read_indefinite(p, v); }

int cbor_parse_map_small(cbor_parser *p, cbor_val *v) { return read_count(p, v, cbor_parse_uint_small); }
int cbor_parse_map_uint8(cbor_parser *p, cbor_val *v) { return read_count(p, v, cbor_parse_uint8); }
int cbor_parse_map_uint16(cbor_parser *p, cbor_val *v) { return read_count(p, v, cbor_parse_uint16); }
int cbor_parse_map_uint32(cbor_parser *p, cbor_val *v) { return read_count(p, v, cbor_parse_uint32); }
int cbor_parse_map_uint64(cbor_parser *p, cbor_val *v) { return read_count(p, v, cbor_parse_uint64); }
int cbor_parse_map_indefinite(cbor_parser *p, cbor_val *v) { return read_indefinite(p, v); }

int cbor_parse_semantic_tag(cbor_parser *p, cbor_val *) { return skip_one(p); }
int cbor_parse_reserved(cbor_parser *p, cbor_val *) { return skip_one(p); }

int cbor_parse_unimplemented(cbor_parser *p, cbor_val *) {
    fprintf(stderr, "Unimplemented CBOR code: %02x\n", p->cursor[0]);
    return skip_one(p);
}

int cbor_parse_false(cbor_parser *p, cbor_val *) { return skip_one(p); }
int cbor_parse_true(cbor_parser *p, cbor_val *) { return skip_one(p); }
int cbor_parse_null(cbor_parser *p, cbor_val *) { return skip_one(p); }
int cbor_parse_undefined(cbor_parser *p, cbor_val *) { return skip_one(p); }

int cbor_parse_break(cbor_parser *p, cbor_val *) {
    p->in_indefinite = 0;
    return skip_one(p);
}

int cbor_parse_float16(cbor_parser *p, cbor_val *v) {
    uint64_t bits;
    if (read_float_bytes(p, 2, &bits) != 0) return -1;
    uint32_t h = static_cast<uint32_t>(bits);
    int e = static_cast<int>((h >> 10) & 0x1f);
    int m = static_cast<int>(h & 0x3ff);
    double value;
    if (e == 0) {
        value = std::ldexp(m, -24);
    } else if (e == 31) {
        value = m == 0 ? INFINITY : NAN;
    } else {
        value = std::ldexp(m + 1024, e - 25);
    }
    v->payload.floating = (h & 0x8000) ? -value : value;
    return 0;
}

int cbor_parse_float32(cbor_parser *p, cbor_val *v) {
    uint64_t bits;
    if (read_float_bytes(p, 4, &bits) != 0) return -1;
    uint32_t narrow = static_cast<uint32_t>(bits);
    float value;
    memcpy(&value, &narrow, sizeof value);
    v->payload.floating = value;
    return 0;
}

int cbor_parse_float64(cbor_parser *p, cbor_val *v) {
    uint64_t bits;
    if (read_float_bytes(p, 8, &bits) != 0) return -1;
    memcpy(&v->payload.floating, &bits, sizeof bits);
    return 0;
}

namespace {

constexpr cbor_handler handler_for(unsigned byte) {
    constexpr cbor_handler uints[] = {cbor_parse_uint8, cbor_parse_uint16, cbor_parse_uint32, cbor_parse_uint64};
    constexpr cbor_handler negs[] = {cbor_parse_negint8, cbor_parse_negint16, cbor_parse_negint32,
                                     cbor_parse_negint64};
    constexpr cbor_handler bytes[] = {cbor_parse_byte_string_uint8, cbor_parse_byte_string_uint16,
                                      cbor_parse_byte_string_uint32, cbor_parse_byte_string_uint64};
    constexpr cbor_handler texts[] = {cbor_parse_text_string_uint8, cbor_parse_text_string_uint16,
                                      cbor_parse_text_string_uint32, cbor_parse_text_string_uint64};
    constexpr cbor_handler arrays[] = {cbor_parse_array_uint8, cbor_parse_array_uint16, cbor_parse_array_uint32,
                                       cbor_parse_array_uint64};
    constexpr cbor_handler maps[] = {cbor_parse_map_uint8, cbor_parse_map_uint16, cbor_parse_map_uint32,
                                     cbor_parse_map_uint64};
    constexpr cbor_handler smalls[] = {cbor_parse_uint_small, cbor_parse_negint_small, cbor_parse_byte_string_small,
                                       cbor_parse_text_string_small, cbor_parse_array_small, cbor_parse_map_small};
    constexpr cbor_handler indefinites[] = {nullptr, nullptr, cbor_parse_byte_string_indefinite,
                                            cbor_parse_text_string_indefinite, cbor_parse_array_indefinite,
                                            cbor_parse_map_indefinite};
    const cbor_handler *const sized[] = {uints, negs, bytes, texts, arrays, maps};

    unsigned major = byte >> 5;
    unsigned info = byte & 0x1f;
    if (major <= 5) {
        if (info <= 23) return smalls[major];
        if (info <= 27) return sized[major][info - 24];
        if (info == 31 && indefinites[major] != nullptr) return indefinites[major];
        return cbor_parse_reserved;
    }
    if (major == 6) return info <= 27 ? cbor_parse_semantic_tag : cbor_parse_reserved;
    switch (byte) {
        case 0xf4: return cbor_parse_false;
        case 0xf5: return cbor_parse_true;
        case 0xf6: return cbor_parse_null;
        case 0xf7: return cbor_parse_undefined;
        case 0xf9: return cbor_parse_float16;
        case 0xfa: return cbor_parse_float32;
        case 0xfb: return cbor_parse_float64;
        case 0xfc: case 0xfd: case 0xfe: return cbor_parse_reserved;
        case 0xff: return cbor_parse_break;
        default: return cbor_parse_unimplemented;  // 0xe0-0xf3 and 0xf8
    }
}

struct jump_table {
    cbor_handler entries[256];
};

constexpr jump_table build_table() {
    jump_table t{};
    for (unsigned i = 0; i < 256; i++) t.entries[i] = handler_for(i);
    return t;
}

constexpr jump_table table = build_table();

}  // namespace

#define E8(i) table.entries[i], table.entries[i + 1], table.entries[i + 2], table.entries[i + 3], \
              table.entries[i + 4], table.entries[i + 5], table.entries[i + 6], table.entries[i + 7]
#define E64(i) E8(i), E8(i + 8), E8(i + 16), E8(i + 24), E8(i + 32), E8(i + 40), E8(i + 48), E8(i + 56)

cbor_handler const cbor_jump_table[256] = {E64(0), E64(64), E64(128), E64(192)};
