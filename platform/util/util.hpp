// Shared declarations of the module zudirivi._util: pointer wrapper, shape
// helpers, scalar and text helpers, matrix-product kernels.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <pybind11/pybind11.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// The module keeps its own NumPy API table, imported on first use.
#define PY_ARRAY_UNIQUE_SYMBOL zd_util_numpy_api
#ifndef ZD_UTIL_DEFINE_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <cstdint>
#include <vector>

namespace py = pybind11;

namespace zdutil {

// Thrown when the Python error indicator is set; entry points turn it (and
// every other C++ exception) into a NULL return with the error set.
struct python_error {};

[[noreturn]] inline void throw_error() {
    throw python_error();
}

template <class... A>
[[noreturn]] inline void raisef(PyObject *exc_type, const char *fmt, A... args) {
    PyErr_Format(exc_type, fmt, args...);
    throw python_error();
}

inline py::object steal(PyObject *p) {
    if (!p)
        throw python_error();
    return py::reinterpret_steal<py::object>(p);
}
inline py::object borrow(PyObject *p) {
    return py::reinterpret_borrow<py::object>(p);
}

// Sets the Python error for the exception being handled (use inside catch).
void set_error_from_current_exception() noexcept;

#define ZDU_TRY try {
#define ZDU_CATCH(failvalue)                                                                       \
    }                                                                                              \
    catch (...) {                                                                                  \
        ::zdutil::set_error_from_current_exception();                                              \
        return failvalue;                                                                          \
    }

// NumPy's C API, imported the first time a function needs it.
void ensure_numpy();
// True when NumPy's C API is usable without importing NumPy now.
bool numpy_ready() noexcept;

using Shape = std::vector<npy_intp>;

// A shape argument: an int, or a sequence of ints (each >= 0).
Shape parse_shape(PyObject *obj);
py::object shape_tuple(const Shape &shape);
// Text of a shape as Python prints the tuple, e.g. "(2, 3)".
std::string shape_text(const Shape &shape);
// NumPy's broadcast of two shapes; false when they do not broadcast.
bool broadcast_pair(const Shape &a, const Shape &b, Shape &out);

// Pointer wrapper type and the functions published in __pyx_capi__.
PyTypeObject *ptrwrapper_type(); // made on first call
void *capi_ptr(PyObject *wrapper);
PyObject *capi_wrapptr(void *ptr);

// Module functions (PyMethodDef entry points).
PyObject *py_broadcast_shapes(PyObject *, PyObject *args);
PyObject *py_matmul_shape(PyObject *, PyObject *args, PyObject *kwargs);
PyObject *py_axis_to_axeslist(PyObject *, PyObject *args, PyObject *kwargs);
PyObject *py_isscalar(PyObject *, PyObject *value);
PyObject *py_isstr(PyObject *, PyObject *value);
PyObject *py_all_refs_match(PyObject *, PyObject *args, PyObject *kwargs);
PyObject *py_bytestostring(PyObject *, PyObject *value);
PyObject *py_stringtobytes(PyObject *, PyObject *value);
PyObject *py_dense_matmul_kernel(PyObject *, PyObject *args, PyObject *kwargs);
PyObject *py_sparse_right_matmul_kernel(PyObject *, PyObject *args, PyObject *kwargs);
PyObject *py_sparse_left_matmul_kernel(PyObject *, PyObject *args, PyObject *kwargs);

} // namespace zdutil
