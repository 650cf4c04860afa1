#include "core/buffer/buf_enc.h"

#include <cstdlib>
#include <cstring>

namespace {

// Encodes `v` least significant group first into `out`; returns the byte count.
uint32_t encode_varint(uint64_t v, uint8_t *out) {
    uint32_t n = 0;
    while (v >= 128) {
        out[n++] = static_cast<uint8_t>((v & 0x7f) | 0x80);
        v >>= 7;
    }
    out[n++] = static_cast<uint8_t>(v);
    return n;
}

// Decodes up to `max_bytes` groups; null when the last allowed byte still
// announces a continuation.
const uint8_t *decode_varint(const uint8_t *p, uint64_t *out, int max_bytes) {
    uint64_t v = 0;
    for (int i = 0; i < max_bytes; i++) {
        uint8_t byte = p[i];
        if (i == max_bytes - 1 && (byte & 0x80)) return nullptr;
        uint32_t shift = 7u * static_cast<uint32_t>(i);
        uint64_t group = static_cast<uint64_t>(byte & 0x7f);
        if (shift < 64) v |= group << shift;
        if (!(byte & 0x80)) {
            *out = v;
            return p + i + 1;
        }
    }
    return nullptr;  // not reached: the last byte either ends or fails
}

}  // namespace

void buf_write_uint32_enc(buf *b, uint32_t v) {
    uint8_t scratch[10];
    buf_write_bytes(b, scratch, encode_varint(v, scratch));
}

void buf_write_uint64_enc(buf *b, uint64_t v) {
    uint8_t scratch[20];
    buf_write_bytes(b, scratch, encode_varint(v, scratch));
}

void buf_write_string_length_enc(buf *b, const char *text, uint64_t length) {
    if (length == 0) {
        buf_write_byte(b, 0);
        return;
    }
    uint32_t n = static_cast<uint32_t>(length);
    buf_write_uint32_enc(b, n);
    buf_write_bytes(b, text, n);
}

void buf_write_string_enc(buf *b, const char *text) {
    if (text == nullptr) {
        buf_write_byte(b, 0);
        return;
    }
    buf_write_string_length_enc(b, text, strlen(text));
}

const uint8_t *buf_read_uint32_enc(const uint8_t *p, uint32_t *out) {
    uint64_t v = 0;
    const uint8_t *next = decode_varint(p, &v, 5);
    if (next == nullptr) return nullptr;
    if (out != nullptr) *out = static_cast<uint32_t>(v);
    return next;
}

const uint8_t *buf_read_uint64_enc(const uint8_t *p, uint64_t *out) {
    uint64_t v = 0;
    const uint8_t *next = decode_varint(p, &v, 10);
    if (next == nullptr) return nullptr;
    if (out != nullptr) *out = v;
    return next;
}

const uint8_t *buf_read_string_length_enc(const uint8_t *p, char **text, uint32_t *len) {
    uint64_t length = 0;
    const uint8_t *body = buf_read_uint64_enc(p, &length);
    if (body == nullptr) return nullptr;
    uint32_t n = static_cast<uint32_t>(length);
    if (text != nullptr) {
        // n + 1 must fit the allocator's size type (it does not for n = 2^32 - 1
        // on a 32-bit target).
        if (static_cast<uint64_t>(n) + 1 > SIZE_MAX) return nullptr;
        char *copy = static_cast<char *>(malloc(static_cast<size_t>(n) + 1));
        if (copy == nullptr) return nullptr;
        memcpy(copy, body, n);
        copy[n] = '\0';
        *text = copy;
    }
    if (len != nullptr) *len = n;
    return body + n;
}

const uint8_t *buf_read_float(const uint8_t *p, float *out) {
    uint32_t bits = 0;
    const uint8_t *next = buf_read_uint32_enc(p, &bits);
    if (next == nullptr) return nullptr;
    if (out != nullptr) memcpy(out, &bits, sizeof bits);
    return next;
}
