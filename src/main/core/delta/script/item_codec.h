/* The CBOR items of a delta as the generators write them: the size and the
   bytes of an item's head, and a checked reader of the items (a copy is two
   unsigned integers, an insert one byte string). */
#ifndef KESTRAVA_DELTA_ITEM_CODEC_H
#define KESTRAVA_DELTA_ITEM_CODEC_H

#include <stddef.h>
#include <stdint.h>

namespace kestrava_items {

// Major types of a copy's two integers and of an insert.
constexpr uint8_t kCopy = 0;
constexpr uint8_t kInsert = 2;

// Size of the shortest CBOR head whose argument is v.
constexpr uint32_t head_size(uint64_t v) {
    return v <= 23 ? 1 : v <= 0xFF ? 2 : v <= 0xFFFF ? 3 : v <= 0xFFFFFFFFu ? 5 : 9;
}

// The edit script's rule for signed 32-bit positions, lengths and sums of
// two of them: the head of |v|. The most negative 32-bit value counts 9:
// its magnitude has no signed 32-bit form.
constexpr int32_t head_size_signed(int64_t v) {
    return v == INT32_MIN ? 9
                          : static_cast<int32_t>(head_size(v < 0 ? uint64_t{0} - static_cast<uint64_t>(v)
                                                                 : static_cast<uint64_t>(v)));
}

// Writes the shortest head of major type `major` with argument v at `at`
// (head_size(v) bytes) and returns its size.
inline uint32_t put_head(uint8_t *at, uint8_t major, uint64_t v) {
    const uint32_t n = head_size(v);
    if (n == 1) {
        at[0] = static_cast<uint8_t>(major << 5 | v);
        return 1;
    }
    at[0] = static_cast<uint8_t>(major << 5 | (n == 2 ? 24 : n == 3 ? 25 : n == 5 ? 26 : 27));
    for (uint32_t k = 1; k < n; ++k) at[k] = static_cast<uint8_t>(v >> (8 * (n - 1 - k)));
    return n;
}

// One item: a copy of `len` old bytes from `off`, or an insert of the `len`
// bytes at `bytes`.
struct item {
    bool copy;
    uint32_t off, len;
    const uint8_t *bytes;
};

// Reads the items of [p, end) one by one. Anything but pairs of unsigned
// integers and definite byte strings with 32-bit arguments (another kind of
// item, an integer without its pair, a head or string cut off by the end)
// stops it as failed.
class item_reader {
  public:
    item_reader(const uint8_t *p, const uint8_t *end) : p_(p), end_(end) {}

    // The next item; false at the end or at a malformed item.
    bool next(item &it) {
        if (p_ >= end_ || failed_) return false;
        it.copy = *p_ >> 5 == kCopy;
        it.off = 0;
        it.bytes = nullptr;
        const bool ok = it.copy ? argument(kCopy, it.off) && argument(kCopy, it.len)
                                : argument(kInsert, it.len) && static_cast<size_t>(end_ - p_) >= it.len;
        if (!ok) {
            failed_ = true;
            return false;
        }
        if (!it.copy) {
            it.bytes = p_;
            p_ += it.len;
        }
        return true;
    }

    // Whether reading stopped at a malformed item.
    bool failed() const { return failed_; }

  private:
    bool argument(uint8_t major, uint32_t &v) {
        if (p_ >= end_ || *p_ >> 5 != major) return false;
        const uint32_t info = *p_ & 31u;
        if (info > 27) return false;
        const uint32_t extra = info < 24 ? 0 : 1u << (info - 24);
        if (static_cast<size_t>(end_ - p_) <= extra) return false;
        uint64_t value = info < 24 ? info : 0;
        for (uint32_t k = 1; k <= extra; ++k) value = value << 8 | p_[k];
        if (value > UINT32_MAX) return false;
        p_ += 1 + extra;
        v = static_cast<uint32_t>(value);
        return true;
    }

    const uint8_t *p_, *end_;
    bool failed_ = false;
};

}  // namespace kestrava_items

#endif
