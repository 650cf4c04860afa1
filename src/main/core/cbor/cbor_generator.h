/* Streaming CBOR writer: each call appends one item head (and a string's
   bytes). Nesting and counts are the caller's business. */
#ifndef KESTRAVA_CBOR_GENERATOR_H
#define KESTRAVA_CBOR_GENERATOR_H

#include <stdint.h>

#include "core/export.h"

typedef struct cbor_generator {
    uint8_t *data;
    uint32_t len;
} cbor_generator;

/* Length/count argument that asks for an indefinite-length item. */
#define CBOR_INDEFINITE ((uint64_t)-1)

KESTRAVA_API cbor_generator *cbor_generator_create(void);
KESTRAVA_API void cbor_generator_free(cbor_generator *g);
KESTRAVA_API int _cbor_generator_write_byte(cbor_generator *g, uint8_t byte);
KESTRAVA_API int _cbor_generator_write_bytes(cbor_generator *g, const void *src, uint32_t n);
KESTRAVA_API int _cbor_write_uint_helper(cbor_generator *g, uint8_t type, uint64_t value);
KESTRAVA_API int _cbor_write_uint_sized(cbor_generator *g, uint8_t initial, uint64_t value);
KESTRAVA_API int cbor_write_uint(cbor_generator *g, uint64_t value);
KESTRAVA_API int cbor_write_negint(cbor_generator *g, int64_t value);
KESTRAVA_API int cbor_write_byte_string(cbor_generator *g, const void *bytes, uint64_t length);
KESTRAVA_API int cbor_write_text_string(cbor_generator *g, const char *text, uint64_t length);
KESTRAVA_API int cbor_write_array(cbor_generator *g, uint64_t count);
KESTRAVA_API int cbor_write_map(cbor_generator *g, uint64_t count);
KESTRAVA_API int cbor_write_break(cbor_generator *g);
KESTRAVA_API int cbor_write_false(cbor_generator *g);
KESTRAVA_API int cbor_write_true(cbor_generator *g);
KESTRAVA_API int cbor_write_null(cbor_generator *g);
KESTRAVA_API int cbor_write_undefined(cbor_generator *g);

#endif
