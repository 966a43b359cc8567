// Model.addVar and Model.addMVar: new variables in one library call each.
#include "model_arrays.hpp"
#include "model_terms.hpp"

#include <climits>

namespace core {
namespace {

double number_arg(PyObject *o, const char *what) {
    if (!PyFloat_Check(o) && !PyLong_Check(o) && !core_isscalar(o))
        zd::raisef(PyExc_TypeError, "%s must be a number, not %.200s", what, Py_TYPE(o)->tp_name);
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred())
        throw zd::python_error();
    if (std::isnan(d))
        zd::raisef(PyExc_ValueError, "%s is NaN", what);
    return to_lib(d);
}

char vtype_char(PyObject *o) {
    if (PyUnicode_Check(o) && PyUnicode_GET_LENGTH(o) == 1) {
        Py_UCS4 c = PyUnicode_READ_CHAR(o, 0);
        if (c == 'C' || c == 'B' || c == 'I')
            return (char)c;
    }
    py::object r = zd::steal(PyObject_Repr(o));
    zd::raisef(PyExc_ValueError, "Invalid vtype %U: expected 'C', 'B' or 'I'", r.ptr());
}

} // namespace

PyObject *Model_addVar(PyObject *self, PyObject *args, PyObject *kwds) {
    ZD_TRY
    static const char *kwlist[] = {"lb", "ub", "obj", "vtype", "name", nullptr};
    PyObject *lbo = nullptr, *ubo = nullptr, *objo = nullptr, *vtypeo = nullptr, *nameo = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOOOO:addVar", const_cast<char **>(kwlist), &lbo,
                                     &ubo, &objo, &vtypeo, &nameo))
        return nullptr;
    ModelObject *m = model(self);
    TVXmodel *lm = model_handle(m);
    double lb = lbo ? number_arg(lbo, "lb") : 0.0;
    double ub = ubo ? number_arg(ubo, "ub") : TVX_INFINITY;
    double obj = objo ? number_arg(objo, "obj") : 0.0;
    char vtype = vtypeo ? vtype_char(vtypeo) : TVX_CONTINUOUS;
    const char *name = nullptr;
    if (nameo && nameo != Py_None) {
        if (!PyUnicode_Check(nameo))
            zd::raisef(PyExc_TypeError, "name must be str, not %.200s", Py_TYPE(nameo)->tp_name);
        name = PyUnicode_AsUTF8(nameo);
        if (!name)
            throw zd::python_error();
    }
    int pos = next_pos(m, KIND_VAR, 1);
    NewElems vars;
    vars.make(KIND_VAR, m->mc, pos, 1);
    int code = TVXaddvars(lm, 1, &lb, &ub, &obj, &vtype, name ? &name : nullptr);
    if (code)
        raise_lib(code, self);
    append_elems(m, KIND_VAR, vars.items);
    PyObject *v = vars.items[0];
    vars.items.clear();
    return v;
    ZD_CATCH(nullptr)
}

PyObject *Model_addMVar(PyObject *self, PyObject *args, PyObject *kwds) {
    ZD_TRY
    static const char *kwlist[] = {"shape", "lb", "ub", "obj", "vtype", "name", nullptr};
    PyObject *shapeo, *lbo = nullptr, *ubo = nullptr, *objo = nullptr, *vtypeo = nullptr,
                      *nameo = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OOOOO:addMVar", const_cast<char **>(kwlist),
                                     &shapeo, &lbo, &ubo, &objo, &vtypeo, &nameo))
        return nullptr;
    ModelObject *m = model(self);
    TVXmodel *lm = model_handle(m);
    std::vector<Py_ssize_t> shape = parse_shape(shapeo);
    Py_ssize_t n = shape_size(shape);
    int pos = next_pos(m, KIND_VAR, n);
    py::object MVar = arrayexpr("MVar"); // before anything is added

    // Bounds and objective: NULL arrays mean the library's defaults.
    std::vector<double> lb, ub, obj;
    if (lbo)
        broadcast_doubles(lbo, shape, "lb", lb);
    if (ubo)
        broadcast_doubles(ubo, shape, "ub", ub);
    if (objo)
        broadcast_doubles(objo, shape, "obj", obj);
    std::vector<char> vtype;
    if (vtypeo) {
        if (PyUnicode_Check(vtypeo)) {
            vtype.assign((size_t)n, vtype_char(vtypeo));
        } else {
            py::object arr = contiguous_objects(vtypeo);
            vtype.reserve((size_t)n);
            broadcast_each(reinterpret_cast<PyArrayObject *>(arr.ptr()), shape, "vtype",
                           [&](const char *p) {
                               vtype.push_back(vtype_char(*reinterpret_cast<PyObject *const *>(p)));
                           });
        }
    }
    Names names;
    make_names(nameo, shape, names);

    NewElems vars;
    vars.make(KIND_VAR, m->mc, pos, n);
    int code = TVXaddvars(lm, (int)n, lb.empty() ? nullptr : lb.data(),
                          ub.empty() ? nullptr : ub.data(), obj.empty() ? nullptr : obj.data(),
                          vtype.empty() ? nullptr : vtype.data(), names.data());
    if (code)
        raise_lib(code, self);
    py::object arr = hand_over_array(m, KIND_VAR, vars, shape);
    return MVar(arr).release().ptr();
    ZD_CATCH(nullptr)
}

} // namespace core
