/* Edit script (budgeted CBOR writer of copies and inserts) and the
   coalescing script that merges the search's operations into runs. */
#ifndef KESTRAVA_EDIT_SCRIPT_H
#define KESTRAVA_EDIT_SCRIPT_H

#include <stdbool.h>
#include <stdint.h>

#include "core/buffer/buf.h"

typedef struct edit_script {
    int32_t insert_start, insert_length, match_start, match_length;
    const buf *old_buf;
    const buf *new_buf;
    int32_t budget;
    buf *out;
} edit_script;

typedef struct coallescing_script {
    edit_script *script;
    int32_t old_base, new_base, state, offset, run_length;
    bool single_run;
} coallescing_script;

KESTRAVA_API edit_script *edit_script_create(const buf *old_value, const buf *new_value);
KESTRAVA_API void edit_script_free(edit_script *s);
KESTRAVA_API bool edit_script_close(edit_script *s);
KESTRAVA_API bool edit_script_match(edit_script *s, int32_t start, int32_t length);
KESTRAVA_API bool edit_script_insert(edit_script *s, int32_t start, int32_t length);
KESTRAVA_API bool coallescing_script_match(coallescing_script *cs, int32_t position, int32_t length);
KESTRAVA_API bool coallescing_script_insert(coallescing_script *cs, int32_t position, int32_t length);
KESTRAVA_API bool coallescing_script_delete(coallescing_script *cs);
KESTRAVA_API int32_t coallescing_script_close(coallescing_script *cs, int32_t old_length, int32_t new_length);

#endif
