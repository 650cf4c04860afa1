#include "core/delta/activity_history.h"

#include <stdlib.h>
#include <sys/time.h>

#include "core/delta/myers/bits.h"

namespace {

uint64_t wall_clock_ms() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
}

uint64_t &counter(activity_history *h, uint64_t slot) {
    return h->slots[slot & static_cast<uint32_t>(h->slot_mask)];
}

uint64_t counter(const activity_history *h, uint64_t slot) {
    return h->slots[slot & static_cast<uint32_t>(h->slot_mask)];
}

}  // namespace

extern "C" {

activity_history *kestrava_activity_history_create(int32_t slots, int64_t slot_length) {
    int64_t length = find_next_power_of_two_long(slot_length);
    int32_t count = find_next_power_of_two_int(slots);
    // A count or length that has no power of two cannot size the ring.
    if (length < 0 || count < 0) return nullptr;
    int32_t slot_shift = highest_bit_long(static_cast<uint64_t>(length)) - 1;
    int32_t scale_shift = slot_shift + highest_bit_int(count) - 9;
    // Outside 0..31 the utilisation's shift would be meaningless or undefined.
    if (scale_shift < 0 || scale_shift > 31) return nullptr;

    activity_history *h = static_cast<activity_history *>(calloc(1, sizeof(activity_history)));
    if (!h) return nullptr;
    h->slots = static_cast<uint64_t *>(calloc(static_cast<size_t>(count), sizeof(uint64_t)));
    if (!h->slots) {
        free(h);
        return nullptr;
    }
    h->slot_count = static_cast<uint64_t>(count);
    h->slot_length = static_cast<uint64_t>(length);
    h->slot_shift = slot_shift;
    h->slot_mask = count - 1;
    h->scale_shift = scale_shift;
    return h;
}

void kestrava_activity_history_free(activity_history *h) {
    if (!h) return;
    free(h->slots);
    free(h);
}

void kestrava_activity_history_start(activity_history *h) { _activity_history_start(h, wall_clock_ms()); }

void kestrava_activity_history_stop(activity_history *h) { _activity_history_stop(h, wall_clock_ms()); }

void _activity_history_start(activity_history *h, uint64_t now) {
    uint64_t s = now >> h->slot_shift;
    uint64_t first = h->current_slot + 1;
    uint64_t oldest = s - h->slot_count + 1;  // wraps to a huge value early on: then nothing is cleared
    if (oldest > first) first = oldest;
    if (first <= s) {
        // Empty the slots that elapsed since the last start (at most one ring).
        for (uint64_t i = 0; i <= s - first; ++i) {
            uint64_t &c = counter(h, first + i);
            h->busy_total -= c;
            c = 0;
        }
    }
    h->current_slot = s;
    h->start_time = now;
}

void _activity_history_stop(activity_history *h, uint64_t now) {
    uint64_t e = now - h->start_time;
    if (e < h->slot_length) {
        h->busy_total += e;
        counter(h, h->current_slot) += e;
        return;
    }
    uint64_t last = now >> h->slot_shift;
    uint64_t first = h->current_slot;
    uint64_t oldest = last - h->slot_count + 1;
    if (oldest > first) first = oldest;
    if (first <= last) {
        // Every slot a long activity touched counts as fully busy.
        for (uint64_t i = 0; i <= last - first; ++i) {
            uint64_t &c = counter(h, first + i);
            h->busy_total += h->slot_length - c;
            c = h->slot_length;
        }
    }
}

int32_t kestrava_activity_history_utilisation(const activity_history *h) {
    // The current slot is incomplete: estimate it by the previous one.
    uint64_t v = h->busy_total - counter(h, h->current_slot) + counter(h, h->current_slot - 1);
    return static_cast<int32_t>(static_cast<uint32_t>(v)) >> h->scale_shift;
}

int32_t kestrava_activity_history_get_last_delta_quality(const activity_history *h) {
    return h ? h->last_delta_quality : -1;
}

}  // extern "C"
