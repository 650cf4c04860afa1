// Delta generation round trip: two values carved from the input, a delta
// made by one of the generators, which must patch back to the new value (or
// be the no-change byte for equal values) and never be longer than the
// replacement delta. Input: a generator choice, two limit bytes, two bytes
// of old-value length, the old value, then the new value. The choice's high
// four bits repeat both values up to 16 times: short inputs then reach the
// search's long-range code (its band, and values lent between searches over
// a kilobyte or more), which small values never run.
#include "core/delta/delta_apply.h"
#include "core/delta/delta_generate.h"
#include "fuzz_input.h"
// The indexed generator joins the round trip as soon as it is in the tree.
#if __has_include("core/delta/delta_indexed.h")
#include <stdlib.h>

#include "core/delta/delta_indexed.h"
#include "core/delta/indexed/first_pass.h"
#include "core/delta/indexed/refine.h"
#define KESTRAVA_FUZZ_INDEXED 1
#endif

namespace {

struct limits {
    uint8_t a, b;
};

buf *with_defaults(const buf *o, const buf *n, limits) { return diff_generate_binary(o, n); }

// Tiny (and sometimes meaningless) storage and cost limits.
buf *with_small_limits(const buf *o, const buf *n, limits l) {
    return diff_generate_binary_ex(o, n, static_cast<int8_t>(l.a), static_cast<int8_t>(l.b));
}

// A quality level picked by the utilisation the history reports: a history
// whose ring lies ahead of the wall clock keeps its busy total.
buf *with_history(const buf *o, const buf *n, limits l) {
    activity_history *h = kestrava_activity_history_create(4, 64);  // 256 ms window
    FUZZ_CHECK(h != nullptr);
    h->busy_total = l.a;  // utilisation 0..255: every quality level
    h->current_slot = UINT64_MAX / 2;
    buf *d = l.b & 1 ? diff_generate_binary_with_activity_history(h, o, n)
                     : diff_generate_binary_with_activity_history_ex(h, o, n, 16 + l.b, 1 + l.b);
    FUZZ_CHECK(h->last_delta_quality == (l.a < 128 ? 0 : l.a < 166 ? 1 : l.a < 204 ? 2 : l.a < 243 ? 3 : 4));
    kestrava_activity_history_free(h);
    return d;
}

#ifdef KESTRAVA_FUZZ_INDEXED
// The indexed generator; with the first limit byte odd, its second pass in
// the form that scans the old value once, which small values never choose.
buf *indexed(const buf *o, const buf *n, limits l) {
    if (!(l.a & 1)) return diff_generate_binary_indexed(o, n);
    kestrava_indexed::output first, again;
    first.limit = n->len;
    FUZZ_CHECK(kestrava_indexed::first_pass(o->data, o->len, n->data, n->len, first));
    if (first.over || first.oom || first.len >= n->len) {
        free(first.data);
        return diff_generate_binary_indexed(o, n);
    }
    again.limit = first.len;
    kestrava_indexed::refine_work work;
    work.force = 2;
    const int refined = kestrava_indexed::refine(o->data, o->len, n->data, n->len, first, again, &work);
    FUZZ_CHECK(refined >= 0);
    const bool shorter = refined > 0 && !again.over && again.len < first.len;
    kestrava_indexed::output &d = shorter ? again : first;
    free(shorter ? first.data : again.data);
    buf *b = static_cast<buf *>(calloc(1, sizeof(buf)));
    FUZZ_CHECK(b != nullptr);
    b->data = d.data;
    b->len = d.len;
    b->capacity = d.cap;
    return b;
}
#endif

buf *(*const generators[])(const buf *, const buf *, limits) = {
    with_defaults, with_small_limits, with_history,
#ifdef KESTRAVA_FUZZ_INDEXED
    indexed,
#endif
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::input in(data, size);
    const uint8_t choice = in.u8();
    auto generate = generators[choice % (sizeof generators / sizeof generators[0])];
    limits l{in.u8(), in.u8()};
    fuzz::bytes old_value = in.take(in.u16());
    fuzz::bytes new_value = in.rest();
    for (fuzz::bytes *v : {&old_value, &new_value}) {
        const fuzz::bytes once = *v;
        for (int i = 0; i < choice >> 4; ++i) v->insert(v->end(), once.begin(), once.end());
    }
    buf o = fuzz::view(old_value), n = fuzz::view(new_value);

    buf *d = generate(&o, &n, l);
    FUZZ_CHECK(d != nullptr);
    // The replacement delta: a byte-string head of 1 to 5 bytes, then the value.
    uint64_t head = new_value.size() < 24 ? 1 : new_value.size() < 256 ? 2 : new_value.size() < 65536 ? 3 : 5;
    FUZZ_CHECK(d->len <= head + new_value.size());
    if (d->len == 1 && d->data[0] == 0xf6) {
        FUZZ_CHECK(old_value == new_value && new_value.size() >= 2);
    } else {
        buf *back = diff_apply_binary(&o, d);
        FUZZ_CHECK(fuzz::same(back, new_value));
        buf_free(back);
    }
    buf_free(d);
    return 0;
}
