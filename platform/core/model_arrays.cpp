// Shapes, broadcasting, object arrays and element names for the Model.
#include "model_arrays.hpp"

#include <charconv>
#include <cstring>

namespace core {

std::vector<Py_ssize_t> parse_shape(PyObject *shape) {
    std::vector<Py_ssize_t> out;
    auto dim = [&](PyObject *o) {
        if (!PyIndex_Check(o))
            zd::raisef(PyExc_TypeError, "shape must be an int or a tuple of ints, not %.200s",
                       Py_TYPE(o)->tp_name);
        Py_ssize_t d = PyNumber_AsSsize_t(o, PyExc_ValueError);
        if (d == -1 && PyErr_Occurred())
            throw zd::python_error();
        if (d < 0)
            zd::raise(PyExc_ValueError, "negative dimensions are not allowed");
        out.push_back(d);
    };
    bool array = is_ndarray(shape) && PyArray_NDIM(reinterpret_cast<PyArrayObject *>(shape)) > 0;
    if (array || PyTuple_Check(shape) || PyList_Check(shape) ||
        (!PyIndex_Check(shape) && PySequence_Check(shape) && !PyUnicode_Check(shape) &&
         !PyBytes_Check(shape))) {
        py::object fast = zd::steal(PySequence_Fast(shape, ""));
        Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.ptr());
        if (n > NPY_MAXDIMS)
            zd::raisef(PyExc_ValueError, "shape has more than %d dimensions", NPY_MAXDIMS);
        for (Py_ssize_t i = 0; i < n; ++i)
            dim(PySequence_Fast_GET_ITEM(fast.ptr(), i));
    } else {
        dim(shape);
    }
    shape_size(out); // size check
    return out;
}

Py_ssize_t shape_size(const std::vector<Py_ssize_t> &shape) {
    Py_ssize_t n = 1;
    for (Py_ssize_t d : shape) {
        if (d == 0)
            return 0;
    }
    for (Py_ssize_t d : shape) {
        if (n > PY_SSIZE_T_MAX / d)
            zd::raise(PyExc_ValueError, "array is too big");
        n *= d;
    }
    return n;
}

bool is_ndarray(PyObject *o) {
    zd::ensure_numpy();
    return PyArray_Check(o);
}

py::object contiguous_objects(PyObject *o) {
    zd::ensure_numpy();
    return zd::steal(PyArray_FromAny(o, PyArray_DescrFromType(NPY_OBJECT), 0, 0,
                                     NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
}

std::vector<Py_ssize_t> array_shape(PyObject *arr) {
    PyArrayObject *a = reinterpret_cast<PyArrayObject *>(arr);
    return std::vector<Py_ssize_t>(PyArray_DIMS(a), PyArray_DIMS(a) + PyArray_NDIM(a));
}

py::object shape_tuple(const std::vector<Py_ssize_t> &shape) {
    py::object t = zd::steal(PyTuple_New((Py_ssize_t)shape.size()));
    for (size_t i = 0; i < shape.size(); ++i)
        PyTuple_SET_ITEM(t.ptr(), (Py_ssize_t)i, zd::check(PyLong_FromSsize_t(shape[i])));
    return t;
}

std::vector<Py_ssize_t> object_shape(PyObject *o) {
    py::object s = zd::steal(PyObject_GetAttrString(o, "shape"));
    return parse_shape(s.ptr());
}

void raise_broadcast(PyArrayObject *src, const std::vector<Py_ssize_t> &shape, const char *what) {
    std::vector<Py_ssize_t> from(PyArray_DIMS(src), PyArray_DIMS(src) + PyArray_NDIM(src));
    py::object a = shape_tuple(from), b = shape_tuple(shape);
    zd::raisef(PyExc_ValueError, "%s of shape %S cannot be broadcast to shape %S", what, a.ptr(),
               b.ptr());
}

namespace {

void refuse_non_numeric(PyObject *o, const char *what) {
    if (o == Py_None || PyUnicode_Check(o) || PyBytes_Check(o) || PyDict_Check(o) ||
        PyComplex_Check(o))
        zd::raisef(PyExc_TypeError, "%s must be a number or an array of numbers, not %.200s", what,
                   Py_TYPE(o)->tp_name);
}

py::object double_array(PyObject *o, const char *what) {
    refuse_non_numeric(o, what);
    zd::ensure_numpy();
    PyObject *arr = PyArray_FromAny(o, PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                    NPY_ARRAY_ALIGNED | NPY_ARRAY_NOTSWAPPED, nullptr);
    if (!arr) {
        if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            zd::raisef(PyExc_TypeError, "%s must be a number or an array of numbers", what);
        }
        throw zd::python_error();
    }
    return zd::steal(arr);
}

} // namespace

void broadcast_doubles(PyObject *o, const std::vector<Py_ssize_t> &shape, const char *what,
                       std::vector<double> &out) {
    Py_ssize_t n = shape_size(shape);
    out.resize((size_t)n);
    if (PyFloat_Check(o) || PyLong_Check(o)) {
        double d = PyFloat_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred())
            throw zd::python_error();
        if (std::isnan(d))
            zd::raisef(PyExc_ValueError, "%s is NaN", what);
        std::fill(out.begin(), out.end(), to_lib(d));
        return;
    }
    py::object arr = double_array(o, what);
    size_t k = 0;
    broadcast_each(reinterpret_cast<PyArrayObject *>(arr.ptr()), shape, what, [&](const char *p) {
        double d = *reinterpret_cast<const double *>(p);
        if (std::isnan(d))
            zd::raisef(PyExc_ValueError, "%s contains NaN", what);
        out[k++] = to_lib(d);
    });
}

void flat_doubles(PyObject *o, const char *what, std::vector<double> &out) {
    py::object arr = double_array(o, what);
    py::object c = zd::steal(PyArray_FromAny(arr.ptr(), nullptr, 0, 0,
                                             NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
    const double *p =
        reinterpret_cast<const double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(c.ptr())));
    out.assign(p, p + array_size(c.ptr()));
}

py::object object_array(const std::vector<Py_ssize_t> &shape, std::vector<PyObject *> &items) {
    zd::ensure_numpy();
    std::vector<npy_intp> dims(shape.begin(), shape.end());
    PyObject *arr = PyArray_SimpleNew((int)dims.size(), dims.data(), NPY_OBJECT);
    if (!arr) {
        for (PyObject *o : items)
            Py_DECREF(o);
        items.clear();
        throw zd::python_error();
    }
    // A new object array holds NULLs; the cells take over our references.
    PyObject **cells = object_data(arr);
    for (size_t i = 0; i < items.size(); ++i)
        cells[i] = items[i];
    items.clear();
    return zd::steal(arr);
}

void make_names(PyObject *name, const std::vector<Py_ssize_t> &shape, Names &out) {
    out.own.clear();
    out.ptrs.clear();
    if (!name || name == Py_None)
        return;
    Py_ssize_t n = shape_size(shape);
    if (PyUnicode_Check(name)) {
        Py_ssize_t len;
        const char *prefix = PyUnicode_AsUTF8AndSize(name, &len);
        if (!prefix)
            throw zd::python_error();
        if (len == 0)
            return;
        if (std::memchr(prefix, 0, (size_t)len))
            zd::raise(PyExc_ValueError, "name contains a NUL");
        if (shape.empty()) {
            out.own.emplace_back(prefix, (size_t)len);
        } else {
            // prefix[i,j,...] in C order, all in one buffer (NUL-separated):
            // one allocation instead of one per name.
            std::string all;
            all.reserve((size_t)n * ((size_t)len + 3 + shape.size() * 4));
            std::vector<size_t> starts((size_t)n);
            std::vector<Py_ssize_t> idx(shape.size(), 0);
            char buf[32];
            for (Py_ssize_t k = 0; k < n; ++k) {
                starts[(size_t)k] = all.size();
                all.append(prefix, (size_t)len);
                all.push_back('[');
                for (size_t d = 0; d < idx.size(); ++d) {
                    if (d)
                        all.push_back(',');
                    auto r = std::to_chars(buf, buf + sizeof buf, idx[d]);
                    all.append(buf, r.ptr);
                }
                all.push_back(']');
                all.push_back('\0');
                for (size_t d = idx.size(); d-- > 0;) {
                    if (++idx[d] < shape[d])
                        break;
                    idx[d] = 0;
                }
            }
            out.own.push_back(std::move(all));
            const char *base = out.own.back().c_str();
            out.ptrs.reserve((size_t)n);
            for (size_t st : starts)
                out.ptrs.push_back(base + st);
            return;
        }
    } else {
        py::object arr = contiguous_objects(name);
        out.own.reserve((size_t)n);
        broadcast_each(reinterpret_cast<PyArrayObject *>(arr.ptr()), shape, "name",
                       [&](const char *p) {
                           PyObject *o = *reinterpret_cast<PyObject *const *>(p);
                           if (!o || !PyUnicode_Check(o))
                               zd::raisef(PyExc_TypeError, "names must be str, not %.200s",
                                          o ? Py_TYPE(o)->tp_name : "NULL");
                           Py_ssize_t len;
                           const char *s = PyUnicode_AsUTF8AndSize(o, &len);
                           if (!s)
                               throw zd::python_error();
                           if (std::memchr(s, 0, (size_t)len))
                               zd::raise(PyExc_ValueError, "name contains a NUL");
                           out.own.emplace_back(s, (size_t)len);
                       });
    }
    out.ptrs.reserve(out.own.size());
    for (const std::string &s : out.own)
        out.ptrs.push_back(s.c_str());
}

const ArrayClasses *array_classes() {
    static ArrayClasses classes;
    static bool ready = false;
    if (ready)
        return &classes;
    PyObject *mod = PyImport_GetModule(ZD_STR("zudirivi._arrayexpr").ptr());
    if (!mod) {
        PyErr_Clear();
        return nullptr;
    }
    py::object m = zd::steal(mod);
    static const char *const names[] = {"MVar",    "MLinExpr", "MQuadExpr", "MNLExpr",
                                        "MConstr", "MQConstr", "MGenConstr"};
    PyTypeObject *found[7];
    for (int i = 0; i < 7; ++i) {
        PyObject *c = PyObject_GetAttrString(mod, names[i]);
        if (!c || !PyType_Check(c)) {
            // not (fully) there yet
            Py_XDECREF(c);
            for (int j = 0; j < i; ++j)
                Py_DECREF(reinterpret_cast<PyObject *>(found[j]));
            PyErr_Clear();
            return nullptr;
        }
        found[i] = reinterpret_cast<PyTypeObject *>(c); // kept: classes live with the module
    }
    classes = {found[0], found[1], found[2], found[3], found[4], found[5], found[6]};
    ready = true;
    return &classes;
}

bool is_matrix_object(PyObject *o) {
    const ArrayClasses *c = array_classes();
    return c && (PyObject_TypeCheck(o, c->MVar) || PyObject_TypeCheck(o, c->MLinExpr) ||
                 PyObject_TypeCheck(o, c->MQuadExpr) || PyObject_TypeCheck(o, c->MNLExpr));
}

const char *handle_array_name(PyObject *o) {
    const ArrayClasses *c = array_classes();
    if (!c)
        return nullptr;
    if (PyObject_TypeCheck(o, c->MVar))
        return "_vararr";
    if (PyObject_TypeCheck(o, c->MConstr) || PyObject_TypeCheck(o, c->MGenConstr))
        return "_constrarr";
    if (PyObject_TypeCheck(o, c->MQConstr))
        return "_qconstrarr";
    return nullptr;
}

} // namespace core
