#include "core/delta/myers/storage.h"

#include <stdlib.h>

#include "core/delta/common/search_rules.h"

namespace {

const int32_t kForwardFill = -1;
const int32_t kReverseFill = INT32_MAX;

void drop_entries(storage *s) {
    free(s->entries);
    s->entries = nullptr;
}

// Smallest power of two >= v (v >= 1).
uint64_t round_up_pow2(uint64_t v) {
    uint64_t p = 1;
    while (p < v) p <<= 1;
    return p;
}

bool resize(storage *s, uint64_t count) {
    uint64_t bytes = count * sizeof(int32_t);
    if (count > SIZE_MAX / sizeof(int32_t) || bytes > SIZE_MAX) return false;
    int32_t *grown = static_cast<int32_t *>(realloc(s->entries, static_cast<size_t>(bytes)));
    if (!grown) return false;
    s->entries = grown;
    return true;
}

// Room for at least `need` entries, keeping the content.
bool grow(storage *s, uint64_t need) {
    return resize(s, round_up_pow2(need)) || resize(s, need);
}

}  // namespace

extern "C" {

storage *storage_create(int32_t limit) {
    storage *s = static_cast<storage *>(calloc(1, sizeof(storage)));
    if (!s) return nullptr;
    storage_initialise(s, 1);
    if (!s->entries) {
        free(s);
        return nullptr;
    }
    s->limit = limit;
    s->max_d = static_cast<int32_t>((static_cast<int64_t>(limit) - 3) / 4);
    return s;
}

void storage_free(storage *s) {
    if (!s) return;
    free(s->entries);
    free(s);
}

void storage_ensure(storage *s, int32_t d) {
    // 4d + 7 is computed wide: growth whose entry count does not fit 32 bits
    // (or the address space) counts as exhaustion.
    int64_t last = 4 * static_cast<int64_t>(d) + 7;
    if (last > INT32_MAX || last < 0) {
        drop_entries(s);
        return;
    }
    s->last_index = static_cast<int32_t>(last);
    if (last + 3 < s->capacity) return;
    // The record asks for 2 * (4d + 7) entries (never less than the fill's
    // reach). The allocation is rounded up to a power of two, so that a
    // search growing one iteration at a time mostly resizes in place.
    uint64_t need = 2 * static_cast<uint64_t>(last);
    if (need < static_cast<uint64_t>(last) + 4) need = static_cast<uint64_t>(last) + 4;
    if (!grow(s, need)) {
        drop_entries(s);
        return;
    }
    s->capacity = static_cast<int32_t>(last);
}

void storage_fill(storage *s, int32_t from) {
    if (!s->entries) return;
    int32_t *e = s->entries;
    int64_t end = static_cast<int64_t>(s->last_index) + 3;
    for (int64_t g = from < 0 ? 3 : from; g <= end; g += 4) {
        e[g] = kForwardFill;
        e[g + 1] = kForwardFill;
        e[g + 2] = kReverseFill;
        e[g + 3] = kReverseFill;
    }
}

void storage_initialise(storage *s, int32_t d) {
    storage_ensure(s, d);
    storage_fill(s, 3);
}

int32_t storage_extend(storage *s, int32_t d) {
    if (s->max_d < d) {
        drop_entries(s);
        return 0;
    }
    int32_t from = s->last_index;
    storage_ensure(s, d);
    if (!s->entries) return 0;
    storage_fill(s, from);
    return 1;
}

int32_t storage_key_forward(int32_t k) { return static_cast<int32_t>(kestrava_myers::forward_entry(k)); }

int32_t storage_key_reverse(int32_t k) {
    return storage_key_forward(k) + static_cast<int32_t>(kestrava_myers::kReverseEntry);
}

int32_t storage_key_forward_get(const storage *s, int32_t k) { return s->entries[storage_key_forward(k)]; }

void storage_key_forward_set(storage *s, int32_t k, int32_t value) { s->entries[storage_key_forward(k)] = value; }

int32_t storage_key_reverse_get(const storage *s, int32_t k) { return s->entries[storage_key_reverse(k)]; }

void storage_key_reverse_set(storage *s, int32_t k, int32_t value) { s->entries[storage_key_reverse(k)] = value; }

int32_t storage_key_forward_get_next(const storage *s, int32_t k) {
    int32_t a = storage_key_forward_get(s, k + 1);
    int32_t b = storage_key_forward_get(s, k - 1);
    return a >= b ? static_cast<int32_t>(static_cast<uint32_t>(a) + 1) : b;
}

int32_t storage_key_reverse_get_next(const storage *s, int32_t k) {
    int32_t a = storage_key_reverse_get(s, k + 1);
    int32_t b = storage_key_reverse_get(s, k - 1);
    return a < b ? a : static_cast<int32_t>(static_cast<uint32_t>(b) - 1);
}

}  // extern "C"
