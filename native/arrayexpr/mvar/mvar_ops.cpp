// MVar: arithmetic operators and comparisons. The operators build nothing
// themselves but the MVar-times-array product; everything else is handed to
// the expression classes' factories and operators.
#include "mvar.hpp"

#include "../cells.hpp"
#include "../ownmembers.hpp"
#include "../temporary.hpp"

namespace {

using operand::not_implemented;

using operand::classify;
using operand::Kind;

// Var, LinExpr, QuadExpr, NLExpr.
bool is_core_expr(Kind k) {
    return k == Kind::Var || k == Kind::LinExpr || k == Kind::QuadExpr || k == Kind::NLExpr;
}

// MVar, MLinExpr, MQuadExpr.
bool is_matrix_expr(Kind k) {
    return k == Kind::MVar || k == Kind::MLinExpr || k == Kind::MQuadExpr;
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
    const Kind k = classify(o);
    mvar::numpy();
    auto product = [&](py::handle a, py::handle b) {
        return reflected ? zd::steal(PyNumber_Multiply(b.ptr(), a.ptr()))
                         : zd::steal(PyNumber_Multiply(a.ptr(), b.ptr()));
    };
    if (k == Kind::MVar) {
        py::object f = zd::global(ZD_STR("MQuadExpr")).attr("_from_mvar_times_mvar");
        return reflected ? f(o, self) : f(self, o);
    }
    if (k == Kind::NDArray) {
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
    if (k == Kind::Number) {
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

// x + sign * y for two MVars of one shape whose sum is in the full state:
// each cell LinExpr(0.0, [1.0, sign], [x_i, y_i]) made at once from the two
// variables, as the sum of their full-state expressions would make it, with
// one coefficient object per value for all cells. Null when the operands do
// not qualify, or when a member that the general path calls has been
// replaced on MVar or MLinExpr (the general path serves them).
py::object mvar_pair_sum(py::handle x, py::handle y, double sign) {
    if (!arrayexpr::own_members())
        return py::object();
    py::object mvar_cls = zd::global(ZD_STR("MVar"));
    if (Py_TYPE(x.ptr()) != Py_TYPE(y.ptr()) ||
        reinterpret_cast<PyObject *>(Py_TYPE(x.ptr())) != mvar_cls.ptr())
        return py::object();
    py::object xa = mvar::vararr(x), ya = mvar::vararr(y);
    PyArrayObject *xv = mvar::as_array(xa), *yv = mvar::as_array(ya);
    if (!PyArray_SAMESHAPE(xv, yv))
        return py::object();
    py::object mle = zd::global(ZD_STR("MLinExpr"));
    py::object shape = shape_of(x);
    if (zd::equals(mle.attr(ZD_STR("_keep_compact")), py::int_(1)) &&
        zd::truthy(mle.attr("_allows_compact")(shape)))
        return py::object();
    py::object var_cls = zd::global(ZD_STR("Var"));
    if (!PyType_Check(var_cls.ptr()))
        return py::object();
    auto *var_type = reinterpret_cast<PyTypeObject *>(var_cls.ptr());
    if (!cells::all_cells_of(xv, var_type) || !cells::all_cells_of(yv, var_type))
        return py::object();
    py::object one = zd::steal(PyFloat_FromDouble(1.0));
    py::object other = zd::steal(PyFloat_FromDouble(1.0 * sign));
    py::object out = cells::pair_cells(xv, yv, [&](PyObject *cx, PyObject *cy) {
        py::object coefs = zd::steal(cells::new_term_list(2));
        py::object vars = zd::steal(cells::new_term_list(2));
        PyList_SET_ITEM(coefs.ptr(), 0, Py_NewRef(one.ptr()));
        PyList_SET_ITEM(coefs.ptr(), 1, Py_NewRef(other.ptr()));
        PyList_SET_ITEM(vars.ptr(), 0, Py_NewRef(cx));
        PyList_SET_ITEM(vars.ptr(), 1, Py_NewRef(cy));
        return cells::new_linexpr(0.0, coefs.release().ptr(), vars.release().ptr()).release().ptr();
    });
    return mle(out);
}

[[noreturn]] void raise_not_enough_dimensions() {
    zd::raise(PyExc_ValueError, "Input operand does not have enough dimensions");
}

} // namespace

py::object MVar__toexpr(const zd::Args &a) {
    return zd::global(ZD_STR("MLinExpr")).attr("_from_mvar")(a[0]);
}

py::object MVar___add__(const zd::Args &a) {
    if (py::object sum = mvar_pair_sum(a[0], a[1], 1.0))
        return sum;
    // The expression of self is ours alone: a number is added into it, while
    // the members that `e + other` would call are MLinExpr's own.
    py::object e = toexpr(a[0]);
    if (py::object sum = mlinexpr::add_into_temporary(e, a[1], true))
        return sum;
    return zd::steal(PyNumber_Add(e.ptr(), a[1].ptr()));
}

py::object MVar___radd__(const zd::Args &a) {
    return zd::steal(PyNumber_Add(a[1].ptr(), toexpr(a[0]).ptr()));
}

py::object MVar___sub__(const zd::Args &a) {
    if (py::object sum = mvar_pair_sum(a[0], a[1], -1.0))
        return sum;
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
    const Kind k = classify(o);
    mvar::numpy();
    py::object two = py::float_(2.0);
    if (k == Kind::NDArray) {
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
    if (k == Kind::Number) {
        if (zd::check(PyObject_RichCompareBool(o.ptr(), two.ptr(), Py_EQ)))
            return zd::steal(PyNumber_Multiply(self.ptr(), self.ptr()));
        return zd::steal(PyNumber_Power(nlform(self).ptr(), o.ptr(), Py_None));
    }
    if (is_core_expr(k) || is_matrix_expr(k))
        return zd::steal(PyNumber_Power(nlform(self).ptr(), o.ptr(), Py_None));
    return not_implemented();
}

py::object MVar___rpow__(const zd::Args &a) {
    py::handle self = a[0], o = a[1];
    const Kind k = classify(o);
    mvar::numpy();
    if (is_core_expr(k) || k == Kind::NDArray || k == Kind::Number) {
        py::object exponent = nlform(self);
        return zd::steal(PyNumber_Power(o.ptr(), exponent.ptr(), Py_None));
    }
    return not_implemented();
}

namespace {

// self @ o (self_left) or o @ self: a matrix operand makes an MLinExpr, an
// MVar on the right goes through MLinExpr's own product.
py::object matmul_with(py::handle self, py::handle o, bool self_left) {
    const Kind k = classify(o);
    mvar::numpy();
    ZD_IMPORT("scipy.sparse");
    if (k == Kind::NDArray || k == Kind::Sparse) {
        py::object mle = zd::global(ZD_STR("MLinExpr"));
        if (self_left)
            return mle.attr("_from_matmul_left")(py::arg("x") = self, py::arg("A") = o);
        return mle.attr("_from_matmul_right")(py::arg("A") = o, py::arg("x") = self);
    }
    if (self_left && k == Kind::MVar)
        return zd::steal(PyNumber_MatrixMultiply(toexpr(self).ptr(), o.ptr()));
    if (k == Kind::Number)
        raise_not_enough_dimensions();
    return not_implemented();
}

} // namespace

py::object MVar___matmul__(const zd::Args &a) {
    return matmul_with(a[0], a[1], true);
}

py::object MVar___rmatmul__(const zd::Args &a) {
    return matmul_with(a[0], a[1], false);
}

py::object MVar___rtruediv__(const zd::Args &a) {
    py::handle self = a[0], o = a[1];
    const Kind k = classify(o);
    mvar::numpy();
    ZD_IMPORT("scipy.sparse");
    if (k == Kind::Number || k == Kind::NDArray || is_core_expr(k)) {
        py::object denominator = nlform(self);
        return zd::steal(PyNumber_TrueDivide(o.ptr(), denominator.ptr()));
    }
    if (k == Kind::Sparse) {
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
