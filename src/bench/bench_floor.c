/* The floor for a native encoder: visits every object of a value through
   the same Python/C calls an encoder needs (PyDict_Next, PyList_GET_ITEM,
   PyLong_AsLongLong, PyFloat_AS_DOUBLE, PyUnicode_AsUTF8AndSize) and writes
   nothing. Built by bench_dumps.py into the benchmark's own environment. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <string.h>

static unsigned long long sink;

static int visit(PyObject *o, int depth) {
    if (depth > 1000) {
        PyErr_SetString(PyExc_RecursionError, "too deep");
        return -1;
    }
    if (o == Py_None || o == Py_True || o == Py_False) {
        sink += 1;
    } else if (PyLong_Check(o)) {
        long long v = PyLong_AsLongLong(o);
        if (v == -1 && PyErr_Occurred()) {
            PyErr_Clear();
        }
        sink += (unsigned long long)v;
    } else if (PyFloat_Check(o)) {
        double d = PyFloat_AS_DOUBLE(o);
        unsigned long long bits;
        memcpy(&bits, &d, sizeof bits);
        sink += bits;
    } else if (PyUnicode_Check(o)) {
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(o, &size);
        if (utf8 == NULL) {
            return -1;
        }
        sink += (unsigned long long)size + (unsigned char)(size ? utf8[0] : 0);
    } else if (PyBytes_Check(o)) {
        sink += (unsigned long long)PyBytes_GET_SIZE(o);
    } else if (PyList_Check(o)) {
        Py_ssize_t n = PyList_GET_SIZE(o);
        for (Py_ssize_t i = 0; i < n; i++) {
            if (visit(PyList_GET_ITEM(o, i), depth + 1) < 0) {
                return -1;
            }
        }
    } else if (PyTuple_Check(o)) {
        Py_ssize_t n = PyTuple_GET_SIZE(o);
        for (Py_ssize_t i = 0; i < n; i++) {
            if (visit(PyTuple_GET_ITEM(o, i), depth + 1) < 0) {
                return -1;
            }
        }
    } else if (PyDict_Check(o)) {
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(o, &position, &key, &value)) {
            if (visit(key, depth + 1) < 0 || visit(value, depth + 1) < 0) {
                return -1;
            }
        }
    } else {
        PyErr_SetString(PyExc_TypeError, "unexpected type");
        return -1;
    }
    return 0;
}

static PyObject *floor_visit(PyObject *self, PyObject *value) {
    (void)self;
    if (visit(value, 0) < 0) {
        return NULL;
    }
    return PyLong_FromUnsignedLongLong(sink);
}

static PyMethodDef methods[] = {
    {"visit", floor_visit, METH_O, "Visit every object of a value."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "kestrava_bench_floor", NULL, -1, methods,
                                    NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_kestrava_bench_floor(void) { return PyModule_Create(&module); }
