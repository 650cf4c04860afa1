// Module entry: checks the interpreter, builds `kestrava_core` with its
// `cbor` submodule and hands it to the delta set-up.
#include <pybind11/pybind11.h>

#include <exception>

#include "bindings/python/cbor/dumps.h"
#include "bindings/python/delta/delta_module.h"
#include "bindings/python/main/version_check.h"

namespace py = pybind11;

namespace {

const char *const cbor_doc = R"pbdoc(
            Kestrava cbor
            -----------------------

            .. currentmodule:: kestrava_cbor

            .. autosummary::
               :toctree: _generate

               dumps
        )pbdoc";

const char *const dumps_doc = R"pbdoc(
        Dump a Python object to cbor
        )pbdoc";

void init_cbor(py::module_ &top) {
    py::module_ cbor = top.def_submodule("cbor");
    cbor.doc() = cbor_doc;
    cbor.def("dumps", &kestrava::dumps, dumps_doc, py::arg("value"), py::arg("indefinite") = true,
             py::arg("max_depth") = 0u);
    cbor.attr("__version__") = "dev";
}

// The interpreter requires the definition record to outlive the module.
py::module_::module_def kestrava_core_def;

}  // namespace

extern "C" PYBIND11_EXPORT PyObject *PyInit_kestrava_core() {
    const char *compiled = PYBIND11_TOSTRING(PY_MAJOR_VERSION) "." PYBIND11_TOSTRING(PY_MINOR_VERSION);
    const char *running = Py_GetVersion();
    if (!kestrava::python_version_matches(compiled, running)) {
        try {
            PyErr_SetString(PyExc_ImportError,
                            kestrava::python_version_mismatch_message(compiled, running).c_str());
        } catch (...) {
            PyErr_NoMemory();
        }
        return nullptr;
    }
    // The binding library's shared state and the top-level module: a
    // failure here must end the import with an exception, not the process.
    py::module_ top;
    try {
        py::detail::get_internals();
        top = py::module_::create_extension_module("kestrava_core", nullptr, &kestrava_core_def);
    } catch (py::error_already_set &e) {
        e.restore();
        return nullptr;
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_ImportError, e.what());
        return nullptr;
    }
    try {
        // No docstring (PyPy would otherwise show the module type's).
        top.attr("__doc__") = py::none();
        init_cbor(top);
        kestrava::init_delta(top);
        return top.ptr();
    } catch (py::error_already_set &e) {
        py::raise_from(e, PyExc_ImportError, "initialization failed");
        return nullptr;
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_ImportError, e.what());
        return nullptr;
    }
}
