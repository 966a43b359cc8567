// Class MQuadExpr: members implemented in the mquadexpr*.cpp units, and the
// helpers these units share.
#pragma once

#include "cellrec.hpp"
#include "mlinexpr/mlinexpr_arith.hpp"

namespace mquadexpr {

using mlinexpr::equals;
using mlinexpr::numpy;
using mlinexpr::sparse;
using mlinexpr::truthy;

inline PyArrayObject *arr(py::handle h) {
    return reinterpret_cast<PyArrayObject *>(h.ptr());
}

// The class MQuadExpr, looked up by name.
inline py::object cls() {
    return zd::global(ZD_STR("MQuadExpr"));
}

// `MQuadExpr._keep_compact == 1`, read on the class by name.
inline bool keep_compact() {
    return mlinexpr::keep_compact(cls());
}

// The state test of the `_is_compact` property, with its assertions.
bool is_compact(py::handle self);

// The cell record's traits of the shared cell loops.
using Rec = cellrec::QuadRec;

// Typed cell read: the record of a QuadExpr (subclasses included); anything
// else raises TypeError "Cannot convert ... to QuadExpr".
inline QuadExprObject *quadexpr(PyObject *o) {
    return cellrec::record<Rec>(o);
}

// Every cell of a cell array typed as a QuadExpr (TypeError otherwise), so
// that a refused cell is found before anything changes.
void check_cells(py::handle cellarr);

// A new, empty QuadExpr made by the type's own constructor (no Python call).
py::object new_quadexpr();

// `cell.<name>(arg)`: for a plain QuadExpr through the core type's method,
// looked up once on the type.
py::object call_with(PyObject *cell, py::handle name, PyObject *arg);

using cellrec::empty_objects;

// A new C-ordered object array of `shape` holding one new empty QuadExpr per
// cell.
py::object empty_cells(py::handle shape);

using operand::zero_d;

// `self._qearr` as an ndarray (TypeError otherwise).
py::object qearr_of(py::handle self);

// Number of parts in `self._quadparts`.
Py_ssize_t nparts(py::handle self);

// The stored matrix of a quad part read as raw COO arrays: values, row and
// column indices (int32 or int64), with the part's variables.
struct Coo {
    py::object x, Q, y, data, row, col, xvars, yvars;
    npy_intp nnz = 0, nx = 0, ny = 0;
    bool row64 = false, col64 = false;

    explicit Coo(py::handle part);
    const double *values() const { return static_cast<const double *>(PyArray_DATA(arr(data))); }
    PyObject *const *xitems() const {
        return static_cast<PyObject *const *>(PyArray_DATA(arr(xvars)));
    }
    PyObject *const *yitems() const {
        return static_cast<PyObject *const *>(PyArray_DATA(arr(yvars)));
    }
    // Calls f(k, row index, column index) for every stored entry in storage
    // order, indices validated against the variable vectors.
    template <class F>
    void each(F &&f) const;
};

template <class F>
void Coo::each(F &&f) const {
    auto walk = [&](auto *r, auto *c) {
        for (npy_intp k = 0; k < nnz; ++k) {
            npy_intp i = static_cast<npy_intp>(r[k]), j = static_cast<npy_intp>(c[k]);
            if (i < 0 || i >= nx)
                zd::raisef(PyExc_IndexError, "index %zd is out of bounds for axis 0 with size %zd",
                           i, nx);
            if (j < 0 || j >= ny)
                zd::raisef(PyExc_IndexError, "index %zd is out of bounds for axis 0 with size %zd",
                           j, ny);
            f(k, i, j);
        }
    };
    void *rp = PyArray_DATA(arr(row));
    void *cp = PyArray_DATA(arr(col));
    if (row64) {
        if (col64)
            walk(static_cast<const int64_t *>(rp), static_cast<const int64_t *>(cp));
        else
            walk(static_cast<const int64_t *>(rp), static_cast<const int32_t *>(cp));
    } else {
        if (col64)
            walk(static_cast<const int32_t *>(rp), static_cast<const int64_t *>(cp));
        else
            walk(static_cast<const int32_t *>(rp), static_cast<const int32_t *>(cp));
    }
}

} // namespace mquadexpr

#define ZD_MEMBER(name) py::object name(const zd::Args &a)

// Storage states, quad parts, conversion and factories (mquadexpr_core.cpp).
ZD_MEMBER(MQuadExpr___init__);
ZD_MEMBER(MQuadExpr_shape);
ZD_MEMBER(MQuadExpr_ndim);
ZD_MEMBER(MQuadExpr_size);
ZD_MEMBER(MQuadExpr__is_compact);
ZD_MEMBER(MQuadExpr__allows_compact);
ZD_MEMBER(MQuadExpr_item);
ZD_MEMBER(MQuadExpr__add_quadpart);
ZD_MEMBER(MQuadExpr__concat_quadparts);
ZD_MEMBER(MQuadExpr__extract_xQy);
ZD_MEMBER(MQuadExpr__extract_quadexpr);
ZD_MEMBER(MQuadExpr__to_full);
ZD_MEMBER(MQuadExpr__convert_to_full);
ZD_MEMBER(MQuadExpr_zeros);
ZD_MEMBER(MQuadExpr__zeros_full);
ZD_MEMBER(MQuadExpr__from_mlinexpr);
ZD_MEMBER(MQuadExpr__from_mvar_times_mvar);
ZD_MEMBER(MQuadExpr__from_quad_expr);
ZD_MEMBER(MQuadExpr__from_quadfun);
ZD_MEMBER(MQuadExpr__from_quadfun_compact);
ZD_MEMBER(MQuadExpr__from_quadfun_full);

// Whole-array operations: copy, normalise, flatten, sum, values, clearing
// (mquadexpr_full.cpp).
ZD_MEMBER(MQuadExpr_copy);
ZD_MEMBER(MQuadExpr__copy_compact);
ZD_MEMBER(MQuadExpr__copy_quadparts);
ZD_MEMBER(MQuadExpr__copy_full);
ZD_MEMBER(MQuadExpr__normalize);
ZD_MEMBER(MQuadExpr__flatten);
ZD_MEMBER(MQuadExpr_sum);
ZD_MEMBER(MQuadExpr_getValue);
ZD_MEMBER(MQuadExpr__getConstant);
ZD_MEMBER(MQuadExpr_clear);
ZD_MEMBER(MQuadExpr__clear_quad_array);

// Printing, indexing and item assignment (mquadexpr_access.cpp).
ZD_MEMBER(MQuadExpr___repr__);
ZD_MEMBER(MQuadExpr___getitem__);
ZD_MEMBER(MQuadExpr___setitem__);
ZD_MEMBER(MQuadExpr__setitem_linear);
ZD_MEMBER(MQuadExpr__setitem_mquadexpr);

// In-place addition (mquadexpr_iadd.cpp).
ZD_MEMBER(MQuadExpr___iadd__);
ZD_MEMBER(MQuadExpr__iadd_compact_mquadexpr);
ZD_MEMBER(MQuadExpr__iadd_full_mquadexpr);

// Element-wise arithmetic, comparisons, unary operators and powers
// (mquadexpr_arith.cpp).
ZD_MEMBER(MQuadExpr___add__);
ZD_MEMBER(MQuadExpr__add_compact_mlinexpr);
ZD_MEMBER(MQuadExpr__add_full_mlinexpr);
ZD_MEMBER(MQuadExpr__add_compact_mquadexpr);
ZD_MEMBER(MQuadExpr__add_full_mquadexpr);
ZD_MEMBER(MQuadExpr___radd__);
ZD_MEMBER(MQuadExpr___sub__);
ZD_MEMBER(MQuadExpr___rsub__);
ZD_MEMBER(MQuadExpr___isub__);
ZD_MEMBER(MQuadExpr___imul__);
ZD_MEMBER(MQuadExpr__imul_compact_scalar);
ZD_MEMBER(MQuadExpr__imul_compact_ndarray);
ZD_MEMBER(MQuadExpr__imul_full_scalar);
ZD_MEMBER(MQuadExpr__imul_full_ndarray);
ZD_MEMBER(MQuadExpr___mul__);
ZD_MEMBER(MQuadExpr___rmul__);
ZD_MEMBER(MQuadExpr__mul_compact_ndarray);
ZD_MEMBER(MQuadExpr__mul_full_ndarray);
ZD_MEMBER(MQuadExpr___truediv__);
ZD_MEMBER(MQuadExpr___rtruediv__);
ZD_MEMBER(MQuadExpr___itruediv__);
ZD_MEMBER(MQuadExpr___le__);
ZD_MEMBER(MQuadExpr___ge__);
ZD_MEMBER(MQuadExpr___eq__);
ZD_MEMBER(MQuadExpr___ne__);
ZD_MEMBER(MQuadExpr___pos__);
ZD_MEMBER(MQuadExpr___neg__);
ZD_MEMBER(MQuadExpr___pow__);
ZD_MEMBER(MQuadExpr___rpow__);

// Matrix products (mquadexpr_matmul.cpp).
ZD_MEMBER(MQuadExpr___matmul__);
ZD_MEMBER(MQuadExpr___rmatmul__);
ZD_MEMBER(MQuadExpr__matmul_compact_ndarray_or_spmatrix);
ZD_MEMBER(MQuadExpr__rmatmul_compact_ndarray_or_spmatrix);
ZD_MEMBER(MQuadExpr__matmul_full_ndarray_or_spmatrix);
ZD_MEMBER(MQuadExpr__rmatmul_full_ndarray_or_spmatrix);

#undef ZD_MEMBER
