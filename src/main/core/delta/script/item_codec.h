/* Size of the CBOR head that announces a delta item's argument. */
#ifndef KESTRAVA_HEAD_SIZE_H
#define KESTRAVA_HEAD_SIZE_H

#include <stdint.h>

// Size of a CBOR head whose argument is |v|. The most negative 32-bit value
// counts 9: its magnitude has no signed 32-bit form. Sums of two 32-bit
// lengths are accepted too.
static inline int32_t kestrava_head_size(int64_t v) {
    if (v == INT32_MIN) return 9;
    uint64_t mag = v < 0 ? static_cast<uint64_t>(0) - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    if (mag <= 23) return 1;
    if (mag <= 255) return 2;
    if (mag <= 65535) return 3;
    if (mag <= UINT32_MAX) return 5;
    return 9;
}

#endif
