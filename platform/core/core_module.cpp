// Module zudirivi._core (stand-in): load-time bindings, the exception class,
// lazy access to the modules that load after this one, and the module init.
#include "core.hpp"

namespace core {

void *(*ptr_fn)(PyObject *) = nullptr;
PyObject *(*wrapptr_fn)(void *) = nullptr;
PyObject *TovrixError = nullptr;
PyObject *TVX = nullptr;

namespace {

PyObject *g_propkit = nullptr;   // zudirivi._propkit, once imported
PyObject *g_arrayexpr = nullptr; // zudirivi._arrayexpr, once imported

void exec_module(py::handle module) {
    zd::load_step();
    ptr_fn = reinterpret_cast<void *(*)(PyObject *)>(
        zd::bind_capi("zudirivi._util", "_ptr", "void *(PyObject *)"));
    wrapptr_fn = reinterpret_cast<PyObject *(*)(void *)>(
        zd::bind_capi("zudirivi._util", "_wrapptr", "PyObject *(void *)"));
    py::object util = zd::import("zudirivi._util");
    py::object isscalar = zd::import_from(util, ZD_STR("_isscalar"));

    zd::load_step();
    py::object tvx = zd::import_from(zd::import("zudirivi._tvx"), ZD_STR("TVX"));
    TVX = tvx.release().ptr();

    zd::load_step();
    TovrixError =
        zd::import_from(zd::import("zudirivi._exception"), ZD_STR("TovrixError")).release().ptr();

    zd::load_step();
    add_env_types(module);
    add_elem_types(module);
    zd::load_step();
    zd::check(core_add_expr_types(module.ptr()));
    add_model_type(module);

    zd::load_step();
    py::object ns = zd::steal(PyDict_New());
    zd::check(PyDict_SetItemString(ns.ptr(), "__module__", ZD_STR("zudirivi").ptr()));
    py::object doc = zd::steal(PyUnicode_FromString(
        "A dict whose keys are tuples; returned by the model's building functions."));
    zd::check(PyDict_SetItemString(ns.ptr(), "__doc__", doc.ptr()));
    py::object tupledict = zd::steal(
        PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyType_Type), "s(O)O", "tupledict",
                              reinterpret_cast<PyObject *>(&PyDict_Type), ns.ptr()));
    zd::set_global("tupledict", tupledict);

    zd::set_global("TovrixError", TovrixError);
    // The scalar test of _util is the package's one.
    zd::set_global("_isscalar", isscalar);

    core_var_values = var_values;
    core_var_label = var_label;
}

} // namespace

py::object propkit(const char *name) {
    if (!g_propkit)
        g_propkit = zd::import("zudirivi._propkit").release().ptr();
    return zd::steal(PyObject_GetAttrString(g_propkit, name));
}

py::object arrayexpr(const char *name) {
    if (!g_arrayexpr)
        g_arrayexpr = zd::import("zudirivi._arrayexpr").release().ptr();
    return zd::steal(PyObject_GetAttrString(g_arrayexpr, name));
}

void raise_lib(int code, PyObject *owner) {
    // The exception takes the library's message from the object.
    py::object exc = zd::steal(PyObject_CallFunction(TovrixError, "iO", code, owner));
    PyErr_SetObject(TovrixError, exc.ptr());
    throw zd::python_error();
}

void raise_tvx(int code, const char *message) {
    py::object exc = zd::steal(PyObject_CallFunction(TovrixError, "is", code, message));
    PyErr_SetObject(TovrixError, exc.ptr());
    throw zd::python_error();
}

} // namespace core

ZD_MODULE(_core, core::exec_module)
