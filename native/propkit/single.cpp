// Attribute information, owner checks and single-value access:
// _geterrormsg, _getattrinfo, _getattr, _setattr, _prefetchattr.
#include "propkit.hpp"

namespace propkit {

namespace {

bool truth(py::handle v) {
    return zd::check(PyObject_IsTrue(v.ptr())) == 1;
}

bool py_eq(py::handle a, py::handle b) {
    return zd::check(PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ)) == 1;
}

// Raises TovrixError(0, obj._typename + tail).
[[noreturn]] void raise_element_state(py::handle obj, const char *tail) {
    py::object tn = zd::steal(PyObject_GetAttr(obj.ptr(), ZD_STR("_typename").ptr()));
    py::object t = zd::steal(PyUnicode_FromString(tail));
    py::object msg = zd::steal(PyUnicode_Concat(tn.ptr(), t.ptr()));
    py::object zero = py::int_(0);
    raise_tovrix_error(zero, msg);
}

// The checks an element owner passes before its attribute is read or
// written; returns its element index.
py::object owner_checks(py::handle obj, py::handle attrname, const AttrInfo &info, bool write) {
    py::object cindex = zd::steal(PyObject_CallMethodNoArgs(obj.ptr(), ZD_STR("__cindex__").ptr()));
    py::object minus_one = py::int_(-1);
    if (py_eq(cindex, minus_one))
        raise_element_state(obj, " has not yet been added to the model");
    if (zd::check(PyObject_RichCompareBool(cindex.ptr(), minus_one.ptr(), Py_LT)))
        raise_element_state(obj, " was removed from the model");
    py::object size = py::int_(info.size);
    py::object typeenum = zd::steal(PyObject_GetAttr(obj.ptr(), ZD_STR("_typeenum").ptr()));
    if (zd::check(PyObject_RichCompareBool(size.ptr(), typeenum.ptr(), Py_NE)))
        raise_no_attribute(obj, attrname);
    if (write && info.settable == 0)
        raise_attribute_text(attrname, "' cannot be set");
    return cindex;
}

[[noreturn]] void raise_unsupported_type(py::handle attrname) {
    raise_attribute_text(attrname, "' has an unsupported data type");
}

py::object char_value(char c) {
    // chr() of the signed byte: a byte above 127 is refused with ValueError.
    return zd::steal(PyUnicode_FromOrdinal(static_cast<signed char>(c)));
}

// First character of a text as one byte. A character beyond U+00FF is
// refused: cut to its low 8 bits it would store another character ("\u0142"
// would become "B").
char first_char(py::handle s, py::handle attrname) {
    if (PyUnicode_READY(s.ptr()) < 0)
        throw zd::python_error();
    if (PyUnicode_GET_LENGTH(s.ptr()) == 0)
        zd::raise(PyExc_IndexError, "string index out of range");
    Py_UCS4 c = PyUnicode_READ_CHAR(s.ptr(), 0);
    if (c > 0xFF)
        raise_attribute_text(attrname, "' takes character value");
    return static_cast<char>(c);
}

double to_double(py::handle v) {
    double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred())
        throw zd::python_error();
    return d;
}

bool isscalar(py::handle v) {
    py::object r = zd::global(ZD_STR("_isscalar"))(v);
    return truth(r);
}

} // namespace

py::object py_geterrormsg(const zd::Args &a) {
    return geterrormsg(a[0]);
}

py::object py_getattrinfo(const zd::Args &a) {
    py::object uattrname = to_bytes(a[1]);
    AttrInfo info = getattrinfo(a[0], a[1], PyBytes_AS_STRING(uattrname.ptr()));
    return py::make_tuple(info.type, info.size, info.settable);
}

// _getattr(obj, attrname, is_model=False)
py::object py_getattr(const zd::Args &a) {
    py::handle obj = a[0], attrname = a[1];
    py::object uattrname = to_bytes(attrname);
    const char *name = PyBytes_AS_STRING(uattrname.ptr());
    AttrInfo info = getattrinfo(obj, attrname, name);
    int code = 0;
    int ival = 0;
    double dval = 0.0;
    char cval = 0;
    const char *sval = nullptr;
    if (truth(a[2])) {
        if (info.type < 1 || info.type > 3)
            raise_unsupported_type(attrname);
        TVXmodel *m = owner_model(obj);
        if (!m)
            code = kNoModel;
        else if (info.type == 1)
            code = TVXgetintattr(m, name, &ival);
        else if (info.type == 2)
            code = TVXgetdblattr(m, name, &dval);
        else
            code = TVXgetstrattr(m, name, &sval);
    } else {
        py::object cindex = owner_checks(obj, attrname, info, false);
        if (info.type < 0 || info.type > 3)
            raise_unsupported_type(attrname);
        TVXmodel *m = owner_model(obj);
        int index = to_int32(cindex.ptr());
        if (!m)
            code = kNoModel;
        else if (info.type == 0)
            code = TVXgetcharattrelement(m, name, index, &cval);
        else if (info.type == 1)
            code = TVXgetintattrelement(m, name, index, &ival);
        else if (info.type == 2)
            code = TVXgetdblattrelement(m, name, index, &dval);
        else
            code = TVXgetstrattrelement(m, name, index, &sval);
    }
    if (code != 0)
        raise_library_error(obj);
    switch (info.type) {
    case 0:
        return char_value(cval);
    case 1:
        return zd::steal(PyLong_FromLong(ival));
    case 2:
        return zd::steal(PyFloat_FromDouble(read_double(dval, double_limits())));
    default:
        return library_text(sval);
    }
}

// _setattr(obj, attrname, newval, is_model=False)
py::object py_setattr(const zd::Args &a) {
    py::handle obj = a[0], attrname = a[1], newval = a[2];
    py::object uattrname = to_bytes(attrname);
    const char *name = PyBytes_AS_STRING(uattrname.ptr());
    AttrInfo info = getattrinfo(obj, attrname, name);
    bool model_form = truth(a[3]);
    py::object cindex;
    if (!model_form)
        cindex = owner_checks(obj, attrname, info, true);

    // The value test comes first; then the handle, the index and the value.
    // A type without a library call is refused rather than silently skipped.
    switch (info.type) {
    case 0:
        if (model_form)
            raise_unsupported_type(attrname); // no model-level character call
        if (!PyUnicode_Check(newval.ptr()))
            raise_attribute_text(attrname, "' takes character value");
        break;
    case 1:
        if (!PyLong_Check(newval.ptr()))
            raise_attribute_text(attrname, "' takes integer value");
        break;
    case 2:
        if (!isscalar(newval))
            raise_attribute_text(attrname, "' takes double value");
        break;
    case 3:
        if (!PyUnicode_Check(newval.ptr()))
            raise_attribute_text(attrname, "' takes string value");
        break;
    default:
        raise_unsupported_type(attrname);
    }
    TVXmodel *m = owner_model(obj);
    int index = model_form ? 0 : to_int32(cindex.ptr());
    int code = kNoModel;
    switch (info.type) {
    case 0: {
        char c = first_char(newval, attrname);
        if (m)
            code = TVXsetcharattrelement(m, name, index, c);
        break;
    }
    case 1: {
        int v = to_int32(newval.ptr());
        if (m)
            code = model_form ? TVXsetintattr(m, name, v) : TVXsetintattrelement(m, name, index, v);
        break;
    }
    case 2: {
        double infinity = double_limits().infinity;
        double v = write_double(to_double(newval), infinity);
        if (m)
            code = model_form ? TVXsetdblattr(m, name, v) : TVXsetdblattrelement(m, name, index, v);
        break;
    }
    default: {
        py::object b = to_bytes(newval); // held until the call returns
        const char *s = PyBytes_AS_STRING(b.ptr());
        if (m)
            code = model_form ? TVXsetstrattr(m, name, s) : TVXsetstrattrelement(m, name, index, s);
        break;
    }
    }
    if (code != 0)
        raise_library_error(obj);
    return py::none();
}

// _prefetchattr(obj, attrname, is_model=False)
py::object py_prefetchattr(const zd::Args &a) {
    py::handle obj = a[0], attrname = a[1];
    py::object uattrname = to_bytes(attrname);
    const char *name = PyBytes_AS_STRING(uattrname.ptr());
    AttrInfo info = getattrinfo(obj, attrname, name);
    if (!truth(a[2])) {
        py::object size = py::int_(info.size);
        py::object typeenum = zd::steal(PyObject_GetAttr(obj.ptr(), ZD_STR("_typeenum").ptr()));
        if (zd::check(PyObject_RichCompareBool(size.ptr(), typeenum.ptr(), Py_NE)))
            raise_no_attribute(obj, attrname);
    }
    TVXmodel *m = owner_model(obj);
    int code = m ? TVXprefetchattr(m, name) : kNoModel;
    if (code != 0)
        raise_library_error(obj);
    return py::none();
}

} // namespace propkit
