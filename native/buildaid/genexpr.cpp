// Generator-expression keys: a callable that reads the current values of a
// generator's loop variables from its suspended frame, in the order in which
// the generator's code first stores into them (read from the listing that
// the dis module writes).
#include "buildaid.hpp"

namespace buildaid {
namespace {

struct KeyObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject *frame;
    PyObject *names; // tuple: the candidates (one-candidate form) or the store order
    bool general;
};

PyObject *key_vectorcall(PyObject *callable, PyObject *const *, size_t nargsf, PyObject *kwnames) {
    auto *k = reinterpret_cast<KeyObject *>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                     "key", "exactly", (Py_ssize_t)0, "s", nargs);
        return nullptr;
    }
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", "key",
                     PyTuple_GET_ITEM(kwnames, 0));
        return nullptr;
    }
    ZD_TRY
    // f_locals is read anew at each call: it refreshes the frame's snapshot.
    py::object locals = zd::steal(PyObject_GetAttr(k->frame, ZD_STR("f_locals").ptr()));
    if (!k->general) {
        py::object zero = py::int_(0);
        py::object name = zd::steal(PyObject_GetItem(k->names, zero.ptr()));
        return PyObject_GetItem(locals.ptr(), name.ptr());
    }
    py::object values = zd::steal(PySequence_Tuple(present_values(locals, k->names).ptr()));
    return simplify(values).release().ptr();
    ZD_CATCH(nullptr)
}

int key_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *k = reinterpret_cast<KeyObject *>(self);
    Py_VISIT(k->frame);
    Py_VISIT(k->names);
    return 0;
}

int key_clear(PyObject *self) {
    auto *k = reinterpret_cast<KeyObject *>(self);
    Py_CLEAR(k->frame);
    Py_CLEAR(k->names);
    return 0;
}

void key_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    key_clear(self);
    PyObject_GC_Del(self);
}

PyTypeObject KeyType{};

PyTypeObject *key_type() {
    if (!(KeyType.tp_flags & Py_TPFLAGS_READY)) {
        Py_SET_REFCNT(&KeyType, 1);
        Py_SET_TYPE(&KeyType, &PyType_Type);
        KeyType.tp_name = "zudirivi._buildaid.genexpr_key";
        KeyType.tp_basicsize = sizeof(KeyObject);
        KeyType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
        KeyType.tp_vectorcall_offset = offsetof(KeyObject, vectorcall);
        KeyType.tp_call = PyVectorcall_Call;
        KeyType.tp_dealloc = key_dealloc;
        KeyType.tp_traverse = key_traverse;
        KeyType.tp_clear = key_clear;
        zd::check(PyType_Ready(&KeyType));
    }
    return &KeyType;
}

py::object make_key(py::handle frame, py::handle names, bool general) {
    auto *k = PyObject_GC_New(KeyObject, key_type());
    if (!k)
        zd::throw_error();
    k->vectorcall = key_vectorcall;
    k->frame = frame.inc_ref().ptr();
    k->names = names.inc_ref().ptr();
    k->general = general;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(k));
    return zd::steal(reinterpret_cast<PyObject *>(k));
}

// Writes the listing of `code` into `strout`; a dis module whose
// disassemble() has no `file` parameter writes to sys.stdout, which is
// pointed at `strout` for that one call and restored in every case.
void disassemble_into(py::handle code, py::handle strout) {
    py::object disassemble = zd::global(ZD_STR("dis")).attr(ZD_STR("disassemble"));
    py::object args = py::make_tuple(code);
    py::dict kwargs;
    kwargs[ZD_STR("file")] = strout;
    PyObject *r = PyObject_Call(disassemble.ptr(), args.ptr(), kwargs.ptr());
    if (r) {
        Py_DECREF(r);
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_TypeError))
        zd::throw_error();
    PyErr_Clear();
    py::object sys = zd::global(ZD_STR("sys"));
    py::object saved = sys.attr(ZD_STR("stdout"));
    zd::check(PyObject_SetAttr(sys.ptr(), ZD_STR("stdout").ptr(), strout.ptr()));
    r = PyObject_CallOneArg(disassemble.ptr(), code.ptr());
    PyObject *et, *ev, *etb;
    PyErr_Fetch(&et, &ev, &etb);
    int restored = PyObject_SetAttr(sys.ptr(), ZD_STR("stdout").ptr(), saved.ptr());
    if (et) {
        if (restored < 0)
            PyErr_Clear();
        PyErr_Restore(et, ev, etb);
        zd::throw_error();
    }
    Py_XDECREF(r);
    zd::check(restored);
}

} // namespace

py::object py_genexpr_key(const zd::Args &a) {
    py::handle x = a[0];
    py::object f = zd::steal(PyObject_GetAttr(x.ptr(), ZD_STR("gi_frame").ptr()));
    py::object c = zd::steal(PyObject_GetAttr(f.ptr(), ZD_STR("f_code").ptr()));
    py::object cellvars = zd::steal(PyObject_GetAttr(c.ptr(), ZD_STR("co_cellvars").ptr()));
    py::object varnames = zd::steal(PyObject_GetAttr(c.ptr(), ZD_STR("co_varnames").ptr()));
    py::object rest = zd::steal(PySequence_GetSlice(varnames.ptr(), 1, PY_SSIZE_T_MAX));
    py::object myvars = zd::steal(PyNumber_Add(cellvars.ptr(), rest.ptr()));
    Py_ssize_t ncand = PyObject_Size(myvars.ptr());
    if (ncand < 0)
        zd::throw_error();
    if (ncand < 2)
        return make_key(f, myvars, false);

    // One pattern per candidate, in candidate order: the name in parentheses
    // at the end of a line.
    py::object compile = zd::global(ZD_STR("re")).attr(ZD_STR("compile"));
    py::object fmt = zd::steal(PyUnicode_FromString("\\(%s\\)$"));
    py::dict pats;
    {
        py::object it = zd::steal(PyObject_GetIter(myvars.ptr()));
        while (PyObject *raw = PyIter_Next(it.ptr())) {
            py::object name = zd::steal(raw);
            py::object text = zd::steal(PyUnicode_Format(fmt.ptr(), name.ptr()));
            pats[name] = compile(text);
        }
        if (PyErr_Occurred())
            zd::throw_error();
    }
    py::object strout = zd::global(ZD_STR("TVXStringIO"))();
    disassemble_into(c, strout);
    py::object listing = strout.attr(ZD_STR("getvalue"))();
    py::object newline = zd::steal(PyUnicode_FromString("\n"));
    py::object lines = listing.attr(ZD_STR("split"))(newline);
    py::object skip = zd::steal(PyUnicode_FromString("MAKE_CELL"));
    py::list varorder;
    {
        py::object it = zd::steal(PyObject_GetIter(lines.ptr()));
        while (PyObject *raw = PyIter_Next(it.ptr())) {
            py::object line = zd::steal(raw);
            if (zd::check(PySequence_Contains(line.ptr(), skip.ptr())))
                continue;
            PyObject *key, *pat;
            Py_ssize_t pos = 0;
            while (PyDict_Next(pats.ptr(), &pos, &key, &pat)) {
                py::object m =
                    zd::steal(PyObject_CallMethodOneArg(pat, ZD_STR("search").ptr(), line.ptr()));
                if (truthy(m)) {
                    py::object name = zd::borrow(key);
                    zd::check(PyList_Append(varorder.ptr(), name.ptr()));
                    zd::check(PyDict_DelItem(pats.ptr(), name.ptr()));
                    break;
                }
            }
        }
        if (PyErr_Occurred())
            zd::throw_error();
    }
    strout.attr(ZD_STR("close"))();
    py::object order = zd::steal(PyList_AsTuple(varorder.ptr()));
    return make_key(f, order, true);
}

} // namespace buildaid
