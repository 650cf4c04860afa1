// ValueEncoder: writes a DumpsValue into a CBOR generator. Its two options
// (indefinite-length containers, depth limit) are template parameters, so
// the per-item code carries no tests of them.
#ifndef KESTRAVA_PYTHON_VALUE_ENCODER_H
#define KESTRAVA_PYTHON_VALUE_ENCODER_H

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

#include "cbor/cbor_float.h"
#include "cbor/cbor_generator.h"
#include "cbor/describe_object.h"
#include "cbor/dumps_value.h"

namespace kestrava {

namespace detail {

struct NoDepthLimit {
    explicit NoDepthLimit(uint32_t) {}
};

struct DepthLimit {
    explicit DepthLimit(uint32_t max_depth) : max_depth(max_depth) {}
    uint32_t depth = 0;
    uint32_t max_depth;
};

// Native recursion follows the data, so it is bounded by the interpreter's
// recursion limit: RecursionError instead of a blown stack. Counted here as
// well as through the interpreter, whose own check does not apply to native
// code everywhere (PyPy).
class NestingGuard {
public:
    NestingGuard(uint32_t &nesting, uint32_t limit) : nesting(nesting) {
        if (nesting >= limit) {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while encoding a value to CBOR");
            throw pybind11::error_already_set();
        }
        if (Py_EnterRecursiveCall(" while encoding a value to CBOR") != 0) {
            throw pybind11::error_already_set();
        }
        ++nesting;
    }
    ~NestingGuard() {
        --nesting;
        Py_LeaveRecursiveCall();
    }
    NestingGuard(const NestingGuard &) = delete;
    NestingGuard &operator=(const NestingGuard &) = delete;

private:
    uint32_t &nesting;
};

[[noreturn]] void throw_write_failure(const cbor_generator *g, uint64_t item_bytes);
[[noreturn]] void throw_cannot_encode(pybind11::handle object);
[[noreturn]] void throw_depth_exceeded(uint32_t max_depth);
[[noreturn]] void throw_integer_out_of_range(pybind11::handle object, std::size_t text_limit);

}  // namespace detail

template <bool Indefinite, bool Limited>
class ValueEncoder : private std::conditional_t<Limited, detail::DepthLimit, detail::NoDepthLimit> {
    using Depth = std::conditional_t<Limited, detail::DepthLimit, detail::NoDepthLimit>;

public:
    explicit ValueEncoder(uint32_t max_depth)
        : Depth(max_depth),
          generator(cbor_generator_create(), cbor_generator_free),
          nesting_limit(static_cast<uint32_t>(std::clamp(Py_GetRecursionLimit(), 1, max_native_nesting))) {
        if (!generator) {
            throw std::bad_alloc();
        }
    }

    const cbor_generator *output() const { return generator.get(); }

    void write(const DumpsValue &value) {
        std::visit([this](const auto &alternative) { this->write_alternative(alternative); }, value);
    }

private:
    static constexpr uint64_t container_marker = CBOR_INDEFINITE;
    // A program may raise the interpreter's limit far past what the native
    // stack holds (a self-containing dict crashed an 8 MB stack at 40,000
    // levels); nesting stops here whatever the limit, at a depth that takes
    // about 1.5 MB of stack (5 MB with AddressSanitizer).
    static constexpr int max_native_nesting = 6000;

    std::unique_ptr<cbor_generator, void (*)(cbor_generator *)> generator;
    const std::size_t text_limit = 40;
    // Containers currently open, against the interpreter's recursion limit.
    uint32_t nesting = 0;
    const uint32_t nesting_limit;

    // Writer results: -1 means the generator could not take the item.
    void check(int result, uint64_t item_bytes) {
        if (result < 0) {
            detail::throw_write_failure(generator.get(), item_bytes);
        }
    }

    void write_alternative(const pybind11::bool_ &b) {
        check(b.ptr() == Py_True ? cbor_write_true(generator.get()) : cbor_write_false(generator.get()), 1);
    }

    void write_alternative(const pybind11::float_ &f) {
        check(cbor_write_float(generator.get(), PyFloat_AS_DOUBLE(f.ptr())), 9);
    }

    void write_alternative(const pybind11::int_ &n) {
        PyObject *o = n.ptr();
        if (PyLong_CheckExact(o)) {
            // A plain int equals the int rebuilt from its converted value
            // whenever the conversion succeeds; no Python code can run.
            const unsigned long long u = PyLong_AsUnsignedLongLong(o);
            if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
                check(cbor_write_uint(generator.get(), u), 9);
                return;
            }
            PyErr_Clear();
            const long long s = PyLong_AsLongLong(o);
            if (!(s == -1 && PyErr_Occurred())) {
                check(cbor_write_negint(generator.get(), s), 9);
                return;
            }
            PyErr_Clear();
            detail::throw_integer_out_of_range(n, text_limit);
        }
        write_int_subclass(n);
    }

    // An int subclass may redefine conversion and equality: convert, rebuild
    // an int from the result and compare with ==; any failure only makes
    // the attempt fail.
    template <typename T>
    bool convert_and_compare(const pybind11::int_ &n, T &out) {
        try {
            pybind11::detail::make_caster<T> caster;
            if (!caster.load(n, true)) {
                return false;
            }
            const T value = pybind11::detail::cast_op<T>(caster);
            if (!pybind11::int_(value).equal(n)) {
                return false;
            }
            out = value;
            return true;
        } catch (const pybind11::error_already_set &) {
            return false;
        } catch (const pybind11::cast_error &) {
            return false;
        }
    }

    void write_int_subclass(const pybind11::int_ &n) {
        uint64_t u = 0;
        if (convert_and_compare(n, u)) {
            check(cbor_write_uint(generator.get(), u), 9);
            return;
        }
        int64_t s = 0;
        if (convert_and_compare(n, s)) {
            check(s < 0 ? cbor_write_negint(generator.get(), s)
                        : cbor_write_uint(generator.get(), static_cast<uint64_t>(s)),
                  9);
            return;
        }
        detail::throw_integer_out_of_range(n, text_limit);
    }

    void write_alternative(const pybind11::bytes &b) {
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(b.ptr(), &data, &size) != 0) {
            throw pybind11::error_already_set();
        }
        check(cbor_write_byte_string(generator.get(), data, static_cast<uint64_t>(size)),
              static_cast<uint64_t>(size) + 9);
    }

    void write_alternative(const pybind11::str &s) {
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
        if (utf8 == nullptr) {
            PyErr_Clear();
            throw pybind11::cast_error("Unable to cast Python instance of type " +
                                       std::string(pybind11::str(pybind11::type::handle_of(s))) +
                                       " to C++ type 'std::string' (the text has no UTF-8 form)");
        }
        check(cbor_write_text_string(generator.get(), utf8, static_cast<uint64_t>(size)),
              static_cast<uint64_t>(size) + 9);
    }

    void write_alternative(const pybind11::none &) { check(cbor_write_null(generator.get()), 1); }

    void write_alternative(bool b) {
        check(b ? cbor_write_true(generator.get()) : cbor_write_false(generator.get()), 1);
    }

    void write_alternative(uint64_t v) { check(cbor_write_uint(generator.get(), v), 9); }

    void write_alternative(int64_t v) {
        check(v < 0 ? cbor_write_negint(generator.get(), v)
                    : cbor_write_uint(generator.get(), static_cast<uint64_t>(v)),
              9);
    }

    void write_alternative(std::string_view view) {
        check(cbor_write_text_string(generator.get(), view.data(), view.size()),
              static_cast<uint64_t>(view.size()) + 9);
    }

    // --- containers ---

    void enter_element() {
        if constexpr (Limited) {
            if (++this->depth > this->max_depth) {
                detail::throw_depth_exceeded(this->max_depth);
            }
        }
    }

    void leave_element() {
        if constexpr (Limited) {
            --this->depth;
        }
    }

    // Matches one element and writes it; the match (and a bytearray's copy)
    // lives only while the element is written.
    void write_element(pybind11::handle element) {
        DumpsValue value;
        std::string storage;
        if (!match_dumps_value(element, value, storage)) {
            detail::throw_cannot_encode(element);
        }
        write(value);
    }

    void write_head(int (*writer)(cbor_generator *, uint64_t), uint64_t count) {
        check(writer(generator.get(), Indefinite ? container_marker : count), 9);
    }

    void close() {
        if constexpr (Indefinite) {
            check(cbor_write_break(generator.get()), 1);
        }
    }

    // Elements are fetched one at a time through item access for subclasses
    // (which may redefine __getitem__); plain lists are read
    // directly but with the bounds re-checked, since Python code run while
    // an element is matched may shrink the list.
    template <typename Sequence>
    void write_sequence(const Sequence &sequence) {
        detail::NestingGuard guard(nesting, nesting_limit);
        PyObject *o = sequence.ptr();
        const bool is_list = PyList_Check(o);
        const Py_ssize_t n = is_list ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o);
        const bool exact = is_list ? PyList_CheckExact(o) : PyTuple_CheckExact(o);
        write_head(cbor_write_array, static_cast<uint64_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            enter_element();
            pybind11::object element;
            if (exact) {
                if (is_list && i >= PyList_GET_SIZE(o)) {
                    PyErr_SetString(PyExc_IndexError, "list index out of range");
                    throw pybind11::error_already_set();
                }
                element = pybind11::reinterpret_borrow<pybind11::object>(is_list ? PyList_GET_ITEM(o, i)
                                                                                 : PyTuple_GET_ITEM(o, i));
            } else {
                // Through the type's item access, so that a redefined
                // __getitem__ is used on every interpreter.
                pybind11::int_ index(i);
                element = pybind11::reinterpret_steal<pybind11::object>(PyObject_GetItem(o, index.ptr()));
                if (!element) {
                    throw pybind11::error_already_set();
                }
            }
            write_element(element);
            leave_element();
        }
        close();
    }

    void write_alternative(const pybind11::list &l) { write_sequence(l); }
    void write_alternative(const pybind11::tuple &t) { write_sequence(t); }

    // Python code run while an entry is matched (__bool__, __index__) may
    // change the dictionary; the entries written must still be exactly the
    // count announced in a definite head, so a change of size, or more
    // entries than announced, is an error as in Python's own iteration.
    void write_alternative(const pybind11::dict &d) {
        detail::NestingGuard guard(nesting, nesting_limit);
        PyObject *o = d.ptr();
        const Py_ssize_t n = PyDict_Size(o);
        write_head(cbor_write_map, static_cast<uint64_t>(n));
        Py_ssize_t position = 0;
        Py_ssize_t written = 0;
        PyObject *key_ptr = nullptr;
        PyObject *value_ptr = nullptr;
        while (PyDict_Next(o, &position, &key_ptr, &value_ptr)) {
            if (written == n) {
                throw_dict_changed("dictionary keys changed during iteration");
            }
            // Strong references from here: matching the key may delete the
            // entry.
            pybind11::object key = pybind11::reinterpret_borrow<pybind11::object>(key_ptr);
            pybind11::object value = pybind11::reinterpret_borrow<pybind11::object>(value_ptr);
            enter_element();
            write_element(key);
            write_element(value);
            leave_element();
            ++written;
            if (PyDict_Size(o) != n) {
                throw_dict_changed("dictionary changed size during iteration");
            }
        }
        if (written != n) {
            throw_dict_changed("dictionary keys changed during iteration");
        }
        close();
    }

    [[noreturn]] static void throw_dict_changed(const char *message) {
        PyErr_SetString(PyExc_RuntimeError, message);
        throw pybind11::error_already_set();
    }
};

}  // namespace kestrava

#endif
