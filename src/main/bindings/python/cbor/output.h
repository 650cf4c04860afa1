// The output of one dumps call: CBOR bytes written into plain memory that
// grows by doubling, copied into the result once at the end. The memory of
// a call is kept for the next one, up to a size, so that calls that follow
// each other grow it once, not every time. Each write asks for exactly the
// bytes it writes, so the one test per item is also the 32-bit length
// limit's.
//
// The writers take the cursor, where the next byte goes, and return it
// past what they wrote: the encoder passes it from item to item and through
// the calls of nested containers, so it stays in a register instead of
// being stored and loaded back for every item (a container's closing byte
// then waited on the store of its last element's).
//
// Long strings of exact str and bytes objects are not copied in but
// spliced: the output gets their heads, and the strings are copied behind
// them once, into the result, at the end. Their objects are held until
// then; they cannot change, and releasing them runs no Python code.
#ifndef KESTRAVA_PYTHON_CBOR_OUTPUT_H
#define KESTRAVA_PYTHON_CBOR_OUTPUT_H

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

// The per-item writers are small and run once per value: always inlined.
#define KESTRAVA_HOT inline __attribute__((always_inline))

namespace kestrava {

using Cursor = uint8_t *;

class CborOutput {
public:
    // Starts in the storage the last output left, if it is free.
    CborOutput();
    // Leaves the storage for the next output, or frees it.
    ~CborOutput();
    CborOutput(const CborOutput &) = delete;
    CborOutput &operator=(const CborOutput &) = delete;

    // The cursor before the first write.
    Cursor start() const { return begin; }

    KESTRAVA_HOT Cursor byte(Cursor at, uint8_t value) {
        *room(at, 1) = value;
        return at;
    }

    // The shortest head of major type `major` with argument `value`.
    KESTRAVA_HOT Cursor head(Cursor at, uint8_t major, uint64_t value) {
        const uint8_t type = static_cast<uint8_t>(major << 5);
        if (value < 24) {
            *room(at, 1) = static_cast<uint8_t>(type | value);
        } else if (value <= 0xff) {
            uint8_t *to = room(at, 2);
            to[0] = type | 24;
            to[1] = static_cast<uint8_t>(value);
        } else if (value <= 0xffff) {
            put_big_endian<uint16_t>(room(at, 3), type | 25, value);
        } else if (value <= 0xffffffffu) {
            put_big_endian<uint32_t>(room(at, 5), type | 26, value);
        } else {
            put_big_endian<uint64_t>(room(at, 9), type | 27, value);
        }
        return at;
    }

    // A float item: initial byte 0xf9, 0xfa or 0xfb and 2, 4 or 8 bytes.
    KESTRAVA_HOT Cursor float_item(Cursor at, uint8_t initial, uint64_t bits) {
        if (initial == 0xf9) {
            put_big_endian<uint16_t>(room(at, 3), initial, bits);
        } else if (initial == 0xfa) {
            put_big_endian<uint32_t>(room(at, 5), initial, bits);
        } else {
            put_big_endian<uint64_t>(room(at, 9), initial, bits);
        }
        return at;
    }

    // A definite byte (major 2) or text (major 3) string whose bytes are
    // copied in.
    KESTRAVA_HOT Cursor string(Cursor at, uint8_t major, const char *data, uint64_t size) {
        if (size < 24) {
            return short_string(at, major, data, static_cast<uint32_t>(size));
        }
        return long_string(at, major, data, size);
    }

    // A string whose bytes belong to `owner`, an exact str or bytes object
    // (held here when spliced). Fails where copying would have: past 32
    // bits, before the head; when the output cannot hold it, after.
    KESTRAVA_HOT Cursor owned_string(Cursor at, uint8_t major, const char *data, uint64_t size, PyObject *owner) {
        if (size < 24) {
            return short_string(at, major, data, static_cast<uint32_t>(size));
        }
        if (size < splice_from) {
            return long_string(at, major, data, size);
        }
        return splice(at, major, data, size, owner);
    }

    // The result, everything up to the cursor `at`, cut to length or
    // assembled with the spliced strings; the output is spent afterwards.
    pybind11::bytes finish(Cursor at);

private:
    static constexpr uint64_t splice_from = 2048;

    struct Splice {
        std::size_t at;  // output offset the string follows
        const char *data;
        uint32_t size;
        pybind11::object owner;
    };

    // The storage: the last call's, when it was kept and is free, else null
    // until the first write; `begin` to `end` is its memory. Plain memory
    // rather than the result's own bytes object grown in place: that left
    // the allocator, once the caller freed a large result, handing the next
    // call's growing result out as memory fresh from the system, a page
    // fault for every 4 KiB written (142 a call on 100,000 floats, 340 on
    // 10,000 records); plain memory freed here is taken again without (PyPy
    // too, where a bytes object made through the C API costs more to
    // resize).
    void *heap = nullptr;
    uint8_t *begin = nullptr;
    uint8_t *end = nullptr;
    std::vector<Splice> splices;
    uint64_t spliced = 0;

    // Bytes written up to `at`, spliced strings included.
    uint64_t length(Cursor at) const { return static_cast<uint64_t>(at - begin) + spliced; }

    // Claims the next `n` bytes, which the caller fills, and moves `at`
    // past them.
    KESTRAVA_HOT uint8_t *room(Cursor &at, uint32_t n) {
        if (static_cast<std::size_t>(end - at) < n) {
            at = grow(at, n);
        }
        uint8_t *claimed = at;
        at += n;
        return claimed;
    }

    // Below 24 bytes the length is in the initial byte.
    KESTRAVA_HOT Cursor short_string(Cursor at, uint8_t major, const char *data, uint32_t size) {
        uint8_t *to = room(at, 1 + size);
        to[0] = static_cast<uint8_t>(major << 5 | size);
        copy_short(to + 1, data, size);
        return at;
    }

    // Room for `n` more bytes; the same position in the grown storage.
    Cursor grow(Cursor at, uint32_t n);
    Cursor long_string(Cursor at, uint8_t major, const char *data, uint64_t size);
    Cursor splice(Cursor at, uint8_t major, const char *data, uint64_t size, PyObject *owner);
    // An item of `item_bytes` does not fit after `at`: OverflowError past
    // the 32-bit length, else MemoryError.
    [[noreturn]] void fail(Cursor at, uint64_t item_bytes) const;

    template <typename T>
    KESTRAVA_HOT static void put_big_endian(uint8_t *to, uint8_t initial, uint64_t value) {
        to[0] = initial;
        T v = static_cast<T>(value);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        if constexpr (sizeof(T) == 2) {
            v = __builtin_bswap16(v);
        } else if constexpr (sizeof(T) == 4) {
            v = __builtin_bswap32(v);
        } else {
            v = __builtin_bswap64(v);
        }
#endif
        std::memcpy(to + 1, &v, sizeof v);
    }

    // Up to 23 bytes without a call: two overlapping fixed-size copies.
    KESTRAVA_HOT static void copy_short(uint8_t *to, const char *from, uint32_t n) {
        if (n >= 8) {
            if (n > 16) {
                std::memcpy(to, from, 16);
                std::memcpy(to + n - 8, from + n - 8, 8);
            } else {
                std::memcpy(to, from, 8);
                std::memcpy(to + n - 8, from + n - 8, 8);
            }
        } else if (n >= 4) {
            std::memcpy(to, from, 4);
            std::memcpy(to + n - 4, from + n - 4, 4);
        } else if (n > 0) {
            to[0] = static_cast<uint8_t>(from[0]);
            to[n / 2] = static_cast<uint8_t>(from[n / 2]);
            to[n - 1] = static_cast<uint8_t>(from[n - 1]);
        }
    }
};

}  // namespace kestrava

#endif
