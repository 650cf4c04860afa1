// The indexed generator's first pass: anchors found near the previous match
// or through the index of the old value, gaps between them encoded by the
// Myers search, items written with their CBOR costs in mind.
#include "core/delta/indexed/first_pass.h"

#include "core/delta/indexed/grams.h"
#include "core/delta/indexed/old_index.h"
#include "core/delta/myers/myers.h"
#include "core/delta/script/edit_script.h"
#include "core/delta/script/item_codec.h"

namespace kestrava_indexed {
namespace {

// Continuation probe: new positions every kProbeStep bytes up to kProbeReach
// past the end of the last match, each on the diagonals within
// kProbeDiagonals of the last match's one. Candidates are compared over at
// most kProbeCap bytes; the winner must reach kProbeMin bytes.
constexpr uint32_t kProbeStep = 8;
constexpr uint32_t kProbeReach = 64;
constexpr int32_t kProbeDiagonals = 16;
constexpr uint32_t kProbeCap = 256;
constexpr uint32_t kProbeMin = 32;

// A match found through the index that does not continue the old value
// where the last one ended must reach kJumpMin bytes (shorter ones are left
// to the second pass); one that does gets kInOrderBonus added to its length
// when matches are compared.
constexpr uint32_t kJumpMin = 64;
constexpr uint32_t kInOrderBonus = 16;

// Positions scanned with the index since the last match after which only
// every third, then every seventh position is looked up.
constexpr uint32_t kLookupAll = 1024;
constexpr uint32_t kLookupThird = 16384;

// Gaps up to kGapMax bytes on both sides go to the Myers search.
constexpr uint32_t kGapMax = 2048;
// Its iteration limit: small gaps are searched fully, larger ones bounded.
constexpr uint32_t kSmallGap = 512;
constexpr int32_t kSmallGapLimit = 10000;
constexpr int32_t kLargeGapLimit = 256;
// A larger gap in an old value of kSparseOld bytes or more is searched only
// when at least 1 in kSparseShare of its new 8-byte strings occur on its old
// side. Copies there mostly take 5-byte offsets, so the short ones a search
// finds seldom pay, and the second pass parses the gap again anyway; the
// search would cost the gap's size times kLargeGapLimit steps.
constexpr uint32_t kSparseOld = 1u << 20;
constexpr uint32_t kSparseShare = 4;

struct anchor {
    uint32_t ob, nb, len;  // old start, new start, length
};

struct generator {
    const uint8_t *old_v, *new_v;
    uint32_t n_old, n_new;
    old_index ix{};
    bool indexed = false, oom = false;
    emitter em;
    // Work left for the Myers search, in estimated diagonal steps.
    uint64_t search_budget;
    uint32_t out_weight;
    first_pass_work *work = nullptr;

    // Looks for the continuation of the old value near the diagonal of the
    // last match (ending at old oa, new c).
    bool probe(uint32_t c, uint32_t oa, anchor &found) const {
        for (uint32_t t = 0; t <= kProbeReach && n_new - c >= kWindow && t <= n_new - c - kWindow; t += kProbeStep) {
            uint32_t nb = c + t;
            const uint8_t *q = new_v + nb;
            uint64_t q0 = load8(q), q1 = load8(q + 8);
            uint32_t best_len = 0, best_p = 0;
            for (int32_t j = 0; j <= 2 * kProbeDiagonals; ++j) {
                int64_t d = (j & 1) ? -static_cast<int64_t>((j + 1) / 2) : static_cast<int64_t>(j / 2);
                int64_t p = static_cast<int64_t>(oa) + t + d;
                if (p < 0 || p + kWindow > n_old) continue;
                const uint8_t *o = old_v + p;
                if (load8(o) != q0 || load8(o + 8) != q1) continue;
                uint32_t room = n_old - static_cast<uint32_t>(p) - kWindow;
                if (n_new - nb - kWindow < room) room = n_new - nb - kWindow;
                if (kProbeCap < room) room = kProbeCap;
                uint32_t len = kWindow + match_forward(o + kWindow, q + kWindow, room);
                if (len > best_len) {
                    best_len = len;
                    best_p = static_cast<uint32_t>(p);
                }
            }
            if (best_len == 0) continue;
            const uint8_t *o = old_v + best_p;
            uint32_t room = n_old - best_p - kWindow;
            if (n_new - nb - kWindow < room) room = n_new - nb - kWindow;
            uint32_t f = match_forward(o + kWindow, q + kWindow, room);
            uint32_t b = match_backward(o, q, best_p < t ? best_p : t);
            uint32_t len = b + kWindow + f;
            if (len >= kProbeMin || nb + kWindow + f == n_new) {
                found = {best_p - b, nb - b, len};
                return true;
            }
        }
        return false;
    }

    // The index of the old value, built at its first use. False when memory
    // runs out.
    bool index_ready() {
        if (indexed) return true;
        if (!old_index_build(ix, old_v, n_old)) {
            oom = true;
            return false;
        }
        indexed = true;
        return true;
    }

    // The best match through the index for the window at new position i
    // (hash h), the scan having started at c after a match ending at old
    // position oa: the longest, with a bonus for continuing the old value
    // nearby, and a jump elsewhere only when long.
    bool lookup(uint32_t i, uint32_t h, uint32_t c, uint32_t oa, anchor &found) const {
        const uint32_t mask = idx_mask(ix);
        const uint32_t *slot = ix.slots + static_cast<uint64_t>(bucket_of(ix, h)) * kSlots;
        const uint32_t tag = tag_of(ix, h);
        uint32_t best_score = 0;
        for (uint32_t s = 0; s < kSlots; ++s) {
            uint32_t e = slot[s];
            if (e == 0) break;
            if ((e & ~mask) != tag) continue;
            uint32_t p = ((e & mask) - 1) * ix.stride;
            const uint8_t *o = old_v + p, *q = new_v + i;
            if (load8(o) != load8(q) || load8(o + 8) != load8(q + 8)) continue;
            uint32_t room = n_old - p - kWindow;
            if (n_new - i - kWindow < room) room = n_new - i - kWindow;
            uint32_t f = match_forward(o + kWindow, q + kWindow, room);
            uint32_t b = match_backward(o, q, p < i - c ? p : i - c);
            uint32_t len = b + kWindow + f, ob = p - b, nb = i - b;
            bool in_order = ob >= oa && ob - oa <= kGapMax && nb - c <= kGapMax;
            if (len < (in_order ? kWindow : kJumpMin)) continue;
            uint32_t score = len + (in_order ? kInOrderBonus : 0);
            if (score > best_score) {
                best_score = score;
                found = {ob, nb, len};
            }
        }
        return best_score != 0;
    }

    // Scans the new value from c with the rolling hash and takes the first
    // position where the index gives a match worth an anchor.
    bool scan(uint32_t c, uint32_t oa, anchor &found) {
        if (n_new - c < kWindow || !index_ready() || ix.windows == 0) return false;
        constexpr uint32_t kAhead = 8;
        uint32_t i = c;
        uint32_t h = window_hash(new_v + i);
        bool ahead = n_new - i - kWindow >= kAhead;
        uint32_t ha = ahead ? window_hash(new_v + i + kAhead) : 0;
        uint32_t next_lookup = i;
        for (;;) {
            // Far from any match, every step-th position is looked up: a
            // match is still found once it is step * stride + 16 bytes long.
            if (i == next_lookup) {
                const uint32_t unmatched = i - c;
                const uint32_t step = unmatched < kLookupAll ? 1 : unmatched < kLookupThird ? 3 : 7;
                next_lookup = i + step;
                if (step == 1) {
                    if (ahead) __builtin_prefetch(ix.slots + static_cast<uint64_t>(bucket_of(ix, ha)) * kSlots);
                } else {
                    // Lookups stay spaced out for the rest of this scan: the
                    // look-ahead hash, which only feeds the prefetch, stops.
                    ahead = false;
                    if (n_new - i - kWindow >= 4 * step) {
                        uint32_t soon = window_hash(new_v + i + 4 * step);
                        __builtin_prefetch(ix.slots + static_cast<uint64_t>(bucket_of(ix, soon)) * kSlots);
                    }
                }
                if (lookup(i, h, c, oa, found)) return true;
            }
            if (n_new - i - kWindow == 0) return false;
            h = roll(h, new_v[i], new_v[i + kWindow], out_weight);
            ahead = ahead && n_new - i - kWindow > kAhead;
            if (ahead) ha = roll(ha, new_v[i + kAhead], new_v[i + kAhead + kWindow], out_weight);
            ++i;
        }
    }

    // Checks that the Myers search's script covers exactly m new bytes
    // with copies inside the n old bytes.
    static bool script_ok(const buf *items, uint32_t n, uint32_t m) {
        kestrava_items::item_reader r(items->data, items->data + items->len);
        kestrava_items::item it;
        uint64_t pos = 0;
        while (r.next(it)) {
            if (it.copy && static_cast<uint64_t>(it.off) + it.len > n) return false;
            pos += it.len;
        }
        return !r.failed() && pos == m;
    }

    // Hands the checked script to the emitter, copies re-based on old_start.
    void replay(const buf *items, uint32_t old_start, uint32_t new_start) {
        kestrava_items::item_reader r(items->data, items->data + items->len);
        kestrava_items::item it;
        uint32_t pos = new_start;
        while (r.next(it)) {
            if (it.copy)
                em.copy(old_start + it.off, it.len, pos);
            else
                em.literal(pos, it.len);
            pos += it.len;
        }
    }

    // Whether fewer than 1 in kSparseShare of the 8-byte strings of b[0, m)
    // occur in a[0, n): a's strings go into a filter, whose false hits only
    // count against it.
    static bool sparse(const uint8_t *a, uint32_t n, const uint8_t *b, uint32_t m) {
        constexpr uint32_t kBits = 14;
        if (n < 8 || m < 8) return false;
        uint64_t seen[(1u << kBits) / 64] = {};
        auto bit = [](const uint8_t *p) { return static_cast<uint32_t>((gram8(p) * kMix) >> (64 - kBits)); };
        for (uint32_t i = 0; i + 8 <= n; ++i) {
            const uint32_t f = bit(a + i);
            seen[f >> 6] |= 1ull << (f & 63);
        }
        uint32_t shared = 0;
        for (uint32_t j = 0; j + 8 <= m; ++j) {
            const uint32_t f = bit(b + j);
            shared += static_cast<uint32_t>((seen[f >> 6] >> (f & 63)) & 1);
        }
        return static_cast<uint64_t>(shared) * kSparseShare < m;
    }

    // Encodes new[c, nb), which follows a match ending at old position oa;
    // the next match starts at old position ob (the old value's end after
    // the last match).
    void gap(uint32_t c, uint32_t nb, uint32_t oa, uint32_t ob) {
        uint32_t m = nb - c;
        if (m == 0) return;
        uint32_t n;
        if (ob >= oa && ob - oa <= kGapMax) {
            n = ob - oa;
        } else {
            n = n_old - oa;
            if (n > m + 32) n = m + 32;
        }
        if (n == 0 || m > kGapMax) {
            em.literal(c, m);
            return;
        }
        uint32_t size = n + m;
        int32_t limit = size <= kSmallGap ? kSmallGapLimit : kLargeGapLimit;
        uint64_t steps = static_cast<uint64_t>(size) * (size <= kSmallGap ? size / 2 + 1 : kLargeGapLimit);
        if (steps > search_budget) {
            em.literal(c, m);
            return;
        }
        search_budget -= steps;
        const bool search_all = work && work->search_all;
        if (size > kSmallGap && n_old >= kSparseOld && !search_all && sparse(old_v + oa, n, new_v + c, m)) {
            if (work) ++work->sparse;
            em.literal(c, m);
            return;
        }
        if (work) ++work->searched;
        buf os{const_cast<uint8_t *>(old_v + oa), n, n};
        buf ns{const_cast<uint8_t *>(new_v + c), m, m};
        edit_script *s = edit_script_create(&os, &ns);
        if (!s) {
            em.literal(c, m);
            return;
        }
        int32_t r = myers_binary_diff(&os, 0, static_cast<int32_t>(n), &ns, 0, static_cast<int32_t>(m), s, INT32_MAX,
                                      limit, 0);
        if (r == 0 && script_ok(s->out, n, m))
            replay(s->out, oa, c);
        else if (r == 2 && n == m)
            em.copy(oa, n, c);
        else
            em.literal(c, m);
        edit_script_free(s);
    }

    void run() {
        uint32_t c = 0, oa = 0;
        while (c < n_new && !em.out->over && !em.out->oom && !oom) {
            anchor a;
            if (!probe(c, oa, a) && !scan(c, oa, a)) {
                if (oom) return;
                break;
            }
            gap(c, a.nb, oa, a.ob);
            em.copy(a.ob, a.len, a.nb);
            c = a.nb + a.len;
            oa = a.ob + a.len;
        }
        if (c < n_new) gap(c, n_new, oa, n_old);
        em.close();
    }
};

}  // namespace

bool first_pass(const uint8_t *old_v, uint32_t n_old, const uint8_t *new_v, uint32_t n_new, output &out,
                first_pass_work *work) {
    generator g;
    g.old_v = old_v;
    g.new_v = new_v;
    g.n_old = n_old;
    g.n_new = n_new;
    g.em.out = &out;
    g.em.new_v = new_v;
    g.search_budget = 2 * (static_cast<uint64_t>(n_old) + n_new) + (1u << 22);
    g.out_weight = leaving_weight();
    g.work = work;
    g.run();
    old_index_free(g.ix);
    return !g.oom;
}

}  // namespace kestrava_indexed
