// Matching a Python object to a DumpsValue alternative.
#include "bindings/python/cbor/dumps_value.h"

#include <cstring>

namespace py = pybind11;

namespace kestrava {
namespace {

// Alternatives 0 to 8: the object wrappers. Only type tests, so no Python
// code runs and the outcome is the same in both passes.
bool match_object_wrapper(py::handle object, DumpsValue &out) {
    PyObject *o = object.ptr();
    if (PyBool_Check(o)) {
        out.emplace<py::bool_>(py::reinterpret_borrow<py::bool_>(o));
    } else if (PyFloat_Check(o)) {
        out.emplace<py::float_>(py::reinterpret_borrow<py::float_>(o));
    } else if (PyLong_Check(o)) {
        out.emplace<py::int_>(py::reinterpret_borrow<py::int_>(o));
    } else if (PyList_Check(o)) {
        out.emplace<py::list>(py::reinterpret_borrow<py::list>(o));
    } else if (PyTuple_Check(o)) {
        out.emplace<py::tuple>(py::reinterpret_borrow<py::tuple>(o));
    } else if (PyDict_Check(o)) {
        out.emplace<py::dict>(py::reinterpret_borrow<py::dict>(o));
    } else if (PyBytes_Check(o)) {
        out.emplace<py::bytes>(py::reinterpret_borrow<py::bytes>(o));
    } else if (PyUnicode_Check(o)) {
        out.emplace<py::str>(py::reinterpret_borrow<py::str>(o));
    } else if (o == Py_None) {
        out.emplace<py::none>();
    } else {
        return false;
    }
    return true;
}

bool is_numpy_bool(PyObject *o) {
    // numpy 1.x names the type numpy.bool_, numpy 2 numpy.bool.
    const char *name = Py_TYPE(o)->tp_name;
    return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

// Alternative 9. The first pass takes only True, False and numpy booleans,
// the second any object whose type has a truth test; a failing truth test
// declines.
bool match_bool(PyObject *o, bool convert, DumpsValue &out) {
    if (o == Py_True || o == Py_False) {
        out.emplace<bool>(o == Py_True);
        return true;
    }
    if (!convert && !is_numpy_bool(o)) {
        return false;
    }
    if (o == Py_None) {
        out.emplace<bool>(false);
        return true;
    }
    int truth = -1;
#if defined(PYPY_VERSION)
    if (PyObject_HasAttrString(o, "__bool__")) {
        truth = PyObject_IsTrue(o);
    }
#else
    PyNumberMethods *number = Py_TYPE(o)->tp_as_number;
    if (number != nullptr && number->nb_bool != nullptr) {
        truth = number->nb_bool(o);
    }
#endif
    if (truth == 0 || truth == 1) {
        out.emplace<bool>(truth == 1);
        return true;
    }
    PyErr_Clear();
    return false;
}

bool has_index(PyObject *o) {
#if defined(PYPY_VERSION)
    return PyObject_HasAttrString(o, "__index__");
#else
    return PyIndex_Check(o) != 0;
#endif
}

// Alternatives 10 and 11: an int, or an object with __index__, whose value
// is in range; in the second pass also a number that int() converts. A
// float is never taken.
template <typename T>
bool load_integer(PyObject *o, bool convert, T &value) {
    if (PyFloat_Check(o)) {
        return false;
    }
    if (!convert && !PyLong_Check(o) && !has_index(o)) {
        return false;
    }
    py::object index;
    PyObject *integer = o;
    if (!PyLong_Check(o) && has_index(o)) {
        index = py::reinterpret_steal<py::object>(PyNumber_Index(o));
        if (index) {
            integer = index.ptr();
        } else {
            PyErr_Clear();
            integer = nullptr;
        }
    }
    if (integer != nullptr && PyLong_Check(integer)) {
        if (std::is_unsigned<T>::value) {
            const unsigned long long v = PyLong_AsUnsignedLongLong(integer);
            if (!(v == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
                value = static_cast<T>(v);
                return true;
            }
        } else {
            const long long v = PyLong_AsLongLong(integer);
            if (!(v == -1 && PyErr_Occurred())) {
                value = static_cast<T>(v);
                return true;
            }
        }
        PyErr_Clear();
    }
    if (convert && PyNumber_Check(o)) {
        py::object converted = py::reinterpret_steal<py::object>(PyNumber_Long(o));
        PyErr_Clear();
        return converted && load_integer(converted.ptr(), false, value);
    }
    return false;
}

// Alternative 12: str (UTF-8), bytes or bytearray; only bytearray gets
// here. Copied: the bytearray may be resized by Python code run later.
bool match_string_view(PyObject *o, DumpsValue &out, std::string &storage) {
    if (!PyByteArray_Check(o)) {
        return false;
    }
    storage.assign(PyByteArray_AsString(o), static_cast<size_t>(PyByteArray_Size(o)));
    out.emplace<std::string_view>(storage);
    return true;
}

bool match_pass(py::handle object, bool convert, DumpsValue &out, std::string &storage) {
    if (match_object_wrapper(object, out)) {
        return true;
    }
    PyObject *o = object.ptr();
    if (match_bool(o, convert, out)) {
        return true;
    }
    uint64_t u = 0;
    if (load_integer(o, convert, u)) {
        out.emplace<uint64_t>(u);
        return true;
    }
    int64_t s = 0;
    if (load_integer(o, convert, s)) {
        out.emplace<int64_t>(s);
        return true;
    }
    return match_string_view(o, out, storage);
}

}  // namespace

bool match_dumps_value(py::handle object, DumpsValue &out, std::string &storage) {
    if (!object) {
        return false;
    }
    return match_pass(object, false, out, storage) || match_pass(object, true, out, storage);
}

}  // namespace kestrava
