// Small helpers shared by the core tests.
#ifndef KESTRAVA_TEST_UTIL_H
#define KESTRAVA_TEST_UTIL_H

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/buffer/buf.h"

namespace test {

using bytes = std::vector<uint8_t>;

// "00 1a ff" -> {0x00, 0x1a, 0xff}; spaces are ignored.
inline bytes hex(const std::string &text) {
    bytes out;
    std::string digits;
    for (char c : text) {
        if (c != ' ') digits += c;
    }
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline bytes of(const std::string &text) { return bytes(text.begin(), text.end()); }

// A read-only view in the way the bindings lend storage (capacity == len).
inline buf view(const bytes &b) {
    return buf{const_cast<uint8_t *>(b.data()), static_cast<uint32_t>(b.size()), static_cast<uint32_t>(b.size())};
}

inline bytes contents(const buf *b) { return b == nullptr || b->len == 0 ? bytes{} : bytes(b->data, b->data + b->len); }

struct buf_deleter {
    void operator()(buf *b) const { buf_free(b); }
};
using buf_ptr = std::unique_ptr<buf, buf_deleter>;

struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};

}  // namespace test

#endif
