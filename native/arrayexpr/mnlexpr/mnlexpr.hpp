// Internal header of the MNLExpr unit: cell loops with the semantics of
// NumPy's vectorize and nditer, operand tests and the member entry points
// shared between mnlexpr*.cpp and the class table in mnlexpr.cpp.
#pragma once

#include "arrayexpr.hpp"
#include "cells.hpp"
#include "operand.hpp"
#include "zd_numpy.hpp"

#include <initializer_list>
#include <vector>

namespace mnlexpr {

// `import numpy`, at each call (the module is taken from sys.modules when it
// is there); NumPy's C API is ready afterwards.
py::object numpy();

inline PyArrayObject *as_array(py::handle o) {
    return reinterpret_cast<PyArrayObject *>(o.ptr());
}

using operand::is_scalar;
using operand::zero_d;
inline bool isinstance_global(py::handle o, py::handle name) {
    return operand::isinst_g(o, name);
}

// The object as an ndarray: itself when it is one (subclasses kept),
// else NumPy's conversion of it.
py::object as_ndarray(py::handle o);

// f(*args) through vectorcall.
inline py::object call(py::handle f, PyObject *const *args, size_t n) {
    return zd::steal(PyObject_Vectorcall(f.ptr(), args, n, nullptr));
}
inline py::object call1(py::handle f, PyObject *a) {
    return call(f, &a, 1);
}
inline py::object call2(py::handle f, PyObject *a, PyObject *b) {
    PyObject *args[2] = {a, b};
    return call(f, args, 2);
}

// cell._root and cell._root = node.
// For a cell whose type reads attributes the generic way and holds `_root`
// as a data descriptor, that descriptor decides the lookup: it is called
// directly, the type's lookup remembered for the next cell of that type.
inline py::object root(PyObject *cell) {
    static PyTypeObject *last_type = nullptr;
    static unsigned int last_tag = 0;
    static PyObject *descr = nullptr;
    cell = cell ? cell : Py_None;
    PyTypeObject *tp = Py_TYPE(cell);
    if (tp != last_type || tp->tp_version_tag != last_tag ||
        !PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG)) {
        last_type = nullptr;
        PyObject *d = tp->tp_getattro == PyObject_GenericGetAttr
                          ? _PyType_Lookup(tp, ZD_STR("_root").ptr())
                          : nullptr;
        if (d && Py_TYPE(d)->tp_descr_get && Py_TYPE(d)->tp_descr_set &&
            PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG)) {
            last_type = tp;
            last_tag = tp->tp_version_tag;
            descr = d;
        } else {
            return zd::steal(PyObject_GetAttr(cell, ZD_STR("_root").ptr()));
        }
    }
    return zd::steal(Py_TYPE(descr)->tp_descr_get(descr, cell, reinterpret_cast<PyObject *>(tp)));
}
inline void set_root(PyObject *cell, PyObject *node) {
    zd::check(PyObject_SetAttr(cell ? cell : Py_None, ZD_STR("_root").ptr(), node));
}

// MNLExpr(nlearr) through the module global.
py::object make(py::handle nlearr);

// self._nlearr as an ndarray (converted when it is something else).
py::object nlearr(py::handle self);

// A per-cell function over one or two arrays, broadcast together, giving a
// new object array of the broadcast shape, as numpy.vectorize does it: with
// a declared output type (`otypes`) exactly one call per cell, empty input
// accepted; without it one extra first call on the first cells, whose result
// is dropped, and ValueError for inputs without cells. Inputs of another
// dtype reach `f` as NumPy's conversion of their elements to objects.
// `f(args)` returns the new cell (a new reference).
template <int N, class F>
py::object vectorize_n(PyArrayObject *const (&ins)[N], bool otypes, F &&f);
template <class F>
py::object vectorize(PyArrayObject *a, bool otypes, F &&f) {
    PyArrayObject *const ins[1] = {a};
    return vectorize_n<1>(ins, otypes, f);
}
template <class F>
py::object vectorize(PyArrayObject *a, PyArrayObject *b, bool otypes, F &&f) {
    PyArrayObject *const ins[2] = {a, b};
    return vectorize_n<2>(ins, otypes, f);
}

// The two-operand loop of NumPy's nditer used by item assignment and the
// in-place operators: `lhs` (cells, never broadcast) with `rhs` (nodes,
// broadcast to lhs), buffered, zero-sized operands refused. Calls
// f(cell, node) for each pair in the iterator's order.
template <class F>
void inplace_pairs(PyArrayObject *lhs, PyArrayObject *rhs, F &&f);

// As above with `lhs` alone.
template <class F>
void inplace_cells(PyArrayObject *lhs, F &&f);

// The function object of MNLExpr._coerce_to_exprtree_array as the class was
// made with it (a reference held for the module's life).
extern PyObject *own_coercion;

// The kind of an operand for the two-operand operators, tested in this order:
// ndarray, MVar, MLinExpr, MQuadExpr, MNLExpr (not when reflected), then Var,
// LinExpr, QuadExpr, NLExpr, _isscalar. Anything else is refused at once,
// without looking further (no SciPy import). NumPy must be imported first.
enum class Operand { TreeArray, SingleTree, Other };
Operand classify(py::handle other, bool reflected);

// The expression-tree array of an operand (the coercion).
py::object coerce_array(py::handle value);
// self._coerce_to_exprtree_array(value): the coercion looked up on the
// instance, as a subclass may replace it.
inline py::object coerce_through(py::handle self, py::handle value) {
    PyObject *args[2] = {self.ptr(), value.ptr()};
    return zd::steal(
        PyObject_VectorcallMethod(ZD_STR("_coerce_to_exprtree_array").ptr(), args, 2, nullptr));
}
// NLExpr._coerce_to_exprtree(value): one node.
py::object coerce_single(py::handle value);

// The TovrixError(TVX.ERROR_INVALID_ARGUMENT, msg) of the comparisons.
[[noreturn]] void raise_invalid_argument(const char *msg);

} // namespace mnlexpr

// Members, named after the member.
py::object MNLExpr__coerce_to_exprtree_array(const zd::Args &a);
py::object MNLExpr__dispatch_unary_op(const zd::Args &a);
py::object MNLExpr__idispatch_unary_op(const zd::Args &a);
py::object MNLExpr__dispatch_binary_op(const zd::Args &a);
py::object MNLExpr__rdispatch_binary_op(const zd::Args &a);
py::object MNLExpr__idispatch_binary_op(const zd::Args &a);
py::object MNLExpr___neg__(const zd::Args &a);
py::object MNLExpr___add__(const zd::Args &a);
py::object MNLExpr___radd__(const zd::Args &a);
py::object MNLExpr___iadd__(const zd::Args &a);
py::object MNLExpr___sub__(const zd::Args &a);
py::object MNLExpr___rsub__(const zd::Args &a);
py::object MNLExpr___isub__(const zd::Args &a);
py::object MNLExpr___mul__(const zd::Args &a);
py::object MNLExpr___rmul__(const zd::Args &a);
py::object MNLExpr___imul__(const zd::Args &a);
py::object MNLExpr___truediv__(const zd::Args &a);
py::object MNLExpr___rtruediv__(const zd::Args &a);
py::object MNLExpr___itruediv__(const zd::Args &a);
py::object MNLExpr___pow__(const zd::Args &a);
py::object MNLExpr___rpow__(const zd::Args &a);
py::object MNLExpr___ipow__(const zd::Args &a);
py::object MNLExpr___eq__(const zd::Args &a);
py::object MNLExpr___ne__(const zd::Args &a);
py::object MNLExpr___le__(const zd::Args &a);
py::object MNLExpr___ge__(const zd::Args &a);
py::object MNLExpr__sum_terms(const zd::Args &a);
py::object MNLExpr__multiply_term_sparse_right(const zd::Args &a);
py::object MNLExpr__multiply_term_sparse_left(const zd::Args &a);
py::object MNLExpr___matmul__(const zd::Args &a);
py::object MNLExpr___rmatmul__(const zd::Args &a);
py::object MNLExpr_sum(const zd::Args &a);

// ---------------------------------------------------------------------------

template <int N, class F>
py::object mnlexpr::vectorize_n(PyArrayObject *const (&ins)[N], bool otypes, F &&f) {
    // New cells and nodes form no cycle: no collection pass over them meanwhile.
    cells::GcPause gc_pause;
    PyObject *args[N];
    if (!otypes) {
        for (PyArrayObject *in : ins)
            if (PyArray_SIZE(in) == 0)
                zd::raise(PyExc_ValueError,
                          "cannot call `vectorize` on size 0 inputs unless `otypes` is set");
        // The output type is learnt from a call on the first cells.
        py::object first[N];
        for (int k = 0; k < N; ++k) {
            first[k] = zd::steal(PyArray_GETITEM(ins[k], PyArray_BYTES(ins[k])));
            args[k] = first[k].ptr();
        }
        py::object dropped = f(static_cast<PyObject *const *>(args));
    }
    bool cast = false;
    for (PyArrayObject *in : ins)
        cast = cast || PyArray_TYPE(in) != NPY_OBJECT;
    const npy_uint32 flags = NPY_ITER_EXTERNAL_LOOP | NPY_ITER_REFS_OK | NPY_ITER_ZEROSIZE_OK |
                             NPY_ITER_GROWINNER | (cast ? NPY_ITER_BUFFERED : 0);
    const npy_uint32 in_flags = NPY_ITER_READONLY;
    const npy_uint32 out_flags = NPY_ITER_WRITEONLY | NPY_ITER_ALLOCATE;
    auto body = [&](cells::ChunkLoop &it) -> py::object {
        it.run([&](char **data, npy_intp *strides, npy_intp n) {
            char *p[N + 1];
            for (int k = 0; k <= N; ++k)
                p[k] = data[k];
            for (npy_intp i = 0; i < n; ++i) {
                for (int k = 0; k < N; ++k) {
                    PyObject *c = *reinterpret_cast<PyObject **>(p[k]);
                    args[k] = c ? c : Py_None;
                }
                py::object r = f(static_cast<PyObject *const *>(args));
                PyObject **slot = reinterpret_cast<PyObject **>(p[N]);
                PyObject *old = *slot;
                *slot = r.release().ptr();
                Py_XDECREF(old);
                for (int k = 0; k <= N; ++k)
                    p[k] += strides[k];
            }
        });
        return zd::borrow(reinterpret_cast<PyObject *>(it.operand(N)));
    };
    if constexpr (N == 1) {
        cells::ChunkLoop it({ins[0], nullptr}, flags, {in_flags, out_flags},
                            {NPY_OBJECT, NPY_OBJECT});
        return body(it);
    } else {
        static_assert(N == 2);
        cells::ChunkLoop it({ins[0], ins[1], nullptr}, flags, {in_flags, in_flags, out_flags},
                            {NPY_OBJECT, NPY_OBJECT, NPY_OBJECT});
        return body(it);
    }
}

template <class F>
void mnlexpr::inplace_pairs(PyArrayObject *lhs, PyArrayObject *rhs, F &&f) {
    cells::GcPause gc_pause;
    cells::ChunkLoop it(
        {lhs, rhs}, NPY_ITER_REFS_OK | NPY_ITER_EXTERNAL_LOOP | NPY_ITER_BUFFERED,
        {NPY_ITER_READONLY | NPY_ITER_NO_BROADCAST, NPY_ITER_READONLY | NPY_ITER_COPY},
        {NPY_OBJECT, NPY_OBJECT});
    it.run([&](char **data, npy_intp *strides, npy_intp n) {
        char *pl = data[0], *pr = data[1];
        for (npy_intp i = 0; i < n; ++i, pl += strides[0], pr += strides[1]) {
            PyObject *cell = *reinterpret_cast<PyObject **>(pl);
            PyObject *node = *reinterpret_cast<PyObject **>(pr);
            py::object hold_cell = zd::borrow(cell ? cell : Py_None);
            py::object hold_node = zd::borrow(node ? node : Py_None);
            f(hold_cell.ptr(), hold_node.ptr());
        }
    });
}

template <class F>
void mnlexpr::inplace_cells(PyArrayObject *lhs, F &&f) {
    cells::GcPause gc_pause;
    cells::ChunkLoop it({lhs}, NPY_ITER_REFS_OK | NPY_ITER_EXTERNAL_LOOP | NPY_ITER_BUFFERED,
                        {NPY_ITER_READONLY | NPY_ITER_NO_BROADCAST}, {NPY_OBJECT});
    it.run([&](char **data, npy_intp *strides, npy_intp n) {
        char *p = data[0];
        for (npy_intp i = 0; i < n; ++i, p += strides[0]) {
            PyObject *cell = *reinterpret_cast<PyObject **>(p);
            py::object hold = zd::borrow(cell ? cell : Py_None);
            f(hold.ptr());
        }
    });
}
