// MVar: solver attributes of the variables, read and written as arrays
// through _propkit's list calls, and attribute forwarding.
#include "mvar.hpp"

namespace {

// self.shape, read from the element array itself.
py::object shape_of(py::handle self) {
    return mvar::vararr(self).attr("shape");
}

bool is_none_model(py::handle self) {
    py::object cmodel = mvar::own_attr(self, ZD_STR("_cmodel"));
    return cmodel.is_none();
}

// (attrtype, attrsize, settable) of `name`; attrsize must be 1 (variables).
py::tuple variable_attrinfo(py::handle self, py::handle name) {
    py::tuple info = mvar::unpack(zd::global(ZD_STR("_getattrinfo"))(self, name), 3);
    py::object one = py::int_(1);
    if (zd::check(PyObject_RichCompareBool(info[1].ptr(), one.ptr(), Py_NE)))
        zd::raisef(PyExc_AttributeError, "'zudirivi.Var' object has no attribute '%U'",
                   py::str(name).ptr());
    return info;
}

bool equals_int(py::handle v, long i) {
    py::object o = zd::steal(PyLong_FromLong(i));
    return zd::check(PyObject_RichCompareBool(v.ptr(), o.ptr(), Py_EQ)) == 1;
}

// The new array of a list read: float64 and int32 lists of exact Python
// numbers are copied straight; anything else goes through numpy.array.
py::object list_to_array(py::handle flat, py::handle attrtype, py::handle shape) {
    zd::ensure_numpy();
    int typenum = -1;
    if (equals_int(attrtype, 2))
        typenum = NPY_FLOAT64;
    else if (equals_int(attrtype, 1))
        typenum = NPY_INT32;
    if (typenum >= 0 && PyList_CheckExact(flat.ptr())) {
        Py_ssize_t n = PyList_GET_SIZE(flat.ptr());
        npy_intp dim = n;
        py::object arr = zd::steal(PyArray_SimpleNew(1, &dim, typenum));
        void *data = PyArray_DATA(mvar::as_array(arr));
        bool ok = true;
        for (Py_ssize_t i = 0; i < n && ok; ++i) {
            PyObject *item = PyList_GET_ITEM(flat.ptr(), i);
            if (typenum == NPY_FLOAT64) {
                if ((ok = PyFloat_CheckExact(item)))
                    static_cast<double *>(data)[i] = PyFloat_AS_DOUBLE(item);
            } else {
                if ((ok = PyLong_CheckExact(item))) {
                    int overflow = 0;
                    long v = PyLong_AsLongAndOverflow(item, &overflow);
                    ok = !overflow && v >= INT32_MIN && v <= INT32_MAX;
                    static_cast<npy_int32 *>(data)[i] = (npy_int32)v;
                }
            }
        }
        if (ok)
            return arr.attr("reshape")(shape);
    }
    py::object np = mvar::numpy();
    py::object dtype = py::none();
    if (equals_int(attrtype, 0))
        dtype = py::str("U1");
    else if (equals_int(attrtype, 1))
        dtype = np.attr("int32");
    else if (equals_int(attrtype, 2))
        dtype = np.attr("float64");
    else if (equals_int(attrtype, 3))
        dtype = py::str("object");
    return np.attr("array")(flat, py::arg("dtype") = dtype).attr("reshape")(shape);
}

// `n` references to one value, as a list.
py::object repeated(py::handle value, Py_ssize_t n) {
    py::object list = zd::steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_INCREF(value.ptr());
        PyList_SET_ITEM(list.ptr(), i, value.ptr());
    }
    return list;
}

bool truthy(py::handle v) {
    return zd::check(PyObject_IsTrue(v.ptr())) == 1;
}

[[noreturn]] void shape_mismatch() {
    zd::raise(PyExc_AttributeError, "Shape mismatch");
}

} // namespace

py::object MVar__typename(const zd::Args &) {
    return py::str("MVar");
}

py::object MVar__typeenum(const zd::Args &) {
    return py::int_(1);
}

py::object MVar__indexed_data(const zd::Args &a) {
    py::object np = mvar::numpy();
    py::object tmp = np.attr("array")(a[1], py::arg("dtype") = a[2]);
    py::object arr = mvar::vararr(a[0]);
    py::object result = np.attr("empty_like")(arr, py::arg("dtype") = a[2]);
    py::object idx = zd::steal(PyObject_CallMethodNoArgs(a[0].ptr(), ZD_STR("_idxarr").ptr()));
    py::object picked = zd::steal(PyObject_GetItem(tmp.ptr(), idx.attr("flat").ptr()));
    zd::check(PyObject_SetAttrString(result.ptr(), "flat", picked.ptr()));
    return result;
}

py::object MVar_getAttr(const zd::Args &a) {
    py::handle self = a[0], name = a[1];
    py::object shape = shape_of(self);
    if (is_none_model(self))
        return mvar::numpy().attr("array")(py::list()).attr("reshape")(shape);
    py::tuple info = variable_attrinfo(self, name);
    py::object flat =
        zd::global(ZD_STR("_gettypedattrlist"))(self, name, info[0], mvar::index_list(self));
    return list_to_array(flat, info[0], shape);
}

py::object MVar_setAttr(const zd::Args &a) {
    py::handle self = a[0], name = a[1], value = a[2];
    if (is_none_model(self))
        return py::none();
    py::tuple info = variable_attrinfo(self, name);
    py::object zero = py::int_(0);
    if (zd::check(PyObject_RichCompareBool(info[2].ptr(), zero.ptr(), Py_EQ)))
        zd::raisef(PyExc_AttributeError, "Attribute '%U' cannot be set", py::str(name).ptr());

    py::object arr = mvar::vararr(self);
    PyArrayObject *p = mvar::as_array(arr);
    Py_ssize_t n = PyArray_SIZE(p);
    py::object flat;
    if (truthy(zd::global(ZD_STR("_isstr"))(value))) {
        flat = repeated(value, n);
    } else if (PyArray_Check(value.ptr())) {
        PyArrayObject *v = mvar::as_array(value);
        if (PyArray_SIZE(v) == 1) {
            py::object item = value.attr("item")();
            flat = repeated(zd::steal(PyNumber_Float(item.ptr())), n);
        } else {
            if (PyArray_NDIM(v) != PyArray_NDIM(p) ||
                !PyArray_CompareLists(PyArray_DIMS(v), PyArray_DIMS(p), PyArray_NDIM(p)))
                shape_mismatch();
            // Row-major values; tolist gives Python scalars, as the list
            // write converts each item anyway.
            py::object ravel = zd::steal(PyArray_Ravel(v, NPY_CORDER));
            flat = zd::steal(PyArray_ToList(mvar::as_array(ravel)));
        }
    } else if (truthy(zd::global(ZD_STR("_isscalar"))(value))) {
        flat = repeated(zd::steal(PyNumber_Float(value.ptr())), n);
    } else if (zd::check(PyObject_IsInstance(value.ptr(), zd::global(ZD_STR("Iterable")).ptr()))) {
        flat = zd::steal(PySequence_List(value.ptr()));
        Py_ssize_t len = PyList_GET_SIZE(flat.ptr());
        if (len == 1) {
            py::object count = zd::steal(PyLong_FromSsize_t(n));
            flat = zd::steal(PyNumber_Multiply(value.ptr(), count.ptr()));
        } else if (PyArray_NDIM(p) != 1 || PyArray_DIM(p, 0) != len) {
            shape_mismatch();
        }
    } else {
        zd::raise(PyExc_AttributeError, "Use scalar or ndarray to set attribute");
    }
    zd::global(ZD_STR("_settypedattrlist"))(self, name, info[0], mvar::index_list(self), flat);
    return py::none();
}

py::object MVar_prefetchAttr(const zd::Args &a) {
    if (!is_none_model(a[0]))
        zd::global(ZD_STR("_prefetchattr"))(a[0], a[1]);
    return py::none();
}

py::object MVar___getattr__(const zd::Args &a) {
    py::handle self = a[0], name = a[1];
    // Protocol probes (__array__, __deepcopy__, ...) are no solver attributes.
    if (PyUnicode_Check(name.ptr())) {
        Py_ssize_t len = PyUnicode_GET_LENGTH(name.ptr());
        if (len >= 2 && PyUnicode_READ_CHAR(name.ptr(), 0) == '_' &&
            PyUnicode_READ_CHAR(name.ptr(), 1) == '_' &&
            PyUnicode_READ_CHAR(name.ptr(), len - 1) == '_' &&
            PyUnicode_READ_CHAR(name.ptr(), len - 2) == '_')
            zd::raisef(PyExc_AttributeError, "'%.200s' object has no attribute '%U'",
                       zd::type_name(self), name.ptr());
    }
    if (Py_EnterRecursiveCall(" while reading an MVar attribute"))
        zd::throw_error();
    PyObject *r = PyObject_CallMethodOneArg(self.ptr(), ZD_STR("getAttr").ptr(), name.ptr());
    Py_LeaveRecursiveCall();
    return zd::steal(r);
}

py::object MVar___setattr__(const zd::Args &a) {
    py::handle self = a[0], name = a[1], value = a[2];
    // name[0]: an empty name raises the interpreter's IndexError.
    py::object first = zd::steal(PySequence_GetItem(name.ptr(), 0));
    if (PyUnicode_Check(first.ptr()) && PyUnicode_GET_LENGTH(first.ptr()) == 1 &&
        PyUnicode_READ_CHAR(first.ptr(), 0) == '_') {
        py::object dict = zd::steal(PyObject_GenericGetDict(self.ptr(), nullptr));
        zd::check(PyDict_SetItem(dict.ptr(), name.ptr(), value.ptr()));
        return py::none();
    }
    zd::steal(PyObject_CallMethodObjArgs(self.ptr(), ZD_STR("setAttr").ptr(), name.ptr(),
                                         value.ptr(), nullptr));
    return py::none();
}
