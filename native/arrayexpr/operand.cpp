// Operand classification and the shared operator helpers.
#include "operand.hpp"

#include <iterator>
#include <utility>

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
    // The classes held in module globals, in this order.
    static const std::pair<const char *, Kind> by_global[] = {
        {"MLinExpr", Kind::MLinExpr}, {"MVar", Kind::MVar}, {"MQuadExpr", Kind::MQuadExpr},
        {"MNLExpr", Kind::MNLExpr},   {"Var", Kind::Var},   {"NLExpr", Kind::NLExpr},
    };
    static PyObject *names[std::size(by_global)] = {};
    for (size_t i = 0; i < std::size(by_global); ++i) {
        if (!names[i] && !(names[i] = PyUnicode_InternFromString(by_global[i].first)))
            zd::throw_error();
        if (zd::isinstance(o, zd::global(names[i])))
            return by_global[i].second;
    }
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

py::object asarray(py::handle obj) {
    zd::ensure_numpy();
    return zd::steal(PyArray_FROM_O(obj.ptr()));
}

void refuse_value(py::handle value, const char *cls) {
    py::object type_text =
        zd::steal(PyObject_Str(reinterpret_cast<PyObject *>(Py_TYPE(value.ptr()))));
    py::object msg =
        zd::steal(PyUnicode_FromFormat("Cannot assign %U to %s", type_text.ptr(), cls));
    zd::raise_obj(PyExc_ValueError, msg);
}

} // namespace operand
