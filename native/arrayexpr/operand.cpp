// Operand classification and the shared operator helpers.
#include "operand.hpp"

namespace operand {

bool is_sparse(py::handle o) {
    return zd::truthy(ZD_IMPORT("scipy.sparse").attr(ZD_STR("issparse"))(o));
}

Kind classify(py::handle o) {
    if (is_ndarray(o))
        return Kind::NDArray;
    if (arrayexpr::is_linexpr(o.ptr()))
        return Kind::LinExpr;
    if (arrayexpr::is_quadexpr(o.ptr()))
        return Kind::QuadExpr;
    if (is_mlinexpr(o))
        return Kind::MLinExpr;
    if (is_mvar(o))
        return Kind::MVar;
    if (is_mquadexpr(o))
        return Kind::MQuadExpr;
    if (is_mnlexpr(o))
        return Kind::MNLExpr;
    if (is_var(o))
        return Kind::Var;
    if (is_nlexpr(o))
        return Kind::NLExpr;
    if (is_scalar(o))
        return Kind::Number;
    if (is_sparse(o))
        return Kind::Sparse;
    return Kind::Other;
}

py::object zero_d(py::handle cell) {
    zd::ensure_numpy();
    py::object a = zd::steal(PyArray_SimpleNew(0, nullptr, NPY_OBJECT));
    auto **slot =
        static_cast<PyObject **>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(a.ptr())));
    Py_INCREF(cell.ptr());
    Py_XSETREF(*slot, cell.ptr());
    return a;
}

} // namespace operand
