/* Bounded Myers O(ND) search: entry point, execution steps and the
   middle-snake search. */
#ifndef KESTRAVA_MYERS_H
#define KESTRAVA_MYERS_H

#include <stdbool.h>
#include <stdint.h>

#include "core/buffer/buf.h"
#include "core/delta/script/edit_script.h"
#include "core/delta/myers/storage.h"

typedef struct execution {
    const buf *old_buf;
    const buf *new_buf;
    coallescing_script *script;
    int32_t cost_limit;
    struct storage *storage;
} execution;

KESTRAVA_API int32_t myers_binary_diff(const buf *old_value, int32_t old_offset, int32_t old_length,
                                       const buf *new_value, int32_t new_offset, int32_t new_length,
                                       edit_script *script, int32_t storage_limit, int32_t cost_limit,
                                       uint32_t quality);
KESTRAVA_API int32_t myers_binary_diff_check_bounds(const buf *b, int32_t offset, int32_t length);
KESTRAVA_API int32_t myers_binary_diff_corner(int32_t d, int32_t n);
KESTRAVA_API int32_t myers_binary_diff_bailout_limit(int32_t a, int32_t b, int32_t c);

KESTRAVA_API execution *execution_create(const buf *old_value, const buf *new_value, coallescing_script *script,
                                         int32_t storage_limit, int32_t cost_limit);
KESTRAVA_API void execution_free(execution *e);
KESTRAVA_API bool execution_diff(execution *e, int32_t a, int32_t n, int32_t b, int32_t m, int32_t limit);
KESTRAVA_API bool execution_trim_prefix_and_suffix(execution *e, int32_t a, int32_t n, int32_t b, int32_t m);
KESTRAVA_API bool execution_recurse(execution *e, int32_t a, int32_t n, int32_t b, int32_t m, int32_t s,
                                    int32_t t, int32_t k);
KESTRAVA_API bool execution_prefix_diff(execution *e, int32_t a, int32_t n, int32_t b, int32_t m, int32_t limit);
KESTRAVA_API bool execution_suffix_diff(execution *e, int32_t a, int32_t n, int32_t b, int32_t m, int32_t pos,
                                        int32_t limit);
KESTRAVA_API bool execution_middlesnake(execution *e, int32_t a, int32_t n, int32_t b, int32_t m, int32_t limit);
KESTRAVA_API bool execution_bail(execution *e, int32_t a, int32_t n, int32_t b, int32_t m, int32_t corner_old,
                                 int32_t corner_new, int32_t count);
KESTRAVA_API bool execution_bounded_diff(execution *e, int32_t a, int32_t n, int32_t b, int32_t m,
                                         int32_t total_old, int32_t total_new, int32_t limit);

#endif
