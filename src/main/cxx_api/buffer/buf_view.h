// Borrowed views: a `buf` record over memory that belongs to someone else.
// A view has capacity equal to its length, is never grown, written or
// passed to buf_free; releasing it only forgets the memory.
#ifndef KESTRAVA_CXX_API_BUF_VIEW_H
#define KESTRAVA_CXX_API_BUF_VIEW_H

#include <cstdint>

#include "core/buffer/buf.h"

namespace kestrava {

inline buf buf_view_make(const uint8_t *data, uint32_t len) {
    // The core takes views through `const buf *`, so the cast never leads
    // to a write.
    return buf{const_cast<uint8_t *>(data), len, len};
}

inline void buf_view_release(buf *view) {
    view->data = nullptr;
    view->len = 0;
}

}  // namespace kestrava

#endif
