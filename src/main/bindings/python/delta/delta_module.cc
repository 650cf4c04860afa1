// The `delta` submodule: PythonOutBuf, PythonInBuf, diff, diff_indexed and patch.
#include "bindings/python/delta/delta_module.h"

#include <pybind11/stl.h>

#include <optional>

#include "core/buffer/buf.h"
#include "core/delta/delta_apply.h"
#include "core/delta/delta_generate.h"
#include "core/delta/delta_indexed.h"

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

const char *const diff_indexed_doc = R"pbdoc(
    Diff between 'old_value' and 'new_value' that finds moved and repeated blocks anywhere in 'old_value'
    )pbdoc";

const char *const patch_doc = R"pbdoc(
    Apply 'diff' to 'old_value'
    )pbdoc";

const char *const no_data_message = "PythonOutBuf holds no data: the diff or patch that produced it failed";

// Results are exported as writable one-dimensional signed bytes. The view
// is filled without any allocation of its own, so there is nothing for a
// release hook to free: PyPy (7.3.11) calls the release hook with a fresh,
// zeroed view rather than the one filled here, so anything kept in the view
// for release (the binding library's default export keeps a heap record in
// `internal`) would leak on every export there. The view holds a reference
// to the result, which keeps it alive while the view is.
//
// A result that holds no buffer comes from a failed diff or patch; exporting
// it as empty would make the failure look like an empty value.
int out_buffer_getbuffer(PyObject *object, Py_buffer *view, int flags) {
    if (view == nullptr) {
        PyErr_SetString(PyExc_BufferError, "PythonOutBuf export without a view");
        return -1;
    }
    view->obj = nullptr;
    const PythonOutBuffer *out = nullptr;
    try {
        py::detail::make_caster<PythonOutBuffer> caster;
        if (caster.load(object, false)) {
            out = &static_cast<const PythonOutBuffer &>(caster);
        }
    } catch (...) {
        PyErr_Clear();
    }
    if (out == nullptr) {
        PyErr_SetString(PyExc_BufferError, "not a PythonOutBuf");
        return -1;
    }
    const buf *b = out->get();
    if (b == nullptr) {
        PyErr_SetString(PyExc_BufferError, no_data_message);
        return -1;
    }
    // A 32-bit interpreter cannot describe a result of 2 GiB or more.
    if (static_cast<uint64_t>(b->len) > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_BufferError, "PythonOutBuf result too long to export");
        return -1;
    }
    // Shape and strides point into the view itself (at its length and item
    // size), as the interpreter's own byte exports do.
    if (PyBuffer_FillInfo(view, object, OutProxy::export_address(b), static_cast<Py_ssize_t>(b->len), 0, flags) != 0) {
        return -1;
    }
    if ((flags & PyBUF_FORMAT) == PyBUF_FORMAT) {
        static char signed_bytes[] = "b";
        view->format = signed_bytes;
    }
    return 0;
}

#if defined(PYPY_VERSION)
// PyPy's collector sees the small result object but not the native buffer
// behind it, so a loop that drops large results fills the (32-bit) address
// space long before a collection frees them. Two measures, both only hints
// whose failures are ignored: each buffer is reported as memory pressure,
// and once the results still held have grown by `collect_every` bytes since
// the last full collection, one is run before the next result is made
// (where the collector sizes its nursery from a large reported CPU cache,
// the pressure alone comes too late).
constexpr uint64_t collect_every = 256u << 20;
uint64_t held_bytes = 0;
uint64_t held_after_collect = 0;

PyObject *pypy_function(const char *module_name, const char *name) {
    PyObject *module = PyImport_ImportModule(module_name);
    PyObject *f = module != nullptr ? PyObject_GetAttrString(module, name) : nullptr;
    Py_XDECREF(module);
    if (f == nullptr) {
        PyErr_Clear();
    }
    return f;
}

void call_ignoring_errors(PyObject *f, PyObject *args) {
    PyObject *r = f != nullptr ? PyObject_CallObject(f, args) : nullptr;
    if (r == nullptr) {
        PyErr_Clear();
    }
    Py_XDECREF(r);
}

void collect_if_results_piled_up() {
    if (held_bytes < held_after_collect + collect_every) {
        return;
    }
    static PyObject *const collect = pypy_function("gc", "collect");  // kept for the process
    call_ignoring_errors(collect, nullptr);
    held_after_collect = held_bytes;
}

// Memory behind a result: a copy made by buf_dup records capacity 0.
uint64_t held_size(const buf *b) { return b->capacity > b->len ? b->capacity : b->len; }

void release_result(buf *b) {
    uint64_t size = b != nullptr ? held_size(b) : 0;
    held_bytes -= size <= held_bytes ? size : held_bytes;
    if (held_after_collect > held_bytes) {
        held_after_collect = held_bytes;
    }
    buf_free(b);
}

PythonOutBuffer wrap_result(buf *b) {
    PythonOutBuffer out(b, release_result);
    if (b != nullptr && held_size(b) > 0) {
        held_bytes += held_size(b);
        static PyObject *const add_memory_pressure = pypy_function("__pypy__", "add_memory_pressure");
        PyObject *args = Py_BuildValue("(K)", static_cast<unsigned long long>(held_size(b)));
        if (args == nullptr) {
            PyErr_Clear();
        } else {
            call_ignoring_errors(add_memory_pressure, args);
            Py_DECREF(args);
        }
    }
    return out;
}
#else
void collect_if_results_piled_up() {}

PythonOutBuffer wrap_result(buf *b) { return PythonOutBuffer(b, buf_free); }
#endif

PythonOutBuffer diff(const PythonInBuffer &old_value, const PythonInBuffer &new_value) {
    collect_if_results_piled_up();
    return wrap_result(diff_generate_binary(old_value.get(), new_value.get()));
}

PythonOutBuffer diff_indexed(const PythonInBuffer &old_value, const PythonInBuffer &new_value) {
    collect_if_results_piled_up();
    return wrap_result(diff_generate_binary_indexed(old_value.get(), new_value.get()));
}

// max_size None: no bound. Otherwise the library's unsigned 64-bit
// conversion applies, so a negative, too large or non-integer bound is an
// argument mismatch (TypeError), as for dumps' max_depth.
PythonOutBuffer patch(const PythonInBuffer &old_value, const PythonInBuffer &delta, std::optional<uint64_t> max_size) {
    collect_if_results_piled_up();
    return wrap_result(max_size ? diff_apply_binary_limited(old_value.get(), delta.get(), *max_size)
                                : diff_apply_binary(old_value.get(), delta.get()));
}

}  // namespace

void init_delta(py::module_ &top) {
    py::module_ delta = top.def_submodule("delta");
    delta.doc() = delta_doc;

    // The export is installed while the type is set up, before it is made
    // ready: PyPy reads the type's slots only then. It needs no release hook.
    py::class_<PythonOutBuffer>(delta, "PythonOutBuf", py::buffer_protocol(),
                                py::custom_type_setup([](PyHeapTypeObject *heap_type) {
                                    heap_type->as_buffer.bf_getbuffer = out_buffer_getbuffer;
                                    heap_type->as_buffer.bf_releasebuffer = nullptr;
                                }));

    py::class_<PythonInBuffer>(delta, "PythonInBuf").def(py::init<py::bytes>());
    py::implicitly_convertible<py::bytes, PythonInBuffer>();

    delta.def("diff", &diff, diff_doc, py::arg("old_value"), py::arg("new_value"));
    delta.def("diff_indexed", &diff_indexed, diff_indexed_doc, py::arg("old_value"), py::arg("new_value"));
    delta.def("patch", &patch, patch_doc, py::arg("old_value"), py::arg("diff"), py::kw_only(),
              py::arg("max_size") = py::none());
    delta.attr("__version__") = "dev";
}

}  // namespace kestrava
