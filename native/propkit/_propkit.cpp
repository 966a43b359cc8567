// Module zudirivi._propkit: typed get, set, list and prefetch of attributes of
// models, variables and constraints through the solver library. This unit
// holds the module frame and the helpers every function shares.
#include "propkit.hpp"

namespace propkit {

MsgFn get_env_errormsg_string = nullptr;
MsgFn get_model_errormsg_string = nullptr;
PtrFn ptr_fn = nullptr;

void *raw_ptr(py::handle wrapper) {
    void *p = ptr_fn(wrapper.ptr());
    if (PyErr_Occurred())
        throw zd::python_error();
    return p;
}

TVXmodel *owner_model(py::handle obj) {
    py::object cmodel = zd::steal(PyObject_GetAttr(obj.ptr(), ZD_STR("_cmodel").ptr()));
    return static_cast<TVXmodel *>(raw_ptr(cmodel));
}

py::object to_bytes(py::handle text) {
    py::object b = zd::global(ZD_STR("_stringtobytes"))(text);
    if (!PyBytes_Check(b.ptr()))
        zd::raisef(PyExc_TypeError, "expected bytes, %.200s found", zd::type_name(b));
    return b;
}

py::object library_text(const char *text) {
    if (!text)
        return zd::steal(PyUnicode_FromStringAndSize("", 0));
    py::object b = zd::steal(PyBytes_FromString(text));
    return zd::global(ZD_STR("_bytestostring"))(b);
}

namespace {

// `getattr(obj, name)` when it succeeds; any exception counts as "not there".
bool has_attr(py::handle obj, py::handle name) {
    PyObject *v = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (!v) {
        PyErr_Clear();
        return false;
    }
    Py_DECREF(v);
    return true;
}

py::object concat(py::handle a, py::handle b) {
    return zd::steal(PyUnicode_Concat(a.ptr(), b.ptr()));
}

py::object text(const char *s) {
    return zd::steal(PyUnicode_FromString(s));
}

} // namespace

py::object geterrormsg(py::handle obj) {
    if (has_attr(obj, ZD_STR("_cmodel"))) {
        void *p = owner_model(obj);
        return zd::steal(get_model_errormsg_string(p));
    }
    if (has_attr(obj, ZD_STR("_cenv"))) {
        py::object cenv = zd::steal(PyObject_GetAttr(obj.ptr(), ZD_STR("_cenv").ptr()));
        return zd::steal(get_env_errormsg_string(raw_ptr(cenv)));
    }
    return zd::steal(PyUnicode_FromStringAndSize("", 0));
}

void raise_library_error(py::handle obj) {
    py::object msg = geterrormsg(obj);
    zd::raise_obj(PyExc_AttributeError, msg);
}

void raise_tovrix_error(py::handle errno_, py::handle argument) {
    py::object exc = zd::global(ZD_STR("TovrixError"))(errno_, argument);
    if (!PyExceptionInstance_Check(exc.ptr()))
        zd::raise(PyExc_TypeError, "exceptions must derive from BaseException");
    PyErr_SetObject(PyExceptionInstance_Class(exc.ptr()), exc.ptr());
    throw zd::python_error();
}

void raise_no_attribute(py::handle obj, py::handle attrname) {
    py::object tn = zd::steal(PyObject_GetAttr(obj.ptr(), ZD_STR("_typename").ptr()));
    py::object msg = concat(text("'tovrixpy."), tn);
    msg = concat(msg, text("' object has no attribute '"));
    msg = concat(msg, attrname);
    msg = concat(msg, text("'"));
    zd::raise_obj(PyExc_AttributeError, msg);
}

void raise_in_progress(py::handle attrname) {
    py::object name = zd::steal(PyObject_Format(attrname.ptr(), nullptr));
    py::object msg = concat(text("Attribute '"), name);
    msg = concat(msg, text("' cannot be queried while optimization is in progress"));
    zd::raise_obj(PyExc_AttributeError, msg);
}

void raise_attribute_text(py::handle attrname, const char *tail) {
    py::object msg = concat(concat(text("Attribute '"), attrname), text(tail));
    zd::raise_obj(PyExc_AttributeError, msg);
}

AttrInfo getattrinfo(py::handle obj, py::handle attrname, const char *uattrname) {
    TVXmodel *model = owner_model(obj);
    AttrInfo info;
    int code =
        model ? TVXgetattrinfo(model, uattrname, &info.type, &info.size, &info.settable) : kNoModel;
    if (code != 0) {
        py::object tvx = zd::global(ZD_STR("TVX"));
        py::object in_progress = tvx.attr(ZD_STR("Error")).attr(ZD_STR("OPTIMIZATION_IN_PROGRESS"));
        py::object c = py::int_(code);
        if (zd::check(PyObject_RichCompareBool(c.ptr(), in_progress.ptr(), Py_EQ)))
            raise_in_progress(attrname);
        raise_no_attribute(obj, attrname);
    }
    return info;
}

int type_code(py::handle attrtype) {
    PyObject *t = attrtype.ptr();
    if (PyLong_CheckExact(t)) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(t, &overflow);
        return (!overflow && v >= 0 && v <= 3) ? static_cast<int>(v) : -1;
    }
    for (int k = 0; k <= 3; ++k) {
        py::object kk = py::int_(k);
        if (zd::check(PyObject_RichCompareBool(t, kk.ptr(), Py_EQ)))
            return k;
    }
    return -1;
}

DoubleLimits double_limits() {
    py::object tvx = zd::global(ZD_STR("TVX"));
    DoubleLimits lim;
    py::object inf = tvx.attr(ZD_STR("INFINITY"));
    lim.infinity = PyFloat_AsDouble(inf.ptr());
    if (lim.infinity == -1.0 && PyErr_Occurred())
        throw zd::python_error();
    py::object undef = tvx.attr(ZD_STR("UNDEFINED"));
    lim.undefined = PyFloat_AsDouble(undef.ptr());
    if (lim.undefined == -1.0 && PyErr_Occurred())
        throw zd::python_error();
    return lim;
}

namespace {

void exec_propkit(py::handle) {
    zd::load_step();
    get_env_errormsg_string = reinterpret_cast<MsgFn>(
        zd::bind_capi("zudirivi._exception", "_get_env_errormsg_string", "PyObject *(void *)"));
    zd::load_step();
    get_model_errormsg_string = reinterpret_cast<MsgFn>(
        zd::bind_capi("zudirivi._exception", "_get_model_errormsg_string", "PyObject *(void *)"));
    zd::load_step();
    ptr_fn = reinterpret_cast<PtrFn>(zd::bind_capi("zudirivi._util", "_ptr", "void *(PyObject *)"));

    zd::load_step();
    zd::set_global("TovrixError",
                   zd::import_from(zd::import("zudirivi._exception"), ZD_STR("TovrixError")));
    zd::load_step();
    zd::set_global("TVX", zd::import_from(zd::import("zudirivi._tvx"), ZD_STR("TVX")));
    zd::load_step();
    py::object util = zd::import("zudirivi._util");
    zd::set_global("_bytestostring", zd::import_from(util, ZD_STR("_bytestostring")));
    zd::set_global("_isscalar", zd::import_from(util, ZD_STR("_isscalar")));
    zd::set_global("_stringtobytes", zd::import_from(util, ZD_STR("_stringtobytes")));

    zd::def("_geterrormsg", "obj", py_geterrormsg);
    zd::def("_getattrinfo", "obj, attrname", py_getattrinfo);
    zd::def("_getattr", "obj, attrname, is_model=False", py_getattr);
    zd::def("_gettypedattrlist", "obj, attrname, attrtype, inputlist", py_gettypedattrlist);
    zd::def("_setattr", "obj, attrname, newval, is_model=False", py_setattr);
    zd::def("_settypedattrlist", "obj, attrname, attrtype, indlist, newval", py_settypedattrlist);
    zd::def("_prefetchattr", "obj, attrname, is_model=False", py_prefetchattr);
    zd::def("_attrlist", "cmodel, type", py_attrlist);

    zd::load_step();
    py::object async_int =
        zd::steal(PyFrozenSet_New(py::make_tuple("status", "baritercount").ptr()));
    zd::set_global("ASYNC_INT_ATTRS", async_int);
    py::object async_dbl = zd::steal(PyFrozenSet_New(
        py::make_tuple("objval", "objbound", "objboundc", "itercount", "nodecount", "opennodecount")
            .ptr()));
    zd::set_global("ASYNC_DBL_ATTRS", async_dbl);

    zd::def("_get_async_attr", "model, attrname", py_get_async_attr);
    zd::set_global("__test__", zd::steal(PyDict_New()));
}

} // namespace
} // namespace propkit

ZD_MODULE(_propkit, propkit::exec_propkit)
