// The Python side of the buffer bridging types: the input proxy borrows a
// `bytes` object's storage, the output proxy names the Python side of a
// result buffer.
#ifndef KESTRAVA_CXX_API_PYTHON_PROXY_H
#define KESTRAVA_CXX_API_PYTHON_PROXY_H

#include <pybind11/pybind11.h>

#include <cstdint>
#include <exception>
#include <stdexcept>

#include "core/buffer/buf.h"
#include "cxx_api/buffer/buf_view.h"

namespace kestrava {

class InProxy {
public:
    using host_type = pybind11::bytes;

    explicit InProxy(pybind11::bytes object) : object(std::move(object)) {}

    // A view of the object's own storage; bytes objects are immutable, and
    // this proxy holds a reference for as long as the view is used.
    buf borrow() const {
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(object.ptr(), &data, &size) != 0) {
            PyErr_Clear();
            throw std::exception();
        }
        // Core lengths are 32-bit: a longer object cannot be described.
        if (static_cast<uint64_t>(size) > UINT32_MAX) {
            throw std::overflow_error("bytes object longer than 4294967295 bytes");
        }
        return buf_view_make(reinterpret_cast<const uint8_t *>(data), static_cast<uint32_t>(size));
    }

private:
    pybind11::bytes object;
};

// Exports a result buffer to Python's buffer protocol.
struct OutProxy {
    // An empty result may have no storage at all; an export still needs a
    // valid address, and nothing can be written through zero bytes.
    static void *export_address(const buf *b) {
        static uint8_t empty[1];
        return b->data != nullptr ? static_cast<void *>(b->data) : static_cast<void *>(empty);
    }
};

}  // namespace kestrava

#endif
