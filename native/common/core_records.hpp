// Record layout of the _core expression objects, shared by _core and every
// module that reads or writes LinExpr/QuadExpr cells field by field.
#pragma once

#include <Python.h>

// A linear expression: constant + sum(coef_list[i] * var_list[i]).
// coef_list holds Python floats, var_list Var objects, both lists of equal
// length; _core's own objects always hold lists, but reads accept None as an
// empty list. Never NULL. The lists _core makes are left out of the cycle
// collector (PyObject_GC_UnTrack): numbers and variables lead back to no
// expression, and collector passes over millions of them cost more than the
// lists themselves.
// cont_ref is None, or another LinExpr whose terms and constant belong to this
// one as well (a pending continuation); _flatten() folds it into the own lists
// and sets cont_ref back to None. Code that joins the lists directly must do
// so only while cont_ref is None.
// clang-format off
struct LinExprObject {
    PyObject_HEAD
    double constant;
    PyObject *coef_list;
    PyObject *var_list;
    PyObject *cont_ref;
};
// clang-format on

// A quadratic expression: linexpr + sum(coeffs[i] * vars1[i] * vars2[i]).
// linexpr is a LinExpr owned by this expression alone; further is reserved
// and never read or written outside _core.
// clang-format off
struct QuadExprObject {
    PyObject_HEAD
    PyObject *linexpr;
    PyObject *coeffs;
    PyObject *vars1;
    PyObject *vars2;
    PyObject *further;
};
// clang-format on

#if SIZEOF_VOID_P == 8
static_assert(sizeof(LinExprObject) == 48, "LinExpr record must be 48 bytes");
static_assert(sizeof(QuadExprObject) == 56, "QuadExpr record must be 56 bytes");
#endif
