// Internal header of the module zudirivi._arrayexpr: the core types and the
// pointer function bound at load, and the class-definition entry points that
// the module frame calls in creation order.
#pragma once

#include "core_records.hpp"
#include "zd.hpp"

namespace arrayexpr {

// Bound at load from zudirivi._core (instance sizes tested there); borrowed,
// kept alive by the module's own reference to them.
extern PyTypeObject *LinExpr_type;
extern PyTypeObject *QuadExpr_type;

// Bound at load from zudirivi._util's C-function table: pointer wrapper in,
// raw library pointer out (NULL with an exception set on failure).
using ptr_fn = void *(*)(PyObject *);
extern ptr_fn ptr;

// Type tests against the bound core types (subclasses included).
inline bool is_linexpr(PyObject *o) {
    return PyObject_TypeCheck(o, LinExpr_type);
}
inline bool is_quadexpr(PyObject *o) {
    return PyObject_TypeCheck(o, QuadExpr_type);
}

// The bases `(object,)` of a plain class.
inline py::tuple object_bases() {
    return py::make_tuple(zd::borrow(reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
}

// The TovrixError(-1, ...) that `sum` raises for an axis that
// `_axis_to_axeslist` refused.
inline py::object bad_axis_error(py::handle axis) {
    py::object text = zd::steal(PyObject_Format(axis.ptr(), nullptr));
    py::object msg = zd::steal(PyUnicode_FromFormat("Invalid axis specifications: %U", text.ptr()));
    return zd::global(ZD_STR("TovrixError"))(-1, msg);
}

} // namespace arrayexpr

// Class and function definitions, one per unit, called by the module frame in
// this order.
void define_MVar();
void define_MLinExpr();
void define_MQuadExpr();
void define_MConstr();
void define_MQConstr();
void define_MGenConstr();
void define_mfunctions();
void define_MNLExpr();
