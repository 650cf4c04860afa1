/* Internal to the indexed delta generator: the delta being written and the
   writer of its items, which decides when a copy is not worth its heads. */
#ifndef KESTRAVA_INDEXED_EMITTER_H
#define KESTRAVA_INDEXED_EMITTER_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "core/delta/script/item_codec.h"

namespace kestrava_indexed {

using kestrava_items::head_size;

// The delta being written. It must stay shorter than `limit` (the new
// value's length); once an item would not fit, `over` is set and nothing
// more is written.
struct output {
    uint8_t *data = nullptr;
    uint32_t len = 0, cap = 0, limit = 0;
    bool oom = false, over = false;

    bool room(uint64_t n) {
        if (oom || over) return false;
        uint64_t need = static_cast<uint64_t>(len) + n;
        if (need >= limit) {
            over = true;
            return false;
        }
        if (need <= cap) return true;
        uint64_t want = static_cast<uint64_t>(cap) + cap / 2;
        if (want < need) want = need;
        if (want < 4096) want = 4096;
        if (want > limit) want = limit;
        if (want > SIZE_MAX) {
            oom = true;
            return false;
        }
        void *grown = realloc(data, static_cast<size_t>(want));
        if (!grown) {
            oom = true;
            return false;
        }
        data = static_cast<uint8_t *>(grown);
        cap = static_cast<uint32_t>(want);
        return true;
    }

    // After room() for its size.
    void put_head(uint8_t major, uint64_t v) { len += kestrava_items::put_head(data + len, major, v); }
};

// Holds back the last insert and the last copy, like the engine's edit
// script: adjacent inserts merge, a copy that continues the previous one
// extends it, and a copy is folded into the surrounding insert when sending
// its bytes literally costs no more than its heads.
struct emitter {
    output *out;
    const uint8_t *new_v;
    bool ins = false, cp = false;
    uint32_t ins_start = 0, ins_len = 0;
    uint32_t cp_off = 0, cp_len = 0, cp_new = 0;

    void write_insert() {
        if (out->room(head_size(ins_len) + static_cast<uint64_t>(ins_len))) {
            out->put_head(kestrava_items::kInsert, ins_len);
            memcpy(out->data + out->len, new_v + ins_start, ins_len);
            out->len += ins_len;
        }
        ins = false;
    }

    void write_copy() {
        if (out->room(head_size(cp_off) + head_size(cp_len))) {
            out->put_head(kestrava_items::kCopy, cp_off);
            out->put_head(kestrava_items::kCopy, cp_len);
        }
        cp = false;
    }

    // The pending copy becomes part of the pending insert.
    void fold(uint32_t extra) {
        ins_len = ins_len_or_0() + cp_len + extra;
        if (!ins) ins_start = cp_new;
        ins = true;
        cp = false;
    }

    uint32_t ins_len_or_0() const { return ins ? ins_len : 0; }

    // The pending copy is followed by a copy or by nothing.
    void settle() {
        if (!cp) return;
        uint64_t keep = (ins ? head_size(ins_len) : 0) + head_size(cp_off) + head_size(cp_len);
        uint64_t total = static_cast<uint64_t>(ins_len_or_0()) + cp_len;
        if (cp_len + head_size(total) <= keep) {
            fold(0);
            return;
        }
        if (ins) write_insert();
        write_copy();
    }

    void literal(uint32_t start, uint32_t len) {
        if (len == 0) return;
        if (cp) {
            uint64_t keep = (ins ? head_size(ins_len) : 0) + head_size(cp_off) + head_size(cp_len) + head_size(len);
            uint64_t total = static_cast<uint64_t>(ins_len_or_0()) + cp_len + len;
            if (cp_len + head_size(total) <= keep) {
                fold(len);
                return;
            }
            if (ins) write_insert();
            write_copy();
        }
        if (ins) {
            ins_len += len;
        } else {
            ins = true;
            ins_start = start;
            ins_len = len;
        }
    }

    void copy(uint32_t off, uint32_t len, uint32_t new_pos) {
        if (len == 0) return;
        if (cp && cp_off + cp_len == off) {
            cp_len += len;
            return;
        }
        settle();
        cp = true;
        cp_off = off;
        cp_len = len;
        cp_new = new_pos;
    }

    void close() {
        settle();
        if (ins) write_insert();
    }
};

}  // namespace kestrava_indexed

#endif
