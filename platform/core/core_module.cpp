// Module zudirivi._core (stand-in): load-time bindings, the exception class,
// lazy access to the modules that load after this one, and the module init.
#include "core.hpp"

namespace core {

void *(*ptr_fn)(PyObject *) = nullptr;
PyObject *(*wrapptr_fn)(void *) = nullptr;
PyObject *TovrixError = nullptr;
bool tovrix_error_fallback = false;
PyObject *TVX = nullptr;

namespace {

PyObject *g_propkit = nullptr;   // zudirivi._propkit, once imported
PyObject *g_arrayexpr = nullptr; // zudirivi._arrayexpr, once imported

// Stand-in for TovrixError while zudirivi._exception cannot be imported: it
// keeps the code and takes the message text as given.
const char *fallback_exception_source = R"(
class TovrixError(Exception):
    def __init__(self, errno, argument):
        super().__init__(errno, argument)
        self.errno = errno
        self.message = argument

    def __str__(self):
        return str(self.message)
)";

py::object make_fallback_exception() {
    py::object globals = zd::steal(PyDict_New());
    zd::check(PyDict_SetItemString(globals.ptr(), "__builtins__", PyEval_GetBuiltins()));
    zd::check(PyDict_SetItemString(globals.ptr(), "__name__", ZD_STR("zudirivi._core").ptr()));
    zd::steal(PyRun_String(fallback_exception_source, Py_file_input, globals.ptr(), globals.ptr()));
    return zd::borrow(zd::check(PyDict_GetItemString(globals.ptr(), "TovrixError")));
}

// The library's last message for the object behind an error, for the
// fallback exception only.
std::string library_message(PyObject *owner) {
    const char *msg = nullptr;
    if (PyObject_TypeCheck(owner, Env_Type)) {
        msg = TVXgeterrormsg(reinterpret_cast<EnvObject *>(owner)->env);
    } else if (PyObject_TypeCheck(owner, Model_Type)) {
        ModelCoreObject *mc = model(owner)->mc;
        msg = mc ? TVXgetmerrormsg(mc->model) : nullptr;
    } else if (elem_kind(owner) >= 0) {
        msg = TVXgetmerrormsg(elem(owner)->mc->model);
    }
    return msg ? msg : "";
}

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
    {
        // TODO(remove with the fallback): zudirivi._exception lands later;
        // until it does, a placeholder class stands in for TovrixError.
        PyObject *exc = nullptr;
        PyObject *mod = PyImport_ImportModule("zudirivi._exception");
        if (mod) {
            exc = PyObject_GetAttrString(mod, "TovrixError");
            Py_DECREF(mod);
        }
        if (!exc) {
            if (!PyErr_ExceptionMatches(PyExc_ImportError) &&
                !PyErr_ExceptionMatches(PyExc_AttributeError))
                throw zd::python_error();
            PyErr_Clear();
            exc = make_fallback_exception().release().ptr();
            tovrix_error_fallback = true;
        }
        TovrixError = exc;
    }

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
    py::object exc;
    if (tovrix_error_fallback) {
        std::string msg = library_message(owner);
        exc = zd::steal(PyObject_CallFunction(TovrixError, "is", code, msg.c_str()));
    } else {
        exc = zd::steal(PyObject_CallFunction(TovrixError, "iO", code, owner));
    }
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
