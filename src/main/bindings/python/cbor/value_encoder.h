// ValueEncoder: writes a DumpsValue as CBOR into the result's bytes. The
// depth limit is a template parameter, so the per-item code carries no test
// of it. Indefinite-length containers are a plain flag, tested once per
// container: both modes then run the same machine code, and differ in
// speed only by the bytes they write. As two instantiations, each laid out
// by the compiler its own way, indefinite mode took 4 to 9% longer on
// records of short values while running fewer instructions.
#ifndef KESTRAVA_PYTHON_VALUE_ENCODER_H
#define KESTRAVA_PYTHON_VALUE_ENCODER_H

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "core/cbor/cbor_float_width.h"
#include "bindings/python/cbor/describe_object.h"
#include "bindings/python/cbor/dumps_value.h"
#include "bindings/python/cbor/fast_paths.h"
#include "bindings/python/cbor/output.h"

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

// The interpreter's own recursion count, entered once per container.
#if !defined(PYPY_VERSION) && PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
// CPython 3.11 counts down in the thread state; the calls do exactly this
// (decrement, and check only when nothing is left), so the count is kept
// here without a call, and the call made only where it checks.
class InterpreterRecursion {
public:
    bool enter(uint32_t, const char *where) {
        if (thread->recursion_remaining > 0) {
            --thread->recursion_remaining;
            return true;
        }
        return Py_EnterRecursiveCall(where) == 0;
    }
    void leave(uint32_t) { ++thread->recursion_remaining; }

private:
    PyThreadState *const thread = PyThreadState_Get();
};
#elif defined(PYPY_VERSION)
// PyPy's check is of the native stack, with room kept behind its limit for
// native code. Entering and leaving are each a call through its C
// interface, which costs about as much as writing a small container, so the
// check runs at the first level and every eighth one after it (and leaving
// only where it ran): between two checks a few frames of a few hundred bytes
// are pushed, well within that room.
class InterpreterRecursion {
public:
    bool enter(uint32_t nesting, const char *where) {
        return nesting % checked_every != 0 || Py_EnterRecursiveCall(where) == 0;
    }
    void leave(uint32_t nesting) {
        if (nesting % checked_every == 0) {
            Py_LeaveRecursiveCall();
        }
    }

private:
    static constexpr uint32_t checked_every = 8;
};
#else
class InterpreterRecursion {
public:
    bool enter(uint32_t, const char *where) { return Py_EnterRecursiveCall(where) == 0; }
    void leave(uint32_t) { Py_LeaveRecursiveCall(); }
};
#endif

// Native recursion follows the data, so it is bounded by the interpreter's
// recursion limit: RecursionError instead of a blown stack. Counted here as
// well as through the interpreter, whose own check does not apply to native
// code everywhere (PyPy).
class NestingGuard {
public:
    NestingGuard(uint32_t &nesting, uint32_t limit, InterpreterRecursion &interpreter)
        : nesting(nesting), interpreter(interpreter) {
        if (nesting >= limit) {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while encoding a value to CBOR");
            throw pybind11::error_already_set();
        }
        if (!interpreter.enter(nesting, " while encoding a value to CBOR")) {
            throw pybind11::error_already_set();
        }
        ++nesting;
    }
    ~NestingGuard() {
        --nesting;
        interpreter.leave(nesting);
    }
    NestingGuard(const NestingGuard &) = delete;
    NestingGuard &operator=(const NestingGuard &) = delete;

private:
    uint32_t &nesting;
    InterpreterRecursion &interpreter;
};

// A strong reference for as long as it lives; empty until `hold`.
class Held {
public:
    Held() = default;
    explicit Held(PyObject *o) : object(o) { Py_INCREF(o); }
    ~Held() { Py_XDECREF(object); }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    void hold(PyObject *o) {
        Py_INCREF(o);
        object = o;
    }

private:
    PyObject *object = nullptr;
};

[[noreturn]] void throw_cannot_encode(pybind11::handle object);
[[noreturn]] void throw_depth_exceeded(uint32_t max_depth);
[[noreturn]] void throw_integer_out_of_range(pybind11::handle object, std::size_t text_limit);
[[noreturn]] void throw_no_utf8(pybind11::handle text);
[[noreturn]] void throw_list_index();
[[noreturn]] void throw_dict_changed(const char *message);

}  // namespace detail

template <bool Limited>
class ValueEncoder : private std::conditional_t<Limited, detail::DepthLimit, detail::NoDepthLimit> {
    using Depth = std::conditional_t<Limited, detail::DepthLimit, detail::NoDepthLimit>;

public:
    ValueEncoder(bool indefinite, uint32_t max_depth)
        : Depth(max_depth),
          indefinite(indefinite),
          nesting_limit(static_cast<uint32_t>(std::clamp(Py_GetRecursionLimit(), 1, max_native_nesting))),
          fast_paths(dumps_fast_paths_enabled()) {}

    // The argument's CBOR as a bytes object; the encoder is spent
    // afterwards.
    pybind11::bytes encode(const DumpsValue &value) { return output.finish(write_argument(output.start(), value)); }

private:
    // The argument, as the general rule matched it: an object of an exact
    // built-in type goes through its shortcut, as it would as an element.
    Cursor write_argument(Cursor at, const DumpsValue &value) {
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
            if (o != nullptr && write_exact<true>(at, o)) {
                return at;
            }
        }
        return write(at, value);
    }

    // A program may raise the interpreter's limit far past what the native
    // stack holds (a self-containing dict crashed an 8 MB stack at 40,000
    // levels); nesting stops here whatever the limit, at a depth that takes
    // about 1.5 MB of stack (5 MB with AddressSanitizer).
    static constexpr int max_native_nesting = 6000;

    CborOutput output;
    const bool indefinite;
    const std::size_t text_limit = 40;
    // Containers currently open, against the interpreter's recursion limit.
    uint32_t nesting = 0;
    const uint32_t nesting_limit;
    detail::InterpreterRecursion interpreter;
    const bool fast_paths;
    // Counts the steps that may run Python code (general matching, item
    // access of sequence subclasses, the release of what they held). While
    // it stands still no container can have changed, so sizes read before
    // are still true.
    uint64_t python_steps = 0;

    KESTRAVA_HOT Cursor write_signed(Cursor at, int64_t v) {
        return output.head(at, v < 0 ? 1 : 0, v < 0 ? ~static_cast<uint64_t>(v) : static_cast<uint64_t>(v));
    }

    KESTRAVA_HOT Cursor write_float(Cursor at, double x) {
        uint8_t initial = 0;
        uint64_t bits = 0;
        cbor_float_item(x, initial, bits);
        return output.float_item(at, initial, bits);
    }

    // --- the shortcuts: objects whose type is exactly a built-in one ---
    //
    // For these the general rule only tests types (no Python code), picks
    // the alternative of the type (bool 0, float 1, int 2, list 3, tuple 4,
    // dict 5, bytes 6, str 7, None 8) and writes it without running Python
    // code either; so testing the type once and writing directly gives the
    // same bytes and errors. A bool is never a subclass; None is the one
    // instance of its type.

    // Writes `o` when its type is exactly a built-in one: a plain scalar
    // (no Python code can run while it is written), or with `Containers` a
    // list, dict or tuple too; false, with nothing done, otherwise. One
    // chain of tests, the common types first. `at` moves past what it
    // wrote.
    template <bool Containers>
    KESTRAVA_HOT bool write_exact(Cursor &at, PyObject *o) {
        const PyTypeObject *type = Py_TYPE(o);
        if (type == &PyUnicode_Type) {
            at = write_plain_text(at, o);
        } else if (type == &PyLong_Type) {
            at = write_plain_int(at, o);
        } else if (type == &PyFloat_Type) {
            at = write_float(at, PyFloat_AS_DOUBLE(o));
        } else if (Containers && type == &PyList_Type) {
            at = write_list(at, o);
        } else if (Containers && type == &PyDict_Type) {
            at = write_dict(at, o);
        } else if (Containers && type == &PyTuple_Type) {
            at = write_tuple(at, o);
        } else if (type == &PyBool_Type) {
            at = output.byte(at, o == Py_True ? 0xf5 : 0xf4);
        } else if (o == Py_None) {
            at = output.byte(at, 0xf6);
        } else if (type == &PyBytes_Type) {
            at = write_plain_bytes(at, o);
        } else {
            return false;
        }
        return true;
    }

    KESTRAVA_HOT bool write_plain_scalar(Cursor &at, PyObject *o) { return write_exact<false>(at, o); }

    // The integer rule for an exact int: its value decides, and rebuilding
    // an int from a converted value always compares equal.
    KESTRAVA_HOT Cursor write_plain_int(Cursor at, PyObject *o) {
#if !defined(PYPY_VERSION) && PY_VERSION_HEX < 0x030C0000
        // Up to two digits (60 bits) read where they lie: the sign is the
        // sign of the digit count.
        const Py_ssize_t digits = Py_SIZE(o);
        if (digits >= -2 && digits <= 2) {
            const digit *d = reinterpret_cast<PyLongObject *>(o)->ob_digit;
            uint64_t magnitude = 0;
            if (digits != 0) {
                magnitude = d[0];
                if (digits == 2 || digits == -2) {
                    magnitude |= static_cast<uint64_t>(d[1]) << PyLong_SHIFT;
                }
            }
            if (digits >= 0) {
                return output.head(at, 0, magnitude);
            }
            return output.head(at, 1, magnitude - 1);
        }
#elif !defined(PYPY_VERSION)
        if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(o))) {
            return write_signed(at, PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(o)));
        }
#endif
        return write_int_by_value(at, o);
    }

    __attribute__((noinline)) Cursor write_int_by_value(Cursor at, PyObject *o) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
            return write_signed(at, v);
        }
        if (overflow > 0) {
            const unsigned long long u = PyLong_AsUnsignedLongLong(o);
            if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
                return output.head(at, 0, u);
            }
        }
        PyErr_Clear();
        detail::throw_integer_out_of_range(o, text_limit);
    }

    KESTRAVA_HOT Cursor write_plain_text(Cursor at, PyObject *o) {
#if !defined(PYPY_VERSION)
        // ASCII text is its own UTF-8 form, stored right behind the object.
        if (PyUnicode_IS_COMPACT_ASCII(o)) {
            const auto *ascii = reinterpret_cast<const PyASCIIObject *>(o);
            return output.owned_string(at, 3, reinterpret_cast<const char *>(ascii + 1),
                                       static_cast<uint64_t>(ascii->length), o);
        }
#endif
        return write_text_as_utf8(at, o);
    }

    __attribute__((noinline)) Cursor write_text_as_utf8(Cursor at, PyObject *o) {
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(o, &size);
        if (utf8 == nullptr) {
            PyErr_Clear();
            detail::throw_no_utf8(o);
        }
        return output.owned_string(at, 3, utf8, static_cast<uint64_t>(size), o);
    }

    Cursor write_plain_bytes(Cursor at, PyObject *o) {
#if defined(PYPY_VERSION)
        // One call instead of one for the data and one for the size.
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(o, &data, &size) != 0) {
            throw pybind11::error_already_set();
        }
        return output.owned_string(at, 2, data, static_cast<uint64_t>(size), o);
#else
        return output.owned_string(at, 2, PyBytes_AS_STRING(o), static_cast<uint64_t>(PyBytes_GET_SIZE(o)), o);
#endif
    }

    // An element of a container: through the shortcuts where its type
    // allows, else through the general rule. The caller makes sure that it
    // lives until Python code may run; from there on what writes it holds
    // it.
    KESTRAVA_HOT Cursor write_element(Cursor at, PyObject *element) {
        if (!(fast_paths && write_exact<true>(at, element))) {
            at = write_element_general(at, element);
        }
        return at;
    }

    // A value matched by the general rule.
    Cursor write(Cursor at, const DumpsValue &value) {
        return std::visit([this, at](const auto &alternative) { return this->write_alternative(at, alternative); },
                          value);
    }

    // Matches one element and writes it; the match (and a bytearray's copy)
    // lives only while the element is written. Held from the start:
    // matching may run Python code that drops it elsewhere.
    __attribute__((noinline)) Cursor write_element_general(Cursor at, PyObject *element) {
        const detail::Held held(element);
        ++python_steps;
        DumpsValue value;
        std::string storage;
        if (!match_dumps_value(element, value, storage)) {
            detail::throw_cannot_encode(element);
        }
        return write(at, value);
    }

    // --- the general rule's alternatives ---

    Cursor write_alternative(Cursor at, const pybind11::bool_ &b) {
        return output.byte(at, b.ptr() == Py_True ? 0xf5 : 0xf4);
    }

    Cursor write_alternative(Cursor at, const pybind11::float_ &f) {
        return write_float(at, PyFloat_AS_DOUBLE(f.ptr()));
    }

    // The integer rule as stated: convert (implicit conversion allowed),
    // rebuild an int from the result and compare with ==, unsigned first;
    // any failure only makes the attempt fail. An int subclass may redefine
    // both conversion and equality.
    Cursor write_alternative(Cursor at, const pybind11::int_ &n) {
        uint64_t u = 0;
        if (convert_and_compare(n, u)) {
            return output.head(at, 0, u);
        }
        int64_t s = 0;
        if (convert_and_compare(n, s)) {
            return write_signed(at, s);
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

    Cursor write_alternative(Cursor at, const pybind11::bytes &b) {
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(b.ptr(), &data, &size) != 0) {
            throw pybind11::error_already_set();
        }
        return output.string(at, 2, data, static_cast<uint64_t>(size));
    }

    Cursor write_alternative(Cursor at, const pybind11::str &s) {
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
        if (utf8 == nullptr) {
            PyErr_Clear();
            detail::throw_no_utf8(s);
        }
        return output.string(at, 3, utf8, static_cast<uint64_t>(size));
    }

    Cursor write_alternative(Cursor at, const pybind11::none &) { return output.byte(at, 0xf6); }

    Cursor write_alternative(Cursor at, bool b) { return output.byte(at, b ? 0xf5 : 0xf4); }

    Cursor write_alternative(Cursor at, uint64_t v) { return output.head(at, 0, v); }

    Cursor write_alternative(Cursor at, int64_t v) { return write_signed(at, v); }

    Cursor write_alternative(Cursor at, std::string_view view) {
        return output.string(at, 3, view.data(), view.size());
    }

    Cursor write_alternative(Cursor at, const pybind11::list &l) { return write_sequence(at, l.ptr()); }
    Cursor write_alternative(Cursor at, const pybind11::tuple &t) { return write_sequence(at, t.ptr()); }
    Cursor write_alternative(Cursor at, const pybind11::dict &d) { return write_dict(at, d.ptr()); }

    // --- containers ---
    //
    // Each holds the container it walks: Python code run while an element
    // is written may drop it from elsewhere.

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

    Cursor open(Cursor at, uint8_t major, Py_ssize_t count) {
        if (indefinite) {
            return output.byte(at, static_cast<uint8_t>(major << 5 | 31));
        }
        return output.head(at, major, static_cast<uint64_t>(count));
    }

    Cursor close(Cursor at) { return indefinite ? output.byte(at, 0xff) : at; }

    Cursor write_sequence(Cursor at, PyObject *o) {
        if (PyList_CheckExact(o)) {
            return write_list(at, o);
        }
        if (PyTuple_CheckExact(o)) {
            return write_tuple(at, o);
        }
        return write_items_by_index(at, o);
    }

    // A tuple cannot change, and holding it holds its elements.
    Cursor write_tuple(Cursor at, PyObject *o) {
        const detail::Held held(o);
        detail::NestingGuard guard(nesting, nesting_limit, interpreter);
        const Py_ssize_t n = PyTuple_GET_SIZE(o);
        at = open(at, 4, n);
        for (Py_ssize_t i = 0; i < n; ++i) {
            enter_element();
            at = write_element(at, PyTuple_GET_ITEM(o, i));
            leave_element();
        }
        return close(at);
    }

    // Elements are read directly, with the bounds re-checked whenever Python
    // code may have run: it may have shrunk the list.
    Cursor write_list(Cursor at, PyObject *o) {
        const detail::Held held(o);
        detail::NestingGuard guard(nesting, nesting_limit, interpreter);
        const Py_ssize_t n = PyList_GET_SIZE(o);
        at = open(at, 4, n);
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
            at = write_element(at, items != nullptr ? items[i] : PyList_GET_ITEM(o, i));
            leave_element();
        }
        return close(at);
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
    Cursor write_items_by_index(Cursor at, PyObject *o) {
        const detail::Held held(o);
        detail::NestingGuard guard(nesting, nesting_limit, interpreter);
        const Py_ssize_t n = PyList_Check(o) ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o);
        at = open(at, 4, n);
        for (Py_ssize_t i = 0; i < n; ++i) {
            enter_element();
            ++python_steps;
            pybind11::int_ index(i);
            const auto element = pybind11::reinterpret_steal<pybind11::object>(PyObject_GetItem(o, index.ptr()));
            if (!element) {
                throw pybind11::error_already_set();
            }
            at = write_element(at, element.ptr());
            leave_element();
        }
        return close(at);
    }

    // Python code run while an entry is matched (__bool__, __index__) may
    // change the dictionary; the entries written must still be exactly the
    // count announced in a definite head, so a change of size, or more
    // entries than announced, is an error as in Python's own iteration.
    Cursor write_dict(Cursor at, PyObject *o) {
        const detail::Held held(o);
        detail::NestingGuard guard(nesting, nesting_limit, interpreter);
        const Py_ssize_t n = PyDict_Size(o);
        at = open(at, 5, n);
        Py_ssize_t position = 0;
        Py_ssize_t written = 0;
        PyObject *key = nullptr;
        PyObject *value = nullptr;
        while (PyDict_Next(o, &position, &key, &value)) {
            if (written == n) {
                detail::throw_dict_changed("dictionary keys changed during iteration");
            }
            const uint64_t steps = python_steps;
            // Strong references where Python code may run before the entry
            // is written: it may delete the entry. A plain key is written
            // before any can run, and needs none.
            detail::Held held_key;
            detail::Held held_value;
            enter_element();
            if (fast_paths && write_plain_scalar(at, key)) {
                if (!write_plain_scalar(at, value)) {
                    held_value.hold(value);
                    at = write_element(at, value);
                }
            } else {
                held_key.hold(key);
                held_value.hold(value);
                at = write_element(at, key);
                at = write_element(at, value);
            }
            leave_element();
            ++written;
            if (steps != python_steps && PyDict_Size(o) != n) {
                detail::throw_dict_changed("dictionary changed size during iteration");
            }
        }
        if (written != n) {
            detail::throw_dict_changed("dictionary keys changed during iteration");
        }
        return close(at);
    }
};

}  // namespace kestrava

#endif
