// Operand classification and the shared operator helpers.
#include "operand.hpp"

#include <iterator>
#include <utility>

namespace operand {

namespace {

// Whether `tp` or one of its bases is a class of the scipy.sparse package.
bool from_scipy_sparse(PyTypeObject *tp) {
    PyObject *mro = tp->tp_mro;
    if (!mro || !PyTuple_Check(mro))
        return false;
    static const char pkg[] = "scipy.sparse";
    const Py_ssize_t n = sizeof pkg - 1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        py::object mod = py::reinterpret_steal<py::object>(
            PyObject_GetAttr(PyTuple_GET_ITEM(mro, i), ZD_STR("__module__").ptr()));
        if (!mod) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                zd::throw_error();
            PyErr_Clear();
            continue;
        }
        if (!PyUnicode_Check(mod.ptr()) || PyUnicode_GET_LENGTH(mod.ptr()) < n)
            continue;
        py::object head = zd::steal(PyUnicode_Substring(mod.ptr(), 0, n));
        if (PyUnicode_CompareWithASCIIString(head.ptr(), pkg) == 0 &&
            (PyUnicode_GET_LENGTH(mod.ptr()) == n || PyUnicode_ReadChar(mod.ptr(), n) == '.'))
            return true;
    }
    return false;
}

} // namespace

bool is_sparse(py::handle o) {
    // A sparse matrix can only exist once scipy.sparse is loaded. While it is
    // not (or is blocked in sys.modules), SciPy is imported only for an
    // object of one of its classes, never just to refuse another operand.
    py::object sp =
        py::reinterpret_steal<py::object>(PyImport_GetModule(ZD_STR("scipy.sparse").ptr()));
    if (!sp && PyErr_Occurred())
        zd::throw_error();
    if (!sp || sp.ptr() == Py_None) {
        if (!from_scipy_sparse(Py_TYPE(o.ptr())))
            return false;
        sp = ZD_IMPORT("scipy.sparse");
    }
    return zd::truthy(sp.attr(ZD_STR("issparse"))(o));
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
