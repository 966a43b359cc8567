// Model.addConstr for scalar comparisons (linear and quadratic rows) and
// Model.addGenConstrNL; reading the terms of expression records.
#include "model_arrays.hpp"
#include "model_terms.hpp"

#include <climits>

namespace core {
namespace {

// Continuation chains longer than this are taken for a cycle.
constexpr long max_chain = 1L << 24;

void linexpr_terms(ModelObject *m, PyObject *o, double mult, std::vector<int> &ind,
                   std::vector<double> &val, double &constant) {
    long steps = 0;
    for (PyObject *cur = o; cur && cur != Py_None;
         cur = reinterpret_cast<LinExprObject *>(cur)->cont_ref) {
        if (!PyObject_TypeCheck(cur, LinExpr_Type))
            zd::raisef(PyExc_TypeError, "LinExpr continuation must be a LinExpr, not %.200s",
                       Py_TYPE(cur)->tp_name);
        if (++steps > max_chain)
            zd::raise(PyExc_ValueError, "LinExpr continuation is cyclic");
        LinExprObject *le = reinterpret_cast<LinExprObject *>(cur);
        constant += mult * le->constant;
        PyObject *coefs = le->coef_list, *vars = le->var_list;
        Py_ssize_t nc = (coefs && coefs != Py_None) ? PyList_GET_SIZE(coefs) : 0;
        Py_ssize_t nv = (vars && vars != Py_None) ? PyList_GET_SIZE(vars) : 0;
        if (nc != nv)
            zd::raise(PyExc_ValueError, "LinExpr has term lists of different lengths");
        for (Py_ssize_t i = 0; i < nc; ++i) {
            double c = term_coef(PyList_GET_ITEM(coefs, i));
            PyObject *v = PyList_GET_ITEM(vars, i);
            ind.push_back(var_pos(m, v));
            val.push_back(mult * c);
        }
    }
}

const char *name_arg(PyObject *nameo) {
    if (!nameo || nameo == Py_None)
        return nullptr;
    if (!PyUnicode_Check(nameo))
        zd::raisef(PyExc_TypeError, "name must be str, not %.200s", Py_TYPE(nameo)->tp_name);
    const char *s = PyUnicode_AsUTF8(nameo);
    if (!s)
        throw zd::python_error();
    return s;
}

bool is_nl(PyObject *o) {
    return PyObject_TypeCheck(o, NLExpr_Type) || PyObject_TypeCheck(o, GenExpr_Type);
}

bool is_quad(PyObject *o) {
    return PyObject_TypeCheck(o, QuadExpr_Type);
}

// Whether `o` may be the expression of a general nonlinear constraint.
bool nl_operand(PyObject *o) {
    return is_nl(o) || is_var(o) || PyObject_TypeCheck(o, LinExpr_Type) || is_quad(o) ||
           core_isscalar(o);
}

[[noreturn]] void bad_side(PyObject *o) {
    zd::raisef(PyExc_TypeError, "Unsupported type %.200s in a constraint", Py_TYPE(o)->tp_name);
}

PyObject *add_genconstr(ModelObject *m, PyObject *self, PyObject *resvar, const char *name) {
    std::vector<int> res(1, var_pos(m, resvar));
    Names names;
    if (name) {
        names.own.emplace_back(name);
        names.ptrs.push_back(names.own[0].c_str());
    }
    py::object list = add_genconstrs(m, self, res, names);
    return Py_NewRef(PyList_GET_ITEM(list.ptr(), 0));
}

} // namespace

// Hands the new elements over: they join the model's list and a new list.
py::object hand_over(ModelObject *m, int kind, NewElems &made) {
    append_elems(m, kind, made.items);
    py::object list = zd::steal(PyList_New((Py_ssize_t)made.items.size()));
    for (size_t k = 0; k < made.items.size(); ++k)
        PyList_SET_ITEM(list.ptr(), (Py_ssize_t)k, made.items[k]);
    made.items.clear();
    return list;
}

py::object hand_over_array(ModelObject *m, int kind, NewElems &made,
                           const std::vector<Py_ssize_t> &shape) {
    append_elems(m, kind, made.items);
    return object_array(shape, made.items);
}

// After the library refused the k-th of several additions: the ones added
// before are removed again, and stay in the bookkeeping (marked removed) so
// that positions keep in step with the library until the next update.
void undo_added(ModelObject *m, int kind, NewElems &made, size_t k,
                int (*del)(TVXmodel *, int, const int *)) {
    if (!k)
        return;
    std::vector<int> pos;
    for (size_t j = 0; j < k; ++j)
        pos.push_back(elem(made.items[j])->pos);
    del(m->mc->model, (int)k, pos.data());
    std::vector<PyObject *> added(made.items.begin(), made.items.begin() + (std::ptrdiff_t)k);
    for (PyObject *o : added)
        elem(o)->removed = 1;
    m->dirty[kind] = true;
    append_elems(m, kind, added);
}

int var_pos(ModelObject *m, PyObject *v) {
    check_owned(m, v, KIND_VAR);
    return elem(v)->pos;
}

bool add_linear_terms(ModelObject *m, PyObject *o, double mult, std::vector<int> &ind,
                      std::vector<double> &val, double &constant) {
    if (is_var(o)) {
        ind.push_back(var_pos(m, o));
        val.push_back(mult);
    } else if (PyObject_TypeCheck(o, LinExpr_Type)) {
        linexpr_terms(m, o, mult, ind, val, constant);
    } else if (PyFloat_Check(o) || PyLong_Check(o) || core_isscalar(o)) {
        double d = PyFloat_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred())
            throw zd::python_error();
        constant += mult * d;
    } else {
        return false;
    }
    return true;
}

void add_quad_terms(ModelObject *m, PyObject *o, double mult, QuadTerms &q) {
    QuadExprObject *qe = reinterpret_cast<QuadExprObject *>(o);
    if (qe->linexpr && qe->linexpr != Py_None)
        linexpr_terms(m, qe->linexpr, mult, q.lind, q.lval, q.constant);
    PyObject *coefs = qe->coeffs, *v1 = qe->vars1, *v2 = qe->vars2;
    Py_ssize_t n = (coefs && coefs != Py_None) ? PyList_GET_SIZE(coefs) : 0;
    Py_ssize_t n1 = (v1 && v1 != Py_None) ? PyList_GET_SIZE(v1) : 0;
    Py_ssize_t n2 = (v2 && v2 != Py_None) ? PyList_GET_SIZE(v2) : 0;
    if (n1 != n || n2 != n)
        zd::raise(PyExc_ValueError, "QuadExpr has term lists of different lengths");
    for (Py_ssize_t i = 0; i < n; ++i) {
        double c = term_coef(PyList_GET_ITEM(coefs, i));
        q.qrow.push_back(var_pos(m, PyList_GET_ITEM(v1, i)));
        q.qcol.push_back(var_pos(m, PyList_GET_ITEM(v2, i)));
        q.qval.push_back(mult * c);
    }
}

// Linear, quadratic or numeric side of a scalar quadratic constraint.
void add_quad_side(ModelObject *m, PyObject *o, double mult, QuadTerms &q) {
    if (is_quad(o))
        add_quad_terms(m, o, mult, q);
    else if (!add_linear_terms(m, o, mult, q.lind, q.lval, q.constant))
        bad_side(o);
}

py::object add_qconstrs(ModelObject *m, PyObject *self, std::vector<QuadTerms> &cells, char sense,
                        const std::vector<double> &rhs, const Names &names) {
    size_t n = cells.size();
    TVXmodel *lm = model_handle(m);
    std::vector<double> rhsv(n);
    for (size_t k = 0; k < n; ++k) {
        const QuadTerms &q = cells[k];
        if (q.lind.size() > INT_MAX || q.qrow.size() > INT_MAX)
            zd::raise(PyExc_ValueError, "too many terms in a quadratic constraint");
        rhsv[k] = rhs[k] - q.constant;
        if (std::isnan(rhsv[k]))
            zd::raise(PyExc_ValueError, "constraint right-hand side is NaN");
    }
    NewElems made;
    made.make(KIND_QCONSTR, m->mc, next_pos(m, KIND_QCONSTR, (Py_ssize_t)n), (Py_ssize_t)n);
    for (size_t k = 0; k < n; ++k) {
        QuadTerms &q = cells[k];
        int code =
            TVXaddqconstr(lm, (int)q.lind.size(), q.lind.data(), q.lval.data(), (int)q.qrow.size(),
                          q.qrow.data(), q.qcol.data(), q.qval.data(), sense, to_lib(rhsv[k]),
                          names.ptrs.empty() ? nullptr : names.ptrs[k]);
        if (code) {
            undo_added(m, KIND_QCONSTR, made, k, TVXdelqconstrs);
            raise_lib(code, self);
        }
    }
    return hand_over(m, KIND_QCONSTR, made);
}

py::object add_genconstrs(ModelObject *m, PyObject *self, const std::vector<int> &resvars,
                          const Names &names) {
    size_t n = resvars.size();
    TVXmodel *lm = model_handle(m);
    NewElems made;
    made.make(KIND_GENCONSTR, m->mc, next_pos(m, KIND_GENCONSTR, (Py_ssize_t)n), (Py_ssize_t)n);
    for (size_t k = 0; k < n; ++k) {
        int code = TVXaddgenconstrnl(lm, names.ptrs.empty() ? nullptr : names.ptrs[k], resvars[k]);
        if (code) {
            undo_added(m, KIND_GENCONSTR, made, k, TVXdelgenconstrs);
            raise_lib(code, self);
        }
    }
    return hand_over(m, KIND_GENCONSTR, made);
}

char parse_sense(PyObject *sense) {
    if (PyUnicode_Check(sense) && PyUnicode_GET_LENGTH(sense) >= 1) {
        Py_UCS4 c = PyUnicode_READ_CHAR(sense, 0);
        Py_ssize_t len = PyUnicode_GET_LENGTH(sense);
        if ((c == '<' || c == '>' || c == '=') &&
            (len == 1 || (len == 2 && PyUnicode_READ_CHAR(sense, 1) == '=')))
            return (char)c;
    }
    py::object r = zd::steal(PyObject_Repr(sense));
    zd::raisef(PyExc_ValueError, "Invalid constraint sense %U", r.ptr());
}

PyObject *Model_addConstr(PyObject *self, PyObject *args, PyObject *kwds) {
    ZD_TRY
    static const char *kwlist[] = {"constr", "name", nullptr};
    PyObject *tc, *nameo = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:addConstr", const_cast<char **>(kwlist), &tc,
                                     &nameo))
        return nullptr;
    ModelObject *m = model(self);
    TVXmodel *lm = model_handle(m);
    if (!PyObject_TypeCheck(tc, TempConstr_Type)) {
        if (PyBool_Check(tc))
            zd::raise(PyExc_TypeError, "addConstr() got a bool: the comparison did not involve "
                                       "model variables or expressions");
        zd::raisef(PyExc_TypeError, "addConstr() expects a constraint (TempConstr), not %.200s",
                   Py_TYPE(tc)->tp_name);
    }
    py::object lhs = zd::steal(PyObject_GetAttrString(tc, "_lhs"));
    py::object sense_o = zd::steal(PyObject_GetAttrString(tc, "_sense"));
    py::object rhs = zd::steal(PyObject_GetAttrString(tc, "_rhs"));
    char sense = parse_sense(sense_o.ptr());

    py::object matrix = add_matrix_constr(m, lhs.ptr(), sense, rhs.ptr(), nameo);
    if (matrix)
        return matrix.release().ptr();

    const char *name = name_arg(nameo);
    if (is_nl(lhs.ptr()) || is_nl(rhs.ptr())) {
        // y == f(x): a general constraint on the variable y
        PyObject *var = lhs.ptr(), *expr = rhs.ptr();
        if (!is_var(var))
            std::swap(var, expr);
        if (sense != '=' || !is_var(var) || !nl_operand(expr))
            zd::raise(PyExc_ValueError,
                      "Nonlinear constraints must have the form y == f(x) with a variable y");
        return add_genconstr(m, self, var, name);
    }
    if (is_quad(lhs.ptr()) || is_quad(rhs.ptr())) {
        std::vector<QuadTerms> cells(1);
        add_quad_side(m, lhs.ptr(), 1.0, cells[0]);
        add_quad_side(m, rhs.ptr(), -1.0, cells[0]);
        std::vector<double> zero(1, 0.0);
        Names names;
        if (name) {
            names.own.emplace_back(name);
            names.ptrs.push_back(names.own[0].c_str());
        }
        py::object list = add_qconstrs(m, self, cells, sense, zero, names);
        return Py_NewRef(PyList_GET_ITEM(list.ptr(), 0));
    }
    std::vector<int> ind;
    std::vector<double> val;
    double constant = 0.0;
    if (!add_linear_terms(m, lhs.ptr(), 1.0, ind, val, constant))
        bad_side(lhs.ptr());
    if (!add_linear_terms(m, rhs.ptr(), -1.0, ind, val, constant))
        bad_side(rhs.ptr());
    double rhsv = -constant;
    if (std::isnan(rhsv))
        zd::raise(PyExc_ValueError, "constraint right-hand side is NaN");
    rhsv = to_lib(rhsv);
    NewElems made;
    made.make(KIND_CONSTR, m->mc, next_pos(m, KIND_CONSTR, 1), 1);
    int64_t beg[2] = {0, (int64_t)ind.size()};
    int code = TVXaddconstrs(lm, 1, (int64_t)ind.size(), beg, ind.data(), val.data(), &sense, &rhsv,
                             name ? &name : nullptr);
    if (code)
        raise_lib(code, self);
    py::object list = hand_over(m, KIND_CONSTR, made);
    return Py_NewRef(PyList_GET_ITEM(list.ptr(), 0));
    ZD_CATCH(nullptr)
}

PyObject *Model_addGenConstrNL(PyObject *self, PyObject *args, PyObject *kwds) {
    ZD_TRY
    static const char *kwlist[] = {"resvar", "expr", "name", nullptr};
    PyObject *resvar, *expr, *nameo = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|O:addGenConstrNL", const_cast<char **>(kwlist),
                                     &resvar, &expr, &nameo))
        return nullptr;
    ModelObject *m = model(self);
    model_handle(m);
    if (is_matrix_object(resvar) || is_matrix_object(expr))
        return add_matrix_genconstr(m, resvar, expr, nameo).release().ptr();
    if (!is_var(resvar))
        zd::raisef(PyExc_TypeError, "resvar must be a Var, not %.200s", Py_TYPE(resvar)->tp_name);
    if (!nl_operand(expr))
        zd::raisef(PyExc_TypeError, "Unsupported expression type %.200s", Py_TYPE(expr)->tp_name);
    return add_genconstr(m, self, resvar, name_arg(nameo));
    ZD_CATCH(nullptr)
}

} // namespace core
