// Carves typed fields and byte ranges out of a fuzz input, front to back.
// Reading past the end yields zeros and empty ranges, never out-of-bounds
// memory, so every input is a valid test case.
#ifndef KESTRAVA_FUZZ_INPUT_H
#define KESTRAVA_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/buffer/buf.h"

namespace fuzz {

using bytes = std::vector<uint8_t>;

class input {
public:
    input(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t u16() {
        uint16_t hi = u8();
        return static_cast<uint16_t>(hi << 8 | u8());
    }
    size_t left() const { return size_ - pos_; }
    // The next `n` bytes (fewer if the input ends first).
    bytes take(size_t n) {
        if (n > left()) n = left();
        bytes out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }
    bytes rest() { return take(left()); }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

// A read-only view in the way the bindings lend storage (capacity == len).
inline buf view(const bytes &b) {
    return buf{const_cast<uint8_t *>(b.data()), static_cast<uint32_t>(b.size()), static_cast<uint32_t>(b.size())};
}

inline bool same(const buf *b, const bytes &expected) {
    return b != nullptr && b->len == expected.size() &&
           (expected.empty() || bytes(b->data, b->data + b->len) == expected);
}

}  // namespace fuzz

// A failed check is a crash, so that the fuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                                       \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

#endif
