/* CBOR floating-point writers: shortest exact form, or a fixed precision. */
#ifndef KESTRAVA_CBOR_FLOAT_H
#define KESTRAVA_CBOR_FLOAT_H

#include "core/cbor/cbor_generator.h"

KESTRAVA_API int cbor_write_float(cbor_generator *g, double x);
KESTRAVA_API int cbor_write_float32(cbor_generator *g, double x);
KESTRAVA_API int cbor_write_float64(cbor_generator *g, double x);

#endif
