// Module zudirivi._exception: the package's exception class TovrixError, the
// lookup of the solver library's last error message for a failed object, and
// the two native message functions published in __pyx_capi__.
#include "zd.hpp"

#include "tovrix.h"

#include <cstring>

namespace {

using PtrFn = void *(*)(PyObject *);

PtrFn g_ptr = nullptr;
PyObject *g_tovrix_error = nullptr; // the class, held for the process (super())

// Copies a library text into a new str, invalid UTF-8 replaced by U+FFFD.
// A NULL text reads as "".
PyObject *decode_library_text(const char *text) {
    if (!text)
        return PyUnicode_FromStringAndSize("", 0);
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace");
}

// "PyObject *(void *)": last error message of an environment. A NULL handle
// never reaches the library and gives "".
PyObject *get_env_errormsg_string(void *env) {
    if (!env)
        return PyUnicode_FromStringAndSize("", 0);
    return decode_library_text(TVXgeterrormsg(static_cast<TVXenv *>(env)));
}

// "PyObject *(void *)": last error message of a model; "" for a NULL handle.
PyObject *get_model_errormsg_string(void *model) {
    if (!model)
        return PyUnicode_FromStringAndSize("", 0);
    return decode_library_text(TVXgetmerrormsg(static_cast<TVXmodel *>(model)));
}

void *ptr_of(py::handle wrapper) {
    void *p = g_ptr(wrapper.ptr());
    if (PyErr_Occurred())
        throw zd::python_error();
    return p;
}

// `getattr(obj, name)`, with any exception swallowed into "not there".
py::object try_getattr(py::handle obj, py::handle name) {
    PyObject *v = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (!v) {
        PyErr_Clear();
        return py::object();
    }
    return zd::steal(v);
}

// Message of an environment-like object (an Env or a Batch): the library's
// last message of its `_cenv`, or `missing` when `_cenv` is None.
py::object env_message(py::handle argument, const char *missing) {
    py::object cenv = zd::steal(PyObject_GetAttr(argument.ptr(), ZD_STR("_cenv").ptr()));
    if (cenv.is_none())
        return zd::steal(PyUnicode_FromString(missing));
    cenv = zd::steal(PyObject_GetAttr(argument.ptr(), ZD_STR("_cenv").ptr()));
    return zd::steal(get_env_errormsg_string(ptr_of(cenv)));
}

bool is_instance(py::handle obj, py::handle cls) {
    return zd::check(PyObject_IsInstance(obj.ptr(), cls.ptr())) == 1;
}

// _errormsg_from_object(argument): the message text for a failed object.
py::object errormsg_from_object(const zd::Args &a) {
    py::handle argument = a[0];
    py::object batch_cls = zd::import_from(zd::import("zudirivi._batch"), ZD_STR("Batch"));
    py::object env_cls = zd::import_from(zd::import("zudirivi._core"), ZD_STR("Env"));
    if (PyUnicode_Check(argument.ptr()))
        return zd::borrow(argument.ptr());
    if (is_instance(argument, env_cls))
        return env_message(argument, "Failed to create environment");
    if (is_instance(argument, batch_cls))
        return env_message(argument, "Failed to create batch request");
    if (try_getattr(argument, ZD_STR("_cmodel"))) {
        py::object cmodel = zd::steal(PyObject_GetAttr(argument.ptr(), ZD_STR("_cmodel").ptr()));
        return zd::steal(get_model_errormsg_string(ptr_of(cmodel)));
    }
    return zd::steal(PyUnicode_FromStringAndSize("", 0));
}

py::object get_message(const zd::Args &a) {
    return zd::steal(PyObject_GetAttr(a[0].ptr(), ZD_STR("_message").ptr()));
}

py::object set_message(const zd::Args &a) {
    zd::check(PyObject_SetAttr(a[0].ptr(), ZD_STR("_message").ptr(), a[1].ptr()));
    return py::none();
}

// TovrixError.__init__(self, errno, argument)
py::object tovrix_error_init(const zd::Args &a) {
    py::handle self = a[0], errno_ = a[1], argument = a[2];
    py::object lookup = zd::global(ZD_STR("_errormsg_from_object"));
    py::object message = lookup(argument);
    py::object sup = zd::steal(PyObject_CallFunctionObjArgs(
        reinterpret_cast<PyObject *>(&PySuper_Type), g_tovrix_error, self.ptr(), nullptr));
    sup.attr(ZD_STR("__init__"))(errno_, message);
    zd::check(PyObject_SetAttr(self.ptr(), ZD_STR("errno").ptr(), errno_.ptr()));
    zd::check(PyObject_SetAttr(self.ptr(), ZD_STR("message").ptr(), message.ptr()));
    return py::none();
}

py::object tovrix_error_str(const zd::Args &a) {
    return zd::steal(PyObject_GetAttr(a[0].ptr(), ZD_STR("message").ptr()));
}

void exec_exception(py::handle module) {
    zd::load_step();
    zd::publish_capi(module, "_get_env_errormsg_string",
                     reinterpret_cast<void *>(&get_env_errormsg_string), "PyObject *(void *)");
    zd::publish_capi(module, "_get_model_errormsg_string",
                     reinterpret_cast<void *>(&get_model_errormsg_string), "PyObject *(void *)");

    zd::load_step();
    g_ptr = reinterpret_cast<PtrFn>(zd::bind_capi("zudirivi._util", "_ptr", "void *(PyObject *)"));

    zd::def("_errormsg_from_object", "argument", errormsg_from_object);

    zd::ClassBuilder cls("TovrixError", py::make_tuple(py::handle(PyExc_Exception)),
                         "Tovrix exception class");
    cls.method("_get_message", "self", get_message)
        .method("_set_message", "self, message", set_message);
    py::object prop = zd::steal(PyObject_CallFunctionObjArgs(
        reinterpret_cast<PyObject *>(&PyProperty_Type), cls.ns()["_get_message"].ptr(),
        cls.ns()["_set_message"].ptr(), nullptr));
    cls.attr("message", prop)
        .method("__init__", "self, errno, argument", tovrix_error_init)
        .method("__str__", "self", tovrix_error_str);
    py::object tovrix_error = cls.create();
    g_tovrix_error = tovrix_error.release().ptr();

    zd::set_global("__test__", zd::steal(PyDict_New()));
}

} // namespace

ZD_MODULE(_exception, exec_exception)
