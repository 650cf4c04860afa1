#include "core/cbor/cbor_generator.h"

#include "core/cbor/cbor_generator_append.h"

#include <cstdlib>
#include <cstring>

namespace kestrava {

// The record has no capacity field, so the allocation size is derived from
// `len` (generator_storage_for): storage grows geometrically while the
// output stays byte-for-byte the same.
int generator_grow(cbor_generator *g, uint64_t need) {
    if (need > UINT32_MAX) return -1;
    const uint64_t want = generator_storage_for(need);
    if (want > SIZE_MAX) return -1;
    void *grown = realloc(g->data, static_cast<size_t>(want));
    if (grown == nullptr) return -1;
    g->data = static_cast<uint8_t *>(grown);
    return 0;
}

}  // namespace kestrava

namespace {

using kestrava::generator_append;

// Head of an indefinite-length item (major type with additional info 31).
constexpr uint8_t indefinite_head(uint8_t major) { return static_cast<uint8_t>(major << 5 | 31); }

int write_string(cbor_generator *g, uint8_t major, const void *bytes, uint64_t length) {
    if (length == CBOR_INDEFINITE) return _cbor_generator_write_byte(g, indefinite_head(major));
    // The body must fit the generator's 32-bit length; refused before the
    // head so that no head announces bytes that never follow.
    return kestrava::generator_write_string(g, major, bytes, length);
}

int write_container(cbor_generator *g, uint8_t major, uint64_t count) {
    if (count == CBOR_INDEFINITE) return _cbor_generator_write_byte(g, indefinite_head(major));
    return kestrava::generator_write_head(g, major, count);
}

}  // namespace

cbor_generator *cbor_generator_create(void) {
    return static_cast<cbor_generator *>(calloc(1, sizeof(cbor_generator)));
}

void cbor_generator_free(cbor_generator *g) {
    if (g == nullptr) return;
    free(g->data);
    free(g);
}

int _cbor_generator_write_byte(cbor_generator *g, uint8_t byte) { return generator_append(g, &byte, 1); }

int _cbor_generator_write_bytes(cbor_generator *g, const void *src, uint32_t n) {
    return generator_append(g, src, n);
}

int _cbor_write_uint_helper(cbor_generator *g, uint8_t type, uint64_t value) {
    return kestrava::generator_write_head(g, type, value);
}

int _cbor_write_uint_sized(cbor_generator *g, uint8_t initial, uint64_t value) {
    return kestrava::generator_write_sized(g, initial, value);
}

int cbor_write_uint(cbor_generator *g, uint64_t value) { return kestrava::generator_write_head(g, 0, value); }

int cbor_write_negint(cbor_generator *g, int64_t value) {
    return kestrava::generator_write_head(g, 1, ~static_cast<uint64_t>(value));
}

int cbor_write_byte_string(cbor_generator *g, const void *bytes, uint64_t length) {
    return write_string(g, 2, bytes, length);
}

int cbor_write_text_string(cbor_generator *g, const char *text, uint64_t length) {
    return write_string(g, 3, text, length);
}

int cbor_write_array(cbor_generator *g, uint64_t count) { return write_container(g, 4, count); }

int cbor_write_map(cbor_generator *g, uint64_t count) { return write_container(g, 5, count); }

int cbor_write_break(cbor_generator *g) { return _cbor_generator_write_byte(g, 0xff); }
int cbor_write_false(cbor_generator *g) { return _cbor_generator_write_byte(g, 0xf4); }
int cbor_write_true(cbor_generator *g) { return _cbor_generator_write_byte(g, 0xf5); }
int cbor_write_null(cbor_generator *g) { return _cbor_generator_write_byte(g, 0xf6); }
int cbor_write_undefined(cbor_generator *g) { return _cbor_generator_write_byte(g, 0xf7); }
