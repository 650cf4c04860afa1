// The passes one diagonal at a time, for every processor; and the choice of
// passes for a run.
#include "core/delta/common/byte_match.h"
#include "core/delta/myers/band/cpu_features.h"
#include "core/delta/myers/band/search_passes.h"

#if KESTRAVA_HAVE_AVX512_PASSES
#include <cpuid.h>
#endif

namespace kestrava_myers {

using kestrava_bytes::common_prefix;
using kestrava_bytes::common_suffix;

namespace {

// The snakes, out of the passes' loops: most steps find none, and the loops
// run faster with the registers these would take (a tenth, measured).
__attribute__((noinline)) int32_t forward_snake(const uint8_t *old_v, const uint8_t *new_v, uint32_t n, uint32_t m,
                                                int32_t x, int32_t y) {
    uint32_t room = n - static_cast<uint32_t>(x);
    if (m - static_cast<uint32_t>(y) < room) room = m - static_cast<uint32_t>(y);
    return x + 1 + static_cast<int32_t>(common_prefix(old_v + x + 1, new_v + y + 1, room - 1));
}

__attribute__((noinline)) int32_t reverse_snake(const uint8_t *old_v, const uint8_t *new_v, int32_t x, int32_t y) {
    const uint32_t room = static_cast<uint32_t>(x < y ? x : y);
    return x - 1 - static_cast<int32_t>(common_suffix(old_v + x - 1, new_v + y - 1, room - 1));
}

// A job's fields as the loops below use them, copied out of the job: the
// values the loops store could otherwise alias its fields and force reloads.
struct run_fields {
    explicit run_fields(const pass_job &j)
        : old_v(j.old_v), new_v(j.new_v), n(static_cast<uint32_t>(j.n)), m(static_cast<uint32_t>(j.m)),
          prev(j.prev), other(j.other), check_begin(j.check_begin), out(j.out) {}
    const uint8_t *const old_v, *const new_v;
    const uint32_t n, m;
    const int32_t *const prev, *const other;
    const int32_t check_begin;
    int32_t *const out;
};

// The diagonals [from, to) of a pass, with the overlap test (Check) or
// without. Positions and diagonals fit 32 bits (see pass_job). Returns the
// index of the diagonal where the searches meet, or -1.
template <bool Check>
int32_t forward_run(const pass_job &j, int32_t from, int32_t to, pass_hit &hit) {
    const run_fields f(j);
    const uint8_t *const old_v = f.old_v, *const new_v = f.new_v;
    const int32_t *const prev = f.prev;
    int32_t *const out = f.out;
    int32_t k = j.k0 + 2 * from;
    for (int32_t i = from; i < to; ++i, k += 2) {
        // A tie steps from k + 1: x0 = max(F(k + 1) + 1, F(k - 1)).
        const int32_t up = prev[i + 1] + 1, down = prev[i];
        const int32_t x0 = up > down ? up : down;
        // Wrapping: unreached diagonals' values lie far outside the values.
        const uint32_t y0 = static_cast<uint32_t>(x0) + static_cast<uint32_t>(k);
        int32_t x = x0;
        if (static_cast<uint32_t>(x0) < f.n && y0 < f.m && old_v[x0] == new_v[y0])
            x = forward_snake(old_v, new_v, f.n, f.m, x0, static_cast<int32_t>(y0));
        if (Check && f.other[i - f.check_begin] <= x) {
            hit = {i, x0, x};
            return i;
        }
        out[i] = x;
    }
    return -1;
}

template <bool Check>
int32_t reverse_run(const pass_job &j, int32_t from, int32_t to, pass_hit &hit) {
    const run_fields f(j);
    const uint8_t *const old_v = f.old_v, *const new_v = f.new_v;
    const int32_t *const prev = f.prev;
    int32_t *const out = f.out;
    int32_t l = j.l0 - 2 * from;
    for (int32_t i = from; i < to; ++i, l -= 2) {
        // A tie steps from m - 1: x0 = min(R(m + 1), R(m - 1) - 1).
        const int32_t up = prev[i + 1], down = prev[i] - 1;
        const int32_t x0 = up < down ? up : down;
        // Wrapping: unreached diagonals' values lie far outside the values.
        const uint32_t y0 = static_cast<uint32_t>(x0) - static_cast<uint32_t>(l);
        int32_t x = x0;
        // x0 > max(0, l), x0 <= n and y0 <= m: old[x0 - 1] and new[y0 - 1]
        // lie within the values.
        if (static_cast<uint32_t>(x0) - 1 < f.n && y0 - 1 < f.m && old_v[x0 - 1] == new_v[y0 - 1])
            x = reverse_snake(old_v, new_v, x0, static_cast<int32_t>(y0));
        if (Check && f.other[i - f.check_begin] >= x) {
            hit = {i, x, x0};
            return i;
        }
        out[i] = x;
    }
    return -1;
}

// The diagonals before, within and after the overlap test's range.
template <int32_t (*Plain)(const pass_job &, int32_t, int32_t, pass_hit &),
          int32_t (*Checked)(const pass_job &, int32_t, int32_t, pass_hit &)>
bool segmented(const pass_job &j, pass_hit &hit) {
    if (j.check_begin >= j.check_end) return Plain(j, 0, j.count, hit) >= 0;
    Plain(j, 0, j.check_begin, hit);
    if (Checked(j, j.check_begin, j.check_end, hit) >= 0) return true;
    Plain(j, j.check_end, j.count, hit);
    return false;
}

bool forward_scalar(const pass_job &j, pass_hit &hit) {
    return segmented<forward_run<false>, forward_run<true>>(j, hit);
}

bool reverse_scalar(const pass_job &j, pass_hit &hit) {
    return segmented<reverse_run<false>, reverse_run<true>>(j, hit);
}

template <bool Forward>
bool meets_scalar(const int32_t *theirs, const int32_t *mine, int32_t count) {
    for (int32_t i = 0; i < count; ++i)
        if (Forward ? theirs[i] <= mine[i] : theirs[i] >= mine[i]) return true;
    return false;
}

}  // namespace

const search_passes kScalarPasses = {forward_scalar, reverse_scalar, meets_scalar<true>, meets_scalar<false>};

namespace {

const pass_forms kScalarForms = {kScalarPasses, kScalarPasses, kScalarPasses, false};

#if KESTRAVA_HAVE_AVX512_PASSES
cpu_registers read_cpu_registers() {
    cpu_registers r = {};
    unsigned a, b, c, d;
    r.max_leaf = __get_cpuid_max(0, nullptr);
    if (r.max_leaf < 1) return r;
    __cpuid(1, a, b, c, d);
    r.leaf1_ecx = c;
    if (r.max_leaf >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        r.leaf7_ebx = b;
        r.leaf7_ecx = c;
    }
    if (r.leaf1_ecx & (1u << 27)) {  // OSXSAVE: xgetbv is allowed
        uint32_t lo, hi;
        __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        r.xcr0 = (static_cast<uint64_t>(hi) << 32) | lo;
    }
    return r;
}

// Read once; cpuid is slow under a hypervisor.
bool have_avx512_passes() {
    static const bool have = avx512_passes_supported(read_cpu_registers());
    return have;
}

const pass_forms kAvx512Forms = {kAvx512Passes, kAvx512FourPasses, kScalarPasses, true};
const pass_forms kAvx512FirstForms = {kAvx512Passes, kAvx512Passes, kAvx512Passes, false};
const pass_forms kAvx512FourForms = {kAvx512FourPasses, kAvx512FourPasses, kAvx512FourPasses, false};
#endif

}  // namespace

const pass_forms *passes_for(search_path path) {
    switch (path) {
        case search_path::storage: return nullptr;
        case search_path::scalar: return &kScalarForms;
#if KESTRAVA_HAVE_AVX512_PASSES
        case search_path::avx512_first: return have_avx512_passes() ? &kAvx512FirstForms : nullptr;
        case search_path::avx512_four: return have_avx512_passes() ? &kAvx512FourForms : nullptr;
        case search_path::avx512: return have_avx512_passes() ? &kAvx512Forms : nullptr;
#else
        case search_path::avx512_first:
        case search_path::avx512_four:
        case search_path::avx512: return nullptr;
#endif
        case search_path::automatic: {
            const pass_forms *best = passes_for(search_path::avx512);
            return best ? best : &kScalarForms;
        }
    }
    return nullptr;
}

}  // namespace kestrava_myers
