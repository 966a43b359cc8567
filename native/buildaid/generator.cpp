// The module's generator type: yields mapping[name] for each name of a tuple
// that the mapping holds. It offers the generator protocol (send, throw,
// close) and is registered as a collections.abc.Generator at load.
#include "buildaid.hpp"

namespace buildaid {
namespace {

struct GenObject {
    PyObject_HEAD PyObject *mapping;
    PyObject *names; // tuple
    Py_ssize_t pos;
    bool started;
    bool running; // inside the mapping's code, which must not step or close us
};

void finish(GenObject *g) {
    Py_CLEAR(g->mapping);
    Py_CLEAR(g->names);
}

// A generator asked to step, take an exception or close while its mapping's
// code runs: ValueError, as for a Python generator.
bool refuse_running(GenObject *g) {
    if (!g->running)
        return false;
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return true;
}

PyObject *gen_next(PyObject *self) {
    auto *g = reinterpret_cast<GenObject *>(self);
    if (refuse_running(g))
        return nullptr;
    g->started = true;
    if (!g->names)
        return nullptr;
    g->running = true;
    PyObject *result = nullptr;
    while (g->pos < PyTuple_GET_SIZE(g->names)) {
        PyObject *name = PyTuple_GET_ITEM(g->names, g->pos++);
        int has = PySequence_Contains(g->mapping, name);
        if (has < 0)
            break;
        if (has) {
            result = PyObject_GetItem(g->mapping, name);
            break;
        }
    }
    g->running = false;
    if (!result)
        finish(g);
    return result;
}

PyObject *gen_send(PyObject *self, PyObject *value) {
    auto *g = reinterpret_cast<GenObject *>(self);
    if (refuse_running(g))
        return nullptr;
    if (!g->started && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject *r = gen_next(self);
    if (!r && !PyErr_Occurred())
        PyErr_SetNone(PyExc_StopIteration);
    return r;
}

PyObject *gen_throw(PyObject *self, PyObject *args) {
    PyObject *typ, *val = nullptr, *tb = nullptr;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &typ, &val, &tb))
        return nullptr;
    if (refuse_running(reinterpret_cast<GenObject *>(self)))
        return nullptr;
    finish(reinterpret_cast<GenObject *>(self));
    if (PyExceptionInstance_Check(typ)) {
        PyErr_SetObject(PyExceptionInstance_Class(typ), typ);
    } else if (PyExceptionClass_Check(typ)) {
        PyErr_SetObject(typ, val && val != Py_None ? val : nullptr);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, "
                     "not %.200s",
                     Py_TYPE(typ)->tp_name);
    }
    return nullptr;
}

PyObject *gen_close(PyObject *self, PyObject *) {
    if (refuse_running(reinterpret_cast<GenObject *>(self)))
        return nullptr;
    finish(reinterpret_cast<GenObject *>(self));
    Py_RETURN_NONE;
}

int gen_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *g = reinterpret_cast<GenObject *>(self);
    Py_VISIT(g->mapping);
    Py_VISIT(g->names);
    return 0;
}

int gen_clear(PyObject *self) {
    finish(reinterpret_cast<GenObject *>(self));
    return 0;
}

void gen_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    gen_clear(self);
    PyObject_GC_Del(self);
}

PyMethodDef gen_methods[] = {
    {"send", gen_send, METH_O, nullptr},
    {"throw", gen_throw, METH_VARARGS, nullptr},
    {"close", gen_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject GenType{};

} // namespace

PyTypeObject *generator_type() {
    if (!(GenType.tp_flags & Py_TPFLAGS_READY)) {
        Py_SET_REFCNT(&GenType, 1);
        Py_SET_TYPE(&GenType, &PyType_Type);
        GenType.tp_name = "zudirivi._buildaid.generator";
        GenType.tp_basicsize = sizeof(GenObject);
        GenType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
        GenType.tp_iter = PyObject_SelfIter;
        GenType.tp_iternext = gen_next;
        GenType.tp_methods = gen_methods;
        GenType.tp_dealloc = gen_dealloc;
        GenType.tp_traverse = gen_traverse;
        GenType.tp_clear = gen_clear;
        zd::check(PyType_Ready(&GenType));
    }
    return &GenType;
}

py::object present_values(py::handle mapping, py::handle names) {
    auto *g = PyObject_GC_New(GenObject, generator_type());
    if (!g)
        zd::throw_error();
    g->mapping = mapping.inc_ref().ptr();
    g->names = names.inc_ref().ptr();
    g->pos = 0;
    g->started = false;
    g->running = false;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(g));
    return zd::steal(reinterpret_cast<PyObject *>(g));
}

} // namespace buildaid
