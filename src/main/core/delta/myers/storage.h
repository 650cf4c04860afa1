/* Interleaved, growable storage of the forward and reverse diagonal values
   of the Myers search. */
#ifndef KESTRAVA_STORAGE_H
#define KESTRAVA_STORAGE_H

#include <stdint.h>

#include "core/export.h"

typedef struct storage {
    int32_t *entries;
    int32_t capacity, limit, max_d, last_index;
} storage;

KESTRAVA_API storage *storage_create(int32_t limit);
KESTRAVA_API void storage_free(storage *s);
KESTRAVA_API void storage_ensure(storage *s, int32_t d);
KESTRAVA_API void storage_fill(storage *s, int32_t from);
KESTRAVA_API void storage_initialise(storage *s, int32_t d);
KESTRAVA_API int32_t storage_extend(storage *s, int32_t d);
KESTRAVA_API int32_t storage_key_forward(int32_t k);
KESTRAVA_API int32_t storage_key_reverse(int32_t k);
KESTRAVA_API int32_t storage_key_forward_get(const storage *s, int32_t k);
KESTRAVA_API void storage_key_forward_set(storage *s, int32_t k, int32_t value);
KESTRAVA_API int32_t storage_key_reverse_get(const storage *s, int32_t k);
KESTRAVA_API void storage_key_reverse_set(storage *s, int32_t k, int32_t value);
KESTRAVA_API int32_t storage_key_forward_get_next(const storage *s, int32_t k);
KESTRAVA_API int32_t storage_key_reverse_get_next(const storage *s, int32_t k);

#endif
