/* Bit utilities used by the activity history and the search limits. */
#ifndef KESTRAVA_BITS_H
#define KESTRAVA_BITS_H

#include <stdint.h>

#include "core/export.h"

KESTRAVA_API int32_t number_of_leading_zeroes_long(uint64_t v);
KESTRAVA_API int32_t number_of_leading_zeroes_int(int32_t v);
KESTRAVA_API int32_t highest_bit_long(uint64_t v);
KESTRAVA_API int32_t highest_bit_int(int32_t v);
KESTRAVA_API int32_t find_next_power_of_two_int(int32_t v);
KESTRAVA_API int64_t find_next_power_of_two_long(int64_t v);
KESTRAVA_API int64_t approx_cube_root(int64_t v);

#endif
