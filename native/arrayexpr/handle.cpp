// Helpers shared by the matrix handles: model test, attribute-info triple,
// list-write values, list-read arrays and attribute forwarding.
#include "handle.hpp"

#include "mvar/mvar.hpp"

#include <cstdint>

namespace handle {

namespace {

bool truthy(py::handle v) {
    return zd::check(PyObject_IsTrue(v.ptr())) == 1;
}

long as_long(py::handle v) {
    long r = PyLong_AsLong(v.ptr());
    if (r == -1 && PyErr_Occurred())
        zd::throw_error();
    return r;
}

bool same_shape(PyArrayObject *a, PyArrayObject *b) {
    return PyArray_NDIM(a) == PyArray_NDIM(b) &&
           PyArray_CompareLists(PyArray_DIMS(a), PyArray_DIMS(b), PyArray_NDIM(a));
}

// Row-major values of an ndarray as a list. Numbers of the plain numeric
// dtypes come as Python numbers (the list write converts each item anyway);
// every other dtype keeps NumPy's scalars, as iterating `flat` gives them.
py::object array_values(PyArrayObject *v) {
    switch (PyArray_TYPE(v)) {
    case NPY_BOOL:
    case NPY_FLOAT64:
    case NPY_FLOAT32:
    case NPY_BYTE:
    case NPY_UBYTE:
    case NPY_SHORT:
    case NPY_USHORT:
    case NPY_INT:
    case NPY_UINT:
    case NPY_LONG:
    case NPY_ULONG:
    case NPY_LONGLONG:
    case NPY_ULONGLONG: {
        py::object ravel = zd::steal(PyArray_Ravel(v, NPY_CORDER));
        return zd::steal(PyArray_ToList(reinterpret_cast<PyArrayObject *>(ravel.ptr())));
    }
    default: {
        py::object flat =
            zd::steal(PyObject_GetAttr(reinterpret_cast<PyObject *>(v), ZD_STR("flat").ptr()));
        return zd::steal(PySequence_List(flat.ptr()));
    }
    }
}

bool is_dunder(PyObject *name) {
    if (!PyUnicode_Check(name))
        return false;
    Py_ssize_t len = PyUnicode_GET_LENGTH(name);
    return len >= 4 && PyUnicode_READ_CHAR(name, 0) == '_' && PyUnicode_READ_CHAR(name, 1) == '_' &&
           PyUnicode_READ_CHAR(name, len - 1) == '_' && PyUnicode_READ_CHAR(name, len - 2) == '_';
}

} // namespace

bool no_model(py::handle self) {
    py::object cmodel = zd::steal(PyObject_GetAttr(self.ptr(), ZD_STR("_cmodel").ptr()));
    return cmodel.is_none();
}

py::object empty_result(py::handle shape) {
    zd::ensure_numpy();
    npy_intp zero = 0;
    py::object arr = zd::steal(PyArray_SimpleNew(1, &zero, NPY_FLOAT64));
    return zd::steal(PyObject_CallMethodOneArg(arr.ptr(), ZD_STR("reshape").ptr(), shape.ptr()));
}

AttrInfo attrinfo(py::handle self, py::handle name) {
    py::tuple t = mvar::unpack(zd::global(ZD_STR("_getattrinfo"))(self, name), 3);
    AttrInfo info;
    info.type = t[0];
    info.type_code = as_long(t[0]);
    info.kind = as_long(t[1]);
    info.settable = truthy(t[2]);
    return info;
}

long type_code(py::handle code) {
    long r = PyLong_AsLong(code.ptr());
    if (r == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            zd::throw_error();
        PyErr_Clear();
    }
    return r;
}

py::object repeated(py::handle value, Py_ssize_t n) {
    py::object list = zd::steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_INCREF(value.ptr());
        PyList_SET_ITEM(list.ptr(), i, value.ptr());
    }
    return list;
}

void shape_mismatch() {
    zd::raise(PyExc_AttributeError, "Shape mismatch");
}

py::object flat_values(py::handle value, PyArrayObject *elements) {
    zd::ensure_numpy();
    const Py_ssize_t n = PyArray_SIZE(elements);
    py::object flat;
    if (truthy(zd::global(ZD_STR("_isstr"))(value))) {
        flat = repeated(value, n);
    } else if (PyArray_Check(value.ptr())) {
        auto *v = reinterpret_cast<PyArrayObject *>(value.ptr());
        if (PyArray_SIZE(v) == 1) {
            py::object item =
                zd::steal(PyObject_CallMethodNoArgs(value.ptr(), ZD_STR("item").ptr()));
            flat = repeated(zd::steal(PyNumber_Float(item.ptr())), n);
        } else if (!same_shape(v, elements)) {
            shape_mismatch();
        } else {
            flat = array_values(v);
        }
    } else if (truthy(zd::global(ZD_STR("_isscalar"))(value))) {
        flat = repeated(zd::steal(PyNumber_Float(value.ptr())), n);
    } else if (zd::check(PyObject_IsInstance(value.ptr(), zd::global(ZD_STR("Iterable")).ptr()))) {
        flat = zd::steal(PySequence_List(value.ptr()));
        Py_ssize_t len = PyList_GET_SIZE(flat.ptr());
        if (len == 1) {
            // The value itself repeated: a one-item list or tuple gives its
            // item for every element.
            py::object count = zd::steal(PyLong_FromSsize_t(n));
            flat = zd::steal(PyNumber_Multiply(value.ptr(), count.ptr()));
        } else if (PyArray_NDIM(elements) != 1 || PyArray_DIM(elements, 0) != len) {
            shape_mismatch();
        }
    } else {
        zd::raise(PyExc_AttributeError, "Use scalar or ndarray to set attribute");
    }
    // The list write reads one item per element by position: anything but a
    // list or tuple of that length would leave elements without a value.
    if (!(PyList_Check(flat.ptr()) || PyTuple_Check(flat.ptr())) ||
        PySequence_Fast_GET_SIZE(flat.ptr()) != n)
        shape_mismatch();
    return flat;
}

py::object list_to_array(py::handle flat, long attrtype, py::handle shape) {
    zd::ensure_numpy();
    // float64 and int32 lists of exact Python numbers are copied straight.
    int typenum = attrtype == 2 ? NPY_FLOAT64 : attrtype == 1 ? NPY_INT32 : -1;
    if (typenum >= 0 && PyList_CheckExact(flat.ptr())) {
        Py_ssize_t n = PyList_GET_SIZE(flat.ptr());
        npy_intp dim = n;
        py::object arr = zd::steal(PyArray_SimpleNew(1, &dim, typenum));
        void *data = PyArray_DATA(reinterpret_cast<PyArrayObject *>(arr.ptr()));
        PyObject **items = PySequence_Fast_ITEMS(flat.ptr());
        bool ok = true;
        if (typenum == NPY_FLOAT64) {
            auto *out = static_cast<double *>(data);
            for (Py_ssize_t i = 0; i < n && ok; ++i) {
                if ((ok = PyFloat_CheckExact(items[i])))
                    out[i] = PyFloat_AS_DOUBLE(items[i]);
            }
        } else {
            auto *out = static_cast<npy_int32 *>(data);
            for (Py_ssize_t i = 0; i < n && ok; ++i) {
                if ((ok = PyLong_CheckExact(items[i]))) {
                    int overflow = 0;
                    long v = PyLong_AsLongAndOverflow(items[i], &overflow);
                    ok = !overflow && v >= INT32_MIN && v <= INT32_MAX;
                    out[i] = static_cast<npy_int32>(v);
                }
            }
        }
        if (ok)
            return zd::steal(
                PyObject_CallMethodOneArg(arr.ptr(), ZD_STR("reshape").ptr(), shape.ptr()));
    }
    py::object np = mvar::numpy();
    py::object dtype = py::none();
    if (attrtype == 0)
        dtype = py::str("U1");
    else if (attrtype == 1)
        dtype = np.attr("int32");
    else if (attrtype == 2)
        dtype = np.attr("float64");
    else if (attrtype == 3)
        dtype = py::str("object");
    return np.attr("array")(flat, py::arg("dtype") = dtype).attr("reshape")(shape);
}

py::object forward_getattr(py::handle self, py::handle name, const char *const *own) {
    bool refuse = is_dunder(name.ptr());
    for (const char *const *p = own; !refuse && *p; ++p)
        refuse =
            PyUnicode_Check(name.ptr()) && PyUnicode_CompareWithASCIIString(name.ptr(), *p) == 0;
    if (refuse)
        zd::raisef(PyExc_AttributeError, "'%.200s' object has no attribute '%U'",
                   zd::type_name(self), name.ptr());
    // A subclass may still loop back here through getAttr: end in
    // RecursionError, never in a stack overflow.
    if (Py_EnterRecursiveCall(" while reading a solver attribute"))
        zd::throw_error();
    PyObject *r = PyObject_CallMethodOneArg(self.ptr(), ZD_STR("getAttr").ptr(), name.ptr());
    Py_LeaveRecursiveCall();
    return zd::steal(r);
}

void forward_setattr(py::handle self, py::handle name, py::handle value) {
    // name[0]: an empty name raises the interpreter's IndexError.
    py::object first = zd::steal(PySequence_GetItem(name.ptr(), 0));
    if (PyUnicode_Check(first.ptr()) && PyUnicode_GET_LENGTH(first.ptr()) == 1 &&
        PyUnicode_READ_CHAR(first.ptr(), 0) == '_') {
        py::object dict = zd::steal(PyObject_GenericGetDict(self.ptr(), nullptr));
        zd::check(PyDict_SetItem(dict.ptr(), name.ptr(), value.ptr()));
        return;
    }
    zd::steal(PyObject_CallMethodObjArgs(self.ptr(), ZD_STR("setAttr").ptr(), name.ptr(),
                                         value.ptr(), nullptr));
}

py::object dir(py::handle self) {
    py::object cmodel = zd::steal(PyObject_GetAttr(self.ptr(), ZD_STR("_cmodel").ptr()));
    py::object kind = zd::steal(PyObject_GetAttr(self.ptr(), ZD_STR("_typeenum").ptr()));
    py::object attrs = zd::global(ZD_STR("_attrlist"))(cmodel, kind);
    py::object names = zd::steal(PySet_New(nullptr));
    py::object cls_names =
        zd::steal(PyObject_Dir(reinterpret_cast<PyObject *>(Py_TYPE(self.ptr()))));
    py::object dict = zd::steal(PyObject_GetAttr(self.ptr(), ZD_STR("__dict__").ptr()));
    for (PyObject *src : {cls_names.ptr(), dict.ptr(), attrs.ptr()}) {
        py::object it = zd::steal(PyObject_GetIter(src));
        while (PyObject *item = PyIter_Next(it.ptr())) {
            py::object hold = zd::steal(item);
            zd::check(PySet_Add(names.ptr(), item));
        }
        if (PyErr_Occurred())
            zd::throw_error();
    }
    py::object list = zd::steal(PySequence_List(names.ptr()));
    zd::check(PyList_Sort(list.ptr()));
    return list;
}

py::object int32_index(py::object v) {
    if (!PyLong_CheckExact(v.ptr()))
        v = zd::steal(PyNumber_Index(v.ptr()));
    int overflow = 0;
    long long c = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (c == -1 && PyErr_Occurred())
        zd::throw_error();
    if (overflow || c < INT32_MIN || c > INT32_MAX)
        zd::raise(PyExc_OverflowError, "Python int too large to convert to C int");
    return v;
}

IndexReader::IndexReader(const char *elem_class, const char *index_attr)
    : name_(zd::steal(PyUnicode_InternFromString(index_attr))) {
    py::object cls = zd::global(zd::steal(PyUnicode_InternFromString(elem_class)));
    if (!PyType_Check(cls.ptr()))
        return;
    auto *tp = reinterpret_cast<PyTypeObject *>(cls.ptr());
    PyObject *descr = _PyType_Lookup(tp, name_.ptr());
    if (descr && Py_IS_TYPE(descr, &PyGetSetDescr_Type)) {
        auto *gd = reinterpret_cast<PyGetSetDescrObject *>(descr);
        if (gd->d_getset && gd->d_getset->get) {
            descr_ = zd::borrow(descr);
            cls_ = cls;
            type_ = tp;
            get_ = gd->d_getset->get;
            closure_ = gd->d_getset->closure;
        }
    }
}

} // namespace handle
