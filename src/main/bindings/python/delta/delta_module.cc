// The `delta` submodule: PythonOutBuf, PythonInBuf, diff and patch.
#include "delta/delta_module.h"

#include "buffer/buf.h"
#include "delta/delta_apply.h"
#include "delta/delta_generate.h"

namespace py = pybind11;

namespace kestrava {
namespace {

const char *const delta_doc = R"pbdoc(
        Kestrava Delta
        -----------------------

        .. currentmodule:: kestrava_delta

        .. autosummary::
           :toctree: _generate

           diff
    )pbdoc";

const char *const diff_doc = R"pbdoc(
    Diff between 'old_value' and 'new_value'
    )pbdoc";

const char *const patch_doc = R"pbdoc(
    Apply 'diff' to 'old_value'
    )pbdoc";

const char *const no_data_message = "PythonOutBuf holds no data: the diff or patch that produced it failed";

// The binding library's own export, wrapped below.
getbufferproc library_getbuffer = nullptr;

// A result that holds no buffer comes from a failed diff or patch; exporting
// it as empty would make the failure look like an empty value.
int out_buffer_getbuffer(PyObject *object, Py_buffer *view, int flags) {
    bool holds_no_data = false;
    try {
        py::detail::make_caster<PythonOutBuffer> caster;
        holds_no_data = view != nullptr && caster.load(object, false) &&
                        static_cast<const PythonOutBuffer &>(caster).get() == nullptr;
    } catch (...) {
        // Not decided here: the library's export below reports the problem.
        PyErr_Clear();
    }
    if (holds_no_data) {
        view->obj = nullptr;
        PyErr_SetString(PyExc_BufferError, no_data_message);
        return -1;
    }
    return library_getbuffer(object, view, flags);
}

#if defined(PYPY_VERSION)
// PyPy's collector sees the small result object but not the native buffer
// behind it, so a loop that drops large results fills the (32-bit) address
// space long before a collection frees them. Reporting each buffer as memory
// pressure brings the next collection forward. Only a hint: failures are
// ignored.
void report_to_collector(const buf *b) {
    if (b == nullptr || b->capacity == 0) {
        return;
    }
    static PyObject *const add_memory_pressure = [] {  // kept for the process
        PyObject *pypy = PyImport_ImportModule("__pypy__");
        PyObject *f = pypy != nullptr ? PyObject_GetAttrString(pypy, "add_memory_pressure") : nullptr;
        Py_XDECREF(pypy);
        if (f == nullptr) {
            PyErr_Clear();
        }
        return f;
    }();
    if (add_memory_pressure == nullptr) {
        return;
    }
    PyObject *r = PyObject_CallFunction(add_memory_pressure, "K", static_cast<unsigned long long>(b->capacity));
    if (r == nullptr) {
        PyErr_Clear();
    }
    Py_XDECREF(r);
}
#else
void report_to_collector(const buf *) {}
#endif

PythonOutBuffer wrap_result(buf *b) {
    PythonOutBuffer out(b, buf_free);
    report_to_collector(b);
    return out;
}

PythonOutBuffer diff(const PythonInBuffer &old_value, const PythonInBuffer &new_value) {
    return wrap_result(diff_generate_binary(old_value.get(), new_value.get()));
}

PythonOutBuffer patch(const PythonInBuffer &old_value, const PythonInBuffer &delta) {
    return wrap_result(diff_apply_binary(old_value.get(), delta.get()));
}

}  // namespace

void init_delta(py::module_ &top) {
    py::module_ delta = top.def_submodule("delta");
    delta.doc() = delta_doc;

    // The library's export is wrapped while the type is set up, before it is
    // made ready: PyPy reads the type's slots only then.
    py::class_<PythonOutBuffer> out_class(delta, "PythonOutBuf", py::buffer_protocol(),
                                          py::custom_type_setup([](PyHeapTypeObject *heap_type) {
                                              library_getbuffer = heap_type->as_buffer.bf_getbuffer;
                                              heap_type->as_buffer.bf_getbuffer = out_buffer_getbuffer;
                                          }));
    out_class.def_buffer([](PythonOutBuffer &out) -> py::buffer_info {
        const buf *b = out.get();
        if (b == nullptr) {
            // Not reached through the wrapped export; kept so that no path
            // exports a failed result as empty.
            throw py::buffer_error(no_data_message);
        }
        return py::buffer_info(OutProxy::export_address(b), 1, "b", 1, {static_cast<py::ssize_t>(b->len)},
                               {static_cast<py::ssize_t>(1)}, false);
    });

    py::class_<PythonInBuffer>(delta, "PythonInBuf").def(py::init<py::bytes>());
    py::implicitly_convertible<py::bytes, PythonInBuffer>();

    delta.def("diff", &diff, diff_doc, py::arg("old_value"), py::arg("new_value"));
    delta.def("patch", &patch, patch_doc, py::arg("old_value"), py::arg("diff"));
    delta.attr("__version__") = "dev";
}

}  // namespace kestrava
