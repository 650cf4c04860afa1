// The parser over arbitrary bytes: items until null, each value's bytes
// touched and compared with the input they came from, every value freed.
#include <cstring>

#include "core/cbor/cbor_parser.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An exact-size copy, so that any read past the input is caught.
    fuzz::bytes input(data, data + size);
    cbor_parser *p = cbor_parser_create(input.data(), static_cast<uint32_t>(input.size()));
    FUZZ_CHECK(p != nullptr);
    const uint8_t *end = input.data() + input.size();
    for (;;) {
        const uint8_t *start = p->cursor;
        cbor_val *v = cbor_next_val(p);
        FUZZ_CHECK(p->cursor >= start && p->cursor <= end);
        FUZZ_CHECK(cbor_parser_available_bytes(p) == end - p->cursor);
        if (v == nullptr) break;
        FUZZ_CHECK(p->cursor > start);  // every item consumes its first byte
        FUZZ_CHECK(v->initial_byte == *start && v->type == *start >> 5);
        bool reserved = (*start & 31) >= 28 && (*start & 31) <= 30;
        if (reserved) {
            // Skipped: the major type's record with nothing in it.
            FUZZ_CHECK(p->cursor == start + 1 && v->length == 0 && v->payload.integer == 0);
        } else if ((v->type == 2 || v->type == 3) && v->length != -1) {
            // A string's copy is the input's last `length` bytes of the item,
            // and a text copy carries a terminator after them.
            FUZZ_CHECK(v->length >= 0 && v->length <= p->cursor - start - 1);
            size_t n = static_cast<size_t>(v->length);
            FUZZ_CHECK(n == 0 || std::memcmp(v->payload.data, p->cursor - n, n) == 0);
            if (v->type == 3) FUZZ_CHECK(v->payload.data[n] == 0);
        } else if (v->type == 2 || v->type == 3) {
            FUZZ_CHECK(v->payload.data == nullptr && p->in_indefinite == 1);
        }
        cbor_val_free(v);
    }
    cbor_parser_free(p);
    return 0;
}
