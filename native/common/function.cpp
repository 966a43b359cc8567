// The compiled function type: Python-function-like objects around C++
// implementations, called through vectorcall.
#include "zd.hpp"

#include <structmember.h>

#include <cstring>
#include <memory>
#include <string_view>

namespace zd {
namespace {

// Parameter list of one function, owned by the function object.
struct SigInfo {
    Py_ssize_t npos = 0;
    bool has_varargs = false;
    Py_ssize_t nkwonly = 0;
    bool has_varkw = false;
    std::vector<PyObject *> names; // interned, owned: positional, then keyword-only

    SigInfo() = default;
    SigInfo(const SigInfo &) = delete;
    SigInfo &operator=(const SigInfo &) = delete;
    ~SigInfo() {
        for (PyObject *n : names)
            Py_DECREF(n);
    }
    Py_ssize_t nslots() const { return npos + has_varargs + nkwonly + has_varkw; }
    Py_ssize_t kwonly_slot(Py_ssize_t j) const { return npos + has_varargs + j; }
};

struct FuncObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    Impl impl;
    SigInfo *sig; // owned: freed with the function
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *defaults;   // tuple or NULL
    PyObject *kwdefaults; // dict or NULL
    PyObject *dict;
};

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

py::object parse_literal(std::string_view text) {
    text = trim(text);
    if (text.size() >= 2 && (text.front() == '\'' || text.front() == '"') &&
        text.back() == text.front())
        return steal(PyUnicode_FromStringAndSize(text.data() + 1, text.size() - 2));
    if (text == "None")
        return py::none();
    if (text == "True")
        return borrow(Py_True);
    if (text == "False")
        return borrow(Py_False);
    std::string s(text);
    char *end = nullptr;
    PyObject *num = PyLong_FromString(s.c_str(), &end, 10);
    if (num && end && *end == '\0')
        return steal(num);
    Py_XDECREF(num);
    PyErr_Clear();
    py::object str = steal(PyUnicode_FromStringAndSize(s.data(), s.size()));
    PyObject *f = PyFloat_FromString(str.ptr());
    if (f)
        return steal(f);
    PyErr_Clear();
    raisef(PyExc_SystemError, "bad default literal in signature: %s", s.c_str());
}

// Splits "a, b=1, *args, c='x, y'" at commas outside quotes.
std::vector<std::string_view> split_params(std::string_view sig) {
    std::vector<std::string_view> out;
    size_t start = 0;
    char quote = 0;
    for (size_t i = 0; i <= sig.size(); ++i) {
        char c = i < sig.size() ? sig[i] : ',';
        if (quote) {
            if (c == quote)
                quote = 0;
            continue;
        }
        if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == ',') {
            auto p = trim(sig.substr(start, i - start));
            if (!p.empty())
                out.push_back(p);
            start = i + 1;
        }
    }
    return out;
}

struct Parsed {
    std::unique_ptr<SigInfo> sig;
    py::object defaults;   // tuple or None
    py::object kwdefaults; // dict or None
};

Parsed parse_signature(const char *text) {
    auto sig = std::make_unique<SigInfo>();
    std::vector<py::object> pos_defaults;
    py::dict kwdefaults;
    bool kwonly = false;
    std::vector<py::object> kwnames;
    for (auto p : split_params(text)) {
        if (p == "*") {
            kwonly = true;
            continue;
        }
        if (p.substr(0, 2) == "**") {
            sig->has_varkw = true;
            continue;
        }
        if (p.substr(0, 1) == "*") {
            sig->has_varargs = true;
            kwonly = true;
            continue;
        }
        auto eq = p.find('=');
        std::string name(trim(p.substr(0, eq)));
        py::object iname = steal(PyUnicode_InternFromString(name.c_str()));
        if (kwonly) {
            kwnames.push_back(iname);
            if (eq != std::string_view::npos)
                kwdefaults[iname] = parse_literal(p.substr(eq + 1));
        } else {
            sig->names.push_back(iname.release().ptr());
            if (eq != std::string_view::npos)
                pos_defaults.push_back(parse_literal(p.substr(eq + 1)));
            else if (!pos_defaults.empty())
                raisef(PyExc_SystemError, "non-default parameter after default: %s", text);
        }
    }
    sig->npos = (Py_ssize_t)sig->names.size();
    sig->nkwonly = (Py_ssize_t)kwnames.size();
    for (py::object &n : kwnames)
        sig->names.push_back(n.release().ptr());
    Parsed r{std::move(sig), py::none(), py::none()};
    if (!pos_defaults.empty()) {
        py::tuple t(pos_defaults.size());
        for (size_t i = 0; i < pos_defaults.size(); ++i)
            t[i] = pos_defaults[i];
        r.defaults = t;
    }
    if (PyDict_GET_SIZE(kwdefaults.ptr()) > 0)
        r.kwdefaults = kwdefaults;
    return r;
}

const char *name_utf8(FuncObject *f) {
    const char *s = PyUnicode_Check(f->name) ? PyUnicode_AsUTF8(f->name) : nullptr;
    if (!s) {
        PyErr_Clear();
        s = "?";
    }
    return s;
}

void raise_count(FuncObject *f, Py_ssize_t nmin, Py_ssize_t nmax, bool exact, Py_ssize_t given) {
    const char *more_or_less;
    Py_ssize_t expected;
    if (given < nmin) {
        expected = nmin;
        more_or_less = "at least";
    } else {
        expected = nmax;
        more_or_less = "at most";
    }
    if (exact)
        more_or_less = "exactly";
    raisef(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
           name_utf8(f), more_or_less, expected, expected == 1 ? "" : "s", given);
}

Py_ssize_t find_name(const SigInfo &s, PyObject *key) {
    Py_ssize_t n = (Py_ssize_t)s.names.size();
    for (Py_ssize_t i = 0; i < n; ++i)
        if (s.names[i] == key)
            return i;
    for (Py_ssize_t i = 0; i < n; ++i) {
        int r = PyUnicode_Compare(s.names[i], key);
        if (r == 0)
            return i;
        if (r == -1 && PyErr_Occurred())
            throw python_error();
    }
    return -1;
}

// Counts compiled calls into the interpreter's recursion depth, so that a
// runaway recursion among compiled functions raises RecursionError instead
// of overflowing the C stack.
struct RecursionGuard {
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while calling a compiled function"))
            throw python_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

PyObject *func_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                          PyObject *kwnames) {
    auto *f = reinterpret_cast<FuncObject *>(callable);
    const SigInfo &s = *f->sig;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    ZD_TRY
    RecursionGuard guard;
    // Fast path: exactly the positional parameters, nothing else declared.
    if (nkw == 0 && nargs == s.npos && s.nslots() == s.npos) {
        py::object r = f->impl(Args{args, size_t(s.npos)});
        return r.release().ptr();
    }
    PyObject *stackbuf[16];
    std::vector<PyObject *> heapbuf;
    Py_ssize_t nslots = s.nslots();
    PyObject **slots = stackbuf;
    if (nslots > 16) {
        heapbuf.resize(nslots);
        slots = heapbuf.data();
    }
    for (Py_ssize_t i = 0; i < nslots; ++i)
        slots[i] = nullptr;
    py::object varargs, varkw;
    // The defaults as they are now, held for the call: the function's own
    // may be replaced while it runs.
    py::object defaults = borrow(f->defaults ? f->defaults : Py_None);
    py::object kwdefaults = borrow(f->kwdefaults ? f->kwdefaults : Py_None);

    Py_ssize_t ndef = defaults.is_none() ? 0 : PyTuple_GET_SIZE(defaults.ptr());
    if (ndef > s.npos)
        ndef = s.npos;
    Py_ssize_t nmin = s.npos - ndef;
    bool exact = (nmin == s.npos) && !s.has_varargs;

    Py_ssize_t ncopy = nargs < s.npos ? nargs : s.npos;
    for (Py_ssize_t i = 0; i < ncopy; ++i)
        slots[i] = args[i];
    if (nargs > s.npos) {
        if (!s.has_varargs)
            raise_count(f, nmin, s.npos, exact, nargs);
        varargs = steal(PyTuple_New(nargs - s.npos));
        for (Py_ssize_t i = s.npos; i < nargs; ++i) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(varargs.ptr(), i - s.npos, args[i]);
        }
    } else if (s.has_varargs) {
        varargs = steal(PyTuple_New(0));
    }
    if (s.has_varargs)
        slots[s.npos] = varargs.ptr();
    if (s.has_varkw) {
        varkw = steal(PyDict_New());
        slots[nslots - 1] = varkw.ptr();
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        PyObject *value = args[nargs + k];
        if (!PyUnicode_Check(key))
            raisef(PyExc_TypeError, "%.200s() keywords must be strings", name_utf8(f));
        Py_ssize_t idx = find_name(s, key);
        if (idx < 0) {
            if (!s.has_varkw)
                raisef(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                       name_utf8(f), key);
            check(PyDict_SetItem(varkw.ptr(), key, value));
            continue;
        }
        Py_ssize_t slot = idx < s.npos ? idx : s.kwonly_slot(idx - s.npos);
        if (slots[slot])
            raisef(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                   name_utf8(f), key);
        slots[slot] = value;
    }
    for (Py_ssize_t i = 0; i < s.npos; ++i) {
        if (slots[i])
            continue;
        if (i >= nmin) {
            slots[i] = PyTuple_GET_ITEM(defaults.ptr(), i - nmin);
        } else {
            raise_count(f, nmin, s.npos, exact, nargs);
        }
    }
    for (Py_ssize_t j = 0; j < s.nkwonly; ++j) {
        Py_ssize_t slot = s.kwonly_slot(j);
        if (slots[slot])
            continue;
        PyObject *name = s.names[s.npos + j];
        PyObject *d =
            kwdefaults.is_none() ? nullptr : PyDict_GetItemWithError(kwdefaults.ptr(), name);
        if (!d) {
            if (PyErr_Occurred())
                throw python_error();
            raisef(PyExc_TypeError, "%s() needs keyword-only argument %U", name_utf8(f), name);
        }
        slots[slot] = d;
    }
    py::object r = f->impl(Args{slots, size_t(nslots)});
    return r.release().ptr();
    ZD_CATCH(nullptr)
}

PyObject *func_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

int func_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *f = reinterpret_cast<FuncObject *>(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->dict);
    return 0;
}

int func_clear(PyObject *self) {
    auto *f = reinterpret_cast<FuncObject *>(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->dict);
    return 0;
}

void func_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    func_clear(self);
    delete reinterpret_cast<FuncObject *>(self)->sig;
    PyObject_GC_Del(self);
}

PyObject *func_repr(PyObject *self) {
    auto *f = reinterpret_cast<FuncObject *>(self);
    return PyUnicode_FromFormat("<compiled function %U at %p>", f->qualname, self);
}

PyObject *get_name(PyObject *self, void *) {
    auto *f = reinterpret_cast<FuncObject *>(self);
    Py_INCREF(f->name);
    return f->name;
}
int set_str_field(PyObject **field, PyObject *value, const char *what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*field, value);
    return 0;
}
int set_name(PyObject *self, PyObject *value, void *) {
    return set_str_field(&reinterpret_cast<FuncObject *>(self)->name, value, "__name__");
}
PyObject *get_qualname(PyObject *self, void *) {
    auto *f = reinterpret_cast<FuncObject *>(self);
    Py_INCREF(f->qualname);
    return f->qualname;
}
int set_qualname(PyObject *self, PyObject *value, void *) {
    return set_str_field(&reinterpret_cast<FuncObject *>(self)->qualname, value, "__qualname__");
}
// A new reference to an optional field, None when it is unset.
PyObject *field_or_none(PyObject *field) {
    PyObject *d = field ? field : Py_None;
    Py_INCREF(d);
    return d;
}
// Sets an optional field: None (or deletion) unsets it; any other value must
// pass `ok`, else TypeError `msg`.
int set_optional_field(PyObject **field, PyObject *value, bool (*ok)(PyObject *), const char *msg) {
    if (value == Py_None)
        value = nullptr;
    if (value && !ok(value)) {
        PyErr_SetString(PyExc_TypeError, msg);
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(*field, value);
    return 0;
}
PyObject *get_doc(PyObject *self, void *) {
    return field_or_none(reinterpret_cast<FuncObject *>(self)->doc);
}
int set_doc(PyObject *self, PyObject *value, void *) {
    auto *f = reinterpret_cast<FuncObject *>(self);
    Py_XINCREF(value);
    Py_XSETREF(f->doc, value);
    return 0;
}
PyObject *get_defaults(PyObject *self, void *) {
    return field_or_none(reinterpret_cast<FuncObject *>(self)->defaults);
}
int set_defaults(PyObject *self, PyObject *value, void *) {
    return set_optional_field(
        &reinterpret_cast<FuncObject *>(self)->defaults, value,
        [](PyObject *v) -> bool { return PyTuple_Check(v); },
        "__defaults__ must be set to a tuple object");
}
PyObject *get_kwdefaults(PyObject *self, void *) {
    return field_or_none(reinterpret_cast<FuncObject *>(self)->kwdefaults);
}
int set_kwdefaults(PyObject *self, PyObject *value, void *) {
    return set_optional_field(
        &reinterpret_cast<FuncObject *>(self)->kwdefaults, value,
        [](PyObject *v) -> bool { return PyDict_Check(v); },
        "__kwdefaults__ must be set to a dict object");
}

PyGetSetDef func_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef func_members[] = {
    {"__module__", T_OBJECT, offsetof(FuncObject, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject FuncType{};

} // namespace

PyTypeObject *function_type() {
    if (!(FuncType.tp_flags & Py_TPFLAGS_READY)) {
        Py_SET_REFCNT(&FuncType, 1);
        Py_SET_TYPE(&FuncType, &PyType_Type);
        FuncType.tp_name = "compiled_function";
        FuncType.tp_basicsize = sizeof(FuncObject);
        FuncType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR;
        FuncType.tp_vectorcall_offset = offsetof(FuncObject, vectorcall);
        FuncType.tp_call = PyVectorcall_Call;
        FuncType.tp_descr_get = func_descr_get;
        FuncType.tp_dealloc = func_dealloc;
        FuncType.tp_traverse = func_traverse;
        FuncType.tp_clear = func_clear;
        FuncType.tp_repr = func_repr;
        FuncType.tp_getset = func_getset;
        FuncType.tp_members = func_members;
        FuncType.tp_dictoffset = offsetof(FuncObject, dict);
        check(PyType_Ready(&FuncType));
    }
    return &FuncType;
}

namespace {

py::object build(const char *name, const char *qualname, py::handle module_name,
                 std::unique_ptr<SigInfo> sig, Impl impl, const char *doc, py::object defaults,
                 py::object kwdefaults) {
    PyTypeObject *tp = function_type();
    auto *f = PyObject_GC_New(FuncObject, tp);
    if (!f)
        throw python_error();
    f->vectorcall = func_vectorcall;
    f->impl = impl;
    f->sig = sig.release();
    f->name = nullptr;
    f->qualname = nullptr;
    f->module = nullptr;
    f->doc = nullptr;
    f->defaults = nullptr;
    f->kwdefaults = nullptr;
    f->dict = nullptr;
    py::object result = steal(reinterpret_cast<PyObject *>(f));
    f->name = check(PyUnicode_InternFromString(name));
    f->qualname = check(PyUnicode_FromString(qualname));
    f->module = module_name.inc_ref().ptr();
    if (doc)
        f->doc = check(PyUnicode_FromString(doc));
    if (!defaults.is_none())
        f->defaults = defaults.release().ptr();
    if (!kwdefaults.is_none())
        f->kwdefaults = kwdefaults.release().ptr();
    PyObject_GC_Track(result.ptr());
    return result;
}

} // namespace

py::object make_function(const char *name, const char *qualname, py::handle module_name,
                         const char *signature, Impl impl, const char *doc, py::object defaults,
                         py::object kwdefaults) {
    Parsed p = parse_signature(signature);
    return build(name, qualname, module_name, std::move(p.sig), impl, doc, std::move(defaults),
                 std::move(kwdefaults));
}

py::object make_function(const char *name, const char *qualname, py::handle module_name,
                         const char *signature, Impl impl, const char *doc) {
    Parsed p = parse_signature(signature);
    return build(name, qualname, module_name, std::move(p.sig), impl, doc, std::move(p.defaults),
                 std::move(p.kwdefaults));
}

} // namespace zd
