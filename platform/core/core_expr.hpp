// Expression side of the stand-in module _core: LinExpr, QuadExpr,
// TempConstr, NLExpr, _ExprTree, GenExpr and the arithmetic of Var.
//
// The module init (core_module.cpp) calls core_add_expr_types() once, after
// Var_Type exists, and plugs the core_var_* functions into Var's slots:
//   Py_nb_add -> core_var_add, Py_nb_subtract -> core_var_sub,
//   Py_nb_multiply -> core_var_mul, Py_nb_true_divide -> core_var_truediv,
//   Py_nb_power -> core_var_pow, Py_nb_negative -> core_var_neg,
//   Py_nb_positive -> core_var_pos, Py_tp_richcompare -> core_var_richcompare.
// Var must then set Py_tp_hash itself (a type with a rich comparison and no
// hash is unhashable), e.g. to an identity hash.
#pragma once

#include <Python.h>

#include "core_records.hpp"

// Defined by the model side (core.hpp); set before core_add_expr_types().
extern PyTypeObject *Var_Type;

// Set by core_add_expr_types(); NULL before.
extern PyTypeObject *LinExpr_Type;
extern PyTypeObject *QuadExpr_Type;
extern PyTypeObject *TempConstr_Type;
extern PyTypeObject *NLExpr_Type;
extern PyTypeObject *ExprTree_Type; // Python name _ExprTree
extern PyTypeObject *GenExpr_Type;

// Creates the expression types and adds LinExpr, QuadExpr, TempConstr,
// NLExpr, _ExprTree, GenExpr and the function _isscalar to `module`.
// Returns 0, or -1 with an exception set.
int core_add_expr_types(PyObject *module);

// Var's number protocol and comparisons (see above).
PyObject *core_var_add(PyObject *a, PyObject *b);
PyObject *core_var_sub(PyObject *a, PyObject *b);
PyObject *core_var_mul(PyObject *a, PyObject *b);
PyObject *core_var_truediv(PyObject *a, PyObject *b);
PyObject *core_var_pow(PyObject *a, PyObject *b, PyObject *mod);
PyObject *core_var_neg(PyObject *a);
PyObject *core_var_pos(PyObject *a);
PyObject *core_var_richcompare(PyObject *a, PyObject *b, int op);

// True for the operands the expression arithmetic takes as one number: Python
// int (bool included) and float, NumPy integer, floating and bool scalars.
// Never raises.
bool core_isscalar(PyObject *obj);

// Hooks the model side may set (optional; NULL means the fallback is used).
//
// Values of variables under their models' current solutions: fills out[i]
// for vars[i], i < n. Returns 0, or -1 with an exception set (for example
// when a model has no solution). Fallback: float(var.X) per variable.
extern int (*core_var_values)(PyObject *const *vars, Py_ssize_t n, double *out);
// Text of a variable inside a printed expression: a new reference to a str,
// or NULL with an exception set. Fallback: var.VarName when it can be read
// and is not empty, else "<Var C{_colno}>".
extern PyObject *(*core_var_label)(PyObject *var);
