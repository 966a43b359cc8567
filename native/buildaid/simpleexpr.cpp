// Expression normalisation: _simpleexpr turns one argument into a new scalar
// expression of the core module; _convert_mle_to_predvar_predval recognises an
// MLinExpr whose every cell is one variable with coefficient 1 plus a constant.
#include "buildaid.hpp"
#include "zd_numpy.hpp"

#include <cmath>

namespace buildaid {
namespace {

py::object call_method(py::handle obj, py::handle name) {
    return zd::steal(PyObject_CallMethodNoArgs(obj.ptr(), name.ptr()));
}

py::object normalized(py::object expr) {
    call_method(expr, ZD_STR("_normalize"));
    return expr;
}

bool is_size_zero(py::handle expr) {
    py::object n = call_method(expr, ZD_STR("size"));
    py::object zero = py::int_(0);
    return zd::check(PyObject_RichCompareBool(n.ptr(), zero.ptr(), Py_EQ)) == 1;
}

py::object make(PyTypeObject *type, py::handle arg) {
    return zd::steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(type), arg.ptr()));
}

[[noreturn]] void raise_unconvertible() {
    py::object exc = zd::global(ZD_STR("TovrixError"))(
        -1, py::str("Unable to convert argument to an expression"));
    if (!PyExceptionInstance_Check(exc.ptr()))
        zd::raise(PyExc_TypeError, "exceptions must derive from BaseException");
    PyErr_SetObject(PyExceptionInstance_Class(exc.ptr()), exc.ptr());
    zd::throw_error();
}

} // namespace

py::object py_simpleexpr(const zd::Args &a) {
    py::handle arg = a[0];
    if (truthy(zd::global(ZD_STR("_isscalar"))(arg)) || isinstance_global(arg, ZD_STR("Var")) ||
        PyObject_TypeCheck(arg.ptr(), LinExpr_type))
        return normalized(make(LinExpr_type, arg));
    if (isinstance_global(arg, ZD_STR("MVar")) || isinstance_global(arg, ZD_STR("MLinExpr")))
        return make(LinExpr_type, call_method(arg, ZD_STR("item")));
    if (isinstance_global(arg, ZD_STR("MQuadExpr"))) {
        if (!zd::optimized()) {
            py::object compact = arg.attr(ZD_STR("_is_compact"));
            ZD_ASSERT(!truthy(compact));
        }
        py::object q = call_method(arg, ZD_STR("item"));
        if (is_size_zero(q))
            return normalized(call_method(q, ZD_STR("getLinExpr")));
        return normalized(q);
    }
    if (PyObject_TypeCheck(arg.ptr(), QuadExpr_type)) {
        if (is_size_zero(arg))
            return normalized(make(LinExpr_type, call_method(arg, ZD_STR("getLinExpr"))));
        return normalized(make(QuadExpr_type, arg));
    }
    raise_unconvertible();
}

namespace {

constexpr double kTolerance = 1e-06;

// The record of a plain LinExpr whose own lists hold all its terms (no
// continuation), or null for any other cell, which is read through its
// methods.
LinExprObject *plain_record(PyObject *cell) {
    if (Py_TYPE(cell) != LinExpr_type)
        return nullptr;
    auto *r = reinterpret_cast<LinExprObject *>(cell);
    if (r->cont_ref == Py_None && PyList_CheckExact(r->coef_list) &&
        PyList_CheckExact(r->var_list) &&
        PyList_GET_SIZE(r->coef_list) == PyList_GET_SIZE(r->var_list))
        return r;
    return nullptr;
}

// Whether a cell is one term with coefficient 1 (within the tolerance).
bool is_unit(py::handle cell) {
    if (LinExprObject *r = plain_record(cell.ptr())) {
        if (PyList_GET_SIZE(r->coef_list) != 1)
            return false;
        PyObject *c = PyList_GET_ITEM(r->coef_list, 0);
        // Only a float coefficient is read in place: converting anything
        // else may run code that changes the cell under us.
        if (PyFloat_CheckExact(c))
            return std::fabs(PyFloat_AS_DOUBLE(c) - 1.0) < kTolerance;
    }
    py::object n = call_method(cell, ZD_STR("size"));
    py::object one = py::int_(1);
    if (zd::check(PyObject_RichCompareBool(n.ptr(), one.ptr(), Py_NE)))
        return false;
    py::object zero = py::int_(0);
    py::object coef =
        zd::steal(PyObject_CallMethodOneArg(cell.ptr(), ZD_STR("getCoeff").ptr(), zero.ptr()));
    py::object diff = zd::steal(PyNumber_Subtract(coef.ptr(), one.ptr()));
    py::object dist = zd::steal(PyNumber_Absolute(diff.ptr()));
    py::object tol = py::float_(kTolerance);
    return !zd::check(PyObject_RichCompareBool(dist.ptr(), tol.ptr(), Py_GE));
}

// cell.getVar(0), read from the record where the cell is a plain LinExpr.
py::object first_var(py::handle cell) {
    LinExprObject *r = plain_record(cell.ptr());
    if (r && PyList_GET_SIZE(r->var_list) > 0)
        return zd::borrow(PyList_GET_ITEM(r->var_list, 0));
    py::object zero = py::int_(0);
    return zd::steal(PyObject_CallMethodOneArg(cell.ptr(), ZD_STR("getVar").ptr(), zero.ptr()));
}

// Cell i of a C-contiguous object array, with a reference of our own. The
// array is read anew each time: the cells' methods may replace cells or
// resize the array.
py::object cell_at(PyArrayObject *arr, npy_intp i) {
    PyObject *cell = reinterpret_cast<PyObject **>(PyArray_DATA(arr))[i];
    return zd::borrow(cell ? cell : Py_None);
}

} // namespace

py::object py_convert_mle_to_predvar_predval(const zd::Args &a) {
    zd::import("numpy");
    zd::ensure_numpy();
    py::object mle = zd::borrow(a[0].ptr());
    if (truthy(mle.attr(ZD_STR("_is_compact"))))
        mle = call_method(mle, ZD_STR("_to_full"));
    py::object learr_obj = mle.attr(ZD_STR("_learr"));
    // The cells in row-major order, through a C-contiguous object array
    // (the array itself when it is one already).
    py::object learr =
        zd::steal(PyArray_FromAny(learr_obj.ptr(), PyArray_DescrFromType(NPY_OBJECT), 0, 0,
                                  NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
    auto *arr = reinterpret_cast<PyArrayObject *>(learr.ptr());
    // Every cell is tested before any variable is read.
    for (npy_intp i = 0; i < PyArray_SIZE(arr); ++i)
        if (!is_unit(cell_at(arr, i)))
            return py::make_tuple(py::none(), py::none());
    py::object vars =
        zd::steal(PyArray_SimpleNew(PyArray_NDIM(arr), PyArray_DIMS(arr), NPY_OBJECT));
    auto *varr = reinterpret_cast<PyArrayObject *>(vars.ptr());
    npy_intp n = PyArray_SIZE(varr);
    for (npy_intp i = 0; i < n; ++i) {
        if (PyArray_SIZE(arr) != n)
            zd::raise(PyExc_RuntimeError, "array changed size during iteration");
        py::object v = first_var(cell_at(arr, i));
        Py_XSETREF(reinterpret_cast<PyObject **>(PyArray_DATA(varr))[i], v.release().ptr());
    }
    py::object mvar = zd::global(ZD_STR("MVar"))(vars);
    py::object consts = call_method(mle, ZD_STR("getConstant"));
    py::object neg = zd::steal(PyNumber_Negative(consts.ptr()));
    return py::make_tuple(mvar, neg);
}

} // namespace buildaid
