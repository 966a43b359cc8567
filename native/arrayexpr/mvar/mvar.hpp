// Internal header of the MVar unit: member implementations shared between
// mvar*.cpp and the class table in mvar.cpp.
#pragma once

#include "arrayexpr.hpp"
#include "operand.hpp"
#include "zd_numpy.hpp"

namespace mvar {

inline PyArrayObject *as_array(py::handle o) {
    return reinterpret_cast<PyArrayObject *>(o.ptr());
}

// An attribute of the instance or its class, without attribute forwarding:
// a missing _vararr or _cmodel (an instance made without __init__) must not
// turn into a solver attribute read.
py::object own_attr(py::handle self, py::handle name);

// self._vararr, checked to be an ndarray of dtype object (TypeError otherwise).
// NumPy's C API is ready afterwards.
py::object vararr(py::handle self);

// MVar(arr) through the module global, as every MVar is made.
py::object make(py::handle arr);

// numpy (imported module), cheap after the first call.
py::object numpy();

// Calls `fn(cell)` for every cell of an object array in row-major order,
// whatever its memory layout. `cell` is a new reference held for the call.
template <class F>
void for_each_cell_c_order(PyArrayObject *arr, F &&fn);

// The element indices in row-major order as a list of Python ints.
py::object index_list(py::handle self);

// Unpacks an iterable into exactly n values, with the interpreter's messages.
inline py::tuple unpack(py::handle obj, Py_ssize_t n) {
    return zd::unpack(obj, n, zd::UnpackText::Current);
}

} // namespace mvar

// Members, named after the member.
py::object MVar___init__(const zd::Args &a);
py::object MVar___dir__(const zd::Args &a);
py::object MVar___repr__(const zd::Args &a);
py::object MVar_copy(const zd::Args &a);
py::object MVar_tolist(const zd::Args &a);
py::object MVar_fromlist(const zd::Args &a);
py::object MVar_fromvar(const zd::Args &a);
py::object MVar_nl(const zd::Args &a);
py::object MVar_transpose(const zd::Args &a);
py::object MVar_T(const zd::Args &a);
py::object MVar_reshape(const zd::Args &a);
py::object MVar___getitem__(const zd::Args &a);
py::object MVar_item(const zd::Args &a);
py::object MVar__typename(const zd::Args &a);
py::object MVar__typeenum(const zd::Args &a);
py::object MVar___getattr__(const zd::Args &a);
py::object MVar___setattr__(const zd::Args &a);
py::object MVar___mul__(const zd::Args &a);
py::object MVar___pow__(const zd::Args &a);
py::object MVar___rpow__(const zd::Args &a);
py::object MVar___matmul__(const zd::Args &a);
py::object MVar___add__(const zd::Args &a);
py::object MVar___radd__(const zd::Args &a);
py::object MVar___sub__(const zd::Args &a);
py::object MVar___rsub__(const zd::Args &a);
py::object MVar___rmul__(const zd::Args &a);
py::object MVar___rmatmul__(const zd::Args &a);
py::object MVar___neg__(const zd::Args &a);
py::object MVar___pos__(const zd::Args &a);
py::object MVar___truediv__(const zd::Args &a);
py::object MVar___rtruediv__(const zd::Args &a);
py::object MVar__squeeze(const zd::Args &a);
py::object MVar__toexpr(const zd::Args &a);
py::object MVar__idxarr(const zd::Args &a);
py::object MVar_sum(const zd::Args &a);
py::object MVar_diagonal(const zd::Args &a);
py::object MVar__indexed_data(const zd::Args &a);
py::object MVar_getAttr(const zd::Args &a);
py::object MVar_setAttr(const zd::Args &a);
py::object MVar_prefetchAttr(const zd::Args &a);
py::object MVar_shape(const zd::Args &a);
py::object MVar_ndim(const zd::Args &a);
py::object MVar_size(const zd::Args &a);
py::object MVar___le__(const zd::Args &a);
py::object MVar___ge__(const zd::Args &a);
py::object MVar___eq__(const zd::Args &a);
py::object MVar___ne__(const zd::Args &a);

// ---------------------------------------------------------------------------

template <class F>
void mvar::for_each_cell_c_order(PyArrayObject *arr, F &&fn) {
    npy_intp n = PyArray_SIZE(arr);
    if (n == 0)
        return;
    if (PyArray_IS_C_CONTIGUOUS(arr)) {
        auto *data = reinterpret_cast<PyObject **>(PyArray_DATA(arr));
        for (npy_intp i = 0; i < n; ++i) {
            // The array may be changed by the callback; hold the cell.
            PyObject *cell = data[i] ? data[i] : Py_None;
            py::object hold = zd::borrow(cell);
            fn(cell);
        }
        return;
    }
    zd::NpyIterGuard it(NpyIter_New(
        arr, NPY_ITER_READONLY | NPY_ITER_EXTERNAL_LOOP | NPY_ITER_REFS_OK | NPY_ITER_ZEROSIZE_OK,
        NPY_CORDER, NPY_NO_CASTING, nullptr));
    NpyIter_IterNextFunc *next = NpyIter_GetIterNext(it.get(), nullptr);
    if (!next)
        zd::throw_error();
    char **dataptr = NpyIter_GetDataPtrArray(it.get());
    npy_intp *stride = NpyIter_GetInnerStrideArray(it.get());
    npy_intp *size = NpyIter_GetInnerLoopSizePtr(it.get());
    do {
        char *p = dataptr[0];
        npy_intp s = stride[0];
        for (npy_intp i = *size; i > 0; --i, p += s) {
            PyObject *cell = *reinterpret_cast<PyObject **>(p);
            if (!cell)
                cell = Py_None;
            py::object hold = zd::borrow(cell);
            fn(cell);
        }
    } while (next(it.get()));
}
