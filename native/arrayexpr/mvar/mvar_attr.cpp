// MVar: solver attributes of the variables, read and written as arrays
// through _propkit's list calls, and attribute forwarding.
#include "handle.hpp"
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
    return handle::list_to_array(flat, handle::type_code(info[0]), shape);
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
    py::object flat = handle::flat_values(value, mvar::as_array(arr));
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
