/* Base-128 variable-length integers (least significant group first) and
   length-prefixed strings over buf. */
#ifndef KESTRAVA_BUF_ENC_H
#define KESTRAVA_BUF_ENC_H

#include <stdint.h>

#include "core/buffer/buf.h"

KESTRAVA_API void buf_write_uint32_enc(buf *b, uint32_t v);
KESTRAVA_API void buf_write_uint64_enc(buf *b, uint64_t v);
KESTRAVA_API void buf_write_string_length_enc(buf *b, const char *text, uint64_t length);
KESTRAVA_API void buf_write_string_enc(buf *b, const char *text);
KESTRAVA_API const uint8_t *buf_read_uint32_enc(const uint8_t *p, uint32_t *out);
KESTRAVA_API const uint8_t *buf_read_uint64_enc(const uint8_t *p, uint64_t *out);
KESTRAVA_API const uint8_t *buf_read_string_length_enc(const uint8_t *p, char **text, uint32_t *len);
KESTRAVA_API const uint8_t *buf_read_float(const uint8_t *p, float *out);

#endif
