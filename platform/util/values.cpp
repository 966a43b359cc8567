// Scalar and text tests, text conversions, and the identity test of item
// assignment.
#include "util.hpp"

#include <cstring>

namespace zdutil {
namespace {

// NumPy scalars exist only once NumPy is imported; until then nothing needs
// its API, and _isscalar never imports NumPy itself.
bool numpy_usable() noexcept {
    if (numpy_ready())
        return true;
    if (!PyDict_GetItemString(PyImport_GetModuleDict(), "numpy"))
        return false;
    try {
        ensure_numpy();
        return true;
    } catch (...) {
        PyErr_Clear();
        return false;
    }
}

// One real number that float() converts: int (within double range), float,
// bool, and NumPy's integer, floating and bool scalars.
bool is_real_scalar(PyObject *x) noexcept {
    if (PyFloat_Check(x) || PyBool_Check(x))
        return true;
    if (PyLong_Check(x)) {
        double d = PyLong_AsDouble(x);
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        return true;
    }
    if (!numpy_usable())
        return false;
    if (PyArray_IsScalar(x, Timedelta))
        return false; // a signed integer type to NumPy
    return PyArray_IsScalar(x, Integer) || PyArray_IsScalar(x, Floating) ||
           PyArray_IsScalar(x, Bool);
}

py::object checked_bytes(py::object b) {
    if (std::memchr(PyBytes_AS_STRING(b.ptr()), 0, static_cast<size_t>(PyBytes_GET_SIZE(b.ptr()))))
        raisef(PyExc_ValueError, "embedded null character");
    return b;
}

} // namespace

PyObject *py_isscalar(PyObject *, PyObject *value) {
    return PyBool_FromLong(is_real_scalar(value));
}

PyObject *py_isstr(PyObject *, PyObject *value) {
    return PyBool_FromLong(PyUnicode_Check(value));
}

// Text handed to the library as a NUL-terminated UTF-8 string: a NUL inside
// would cut it short, so it is refused.
PyObject *py_stringtobytes(PyObject *, PyObject *value) {
    ZDU_TRY
    py::object v = borrow(value);
    if (!PyUnicode_Check(value) && !PyBytes_Check(value) && !PyByteArray_Check(value))
        v = steal(PyOS_FSPath(value)); // TypeError for anything but a path-like object
    if (PyUnicode_Check(v.ptr()))
        return checked_bytes(steal(PyUnicode_AsUTF8String(v.ptr()))).release().ptr();
    if (PyByteArray_Check(v.ptr()))
        return checked_bytes(steal(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(v.ptr()),
                                                             PyByteArray_GET_SIZE(v.ptr()))))
            .release()
            .ptr();
    return checked_bytes(v).release().ptr();
    ZDU_CATCH(nullptr)
}

// UTF-8 bytes (or any bytes-like object) to str; a str is returned as it is.
PyObject *py_bytestostring(PyObject *, PyObject *value) {
    ZDU_TRY
    if (PyUnicode_Check(value))
        return Py_NewRef(value);
    if (PyBytes_Check(value))
        return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value), nullptr);
    if (!PyObject_CheckBuffer(value))
        raisef(PyExc_TypeError, "expected bytes, got %.200s", Py_TYPE(value)->tp_name);
    Py_buffer view;
    if (PyObject_GetBuffer(value, &view, PyBUF_SIMPLE) < 0)
        return nullptr;
    PyObject *s = PyUnicode_DecodeUTF8(static_cast<const char *>(view.buf), view.len, nullptr);
    PyBuffer_Release(&view);
    return s;
    ZDU_CATCH(nullptr)
}

// True when every cell of the object array `a` is the very object at the same
// place of the object array `b`, `b` broadcast to `a`'s shape. Anything else
// (other types, shapes that do not fit, no cell at all) is no match. Reads
// pointers only: no Python code runs, nothing changes.
PyObject *py_all_refs_match(PyObject *, PyObject *args, PyObject *kwargs) {
    ZDU_TRY
    static const char *kwlist[] = {"a", "b", nullptr};
    PyObject *a_obj, *b_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:_all_refs_match",
                                     const_cast<char **>(kwlist), &a_obj, &b_obj))
        return nullptr;
    if (!numpy_usable() || !PyArray_Check(a_obj) || !PyArray_Check(b_obj))
        Py_RETURN_FALSE;
    auto *a = reinterpret_cast<PyArrayObject *>(a_obj);
    auto *b = reinterpret_cast<PyArrayObject *>(b_obj);
    if (PyArray_TYPE(a) != NPY_OBJECT || PyArray_TYPE(b) != NPY_OBJECT)
        Py_RETURN_FALSE;
    int nd = PyArray_NDIM(a), ndb = PyArray_NDIM(b);
    npy_intp size = PyArray_SIZE(a);
    if (size == 0 || ndb > nd)
        Py_RETURN_FALSE;

    const npy_intp *shape = PyArray_DIMS(a);
    std::vector<npy_intp> sa(PyArray_STRIDES(a), PyArray_STRIDES(a) + nd);
    std::vector<npy_intp> sb(static_cast<size_t>(nd), 0);
    for (int d = 0; d < ndb; ++d) {
        int da = nd - ndb + d;
        npy_intp len = PyArray_DIM(b, d);
        if (len == shape[da])
            sb[static_cast<size_t>(da)] = PyArray_STRIDE(b, d);
        else if (len != 1)
            Py_RETURN_FALSE;
    }
    std::vector<npy_intp> idx(static_cast<size_t>(nd), 0);
    const char *pa = PyArray_BYTES(a);
    const char *pb = PyArray_BYTES(b);
    for (npy_intp count = 0; count < size; ++count) {
        PyObject *x, *y;
        std::memcpy(&x, pa, sizeof x);
        std::memcpy(&y, pb, sizeof y);
        if (x != y)
            Py_RETURN_FALSE;
        for (int d = nd - 1; d >= 0; --d) {
            auto u = static_cast<size_t>(d);
            if (++idx[u] < shape[d]) {
                pa += sa[u];
                pb += sb[u];
                break;
            }
            pa -= sa[u] * (shape[d] - 1);
            pb -= sb[u] * (shape[d] - 1);
            idx[u] = 0;
        }
    }
    Py_RETURN_TRUE;
    ZDU_CATCH(nullptr)
}

} // namespace zdutil
