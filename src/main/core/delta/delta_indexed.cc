// The indexed delta generator's entry: equal values, the first pass, the
// replacement delta when that pass saves nothing, and the second pass.
#include "core/delta/delta_indexed.h"

#include <stdlib.h>
#include <string.h>

#include "core/delta/indexed/emitter.h"
#include "core/delta/indexed/first_pass.h"
#include "core/delta/indexed/refine.h"
#include "core/delta/script/item_codec.h"

namespace {

using kestrava_indexed::output;

buf *wrap(uint8_t *data, uint32_t len, uint32_t cap) {
    buf *b = static_cast<buf *>(calloc(1, sizeof(buf)));
    if (!b) {
        free(data);
        return nullptr;
    }
    b->data = data;
    b->len = len;
    b->capacity = cap;
    return b;
}

// One byte string holding the whole new value.
buf *replacement(const uint8_t *new_v, uint32_t m) {
    uint64_t size = static_cast<uint64_t>(kestrava_items::head_size(m)) + m;
    if (size > SIZE_MAX) return nullptr;
    output o;
    o.limit = UINT32_MAX;
    o.data = static_cast<uint8_t *>(malloc(static_cast<size_t>(size)));
    if (!o.data) return nullptr;
    o.cap = static_cast<uint32_t>(size);
    o.put_head(kestrava_items::kInsert, m);
    if (m) memcpy(o.data + o.len, new_v, m);
    o.len += m;
    return wrap(o.data, o.len, o.cap);
}

}  // namespace

extern "C" {

buf *diff_generate_binary_indexed(const buf *old_value, const buf *new_value) {
    const uint32_t n = old_value->len, m = new_value->len;
    if (n > INT32_MAX || m > INT32_MAX) return nullptr;
    if (n == m && (m == 0 || memcmp(old_value->data, new_value->data, m) == 0)) {
        if (m < 2) return replacement(new_value->data, m);
        uint8_t *one = static_cast<uint8_t *>(malloc(1));
        if (!one) return nullptr;
        one[0] = 0xf6;
        return wrap(one, 1, 1);
    }

    output out;
    out.limit = m;
    if (!kestrava_indexed::first_pass(old_value->data, n, new_value->data, m, out) || out.oom) {
        free(out.data);
        return nullptr;
    }
    if (out.over || out.len >= m) {
        free(out.data);
        return replacement(new_value->data, m);
    }
    output again;
    again.limit = out.len;
    // Without memory for the second pass the first one's delta is kept.
    int refined = kestrava_indexed::refine(old_value->data, n, new_value->data, m, out, again);
    if (refined > 0 && !again.over && !again.oom && again.len < out.len) {
        free(out.data);
        return wrap(again.data, again.len, again.cap);
    }
    free(again.data);
    return wrap(out.data, out.len, out.cap);
}

}  // extern "C"
