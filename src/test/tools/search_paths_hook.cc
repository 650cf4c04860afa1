// For the model check through ctypes: myers_binary_diff with the form of
// the search's passes forced, every search of any size over the band, so
// that each form this processor can run meets the independent model. Built
// into a test-only copy of the shared core, never into the core itself.
#include "core/delta/myers/task_list.h"

#define KESTRAVA_TEST_API extern "C" __attribute__((visibility("default")))

using kestrava_myers::search_path;

namespace {

const search_path kPaths[] = {search_path::storage, search_path::scalar, search_path::avx512_first,
                              search_path::avx512_four, search_path::avx512};
const char *const kNames[] = {"storage", "scalar", "avx512 first bytes", "avx512 four bytes",
                              "avx512 chosen by pass"};
const int32_t kCount = sizeof kPaths / sizeof kPaths[0];

}  // namespace

KESTRAVA_TEST_API int32_t kestrava_test_search_paths(void) { return kCount; }

// The path's name, or null when out of range or not runnable here.
KESTRAVA_TEST_API const char *kestrava_test_search_path_name(int32_t i) {
    if (i < 0 || i >= kCount) return nullptr;
    if (kPaths[i] != search_path::storage && !kestrava_myers::passes_for(kPaths[i])) return nullptr;
    return kNames[i];
}

KESTRAVA_TEST_API int32_t kestrava_test_myers_binary_diff(const buf *old_value, int32_t old_offset,
                                                          int32_t old_length, const buf *new_value,
                                                          int32_t new_offset, int32_t new_length, edit_script *script,
                                                          int32_t storage_limit, int32_t cost_limit, uint32_t quality,
                                                          int32_t path) {
    return kestrava_myers::binary_diff(old_value, old_offset, old_length, new_value, new_offset, new_length, script,
                                       storage_limit, cost_limit, quality, nullptr, kPaths[path], 1, 0);
}
