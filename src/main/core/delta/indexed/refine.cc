// Second pass of the indexed generator: the stretches of a finished delta
// made of inserts and short copies are parsed again against the whole old
// value, which finds the short copies (6 bytes and more) that the sampled
// index cannot see.
//
// The stretches' bytes are gathered in batches; each batch gets a hash table
// of its 6-byte grams, the old value is scanned once against it for the
// longest match at every gathered position, and each stretch is then encoded
// by the cheapest sequence of inserts and copies over those matches.
#include "core/delta/indexed/refine.h"

#include <stdlib.h>
#include <string.h>

#include <type_traits>

#include "core/delta/indexed/grams.h"
#include "core/delta/indexed/old_index.h"
#include "core/delta/indexed/one_scan.h"
#include "core/delta/indexed/parse.h"
#include "core/delta/script/item_codec.h"

namespace kestrava_indexed {
namespace {

using kestrava_items::item;
using kestrava_items::item_reader;

// Gathered positions looked at per old position and gram.
constexpr uint32_t kChain = 8;
// Matches tried per gathered position, and old positions whose gram is
// looked at per bucket of the gathered grams.
constexpr uint8_t kTries = 32;
constexpr uint8_t kBucketTries = 64;
// Items held back at most while a batch is gathered: this many, or a quarter
// of the batch's bytes.
constexpr uint32_t kQueue = 1024;
// Old values small enough for up to kSmallBatches batches (a second or two
// of CPU time at worst).
constexpr uint32_t kSmallOld = 1u << 22;
constexpr uint64_t kSmallBatches = 64;

struct entry {
    enum kind_t : uint8_t { hard, inserted, soft } kind;
    uint32_t new_pos, len, off;
};

struct refiner {
    const uint8_t *old_v, *new_v;
    uint32_t n_old;
    emitter em;
    uint32_t capacity;  // gathered bytes per batch
    refine_work *work = nullptr;

    entry *queue = nullptr;
    uint32_t queued = 0, queue_size = 0;
    uint32_t gathered = 0;  // bytes of the queued inserts and short copies
    bool changed = false;

    // Batch storage, sized for `capacity` positions, in one allocation.
    void *memory = nullptr;
    uint32_t *next = nullptr, *heads = nullptr, *best_p = nullptr, *cost_a = nullptr, *cost_b = nullptr;
    uint8_t *bytes = nullptr, *room = nullptr, *back = nullptr, *best_len = nullptr, *step = nullptr, *flags = nullptr;
    uint8_t *copy_len = nullptr, *bucket_tries = nullptr;
    uint32_t head_bits = 1, index_mask = 0;
    // One bit per hash of the batch's grams, with more bits than heads[]:
    // most old positions are dismissed without touching the chains.
    uint64_t *filter = nullptr;
    uint32_t filter_bits = 6;

    refiner() = default;
    refiner(const refiner &) = delete;
    refiner &operator=(const refiner &) = delete;
    ~refiner() { free(memory); }

    // Lays the batch's arrays out from `base`, wider elements first so that
    // each is aligned, and returns the bytes they take (with a null base,
    // only counts them).
    uint64_t layout(uint8_t *base) {
        const uint64_t c = capacity;
        uint64_t buckets = 2;
        while (buckets < capacity) buckets <<= 1;
        filter_bits = 6;
        while (filter_bits < 31 && (1ull << filter_bits) < 8 * buckets) ++filter_bits;
        uint64_t used = 0;
        auto take = [&](auto *&array, uint64_t count) {
            using element = typename std::remove_reference<decltype(*array)>::type;
            if (base) array = reinterpret_cast<element *>(base + used);
            used += count * sizeof(element);
        };
        take(filter, (1ull << filter_bits) / 64);
        take(queue, queue_size);
        take(next, c);
        take(best_p, c);
        take(cost_a, c + 1);
        take(cost_b, c + 1);
        take(heads, buckets);
        take(bytes, c);
        take(room, c);
        take(back, c);
        take(best_len, c);
        take(step, c + 1);
        take(flags, c + 1);
        take(copy_len, c + 1);
        take(bucket_tries, buckets);
        return used;
    }

    bool allocate() {
        queue_size = capacity / 4 > kQueue ? capacity / 4 : kQueue;
        const uint64_t size = layout(nullptr);
        if (size > SIZE_MAX) return false;
        memory = malloc(static_cast<size_t>(size));
        if (!memory) return false;
        layout(static_cast<uint8_t *>(memory));
        return true;
    }

    void push(entry e) {
        queue[queued++] = e;
        if (queued == queue_size) flush();
    }

    void add(const item &it, uint32_t pos) {
        if (!soft_item(it)) {
            push({entry::hard, pos, it.len, it.off});
            return;
        }
        uint32_t len = it.len, at = pos;
        while (len > 0) {
            uint32_t take = len;
            if (take > capacity - gathered) take = capacity - gathered;
            push({it.copy ? entry::soft : entry::inserted, at, take, it.copy ? it.off + (at - pos) : 0});
            gathered += take;
            at += take;
            len -= take;
            if (gathered == capacity) flush();
        }
    }

    void flush();
    // The end of the stretch of soft and inserted items from `from` on, with
    // its inserted and total bytes.
    uint32_t stretch_end(uint32_t from, uint32_t &inserted, uint32_t &length) const;
    uint32_t gather();
    void gather_stretch(uint32_t from, uint32_t end, uint32_t length, uint32_t &total);
    void write(bool parse);
    bool scan_old(uint32_t total);
    void probe(uint32_t p, uint64_t mixed, uint32_t tag, uint32_t &matched);
    // Clears the filter bits whose hashes fall in bucket h.
    void clear_filter(uint32_t h) {
        const uint32_t shift = filter_bits - head_bits, first = h << shift;
        if (shift < 6) {
            filter[first >> 6] &= ~(((1ull << (1u << shift)) - 1) << (first & 63));
            return;
        }
        memset(filter + (first >> 6), 0, (static_cast<size_t>(1) << (shift - 6)) * sizeof(uint64_t));
    }
    void parse_stretch(uint32_t first_local, uint32_t length, uint32_t new_start);
};

// Finds, for every gathered position, the longest match in the old value
// (the first, lowest offset among equally long ones). False when the first
// part of the old value shows that the batch has next to nothing in common
// with it (unrelated or random bytes): the batch is then kept as it is.
bool refiner::scan_old(uint32_t total) {
    // heads[] and next[] hold (tag << index_bits) | (position + 1), the tag
    // being more bits of the gram's hash, so that most grams that only share
    // a bucket are told apart without reading the gathered bytes.
    head_bits = 1;
    while (head_bits < 30 && (1u << head_bits) < total) ++head_bits;
    uint32_t index_bits = 1;
    while (index_bits < 32 && (total >> index_bits) != 0) ++index_bits;
    const uint32_t tag_bits = 32 - index_bits;
    index_mask = index_bits >= 32 ? 0xFFFFFFFFu : (1u << index_bits) - 1u;
    auto tag_of = [&](uint64_t mixed) {
        return tag_bits == 0 ? 0u : static_cast<uint32_t>(mixed >> (64 - head_bits - tag_bits)) << index_bits;
    };
    memset(heads, 0, (static_cast<size_t>(1) << head_bits) * sizeof(uint32_t));
    // step[] counts, until the parse, the matches each position may still
    // try (at least one): repetitive text would otherwise try the same gram
    // everywhere.
    memset(step, kTries, total);
    memset(filter, 0, (static_cast<size_t>(1) << filter_bits) / 8);
    for (uint32_t t = 0; t < total; ++t) {
        if (room[t] < kGram) continue;
        uint64_t mixed = gram(bytes + t, total - t) * kMix;
        const uint32_t f = static_cast<uint32_t>(mixed >> (64 - filter_bits));
        filter[f >> 6] |= 1ull << (f & 63);
        uint32_t h = static_cast<uint32_t>(mixed >> (64 - head_bits));
        next[t] = heads[h];
        heads[h] = tag_of(mixed) | (t + 1);
    }
    if (n_old < kGram) return true;
    // Where the scan may stop: matches at fewer than 1 in 100 positions.
    const uint32_t trial = (n_old / 16 > (1u << 16) ? n_old / 16 : (1u << 16)) / kScanStep * kScanStep;
    uint32_t matched = 0;
    // The last position scanned.
    const uint32_t end = (n_old - kGram) / kScanStep * kScanStep;
    memset(bucket_tries, kBucketTries, static_cast<size_t>(1) << head_bits);
    ++work->scans;
    // The old positions are tested against the filter a block at a time,
    // without a branch per position, and those that pass are then looked up
    // in order: most fail, and a branch each mispredicted often.
    constexpr uint32_t kBlock = 64;
    uint32_t passed[kBlock];
    uint64_t passed_mixed[kBlock];
    for (uint32_t p = 0;;) {
        // A block ends at the trial position, where the scan may stop.
        uint32_t last = end - p > (kBlock - 1) * kScanStep ? p + (kBlock - 1) * kScanStep : end;
        if (p <= trial && trial < last) last = trial;
        uint32_t count = 0;
        for (uint32_t q = p; q <= last; q += kScanStep) {
            const uint64_t mixed = gram(old_v + q, n_old - q) * kMix;
            const uint32_t f = static_cast<uint32_t>(mixed >> (64 - filter_bits));
            passed[count] = q;
            passed_mixed[count] = mixed;
            count += static_cast<uint32_t>((filter[f >> 6] >> (f & 63)) & 1);
        }
        work->probes += (last - p) / kScanStep + 1;
        for (uint32_t k = 0; k < count; ++k) probe(passed[k], passed_mixed[k], tag_of(passed_mixed[k]), matched);
        if (last == end) break;
        if (last == trial && static_cast<uint64_t>(matched) * 100 < total) return false;
        p = last + kScanStep;
    }
    return true;
}

// Extends the gathered positions whose gram (hashed: `mixed`) is the one at
// old position p, the chain's entries told apart by `tag`.
void refiner::probe(uint32_t p, uint64_t mixed, uint32_t tag, uint32_t &matched) {
    const uint32_t h = static_cast<uint32_t>(mixed >> (64 - head_bits));
    uint32_t *link = heads + h;
    bool hit = false;
    for (uint32_t k = 0; *link != 0 && k < kChain; ++k) {
        uint32_t e = *link;
        uint32_t t = (e & index_mask) - 1;
        if ((e & ~index_mask) != tag || memcmp(old_v + p, bytes + t, kGram) != 0) {
            link = next + t;
            continue;
        }
        hit = true;
        // A position out of tries leaves its chain.
        if (--step[t] == 0)
            *link = next[t];
        else
            link = next + t;
        // Scanned every kScanStep-th old position: the match may start
        // earlier, by so much that it stays within kMaxMatch (further
        // back, the room left after it would underflow).
        uint32_t reach = back[t] < p ? back[t] : p;
        if (reach > kMaxMatch - kGram) reach = kMaxMatch - kGram;
        uint32_t b = match_backward(old_v + p, bytes + t, reach);
        uint32_t start = t - b, from = p - b;
        uint32_t limit = room[start];
        if (n_old - from < limit) limit = n_old - from;
        uint32_t len = b + kGram + match_forward(old_v + p + kGram, bytes + t + kGram, limit - b - kGram);
        if (len > best_len[start]) {
            if (best_len[start] < 8 && len >= 8) ++matched;
            best_len[start] = static_cast<uint8_t>(len);
            best_p[start] = from;
        }
    }
    // A gram met this often in the old value has had its chance.
    if (hit && --bucket_tries[h] == 0) heads[h] = 0;
    // An emptied bucket: its filter bits go too (they all map to it), so
    // that its grams' next places in the old value fail at the filter.
    if (hit && heads[h] == 0) clear_filter(h);
}

// The cheapest encoding of the stretch at local positions [first, first +
// length), written through the emitter.
void refiner::parse_stretch(uint32_t first, uint32_t length, uint32_t new_start) {
    write_parsed(em, best_len + first, best_p + first, length, {cost_a, cost_b, copy_len, flags}, step, new_start);
}

uint32_t refiner::stretch_end(uint32_t from, uint32_t &inserted, uint32_t &length) const {
    uint32_t end = from;
    while (end < queued && queue[end].kind != entry::hard) {
        if (queue[end].kind == entry::inserted) inserted += queue[end].len;
        length += queue[end].len;
        ++end;
    }
    return end;
}

// Gathers the bytes of the stretch queue[from, end) (`length` of them) at
// local position `total` on, each with the room left before and after it
// within the stretch, and seeds the matches with its short copies.
void refiner::gather_stretch(uint32_t from, uint32_t end, uint32_t length, uint32_t &total) {
    const uint32_t first = total;
    for (uint32_t e = from; e < end; ++e) {
        memcpy(bytes + total, new_v + queue[e].new_pos, queue[e].len);
        for (uint32_t x = 0; x < queue[e].len; ++x) {
            uint32_t left = length - (total + x - first);
            room[total + x] = static_cast<uint8_t>(left < kMaxMatch ? left : kMaxMatch);
            uint32_t before = total + x - first;
            back[total + x] = static_cast<uint8_t>(before < kMaxMatch ? before : kMaxMatch);
            best_len[total + x] = 0;
        }
        if (queue[e].kind == entry::soft) {
            best_len[total] = static_cast<uint8_t>(queue[e].len < room[total] ? queue[e].len : room[total]);
            best_p[total] = queue[e].off;
        }
        total += queue[e].len;
    }
}

// The stretches worth parsing again (enough inserted bytes; a stretch cut by
// the batch's end is judged on what it holds), gathered: their byte count.
uint32_t refiner::gather() {
    uint32_t total = 0;
    for (uint32_t k = 0; k < queued;) {
        if (queue[k].kind == entry::hard) {
            ++k;
            continue;
        }
        uint32_t inserted = 0, length = 0;
        const uint32_t end = stretch_end(k, inserted, length);
        if (inserted >= kMinInserted) gather_stretch(k, end, length, total);
        k = end;
    }
    return total;
}

// Every held-back item in order, the gathered stretches parsed again when
// `parse`.
void refiner::write(bool parse) {
    uint32_t total = 0;
    for (uint32_t k = 0; k < queued;) {
        if (queue[k].kind == entry::hard) {
            em.copy(queue[k].off, queue[k].len, queue[k].new_pos);
            ++k;
            continue;
        }
        uint32_t inserted = 0, length = 0;
        const uint32_t end = stretch_end(k, inserted, length);
        if (parse && inserted >= kMinInserted) {
            parse_stretch(total, length, queue[k].new_pos);
            total += length;
            changed = true;
        } else {
            for (uint32_t e = k; e < end; ++e) {
                if (queue[e].kind == entry::soft)
                    em.copy(queue[e].off, queue[e].len, queue[e].new_pos);
                else
                    em.literal(queue[e].new_pos, queue[e].len);
            }
        }
        k = end;
    }
}

// A batch: the stretches gathered, the old value scanned for their matches
// (once per batch: not worth it for a few bytes), every held-back item
// written.
void refiner::flush() {
    const uint32_t total = gather();
    write(total > 0 && total >= (n_old >> 12) && scan_old(total));
    queued = 0;
    gathered = 0;
}

// Whether the inserted bytes of the first pass have enough in common with
// the old value to be parsed again: a sample of up to kSamples of their
// positions is looked for in the first part of the old value. Large inserts
// of new random or compressed bytes are so kept as they are at little cost.
bool worth_parsing(const uint8_t *old_v, uint32_t n_old, const uint8_t *new_v, const output &first) {
    constexpr uint32_t kSamples = 2048, kBits = 12, kLarge = 65536;
    uint64_t inserted = 0;
    item_reader reader(first.data, first.data + first.len);
    item it;
    while (reader.next(it))
        if (!it.copy && it.len >= 8) inserted += it.len - 7;
    if (inserted == 0 || n_old < 8) return false;
    if (inserted < kLarge) return true;
    uint32_t samples[kSamples];
    uint16_t table[1u << kBits] = {};
    uint32_t count = 0;
    uint64_t every = inserted / kSamples + 1, seen = 0, pos = 0;
    reader = item_reader(first.data, first.data + first.len);
    while (reader.next(it) && count < kSamples) {
        if (!it.copy && it.len >= 8) {
            for (uint64_t k = (every - seen % every) % every; k < it.len - 7 && count < kSamples; k += every) {
                uint32_t at = static_cast<uint32_t>(pos + k);
                uint32_t h = static_cast<uint32_t>((gram(new_v + at, 8) * kMix) >> (64 - kBits));
                if (table[h] == 0) {
                    samples[count] = at;
                    table[h] = static_cast<uint16_t>(++count);
                }
            }
            seen += it.len - 7;
        }
        pos += it.len;
    }
    uint8_t hit[kSamples] = {};
    uint32_t hits = 0;
    const uint32_t trial = n_old / 16 > (4u << 20) ? n_old / 16 : (n_old < (4u << 20) ? n_old : (4u << 20));
    // Positions whose hash is a sample's are gathered a block at a time
    // without a branch each (up to half of the table is set, so a branch
    // per position is hard to predict), then compared in order.
    constexpr uint32_t kBlock = 64;
    uint32_t at[kBlock], entry[kBlock];
    for (uint32_t p0 = 0; p0 + 8 <= trial; p0 += 2 * kBlock) {
        uint32_t found = 0;
        for (uint32_t p = p0; p < p0 + 2 * kBlock && p + 8 <= trial; p += 2) {
            at[found] = p;
            entry[found] = table[static_cast<uint32_t>((gram(old_v + p, 8) * kMix) >> (64 - kBits))];
            found += entry[found] != 0;
        }
        for (uint32_t k = 0; k < found; ++k) {
            const uint32_t e = entry[k] - 1;
            if (hit[e] || memcmp(old_v + at[k], new_v + samples[e], 8) != 0) continue;
            hit[e] = 1;
            ++hits;
        }
    }
    return static_cast<uint64_t>(hits) * 50 >= count;
}

// The bytes of the stretches worth parsing again.
uint64_t gathered_bytes(const output &first) {
    item_reader reader(first.data, first.data + first.len);
    item it;
    uint64_t total = 0, inserted = 0, length = 0;
    while (reader.next(it)) {
        if (soft_item(it)) {
            if (!it.copy) inserted += it.len;
            length += it.len;
            continue;
        }
        if (inserted >= kMinInserted) total += length;
        inserted = length = 0;
    }
    if (inserted >= kMinInserted) total += length;
    return total;
}

}  // namespace

int refine(const uint8_t *old_v, uint32_t n_old, const uint8_t *new_v, uint32_t n_new, const output &first,
           output &out, refine_work *work) {
    refine_work own;
    if (!work) work = &own;
    if (!worth_parsing(old_v, n_old, new_v, first)) return 0;
    const uint32_t capacity = n_old / 64 > 1024 ? n_old / 64 : 1024;
    // The batch form scans the old value once per batch; the one-scan form
    // once in all, but its table keeps only some positions of each gram, so
    // it may miss matches that the batches find. The batches run while
    // they cost no more than one scan and a lookup per gathered byte, and
    // on old values of up to kSmallOld bytes for up to kSmallBatches
    // batches (repetitive values that size come out shorter with them).
    const uint64_t gathered = gathered_bytes(first);
    const uint64_t batches = (gathered + capacity - 1) / capacity, per_scan = n_old / kScanStep;
    const bool one_scan =
        batches * per_scan > per_scan + gathered && (n_old > kSmallOld || batches > kSmallBatches);
    if (work->force == 2 || (work->force != 1 && one_scan)) {
        work->one_scan = true;
        return refine_one_scan(old_v, n_old, new_v, n_new, first, gathered, out, *work);
    }
    refiner r;
    r.old_v = old_v;
    r.new_v = new_v;
    r.n_old = n_old;
    r.work = work;
    r.em.out = &out;
    r.em.new_v = new_v;
    r.capacity = capacity;
    if (!r.allocate()) return -1;
    item_reader reader(first.data, first.data + first.len);
    item it;
    uint32_t pos = 0;
    while (reader.next(it)) {
        r.add(it, pos);
        pos += it.len;
        if (out.over || out.oom) break;
    }
    r.flush();
    r.em.close();
    if (out.oom) return -1;
    return r.changed ? 1 : 0;
}

}  // namespace kestrava_indexed
