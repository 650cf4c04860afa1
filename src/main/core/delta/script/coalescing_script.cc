#include "core/delta/script/edit_script.h"

namespace {

enum : int32_t { kInsertRun = 0, kMatchRun = 1, kNoRun = 2 };

// Positions are offsets into values of at most 2^31 - 1 bytes; the wrap only
// keeps nonsense arguments free of undefined behaviour.
int32_t relative(int32_t position, int32_t base) {
    return static_cast<int32_t>(static_cast<uint32_t>(position) - static_cast<uint32_t>(base));
}

// Hands the open run to the edit script.
bool hand_over(coallescing_script *cs) {
    if (cs->state == kMatchRun) return edit_script_match(cs->script, cs->offset, cs->run_length);
    if (cs->state == kInsertRun) return edit_script_insert(cs->script, cs->offset, cs->run_length);
    return true;
}

int32_t extend(int32_t run_length, int32_t length) {
    int64_t sum = static_cast<int64_t>(run_length) + length;
    return sum > INT32_MAX ? INT32_MAX : static_cast<int32_t>(sum);
}

}  // namespace

extern "C" {

bool coallescing_script_match(coallescing_script *cs, int32_t position, int32_t length) {
    if (length <= 0) return true;
    if (cs->state == kMatchRun) {
        cs->run_length = extend(cs->run_length, length);
        return true;
    }
    cs->single_run = cs->single_run && cs->state == kNoRun;
    if (cs->state == kInsertRun && !hand_over(cs)) return false;
    cs->state = kMatchRun;
    cs->offset = relative(position, cs->old_base);
    cs->run_length = length;
    return true;
}

bool coallescing_script_insert(coallescing_script *cs, int32_t position, int32_t length) {
    if (length <= 0) return true;
    if (cs->state == kInsertRun) {
        cs->run_length = extend(cs->run_length, length);
        return true;
    }
    cs->single_run = cs->single_run && cs->state == kNoRun;
    if (cs->state == kMatchRun && !hand_over(cs)) return false;
    cs->state = kInsertRun;
    cs->offset = relative(position, cs->new_base);
    cs->run_length = length;
    return true;
}

bool coallescing_script_delete(coallescing_script *cs) {
    // Dropped old bytes do not interrupt an insert run.
    if (cs->state == kInsertRun) return true;
    cs->single_run = cs->single_run && cs->state == kNoRun;
    bool ok = hand_over(cs);
    cs->state = kNoRun;
    return ok;
}

int32_t coallescing_script_close(coallescing_script *cs, int32_t old_length, int32_t new_length) {
    (void)new_length;
    if (cs->single_run) {
        if (cs->state == kInsertRun) return 1;
        if (cs->offset == 0 && cs->run_length == old_length) return 2;
    }
    if (!hand_over(cs)) return 1;
    return edit_script_close(cs->script) ? 0 : 1;
}

}  // extern "C"
