// Env (a library environment) and the package class tovrix with its default
// environment.
#include "core.hpp"

#include <cstring>

PyTypeObject *Env_Type = nullptr;

namespace core {
namespace {

PyTypeObject *tovrix_type = nullptr;
PyObject *g_default_env = nullptr; // kept for the life of the process

EnvObject *envobj(PyObject *o) {
    return reinterpret_cast<EnvObject *>(o);
}

PyObject *Env_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *self = type->tp_alloc(type, 0);
    if (!self)
        return nullptr;
    envobj(self)->env = nullptr;
    envobj(self)->cenv = Py_NewRef(Py_None);
    envobj(self)->weakreflist = nullptr;
    return self;
}

int Env_init(PyObject *self, PyObject *args, PyObject *kwds) {
    ZD_TRY
    static const char *kwlist[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, ":Env", const_cast<char **>(kwlist)))
        return -1;
    EnvObject *e = envobj(self);
    if (e->env)
        zd::raise(PyExc_RuntimeError, "Env is already initialised");
    TVXenv *env = nullptr;
    int code = TVXemptyenv(&env);
    if (code)
        raise_lib(code, self); // `_cenv` is None: "Failed to create environment"
    PyObject *wrapper = wrapptr_fn(env);
    if (!wrapper) {
        TVXfreeenv(env);
        throw zd::python_error();
    }
    e->env = env;
    Py_SETREF(e->cenv, wrapper);
    return 0;
    ZD_CATCH(-1)
}

void Env_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    EnvObject *e = envobj(self);
    if (e->weakreflist)
        PyObject_ClearWeakRefs(self);
    if (e->env)
        TVXfreeenv(e->env);
    Py_CLEAR(e->cenv);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *Env_get_cenv(PyObject *self, void *) {
    return Py_NewRef(envobj(self)->cenv);
}

// UTF-8 text of a str, or the bytes of a bytes object; no NUL inside.
std::string text_arg(PyObject *o, const char *what) {
    const char *s = nullptr;
    Py_ssize_t n = 0;
    if (PyUnicode_Check(o)) {
        s = PyUnicode_AsUTF8AndSize(o, &n);
        if (!s)
            throw zd::python_error();
    } else if (PyBytes_Check(o)) {
        s = PyBytes_AS_STRING(o);
        n = PyBytes_GET_SIZE(o);
    } else {
        zd::raisef(PyExc_TypeError, "%s must be str or bytes, not %.200s", what,
                   Py_TYPE(o)->tp_name);
    }
    if (std::memchr(s, 0, (size_t)n))
        zd::raisef(PyExc_ValueError, "%s contains a NUL", what);
    return std::string(s, (size_t)n);
}

int int_arg(PyObject *o, const char *what) {
    long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred())
        throw zd::python_error();
    if (v < INT32_MIN || v > INT32_MAX)
        zd::raisef(PyExc_OverflowError, "%s out of range", what);
    return (int)v;
}

// Test aid: a batch with its status and JSON solution text.
PyObject *Env_addTestBatch(PyObject *self, PyObject *args, PyObject *kwds) {
    ZD_TRY
    static const char *kwlist[] = {"batchid", "status", "jsontext", nullptr};
    PyObject *batchid, *status, *json = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|O:_addTestBatch", const_cast<char **>(kwlist),
                                     &batchid, &status, &json))
        return nullptr;
    std::string id = text_arg(batchid, "batchid");
    int st = int_arg(status, "status");
    std::string text;
    if (json != Py_None)
        text = text_arg(json, "jsontext");
    int code = TVXtest_addbatch(envobj(self)->env, id.c_str(), st,
                                json == Py_None ? nullptr : text.c_str());
    if (code)
        raise_lib(code, self);
    Py_RETURN_NONE;
    ZD_CATCH(nullptr)
}

PyObject *Env_setTestBatchStatus(PyObject *self, PyObject *args, PyObject *kwds) {
    ZD_TRY
    static const char *kwlist[] = {"batchid", "status", nullptr};
    PyObject *batchid, *status;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:_setTestBatchStatus",
                                     const_cast<char **>(kwlist), &batchid, &status))
        return nullptr;
    std::string id = text_arg(batchid, "batchid");
    int code = TVXtest_setbatchstatus(envobj(self)->env, id.c_str(), int_arg(status, "status"));
    if (code)
        raise_lib(code, self);
    Py_RETURN_NONE;
    ZD_CATCH(nullptr)
}

PyObject *Env_setTestBatchError(PyObject *self, PyObject *args, PyObject *kwds) {
    ZD_TRY
    static const char *kwlist[] = {"batchid", "errorcode", "errormessage", nullptr};
    PyObject *batchid, *errorcode, *message;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOO:_setTestBatchError",
                                     const_cast<char **>(kwlist), &batchid, &errorcode, &message))
        return nullptr;
    std::string id = text_arg(batchid, "batchid");
    std::string msg = text_arg(message, "errormessage");
    int code = TVXtest_setbatcherror(envobj(self)->env, id.c_str(), int_arg(errorcode, "errorcode"),
                                     msg.c_str());
    if (code)
        raise_lib(code, self);
    Py_RETURN_NONE;
    ZD_CATCH(nullptr)
}

PyObject *Env_repr(PyObject *self) {
    return PyUnicode_FromString(envobj(self)->env ? "<zudirivi.Env>"
                                                  : "<zudirivi.Env (not created)>");
}

PyMethodDef Env_methods[] = {
    {"_addTestBatch", (PyCFunction)(void (*)(void))Env_addTestBatch, METH_VARARGS | METH_KEYWORDS,
     "Test aid: create a batch request with a status and a JSON solution text."},
    {"_setTestBatchStatus", (PyCFunction)(void (*)(void))Env_setTestBatchStatus,
     METH_VARARGS | METH_KEYWORDS, "Test aid: set the status of a batch request."},
    {"_setTestBatchError", (PyCFunction)(void (*)(void))Env_setTestBatchError,
     METH_VARARGS | METH_KEYWORDS, "Test aid: set the error code and message of a batch."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Env_getset[] = {
    {"_cenv", Env_get_cenv, nullptr, "Pointer wrapper of the library environment, or None.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef Env_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(EnvObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot Env_slots[] = {
    {Py_tp_new, (void *)Env_new},
    {Py_tp_init, (void *)Env_init},
    {Py_tp_dealloc, (void *)Env_dealloc},
    {Py_tp_repr, (void *)Env_repr},
    {Py_tp_methods, Env_methods},
    {Py_tp_getset, Env_getset},
    {Py_tp_members, Env_members},
    {Py_tp_doc, (void *)"An environment of the solver library."},
    {0, nullptr},
};

PyType_Spec Env_spec = {"zudirivi.Env", sizeof(EnvObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, Env_slots};

// tovrix._getdefaultenv(): the one default environment, made on first use.
PyObject *tovrix_getdefaultenv(PyObject *, PyObject *) {
    if (!g_default_env) {
        PyObject *env = PyObject_CallNoArgs(reinterpret_cast<PyObject *>(Env_Type));
        if (!env)
            return nullptr;
        g_default_env = env;
    }
    return Py_NewRef(g_default_env);
}

PyMethodDef tovrix_methods[] = {
    {"_getdefaultenv", tovrix_getdefaultenv, METH_NOARGS | METH_STATIC,
     "The default environment, created on first use."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot tovrix_slots[] = {
    {Py_tp_methods, tovrix_methods},
    {Py_tp_doc, (void *)"The package class: holds the default environment."},
    {0, nullptr},
};

PyType_Spec tovrix_spec = {"zudirivi.tovrix", sizeof(PyObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, tovrix_slots};

} // namespace

PyObject *default_env() {
    return tovrix_getdefaultenv(nullptr, nullptr);
}

void add_env_types(py::handle module) {
    Env_Type = reinterpret_cast<PyTypeObject *>(zd::check(PyType_FromSpec(&Env_spec)));
    zd::set_global("Env", reinterpret_cast<PyObject *>(Env_Type));
    tovrix_type = reinterpret_cast<PyTypeObject *>(zd::check(PyType_FromSpec(&tovrix_spec)));
    zd::set_global("tovrix", reinterpret_cast<PyObject *>(tovrix_type));
    (void)module;
}

} // namespace core
