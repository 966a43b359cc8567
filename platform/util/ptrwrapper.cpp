// Pointer wrapper: a Python object holding a raw library pointer, and the two
// native functions that convert between them (_ptr, _wrapptr).
#include "util.hpp"

#include <cstdint>

namespace zdutil {
namespace {

struct PtrWrapperObject {
    PyObject_HEAD void *ptr;
};

PyTypeObject *wrapper_type = nullptr;

void wrapper_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *wrapper_repr(PyObject *self) {
    return PyUnicode_FromFormat("<PtrWrapper %p>", reinterpret_cast<PtrWrapperObject *>(self)->ptr);
}

// The address, rotated so that the always-zero low bits of aligned pointers
// do not collide in hash tables.
Py_hash_t wrapper_hash(PyObject *self) {
    auto y = reinterpret_cast<std::uintptr_t>(reinterpret_cast<PtrWrapperObject *>(self)->ptr);
    y = (y >> 4) | (y << (8 * sizeof(std::uintptr_t) - 4));
    auto h = static_cast<Py_hash_t>(y);
    return h == -1 ? -2 : h;
}

PyObject *wrapper_richcompare(PyObject *a, PyObject *b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(b) != Py_TYPE(a))
        Py_RETURN_NOTIMPLEMENTED;
    bool same = reinterpret_cast<PtrWrapperObject *>(a)->ptr ==
                reinterpret_cast<PtrWrapperObject *>(b)->ptr;
    return PyBool_FromLong(op == Py_EQ ? same : !same);
}

PyType_Slot wrapper_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(wrapper_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(wrapper_repr)},
    {Py_tp_hash, reinterpret_cast<void *>(wrapper_hash)},
    {Py_tp_richcompare, reinterpret_cast<void *>(wrapper_richcompare)},
    {Py_tp_doc, const_cast<char *>("Raw pointer of a library object (made by the package only).")},
    {0, nullptr},
};

// No instances from Python: an arbitrary address must never reach the library.
PyType_Spec wrapper_spec = {
    "zudirivi._util.PtrWrapper",
    sizeof(PtrWrapperObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    wrapper_slots,
};

} // namespace

PyTypeObject *ptrwrapper_type() {
    if (!wrapper_type) {
        PyObject *tp = PyType_FromSpec(&wrapper_spec);
        if (!tp)
            throw python_error();
        wrapper_type = reinterpret_cast<PyTypeObject *>(tp); // kept for the process
    }
    return wrapper_type;
}

// "void *(PyObject *)": the wrapped pointer; None gives NULL without error;
// anything else gives NULL with TypeError set.
void *capi_ptr(PyObject *wrapper) {
    if (wrapper == Py_None)
        return nullptr;
    if (!wrapper || !wrapper_type || Py_TYPE(wrapper) != wrapper_type) {
        PyErr_Format(PyExc_TypeError, "expected a pointer wrapper or None, got %.200s",
                     wrapper ? Py_TYPE(wrapper)->tp_name : "NULL");
        return nullptr;
    }
    return reinterpret_cast<PtrWrapperObject *>(wrapper)->ptr;
}

// "PyObject *(void *)": a new wrapper of the pointer; NULL gives None.
PyObject *capi_wrapptr(void *ptr) {
    if (!ptr)
        Py_RETURN_NONE;
    if (!wrapper_type) {
        PyErr_SetString(PyExc_SystemError, "zudirivi._util is not initialised");
        return nullptr;
    }
    PyObject *self = PyType_GenericAlloc(wrapper_type, 0);
    if (!self)
        return nullptr;
    reinterpret_cast<PtrWrapperObject *>(self)->ptr = ptr;
    return self;
}

} // namespace zdutil
