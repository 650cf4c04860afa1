// The `delta` submodule: buffer bridging classes, diff and patch.
#ifndef KESTRAVA_PYTHON_DELTA_MODULE_H
#define KESTRAVA_PYTHON_DELTA_MODULE_H

#include <pybind11/pybind11.h>

#include "cxx_api/buffer/in_buffer.h"
#include "cxx_api/buffer/out_buffer.h"
#include "cxx_api/buffer/python_proxy.h"

namespace kestrava {

using PythonInBuffer = InBuffer<InProxy>;
using PythonOutBuffer = OutBuffer<OutProxy, pybind11::bytes>;

void init_delta(pybind11::module_ &top);

}  // namespace kestrava

#endif
