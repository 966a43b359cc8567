// Model: the library model, its per-kind element lists and their
// bookkeeping (pending, removed, renumbering at update), attributes by name,
// element lists, rows, and the test aids.
#include "core.hpp"
#include "model_arrays.hpp"

#include <cstring>

PyTypeObject *Model_Type = nullptr;

namespace core {
namespace {

PyTypeObject *ModelCore_Type = nullptr;

// --- ModelCore: the library model, freed with its last holder ---------------

void ModelCore_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    ModelCoreObject *mc = reinterpret_cast<ModelCoreObject *>(self);
    if (mc->model)
        TVXfreemodel(mc->model);
    Py_XDECREF(mc->cmodel);
    Py_XDECREF(mc->env); // the environment goes after its model
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyType_Slot ModelCore_slots[] = {
    {Py_tp_dealloc, (void *)ModelCore_dealloc},
    {0, nullptr},
};

PyType_Spec ModelCore_spec = {"zudirivi._ModelCore", sizeof(ModelCoreObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                              ModelCore_slots};

// --- Model -------------------------------------------------------------------

PyObject *Model_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *self = type->tp_alloc(type, 0); // zero-filled
    if (!self)
        return nullptr;
    ModelObject *m = model(self);
    m->env = Py_NewRef(Py_None);
    for (int k = 0; k < NUM_KINDS; ++k) {
        m->lists[k] = PyList_New(0);
        if (!m->lists[k]) {
            Py_DECREF(self);
            return nullptr;
        }
    }
    return self;
}

int Model_init(PyObject *self, PyObject *args, PyObject *kwds) {
    ZD_TRY
    static const char *kwlist[] = {"name", "env", nullptr};
    PyObject *name = nullptr, *env = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OO:Model", const_cast<char **>(kwlist), &name,
                                     &env))
        return -1;
    ModelObject *m = model(self);
    if (m->mc)
        zd::raise(PyExc_RuntimeError, "Model is already initialised");
    const char *cname = "";
    if (name && name != Py_None) {
        if (!PyUnicode_Check(name))
            zd::raisef(PyExc_TypeError, "Model name must be str, not %.200s",
                       Py_TYPE(name)->tp_name);
        cname = PyUnicode_AsUTF8(name);
        if (!cname)
            throw zd::python_error();
    }
    py::object envobj;
    if (env == Py_None) {
        envobj = zd::steal(default_env());
    } else {
        if (!PyObject_TypeCheck(env, Env_Type))
            zd::raisef(PyExc_TypeError, "env must be an Env, not %.200s", Py_TYPE(env)->tp_name);
        envobj = zd::borrow(env);
    }
    TVXmodel *lm = nullptr;
    int code = TVXnewmodel(reinterpret_cast<EnvObject *>(envobj.ptr())->env, &lm, cname);
    if (code)
        raise_lib(code, envobj.ptr());
    PyObject *wrapper = wrapptr_fn(lm);
    if (!wrapper) {
        TVXfreemodel(lm);
        throw zd::python_error();
    }
    ModelCoreObject *mc = PyObject_New(ModelCoreObject, ModelCore_Type);
    if (!mc) {
        Py_DECREF(wrapper);
        TVXfreemodel(lm);
        throw zd::python_error();
    }
    mc->model = lm;
    mc->cmodel = wrapper;
    mc->env = Py_NewRef(envobj.ptr());
    m->mc = mc;
    Py_SETREF(m->env, envobj.release().ptr());
    return 0;
    ZD_CATCH(-1)
}

int Model_traverse(PyObject *self, visitproc visit, void *arg) {
    ModelObject *m = model(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(m->dict);
    for (int k = 0; k < NUM_KINDS; ++k)
        Py_VISIT(m->lists[k]);
    return 0;
}

int Model_clear(PyObject *self) {
    // Only the instance dict can lead back to the model.
    Py_CLEAR(model(self)->dict);
    return 0;
}

void Model_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    ModelObject *m = model(self);
    PyObject_GC_UnTrack(self);
    if (m->weakreflist)
        PyObject_ClearWeakRefs(self);
    Py_CLEAR(m->dict);
    for (int k = 0; k < NUM_KINDS; ++k)
        Py_CLEAR(m->lists[k]);
    // Elements that outlive the model keep the library model alive.
    Py_CLEAR(m->mc);
    Py_CLEAR(m->env);
    tp->tp_free(self);
    Py_DECREF(tp);
}

bool private_name(PyObject *name) {
    return !PyUnicode_Check(name) || PyUnicode_GET_LENGTH(name) == 0 ||
           PyUnicode_READ_CHAR(name, 0) == '_';
}

py::object model_attr(PyObject *self, PyObject *name) {
    if (model(self)->optimizing)
        return propkit("_get_async_attr")(py::handle(self), py::handle(name));
    return propkit("_getattr")(py::handle(self), py::handle(name), true);
}

PyObject *Model_getattro(PyObject *self, PyObject *name) {
    PyObject *r = PyObject_GenericGetAttr(self, name);
    if (r || !PyErr_ExceptionMatches(PyExc_AttributeError) || private_name(name))
        return r;
    PyErr_Clear();
    ZD_TRY
    return model_attr(self, name).release().ptr();
    ZD_CATCH(nullptr)
}

int Model_setattro(PyObject *self, PyObject *name, PyObject *value) {
    if (private_name(name))
        return PyObject_GenericSetAttr(self, name, value);
    if (!value) {
        PyErr_Format(PyExc_AttributeError, "cannot delete attribute '%U'", name);
        return -1;
    }
    ZD_TRY
    propkit("_setattr")(py::handle(self), py::handle(name), py::handle(value), true);
    return 0;
    ZD_CATCH(-1)
}

PyObject *Model_get_cmodel(PyObject *self, void *) {
    ModelCoreObject *mc = model(self)->mc;
    return Py_NewRef(mc ? mc->cmodel : Py_None);
}

PyObject *Model_get_env(PyObject *self, void *) {
    return Py_NewRef(model(self)->env);
}

// --- update and remove -----------------------------------------------------

PyObject *Model_update(PyObject *self, PyObject *) {
    ZD_TRY
    ModelObject *m = model(self);
    int code = TVXupdatemodel(model_handle(m));
    if (code)
        raise_lib(code, self);
    for (int k = 0; k < NUM_KINDS; ++k) {
        PyObject *list = m->lists[k];
        Py_ssize_t n = PyList_GET_SIZE(list);
        if (!m->dirty[k]) {
            // Additions only: the elements before keep their indices, the
            // new ones take the next (their build positions).
            for (Py_ssize_t i = m->nupd[k]; i < n; ++i) {
                ElemObject *e = elem(PyList_GET_ITEM(list, i));
                e->index = e->pos = (int)i;
            }
            m->nupd[k] = n;
            continue;
        }
        // Survivors keep their order and get consecutive indices; removed
        // elements leave the list for good.
        Py_ssize_t keep = 0;
        for (Py_ssize_t i = 0; i < n; ++i)
            keep += !elem(PyList_GET_ITEM(list, i))->removed;
        py::object fresh = zd::steal(PyList_New(keep));
        Py_ssize_t j = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *o = PyList_GET_ITEM(list, i);
            ElemObject *e = elem(o);
            if (e->removed) {
                e->index = -2;
                e->pos = -1;
            } else {
                e->index = e->pos = (int)j;
                PyList_SET_ITEM(fresh.ptr(), j++, Py_NewRef(o));
            }
        }
        Py_SETREF(m->lists[k], fresh.release().ptr());
        m->nupd[k] = keep;
        m->dirty[k] = false;
    }
    Py_RETURN_NONE;
    ZD_CATCH(nullptr)
}

int (*const del_calls[NUM_KINDS])(TVXmodel *, int, const int *) = {
    TVXdelvars, TVXdelconstrs, TVXdelqconstrs, TVXdelgenconstrs};

// Collects the elements named by `obj` into per-kind lists.
void collect_removals(ModelObject *m, PyObject *obj, std::vector<PyObject *> (&out)[NUM_KINDS],
                      int depth) {
    int kind = elem_kind(obj);
    if (kind >= 0) {
        ElemObject *e = elem(obj);
        if (e->mc == m->mc && e->index <= -2)
            return; // removed before: nothing to do
        check_owned(m, obj, kind);
        out[kind].push_back(obj);
        return;
    }
    // A matrix handle (also inside a list or dict): every element of its array.
    const char *arrname = depth < 2 ? handle_array_name(obj) : nullptr;
    if (arrname) {
        py::object arr = zd::steal(PyObject_GetAttrString(obj, arrname));
        py::object flat = contiguous_objects(arr.ptr());
        PyObject **cells = object_data(flat.ptr());
        Py_ssize_t n = array_size(flat.ptr());
        for (Py_ssize_t i = 0; i < n; ++i)
            collect_removals(m, cells[i], out, 2);
        return;
    }
    if (depth > 0)
        zd::raisef(PyExc_TypeError, "Cannot remove %.200s", Py_TYPE(obj)->tp_name);
    if (PyDict_Check(obj)) {
        PyObject *key, *value;
        Py_ssize_t p = 0;
        while (PyDict_Next(obj, &p, &key, &value))
            collect_removals(m, value, out, depth + 1);
        return;
    }
    if (PyList_Check(obj) || PyTuple_Check(obj)) {
        py::object seq = zd::steal(PySequence_Fast(obj, ""));
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
        PyObject **items = PySequence_Fast_ITEMS(seq.ptr());
        for (Py_ssize_t i = 0; i < n; ++i)
            collect_removals(m, items[i], out, depth + 1);
        return;
    }
    zd::raisef(PyExc_TypeError, "Cannot remove %.200s", Py_TYPE(obj)->tp_name);
}

PyObject *Model_remove(PyObject *self, PyObject *obj) {
    ZD_TRY
    ModelObject *m = model(self);
    TVXmodel *lm = model_handle(m);
    std::vector<PyObject *> found[NUM_KINDS];
    collect_removals(m, obj, found, 0);
    for (int k = 0; k < NUM_KINDS; ++k) {
        if (found[k].empty())
            continue;
        std::vector<int> pos;
        pos.reserve(found[k].size());
        for (PyObject *o : found[k])
            pos.push_back(elem(o)->pos);
        int code = del_calls[k](lm, (int)pos.size(), pos.data());
        if (code)
            raise_lib(code, self);
        for (PyObject *o : found[k])
            elem(o)->removed = 1;
        m->dirty[k] = true;
    }
    Py_RETURN_NONE;
    ZD_CATCH(nullptr)
}

// --- element lists and rows --------------------------------------------------

PyObject *indexed(PyObject *self, int kind) {
    ZD_TRY
    ModelObject *m = model(self);
    model_handle(m);
    return PyList_GetSlice(m->lists[kind], 0, m->nupd[kind]);
    ZD_CATCH(nullptr)
}

PyObject *Model_getVars(PyObject *self, PyObject *) {
    return indexed(self, KIND_VAR);
}
PyObject *Model_getConstrs(PyObject *self, PyObject *) {
    return indexed(self, KIND_CONSTR);
}
PyObject *Model_getQConstrs(PyObject *self, PyObject *) {
    return indexed(self, KIND_QCONSTR);
}
PyObject *Model_getGenConstrs(PyObject *self, PyObject *) {
    return indexed(self, KIND_GENCONSTR);
}

// Raises the error of an element that has no index in the model.
void require_indexed(ModelObject *m, PyObject *o, int kind) {
    check_owned(m, o, kind);
    int index = elem(o)->index;
    std::string text = elem_typenames[kind];
    if (index == -1)
        raise_tvx(0, (text + " has not yet been added to the model").c_str());
    if (index < -1)
        raise_tvx(0, (text + " was removed from the model").c_str());
}

PyObject *Model_getRow(PyObject *self, PyObject *constr) {
    ZD_TRY
    ModelObject *m = model(self);
    TVXmodel *lm = model_handle(m);
    if (elem_kind(constr) != KIND_CONSTR)
        zd::raisef(PyExc_TypeError, "getRow() expects a Constr, not %.200s",
                   Py_TYPE(constr)->tp_name);
    require_indexed(m, constr, KIND_CONSTR);
    int row = elem(constr)->index;
    int64_t nnz = 0;
    int code = TVXgetconstrs(lm, &nnz, nullptr, nullptr, nullptr, row, 1);
    if (code)
        raise_lib(code, self);
    int64_t beg[1];
    std::vector<int> ind((size_t)nnz + 1);
    std::vector<double> val((size_t)nnz + 1);
    code = TVXgetconstrs(lm, &nnz, beg, ind.data(), val.data(), row, 1);
    if (code)
        raise_lib(code, self);
    py::object coefs = zd::steal(PyList_New((Py_ssize_t)nnz));
    py::object vars = zd::steal(PyList_New((Py_ssize_t)nnz));
    PyObject *varlist = m->lists[KIND_VAR];
    for (int64_t i = 0; i < nnz; ++i) {
        if (ind[i] < 0 || ind[i] >= m->nupd[KIND_VAR])
            zd::raise(PyExc_SystemError, "row refers to an unknown column");
        PyList_SET_ITEM(coefs.ptr(), i, zd::check(PyFloat_FromDouble(val[i])));
        PyList_SET_ITEM(vars.ptr(), i, Py_NewRef(PyList_GET_ITEM(varlist, ind[i])));
    }
    py::object le = zd::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject *>(LinExpr_Type)));
    LinExprObject *rec = reinterpret_cast<LinExprObject *>(le.ptr());
    rec->constant = 0.0;
    Py_XSETREF(rec->coef_list, coefs.release().ptr());
    Py_XSETREF(rec->var_list, vars.release().ptr());
    return le.release().ptr();
    ZD_CATCH(nullptr)
}

// --- attributes ------------------------------------------------------------

// A Python sequence of elements of one model: their kind and indices.
struct ElemList {
    int kind = -1;
    py::object indices; // list of ints
};

ElemList element_indices(ModelObject *m, PyObject *seq, PyObject *attrname, int attrkind) {
    ElemList out;
    py::object fast = zd::steal(PySequence_Fast(seq, "objs must be a list of model elements"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.ptr());
    PyObject **items = PySequence_Fast_ITEMS(fast.ptr());
    out.indices = zd::steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        int kind = elem_kind(items[i]);
        if (kind < 0)
            zd::raisef(PyExc_TypeError, "objs must hold model elements, not %.200s",
                       Py_TYPE(items[i])->tp_name);
        if (elem_typeenums[kind] != attrkind)
            zd::raisef(PyExc_AttributeError, "'tovrixpy.%s' object has no attribute '%U'",
                       elem_typenames[kind], attrname);
        require_indexed(m, items[i], kind);
        PyList_SET_ITEM(out.indices.ptr(), i, zd::check(PyLong_FromLong(elem(items[i])->index)));
        out.kind = kind;
    }
    return out;
}

// (attrtype, attrsize, settable) of the model's attribute.
void attr_info(PyObject *self, PyObject *name, long &type, long &kind, long &settable) {
    py::object info = propkit("_getattrinfo")(py::handle(self), py::handle(name));
    if (!PyTuple_Check(info.ptr()) || PyTuple_GET_SIZE(info.ptr()) != 3)
        zd::raise(PyExc_SystemError, "_getattrinfo() did not return a triple");
    type = PyLong_AsLong(PyTuple_GET_ITEM(info.ptr(), 0));
    kind = PyLong_AsLong(PyTuple_GET_ITEM(info.ptr(), 1));
    settable = PyLong_AsLong(PyTuple_GET_ITEM(info.ptr(), 2));
    if (PyErr_Occurred())
        throw zd::python_error();
}

bool is_matrix_handle_obj(PyObject *o) {
    return elem_kind(o) < 0 && handle_array_name(o);
}

PyObject *Model_getAttr(PyObject *self, PyObject *args, PyObject *kwds) {
    ZD_TRY
    static const char *kwlist[] = {"attrname", "objs", nullptr};
    PyObject *name, *objs = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "U|O:getAttr", const_cast<char **>(kwlist), &name,
                                     &objs))
        return nullptr;
    ModelObject *m = model(self);
    model_handle(m);
    if (objs == Py_None)
        return model_attr(self, name).release().ptr();
    if (elem_kind(objs) >= 0)
        return propkit("_getattr")(py::handle(objs), py::handle(name)).release().ptr();
    if (is_matrix_handle_obj(objs))
        return zd::borrow(objs).attr("getAttr")(py::handle(name)).release().ptr();
    long type, kind, settable;
    attr_info(self, name, type, kind, settable);
    if (PyDict_Check(objs)) {
        py::object keys = zd::steal(PyDict_Keys(objs));
        py::object values = zd::steal(PyDict_Values(objs));
        ElemList el = element_indices(m, values.ptr(), name, (int)kind);
        py::object got =
            propkit("_gettypedattrlist")(py::handle(self), py::handle(name), type, el.indices);
        py::object cls = zd::steal(PyObject_GetAttrString(zd::module().ptr(), "tupledict"));
        py::object result = zd::steal(PyObject_CallNoArgs(cls.ptr()));
        Py_ssize_t n = PyList_GET_SIZE(keys.ptr());
        for (Py_ssize_t i = 0; i < n; ++i)
            zd::check(PyDict_SetItem(result.ptr(), PyList_GET_ITEM(keys.ptr(), i),
                                     PyList_GET_ITEM(got.ptr(), i)));
        return result.release().ptr();
    }
    ElemList el = element_indices(m, objs, name, (int)kind);
    return propkit("_gettypedattrlist")(py::handle(self), py::handle(name), type, el.indices)
        .release()
        .ptr();
    ZD_CATCH(nullptr)
}

PyObject *Model_setAttr(PyObject *self, PyObject *args, PyObject *kwds) {
    ZD_TRY
    static const char *kwlist[] = {"attrname", "objs", "values", nullptr};
    PyObject *name, *objs, *values = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "UO|O:setAttr", const_cast<char **>(kwlist), &name,
                                     &objs, &values))
        return nullptr;
    ModelObject *m = model(self);
    model_handle(m);
    if (values == Py_None) {
        // setAttr(name, value): a model attribute
        propkit("_setattr")(py::handle(self), py::handle(name), py::handle(objs), true);
        Py_RETURN_NONE;
    }
    if (elem_kind(objs) >= 0) {
        propkit("_setattr")(py::handle(objs), py::handle(name), py::handle(values));
        Py_RETURN_NONE;
    }
    if (is_matrix_handle_obj(objs)) {
        zd::borrow(objs).attr("setAttr")(py::handle(name), py::handle(values));
        Py_RETURN_NONE;
    }
    long type, kind, settable;
    attr_info(self, name, type, kind, settable);
    py::object elems, vals;
    if (PyDict_Check(objs)) {
        elems = zd::steal(PyDict_Values(objs));
        if (PyDict_Check(values)) {
            // values keyed like objs
            py::object keys = zd::steal(PyDict_Keys(objs));
            Py_ssize_t n = PyList_GET_SIZE(keys.ptr());
            vals = zd::steal(PyList_New(n));
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject *v = PyDict_GetItemWithError(values, PyList_GET_ITEM(keys.ptr(), i));
                if (!v) {
                    if (!PyErr_Occurred())
                        PyErr_SetObject(PyExc_KeyError, PyList_GET_ITEM(keys.ptr(), i));
                    throw zd::python_error();
                }
                PyList_SET_ITEM(vals.ptr(), i, Py_NewRef(v));
            }
        }
    } else {
        elems = zd::borrow(objs);
    }
    ElemList el = element_indices(m, elems.ptr(), name, (int)kind);
    if (!settable)
        zd::raisef(PyExc_AttributeError, "Attribute '%U' cannot be set", name);
    Py_ssize_t n = PyList_GET_SIZE(el.indices.ptr());
    if (!vals) {
        bool seq = PyList_Check(values) || PyTuple_Check(values) || is_ndarray(values);
        if (seq) {
            vals = zd::steal(PySequence_List(values));
            if (PyList_GET_SIZE(vals.ptr()) != n)
                zd::raisef(PyExc_ValueError, "setAttr() got %zd values for %zd elements",
                           PyList_GET_SIZE(vals.ptr()), n);
        } else {
            // one value for every element
            vals = zd::steal(PyList_New(n));
            for (Py_ssize_t i = 0; i < n; ++i)
                PyList_SET_ITEM(vals.ptr(), i, Py_NewRef(values));
        }
    }
    propkit("_settypedattrlist")(py::handle(self), py::handle(name), type, el.indices, vals);
    Py_RETURN_NONE;
    ZD_CATCH(nullptr)
}

// --- ownership and test aids ---------------------------------------------------

PyObject *Model_owns(PyObject *self, PyObject *obj) {
    ModelObject *m = model(self);
    bool owns = m->mc && elem_kind(obj) >= 0 && elem(obj)->mc == m->mc && elem(obj)->pos >= 0;
    return PyBool_FromLong(owns);
}

// Test aid: the values of all variables (as of the last update) in column
// order become the current solution.
PyObject *Model_loadSolution(PyObject *self, PyObject *values) {
    ZD_TRY
    ModelObject *m = model(self);
    TVXmodel *lm = model_handle(m);
    std::vector<double> x;
    flat_doubles(values, "values", x);
    Py_ssize_t n = m->nupd[KIND_VAR];
    if ((Py_ssize_t)x.size() != n)
        zd::raisef(PyExc_ValueError, "_loadSolution() expects %zd values, got %zd", n,
                   (Py_ssize_t)x.size());
    int code = TVXloadsolution(lm, (int)n, x.data());
    if (code)
        raise_lib(code, self);
    Py_RETURN_NONE;
    ZD_CATCH(nullptr)
}

// Test aid: flags the model as optimizing (model attributes then read
// through the calls allowed during an optimization).
PyObject *Model_setOptimizing(PyObject *self, PyObject *args) {
    ZD_TRY
    int flag = 1;
    if (!PyArg_ParseTuple(args, "|p:_setOptimizing", &flag))
        return nullptr;
    ModelObject *m = model(self);
    int code = TVXsetoptimizing(model_handle(m), flag);
    if (code)
        raise_lib(code, self);
    m->optimizing = flag != 0;
    Py_RETURN_NONE;
    ZD_CATCH(nullptr)
}

PyObject *Model_repr(PyObject *self) {
    ModelObject *m = model(self);
    if (!m->mc)
        return PyUnicode_FromString("<zudirivi.Model (not initialised)>");
    const char *name = nullptr;
    if (TVXgetstrattr(m->mc->model, "ModelName", &name) || !name)
        name = "";
    py::object text = zd::steal(PyUnicode_DecodeUTF8(name, (Py_ssize_t)strlen(name), "replace"));
    return PyUnicode_FromFormat("<zudirivi.Model %U: %zd vars, %zd constrs, %zd qconstrs, %zd "
                                "genconstrs>",
                                text.ptr(), m->nupd[KIND_VAR], m->nupd[KIND_CONSTR],
                                m->nupd[KIND_QCONSTR], m->nupd[KIND_GENCONSTR]);
}

#define KW(f) (PyCFunction)(void (*)(void))(f), METH_VARARGS | METH_KEYWORDS

PyMethodDef Model_methods[] = {
    {"addVar", KW(Model_addVar), "Add a variable; returns the Var."},
    {"addMVar", KW(Model_addMVar),
     "Add an array of variables of the given shape; returns an MVar."},
    {"addConstr", KW(Model_addConstr),
     "Add a constraint from a comparison; returns a Constr, QConstr, MConstr or MQConstr."},
    {"addGenConstrNL", KW(Model_addGenConstrNL),
     "Add the nonlinear constraint resvar = expr; returns a GenConstr or an MGenConstr."},
    {"remove", Model_remove, METH_O, "Remove elements (or the elements of a matrix handle)."},
    {"update", Model_update, METH_NOARGS, "Apply pending additions and removals."},
    {"getVars", Model_getVars, METH_NOARGS, "The variables, in index order."},
    {"getConstrs", Model_getConstrs, METH_NOARGS, "The linear constraints, in index order."},
    {"getQConstrs", Model_getQConstrs, METH_NOARGS, "The quadratic constraints, in index order."},
    {"getGenConstrs", Model_getGenConstrs, METH_NOARGS, "The general constraints, in index order."},
    {"getRow", Model_getRow, METH_O, "The linear row of a constraint, as a LinExpr."},
    {"getAttr", KW(Model_getAttr), "A model attribute, or the values of elements' attribute."},
    {"setAttr", KW(Model_setAttr), "Set a model attribute, or an attribute of elements."},
    {"_owns", Model_owns, METH_O, "Whether the element belongs to this model."},
    {"_loadSolution", Model_loadSolution, METH_O,
     "Test aid: values of all variables become the current solution."},
    {"_setOptimizing", Model_setOptimizing, METH_VARARGS,
     "Test aid: flag the model as optimizing (or not)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Model_getset[] = {
    {"_cmodel", Model_get_cmodel, nullptr, "Pointer wrapper of the library model.", nullptr},
    {"_env", Model_get_env, nullptr, "The model's environment.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef Model_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(ModelObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(ModelObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot Model_slots[] = {
    {Py_tp_new, (void *)Model_new},
    {Py_tp_init, (void *)Model_init},
    {Py_tp_dealloc, (void *)Model_dealloc},
    {Py_tp_traverse, (void *)Model_traverse},
    {Py_tp_clear, (void *)Model_clear},
    {Py_tp_getattro, (void *)Model_getattro},
    {Py_tp_setattro, (void *)Model_setattro},
    {Py_tp_repr, (void *)Model_repr},
    {Py_tp_methods, Model_methods},
    {Py_tp_getset, Model_getset},
    {Py_tp_members, Model_members},
    {Py_tp_doc, (void *)"An optimization model: variables, constraints and their attributes."},
    {0, nullptr},
};

PyType_Spec Model_spec = {"zudirivi.Model", sizeof(ModelObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                          Model_slots};

} // namespace

TVXmodel *model_handle(ModelObject *m) {
    if (!m->mc)
        zd::raise(PyExc_RuntimeError, "Model is not initialised (call Model.__init__)");
    return m->mc->model;
}

void append_elems(ModelObject *m, int kind, const std::vector<PyObject *> &items) {
    PyObject *list = m->lists[kind];
    for (PyObject *o : items)
        zd::check(PyList_Append(list, o));
}

void add_model_type(py::handle module) {
    (void)module;
    ModelCore_Type = reinterpret_cast<PyTypeObject *>(zd::check(PyType_FromSpec(&ModelCore_spec)));
    Model_Type = reinterpret_cast<PyTypeObject *>(zd::check(PyType_FromSpec(&Model_spec)));
    py::object tn = zd::steal(PyUnicode_FromString("Model"));
    zd::check(
        PyObject_SetAttrString(reinterpret_cast<PyObject *>(Model_Type), "_typename", tn.ptr()));
    zd::set_global("Model", reinterpret_cast<PyObject *>(Model_Type));
}

} // namespace core
