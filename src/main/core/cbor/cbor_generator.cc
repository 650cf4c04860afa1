#include "cbor/cbor_generator.h"

#include <cstdlib>
#include <cstring>

namespace {

// The record has no capacity field, so the allocation size is derived from
// `len`: the next power of two (at least 64 bytes), or exactly `len` where
// that power would not fit the allocator's size type. Storage then grows
// geometrically while the output stays byte-for-byte the same.
uint64_t storage_for(uint64_t len) {
    if (len == 0) return 0;
    uint64_t size = 64;
    while (size < len) size <<= 1;
    return size <= SIZE_MAX ? size : len;
}

int generator_append(cbor_generator *g, const void *src, uint32_t n) {
    if (g == nullptr) return -1;
    if (n == 0) return 0;
    uint64_t need = static_cast<uint64_t>(g->len) + n;
    if (need > UINT32_MAX) return -1;
    uint64_t have = storage_for(g->len);
    if (need > have) {
        uint64_t want = storage_for(need);
        if (want > SIZE_MAX) return -1;
        void *grown = realloc(g->data, static_cast<size_t>(want));
        if (grown == nullptr) return -1;
        g->data = static_cast<uint8_t *>(grown);
    }
    memcpy(g->data + g->len, src, n);
    g->len = static_cast<uint32_t>(need);
    return 0;
}

// Head of an indefinite-length item (major type with additional info 31).
constexpr uint8_t indefinite_head(uint8_t major) { return static_cast<uint8_t>(major << 5 | 31); }

int write_string(cbor_generator *g, uint8_t major, const void *bytes, uint64_t length) {
    if (length == CBOR_INDEFINITE) return _cbor_generator_write_byte(g, indefinite_head(major));
    // The body must fit the generator's 32-bit length; refuse before the head
    // so that no head announces bytes that never follow.
    if (length > UINT32_MAX) return -1;
    if (_cbor_write_uint_helper(g, major, length) != 0) return -1;
    return _cbor_generator_write_bytes(g, bytes, static_cast<uint32_t>(length));
}

int write_container(cbor_generator *g, uint8_t major, uint64_t count) {
    if (count == CBOR_INDEFINITE) return _cbor_generator_write_byte(g, indefinite_head(major));
    return _cbor_write_uint_helper(g, major, count);
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
    uint8_t major = static_cast<uint8_t>(type << 5);
    if (value <= 23) return _cbor_write_uint_sized(g, major, value);
    if (value <= 0xff) return _cbor_write_uint_sized(g, major | 24, value);
    if (value <= 0xffff) return _cbor_write_uint_sized(g, major | 25, value);
    if (value <= 0xffffffffu) return _cbor_write_uint_sized(g, major | 26, value);
    return _cbor_write_uint_sized(g, major | 27, value);
}

int _cbor_write_uint_sized(cbor_generator *g, uint8_t initial, uint64_t value) {
    uint8_t head[9];
    uint32_t size;
    switch (initial & 0x1f) {
        case 24: size = 1; break;
        case 25: size = 2; break;
        case 26: size = 4; break;
        case 27: size = 8; break;
        default:
            head[0] = static_cast<uint8_t>(initial | (value & 0xff));
            return generator_append(g, head, 1);
    }
    head[0] = initial;
    for (uint32_t i = 0; i < size; i++) head[1 + i] = static_cast<uint8_t>(value >> (8 * (size - 1 - i)));
    return generator_append(g, head, 1 + size);
}

int cbor_write_uint(cbor_generator *g, uint64_t value) { return _cbor_write_uint_helper(g, 0, value); }

int cbor_write_negint(cbor_generator *g, int64_t value) {
    return _cbor_write_uint_helper(g, 1, ~static_cast<uint64_t>(value));
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
