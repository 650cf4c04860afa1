// The passes sixteen diagonals at a time with AVX-512, chosen at run time.
//
// The step of each diagonal is the scalar one: the neighbours' maximum
// (forward) or minimum (reverse), the snake, the overlap test. Gathering
// the bytes the steps compare is slow, but neighbouring diagonals compare
// bytes close together: the pass loads a 128-byte window of each value
// around the first lane's bytes and picks every lane's bytes out of the
// windows with a byte permutation; lanes the windows miss get windows of
// their own. Two forms of the snake test:
//   - first bytes only; the lanes whose first bytes match (rare in
//     unrelated data) follow their snakes with the scalar compare;
//   - four bytes at once, their first difference giving the snake's length
//     up to four (text, where short snakes are common); only longer snakes
//     go on with the scalar compare.
#include "core/delta/myers/band/search_passes.h"

#if KESTRAVA_HAVE_AVX512_PASSES

// GCC 12's intrinsics start some results from a deliberately undefined
// vector, which its flow analysis reports once they are inlined here.
// (clang, which builds the fuzz targets, has no such warning.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#include "core/delta/common/byte_match.h"

#define KESTRAVA_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512cd")))
#define KESTRAVA_AVX512_INLINE \
    __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512cd"), always_inline)) inline

namespace kestrava_myers {

using kestrava_bytes::common_prefix;
using kestrava_bytes::common_suffix;

namespace {

KESTRAVA_AVX512_INLINE __mmask16 lanes_below(int32_t count) {
    return count >= 16 ? static_cast<__mmask16>(0xffff) : static_cast<__mmask16>((1u << count) - 1u);
}

// Lanes [from, to) of a vector, clipped to 0..16.
KESTRAVA_AVX512_INLINE __mmask16 lane_range(int32_t from, int32_t to) {
    if (from < 0) from = 0;
    if (to > 16) to = 16;
    if (from >= to) return 0;
    return static_cast<__mmask16>(lanes_below(to) & ~lanes_below(from));
}

KESTRAVA_AVX512_INLINE int32_t lane_of(__m512i v, int lane) {
    return _mm_cvtsi128_si32(_mm512_castsi512_si128(_mm512_permutexvar_epi32(_mm512_set1_epi32(lane), v)));
}

// 128 bytes of a value from `at` (within the value), as the two halves a
// two-register byte permutation picks from; bytes past the end read as 0.
struct window {
    __m512i low, high;
};

KESTRAVA_AVX512_INLINE __m512i load64(const uint8_t *v, int32_t len, int32_t at) {
    const int32_t avail = len - at;
    if (avail >= 64) return _mm512_loadu_si512(v + at);
    return _mm512_maskz_loadu_epi8(~static_cast<__mmask64>(0) >> (64 - avail), v + at);
}

// (The common case first: other orders measured a third slower.)
KESTRAVA_AVX512_INLINE window load_window(const uint8_t *v, int32_t len, int32_t at) {
    const int32_t avail = len - at;
    if (__builtin_expect(avail >= 128, 1)) return {_mm512_loadu_si512(v + at), _mm512_loadu_si512(v + at + 64)};
    if (avail <= 64) return {load64(v, len, at), _mm512_setzero_si512()};
    return {_mm512_loadu_si512(v + at), load64(v, len, at + 64)};
}

// Each lane's byte at its offset (0..127) into a window, in its low byte.
KESTRAVA_AVX512_INLINE __m512i pick(const window &w, __m512i offsets) {
    return _mm512_permutex2var_epi8(w.low, offsets, w.high);
}

// Each lane's four bytes from its offset on, forward or backward, as a dword.
template <bool Forward>
KESTRAVA_AVX512_INLINE __m512i pick4(const window &w, __m512i offsets) {
    // The offset copied to the dword's four bytes, then stepped by 0..3.
    const __m512i spread = _mm512_set4_epi32(0x0c0c0c0c, 0x08080808, 0x04040404, 0x00000000);
    const __m512i steps = _mm512_set1_epi32(0x03020100);
    const __m512i at = _mm512_shuffle_epi8(offsets, spread);
    return pick(w, Forward ? _mm512_add_epi32(at, steps) : _mm512_sub_epi32(at, steps));
}

// Number of equal low bytes (0..4) of each lane's two dwords: the lowest
// set bit of their difference, counted from below in bytes.
KESTRAVA_AVX512_INLINE __m512i equal_bytes(__m512i a, __m512i b) {
    const __m512i diff = _mm512_xor_si512(a, b);
    const __m512i lowest = _mm512_and_si512(diff, _mm512_sub_epi32(_mm512_setzero_si512(), diff));
    // 31 - lzcnt is the bit's index; no bit (equal dwords) gives -1, which
    // as unsigned, shifted, is more than 4.
    const __m512i bit = _mm512_sub_epi32(_mm512_set1_epi32(31), _mm512_lzcnt_epi32(lowest));
    return _mm512_min_epu32(_mm512_srli_epi32(bit, 3), _mm512_set1_epi32(4));
}

// The lanes of `todo` a 128-byte window from `start` serves, the lane's
// first byte being at offset `off` and, with Four, the next three after (or
// before) it. Reading past the window is harmless where the value ends
// there too (snakes stop at the end), or starts there (backward).
template <bool Forward, bool Four>
KESTRAVA_AVX512_INLINE __mmask16 served(__mmask16 todo, __m512i off, int32_t start, int32_t len) {
    if (!Four) return _mm512_mask_cmplt_epu32_mask(todo, off, _mm512_set1_epi32(128));
    if (Forward)
        return start + 128 >= len ? _mm512_mask_cmplt_epu32_mask(todo, off, _mm512_set1_epi32(128))
                                  : _mm512_mask_cmplt_epu32_mask(todo, off, _mm512_set1_epi32(125));
    return start == 0 ? _mm512_mask_cmplt_epu32_mask(todo, off, _mm512_set1_epi32(128))
                      : _mm512_mask_cmplt_epu32_mask(todo, _mm512_sub_epi32(off, _mm512_set1_epi32(3)),
                                                     _mm512_set1_epi32(125));
}

// The snakes of the lanes in `live`, forward (Forward) or backward from
// (x, y); the lanes' first bytes lie within the values. A forward snake
// compares old[x] with new[y] and advances; a backward one compares
// old[x - 1] with new[y - 1] and retreats. Returns x at the snakes' ends.
template <bool Forward, bool Four>
KESTRAVA_AVX512_INLINE __m512i snakes(const uint8_t *old_v, const uint8_t *new_v, int32_t n, int32_t m,
                                      __mmask16 live, __m512i x, __m512i y, uint32_t &extra_windows,
                                      uint32_t &matches) {
    const __m512i one = _mm512_set1_epi32(1);
    // Positions of the first bytes compared.
    const __m512i px = Forward ? x : _mm512_sub_epi32(x, one);
    const __m512i py = Forward ? y : _mm512_sub_epi32(y, one);
    // Four: the snakes' lengths up to four; else the lanes that go on.
    __m512i len = _mm512_setzero_si512();
    __mmask16 todo = live, same = 0;
    // The first window around lane 0's bytes (kept within the values, should
    // lane 0 lie outside them), which needs no search for a lead; then one
    // around the first lane left, which serves that lane at least.
    int32_t lx = _mm_cvtsi128_si32(_mm512_castsi512_si128(px)), ly = _mm_cvtsi128_si32(_mm512_castsi512_si128(py));
    lx = lx < 0 ? 0 : lx < n ? lx : n - 1;
    ly = ly < 0 ? 0 : ly < m ? ly : m - 1;
    for (;;) {
        const int32_t bx = lx > 64 ? lx - 64 : 0, by = ly > 64 ? ly - 64 : 0;
        const __m512i ox = _mm512_sub_epi32(px, _mm512_set1_epi32(bx));
        const __m512i oy = _mm512_sub_epi32(py, _mm512_set1_epi32(by));
        const __mmask16 fits = served<Forward, Four>(todo, ox, bx, n) & served<Forward, Four>(todo, oy, by, m);
        const window wo = load_window(old_v, n, bx), wn = load_window(new_v, m, by);
        if (Four)
            len = _mm512_mask_mov_epi32(len, fits, equal_bytes(pick4<Forward>(wo, ox), pick4<Forward>(wn, oy)));
        else
            same |= _mm512_mask_testn_epi32_mask(fits, _mm512_xor_si512(pick(wo, ox), pick(wn, oy)),
                                                 _mm512_set1_epi32(0xff));
        todo &= static_cast<__mmask16>(~fits);
        if (!todo) break;
        ++extra_windows;
        const int lead = __builtin_ctz(todo);
        lx = lane_of(px, lead);
        ly = lane_of(py, lead);
    }

    // How far each snake may run, and the lanes whose snakes go on.
    unsigned more;
    if (Four) {
        const __m512i room = Forward ? _mm512_min_epi32(_mm512_sub_epi32(_mm512_set1_epi32(n), x),
                                                        _mm512_sub_epi32(_mm512_set1_epi32(m), y))
                                     : _mm512_min_epi32(x, y);
        len = _mm512_maskz_min_epi32(live, len, room);
        x = Forward ? _mm512_add_epi32(x, len) : _mm512_sub_epi32(x, len);
        y = Forward ? _mm512_add_epi32(y, len) : _mm512_sub_epi32(y, len);
        const __m512i four = _mm512_set1_epi32(4);
        more = _mm512_mask_cmpeq_epi32_mask(live, len, four) & _mm512_cmpgt_epi32_mask(room, four);
        matches += static_cast<uint32_t>(__builtin_popcount(_mm512_test_epi32_mask(len, len)));
    } else {
        if (!same) return x;
        x = Forward ? _mm512_mask_add_epi32(x, same, x, one) : _mm512_mask_sub_epi32(x, same, x, one);
        y = Forward ? _mm512_mask_add_epi32(y, same, y, one) : _mm512_mask_sub_epi32(y, same, y, one);
        // Forward snakes may go on below both ends, backward ones above both starts.
        more = Forward ? _mm512_mask_cmplt_epi32_mask(same, x, _mm512_set1_epi32(n)) &
                             _mm512_cmplt_epi32_mask(y, _mm512_set1_epi32(m))
                       : _mm512_mask_cmpgt_epi32_mask(same, x, _mm512_setzero_si512()) &
                             _mm512_cmpgt_epi32_mask(y, _mm512_setzero_si512());
        matches += static_cast<uint32_t>(__builtin_popcount(same));
    }
    for (; more; more &= more - 1) {
        const int lane = __builtin_ctz(more);
        const int32_t lx = lane_of(x, lane), ly = lane_of(y, lane);
        const size_t rest = static_cast<size_t>(Forward ? (n - lx < m - ly ? n - lx : m - ly) : (lx < ly ? lx : ly));
        const int32_t end = Forward ? lx + static_cast<int32_t>(common_prefix(old_v + lx, new_v + ly, rest))
                                    : lx - static_cast<int32_t>(common_suffix(old_v + lx, new_v + ly, rest));
        x = _mm512_mask_set1_epi32(x, static_cast<__mmask16>(1u << lane), end);
    }
    return x;
}

// The diagonals [from, to) of a pass: forward (x0 = max(F(k + 1) + 1,
// F(k - 1)), meets where the reverse value <= x) or reverse (x0 =
// min(R(m + 1), R(m - 1) - 1), meets where the forward value >= x), with
// the overlap test (Check) or without. Returns the index of the diagonal
// where the searches meet, or -1.
template <bool Forward, bool Four, bool Check>
KESTRAVA_AVX512_INLINE int32_t run(const pass_job &j, int32_t from, int32_t to, pass_hit &hit,
                                   uint32_t &extra_windows, uint32_t &matches) {
    const uint8_t *const old_v = j.old_v, *const new_v = j.new_v;
    const int32_t n = j.n, m = j.m;
    const int32_t *const prev = j.prev, *const other = j.other;
    int32_t *const out = j.out;
    const int32_t check_begin = j.check_begin, check_end = j.check_end;
    const int32_t first = Forward ? j.k0 : j.l0;

    const __m512i one = _mm512_set1_epi32(1);
    const __m512i steps = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    const __m512i nv = _mm512_set1_epi32(n), mv = _mm512_set1_epi32(m);
    for (int32_t i = from; i < to; i += 16) {
        const bool full = to - i >= 16;
        const __mmask16 live = lanes_below(to - i);
        const __m512i down = full ? _mm512_loadu_si512(prev + i) : _mm512_maskz_loadu_epi32(live, prev + i);
        const __m512i up = full ? _mm512_loadu_si512(prev + i + 1) : _mm512_maskz_loadu_epi32(live, prev + i + 1);
        __m512i x0, y0;
        __mmask16 inside;
        if (Forward) {
            x0 = _mm512_max_epi32(_mm512_add_epi32(up, one), down);
            y0 = _mm512_add_epi32(x0, _mm512_add_epi32(_mm512_set1_epi32(first + 2 * i), steps));
            inside = _mm512_mask_cmplt_epu32_mask(live, x0, nv) & _mm512_cmplt_epu32_mask(y0, mv);
        } else {
            // y = x - l with l = l0 - 2i for reverse diagonal i.
            x0 = _mm512_min_epi32(up, _mm512_sub_epi32(down, one));
            y0 = _mm512_sub_epi32(x0, _mm512_sub_epi32(_mm512_set1_epi32(first - 2 * i), steps));
            // x0 > max(0, l), x0 <= n and y0 <= m: old[x0 - 1] and new[y0 - 1]
            // lie within the values.
            inside = _mm512_mask_cmplt_epu32_mask(live, _mm512_sub_epi32(x0, one), nv) &
                     _mm512_cmplt_epu32_mask(_mm512_sub_epi32(y0, one), mv);
        }
        const __m512i x =
            inside ? snakes<Forward, Four>(old_v, new_v, n, m, inside, x0, y0, extra_windows, matches) : x0;
        if (Check) {
            const __mmask16 check = live & lane_range(check_begin - i, check_end - i);
            const __m512i theirs = _mm512_maskz_loadu_epi32(check, other + (i - check_begin));
            const __mmask16 meets = Forward ? _mm512_mask_cmple_epi32_mask(check, theirs, x)
                                            : _mm512_mask_cmpge_epi32_mask(check, theirs, x);
            if (meets) {
                const int lane = __builtin_ctz(meets);
                _mm512_mask_storeu_epi32(out + i, lanes_below(lane), x);
                const int32_t start = lane_of(x0, lane), end = lane_of(x, lane);
                if (Forward)
                    hit = {i + lane, start, end};
                else
                    hit = {i + lane, end, start};
                return i + lane;
            }
        }
        if (full)
            _mm512_storeu_si512(out + i, x);
        else
            _mm512_mask_storeu_epi32(out + i, live, x);
    }
    return -1;
}

// A pass: the vectors before the overlap test's range (from the first
// diagonal, in steps of 16), those it covers and those after it.
template <bool Forward, bool Four>
KESTRAVA_AVX512_INLINE bool pass(const pass_job &j, pass_hit &hit) {
    uint32_t extra_windows = 0, matches = 0;
    bool met = false;
    if (j.check_begin >= j.check_end) {
        run<Forward, Four, false>(j, 0, j.count, hit, extra_windows, matches);
    } else {
        const int32_t checked = j.check_begin - j.check_begin % 16;
        run<Forward, Four, false>(j, 0, checked, hit, extra_windows, matches);
        met = run<Forward, Four, true>(j, checked, j.check_end, hit, extra_windows, matches) >= 0;
        if (!met) run<Forward, Four, false>(j, j.check_end, j.count, hit, extra_windows, matches);
    }
    if (!met && j.stats) *j.stats = {extra_windows, matches};
    return met;
}

template <bool Forward>
KESTRAVA_AVX512 bool meets(const int32_t *theirs, const int32_t *mine, int32_t count) {
    for (int32_t i = 0; i < count; i += 16) {
        const __mmask16 live = lanes_below(count - i);
        const __m512i t = _mm512_maskz_loadu_epi32(live, theirs + i), o = _mm512_maskz_loadu_epi32(live, mine + i);
        if (Forward ? _mm512_mask_cmple_epi32_mask(live, t, o) : _mm512_mask_cmpge_epi32_mask(live, t, o)) return true;
    }
    return false;
}

KESTRAVA_AVX512 bool forward_first(const pass_job &j, pass_hit &hit) { return pass<true, false>(j, hit); }
KESTRAVA_AVX512 bool reverse_first(const pass_job &j, pass_hit &hit) { return pass<false, false>(j, hit); }
KESTRAVA_AVX512 bool forward_four(const pass_job &j, pass_hit &hit) { return pass<true, true>(j, hit); }
KESTRAVA_AVX512 bool reverse_four(const pass_job &j, pass_hit &hit) { return pass<false, true>(j, hit); }

}  // namespace

const search_passes kAvx512Passes = {forward_first, reverse_first, meets<true>, meets<false>};
const search_passes kAvx512FourPasses = {forward_four, reverse_four, meets<true>, meets<false>};

}  // namespace kestrava_myers

#endif
