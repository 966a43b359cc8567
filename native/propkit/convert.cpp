// Integer conversion of indices and int values: Python ints, NumPy integer
// scalars read in place, and anything else with an integer conversion.
#include "convert.hpp"

#include <climits>

#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>
#endif

namespace propkit {

namespace {

[[noreturn]] void raise_int_overflow(bool positive) {
    zd::raise(PyExc_OverflowError, positive ? "signed integer is greater than maximum"
                                            : "signed integer is less than minimum");
}

} // namespace

// NumPy's API once NumPy itself has been imported by someone; a NumPy scalar
// or array can only exist after that, so NumPy is never imported here.
bool numpy_loaded() {
    if (zd_numpy_api)
        return true;
    PyObject *np = PyImport_GetModule(ZD_STR("numpy").ptr());
    if (!np) {
        if (PyErr_Occurred())
            throw zd::python_error();
        return false;
    }
    Py_DECREF(np);
    zd::ensure_numpy();
    return true;
}

int long_to_int32(PyObject *o) {
#if PY_VERSION_HEX < 0x030C0000
    // Ints of one or two digits are read in place (the layout of 3.10 and 3.11).
    Py_ssize_t size = Py_SIZE(o);
    if (size >= -2 && size <= 2) {
        const digit *d = reinterpret_cast<PyLongObject *>(o)->ob_digit;
        long long v = 0;
        if (size == 1 || size == -1)
            v = d[0];
        else if (size != 0)
            v = static_cast<long long>(d[0]) | (static_cast<long long>(d[1]) << PyLong_SHIFT);
        if (size < 0)
            v = -v;
        if (v > INT_MAX || v < INT_MIN)
            raise_int_overflow(v > 0);
        return static_cast<int>(v);
    }
#endif
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(o, &overflow);
    if (overflow)
        raise_int_overflow(overflow > 0);
    if (v == -1 && PyErr_Occurred())
        throw zd::python_error();
    if (v > INT_MAX || v < INT_MIN)
        raise_int_overflow(v > 0);
    return static_cast<int>(v);
}

bool numpy_int_scalar(PyObject *o, int &out) {
    if (!numpy_loaded())
        return false;
    PyTypeObject *t = Py_TYPE(o);
    long long v;
    if (t == &PyIntArrType_Type)
        v = PyArrayScalar_VAL(o, Int);
    else if (t == &PyLongArrType_Type)
        v = PyArrayScalar_VAL(o, Long);
    else if (t == &PyLongLongArrType_Type)
        v = PyArrayScalar_VAL(o, LongLong);
    else if (t == &PyShortArrType_Type)
        v = PyArrayScalar_VAL(o, Short);
    else if (t == &PyByteArrType_Type)
        v = PyArrayScalar_VAL(o, Byte);
    else
        return false;
    if (v > INT_MAX || v < INT_MIN)
        raise_int_overflow(v > 0);
    out = static_cast<int>(v);
    return true;
}

int to_int32(PyObject *o) {
    if (PyLong_Check(o))
        return long_to_int32(o);
    int v;
    if (numpy_int_scalar(o, v))
        return v;
    PyNumberMethods *nb = Py_TYPE(o)->tp_as_number;
    py::object r;
    if (nb && nb->nb_int) {
        r = zd::steal(nb->nb_int(o));
        if (!PyLong_Check(r.ptr()))
            zd::raisef(PyExc_TypeError, "__int__ returned non-int (type %.200s)", zd::type_name(r));
    } else if (nb && nb->nb_index) {
        r = zd::steal(PyNumber_Index(o));
    } else {
        zd::raise(PyExc_TypeError, "an integer is required");
    }
    return long_to_int32(r.ptr());
}

} // namespace propkit
