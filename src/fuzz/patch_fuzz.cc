// Patching hostile deltas: the result (or the failure) must be exactly what
// the plain model of the delta reader gives, with and without a bound on the
// output. Input: one byte choosing a bound, two bytes of old-value length,
// the old value, then the delta.
#include <optional>

#include "core/delta/delta_apply.h"
#include "delta_apply_model.h"
#include "fuzz_input.h"

namespace {

void check(const fuzz::bytes &old_value, const fuzz::bytes &delta, uint64_t max_length,
           const std::optional<fuzz::bytes> &want) {
    buf o = fuzz::view(old_value), d = fuzz::view(delta);
    buf *out = max_length == UINT64_MAX ? diff_apply_binary(&o, &d) : diff_apply_binary_limited(&o, &d, max_length);
    FUZZ_CHECK(want ? fuzz::same(out, *want) : out == nullptr);
    buf_free(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::input in(data, size);
    uint8_t bound_choice = in.u8();
    fuzz::bytes old_value = in.take(in.u16());
    fuzz::bytes delta = in.rest();

    std::optional<fuzz::bytes> want = model::apply(old_value, delta);
    check(old_value, delta, UINT64_MAX, want);
    // Bounds at the exact size, one below it and one the input picks.
    if (want) {
        check(old_value, delta, want->size(), want);
        if (!want->empty()) check(old_value, delta, want->size() - 1, std::nullopt);
    }
    uint64_t bound = bound_choice;
    check(old_value, delta, bound, model::apply(old_value, delta, bound));
    return 0;
}
