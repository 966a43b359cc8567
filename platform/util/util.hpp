// Shared declarations of the module zudirivi._util: pointer wrapper, shape
// helpers, scalar and text helpers, matrix-product kernels.
#pragma once

#include "zd.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// The module keeps its own NumPy API table, imported on first use.
#define PY_ARRAY_UNIQUE_SYMBOL zd_util_numpy_api
#ifndef ZD_UTIL_DEFINE_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <cstdint>
#include <vector>

namespace zdutil {

// Errors: the shared layer's exception and its translation at entry points.
using zd::borrow;
using zd::python_error;
using zd::raisef;
using zd::set_error_from_current_exception;
using zd::steal;
using zd::throw_error;

#define ZDU_TRY ZD_TRY
#define ZDU_CATCH(failvalue) ZD_CATCH(failvalue)

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
