/* Internal to the indexed delta generator: the delta being written, the
   writer of its items (which decides when a copy is not worth its heads),
   a reader of written items, and the refinement pass. */
#ifndef KESTRAVA_INDEXED_EMIT_H
#define KESTRAVA_INDEXED_EMIT_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace kestrava_indexed {

// Size of the CBOR head of an item whose argument is v.
inline uint32_t head(uint64_t v) {
    if (v <= 23) return 1;
    if (v <= 0xFF) return 2;
    if (v <= 0xFFFF) return 3;
    if (v <= 0xFFFFFFFFu) return 5;
    return 9;
}

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

    void put_head(uint8_t major, uint64_t v) {
        uint8_t *p = data + len;
        uint32_t n = head(v);
        if (n == 1) {
            p[0] = static_cast<uint8_t>(major << 5 | v);
        } else {
            p[0] = static_cast<uint8_t>(major << 5 | (n == 2 ? 24 : n == 3 ? 25 : n == 5 ? 26 : 27));
            for (uint32_t k = 1; k < n; ++k) p[k] = static_cast<uint8_t>(v >> (8 * (n - 1 - k)));
        }
        len += n;
    }
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
        if (out->room(head(ins_len) + static_cast<uint64_t>(ins_len))) {
            out->put_head(2, ins_len);
            memcpy(out->data + out->len, new_v + ins_start, ins_len);
            out->len += ins_len;
        }
        ins = false;
    }

    void write_copy() {
        if (out->room(head(cp_off) + head(cp_len))) {
            out->put_head(0, cp_off);
            out->put_head(0, cp_len);
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
        uint64_t keep = (ins ? head(ins_len) : 0) + head(cp_off) + head(cp_len);
        uint64_t total = static_cast<uint64_t>(ins_len_or_0()) + cp_len;
        if (cp_len + head(total) <= keep) {
            fold(0);
            return;
        }
        if (ins) write_insert();
        write_copy();
    }

    void literal(uint32_t start, uint32_t len) {
        if (len == 0) return;
        if (cp) {
            uint64_t keep = (ins ? head(ins_len) : 0) + head(cp_off) + head(cp_len) + head(len);
            uint64_t total = static_cast<uint64_t>(ins_len_or_0()) + cp_len + len;
            if (cp_len + head(total) <= keep) {
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

// One item of a written delta: a copy (old offset, length) or an insert of
// `len` new bytes.
struct item {
    bool copy;
    uint32_t off, len;
};

// Reads back items written by an output (shortest heads, no other kinds).
struct item_reader {
    const uint8_t *p, *end;

    uint32_t argument() {
        uint32_t info = *p & 31u, extra = info < 24 ? 0 : info == 24 ? 1 : info == 25 ? 2 : info == 26 ? 4 : 8;
        uint64_t v = info < 24 ? info : 0;
        for (uint32_t x = 1; x <= extra; ++x) v = v << 8 | p[x];
        p += 1 + extra;
        return static_cast<uint32_t>(v);
    }

    bool next(item &it) {
        if (p >= end) return false;
        it.copy = (*p >> 5) == 0;
        if (it.copy) {
            it.off = argument();
            it.len = argument();
        } else {
            it.off = 0;
            it.len = argument();
            p += it.len;
        }
        return true;
    }
};

// Second pass over a finished delta: re-encodes the stretches made of
// inserts and short copies with the shortest copies from anywhere in the old
// value (an optimal parse of each stretch over the longest match at each of
// its positions). Writes into `out`: 1 when something was parsed again, 0
// when nothing was (`out` is then of no use), -1 when memory runs out.
int refine(const uint8_t *old_v, uint32_t n_old, const uint8_t *new_v, uint32_t n_new, const output &first,
            output &out);

}  // namespace kestrava_indexed

#endif
