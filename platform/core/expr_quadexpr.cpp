// QuadExpr: linexpr + sum(coeffs[k] * vars1[k] * vars2[k]).
//
// linexpr is a LinExpr owned by this expression alone: it holds the linear
// terms and the constant. The record's further field is reserved; it stays
// None.
#include "expr_internal.hpp"

#include <unordered_map>

namespace zdcore {

namespace {

PyObject **qlist_field(QuadExprObject *r, int which) {
    switch (which) {
    case 0:
        return &r->coeffs;
    case 1:
        return &r->vars1;
    default:
        return &r->vars2;
    }
}

} // namespace

py::object quadexpr_make(py::object linexpr, py::object coeffs, py::object vars1,
                         py::object vars2) {
    PyObject *o = QuadExpr_Type->tp_alloc(QuadExpr_Type, 0);
    if (!o)
        throw_py();
    QuadExprObject *r = qe_ptr(o);
    r->linexpr = linexpr.release().ptr();
    r->coeffs = coeffs.release().ptr();
    r->vars1 = vars1.release().ptr();
    r->vars2 = vars2.release().ptr();
    Py_INCREF(Py_None);
    r->further = Py_None;
    return steal(o);
}

namespace {

// Makes sure the three term lists are lists of one length.
void quadexpr_own_lists(PyObject *qe) {
    QuadExprObject *r = qe_ptr(qe);
    Py_ssize_t n[3];
    for (int k = 0; k < 3; ++k) {
        PyObject **f = qlist_field(r, k);
        if (!*f || *f == Py_None) {
            PyObject *l = new_list(0).release().ptr();
            Py_XSETREF(*f, l);
        }
        if (!PyList_Check(*f))
            raisef(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(*f)->tp_name);
        n[k] = PyList_GET_SIZE(*f);
    }
    if (n[0] != n[1] || n[0] != n[2])
        raisef(PyExc_ValueError, "QuadExpr term lists differ in length (%zd, %zd, %zd)", n[0], n[1],
               n[2]);
}

} // namespace

PyObject *quadexpr_linexpr(PyObject *qe) {
    PyObject *le = qe_ptr(qe)->linexpr;
    if (!le || !is_linexpr(le))
        raisef(PyExc_TypeError, "QuadExpr.linexpr must be a LinExpr, not %.200s",
               le ? Py_TYPE(le)->tp_name : "NULL");
    return le;
}

void quadexpr_view(PyObject *qe, QuadView &view) {
    QuadExprObject *r = qe_ptr(qe);
    Py_ssize_t n[3] = {0, 0, 0};
    for (int k = 0; k < 3; ++k) {
        PyObject *f = *qlist_field(r, k);
        if (!f || f == Py_None)
            continue;
        if (!PyList_Check(f))
            raisef(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(f)->tp_name);
        n[k] = PyList_GET_SIZE(f);
    }
    if (n[0] != n[1] || n[0] != n[2])
        raisef(PyExc_ValueError, "QuadExpr term lists differ in length (%zd, %zd, %zd)", n[0], n[1],
               n[2]);
    view.n = n[0];
    if (view.n) {
        view.coeffs = borrow(r->coeffs);
        view.vars1 = borrow(r->vars1);
        view.vars2 = borrow(r->vars2);
    }
    linexpr_view(quadexpr_linexpr(qe), view.lin);
}

py::object quadexpr_new() {
    return quadexpr_make(linexpr_new(), new_list(0), new_list(0), new_list(0));
}

void quadexpr_add_quad_terms(PyObject *qe, const QuadView &view, double mult) {
    quadexpr_own_lists(qe);
    if (view.n == 0)
        return;
    QuadExprObject *r = qe_ptr(qe);
    py::object dc = borrow(r->coeffs), d1 = borrow(r->vars1), d2 = borrow(r->vars2);
    py::object coefs = view.coeffs;
    if (mult != 1.0) {
        Seg s;
        s.coefs = view.coeffs;
        s.vars = view.vars1;
        s.n = view.n;
        coefs = scaled_coefs(s, mult);
    }
    extend_list(dc.ptr(), coefs.ptr(), view.n);
    extend_list(d1.ptr(), view.vars1.ptr(), view.n);
    extend_list(d2.ptr(), view.vars2.ptr(), view.n);
}

void quadexpr_add_operand(PyObject *qe, PyObject *o, Kind kind, double num, double mult) {
    PyObject *lin = quadexpr_linexpr(qe);
    py::object hold = borrow(lin);
    if (kind == Kind::Quad) {
        QuadView qv;
        quadexpr_view(o, qv);
        quadexpr_add_quad_terms(qe, qv, mult);
        linexpr_add_view(lin, qv.lin, mult);
        return;
    }
    LinView view;
    lin_operand_view(o, kind, num, view);
    linexpr_add_view(lin, view, mult);
}

void quadexpr_scale(PyObject *qe, double c) {
    quadexpr_own_lists(qe);
    QuadExprObject *r = qe_ptr(qe);
    PyObject *lin = quadexpr_linexpr(qe);
    py::object coeffs = borrow(r->coeffs), hold = borrow(lin);
    Py_ssize_t n = PyList_GET_SIZE(coeffs.ptr());
    Seg s;
    s.coefs = coeffs;
    s.vars = borrow(r->vars1);
    s.n = n;
    py::object scaled = scaled_coefs(s, c);
    linexpr_scale(lin, c);
    if (PyList_GET_SIZE(coeffs.ptr()) != n)
        raise(PyExc_RuntimeError, "expression changed during the operation");
    if (n)
        check(PyList_SetSlice(coeffs.ptr(), 0, n, scaled.ptr()));
}

namespace {

// A new QuadExpr equal to the operand (a number, Var, LinExpr or QuadExpr).
py::object quadexpr_from_operand(PyObject *o, Kind kind, double num) {
    py::object q = quadexpr_new();
    quadexpr_add_operand(q.ptr(), o, kind, num, 1.0);
    return q;
}

PyObject *qe_tp_new(PyTypeObject *type, PyObject *, PyObject *) {
    return entry([&] {
        PyObject *o = type->tp_alloc(type, 0);
        if (!o)
            throw_py();
        py::object self = steal(o);
        QuadExprObject *r = qe_ptr(o);
        r->linexpr = linexpr_new().release().ptr();
        r->coeffs = new_list(0).release().ptr();
        r->vars1 = new_list(0).release().ptr();
        r->vars2 = new_list(0).release().ptr();
        Py_INCREF(Py_None);
        r->further = Py_None;
        return self.release().ptr();
    });
}

// Moves the content of `src` (a fresh QuadExpr) into self.
void qe_take(PyObject *self, PyObject *src) {
    QuadExprObject *r = qe_ptr(self), *s = qe_ptr(src);
    PyObject **to[] = {&r->linexpr, &r->coeffs, &r->vars1, &r->vars2};
    PyObject *from[] = {s->linexpr, s->coeffs, s->vars1, s->vars2};
    for (int k = 0; k < 4; ++k) {
        Py_INCREF(from[k]);
        Py_XSETREF(*to[k], from[k]);
    }
}

int qe_tp_init(PyObject *self, PyObject *args, PyObject *kwds) {
    return entry_int([&] {
        static const char *kwlist[] = {"expr", nullptr};
        PyObject *a = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:QuadExpr", const_cast<char **>(kwlist),
                                         &a))
            throw_py();
        if (!a || a == Py_None) {
            QuadExprObject *r = qe_ptr(self);
            bool fresh = true;
            for (PyObject *l : {r->coeffs, r->vars1, r->vars2})
                fresh = fresh && l && PyList_CheckExact(l) && PyList_GET_SIZE(l) == 0;
            PyObject *le = r->linexpr;
            fresh = fresh && le && Py_REFCNT(le) == 1 && is_linexpr(le) && linexpr_is_pristine(le);
            if (!fresh) // as tp_new left it, unless __init__ runs again
                qe_take(self, quadexpr_new().ptr());
            return 0;
        }
        double num;
        Kind k = classify(a, &num);
        if (k == Kind::NL || k == Kind::Other)
            raisef(PyExc_TypeError, "Cannot construct QuadExpr from %.200s", Py_TYPE(a)->tp_name);
        qe_take(self, quadexpr_from_operand(a, k, num).ptr());
        return 0;
    });
}

void qe_tp_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    QuadExprObject *r = qe_ptr(self);
    Py_CLEAR(r->linexpr);
    Py_CLEAR(r->coeffs);
    Py_CLEAR(r->vars1);
    Py_CLEAR(r->vars2);
    Py_CLEAR(r->further);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *qe_str(PyObject *self) {
    return entry([&] {
        QuadView view;
        quadexpr_view(self, view);
        std::string s = quadexpr_text(view);
        return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    });
}

PyObject *qe_repr(PyObject *self) {
    return entry([&] {
        QuadView view;
        quadexpr_view(self, view);
        std::string s = "<zudirivi.QuadExpr: ";
        s += quadexpr_text(view);
        s += '>';
        return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    });
}

// --- fields ---

PyObject *get_qlist(PyObject *self, void *closure) {
    PyObject *v = *qlist_field(qe_ptr(self), static_cast<int>(reinterpret_cast<intptr_t>(closure)));
    if (!v)
        v = Py_None;
    Py_INCREF(v);
    return v;
}

int set_qlist(PyObject *self, PyObject *value, void *closure) {
    if (!value)
        value = Py_None;
    if (value != Py_None && !PyList_Check(value)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(value)->tp_name);
        return -1;
    }
    PyObject **f = qlist_field(qe_ptr(self), static_cast<int>(reinterpret_cast<intptr_t>(closure)));
    Py_INCREF(value);
    Py_XSETREF(*f, value);
    return 0;
}

PyObject *get_linexpr(PyObject *self, void *) {
    PyObject *v = qe_ptr(self)->linexpr;
    if (!v)
        v = Py_None;
    Py_INCREF(v);
    return v;
}

int set_linexpr(PyObject *self, PyObject *value, void *) {
    if (!value || !is_linexpr(value)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "LinExpr",
                     value ? Py_TYPE(value)->tp_name : "nothing");
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(qe_ptr(self)->linexpr, value);
    return 0;
}

PyGetSetDef qe_getset[] = {
    {"linexpr", get_linexpr, set_linexpr, "The linear part (a LinExpr).", nullptr},
    {"coeffs", get_qlist, set_qlist, "Coefficients of the quadratic terms (a list or None).",
     nullptr},
    {"vars1", get_qlist, set_qlist, "First variables of the quadratic terms (a list or None).",
     reinterpret_cast<void *>(1)},
    {"vars2", get_qlist, set_qlist, "Second variables of the quadratic terms (a list or None).",
     reinterpret_cast<void *>(2)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- methods ---

Py_ssize_t index_arg(PyObject *arg, Py_ssize_t size) {
    Py_ssize_t i = PyNumber_AsSsize_t(arg, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred())
        throw_py();
    if (i < 0 || i >= size)
        raisef(PyExc_IndexError, "index %zd out of range for %zd terms", i, size);
    return i;
}

PyObject *qe_size(PyObject *self, PyObject *) {
    return entry([&] {
        QuadView view;
        quadexpr_view(self, view);
        return PyLong_FromSsize_t(view.n);
    });
}

PyObject *qe_getLinExpr(PyObject *self, PyObject *) {
    return entry([&] {
        PyObject *le = quadexpr_linexpr(self);
        Py_INCREF(le);
        return le;
    });
}

PyObject *qe_term_item(PyObject *self, PyObject *arg, int which) {
    return entry([&] {
        QuadView view;
        quadexpr_view(self, view);
        Py_ssize_t i = index_arg(arg, view.n);
        if (which == 0)
            return PyFloat_FromDouble(list_double(view.coeffs.ptr(), i));
        PyObject *v = list_item(which == 1 ? view.vars1.ptr() : view.vars2.ptr(), i);
        Py_INCREF(v);
        return v;
    });
}

PyObject *qe_getCoeff(PyObject *self, PyObject *arg) {
    return qe_term_item(self, arg, 0);
}
PyObject *qe_getVar1(PyObject *self, PyObject *arg) {
    return qe_term_item(self, arg, 1);
}
PyObject *qe_getVar2(PyObject *self, PyObject *arg) {
    return qe_term_item(self, arg, 2);
}

PyObject *qe_getConstant(PyObject *self, PyObject *) {
    return entry([&] {
        LinView view;
        linexpr_view(quadexpr_linexpr(self), view);
        return PyFloat_FromDouble(view.constant);
    });
}

PyObject *qe_getValue(PyObject *self, PyObject *) {
    return entry([&] {
        QuadView view;
        quadexpr_view(self, view);
        Py_ssize_t nl = view.lin.nterms, nq = view.n;
        std::vector<double> coefs;
        coefs.reserve(nl + nq);
        for (const Seg &s : view.lin.segs)
            for (Py_ssize_t i = 0; i < s.n; ++i)
                coefs.push_back(s.coefs ? list_double(s.coefs.ptr(), i) : 1.0);
        for (Py_ssize_t i = 0; i < nq; ++i)
            coefs.push_back(list_double(view.coeffs.ptr(), i));
        // Our own list of every variable read: linear ones, then x and y of
        // each product. Reading "X" may run any code.
        py::object vars = new_list(nl + 2 * nq);
        Py_ssize_t k = 0;
        for (const Seg &s : view.lin.segs) {
            for (Py_ssize_t i = 0; i < s.n; ++i, ++k) {
                PyObject *v = s.coefs ? list_item(s.vars.ptr(), i) : s.vars.ptr();
                Py_INCREF(v);
                PyList_SET_ITEM(vars.ptr(), k, v);
            }
        }
        for (Py_ssize_t i = 0; i < nq; ++i) {
            PyObject *x = list_item(view.vars1.ptr(), i), *y = list_item(view.vars2.ptr(), i);
            Py_INCREF(x);
            Py_INCREF(y);
            PyList_SET_ITEM(vars.ptr(), k++, x);
            PyList_SET_ITEM(vars.ptr(), k++, y);
        }
        std::vector<double> x(static_cast<size_t>(nl + 2 * nq));
        var_values(PySequence_Fast_ITEMS(vars.ptr()), nl + 2 * nq, x.data());
        double sum = view.lin.constant;
        for (Py_ssize_t i = 0; i < nl; ++i)
            sum += coefs[i] * x[i];
        for (Py_ssize_t i = 0; i < nq; ++i)
            sum += coefs[nl + i] * x[nl + 2 * i] * x[nl + 2 * i + 1];
        return PyFloat_FromDouble(sum);
    });
}

PyObject *qe_add(PyObject *self, PyObject *args, PyObject *kwds) {
    return entry([&] {
        static const char *kwlist[] = {"expr", "mult", nullptr};
        PyObject *expr = nullptr, *multo = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:add", const_cast<char **>(kwlist), &expr,
                                         &multo))
            throw_py();
        double mult = parse_mult(multo);
        double num;
        Kind k = classify(expr, &num);
        if (k == Kind::NL || k == Kind::Other)
            raisef(PyExc_TypeError,
                   "QuadExpr.add() takes a number, Var, LinExpr or QuadExpr, not %.200s",
                   Py_TYPE(expr)->tp_name);
        quadexpr_add_operand(self, expr, k, num, mult);
        Py_RETURN_NONE;
    });
}

PyObject *qe_addTerms(PyObject *self, PyObject *args, PyObject *kwds) {
    return entry([&] {
        static const char *kwlist[] = {"coeffs", "vars1", "vars2", nullptr};
        PyObject *coeffs, *vars1, *vars2;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOO:addTerms", const_cast<char **>(kwlist),
                                         &coeffs, &vars1, &vars2))
            throw_py();
        py::object c1, v1, c2, v2;
        terms_from_args(coeffs, vars1, c1, v1);
        terms_from_args(coeffs, vars2, c2, v2);
        Py_ssize_t n = PyList_GET_SIZE(c1.ptr());
        if (PyList_GET_SIZE(v2.ptr()) != n)
            raise(PyExc_ValueError, "vars1 and vars2 differ in length");
        quadexpr_own_lists(self);
        QuadExprObject *r = qe_ptr(self);
        py::object dc = borrow(r->coeffs), d1 = borrow(r->vars1), d2 = borrow(r->vars2);
        extend_list(dc.ptr(), c1.ptr(), n);
        extend_list(d1.ptr(), v1.ptr(), n);
        extend_list(d2.ptr(), v2.ptr(), n);
        Py_RETURN_NONE;
    });
}

PyObject *qe_addConstant(PyObject *self, PyObject *arg) {
    return entry([&] {
        double c = number_arg(arg, "constant");
        le_ptr(quadexpr_linexpr(self))->constant += c;
        Py_RETURN_NONE;
    });
}

PyObject *qe_clear(PyObject *self, PyObject *) {
    return entry([&] {
        QuadExprObject *r = qe_ptr(self);
        for (int k = 0; k < 3; ++k) {
            PyObject *l = new_list(0).release().ptr();
            Py_XSETREF(*qlist_field(r, k), l);
        }
        PyObject *le = r->linexpr;
        if (le && is_linexpr(le)) {
            linexpr_clear(le);
        } else {
            PyObject *fresh = linexpr_new().release().ptr();
            Py_XSETREF(r->linexpr, fresh);
        }
        Py_RETURN_NONE;
    });
}

PyObject *qe_copy(PyObject *self, PyObject *) {
    return entry([&] { return quadexpr_from_operand(self, Kind::Quad, 0.0).release().ptr(); });
}

// copy.copy and copy.deepcopy: the same as copy(); variables are shared,
// never copied.
PyObject *qe_copy_deep(PyObject *self, PyObject *) {
    return qe_copy(self, nullptr);
}

PyObject *qe_mul(PyObject *self, PyObject *arg) {
    return entry([&] {
        quadexpr_scale(self, number_arg(arg, "multiplier"));
        Py_RETURN_NONE;
    });
}

PyObject *qe_flatten(PyObject *self, PyObject *) {
    return entry([&] {
        quadexpr_own_lists(self);
        linexpr_flatten(quadexpr_linexpr(self));
        Py_RETURN_NONE;
    });
}

struct PairHash {
    size_t operator()(const std::pair<PyObject *, PyObject *> &p) const noexcept {
        size_t a = reinterpret_cast<size_t>(p.first), b = reinterpret_cast<size_t>(p.second);
        return a * 0x9E3779B97F4A7C15ull ^ (b + (a << 6) + (a >> 2));
    }
};

// Merges products of the same two variables (in either order; the first
// occurrence keeps its place and order), drops zero terms, and normalises
// the linear part the same way.
PyObject *qe_normalize(PyObject *self, PyObject *) {
    return entry([&] {
        quadexpr_own_lists(self);
        QuadExprObject *r = qe_ptr(self);
        py::object coeffs = borrow(r->coeffs), vars1 = borrow(r->vars1), vars2 = borrow(r->vars2);
        Py_ssize_t n = PyList_GET_SIZE(coeffs.ptr());
        std::vector<double> c;
        std::vector<std::pair<PyObject *, PyObject *>> xy; // borrowed from the held lists
        c.reserve(n);
        xy.reserve(n);
        std::unordered_map<std::pair<PyObject *, PyObject *>, size_t, PairHash> where;
        where.reserve(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            double d = list_double(coeffs.ptr(), i);
            PyObject *x = list_item(vars1.ptr(), i), *y = list_item(vars2.ptr(), i);
            auto key = x < y ? std::make_pair(x, y) : std::make_pair(y, x);
            auto [it, fresh] = where.try_emplace(key, c.size());
            if (fresh) {
                c.push_back(d);
                xy.emplace_back(x, y);
            } else {
                c[it->second] += d;
            }
        }
        if (PyList_GET_SIZE(vars1.ptr()) != n || PyList_GET_SIZE(vars2.ptr()) != n)
            raise(PyExc_RuntimeError, "expression changed during the operation");
        Py_ssize_t kept = 0;
        for (double d : c)
            kept += d != 0.0;
        py::object nc = new_list(kept), n1 = new_list(kept), n2 = new_list(kept);
        Py_ssize_t k = 0;
        for (size_t i = 0; i < c.size(); ++i) {
            if (c[i] == 0.0)
                continue;
            PyList_SET_ITEM(nc.ptr(), k, new_float(c[i]).release().ptr());
            Py_INCREF(xy[i].first);
            PyList_SET_ITEM(n1.ptr(), k, xy[i].first);
            Py_INCREF(xy[i].second);
            PyList_SET_ITEM(n2.ptr(), k, xy[i].second);
            ++k;
        }
        check(PyList_SetSlice(coeffs.ptr(), 0, n, nc.ptr()));
        check(PyList_SetSlice(vars1.ptr(), 0, n, n1.ptr()));
        check(PyList_SetSlice(vars2.ptr(), 0, n, n2.ptr()));
        linexpr_normalize(quadexpr_linexpr(self));
        Py_RETURN_NONE;
    });
}

PyMethodDef qe_methods[] = {
    {"size", qe_size, METH_NOARGS, "Number of quadratic terms."},
    {"getLinExpr", qe_getLinExpr, METH_NOARGS, "The linear part itself (not a copy)."},
    {"getCoeff", qe_getCoeff, METH_O, "Coefficient of quadratic term i."},
    {"getVar1", qe_getVar1, METH_O, "First variable of quadratic term i."},
    {"getVar2", qe_getVar2, METH_O, "Second variable of quadratic term i."},
    {"getConstant", qe_getConstant, METH_NOARGS, "The constant term."},
    {"getValue", qe_getValue, METH_NOARGS,
     "Value under the current solution of the variables' model."},
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(qe_add)),
     METH_VARARGS | METH_KEYWORDS,
     "add(expr, mult=1.0): adds mult times a number, Var, LinExpr or QuadExpr in place."},
    {"addTerms", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(qe_addTerms)),
     METH_VARARGS | METH_KEYWORDS,
     "addTerms(coeffs, vars1, vars2): appends quadratic terms in place."},
    {"addConstant", qe_addConstant, METH_O, "Adds a number to the constant."},
    {"clear", qe_clear, METH_NOARGS, "Removes every term and the constant."},
    {"copy", qe_copy, METH_NOARGS, "An equal QuadExpr sharing no list and no linear part."},
    {"__copy__", qe_copy, METH_NOARGS, "Same as copy()."},
    {"__deepcopy__", qe_copy_deep, METH_O, "Same as copy(); variables are shared."},
    {"_mul", qe_mul, METH_O, "Multiplies the expression by a number in place."},
    {"_flatten", qe_flatten, METH_NOARGS, "Brings every term into the record's own lists."},
    {"_normalize", qe_normalize, METH_NOARGS,
     "Merges repeated products and variables (first occurrence order) and drops zero terms, in "
     "place."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

PyTypeObject *make_quadexpr_type() {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void *>(qe_tp_new)},
        {Py_tp_init, reinterpret_cast<void *>(qe_tp_init)},
        {Py_tp_dealloc, reinterpret_cast<void *>(qe_tp_dealloc)},
        {Py_tp_str, reinterpret_cast<void *>(qe_str)},
        {Py_tp_repr, reinterpret_cast<void *>(qe_repr)},
        {Py_tp_getset, qe_getset},
        {Py_tp_methods, qe_methods},
        {Py_tp_richcompare, reinterpret_cast<void *>(expr_richcompare)},
        {Py_nb_add, reinterpret_cast<void *>(expr_add)},
        {Py_nb_subtract, reinterpret_cast<void *>(expr_sub)},
        {Py_nb_multiply, reinterpret_cast<void *>(expr_mul)},
        {Py_nb_true_divide, reinterpret_cast<void *>(expr_truediv)},
        {Py_nb_power, reinterpret_cast<void *>(expr_pow)},
        {Py_nb_negative, reinterpret_cast<void *>(expr_neg)},
        {Py_nb_positive, reinterpret_cast<void *>(expr_pos)},
        {Py_nb_inplace_add, reinterpret_cast<void *>(quadexpr_iadd)},
        {Py_nb_inplace_subtract, reinterpret_cast<void *>(quadexpr_isub)},
        {Py_nb_inplace_multiply, reinterpret_cast<void *>(quadexpr_imul)},
        {Py_nb_inplace_true_divide, reinterpret_cast<void *>(quadexpr_itruediv)},
        {Py_tp_doc, const_cast<char *>(
                        "A quadratic expression: a linear part plus coefficients times products of "
                        "two variables.")},
        {0, nullptr},
    };
    PyType_Spec spec = {
        "zudirivi.QuadExpr",
        static_cast<int>(sizeof(QuadExprObject)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
        slots,
    };
    return reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&spec));
}

} // namespace zdcore
