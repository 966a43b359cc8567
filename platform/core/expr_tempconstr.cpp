// TempConstr(lhs, sense, rhs): a comparison waiting for Model.addConstr.
// The three parts are kept as given: "<", ">" or "=" as the sense.
#include "expr_internal.hpp"

namespace zdcore {

namespace {

// clang-format off
struct TempConstrObject {
    PyObject_HEAD
    PyObject *lhs;
    PyObject *sense;
    PyObject *rhs;
};
// clang-format on

TempConstrObject *tc_ptr(PyObject *o) {
    return reinterpret_cast<TempConstrObject *>(o);
}

py::object tc_alloc(PyTypeObject *type, PyObject *lhs, PyObject *sense, PyObject *rhs) {
    PyObject *o = type->tp_alloc(type, 0);
    if (!o)
        throw_py();
    TempConstrObject *t = tc_ptr(o);
    Py_INCREF(lhs);
    Py_INCREF(sense);
    Py_INCREF(rhs);
    t->lhs = lhs;
    t->sense = sense;
    t->rhs = rhs;
    return steal(o);
}

PyObject *tc_tp_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    return entry([&] {
        PyObject *lhs, *sense, *rhs;
        if (kwds && PyDict_GET_SIZE(kwds))
            raise(PyExc_TypeError, "TempConstr() takes no keyword arguments");
        if (!PyArg_UnpackTuple(args, "TempConstr", 3, 3, &lhs, &sense, &rhs))
            throw_py();
        return tc_alloc(type, lhs, sense, rhs).release().ptr();
    });
}

int tc_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(tc_ptr(self)->lhs);
    Py_VISIT(tc_ptr(self)->sense);
    Py_VISIT(tc_ptr(self)->rhs);
    return 0;
}

int tc_clear(PyObject *self) {
    Py_CLEAR(tc_ptr(self)->lhs);
    Py_CLEAR(tc_ptr(self)->sense);
    Py_CLEAR(tc_ptr(self)->rhs);
    return 0;
}

void tc_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    tc_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *tc_repr(PyObject *self) {
    TempConstrObject *t = tc_ptr(self);
    if (!t->lhs || !t->sense || !t->rhs)
        return PyUnicode_FromString("<zudirivi.TempConstr>");
    const char *op = "?";
    if (PyUnicode_Check(t->sense)) {
        const char *s = PyUnicode_AsUTF8(t->sense);
        if (!s)
            return nullptr;
        op = *s == '<' ? "<=" : *s == '>' ? ">=" : *s == '=' ? "==" : s;
    }
    return PyUnicode_FromFormat("<zudirivi.TempConstr: %S %s %S>", t->lhs, op, t->rhs);
}

PyObject *tc_get(PyObject *self, void *closure) {
    TempConstrObject *t = tc_ptr(self);
    PyObject *v = closure == nullptr                       ? t->lhs
                  : closure == reinterpret_cast<void *>(1) ? t->sense
                                                           : t->rhs;
    if (!v)
        v = Py_None;
    Py_INCREF(v);
    return v;
}

PyGetSetDef tc_getset[] = {
    {"_lhs", tc_get, nullptr, "Left-hand side.", nullptr},
    {"_sense", tc_get, nullptr, "Sense: \"<\", \">\" or \"=\".", reinterpret_cast<void *>(1)},
    {"_rhs", tc_get, nullptr, "Right-hand side.", reinterpret_cast<void *>(2)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

} // namespace

py::object tempconstr_new(PyObject *lhs, PyObject *sense, PyObject *rhs) {
    return tc_alloc(TempConstr_Type, lhs, sense, rhs);
}

PyTypeObject *make_tempconstr_type() {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void *>(tc_tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void *>(tc_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(tc_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(tc_clear)},
        {Py_tp_repr, reinterpret_cast<void *>(tc_repr)},
        {Py_tp_getset, tc_getset},
        {Py_tp_doc,
         const_cast<char *>("A temporary constraint: left-hand side, sense and right-hand side.")},
        {0, nullptr},
    };
    PyType_Spec spec = {
        "zudirivi.TempConstr",
        static_cast<int>(sizeof(TempConstrObject)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
        slots,
    };
    return reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&spec));
}

} // namespace zdcore
