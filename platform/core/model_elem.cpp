// The model's element classes Var, Constr, QConstr and GenConstr: one small
// record each (model, element index, build position), solver attributes by
// name through _propkit.
#include "core.hpp"

#include <cstring>

PyTypeObject *Var_Type = nullptr;
PyTypeObject *Constr_Type = nullptr;
PyTypeObject *QConstr_Type = nullptr;
PyTypeObject *GenConstr_Type = nullptr;

namespace core {

PyTypeObject **const elem_types[NUM_KINDS] = {&Var_Type, &Constr_Type, &QConstr_Type,
                                              &GenConstr_Type};
const char *const elem_typenames[NUM_KINDS] = {"Var", "Constr", "QConstr", "GenConstr"};
const int elem_typeenums[NUM_KINDS] = {TVX_KIND_VAR, TVX_KIND_CONSTR, TVX_KIND_QCONSTR,
                                       TVX_KIND_GENCONSTR};

namespace {

// Name attribute and label prefix of each kind, for printing.
const char *const name_attrs[NUM_KINDS] = {"VarName", "ConstrName", "QCName", "GenConstrName"};
const char *const label_prefixes[NUM_KINDS] = {"C", "R", "QC", "GC"};

int kind_of_type(PyTypeObject *tp) {
    for (int k = 0; k < NUM_KINDS; ++k)
        if (tp == *elem_types[k])
            return k;
    return -1;
}

bool private_name(PyObject *name) {
    return !PyUnicode_Check(name) || PyUnicode_GET_LENGTH(name) == 0 ||
           PyUnicode_READ_CHAR(name, 0) == '_';
}

void Elem_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    Py_XDECREF(reinterpret_cast<PyObject *>(elem(self)->mc));
    tp->tp_free(self);
    Py_DECREF(tp);
}

// Names that ordinary lookup does not find read the solver attribute.
PyObject *Elem_getattro(PyObject *self, PyObject *name) {
    PyObject *r = PyObject_GenericGetAttr(self, name);
    if (r || !PyErr_ExceptionMatches(PyExc_AttributeError) || private_name(name))
        return r;
    PyErr_Clear();
    ZD_TRY
    return propkit("_getattr")(py::handle(self), py::handle(name)).release().ptr();
    ZD_CATCH(nullptr)
}

// Names starting with "_" are ordinary (and refused: there is no instance
// dict); any other name sets the solver attribute.
int Elem_setattro(PyObject *self, PyObject *name, PyObject *value) {
    if (private_name(name))
        return PyObject_GenericSetAttr(self, name, value);
    if (!value) {
        PyErr_Format(PyExc_AttributeError, "cannot delete attribute '%U'", name);
        return -1;
    }
    ZD_TRY
    propkit("_setattr")(py::handle(self), py::handle(name), py::handle(value));
    return 0;
    ZD_CATCH(-1)
}

PyObject *Elem_repr(PyObject *self) {
    ZD_TRY
    py::object label = zd::steal(var_label(self));
    return PyUnicode_FromFormat("<zudirivi.%s %U>", elem_typenames[elem_kind(self)], label.ptr());
    ZD_CATCH(nullptr)
}

Py_hash_t Elem_hash(PyObject *self) {
    // Identity hash: `==` of a Var builds a constraint, so equality is
    // never used for dict keys.
    size_t y = reinterpret_cast<size_t>(self);
    y = (y >> 4) | (y << (8 * sizeof(void *) - 4));
    Py_hash_t h = (Py_hash_t)y;
    return h == -1 ? -2 : h;
}

PyObject *Elem_get_cmodel(PyObject *self, void *) {
    return Py_NewRef(elem(self)->mc->cmodel);
}
PyObject *Elem_get_index(PyObject *self, void *) {
    return PyLong_FromLong(elem(self)->index);
}

PyObject *Elem_cindex(PyObject *self, PyObject *) {
    return PyLong_FromLong(elem(self)->index);
}

PyObject *Elem_getAttr(PyObject *self, PyObject *attrname) {
    ZD_TRY
    return propkit("_getattr")(py::handle(self), py::handle(attrname)).release().ptr();
    ZD_CATCH(nullptr)
}

PyObject *Elem_setAttr(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "setAttr() takes exactly 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    ZD_TRY
    propkit("_setattr")(py::handle(self), py::handle(args[0]), py::handle(args[1]));
    Py_RETURN_NONE;
    ZD_CATCH(nullptr)
}

PyMethodDef Elem_methods[] = {
    {"__cindex__", Elem_cindex, METH_NOARGS, "The element index in the model."},
    {"getAttr", Elem_getAttr, METH_O, "Value of a solver attribute of this element."},
    {"setAttr", (PyCFunction)(void (*)(void))Elem_setAttr, METH_FASTCALL,
     "Set a solver attribute of this element."},
    {nullptr, nullptr, 0, nullptr},
};

#define ELEM_GETSET(indexname)                                                                     \
    {                                                                                              \
        {"_cmodel", Elem_get_cmodel, nullptr, "Pointer wrapper of the element's model.", nullptr}, \
            {indexname, Elem_get_index, nullptr,                                                   \
             "Element index: 0 or more in the model, -1 pending, -2 or less removed.", nullptr},   \
        {                                                                                          \
            nullptr, nullptr, nullptr, nullptr, nullptr                                            \
        }                                                                                          \
    }

PyGetSetDef Var_getset[] = ELEM_GETSET("_colno");
PyGetSetDef Constr_getset[] = ELEM_GETSET("_rowno");
PyGetSetDef QConstr_getset[] = ELEM_GETSET("_qconstrno");
PyGetSetDef GenConstr_getset[] = ELEM_GETSET("_genconstrno");

#define ELEM_COMMON_SLOTS                                                                          \
    {Py_tp_dealloc, (void *)Elem_dealloc}, {Py_tp_repr, (void *)Elem_repr},                        \
        {Py_tp_hash, (void *)Elem_hash}, {Py_tp_getattro, (void *)Elem_getattro},                  \
        {Py_tp_setattro, (void *)Elem_setattro}, {                                                 \
        Py_tp_methods, Elem_methods                                                                \
    }

PyType_Slot Var_slots[] = {
    ELEM_COMMON_SLOTS,
    {Py_tp_getset, Var_getset},
    {Py_tp_doc, (void *)"A decision variable of a model."},
    {Py_nb_add, (void *)core_var_add},
    {Py_nb_subtract, (void *)core_var_sub},
    {Py_nb_multiply, (void *)core_var_mul},
    {Py_nb_true_divide, (void *)core_var_truediv},
    {Py_nb_power, (void *)core_var_pow},
    {Py_nb_negative, (void *)core_var_neg},
    {Py_nb_positive, (void *)core_var_pos},
    {Py_tp_richcompare, (void *)core_var_richcompare},
    {0, nullptr},
};

PyType_Slot Constr_slots[] = {
    ELEM_COMMON_SLOTS,
    {Py_tp_getset, Constr_getset},
    {Py_tp_doc, (void *)"A linear constraint of a model."},
    {0, nullptr},
};

PyType_Slot QConstr_slots[] = {
    ELEM_COMMON_SLOTS,
    {Py_tp_getset, QConstr_getset},
    {Py_tp_doc, (void *)"A quadratic constraint of a model."},
    {0, nullptr},
};

PyType_Slot GenConstr_slots[] = {
    ELEM_COMMON_SLOTS,
    {Py_tp_getset, GenConstr_getset},
    {Py_tp_doc, (void *)"A general constraint of a model."},
    {0, nullptr},
};

constexpr unsigned elem_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyType_Spec elem_specs[NUM_KINDS] = {
    {"zudirivi.Var", sizeof(ElemObject), 0, elem_flags, Var_slots},
    {"zudirivi.Constr", sizeof(ElemObject), 0, elem_flags, Constr_slots},
    {"zudirivi.QConstr", sizeof(ElemObject), 0, elem_flags, QConstr_slots},
    {"zudirivi.GenConstr", sizeof(ElemObject), 0, elem_flags, GenConstr_slots},
};

PyObject *text_from_library(const char *s) {
    return PyUnicode_DecodeUTF8(s, (Py_ssize_t)std::strlen(s), "replace");
}

} // namespace

int elem_kind(PyObject *o) {
    return kind_of_type(Py_TYPE(o));
}

PyObject *new_elem(int kind, ModelCoreObject *mc, int pos) {
    ElemObject *e = PyObject_New(ElemObject, *elem_types[kind]);
    if (!e)
        return nullptr;
    Py_INCREF(reinterpret_cast<PyObject *>(mc));
    e->mc = mc;
    e->index = -1;
    e->pos = pos;
    e->removed = 0;
    return reinterpret_cast<PyObject *>(e);
}

// The element's name when it has one, else its kind's letter and index;
// pending and removed elements have no index to show.
PyObject *var_label(PyObject *o) {
    int kind = elem_kind(o);
    if (kind < 0)
        return PyObject_Str(o);
    ElemObject *e = elem(o);
    if (e->index == -1)
        return PyUnicode_FromString("*Awaiting Model Update*");
    if (e->index < -1)
        return PyUnicode_FromString("*removed*");
    const char *name = nullptr;
    if (TVXgetstrattrelement(e->mc->model, name_attrs[kind], e->index, &name) == 0 && name &&
        name[0])
        return text_from_library(name);
    return PyUnicode_FromFormat("%s%d", label_prefixes[kind], e->index);
}

int var_values(PyObject *const *vars, Py_ssize_t n, double *out) {
    ZD_TRY
    std::vector<int> idx;
    Py_ssize_t i = 0;
    while (i < n) {
        // One list call per run of variables of the same model.
        ModelCoreObject *mc = nullptr;
        Py_ssize_t j = i;
        idx.clear();
        for (; j < n; ++j) {
            PyObject *v = vars[j];
            if (!is_var(v))
                zd::raisef(PyExc_TypeError, "expected Var, got %.200s", Py_TYPE(v)->tp_name);
            ElemObject *e = elem(v);
            if (mc && e->mc != mc)
                break;
            mc = e->mc;
            if (e->index == -1)
                raise_tvx(0, "Var has not yet been added to the model");
            if (e->index < -1)
                raise_tvx(0, "Var was removed from the model");
            idx.push_back(e->index);
        }
        int code = TVXgetdblattrlist(mc->model, "X", (int)idx.size(), idx.data(), out + i);
        if (code)
            raise_lib(code, vars[i]);
        i = j;
    }
    return 0;
    ZD_CATCH(-1)
}

void add_elem_types(py::handle module) {
    (void)module;
    for (int k = 0; k < NUM_KINDS; ++k) {
        PyObject *tp = zd::check(PyType_FromSpec(&elem_specs[k]));
        *elem_types[k] = reinterpret_cast<PyTypeObject *>(tp);
        py::object tn = zd::steal(PyUnicode_FromString(elem_typenames[k]));
        zd::check(PyObject_SetAttrString(tp, "_typename", tn.ptr()));
        py::object te = zd::steal(PyLong_FromLong(elem_typeenums[k]));
        zd::check(PyObject_SetAttrString(tp, "_typeenum", te.ptr()));
        zd::set_global(elem_typenames[k], tp);
    }
}

void check_owned(ModelObject *m, PyObject *o, int kind) {
    if (elem_kind(o) == kind) {
        ElemObject *e = elem(o);
        if (e->mc == m->mc && e->pos >= 0)
            return;
    }
    static const char *const msgs[NUM_KINDS] = {"Variable not in model", "Constraint not in model",
                                                "Quadratic constraint not in model",
                                                "General constraint not in model"};
    raise_tvx(TVX_ERROR_NOT_IN_MODEL, msgs[kind]);
}

} // namespace core
