// The variable-length readers over arbitrary bytes. They check no bounds
// (the caller guarantees the bytes), so they run over an exact-size copy
// with ten bytes of padding, the longest integer they may read; the string
// reader runs only when the decoded length lies inside the copy. Results are
// checked against a plain decoding and a round trip through the writers.
#include <cstring>

#include "core/buffer/buf_enc.h"
#include "fuzz_input.h"

namespace {

// Plain decoding: null past `max_bytes` groups with continuation.
const uint8_t *plain_decode(const uint8_t *p, int max_bytes, uint64_t *out) {
    uint64_t v = 0;
    for (int i = 0; i < max_bytes; i++) {
        v |= static_cast<uint64_t>(p[i] & 0x7f) << (7 * i);  // at most 63: bits past 64 drop out
        if (!(p[i] & 0x80)) {
            *out = v;
            return p + i + 1;
        }
    }
    return nullptr;
}

void check_integer(const uint8_t *p) {
    uint64_t want64 = 0, want32 = 0;
    const uint8_t *end64 = plain_decode(p, 10, &want64);
    const uint8_t *end32 = plain_decode(p, 5, &want32);
    uint64_t got64 = 0x5a5a;
    uint32_t got32 = 0x5a5a;
    FUZZ_CHECK(buf_read_uint64_enc(p, &got64) == end64);
    FUZZ_CHECK(buf_read_uint32_enc(p, &got32) == end32);
    FUZZ_CHECK(buf_read_uint64_enc(p, nullptr) == end64);
    if (end64 != nullptr) FUZZ_CHECK(got64 == want64);
    else FUZZ_CHECK(got64 == 0x5a5a);
    if (end32 != nullptr) FUZZ_CHECK(got32 == static_cast<uint32_t>(want32));
    else FUZZ_CHECK(got32 == 0x5a5a);
    float f = 0;
    FUZZ_CHECK(buf_read_float(p, &f) == end32);
    if (end32 != nullptr) {
        uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        FUZZ_CHECK(bits == got32);
    }
    // The writers give the minimal form, which reads back the same value.
    if (end64 != nullptr) {
        buf *b = buf_create();
        buf_write_uint64_enc(b, got64);
        FUZZ_CHECK(b->len <= static_cast<uint32_t>(end64 - p) && (b->data[b->len - 1] & 0x80) == 0);
        uint64_t again = 0;
        FUZZ_CHECK(buf_read_uint64_enc(b->data, &again) == b->data + b->len && again == got64);
        buf_free(b);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const size_t pad = 10;
    fuzz::bytes copy(data, data + size);
    copy.resize(size + pad, size > 0 ? data[0] : 0x80);  // padding the readers may run into
    const uint8_t *end = copy.data() + size + pad;
    // Read a stream of integers from every start position in the input.
    for (size_t i = 0; i < size; i++) check_integer(copy.data() + i);

    // A stream of length-prefixed strings, while each one fits.
    const uint8_t *p = copy.data();
    while (p < copy.data() + size) {
        uint64_t length = 0;
        const uint8_t *body = buf_read_uint64_enc(p, &length);
        char *text = nullptr;
        uint32_t n = 0xa5a5;
        if (body == nullptr) {
            FUZZ_CHECK(buf_read_string_length_enc(p, &text, &n) == nullptr && text == nullptr && n == 0xa5a5);
            break;
        }
        uint32_t low = static_cast<uint32_t>(length);
        if (low > static_cast<size_t>(end - body)) break;
        const uint8_t *next = buf_read_string_length_enc(p, &text, &n);
        FUZZ_CHECK(next == body + low && n == low && text != nullptr);
        FUZZ_CHECK(std::memcmp(text, body, low) == 0 && text[low] == 0);
        FUZZ_CHECK(buf_read_string_length_enc(p, nullptr, nullptr) == next);
        // The writer puts the same string back with a minimal length.
        buf *b = buf_create();
        buf_write_string_length_enc(b, text, low);
        char *again = nullptr;
        FUZZ_CHECK(buf_read_string_length_enc(b->data, &again, &n) == b->data + b->len && n == low);
        FUZZ_CHECK(std::memcmp(again, text, low) == 0);
        std::free(again);
        std::free(text);
        buf_free(b);
        p = next;
    }
    return 0;
}
