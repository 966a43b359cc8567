// MVar: arithmetic operators and comparisons. The operators build nothing
// themselves but the MVar-times-array product; everything else is handed to
// the expression classes' factories and operators.
#include "mvar.hpp"

namespace {

using operand::is_ndarray;
using operand::is_scalar;
using operand::is_sparse;
using operand::isinst_g;
using operand::not_implemented;

// Var, LinExpr, QuadExpr, NLExpr, in this order.
bool is_core_expr(py::handle o) {
    return isinst_g(o, ZD_STR("Var")) || arrayexpr::is_linexpr(o.ptr()) ||
           arrayexpr::is_quadexpr(o.ptr()) || isinst_g(o, ZD_STR("NLExpr"));
}

// MVar, MLinExpr, MQuadExpr, in this order.
bool is_matrix_expr(py::handle o) {
    return isinst_g(o, ZD_STR("MVar")) || isinst_g(o, ZD_STR("MLinExpr")) ||
           isinst_g(o, ZD_STR("MQuadExpr"));
}

py::object toexpr(py::handle self) {
    return zd::steal(PyObject_CallMethodNoArgs(self.ptr(), ZD_STR("_toexpr").ptr()));
}

py::object nlform(py::handle self) {
    return zd::global(ZD_STR("MNLExpr")).attr("_from_mvar")(self);
}

py::object shape_of(py::handle o) {
    return zd::steal(PyObject_GetAttr(o.ptr(), ZD_STR("shape").ptr()));
}

// Numeric arrays multiply into LinExpr cells cell by cell; other dtypes
// (object arrays of expressions, ...) must take the expression path.
bool numeric_dtype(py::handle arr) {
    char kind = PyArray_DESCR(mvar::as_array(arr))->kind;
    return kind == 'i' || kind == 'u' || kind == 'f';
}

// x * o (reflected when `left` is the other operand).
py::object multiply(py::handle self, py::handle o, bool reflected) {
    mvar::numpy();
    auto product = [&](py::handle a, py::handle b) {
        return reflected ? zd::steal(PyNumber_Multiply(b.ptr(), a.ptr()))
                         : zd::steal(PyNumber_Multiply(a.ptr(), b.ptr()));
    };
    if (isinst_g(o, ZD_STR("MVar"))) {
        py::object f = zd::global(ZD_STR("MQuadExpr")).attr("_from_mvar_times_mvar");
        return reflected ? f(o, self) : f(self, o);
    }
    if (is_ndarray(o)) {
        py::object bs = zd::global(ZD_STR("_broadcast_shapes"));
        py::object shape =
            reflected ? bs(shape_of(o), shape_of(self)) : bs(shape_of(self), shape_of(o));
        py::object mle = zd::global(ZD_STR("MLinExpr"));
        bool compact = zd::check(PyObject_IsTrue(
                           zd::call_method(mle, ZD_STR("_allows_compact"), shape).ptr())) == 1;
        if (compact || !numeric_dtype(o))
            return product(toexpr(self), o);
        return mle(product(mvar::vararr(self), o));
    }
    if (is_scalar(o)) {
        py::object ret = toexpr(self);
        return zd::steal(PyNumber_InPlaceMultiply(ret.ptr(), o.ptr()));
    }
    return product(toexpr(self), o);
}

py::object compare(py::handle self, py::handle rhs, const char *sense) {
    py::object sense_value =
        zd::steal(PyObject_GetAttrString(zd::global(ZD_STR("TVX")).ptr(), sense));
    return zd::global(ZD_STR("TempConstr"))(self, sense_value, rhs);
}

[[noreturn]] void raise_not_enough_dimensions() {
    zd::raise(PyExc_ValueError, "Input operand does not have enough dimensions");
}

} // namespace

py::object MVar__toexpr(const zd::Args &a) {
    return zd::global(ZD_STR("MLinExpr")).attr("_from_mvar")(a[0]);
}

py::object MVar___add__(const zd::Args &a) {
    return zd::steal(PyNumber_Add(toexpr(a[0]).ptr(), a[1].ptr()));
}

py::object MVar___radd__(const zd::Args &a) {
    return zd::steal(PyNumber_Add(a[1].ptr(), toexpr(a[0]).ptr()));
}

py::object MVar___sub__(const zd::Args &a) {
    return zd::steal(PyNumber_Subtract(toexpr(a[0]).ptr(), a[1].ptr()));
}

py::object MVar___rsub__(const zd::Args &a) {
    return zd::steal(PyNumber_Subtract(a[1].ptr(), toexpr(a[0]).ptr()));
}

py::object MVar___truediv__(const zd::Args &a) {
    return zd::steal(PyNumber_TrueDivide(toexpr(a[0]).ptr(), a[1].ptr()));
}

py::object MVar___mul__(const zd::Args &a) {
    return multiply(a[0], a[1], false);
}

py::object MVar___rmul__(const zd::Args &a) {
    return multiply(a[0], a[1], true);
}

py::object MVar___pow__(const zd::Args &a) {
    py::handle self = a[0], o = a[1];
    mvar::numpy();
    py::object two = py::float_(2.0);
    if (is_ndarray(o)) {
        if (PyArray_SIZE(mvar::as_array(o)) == 1) {
            py::object item = zd::call_method(o, ZD_STR("item"));
            if (zd::check(PyObject_RichCompareBool(item.ptr(), two.ptr(), Py_EQ))) {
                py::object shape =
                    zd::global(ZD_STR("_broadcast_shapes"))(shape_of(self), shape_of(o));
                py::object base = zd::steal(
                    PyObject_CallMethodOneArg(self.ptr(), ZD_STR("reshape").ptr(), shape.ptr()));
                return zd::steal(PyNumber_Multiply(base.ptr(), base.ptr()));
            }
        }
        return zd::steal(PyNumber_Power(nlform(self).ptr(), o.ptr(), Py_None));
    }
    if (is_scalar(o)) {
        if (zd::check(PyObject_RichCompareBool(o.ptr(), two.ptr(), Py_EQ)))
            return zd::steal(PyNumber_Multiply(self.ptr(), self.ptr()));
        return zd::steal(PyNumber_Power(nlform(self).ptr(), o.ptr(), Py_None));
    }
    if (is_core_expr(o) || is_matrix_expr(o))
        return zd::steal(PyNumber_Power(nlform(self).ptr(), o.ptr(), Py_None));
    return not_implemented();
}

py::object MVar___rpow__(const zd::Args &a) {
    py::handle self = a[0], o = a[1];
    mvar::numpy();
    if (is_core_expr(o) || is_ndarray(o) || is_scalar(o)) {
        py::object exponent = nlform(self);
        return zd::steal(PyNumber_Power(o.ptr(), exponent.ptr(), Py_None));
    }
    return not_implemented();
}

py::object MVar___matmul__(const zd::Args &a) {
    py::handle self = a[0], o = a[1];
    mvar::numpy();
    ZD_IMPORT("scipy.sparse");
    if (is_ndarray(o) || is_sparse(o))
        return zd::global(ZD_STR("MLinExpr"))
            .attr("_from_matmul_left")(py::arg("x") = self, py::arg("A") = o);
    if (isinst_g(o, ZD_STR("MVar")))
        return zd::steal(PyNumber_MatrixMultiply(toexpr(self).ptr(), o.ptr()));
    if (is_scalar(o))
        raise_not_enough_dimensions();
    return not_implemented();
}

py::object MVar___rmatmul__(const zd::Args &a) {
    py::handle self = a[0], o = a[1];
    mvar::numpy();
    ZD_IMPORT("scipy.sparse");
    if (is_ndarray(o) || is_sparse(o))
        return zd::global(ZD_STR("MLinExpr"))
            .attr("_from_matmul_right")(py::arg("A") = o, py::arg("x") = self);
    if (is_scalar(o))
        raise_not_enough_dimensions();
    return not_implemented();
}

py::object MVar___rtruediv__(const zd::Args &a) {
    py::handle self = a[0], o = a[1];
    mvar::numpy();
    ZD_IMPORT("scipy.sparse");
    if (is_scalar(o) || is_ndarray(o) || is_core_expr(o)) {
        py::object denominator = nlform(self);
        return zd::steal(PyNumber_TrueDivide(o.ptr(), denominator.ptr()));
    }
    if (is_sparse(o)) {
        py::object denominator = nlform(self);
        py::object dense = zd::call_method(o, ZD_STR("toarray"));
        return zd::steal(PyNumber_TrueDivide(dense.ptr(), denominator.ptr()));
    }
    return not_implemented();
}

py::object MVar___neg__(const zd::Args &a) {
    py::object minus_one = py::int_(-1);
    return zd::steal(PyNumber_Multiply(a[0].ptr(), minus_one.ptr()));
}

py::object MVar___pos__(const zd::Args &a) {
    return zd::borrow(a[0].ptr());
}

py::object MVar___le__(const zd::Args &a) {
    return compare(a[0], a[1], "LESS_EQUAL");
}

py::object MVar___ge__(const zd::Args &a) {
    return compare(a[0], a[1], "GREATER_EQUAL");
}

py::object MVar___eq__(const zd::Args &a) {
    return compare(a[0], a[1], "EQUAL");
}

py::object MVar___ne__(const zd::Args &) {
    py::object err = zd::global(ZD_STR("TovrixError"))(-1, "Inequality constraints not supported");
    zd::raise_instance(err);
}
