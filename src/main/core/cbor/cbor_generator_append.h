/* Internal to the core and the bindings (not exported): appending to a
   generator inline, without a call per item. The storage size is derived
   from `len` by the same rule everywhere, so these and the exported writers
   can be mixed on one generator. */
#ifndef KESTRAVA_CBOR_GENERATOR_APPEND_H
#define KESTRAVA_CBOR_GENERATOR_APPEND_H

#include <cstdint>
#include <cstring>

#include "core/cbor/cbor_generator.h"

namespace kestrava {

/* Bytes allocated behind a generator holding `len` bytes: the next power of
   two, at least 64, or exactly `len` where that power does not fit the
   allocator's size type. */
inline uint64_t generator_storage_for(uint64_t len) {
    if (len == 0) return 0;
    if (len <= 64) return 64;
    const uint64_t size = uint64_t{1} << (64 - __builtin_clzll(len - 1));
    return size <= SIZE_MAX ? size : len;
}

/* Reallocates for `need` bytes in all; 0, or -1 when that cannot be held. */
int generator_grow(cbor_generator *g, uint64_t need);

/* Makes room for `n` (at least 1) more bytes and counts them as written:
   the caller fills them. Null, with nothing changed, when the generator is
   null or cannot grow, or when it would hold more than `max_len` bytes (a
   writer that keeps part of its output elsewhere lowers that limit). */
inline uint8_t *generator_claim(cbor_generator *g, uint32_t n, uint64_t max_len = UINT32_MAX) {
    if (g == nullptr) return nullptr;
    const uint64_t need = static_cast<uint64_t>(g->len) + n;
    if (need > max_len) return nullptr;
    if (need > generator_storage_for(g->len) && generator_grow(g, need) != 0) return nullptr;
    uint8_t *at = g->data + g->len;
    g->len = static_cast<uint32_t>(need);
    return at;
}

inline int generator_append(cbor_generator *g, const void *src, uint32_t n, uint64_t max_len = UINT32_MAX) {
    if (n == 0) return g == nullptr ? -1 : 0;
    uint8_t *at = generator_claim(g, n, max_len);
    if (at == nullptr) return -1;
    std::memcpy(at, src, n);
    return 0;
}

inline void store_big_endian(uint8_t *at, uint64_t value, uint32_t size) {
    for (uint32_t i = 0; i < size; i++) at[i] = static_cast<uint8_t>(value >> (8 * (size - 1 - i)));
}

/* The head `initial` (additional information 24 to 27: followed by 1, 2, 4
   or 8 bytes of `value`; otherwise `initial` OR the low byte of `value`). */
inline int generator_write_sized(cbor_generator *g, uint8_t initial, uint64_t value,
                                 uint64_t max_len = UINT32_MAX) {
    uint32_t size;
    switch (initial & 0x1f) {
        case 24: size = 1; break;
        case 25: size = 2; break;
        case 26: size = 4; break;
        case 27: size = 8; break;
        default: {
            uint8_t *at = generator_claim(g, 1, max_len);
            if (at == nullptr) return -1;
            at[0] = static_cast<uint8_t>(initial | (value & 0xff));
            return 0;
        }
    }
    uint8_t *at = generator_claim(g, 1 + size, max_len);
    if (at == nullptr) return -1;
    at[0] = initial;
    store_big_endian(at + 1, value, size);
    return 0;
}

/* The shortest head of major type `major` with argument `value`. */
inline int generator_write_head(cbor_generator *g, uint8_t major, uint64_t value, uint64_t max_len = UINT32_MAX) {
    const uint8_t type = static_cast<uint8_t>(major << 5);
    if (value <= 23) return generator_write_sized(g, type, value, max_len);
    if (value <= 0xff) return generator_write_sized(g, type | 24, value, max_len);
    if (value <= 0xffff) return generator_write_sized(g, type | 25, value, max_len);
    if (value <= 0xffffffffu) return generator_write_sized(g, type | 26, value, max_len);
    return generator_write_sized(g, type | 27, value, max_len);
}

/* A definite byte (major 2) or text (major 3) string: the head, then the
   bytes. A length past 32 bits is refused before the head. */
inline int generator_write_string(cbor_generator *g, uint8_t major, const void *bytes, uint64_t length,
                                  uint64_t max_len = UINT32_MAX) {
    if (length > UINT32_MAX) return -1;
    if (generator_write_head(g, major, length, max_len) != 0) return -1;
    return generator_append(g, bytes, static_cast<uint32_t>(length), max_len);
}

}  // namespace kestrava

#endif
