// Module zudirivi._buildaid: the frame. Binds the core expression types (with
// their size check), registers the module's generator type, imports the names
// the helpers use as module globals, then creates the functions and _listify.
#include "buildaid.hpp"

namespace buildaid {

PyTypeObject *LinExpr_type = nullptr;
PyTypeObject *QuadExpr_type = nullptr;
PyObject *builtin_max = nullptr;

bool isinstance_global(py::handle o, py::handle name) {
    py::object cls = zd::global(name);
    return zd::check(PyObject_IsInstance(o.ptr(), cls.ptr())) == 1;
}

namespace {

const char module_doc[] = "\n"
                          "Utility functions that are *only* used by the Model class.\n"
                          "Free to depend on tovrixpy classes.\n";

// Built-in names the module relies on, looked up once at load.
const char *const builtin_names[] = {"ImportError", "object", "AssertionError", "TypeError",
                                     "map",         "max",    "range",          "zip"};
PyObject *builtins_kept[std::size(builtin_names)] = {};

void keep_builtins() {
    py::object builtins = zd::import("builtins");
    for (size_t i = 0; i < std::size(builtin_names); ++i) {
        py::object name = zd::steal(PyUnicode_InternFromString(builtin_names[i]));
        PyObject *v = PyObject_GetAttr(builtins.ptr(), name.ptr());
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                zd::throw_error();
            PyErr_Clear();
            zd::raisef(PyExc_NameError, "name '%U' is not defined", name.ptr());
        }
        Py_XSETREF(builtins_kept[i], v);
    }
    builtin_max = builtins_kept[5];
}

// `from <module> import <names...>`, binding each as a module global; a
// missing name is an ImportError "cannot import name <name>".
void import_names(const char *module, std::initializer_list<const char *> names,
                  std::source_location loc = std::source_location::current()) {
    zd::load_step(loc);
    py::object mod = zd::import(module);
    for (const char *name : names) {
        py::object key = zd::steal(PyUnicode_InternFromString(name));
        PyObject *v = PyObject_GetAttr(mod.ptr(), key.ptr());
        if (!v) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                zd::raisef(PyExc_ImportError, "cannot import name %S", key.ptr());
            }
            zd::throw_error();
        }
        zd::set_global(name, zd::steal(v), loc);
    }
}

void register_generator_type() {
    py::handle gen(reinterpret_cast<PyObject *>(generator_type()));
    PyObject *abc = PyImport_ImportModule("collections.abc");
    if (!abc) {
        PyErr_WriteUnraisable(nullptr);
        zd::check(PyErr_WarnEx(PyExc_RuntimeWarning,
                               "zudirivi._buildaid failed to register its generator type "
                               "with collections.abc",
                               1));
    } else {
        py::object mod = zd::steal(abc);
        mod.attr("Generator").attr("register")(gen);
    }
    PyObject *backports = PyImport_ImportModule("backports_abc");
    if (!backports) {
        PyErr_Clear();
        return;
    }
    py::object mod = zd::steal(backports);
    PyObject *g = PyObject_GetAttrString(mod.ptr(), "Generator");
    PyObject *r = g ? PyObject_CallMethod(g, "register", "O", gen.ptr()) : nullptr;
    Py_XDECREF(g);
    if (!r)
        PyErr_Clear();
    Py_XDECREF(r);
}

// TVXStringIO: the class StringIO of a module named StringIO when one can be
// imported, else io.StringIO.
void bind_stringio() {
    zd::load_step();
    PyObject *mod = PyImport_ImportModule("StringIO");
    PyObject *cls = nullptr;
    if (mod) {
        cls = PyObject_GetAttrString(mod, "StringIO");
        Py_DECREF(mod);
        if (!cls && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            // `from StringIO import StringIO` fails with an ImportError then
            PyErr_Clear();
        } else if (!cls) {
            zd::throw_error();
        }
    } else if (PyErr_ExceptionMatches(PyExc_ImportError)) {
        PyErr_Clear();
    } else {
        zd::throw_error();
    }
    if (!cls) {
        py::object io = zd::import("io");
        cls = zd::import_from(io, ZD_STR("StringIO")).release().ptr();
    }
    zd::set_global("TVXStringIO", zd::steal(cls));
}

void exec_buildaid(py::handle module) {
    zd::load_step();
    zd::check(PyObject_SetAttrString(module.ptr(), "__doc__",
                                     zd::steal(PyUnicode_FromString(module_doc)).ptr()));
    {
        PyObject *modules = PySys_GetObject("modules");
        if (modules && PyDict_Check(modules)) {
            PyObject *own = PyDict_GetItemWithError(modules, zd::module_name().ptr());
            if (!own && PyErr_Occurred())
                zd::throw_error();
            if (!own)
                zd::check(PyDict_SetItem(modules, zd::module_name().ptr(), module.ptr()));
        }
    }
    zd::load_step();
    keep_builtins();

    zd::bind_core_record_types(&LinExpr_type, &QuadExpr_type);

    zd::load_step();
    register_generator_type();

    zd::load_step();
    zd::set_global("dis", zd::import("dis"));
    zd::set_global("itertools", zd::import("itertools"));
    zd::set_global("re", zd::import("re"));
    zd::set_global("sys", zd::import("sys"));
    import_names("collections.abc", {"Iterable"});
    import_names("zudirivi._core",
                 {"Constr", "TovrixError", "QConstr", "Var", "_isscalar", "tupledict"});
    import_names("zudirivi._tvx", {"TVX"});
    import_names("zudirivi._arrayexpr", {"MConstr", "MLinExpr", "MQConstr", "MQuadExpr", "MVar"});
    import_names("zudirivi._util", {"_isstr"});
    bind_stringio();

    zd::def("_simpleexpr", "arg", py_simpleexpr);
    zd::def("_extract_varlike_cindex", "source, model=None", py_extract_varlike_cindex);
    zd::def("_extract_constrlike_cindex", "source, model=None", py_extract_constrlike_cindex);
    zd::def("_convert_mle_to_predvar_predval", "mle", py_convert_mle_to_predvar_predval);
    zd::def("_indexname", "name, index", py_indexname);
    zd::def("simplify_tuple", "tup", py_simplify_tuple);
    zd::def("_genexpr_key", "x", py_genexpr_key);
    zd::def("_nd_indexed_names", "prefix, shape", py_nd_indexed_names);
    zd::def("_map_coldata_to_vars", "coldata, v, dtype=None", py_map_coldata_to_vars);

    zd::ClassBuilder("_listify",
                     py::make_tuple(py::handle(reinterpret_cast<PyObject *>(&PyBaseObject_Type))),
                     nullptr)
        .method("__init__", "self, *indexes, **kwargs", listify_init)
        .method("flatten", "self, x", listify_flatten)
        .method("listify", "self, arg, default", listify_listify)
        .create();

    zd::set_global("__test__", zd::steal(PyDict_New()));
}

} // namespace
} // namespace buildaid

ZD_MODULE(_buildaid, buildaid::exec_buildaid)
