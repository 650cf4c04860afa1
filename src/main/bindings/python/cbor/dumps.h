// `kestrava_core.cbor.dumps`: a Python value to the bytes of one CBOR item.
#ifndef KESTRAVA_PYTHON_DUMPS_H
#define KESTRAVA_PYTHON_DUMPS_H

#include <pybind11/pybind11.h>

#include <cstdint>

#include "bindings/python/cbor/dumps_value.h"

namespace kestrava {

pybind11::bytes dumps(const DumpsValue &value, bool indefinite, uint32_t max_depth);

}  // namespace kestrava

#endif
