// The second pass in one scan of the old value, for deltas whose stretches
// to parse again are too many bytes for the batch form (which scans the
// whole old value once per batch).
//
// A filter holds one bit per hash of the stretches' 6-byte grams; the old
// value is scanned once, every kScanStep-th position, and the grams whose
// bit is set go into a table of buckets of kSlots positions (a full bucket
// keeps the positions it has). The stretches are then read again in chunks:
// each position looks its gram up (at most kSlots candidates), its matches
// are extended both ways within the chunk, and each chunk is encoded by the
// cheapest sequence of items over the longest match at each position.
#include "core/delta/indexed/one_scan.h"

#include <stdlib.h>
#include <string.h>

#include "core/delta/indexed/grams.h"
#include "core/delta/indexed/old_index.h"
#include "core/delta/indexed/parse.h"
#include "core/delta/script/item_codec.h"

namespace kestrava_indexed {
namespace {

using kestrava_items::item;
using kestrava_items::item_reader;

constexpr uint32_t kSlots = 4;
// The longer key of a frequent gram: its first kLong bytes.
constexpr uint32_t kLong = 32;
constexpr uint64_t kTagMix = 0xC2B2AE3D27D4EB4Full;

// A hash of the kLong bytes at p (all readable), the same on every platform.
inline uint64_t long_key(const uint8_t *p) {
    uint64_t h = 0;
    for (uint32_t k = 0; k < kLong; k += 8) h = (h ^ gram8(p + k)) * kMix + 0x632BE59BD9B4E019ull;
    return h * kMix;
}

struct scanner {
    const uint8_t *old_v, *new_v;
    uint32_t n_old, n_new;
    emitter em;
    refine_work *work;

    void *memory = nullptr;
    uint64_t *filter = nullptr;
    uint32_t *slots = nullptr, *best_p = nullptr, *cost_a = nullptr, *cost_b = nullptr;
    uint8_t *best_len = nullptr, *copy_len = nullptr, *flags = nullptr, *step = nullptr;
    uint32_t filter_bits = 12, bucket_bits = 0, chunk = 1024;
    // A slot holds position / kScanStep + 1 in its low pos_bits and, above,
    // a tag of its gram: most candidates of another gram that only share
    // the bucket are dismissed without reading the old value.
    uint32_t pos_bits = 1;

    uint32_t tag(uint64_t g) const { return static_cast<uint32_t>((g * kTagMix) >> 32) >> pos_bits; }
    uint32_t slot(uint32_t p, uint64_t g) const { return (p / kScanStep + 1) | (tag(g) << pos_bits); }
    uint32_t position(uint32_t slot) const {
        return ((slot & (0xFFFFFFFFu >> (32 - pos_bits))) - 1) * kScanStep;
    }

    scanner() = default;
    scanner(const scanner &) = delete;
    scanner &operator=(const scanner &) = delete;
    ~scanner() { free(memory); }

    uint32_t filter_bit(uint64_t mixed) const { return static_cast<uint32_t>(mixed >> (64 - filter_bits)); }
    bool in_filter(uint64_t mixed) const {
        const uint32_t f = filter_bit(mixed);
        return (filter[f >> 6] >> (f & 63)) & 1;
    }
    // Bits below the filter's: a bucket and a filter bit are independent.
    uint32_t *bucket(uint64_t mixed) const {
        return slots + static_cast<uint64_t>(static_cast<uint32_t>((mixed << 20) >> (64 - bucket_bits))) * kSlots;
    }

    bool allocate(uint64_t gathered);
    void fill_filter(const uint8_t *items, uint32_t items_len);
    bool scan_old(const uint8_t *items, uint32_t items_len, uint64_t gathered);
    void parse_chunk(uint32_t new_start, uint32_t length);
    void write(const uint8_t *items, uint32_t items_len);
};

// Sizes: filter 8 bits per gathered byte (at most n_old / 2 bits), table
// at most n_old / 8 positions (at least 16K), chunks of n_old / 512
// positions clamped to [1024, 65536]: about 0.6 x n_old in all, at least
// about 80 KB.
bool scanner::allocate(uint64_t gathered) {
    uint64_t want = gathered * 8, most = n_old / 2;
    if (want > most) want = most;
    while (filter_bits < 40 && (1ull << filter_bits) < want) ++filter_bits;
    uint64_t positions = n_old / 8;
    if (positions < (1u << 14)) positions = 1u << 14;
    while (bucket_bits < 40 && (2ull << bucket_bits) * kSlots <= positions) ++bucket_bits;
    while (pos_bits < 31 && (n_old / kScanStep + 1) >> pos_bits) ++pos_bits;
    chunk = n_old / 512;
    if (chunk < 1024) chunk = 1024;
    if (chunk > 65536) chunk = 65536;
    const uint64_t filter_bytes = (1ull << filter_bits) / 8, slot_count = (1ull << bucket_bits) * kSlots,
                   c = static_cast<uint64_t>(chunk) + 1;
    const uint64_t size = filter_bytes + 4 * (slot_count + 3 * c) + 4 * c;
    if (size > SIZE_MAX) return false;
    memory = calloc(static_cast<size_t>(size), 1);
    if (!memory) return false;
    uint8_t *at = static_cast<uint8_t *>(memory);
    filter = reinterpret_cast<uint64_t *>(at);
    at += filter_bytes;
    slots = reinterpret_cast<uint32_t *>(at);
    at += 4 * slot_count;
    best_p = reinterpret_cast<uint32_t *>(at);
    cost_a = best_p + c;
    cost_b = cost_a + c;
    best_len = reinterpret_cast<uint8_t *>(cost_b + c);
    copy_len = best_len + c;
    flags = copy_len + c;
    step = flags + c;
    return true;
}

// Calls f(start, length, reader at the stretch's first item) for every
// stretch worth parsing again, g(item, position) for every item outside one.
template <class F, class G>
void each_stretch(const uint8_t *items, uint32_t items_len, F f, G g) {
    item_reader reader(items, items + items_len);
    item it;
    uint32_t pos = 0;
    item_reader at = reader;
    bool more = at.next(it);
    while (more) {
        if (!soft_item(it)) {
            g(it, pos);
            pos += it.len;
            reader = at;
            more = at.next(it);
            continue;
        }
        // A stretch of soft items: its extent first, then the call.
        const item_reader first = reader;
        const uint32_t start = pos;
        uint64_t inserted = 0;
        while (more && soft_item(it)) {
            if (!it.copy) inserted += it.len;
            pos += it.len;
            reader = at;
            more = at.next(it);
        }
        if (inserted >= kMinInserted) {
            f(start, pos - start, first);
        } else {
            item_reader again = first;
            item one;
            for (uint32_t p = start; p < pos && again.next(one); p += one.len) g(one, p);
        }
    }
}

void scanner::fill_filter(const uint8_t *items, uint32_t items_len) {
    each_stretch(
        items, items_len,
        [&](uint32_t start, uint32_t length, const item_reader &) {
            for (uint32_t t = start; t + kGram <= start + length; ++t) {
                const uint32_t f = filter_bit(gram(new_v + t, n_new - t) * kMix);
                filter[f >> 6] |= 1ull << (f & 63);
            }
        },
        [](const item &, uint32_t) {});
}

// The table of the old value's grams that the stretches may use. False when
// the first part of the old value shows that the stretches have next to
// nothing in common with it (fewer than 1 in 400 positions find 8 equal
// bytes there).
bool scanner::scan_old(const uint8_t *items, uint32_t items_len, uint64_t gathered) {
    if (n_old < kGram) return true;
    uint32_t trial = n_old / 16 > (1u << 16) ? n_old / 16 : (1u << 16);
    trial = trial / kScanStep * kScanStep;
    ++work->scans;
    auto store = [&](uint32_t p, uint64_t g, uint64_t longer) {
        uint32_t *b = bucket(g * kMix);
        uint32_t s = 0;
        while (s < kSlots && b[s] != 0) ++s;
        if (s == kSlots && p + kLong <= n_old) {
            // A frequent gram: the position goes under its longer key.
            b = bucket(longer);
            s = 0;
            while (s < kSlots && b[s] != 0) ++s;
        }
        if (s < kSlots) b[s] = slot(p, g);
    };
    // The positions are tested against the filter a block at a time without
    // a branch each; those that pass have their buckets fetched while the
    // next block is tested, and are stored, in order, after it.
    constexpr uint32_t kBlock = 64;
    uint32_t blocks[2][kBlock];
    uint64_t grams[2][kBlock], longer[2][kBlock];
    uint32_t waiting = 0, pending = 0;  // the block that waits, its count
    auto store_waiting = [&] {
        for (uint32_t k = 0; k < pending; ++k) store(blocks[waiting][k], grams[waiting][k], longer[waiting][k]);
        pending = 0;
    };
    const uint32_t end = (n_old - kGram) / kScanStep * kScanStep;  // the last position
    for (uint32_t p = 0;;) {
        if (p == trial) {
            store_waiting();
            uint64_t matched = 0;
            each_stretch(
                items, items_len,
                [&](uint32_t start, uint32_t length, const item_reader &) {
                    for (uint32_t t = start; t + 8 <= start + length; ++t) {
                        if (t + 24 <= start + length) __builtin_prefetch(bucket(gram(new_v + t + 16, 8) * kMix));
                        const uint32_t *b = bucket(gram(new_v + t, n_new - t) * kMix);
                        for (uint32_t k = 0; k < kSlots && b[k]; ++k)
                            if (position(b[k]) + 8 <= n_old && memcmp(old_v + position(b[k]), new_v + t, 8) == 0) {
                                ++matched;
                                break;
                            }
                    }
                },
                [](const item &, uint32_t) {});
            work->probes += gathered;
            if (matched * 400 < gathered) return false;
        }
        // A block stops short of the trial position.
        uint32_t last = end - p > (kBlock - 1) * kScanStep ? p + (kBlock - 1) * kScanStep : end;
        if (p < trial && trial <= last) last = trial - kScanStep;
        const uint32_t filling = waiting ^ 1;
        uint32_t *at = blocks[filling];
        uint64_t *g_at = grams[filling];
        uint32_t count = 0;
        for (uint32_t q = p; q <= last; q += kScanStep) {
            const uint64_t ahead = static_cast<uint64_t>(q) + kBlock * kScanStep;
            if (ahead + 8 <= n_old) __builtin_prefetch(filter + (filter_bit(gram(old_v + ahead, 8) * kMix) >> 6));
            const uint64_t g = gram(old_v + q, n_old - q);
            at[count] = q;
            g_at[count] = g;
            count += in_filter(g * kMix) ? 1 : 0;
        }
        work->probes += (last - p) / kScanStep + 1;
        for (uint32_t k = 0; k < count; ++k) {
            __builtin_prefetch(bucket(g_at[k] * kMix));
            // The longer key's bucket too, for when that bucket is full.
            if (at[k] + kLong <= n_old) {
                longer[filling][k] = long_key(old_v + at[k]);
                __builtin_prefetch(bucket(longer[filling][k]));
            }
        }
        store_waiting();
        waiting = filling;
        pending = count;
        if (last == end) break;
        p = last + kScanStep;
    }
    store_waiting();
    return true;
}

// Looks every position of new [new_start, new_start + length) up (best_len
// and best_p hold the stretch's own short copies already), then writes the
// cheapest items for it.
void scanner::parse_chunk(uint32_t new_start, uint32_t length) {
    const uint8_t *q0 = new_v + new_start;
    uint32_t covered = 0;  // where the matches found so far end, at most
    for (uint32_t t = 0; t + kGram <= length; ++t) {
        if (t + 16 + kLong <= length) {
            __builtin_prefetch(bucket(gram(q0 + t + 16, 8) * kMix));
            __builtin_prefetch(bucket(long_key(q0 + t + 16)));
            // The bucket fetched 8 positions ago: its candidates' old bytes.
            const uint64_t soon = gram(q0 + t + 8, 8);
            const uint32_t *b = bucket(soon * kMix), want = tag(soon);
            for (uint32_t s = 0; s < kSlots; ++s)
                if (b[s] != 0 && b[s] >> pos_bits == want) __builtin_prefetch(old_v + position(b[s]));
        }
        const uint8_t *q = q0 + t;
        const uint64_t g = gram(q, static_cast<uint64_t>(n_new) - new_start - t);
        const uint64_t mixed = g * kMix;
        ++work->lookups;
        // No filter test: every gram of a stretch went into the filter.
        const uint32_t *b = bucket(mixed);
        uint32_t found[2 * kSlots], count = 0;
        const uint32_t want = tag(g);
        for (uint32_t s = 0; s < kSlots && b[s] != 0; ++s) found[count++] = b[s];
        // A full bucket: the gram is frequent, the positions kept for its
        // longer key are tried too.
        if (count == kSlots && t + kLong <= length && covered < t + kLong) {
            const uint32_t *l = bucket(long_key(q));
            for (uint32_t s = 0; s < kSlots && l[s] != 0; ++s) found[count++] = l[s];
        }
        for (uint32_t s = 0; s < count; ++s) {
            ++work->candidates;
            if (found[s] >> pos_bits != want) continue;
            const uint32_t p = position(found[s]);
            ++work->compared;
            if (gram(old_v + p, static_cast<uint64_t>(n_old) - p) != g) continue;
            // At most kMaxMatch in all, the gram included.
            uint32_t back = t < kMaxMatch - kGram ? t : kMaxMatch - kGram;
            if (p < back) back = p;
            const uint32_t bk = match_backward(old_v + p, q, back);
            const uint32_t start = t - bk, from = p - bk;
            uint32_t limit = length - start;
            if (limit > kMaxMatch) limit = kMaxMatch;
            if (n_old - from < limit) limit = n_old - from;
            const uint32_t len = bk + kGram + match_forward(old_v + p + kGram, q + kGram, limit - bk - kGram);
            if (len > best_len[start]) {
                best_len[start] = static_cast<uint8_t>(len);
                best_p[start] = from;
            }
            if (start + len > covered) covered = start + len;
            // No other candidate can be longer from this start.
            if (len == limit) break;
        }
    }
    write_parsed(em, best_len, best_p, length, {cost_a, cost_b, copy_len, flags}, step, new_start);
}

void scanner::write(const uint8_t *items, uint32_t items_len) {
    each_stretch(
        items, items_len,
        [&](uint32_t start, uint32_t length, const item_reader &first) {
            item_reader reader = first;
            item it{};
            uint32_t it_pos = start;  // new position of `it`
            bool have = reader.next(it);
            for (uint32_t at = 0; at < length && !em.out->over && !em.out->oom; at += chunk) {
                const uint32_t len = length - at < chunk ? length - at : chunk;
                const uint32_t c0 = start + at, c1 = c0 + len;
                memset(best_len, 0, len);
                // The stretch's own short copies seed the matches.
                while (have && it_pos + it.len <= c0) {
                    it_pos += it.len;
                    have = reader.next(it);
                }
                item_reader r2 = reader;
                item cur = it;
                uint32_t cur_pos = it_pos;
                bool more = have;
                while (more && cur_pos < c1) {
                    if (cur.copy) {
                        const uint32_t from = cur_pos > c0 ? cur_pos : c0;
                        uint32_t clen = cur_pos + cur.len - from;
                        if (clen > c1 - from) clen = c1 - from;
                        if (clen > kMaxMatch) clen = kMaxMatch;
                        best_len[from - c0] = static_cast<uint8_t>(clen);
                        best_p[from - c0] = cur.off + (from - cur_pos);
                    }
                    cur_pos += cur.len;
                    more = r2.next(cur);
                }
                parse_chunk(c0, len);
            }
        },
        [&](const item &it, uint32_t pos) {
            if (it.copy)
                em.copy(it.off, it.len, pos);
            else
                em.literal(pos, it.len);
        });
}

}  // namespace

int refine_one_scan(const uint8_t *old_v, uint32_t n_old, const uint8_t *new_v, uint32_t n_new, const output &first,
                    uint64_t gathered, output &out, refine_work &work) {
    if (n_old < kGram || gathered == 0) return 0;
    scanner s;
    s.old_v = old_v;
    s.new_v = new_v;
    s.n_old = n_old;
    s.n_new = n_new;
    s.work = &work;
    s.em.out = &out;
    s.em.new_v = new_v;
    if (!s.allocate(gathered)) return -1;
    s.fill_filter(first.data, first.len);
    if (!s.scan_old(first.data, first.len, gathered)) return 0;
    s.write(first.data, first.len);
    s.em.close();
    if (out.oom) return -1;
    return 1;
}

}  // namespace kestrava_indexed
