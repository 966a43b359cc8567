// Shape helpers: broadcast shape, matrix-product shape, axis lists of sums.
#include "util.hpp"

#include <string>

namespace zdutil {
namespace {

npy_intp dim_from(PyObject *item) {
    Py_ssize_t d = PyNumber_AsSsize_t(item, PyExc_OverflowError);
    if (d == -1 && PyErr_Occurred())
        throw python_error();
    if (d < 0)
        raisef(PyExc_ValueError, "negative dimensions are not allowed (got %zd)", d);
    return static_cast<npy_intp>(d);
}

Shape shape_from_sequence(PyObject *obj) {
    // A tuple copy: converting an item can run Python code that changes a list.
    py::object seq = steal(PySequence_Tuple(obj));
    Py_ssize_t n = PyTuple_GET_SIZE(seq.ptr());
    Shape shape(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        shape[static_cast<size_t>(i)] = dim_from(PyTuple_GET_ITEM(seq.ptr(), i));
    return shape;
}

// Positive or negative axis `a` of `ndim` axes, as 0 .. ndim-1.
Py_ssize_t normalize_axis(PyObject *axis, Py_ssize_t ndim) {
    Py_ssize_t a = PyNumber_AsSsize_t(axis, PyExc_IndexError);
    if (a == -1 && PyErr_Occurred())
        throw python_error();
    Py_ssize_t n = a < 0 ? a + ndim : a;
    if (n < 0 || n >= ndim)
        raisef(PyExc_IndexError, "axis %zd is out of bounds for an array of dimension %zd", a,
               ndim);
    return n;
}

} // namespace

Shape parse_shape(PyObject *obj) {
    if (PyTuple_Check(obj) || PyList_Check(obj))
        return shape_from_sequence(obj);
    if (PyIndex_Check(obj)) {
        Py_ssize_t d = PyNumber_AsSsize_t(obj, PyExc_OverflowError);
        if (!(d == -1 && PyErr_Occurred())) {
            if (d < 0)
                raisef(PyExc_ValueError, "negative dimensions are not allowed (got %zd)", d);
            return Shape{static_cast<npy_intp>(d)};
        }
        // An integer array of one or more dimensions has __index__ but is a sequence.
        if (!PyErr_ExceptionMatches(PyExc_TypeError) || !PySequence_Check(obj))
            throw python_error();
        PyErr_Clear();
        return shape_from_sequence(obj);
    }
    if (PySequence_Check(obj) && !PyUnicode_Check(obj) && !PyBytes_Check(obj))
        return shape_from_sequence(obj);
    raisef(PyExc_TypeError, "expected a shape (an int or a tuple of ints), got %.200s",
           Py_TYPE(obj)->tp_name);
}

py::object shape_tuple(const Shape &shape) {
    py::object t = steal(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    for (size_t i = 0; i < shape.size(); ++i)
        PyTuple_SET_ITEM(t.ptr(), static_cast<Py_ssize_t>(i),
                         steal(PyLong_FromSsize_t(shape[i])).release().ptr());
    return t;
}

std::string shape_text(const Shape &shape) {
    std::string s = "(";
    for (size_t i = 0; i < shape.size(); ++i) {
        if (i)
            s += ", ";
        s += std::to_string(shape[i]);
    }
    if (shape.size() == 1)
        s += ",";
    return s + ")";
}

bool broadcast_pair(const Shape &a, const Shape &b, Shape &out) {
    const Shape &longer = a.size() >= b.size() ? a : b;
    const Shape &shorter = a.size() >= b.size() ? b : a;
    Shape res(longer);
    size_t off = longer.size() - shorter.size();
    for (size_t i = 0; i < shorter.size(); ++i) {
        npy_intp x = longer[off + i], y = shorter[i];
        if (x == y || y == 1)
            res[off + i] = x;
        else if (x == 1)
            res[off + i] = y;
        else
            return false;
    }
    out = std::move(res);
    return true;
}

PyObject *py_broadcast_shapes(PyObject *, PyObject *args) {
    ZDU_TRY
    Shape result;
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Shape s = parse_shape(PyTuple_GET_ITEM(args, i));
        Shape joined;
        if (!broadcast_pair(result, s, joined))
            raisef(PyExc_ValueError, "shapes %s and %s cannot be broadcast together",
                   shape_text(result).c_str(), shape_text(s).c_str());
        result = std::move(joined);
    }
    return shape_tuple(result).release().ptr();
    ZDU_CATCH(nullptr)
}

// NumPy's matmul shape rule for operands of one or two dimensions: a 1-D left
// operand is one row, a 1-D right operand one column, and those added lengths
// are dropped. Operands of more dimensions are refused, since the expression
// products index only the first two axes.
PyObject *py_matmul_shape(PyObject *, PyObject *args, PyObject *kwargs) {
    ZDU_TRY
    static const char *kwlist[] = {"shape_left", "shape_right", "do_raise", nullptr};
    PyObject *left_obj, *right_obj, *do_raise_obj = Py_True;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:_matmul_shape",
                                     const_cast<char **>(kwlist), &left_obj, &right_obj,
                                     &do_raise_obj))
        return nullptr;
    int do_raise = PyObject_IsTrue(do_raise_obj);
    if (do_raise < 0)
        return nullptr;
    Shape left = parse_shape(left_obj), right = parse_shape(right_obj);

    std::string problem;
    if (left.empty() || right.empty()) {
        problem = std::string("matrix product: the ") + (left.empty() ? "left" : "right") +
                  " operand has no dimensions (shapes " + shape_text(left) + " and " +
                  shape_text(right) + ")";
    } else if (left.size() > 2 || right.size() > 2) {
        problem = "matrix product: operands of more than two dimensions are not supported "
                  "(shapes " +
                  shape_text(left) + " and " + shape_text(right) + ")";
    } else {
        npy_intp inner_left = left.back();
        npy_intp inner_right = right[0];
        if (inner_left != inner_right)
            problem = "matrix product: shapes " + shape_text(left) + " and " + shape_text(right) +
                      " do not match (inner dimensions " + std::to_string(inner_left) + " and " +
                      std::to_string(inner_right) + ")";
    }
    if (!problem.empty()) {
        if (!do_raise)
            Py_RETURN_NONE;
        PyErr_SetString(PyExc_ValueError, problem.c_str());
        return nullptr;
    }
    Shape result;
    if (left.size() == 2)
        result.push_back(left[0]);
    if (right.size() == 2)
        result.push_back(right[1]);
    return shape_tuple(result).release().ptr();
    ZDU_CATCH(nullptr)
}

// Axis map of a sum, used as op_axes of the reducing iterator: -1 for a summed
// axis, else the axis's position in the result.
PyObject *py_axis_to_axeslist(PyObject *, PyObject *args, PyObject *kwargs) {
    ZDU_TRY
    static const char *kwlist[] = {"axis", "ndim", nullptr};
    PyObject *axis, *ndim_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:_axis_to_axeslist",
                                     const_cast<char **>(kwlist), &axis, &ndim_obj))
        return nullptr;
    Py_ssize_t ndim = PyNumber_AsSsize_t(ndim_obj, PyExc_OverflowError);
    if (ndim == -1 && PyErr_Occurred())
        return nullptr;
    if (ndim < 0)
        raisef(PyExc_ValueError, "ndim must not be negative (got %zd)", ndim);

    std::vector<char> summed(static_cast<size_t>(ndim), axis == Py_None);
    if (axis != Py_None) {
        if (PyTuple_Check(axis) || PyList_Check(axis)) {
            py::object axes = steal(PySequence_Tuple(axis));
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(axes.ptr()); ++i) {
                Py_ssize_t a = normalize_axis(PyTuple_GET_ITEM(axes.ptr(), i), ndim);
                if (summed[static_cast<size_t>(a)])
                    raisef(PyExc_IndexError, "axis %zd is given more than once", a);
                summed[static_cast<size_t>(a)] = 1;
            }
        } else {
            summed[static_cast<size_t>(normalize_axis(axis, ndim))] = 1;
        }
    }
    py::object out = steal(PyList_New(ndim));
    long next = 0;
    for (Py_ssize_t i = 0; i < ndim; ++i)
        PyList_SET_ITEM(
            out.ptr(), i,
            steal(PyLong_FromLong(summed[static_cast<size_t>(i)] ? -1 : next++)).release().ptr());
    return out.release().ptr();
    ZDU_CATCH(nullptr)
}

} // namespace zdutil
