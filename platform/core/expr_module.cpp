// Registration of the expression types in _core, the variable helpers the
// expressions use (values, printed labels), and error plumbing.
#include "expr_internal.hpp"

PyTypeObject *LinExpr_Type = nullptr;
PyTypeObject *QuadExpr_Type = nullptr;
PyTypeObject *TempConstr_Type = nullptr;
PyTypeObject *NLExpr_Type = nullptr;
PyTypeObject *ExprTree_Type = nullptr;
PyTypeObject *GenExpr_Type = nullptr;

int (*core_var_values)(PyObject *const *vars, Py_ssize_t n, double *out) = nullptr;
PyObject *(*core_var_label)(PyObject *var) = nullptr;

namespace zdcore {

Names names{};

void var_values(PyObject *const *vars, Py_ssize_t n, double *out) {
    if (n == 0)
        return;
    if (core_var_values) {
        if (core_var_values(vars, n, out) < 0)
            throw_py();
        return;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::object x = steal(PyObject_GetAttr(vars[i], names.X));
        out[i] = to_double(x.ptr());
    }
}

std::string var_label(PyObject *var) {
    py::object text;
    if (core_var_label) {
        text = steal(core_var_label(var));
    } else {
        PyObject *name = PyObject_GetAttr(var, names.VarName);
        if (name && PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) > 0) {
            text = steal(name);
        } else {
            Py_XDECREF(name);
            PyErr_Clear();
            text = steal(PyObject_Repr(var));
        }
    }
    if (!PyUnicode_Check(text.ptr()))
        text = steal(PyObject_Str(text.ptr()));
    Py_ssize_t len;
    const char *p = PyUnicode_AsUTF8AndSize(text.ptr(), &len);
    if (!p)
        throw_py();
    return std::string(p, static_cast<size_t>(len));
}

namespace {

PyObject *isscalar(PyObject *, PyObject *arg) {
    return PyBool_FromLong(core_isscalar(arg));
}

PyMethodDef module_functions[] = {
    {"_isscalar", isscalar, METH_O,
     "True for one real number: Python int (bool too) and float, NumPy integer, floating and bool "
     "scalars."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject *intern(const char *s) {
    PyObject *o = PyUnicode_InternFromString(s);
    if (!o)
        throw_py();
    return o; // kept for the process
}

void add_type(PyObject *module, const char *name, PyTypeObject *&slot, PyTypeObject *(*make)()) {
    PyTypeObject *t = make();
    if (!t)
        throw_py();
    slot = t; // one reference kept for the process
    check(PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject *>(t)));
}

} // namespace

} // namespace zdcore

int core_add_expr_types(PyObject *module) {
    using namespace zdcore;
    return entry_int([&] {
        if (!names.sense_le) {
            names.sense_le = intern("<");
            names.sense_ge = intern(">");
            names.sense_eq = intern("=");
            names.X = intern("X");
            names.VarName = intern("VarName");
            names._colno = intern("_colno");
        }
        add_type(module, "LinExpr", LinExpr_Type, make_linexpr_type);
        add_type(module, "QuadExpr", QuadExpr_Type, make_quadexpr_type);
        add_type(module, "TempConstr", TempConstr_Type, make_tempconstr_type);
        add_type(module, "_ExprTree", ExprTree_Type, make_exprtree_type);
        add_type(module, "NLExpr", NLExpr_Type, make_nlexpr_type);
        add_type(module, "GenExpr", GenExpr_Type, make_genexpr_type);
        check(PyModule_AddFunctions(module, module_functions));
        return 0;
    });
}
