/* Growable byte buffer and fixed-width readers. */
#ifndef KESTRAVA_BUF_H
#define KESTRAVA_BUF_H

#include <stdbool.h>
#include <stdint.h>

#include "core/export.h"

typedef struct buf {
    uint8_t *data;
    uint32_t len;
    uint32_t capacity;
} buf;

KESTRAVA_API buf *buf_create(void);
KESTRAVA_API void buf_free(buf *b);
KESTRAVA_API buf *buf_dup(const buf *src);

KESTRAVA_API void buf_write_byte(buf *b, uint8_t byte);
KESTRAVA_API void buf_write_bytes(buf *b, const void *src, uint32_t n);
KESTRAVA_API void buf_write_buf(buf *dst, const buf *src);
KESTRAVA_API void buf_write_string(buf *b, const char *text);
KESTRAVA_API void buf_write_float(buf *b, float value);
KESTRAVA_API void buf_write_bool(buf *b, bool flag);
KESTRAVA_API int32_t buf_sprintf(buf *b, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

KESTRAVA_API const uint8_t *buf_read_byte(const uint8_t *p, uint8_t *out);
KESTRAVA_API const uint8_t *buf_read_uint32(const uint8_t *p, uint32_t *out);
KESTRAVA_API const uint8_t *buf_read_uint64(const uint8_t *p, uint64_t *out);
KESTRAVA_API const uint8_t *buf_read_bool(const uint8_t *p, bool *out);

KESTRAVA_API char *buf_as_string(const buf *b);
KESTRAVA_API char *buf_as_hex(const buf *b);
KESTRAVA_API uint8_t *buf_substr(const buf *b, uint32_t offset, int32_t n);
KESTRAVA_API int32_t buf_cmp(const buf *a, const buf *b);
KESTRAVA_API void buf_discard_front(buf *b, uint32_t n);
KESTRAVA_API void hexdump_buf(const buf *b);

#endif
