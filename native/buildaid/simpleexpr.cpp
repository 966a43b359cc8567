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

// The only variable of a cell that is one variable with coefficient 1
// (within the tolerance), or null when the cell is anything else. A plain
// LinExpr without continuation is read from its record; any other cell
// through its methods.
PyObject *unit_var(PyObject *cell, py::object &hold) {
    if (cell && Py_TYPE(cell) == LinExpr_type) {
        auto *r = reinterpret_cast<LinExprObject *>(cell);
        if (r->cont_ref == Py_None && PyList_CheckExact(r->coef_list) &&
            PyList_CheckExact(r->var_list) &&
            PyList_GET_SIZE(r->coef_list) == PyList_GET_SIZE(r->var_list)) {
            if (PyList_GET_SIZE(r->coef_list) != 1)
                return nullptr;
            PyObject *c = PyList_GET_ITEM(r->coef_list, 0);
            // Only a float coefficient is read in place: converting anything
            // else may run code that changes the cell under us.
            if (PyFloat_CheckExact(c)) {
                if (std::fabs(PyFloat_AS_DOUBLE(c) - 1.0) >= kTolerance)
                    return nullptr;
                return PyList_GET_ITEM(r->var_list, 0);
            }
        }
    }
    py::handle le(cell ? cell : Py_None);
    py::object n = call_method(le, ZD_STR("size"));
    py::object one = py::int_(1);
    if (zd::check(PyObject_RichCompareBool(n.ptr(), one.ptr(), Py_NE)))
        return nullptr;
    py::object zero = py::int_(0);
    py::object coef =
        zd::steal(PyObject_CallMethodOneArg(le.ptr(), ZD_STR("getCoeff").ptr(), zero.ptr()));
    py::object diff = zd::steal(PyNumber_Subtract(coef.ptr(), one.ptr()));
    py::object dist = zd::steal(PyNumber_Absolute(diff.ptr()));
    py::object tol = py::float_(kTolerance);
    if (zd::check(PyObject_RichCompareBool(dist.ptr(), tol.ptr(), Py_GE)))
        return nullptr;
    hold = zd::steal(PyObject_CallMethodOneArg(le.ptr(), ZD_STR("getVar").ptr(), zero.ptr()));
    return hold.ptr();
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
    npy_intp n = PyArray_SIZE(arr);
    auto **cells = reinterpret_cast<PyObject **>(PyArray_DATA(arr));
    py::object vars =
        zd::steal(PyArray_SimpleNew(PyArray_NDIM(arr), PyArray_DIMS(arr), NPY_OBJECT));
    auto **out =
        reinterpret_cast<PyObject **>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(vars.ptr())));
    for (npy_intp i = 0; i < n; ++i) {
        py::object hold;
        PyObject *v = unit_var(cells[i], hold);
        if (!v)
            return py::make_tuple(py::none(), py::none());
        Py_INCREF(v);
        Py_XSETREF(out[i], v);
    }
    py::object mvar = zd::global(ZD_STR("MVar"))(vars);
    py::object consts = call_method(mle, ZD_STR("getConstant"));
    py::object neg = zd::steal(PyNumber_Negative(consts.ptr()));
    return py::make_tuple(mvar, neg);
}

} // namespace buildaid
