#include "core/delta/delta_apply.h"

#include "core/cbor/cbor_parser.h"

namespace {

// Appends `n` bytes and reports whether the buffer really grew by them (an
// append that cannot get storage leaves the buffer unchanged). An append
// that would take the output past `max_length` fails before any storage is
// asked for, so a small hostile delta cannot make a bounded caller allocate.
bool append(buf *out, const void *src, uint32_t n, uint64_t max_length) {
    if (n > max_length - out->len) return false;
    uint32_t before = out->len;
    buf_write_bytes(out, src, n);
    return out->len - before == n;
}

// Outcome of one delta item.
enum class step { more, done, failed };

step apply_copy(const buf *old_value, cbor_parser *parser, int64_t offset_item, buf *out, uint64_t max_length) {
    cbor_val *length_item = cbor_next_val(parser);
    if (length_item == nullptr || length_item->type != 0) {
        cbor_val_free(length_item);
        return step::failed;
    }
    uint64_t offset = static_cast<uint64_t>(offset_item);
    uint64_t length = static_cast<uint64_t>(length_item->payload.integer);
    cbor_val_free(length_item);
    // Offsets and lengths are 32-bit quantities, and a copy never reads
    // outside the old value.
    if (offset > UINT32_MAX || length > UINT32_MAX || offset + length > old_value->len) return step::failed;
    if (length == 0) return step::more;
    return append(out, old_value->data + offset, static_cast<uint32_t>(length), max_length) ? step::more
                                                                                           : step::failed;
}

step apply_item(const buf *old_value, cbor_parser *parser, buf *out, uint64_t max_length) {
    // A rejected item with input left is a malformed or truncated delta, not
    // its end. The test must come before the call: a failing handler has
    // already moved past the head.
    bool input_left = cbor_parser_available_bytes(parser) > 0;
    cbor_val *item = cbor_next_val(parser);
    if (item == nullptr) return input_left ? step::failed : step::done;
    step result = step::more;
    switch (item->type) {
        case 0: {
            int64_t offset = item->payload.integer;
            cbor_val_free(item);
            return apply_copy(old_value, parser, offset, out, max_length);
        }
        case 2:
        case 3:
            // An indefinite-length start carries no bytes; its chunks follow
            // as ordinary strings.
            if (item->length > 0 &&
                !append(out, item->payload.data, static_cast<uint32_t>(item->length), max_length)) {
                result = step::failed;
            }
            break;
        default:
            break;
    }
    cbor_val_free(item);
    return result;
}

}  // namespace

buf *diff_apply_binary(const buf *old_value, const buf *delta) {
    return diff_apply_binary_limited(old_value, delta, UINT64_MAX);
}

buf *diff_apply_binary_limited(const buf *old_value, const buf *delta, uint64_t max_length) {
    // The no-change delta (the generator's answer for equal values) stands
    // for the old value itself; skipping it like other simple values would
    // hand back an empty value and lose the data.
    if (delta->len == 1 && delta->data[0] == 0xf6) {
        buf *same = buf_create();
        if (same != nullptr && !append(same, old_value->data, old_value->len, max_length)) {
            buf_free(same);
            return nullptr;
        }
        return same;
    }
    buf *out = buf_create();
    cbor_parser *parser = out == nullptr ? nullptr : cbor_parser_create(delta->data, delta->len);
    if (parser == nullptr) {
        // No memory to work with: fail rather than pass off an empty value.
        buf_free(out);
        return nullptr;
    }
    step result;
    do {
        result = apply_item(old_value, parser, out, max_length);
    } while (result == step::more);
    cbor_parser_free(parser);
    if (result == step::failed) {
        buf_free(out);
        return nullptr;
    }
    return out;
}
