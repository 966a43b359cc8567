// MLinExpr element-wise arithmetic: the members of the mlinexpr_arith*.cpp
// units and the small dispatch helpers they share.
#pragma once

#include "mlinexpr.hpp"

namespace arith {

using operand::is_ndarray;
using operand::is_scalar;
using operand::is_sparse;
using operand::isinst_g;
using operand::not_implemented;
// The compact path of an operator: self compact, then MLinExpr._keep_compact == 1.
inline bool compact_path(py::handle self) {
    return mlinexpr::is_compact(self) && mlinexpr::keep_compact(zd::global(ZD_STR("MLinExpr")));
}
// MNLExpr._from_mlinexpr(self): the start of every nonlinear hand-off.
inline py::object nl_form(py::handle self) {
    return zd::global(ZD_STR("MNLExpr")).attr(ZD_STR("_from_mlinexpr"))(self);
}
inline py::object minus_one() {
    return zd::steal(PyFloat_FromDouble(-1.0));
}
inline py::object op_add(py::handle a, py::handle b) {
    return zd::steal(PyNumber_Add(a.ptr(), b.ptr()));
}
inline py::object op_sub(py::handle a, py::handle b) {
    return zd::steal(PyNumber_Subtract(a.ptr(), b.ptr()));
}
inline py::object op_mul(py::handle a, py::handle b) {
    return zd::steal(PyNumber_Multiply(a.ptr(), b.ptr()));
}
inline py::object op_div(py::handle a, py::handle b) {
    return zd::steal(PyNumber_TrueDivide(a.ptr(), b.ptr()));
}
inline py::object op_pow(py::handle a, py::handle b) {
    return zd::steal(PyNumber_Power(a.ptr(), b.ptr(), Py_None));
}
inline py::object op_iadd(py::handle a, py::handle b) {
    return zd::steal(PyNumber_InPlaceAdd(a.ptr(), b.ptr()));
}
inline py::object op_imul(py::handle a, py::handle b) {
    return zd::steal(PyNumber_InPlaceMultiply(a.ptr(), b.ptr()));
}
// `1.0 / x`, with the interpreter's own errors ("float division by zero").
inline py::object reciprocal(py::handle x) {
    py::object one = zd::steal(PyFloat_FromDouble(1.0));
    return op_div(one, x);
}
// float(x), as the interpreter's float() does it.
inline py::object to_float(py::handle x) {
    return zd::steal(PyNumber_Float(x.ptr()));
}
using zd::set_attr;
// `obj.<name> op= value` on an attribute holding an array, the result assigned back.
inline void attr_inplace(py::handle obj, py::handle name, py::handle value, bool multiply) {
    py::object cur = obj.attr(name);
    py::object res = multiply ? op_imul(cur, value) : op_iadd(cur, value);
    set_attr(obj, name, res);
}
inline Py_ssize_t length(py::handle o) {
    Py_ssize_t n = PyObject_Length(o.ptr());
    if (n < 0)
        zd::throw_error();
    return n;
}
inline Py_ssize_t ssize(py::handle o) {
    Py_ssize_t n = PyLong_AsSsize_t(o.ptr());
    if (n == -1 && PyErr_Occurred())
        zd::throw_error();
    return n;
}

} // namespace arith

#define ZD_MEMBER(name) py::object name(const zd::Args &a)

// Addition, in-place addition of the compact state, subtraction, division,
// unary operators, powers and comparisons (mlinexpr_arith.cpp).
ZD_MEMBER(MLinExpr___add__);
ZD_MEMBER(MLinExpr__add_compact_mlinexpr);
ZD_MEMBER(MLinExpr__add_compact_mlinexpr_compact);
ZD_MEMBER(MLinExpr__add_full_mlinexpr);
ZD_MEMBER(MLinExpr__add_full_ndarray);
ZD_MEMBER(MLinExpr___radd__);
ZD_MEMBER(MLinExpr__iadd_compact_mlinexpr_compact);
ZD_MEMBER(MLinExpr__iadd_compact_var);
ZD_MEMBER(MLinExpr__iadd_compact_linexpr);
ZD_MEMBER(MLinExpr__iadd_compact_mlinexpr);
ZD_MEMBER(MLinExpr___sub__);
ZD_MEMBER(MLinExpr___rsub__);
ZD_MEMBER(MLinExpr___isub__);
ZD_MEMBER(MLinExpr___itruediv__);
ZD_MEMBER(MLinExpr___truediv__);
ZD_MEMBER(MLinExpr___rtruediv__);
ZD_MEMBER(MLinExpr___pos__);
ZD_MEMBER(MLinExpr___pow__);
ZD_MEMBER(MLinExpr___rpow__);
ZD_MEMBER(MLinExpr___neg__);
ZD_MEMBER(MLinExpr___le__);
ZD_MEMBER(MLinExpr___ge__);
ZD_MEMBER(MLinExpr___eq__);
ZD_MEMBER(MLinExpr___ne__);

// In-place multiplication, multiplication and the linear/quadratic split
// (mlinexpr_arith_mul.cpp).
ZD_MEMBER(MLinExpr___imul__);
ZD_MEMBER(MLinExpr__imul_compact_scalar);
ZD_MEMBER(MLinExpr__imul_compact_ndarray);
ZD_MEMBER(MLinExpr__imul_compact_spmatrix);
ZD_MEMBER(MLinExpr__imul_full_spmatrix);
ZD_MEMBER(MLinExpr__imul_scalar);
ZD_MEMBER(MLinExpr__imul_ndarray);
ZD_MEMBER(MLinExpr___mul__);
ZD_MEMBER(MLinExpr__mul_compact_ndarray);
ZD_MEMBER(MLinExpr__mul_ndarray_numpy);
ZD_MEMBER(MLinExpr__mul_full_mlinexpr_mvar);
ZD_MEMBER(MLinExpr___rmul__);
ZD_MEMBER(MLinExpr__split_lin_quad);

#undef ZD_MEMBER
