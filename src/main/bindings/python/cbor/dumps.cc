// dumps: picks the encoder configuration once per call and writes the value
// into the bytes object it returns.
#include "bindings/python/cbor/dumps.h"

#include <cstdint>
#include <stdexcept>
#include <string>

#include "bindings/python/cbor/value_encoder.h"

namespace py = pybind11;

namespace kestrava {
namespace detail {

void throw_cannot_encode(py::handle object) {
    throw py::cast_error("Unable to cast Python instance of type " + std::string(py::str(py::type::handle_of(object))) +
                         " to C++ type 'DumpsValue'");
}

void throw_no_utf8(py::handle text) {
    throw py::cast_error("Unable to cast Python instance of type " + std::string(py::str(py::type::handle_of(text))) +
                         " to C++ type 'std::string' (the text has no UTF-8 form)");
}

void throw_list_index() {
    PyErr_SetString(PyExc_IndexError, "list index out of range");
    throw py::error_already_set();
}

void throw_dict_changed(const char *message) {
    PyErr_SetString(PyExc_RuntimeError, message);
    throw py::error_already_set();
}

void throw_depth_exceeded(uint32_t max_depth) {
    throw std::runtime_error("Exceeded recursion limit:" + std::to_string(max_depth));
}

void throw_integer_out_of_range(py::handle object, std::size_t text_limit) {
    throw std::runtime_error("dumps received an integer out of range for both int64_t and uint64_t" +
                             describe_object(object, text_limit));
}

}  // namespace detail

namespace {

template <bool Limited>
py::bytes encode(const DumpsValue &value, bool indefinite, uint32_t max_depth) {
    ValueEncoder<Limited> encoder(indefinite, max_depth);
    return encoder.encode(value);
}

}  // namespace

py::bytes dumps(const DumpsValue &value, bool indefinite, uint32_t max_depth) {
    return max_depth == 0 ? encode<false>(value, indefinite, max_depth) : encode<true>(value, indefinite, max_depth);
}

}  // namespace kestrava
