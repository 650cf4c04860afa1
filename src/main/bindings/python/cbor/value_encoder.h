// ValueEncoder: writes a DumpsValue as CBOR into the result's bytes. Its
// two options (indefinite-length containers, depth limit) are template
// parameters, so the per-item code carries no tests of them.
#ifndef KESTRAVA_PYTHON_VALUE_ENCODER_H
#define KESTRAVA_PYTHON_VALUE_ENCODER_H

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "cbor/cbor_float_width.h"
#include "cbor/describe_object.h"
#include "cbor/dumps_value.h"
#include "cbor/fast_paths.h"
#include "cbor/output.h"

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

[[noreturn]] void throw_cannot_encode(pybind11::handle object);
[[noreturn]] void throw_depth_exceeded(uint32_t max_depth);
[[noreturn]] void throw_integer_out_of_range(pybind11::handle object, std::size_t text_limit);
[[noreturn]] void throw_no_utf8(pybind11::handle text);
[[noreturn]] void throw_list_index();
[[noreturn]] void throw_dict_changed(const char *message);

}  // namespace detail

template <bool Indefinite, bool Limited>
class ValueEncoder : private std::conditional_t<Limited, detail::DepthLimit, detail::NoDepthLimit> {
    using Depth = std::conditional_t<Limited, detail::DepthLimit, detail::NoDepthLimit>;

public:
    explicit ValueEncoder(uint32_t max_depth)
        : Depth(max_depth),
          nesting_limit(static_cast<uint32_t>(std::clamp(Py_GetRecursionLimit(), 1, max_native_nesting))),
          fast_paths(dumps_fast_paths_enabled()) {}

    // The output as a bytes object; the encoder is spent afterwards.
    pybind11::bytes result() { return output.finish(); }

    // The argument, as the general rule matched it: an exact built-in
    // scalar goes through its shortcut, as it would as an element.
    void write_argument(const DumpsValue &value) {
        if (fast_paths) {
            PyObject *o = std::visit(
                [](const auto &alternative) -> PyObject * {
                    if constexpr (std::is_base_of_v<pybind11::handle, std::decay_t<decltype(alternative)>>) {
                        return alternative.ptr();
                    } else {
                        return nullptr;
                    }
                },
                value);
            if (o != nullptr && write_plain_scalar(o)) {
                return;
            }
        }
        write(value);
    }

private:
    // A program may raise the interpreter's limit far past what the native
    // stack holds (a self-containing dict crashed an 8 MB stack at 40,000
    // levels); nesting stops here whatever the limit, at a depth that takes
    // about 1.5 MB of stack (5 MB with AddressSanitizer).
    static constexpr int max_native_nesting = 6000;

    CborOutput output;
    const std::size_t text_limit = 40;
    // Containers currently open, against the interpreter's recursion limit.
    uint32_t nesting = 0;
    const uint32_t nesting_limit;
    const bool fast_paths;
    // Counts the steps that may run Python code (general matching, item
    // access of sequence subclasses, the release of what they held). While
    // it stands still no container can have changed, so sizes read before
    // are still true.
    uint64_t python_steps = 0;

    void write_byte(uint8_t byte) { output.byte(byte); }

    void write_head(uint8_t major, uint64_t argument) { output.head(major, argument); }

    void write_signed(int64_t v) {
        write_head(v < 0 ? 1 : 0, v < 0 ? ~static_cast<uint64_t>(v) : static_cast<uint64_t>(v));
    }

    void write_float(double x) {
        uint8_t initial = 0;
        uint64_t bits = 0;
        cbor_float_item(x, initial, bits);
        output.float_item(initial, bits);
    }

    void write_string(uint8_t major, const char *data, Py_ssize_t size) {
        output.string(major, data, static_cast<uint64_t>(size));
    }

    void write_owned_string(uint8_t major, const char *data, Py_ssize_t size, PyObject *owner) {
        output.owned_string(major, data, static_cast<uint64_t>(size), owner);
    }

    // --- the shortcuts: objects whose type is exactly a built-in one ---
    //
    // For these the general rule only tests types (no Python code), picks
    // the alternative of the type (bool 0, float 1, int 2, list 3, tuple 4,
    // dict 5, bytes 6, str 7, None 8) and writes it without running Python
    // code either; so testing the type once and writing directly gives the
    // same bytes and errors. A bool is never a subclass; None is the one
    // instance of its type.

    static bool is_plain_scalar(PyObject *o) {
        const PyTypeObject *type = Py_TYPE(o);
        return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type ||
               o == Py_None || type == &PyBytes_Type;
    }

    // Writes `o` when it is a plain scalar; false, with nothing done,
    // otherwise.
    bool write_plain_scalar(PyObject *o) {
        const PyTypeObject *type = Py_TYPE(o);
        if (type == &PyUnicode_Type) {
            write_plain_text(o);
        } else if (type == &PyLong_Type) {
            write_plain_int(o);
        } else if (type == &PyFloat_Type) {
            write_float(PyFloat_AS_DOUBLE(o));
        } else if (type == &PyBool_Type) {
            write_byte(o == Py_True ? 0xf5 : 0xf4);
        } else if (o == Py_None) {
            write_byte(0xf6);
        } else if (type == &PyBytes_Type) {
            write_plain_bytes(o);
        } else {
            return false;
        }
        return true;
    }

    // The integer rule for an exact int: its value decides, and rebuilding
    // an int from a converted value always compares equal.
    void write_plain_int(PyObject *o) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
            write_signed(v);
            return;
        }
        if (overflow > 0) {
            const unsigned long long u = PyLong_AsUnsignedLongLong(o);
            if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
                write_head(0, u);
                return;
            }
        }
        PyErr_Clear();
        detail::throw_integer_out_of_range(o, text_limit);
    }

    void write_plain_text(PyObject *o) {
#if !defined(PYPY_VERSION)
        // ASCII text is its own UTF-8 form, stored right behind the object.
        if (PyUnicode_IS_COMPACT_ASCII(o)) {
            write_owned_string(3, static_cast<const char *>(PyUnicode_DATA(o)), PyUnicode_GET_LENGTH(o), o);
            return;
        }
#endif
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(o, &size);
        if (utf8 == nullptr) {
            PyErr_Clear();
            detail::throw_no_utf8(o);
        }
        write_owned_string(3, utf8, size, o);
    }

    void write_plain_bytes(PyObject *o) {
#if defined(PYPY_VERSION)
        // One call instead of one for the data and one for the size.
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(o, &data, &size) != 0) {
            throw pybind11::error_already_set();
        }
        write_owned_string(2, data, size, o);
#else
        write_owned_string(2, PyBytes_AS_STRING(o), PyBytes_GET_SIZE(o), o);
#endif
    }

    // An element of a container: through the shortcuts where its type
    // allows, else through the general rule. The caller holds `element`.
    void write_element(PyObject *element) {
        if (fast_paths) {
            if (write_plain_scalar(element)) {
                return;
            }
            const PyTypeObject *type = Py_TYPE(element);
            if (type == &PyList_Type || type == &PyTuple_Type) {
                write_sequence(element);
                return;
            }
            if (type == &PyDict_Type) {
                write_dict(element);
                return;
            }
        }
        write_element_general(element);
    }

    // A value matched by the general rule.
    void write(const DumpsValue &value) {
        std::visit([this](const auto &alternative) { this->write_alternative(alternative); }, value);
    }

    // Matches one element and writes it; the match (and a bytearray's copy)
    // lives only while the element is written.
    void write_element_general(PyObject *element) {
        ++python_steps;
        DumpsValue value;
        std::string storage;
        if (!match_dumps_value(element, value, storage)) {
            detail::throw_cannot_encode(element);
        }
        write(value);
    }

    // --- the general rule's alternatives ---

    void write_alternative(const pybind11::bool_ &b) { write_byte(b.ptr() == Py_True ? 0xf5 : 0xf4); }

    void write_alternative(const pybind11::float_ &f) { write_float(PyFloat_AS_DOUBLE(f.ptr())); }

    // The integer rule as stated: convert (implicit conversion allowed),
    // rebuild an int from the result and compare with ==, unsigned first;
    // any failure only makes the attempt fail. An int subclass may redefine
    // both conversion and equality.
    void write_alternative(const pybind11::int_ &n) {
        uint64_t u = 0;
        if (convert_and_compare(n, u)) {
            write_head(0, u);
            return;
        }
        int64_t s = 0;
        if (convert_and_compare(n, s)) {
            write_signed(s);
            return;
        }
        detail::throw_integer_out_of_range(n, text_limit);
    }

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

    void write_alternative(const pybind11::bytes &b) {
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(b.ptr(), &data, &size) != 0) {
            throw pybind11::error_already_set();
        }
        write_string(2, data, size);
    }

    void write_alternative(const pybind11::str &s) {
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
        if (utf8 == nullptr) {
            PyErr_Clear();
            detail::throw_no_utf8(s);
        }
        write_string(3, utf8, size);
    }

    void write_alternative(const pybind11::none &) { write_byte(0xf6); }

    void write_alternative(bool b) { write_byte(b ? 0xf5 : 0xf4); }

    void write_alternative(uint64_t v) { write_head(0, v); }

    void write_alternative(int64_t v) { write_signed(v); }

    void write_alternative(std::string_view view) {
        write_string(3, view.data(), static_cast<Py_ssize_t>(view.size()));
    }

    void write_alternative(const pybind11::list &l) { write_sequence(l.ptr()); }
    void write_alternative(const pybind11::tuple &t) { write_sequence(t.ptr()); }
    void write_alternative(const pybind11::dict &d) { write_dict(d.ptr()); }

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

    void open(uint8_t major, Py_ssize_t count) {
        if constexpr (Indefinite) {
            write_byte(static_cast<uint8_t>(major << 5 | 31));
        } else {
            write_head(major, static_cast<uint64_t>(count));
        }
    }

    void close() {
        if constexpr (Indefinite) {
            write_byte(0xff);
        }
    }

    void write_sequence(PyObject *o) {
        detail::NestingGuard guard(nesting, nesting_limit);
        if (PyList_CheckExact(o)) {
            write_list_items(o);
        } else if (PyTuple_CheckExact(o)) {
            const Py_ssize_t n = PyTuple_GET_SIZE(o);
            open(4, n);
            // A tuple cannot change; each element is held all the same,
            // since Python code run while one is written may drop it from
            // elsewhere.
            for (Py_ssize_t i = 0; i < n; ++i) {
                enter_element();
                write_held_element(PyTuple_GET_ITEM(o, i));
                leave_element();
            }
            close();
        } else {
            write_items_by_index(o);
        }
    }

    // Plain scalars need no reference of their own: nothing can release
    // them while no Python code runs. Anything else is held while written.
    void write_held_element(PyObject *element) {
        if (fast_paths && write_plain_scalar(element)) {
            return;
        }
        const pybind11::object held = pybind11::reinterpret_borrow<pybind11::object>(element);
        write_element(element);
    }

    // Elements are read directly, with the bounds re-checked whenever Python
    // code may have run: it may have shrunk the list.
    void write_list_items(PyObject *o) {
        const Py_ssize_t n = PyList_GET_SIZE(o);
        open(4, n);
        Py_ssize_t size = n;
        uint64_t steps = python_steps;
        PyObject *const *items = list_items(o);
        for (Py_ssize_t i = 0; i < n; ++i) {
            enter_element();
            if (steps != python_steps) {
                size = PyList_GET_SIZE(o);
                steps = python_steps;
                items = list_items(o);
            }
            if (i >= size) {
                detail::throw_list_index();
            }
            write_held_element(items != nullptr ? items[i] : PyList_GET_ITEM(o, i));
            leave_element();
        }
        close();
    }

    // A list's item array, where reading it costs no call per item; valid
    // until Python code runs. Null where items are read one by one.
    static PyObject *const *list_items(PyObject *o) {
#if defined(PYPY_VERSION)
        // PyList_GET_ITEM is a call here; this one call gives the array of
        // the list's native form (the form PyList_GET_ITEM uses too).
        PyObject **items = PySequence_Fast_ITEMS(o);
        if (items == nullptr) {
            PyErr_Clear();
        }
        return items;
#else
        return reinterpret_cast<PyListObject *>(o)->ob_item;
#endif
    }

    // Subclasses may redefine __getitem__: every element goes through the
    // type's item access, on every interpreter.
    void write_items_by_index(PyObject *o) {
        const Py_ssize_t n = PyList_Check(o) ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o);
        open(4, n);
        for (Py_ssize_t i = 0; i < n; ++i) {
            enter_element();
            ++python_steps;
            pybind11::int_ index(i);
            const auto element = pybind11::reinterpret_steal<pybind11::object>(PyObject_GetItem(o, index.ptr()));
            if (!element) {
                throw pybind11::error_already_set();
            }
            write_element(element.ptr());
            leave_element();
        }
        close();
    }

    // Python code run while an entry is matched (__bool__, __index__) may
    // change the dictionary; the entries written must still be exactly the
    // count announced in a definite head, so a change of size, or more
    // entries than announced, is an error as in Python's own iteration.
    void write_dict(PyObject *o) {
        detail::NestingGuard guard(nesting, nesting_limit);
        const Py_ssize_t n = PyDict_Size(o);
        open(5, n);
        Py_ssize_t position = 0;
        Py_ssize_t written = 0;
        PyObject *key_ptr = nullptr;
        PyObject *value_ptr = nullptr;
        while (PyDict_Next(o, &position, &key_ptr, &value_ptr)) {
            if (written == n) {
                detail::throw_dict_changed("dictionary keys changed during iteration");
            }
            if (fast_paths && is_plain_scalar(key_ptr) && is_plain_scalar(value_ptr)) {
                // No Python code runs: the entry stays, the size too.
                enter_element();
                write_plain_scalar(key_ptr);
                write_plain_scalar(value_ptr);
                leave_element();
                ++written;
                continue;
            }
            const uint64_t steps = python_steps;
            // Strong references from here: matching the key may delete the
            // entry.
            const auto key = pybind11::reinterpret_borrow<pybind11::object>(key_ptr);
            const auto value = pybind11::reinterpret_borrow<pybind11::object>(value_ptr);
            enter_element();
            write_element(key_ptr);
            write_element(value_ptr);
            leave_element();
            ++written;
            if (steps != python_steps && PyDict_Size(o) != n) {
                detail::throw_dict_changed("dictionary changed size during iteration");
            }
        }
        if (written != n) {
            detail::throw_dict_changed("dictionary keys changed during iteration");
        }
        close();
    }
};

}  // namespace kestrava

#endif
