// Module frame (multi-phase initialisation with the one-interpreter and
// run-once guards), module globals, class builder and C-function tables.
#include "zd.hpp"

#include <frameobject.h>

#include <cstdio>
#include <cstring>

namespace zd {
namespace {

// Per-module state: this layer is linked into each extension module.
struct ModuleState {
    const char *short_name = nullptr;
    ExecFn exec = nullptr;
    PyObject *module = nullptr;  // held from the create step on
    PyObject *globals = nullptr; // borrowed: the held module's dict
    PyObject *name = nullptr;    // full module name
    bool executed = false;
    int64_t interpreter_id = -1;
    const char *step_file = nullptr;
    int step_line = 0;
} g;

PyObject *module_create(PyObject *spec, PyModuleDef *) {
    int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (g.interpreter_id == -1) {
        g.interpreter_id = current;
        if (current == -1)
            return nullptr;
    } else if (current != g.interpreter_id) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only "
                                           "be loaded into one interpreter per process.");
        return nullptr;
    }
    if (g.module) {
        Py_INCREF(g.module);
        return g.module;
    }
    PyObject *name = PyObject_GetAttrString(spec, "name");
    if (!name)
        return nullptr;
    PyObject *module = PyModule_NewObject(name);
    if (!module) {
        Py_DECREF(name);
        return nullptr;
    }
    g.name = name;
    g.module = module;
    Py_INCREF(module);
    g.globals = PyModule_GetDict(module);
    return module;
}

void release_module() {
    Py_CLEAR(g.module);
    Py_CLEAR(g.name);
    g.globals = nullptr;
}

// Warns when the running interpreter's major.minor differs from the one
// this module was compiled for.
void check_binary_version() {
    const char *rt = Py_GetVersion();
    int rt_major = 0, rt_minor = 0;
    if (std::sscanf(rt, "%d.%d", &rt_major, &rt_minor) != 2)
        return;
    if (rt_major == PY_MAJOR_VERSION && rt_minor == PY_MINOR_VERSION)
        return;
    std::string full = g.name && PyUnicode_AsUTF8(g.name) ? PyUnicode_AsUTF8(g.name) : "";
    char msg[200];
    std::snprintf(msg, sizeof msg,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, full.c_str(), "does not match", rt_major,
                  rt_minor);
    check(PyErr_WarnEx(PyExc_RuntimeWarning, msg, 1));
}

int module_exec(PyObject *module) {
    if (g.executed) {
        if (module == g.module)
            return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     g.short_name);
        return -1;
    }
    if (module != g.module) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     g.short_name);
        return -1;
    }
    g.step_file = nullptr;
    g.step_line = 0;
    try {
        check_binary_version();
        g.exec(module);
    } catch (...) {
        set_error_from_current_exception();
        std::string where = "init ";
        const char *full = g.name ? PyUnicode_AsUTF8(g.name) : nullptr;
        if (!full) {
            // keep the original error; only the traceback entry's name is lost
            where += g.short_name;
        } else {
            where += full;
        }
        _PyTraceback_Add(where.c_str(), g.step_file ? g.step_file : "<module>", g.step_line);
        release_module();
        return -1;
    }
    g.executed = true;
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef def_{};
PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

} // namespace

PyObject *module_init(const char *short_name, ExecFn exec) {
    g.short_name = short_name;
    g.exec = exec;
    PyModuleDef_Base base = PyModuleDef_HEAD_INIT;
    def_.m_base = base;
    def_.m_name = short_name;
    def_.m_doc = nullptr;
    def_.m_size = 0;
    def_.m_methods = no_methods;
    def_.m_slots = slots;
    return PyModuleDef_Init(&def_);
}

py::handle module() {
    return g.module;
}
py::handle module_name() {
    return g.name;
}

void load_step(std::source_location loc) {
    g.step_file = loc.file_name();
    g.step_line = (int)loc.line();
}

py::object global(py::handle name) {
    if (g.globals) {
        PyObject *v = PyDict_GetItemWithError(g.globals, name.ptr());
        if (v)
            return borrow(v);
        if (PyErr_Occurred())
            throw python_error();
    }
    raisef(PyExc_NameError, "name '%U' is not defined", name.ptr());
}

void set_global(const char *name, py::handle value, std::source_location loc) {
    load_step(loc);
    check(PyDict_SetItemString(g.globals, name, value.ptr()));
}

// ---------------------------------------------------------------------------

ClassBuilder::ClassBuilder(const char *name, py::tuple bases, const char *doc,
                           std::source_location loc)
    : name_(name), bases_(std::move(bases)) {
    load_step(loc);
    // The metaclass a class statement would use: the most derived of the
    // bases' metaclasses (type when there are no bases).
    PyObject *meta = reinterpret_cast<PyObject *>(&PyType_Type);
    for (auto b : bases_) {
        PyObject *bt = reinterpret_cast<PyObject *>(Py_TYPE(b.ptr()));
        if (PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(bt),
                             reinterpret_cast<PyTypeObject *>(meta)))
            meta = bt;
        else if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(meta),
                                   reinterpret_cast<PyTypeObject *>(bt)))
            raise(PyExc_TypeError, "metaclass conflict: the metaclass of a derived class must "
                                   "be a (non-strict) subclass of the metaclasses of all its "
                                   "bases");
    }
    meta_ = borrow(meta);
    py::object prepare = steal(PyObject_GetAttrString(meta, "__prepare__"));
    py::object ns = prepare(name_.c_str(), bases_);
    if (!PyDict_Check(ns.ptr()))
        raise(PyExc_TypeError, "__prepare__() must return a dict");
    ns_ = py::reinterpret_borrow<py::dict>(ns);
    ns_["__module__"] = module_name();
    ns_["__qualname__"] = steal(PyUnicode_FromString(name));
    if (doc)
        ns_["__doc__"] = steal(PyUnicode_FromString(doc));
}

py::object ClassBuilder::fn(const char *name, const char *sig, Impl impl, const char *doc) {
    std::string qual = name_ + "." + name;
    return make_function(name, qual.c_str(), module_name(), sig, impl, doc);
}

ClassBuilder &ClassBuilder::attr(const char *name, py::object value) {
    ns_[name] = std::move(value);
    return *this;
}

ClassBuilder &ClassBuilder::method(const char *name, const char *sig, Impl impl, const char *doc) {
    ns_[name] = fn(name, sig, impl, doc);
    return *this;
}

ClassBuilder &ClassBuilder::staticmethod(const char *name, const char *sig, Impl impl,
                                         const char *doc) {
    py::object f = fn(name, sig, impl, doc);
    ns_[name] = steal(PyStaticMethod_New(f.ptr()));
    return *this;
}

ClassBuilder &ClassBuilder::classmethod(const char *name, const char *sig, Impl impl,
                                        const char *doc) {
    py::object f = fn(name, sig, impl, doc);
    ns_[name] = steal(PyClassMethod_New(f.ptr()));
    return *this;
}

ClassBuilder &ClassBuilder::property(const char *name, Impl getter, const char *doc) {
    py::object f = fn(name, "self", getter, doc);
    py::object prop =
        steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyProperty_Type), f.ptr()));
    ns_[name] = prop;
    return *this;
}

py::object ClassBuilder::create(std::source_location loc) {
    load_step(loc);
    py::object cls = meta_(name_.c_str(), bases_, ns_);
    check(PyDict_SetItemString(g.globals, name_.c_str(), cls.ptr()));
    return cls;
}

py::object def(const char *name, const char *sig, Impl impl, const char *doc,
               std::source_location loc) {
    load_step(loc);
    py::object f = make_function(name, name, module_name(), sig, impl, doc);
    check(PyDict_SetItemString(g.globals, name, f.ptr()));
    return f;
}

// ---------------------------------------------------------------------------

void publish_capi(py::handle module, const char *name, void *fn, const char *signature) {
    py::object d;
    PyObject *existing = PyObject_GetAttrString(module.ptr(), "__pyx_capi__");
    if (existing) {
        d = steal(existing);
    } else {
        PyErr_Clear();
        d = steal(PyDict_New());
        check(PyObject_SetAttrString(module.ptr(), "__pyx_capi__", d.ptr()));
    }
    py::object cap = steal(PyCapsule_New(fn, signature, nullptr));
    check(PyDict_SetItemString(d.ptr(), name, cap.ptr()));
}

void *bind_capi(const char *module_name, const char *name, const char *signature) {
    py::object mod = import(module_name);
    py::object d = steal(PyObject_GetAttrString(mod.ptr(), "__pyx_capi__"));
    PyObject *cap = PyDict_Check(d.ptr()) ? PyDict_GetItemString(d.ptr(), name) : nullptr;
    if (!cap)
        raisef(PyExc_ImportError, "%.200s does not export expected C function %.200s", module_name,
               name);
    if (!PyCapsule_CheckExact(cap))
        raisef(PyExc_TypeError,
               "C function %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
               module_name, name, signature, Py_TYPE(cap)->tp_name);
    const char *got = PyCapsule_GetName(cap);
    if (!got || std::strcmp(got, signature) != 0)
        raisef(PyExc_TypeError,
               "C function %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
               module_name, name, signature, got ? got : "(null)");
    void *p = PyCapsule_GetPointer(cap, got);
    if (!p)
        throw python_error();
    return p;
}

} // namespace zd
