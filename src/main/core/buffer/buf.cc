#include "core/buffer/buf.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Makes room for `n` more bytes following the doubling rule. Returns false,
// leaving the buffer exactly as it was, when the length would overflow 32 bits
// or the storage cannot grow.
bool buf_reserve(buf *b, uint32_t n) {
    uint64_t need = static_cast<uint64_t>(b->len) + n;
    if (need > UINT32_MAX) return false;
    if (need <= b->capacity) return true;
    uint64_t want = 2 * need;
    if (want > UINT32_MAX) want = UINT32_MAX;
    if (want > SIZE_MAX) return false;
    void *grown = realloc(b->data, static_cast<size_t>(want));
    if (grown == nullptr) return false;
    b->data = static_cast<uint8_t *>(grown);
    b->capacity = static_cast<uint32_t>(want);
    return true;
}

// Appends `n` bytes from `src`. A source inside the buffer's own storage is
// re-based after growth, since growing may move the storage.
void buf_append(buf *b, const void *src, uint32_t n) {
    if (n == 0) return;
    const uint8_t *from = static_cast<const uint8_t *>(src);
    // Compared as addresses: GCC 12 takes a pointer compared after the
    // realloc below for a use after free.
    const uintptr_t at = reinterpret_cast<uintptr_t>(src), base = reinterpret_cast<uintptr_t>(b->data);
    const bool inside = b->data != nullptr && at >= base && at - base < b->capacity;
    const size_t inside_offset = inside ? static_cast<size_t>(at - base) : 0;
    if (!buf_reserve(b, n)) return;
    if (inside) from = b->data + inside_offset;
    memmove(b->data + b->len, from, n);
    b->len += n;
}

}  // namespace

buf *buf_create(void) { return static_cast<buf *>(calloc(1, sizeof(buf))); }

void buf_free(buf *b) {
    if (b == nullptr) return;
    free(b->data);
    free(b);
}

buf *buf_dup(const buf *src) {
    if (src == nullptr) return nullptr;
    buf *copy = buf_create();
    if (copy == nullptr) return nullptr;
    if (src->len > 0) {
        copy->data = static_cast<uint8_t *>(malloc(src->len));
        if (copy->data == nullptr) {
            free(copy);
            return nullptr;
        }
        memcpy(copy->data, src->data, src->len);
    }
    copy->len = src->len;
    // Capacity 0 under-states the room, so the first append reallocates.
    copy->capacity = 0;
    return copy;
}

void buf_write_byte(buf *b, uint8_t byte) { buf_append(b, &byte, 1); }

void buf_write_bytes(buf *b, const void *src, uint32_t n) { buf_append(b, src, n); }

void buf_write_buf(buf *dst, const buf *src) { buf_append(dst, src->data, src->len); }

void buf_write_string(buf *b, const char *text) {
    size_t n = strlen(text);
    if (n > UINT32_MAX) return;
    buf_append(b, text, static_cast<uint32_t>(n));
}

void buf_write_float(buf *b, float value) { buf_append(b, &value, sizeof value); }

void buf_write_bool(buf *b, bool flag) {
    if (b == nullptr) return;
    uint8_t byte = flag ? 1 : 0;
    buf_append(b, &byte, 1);
}

int32_t buf_sprintf(buf *b, const char *format, ...) {
    size_t s = strlen(format) + 100;
    char *scratch = static_cast<char *>(malloc(s));
    if (scratch == nullptr) return -1;
    va_list args;
    va_start(args, format);
    int32_t result;
    for (;;) {
        va_list again;
        va_copy(again, args);
        int r = vsnprintf(scratch, s, format, again);
        va_end(again);
        if (r < 0) {
            result = r;
            break;
        }
        if (static_cast<size_t>(r) < s) {
            uint32_t before = b->len;
            buf_append(b, scratch, static_cast<uint32_t>(r));
            result = b->len - before == static_cast<uint32_t>(r) ? r : -1;
            break;
        }
        char *grown = s <= SIZE_MAX / 2 ? static_cast<char *>(realloc(scratch, s * 2)) : nullptr;
        if (grown == nullptr) {
            result = -1;
            break;
        }
        scratch = grown;
        s *= 2;
    }
    va_end(args);
    free(scratch);
    return result;
}

const uint8_t *buf_read_byte(const uint8_t *p, uint8_t *out) {
    if (out != nullptr) *out = p[0];
    return p + 1;
}

const uint8_t *buf_read_uint32(const uint8_t *p, uint32_t *out) {
    *out = static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
    return p + 4;
}

const uint8_t *buf_read_uint64(const uint8_t *p, uint64_t *out) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++) v = v << 8 | p[i];
    *out = v;
    return p + 8;
}

const uint8_t *buf_read_bool(const uint8_t *p, bool *out) {
    if (p == nullptr || p[0] > 1) return nullptr;
    *out = p[0] == 1;
    return p + 1;
}

char *buf_as_string(const buf *b) {
    uint32_t n = b == nullptr ? 0 : b->len;
    if (static_cast<uint64_t>(n) + 1 > SIZE_MAX) return nullptr;
    char *text = static_cast<char *>(malloc(static_cast<size_t>(n) + 1));
    if (text == nullptr) return nullptr;
    if (n > 0) memcpy(text, b->data, n);
    text[n] = '\0';
    return text;
}

char *buf_as_hex(const buf *b) {
    static const char digits[] = "0123456789abcdef";
    uint64_t size = 2 * static_cast<uint64_t>(b->len) + 1;
    if (size > SIZE_MAX) return nullptr;
    char *text = static_cast<char *>(malloc(static_cast<size_t>(size)));
    if (text == nullptr) return nullptr;
    for (uint32_t i = 0; i < b->len; i++) {
        text[2 * static_cast<size_t>(i)] = digits[b->data[i] >> 4];
        text[2 * static_cast<size_t>(i) + 1] = digits[b->data[i] & 0x0f];
    }
    text[size - 1] = '\0';
    return text;
}

uint8_t *buf_substr(const buf *b, uint32_t offset, int32_t n) {
    if (b == nullptr || b->data == nullptr) return nullptr;
    if (n > 0 && static_cast<uint64_t>(offset) + static_cast<uint64_t>(n) > b->len) return nullptr;
    return b->data + offset;
}

int32_t buf_cmp(const buf *a, const buf *b) {
    if (a == nullptr && b == nullptr) return 0;
    if (a == nullptr || b == nullptr) return -1;
    if (a->len != b->len) return -1;
    if (a->len == 0) return 0;
    return memcmp(a->data, b->data, a->len);
}

void buf_discard_front(buf *b, uint32_t n) {
    if (n > b->len) n = b->len;
    uint32_t rest = b->len - n;
    if (rest == 0) {
        free(b->data);
        b->data = nullptr;
        b->len = b->capacity = 0;
        return;
    }
    uint8_t *fresh = static_cast<uint8_t *>(malloc(rest));
    if (fresh == nullptr) {
        // Keep the content intact: shift it down inside the old storage.
        memmove(b->data, b->data + n, rest);
        b->len = rest;
        return;
    }
    memcpy(fresh, b->data + n, rest);
    free(b->data);
    b->data = fresh;
    b->len = b->capacity = rest;
}

void hexdump_buf(const buf *b) {
    for (uint32_t i = 0; i < b->len; i++) {
        if (i == 0) {
            fputs("| ", stdout);
        } else if (i % 16 == 0) {
            fputs("|\n| ", stdout);
        } else if (i % 8 == 0) {
            fputs(". ", stdout);
        }
        printf("%02x ", b->data[i]);
    }
    putchar('\n');
}
