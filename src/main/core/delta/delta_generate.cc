#include "core/delta/delta_generate.h"

#include "core/cbor/cbor_generator.h"
#include "core/delta/script/edit_script.h"
#include "core/delta/myers/myers.h"

namespace {

const int32_t kDefaultStorageLimit = 2147483647;
const int32_t kDefaultCostLimit = 10000;

int32_t quality_for(int32_t utilisation) {
    if (utilisation < 128) return 0;
    if (utilisation < 166) return 1;
    if (utilisation < 204) return 2;
    if (utilisation < 243) return 3;
    return 4;
}

buf *no_change_delta() {
    buf *b = buf_create();
    if (b) buf_write_byte(b, 0xf6);
    return b;
}

}  // namespace

extern "C" {

buf *_write_replacement_delta(const buf *new_value) {
    cbor_generator *g = cbor_generator_create();
    if (!g) return nullptr;
    const uint8_t *bytes = buf_substr(new_value, 0, static_cast<int32_t>(new_value->len));
    buf *result = nullptr;
    if (cbor_write_byte_string(g, bytes, new_value->len) == 0) {
        result = buf_create();
        if (result && g->len > 0) buf_write_bytes(result, g->data, g->len);
    }
    cbor_generator_free(g);
    return result;
}

buf *diff_generate_binary(const buf *old_value, const buf *new_value) {
    return diff_generate_binary_ex(old_value, new_value, kDefaultStorageLimit, kDefaultCostLimit);
}

buf *diff_generate_binary_ex(const buf *old_value, const buf *new_value, int32_t storage_limit,
                             int32_t cost_limit) {
    return diff_generate_binary_with_activity_history_ex(nullptr, old_value, new_value, storage_limit, cost_limit);
}

buf *diff_generate_binary_with_activity_history(activity_history *h, const buf *old_value, const buf *new_value) {
    return diff_generate_binary_with_activity_history_ex(h, old_value, new_value, kDefaultStorageLimit,
                                                         kDefaultCostLimit);
}

buf *diff_generate_binary_with_activity_history_ex(activity_history *h, const buf *old_value,
                                                   const buf *new_value, int32_t storage_limit,
                                                   int32_t cost_limit) {
    int32_t quality = 0;
    if (h) {
        kestrava_activity_history_start(h);
        quality = quality_for(kestrava_activity_history_utilisation(h));
        h->last_delta_quality = quality;
    }
    edit_script *script = edit_script_create(old_value, new_value);
    int32_t r = -1;
    if (script) {
        r = myers_binary_diff(old_value, 0, static_cast<int32_t>(old_value->len), new_value, 0,
                              static_cast<int32_t>(new_value->len), script, storage_limit, cost_limit,
                              static_cast<uint32_t>(quality));
    }
    if (h) kestrava_activity_history_stop(h);

    buf *result = nullptr;
    switch (r) {
        case 1: result = _write_replacement_delta(new_value); break;
        case 2: result = no_change_delta(); break;
        case 0: result = buf_dup(script->out); break;
        default: break;
    }
    // Never hand out anything that is not shorter than the value itself.
    if ((r == 0 || r == 2) && result && result->len >= new_value->len) {
        buf_free(result);
        result = _write_replacement_delta(new_value);
    }
    edit_script_free(script);
    return result;
}

}  // extern "C"
