// Operand kinds of the expression-array operators, and the small helpers that
// every class of _arrayexpr shares (type tests against module globals, 0-d
// cell arrays, the operator protocol's calls).
//
// An operator classifies its other operand once and reads like its table:
//     switch (operand::classify(other)) { case Kind::Number: ... }
// The module globals (MVar, MLinExpr, ...) are read at each call, so that a
// replaced global is seen as the interpreter would see it.
#pragma once

#include "arrayexpr.hpp"
#include "cells.hpp"
#include "zd_numpy.hpp"

namespace operand {

enum class Kind {
    Number,    // what _isscalar accepts
    NDArray,   // numpy.ndarray (subclasses included)
    Sparse,    // what scipy.sparse.issparse accepts
    Var,       // core Var
    LinExpr,   // core LinExpr
    QuadExpr,  // core QuadExpr
    NLExpr,    // core NLExpr
    MVar,      // the module's matrix classes
    MLinExpr,  //
    MQuadExpr, //
    MNLExpr,   //
    Other,
};

// The kind of `o`. Tests, in this order: ndarray, the module's matrix classes,
// the core classes, numbers, sparse matrices (SciPy is not imported for an
// operand that cannot be one: see is_sparse).
Kind classify(py::handle o);

// Var, LinExpr, QuadExpr, NLExpr, MVar, MLinExpr, MQuadExpr.
inline bool is_expression(Kind k) {
    return k >= Kind::Var && k <= Kind::MQuadExpr;
}

// isinstance(o, <module global name>), the global looked up now.
inline bool isinst_g(py::handle o, py::handle name) {
    return zd::isinstance(o, zd::global(name));
}
inline bool is_mvar(py::handle o) {
    return isinst_g(o, ZD_STR("MVar"));
}
inline bool is_mlinexpr(py::handle o) {
    return isinst_g(o, ZD_STR("MLinExpr"));
}
inline bool is_mquadexpr(py::handle o) {
    return isinst_g(o, ZD_STR("MQuadExpr"));
}
inline bool is_mnlexpr(py::handle o) {
    return isinst_g(o, ZD_STR("MNLExpr"));
}
inline bool is_linexpr(py::handle o) {
    return arrayexpr::is_linexpr(o.ptr());
}
inline bool is_quadexpr(py::handle o) {
    return arrayexpr::is_quadexpr(o.ptr());
}
inline bool is_var(py::handle o) {
    return isinst_g(o, ZD_STR("Var"));
}
inline bool is_nlexpr(py::handle o) {
    return isinst_g(o, ZD_STR("NLExpr"));
}
inline bool is_ndarray(py::handle o) {
    zd::ensure_numpy();
    return PyArray_Check(o.ptr());
}
// scipy.sparse.issparse(o). While scipy.sparse is not in sys.modules (or is
// None there) an object of no class of that package is no sparse matrix, and
// nothing is imported.
bool is_sparse(py::handle o);
// _isscalar(o), the module global.
inline bool is_scalar(py::handle o) {
    return zd::truthy(zd::global(ZD_STR("_isscalar"))(o));
}

// Module globals by name, looked up now.
inline py::object MVar_cls() {
    return zd::global(ZD_STR("MVar"));
}
inline py::object MLinExpr_cls() {
    return zd::global(ZD_STR("MLinExpr"));
}
inline py::object MQuadExpr_cls() {
    return zd::global(ZD_STR("MQuadExpr"));
}
inline py::object MNLExpr_cls() {
    return zd::global(ZD_STR("MNLExpr"));
}

inline py::object not_implemented() {
    return zd::borrow(Py_NotImplemented);
}

// A new 0-dimensional object array holding `cell`.
py::object zero_d(py::handle cell);

// numpy.asarray(obj) without a dtype.
py::object asarray(py::handle obj);

// ValueError "Cannot assign <type of value> to <cls>".
[[noreturn]] void refuse_value(py::handle value, const char *cls);

// The object that indexing a cell array gives: `wrap` makes the class's object
// of `sub` (what indexing `cellarr` returned), of a 0-d array when `single`
// (one cell was picked). A view shares the cells; a new array (integer-array
// or boolean index, on any axis) gets cells of its own through copy().
template <class Wrap>
py::object indexed(py::handle cellarr, py::handle sub, bool single, Wrap &&wrap) {
    if (single)
        return wrap(zero_d(sub));
    py::object retval = wrap(sub);
    if (cells::as_ndarray(sub) && !cells::is_view_of(sub, cellarr))
        return zd::call_method(retval, ZD_STR("copy"));
    return retval;
}

} // namespace operand
