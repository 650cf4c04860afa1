#include "bindings/python/cbor/output.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <utility>

namespace py = pybind11;

namespace kestrava {

namespace {

// The first storage: a short result takes one small allocation.
constexpr uint64_t first_capacity = 256;
// Room kept until the end up to this much (see finish).
constexpr std::size_t shrink_above = std::size_t{32} << 20;
// Storage kept from one call to the next up to this much. Freed, a block of
// a few hundred KB could go back to the system and come back page by page
// in the next call: in fresh processes, outputs of 118 KB, 483 KB and 1 MB
// took 29, 205 and 463 page faults a call, and 2.5 to 3.2 times as long as
// with the storage kept. Outputs of 1.6 and 3.3 MB, which grow anew each
// time, faulted 6 and 26 times a call; and the process holds at most this
// much between calls.
constexpr std::size_t keep_up_to = std::size_t{1} << 20;

// The storage the last output left, its capacity written in its first
// bytes. Taken and given back whole, by exchange, so that two calls never
// share it: a call made while another runs (from Python code the other one
// ran, or in another thread) finds it taken and starts without. One for the
// process rather than one per thread, so that what is held between calls
// stays bounded however many threads call.
std::atomic<void *> spare{nullptr};

// The largest storage a bytes object can have on this platform.
constexpr uint64_t max_capacity =
    static_cast<uint64_t>(PY_SSIZE_T_MAX) - sizeof(PyBytesObject) < UINT32_MAX
        ? static_cast<uint64_t>(PY_SSIZE_T_MAX) - sizeof(PyBytesObject)
        : UINT32_MAX;

}  // namespace

CborOutput::CborOutput() {
    if (void *kept = spare.exchange(nullptr, std::memory_order_acquire)) {
        std::size_t capacity = 0;
        std::memcpy(&capacity, kept, sizeof capacity);
        heap = kept;
        begin = static_cast<uint8_t *>(kept);
        end = begin + capacity;
    }
}

CborOutput::~CborOutput() {
    const auto capacity = static_cast<std::size_t>(end - begin);
    if (heap != nullptr && capacity >= sizeof capacity && capacity <= keep_up_to) {
        std::memcpy(heap, &capacity, sizeof capacity);
        heap = spare.exchange(heap, std::memory_order_acq_rel);
    }
    std::free(heap);
}

void CborOutput::fail(Cursor at, uint64_t item_bytes) const {
    // The output's length is 32-bit: an item that would take it past that
    // cannot be written however much memory there is.
    if (length(at) + item_bytes > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "dumps output would exceed 4294967295 bytes");
        throw py::error_already_set();
    }
    throw std::bad_alloc();
}

Cursor CborOutput::grow(Cursor at, uint32_t n) {
    const uint64_t used = static_cast<uint64_t>(at - begin);
    const uint64_t need = used + n;
    if (need + spliced > UINT32_MAX || need > max_capacity) {
        fail(at, n);
    }
    const uint64_t doubled = 2 * static_cast<uint64_t>(end - begin);
    const uint64_t capacity = std::max(need, std::min(std::max(doubled, first_capacity),
                                                      std::min(UINT32_MAX - spliced, max_capacity)));
    void *grown = std::realloc(heap, static_cast<std::size_t>(capacity));
    if (grown == nullptr) {
        fail(at, n);  // `heap` is still owned, and freed with the output
    }
    heap = grown;
    begin = static_cast<uint8_t *>(grown);
    end = begin + capacity;
    return begin + used;
}

Cursor CborOutput::long_string(Cursor at, uint8_t major, const char *data, uint64_t size) {
    // Refused before the head, so that no head announces bytes that never
    // follow.
    if (size > UINT32_MAX) {
        fail(at, size + 9);
    }
    at = head(at, major, size);
    std::memcpy(room(at, static_cast<uint32_t>(size)), data, static_cast<std::size_t>(size));
    return at;
}

Cursor CborOutput::splice(Cursor at, uint8_t major, const char *data, uint64_t size, PyObject *owner) {
    if (size > UINT32_MAX) {
        fail(at, size + 9);
    }
    at = head(at, major, size);
    if (length(at) + size > UINT32_MAX) {
        fail(at, size + 9);
    }
    splices.push_back(Splice{static_cast<std::size_t>(at - begin), data, static_cast<uint32_t>(size),
                             py::reinterpret_borrow<py::object>(owner)});
    spliced += size;
    return at;
}

namespace {

// A bytes object of `size` bytes, copied from `data` unless null; a
// MemoryError when it cannot be made, like every other allocation here.
py::bytes new_bytes(const char *data, std::size_t size) {
    PyObject *made = PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size));
    if (made == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::bytes>(made);
}

}  // namespace

py::bytes CborOutput::finish(Cursor at) {
    const std::size_t used = static_cast<std::size_t>(at - begin);
    // A large output's memory is cut to its length before the result is
    // made, so that at most twice the output is held at once (the doubling
    // leaves up to twice as much room). Smaller ones keep their room, for
    // the next call (see keep_up_to) or freed whole.
    if (static_cast<std::size_t>(end - begin) > shrink_above && used > 0) {
        if (void *cut = std::realloc(heap, used)) {
            heap = cut;
            begin = static_cast<uint8_t *>(cut);
            end = begin + used;
        }
    }
    if (splices.empty()) {
        return new_bytes(reinterpret_cast<const char *>(begin), used);
    }
    py::bytes out = new_bytes(nullptr, static_cast<std::size_t>(used + spliced));
    char *to = PyBytes_AS_STRING(out.ptr());
    const char *from = reinterpret_cast<const char *>(begin);
    std::size_t done = 0;
    for (const Splice &splice : splices) {
        std::memcpy(to, from + done, splice.at - done);
        to += splice.at - done;
        done = splice.at;
        std::memcpy(to, splice.data, splice.size);
        to += splice.size;
    }
    std::memcpy(to, from + done, used - done);
    return out;
}

}  // namespace kestrava
