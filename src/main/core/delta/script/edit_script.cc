#include "core/delta/script/edit_script.h"

#include <stdlib.h>

#include "core/cbor/cbor_generator.h"
#include "core/delta/script/item_codec.h"

namespace {

using kestrava_items::head_size_signed;

// Subtracts an item's encoded size from the budget; false once it is used up.
// Computed wide so that a huge item cannot wrap the budget back to positive.
bool spend(edit_script *s, int64_t cost) {
    int64_t left = static_cast<int64_t>(s->budget) - cost;
    s->budget = left < INT32_MIN ? INT32_MIN : static_cast<int32_t>(left);
    return left > 0;
}

void append_generated(edit_script *s, cbor_generator *g) {
    if (g->len > 0) buf_write_bytes(s->out, g->data, g->len);
}

void write_insert(edit_script *s) {
    cbor_generator *g = cbor_generator_create();
    if (!g) return;
    const uint8_t *bytes = buf_substr(s->new_buf, static_cast<uint32_t>(s->insert_start), s->insert_length);
    cbor_write_byte_string(g, bytes, static_cast<uint64_t>(static_cast<uint32_t>(s->insert_length)));
    append_generated(s, g);
    cbor_generator_free(g);
}

void write_copy(edit_script *s) {
    cbor_generator *g = cbor_generator_create();
    if (!g) return;
    cbor_write_uint(g, static_cast<uint64_t>(static_cast<uint32_t>(s->match_start)));
    cbor_write_uint(g, static_cast<uint64_t>(static_cast<uint32_t>(s->match_length)));
    append_generated(s, g);
    cbor_generator_free(g);
}

bool flush(edit_script *s) {
    if (s->insert_start != -1) {
        if (!spend(s, static_cast<int64_t>(s->insert_length) + head_size_signed(s->insert_length))) return false;
        write_insert(s);
        s->insert_start = -1;
    }
    if (s->match_start != -1) {
        if (!spend(s, head_size_signed(s->match_start) + head_size_signed(s->match_length))) return false;
        write_copy(s);
        s->match_start = -1;
    }
    return true;
}

// Sending `extra` matched bytes literally inside an insert that then holds
// `total` bytes instead of `before` costs no more than the smallest copy at
// `offset` would: ties fold.
bool folds(int64_t extra, int64_t total, int64_t before, int32_t offset) {
    return extra + head_size_signed(total) - head_size_signed(before) <= 1 + head_size_signed(offset);
}

int32_t add_lengths(int64_t a, int64_t b) {
    int64_t sum = a + b;
    return sum > INT32_MAX ? INT32_MAX : (sum < INT32_MIN ? INT32_MIN : static_cast<int32_t>(sum));
}

}  // namespace

extern "C" {

edit_script *edit_script_create(const buf *old_value, const buf *new_value) {
    edit_script *s = static_cast<edit_script *>(calloc(1, sizeof(edit_script)));
    if (!s) return nullptr;
    s->out = buf_create();
    if (!s->out) {
        free(s);
        return nullptr;
    }
    s->insert_start = -1;
    s->match_start = -1;
    s->old_buf = old_value;
    s->new_buf = new_value;
    s->budget = static_cast<int32_t>(new_value->len);
    return s;
}

void edit_script_free(edit_script *s) {
    if (!s) return;
    buf_free(s->out);
    free(s);
}

bool edit_script_close(edit_script *s) { return flush(s); }

bool edit_script_match(edit_script *s, int32_t start, int32_t length) {
    if (s->match_start != -1) {
        if (!flush(s)) return false;
    } else if (s->insert_start != -1) {
        int64_t n = s->insert_length;
        if (folds(length, n + length, n, start)) {
            s->insert_length = add_lengths(n, length);
            return true;
        }
    }
    s->match_start = start;
    s->match_length = length;
    return true;
}

bool edit_script_insert(edit_script *s, int32_t start, int32_t length) {
    if (s->match_start == -1) {
        if (s->insert_start != -1) {
            s->insert_length = add_lengths(s->insert_length, length);
        } else {
            s->insert_start = start;
            s->insert_length = length;
        }
        return true;
    }
    int64_t cn = s->match_length;
    if (folds(cn, cn + length, length, s->match_start)) {
        s->match_start = -1;
        if (s->insert_start != -1) {
            s->insert_length = add_lengths(s->insert_length, cn + length);
        } else {
            s->insert_start = add_lengths(start, -cn);
            s->insert_length = add_lengths(cn, length);
        }
        return true;
    }
    if (!flush(s)) return false;
    s->insert_start = start;
    s->insert_length = length;
    return true;
}

}  // extern "C"
