/* Table-driven CBOR pull parser: one item head per call, no tree, no
   nesting stack. */
#ifndef KESTRAVA_CBOR_PARSER_H
#define KESTRAVA_CBOR_PARSER_H

#include <stdint.h>

#include "core/export.h"

typedef struct cbor_parser {
    const uint8_t *data;
    uint32_t len;
    const uint8_t *cursor;
    int32_t in_indefinite;
} cbor_parser;

typedef struct cbor_val {
    uint8_t initial_byte;
    int32_t type;
    union {
        int64_t integer;
        double floating;
        uint8_t *data;
    } payload;
    int64_t length;
} cbor_val;

typedef int (*cbor_handler)(cbor_parser *, cbor_val *);

KESTRAVA_API cbor_parser *cbor_parser_create(const uint8_t *data, uint32_t len);
KESTRAVA_API void cbor_parser_free(cbor_parser *p);
KESTRAVA_API int32_t cbor_parser_available_bytes(const cbor_parser *p);
KESTRAVA_API cbor_val *cbor_val_create(void);
KESTRAVA_API void cbor_val_free(cbor_val *v);
KESTRAVA_API cbor_val *cbor_next_val(cbor_parser *p);

KESTRAVA_EXTERN_C __attribute__((visibility("default"))) cbor_handler const cbor_jump_table[256];

KESTRAVA_API int cbor_parse_uint_small(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_uint8(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_uint16(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_uint32(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_uint64(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_negint_small(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_negint8(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_negint16(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_negint32(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_negint64(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_byte_string_small(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_byte_string_uint8(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_byte_string_uint16(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_byte_string_uint32(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_byte_string_uint64(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_byte_string_indefinite(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_text_string_small(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_text_string_uint8(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_text_string_uint16(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_text_string_uint32(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_text_string_uint64(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_text_string_indefinite(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_array_small(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_array_uint8(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_array_uint16(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_array_uint32(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_array_uint64(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_array_indefinite(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_map_small(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_map_uint8(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_map_uint16(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_map_uint32(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_map_uint64(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_map_indefinite(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_semantic_tag(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_reserved(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_unimplemented(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_false(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_true(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_null(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_undefined(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_float16(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_float32(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_float64(cbor_parser *p, cbor_val *v);
KESTRAVA_API int cbor_parse_break(cbor_parser *p, cbor_val *v);

#endif
