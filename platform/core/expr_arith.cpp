// Arithmetic and comparisons of Var, LinExpr and QuadExpr.
//
// Operands: numbers (see core_isscalar), Var, LinExpr, QuadExpr, NLExpr.
// Anything else (arrays, matrix classes, sparse matrices) gets
// NotImplemented, so that its own reflected operator runs.
//  - a LinExpr where no quadratic term arises, a QuadExpr where one does or
//    where an operand is a QuadExpr, an NLExpr for what is neither (division
//    by an expression, powers other than 2, products of degree > 2, any
//    NLExpr operand);
//  - plain operators never change their operands and share no list or
//    linear part with them;
//  - in-place += -= of LinExpr and QuadExpr, and *= /= by a number, change
//    the left operand itself (like list +=); other in-place forms fall back
//    to the plain operator.
#include "expr_internal.hpp"

namespace zdcore {

namespace {

// NumPy's scalar base classes, looked up once NumPy has been imported.
struct NumpyScalars {
    PyObject *integer = nullptr, *floating = nullptr, *bool_ = nullptr, *timedelta = nullptr;

    bool ready() {
        if (integer)
            return true;
        static PyObject *name = PyUnicode_InternFromString("numpy");
        if (!name) {
            PyErr_Clear();
            return false;
        }
        PyObject *np = PyImport_GetModule(name);
        if (!np) {
            PyErr_Clear();
            return false;
        }
        py::object mod = steal(np);
        PyObject *i = PyObject_GetAttrString(np, "integer");
        PyObject *f = i ? PyObject_GetAttrString(np, "floating") : nullptr;
        PyObject *b = f ? PyObject_GetAttrString(np, "bool_") : nullptr;
        PyObject *t = b ? PyObject_GetAttrString(np, "timedelta64") : nullptr;
        if (!t || !PyType_Check(i) || !PyType_Check(f) || !PyType_Check(b) || !PyType_Check(t)) {
            // NumPy half imported: try again next time.
            Py_XDECREF(i);
            Py_XDECREF(f);
            Py_XDECREF(b);
            Py_XDECREF(t);
            PyErr_Clear();
            return false;
        }
        integer = i;
        floating = f;
        bool_ = b;
        timedelta = t;
        return true;
    }

    // NumPy integer (but not timedelta64), floating and bool scalars.
    bool check(PyObject *o) {
        if (!ready())
            return false;
        if (PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject *>(timedelta)))
            return false;
        return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject *>(integer)) ||
               PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject *>(floating)) ||
               PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject *>(bool_));
    }
};

NumpyScalars numpy_scalars;

// An int as a double; false for one beyond the range of doubles.
bool long_value(PyObject *o, double *num) {
    double d = PyLong_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    *num = d;
    return true;
}

} // namespace

Kind classify(PyObject *o, double *num) {
    PyTypeObject *t = Py_TYPE(o);
    if (t == &PyFloat_Type) {
        *num = PyFloat_AS_DOUBLE(o);
        return Kind::Number;
    }
    if (t == Var_Type)
        return Kind::Var;
    if (t == LinExpr_Type)
        return Kind::Lin;
    if (t == QuadExpr_Type)
        return Kind::Quad;
    if (t == NLExpr_Type)
        return Kind::NL;
    if (PyLong_Check(o))
        return long_value(o, num) ? Kind::Number : Kind::Other;
    if (PyFloat_Check(o)) {
        *num = PyFloat_AS_DOUBLE(o);
        return Kind::Number;
    }
    if (is_var(o))
        return Kind::Var;
    if (is_linexpr(o))
        return Kind::Lin;
    if (is_quadexpr(o))
        return Kind::Quad;
    if (is_nlexpr(o))
        return Kind::NL;
    if (numpy_scalars.check(o)) {
        *num = to_double(o);
        return Kind::Number;
    }
    return Kind::Other;
}

} // namespace zdcore

bool core_isscalar(PyObject *obj) {
    using namespace zdcore;
    double num;
    if (PyFloat_Check(obj))
        return true;
    if (PyLong_Check(obj))
        return long_value(obj, &num);
    return numpy_scalars.check(obj);
}

namespace zdcore {

namespace {

PyObject *not_implemented() {
    Py_RETURN_NOTIMPLEMENTED;
}

bool is_linear_kind(Kind k) {
    return k == Kind::Var || k == Kind::Lin;
}

// Scales an operand (Var, LinExpr, QuadExpr) by a number into a new object,
// a QuadExpr when x is one or want_quad is set.
py::object scaled(PyObject *x, Kind kx, double c, bool want_quad = false) {
    if (kx == Kind::Quad || want_quad) {
        py::object q = quadexpr_new();
        quadexpr_add_operand(q.ptr(), x, kx, 0.0, c);
        return q;
    }
    LinView view;
    lin_operand_view(x, kx, 0.0, view);
    const LinView *views[] = {&view};
    double mults[] = {c};
    return linexpr_from_views(views, mults, 1);
}

// The linear part of a Var/LinExpr operand, or of a QuadExpr without
// quadratic terms, as a view.
struct Factor {
    Kind kind;
    LinView lin;   // for Var and Lin
    QuadView quad; // for Quad
    const LinView &linear() const { return kind == Kind::Quad ? quad.lin : lin; }
    int degree() const {
        if (kind == Kind::Quad && quad.n)
            return 2;
        return linear().nterms ? 1 : 0;
    }
};

void make_factor(PyObject *o, Kind k, Factor &f) {
    f.kind = k;
    if (k == Kind::Quad)
        quadexpr_view(o, f.quad);
    else
        lin_operand_view(o, k, 0.0, f.lin);
}

// Term i of a run: coefficient and (borrowed) variable.
inline void seg_term(const Seg &s, Py_ssize_t i, double *c, PyObject **v) {
    if (s.coefs) {
        *c = list_double(s.coefs.ptr(), i);
        *v = list_item(s.vars.ptr(), i); // after the coefficient, which may run code
    } else {
        *c = 1.0;
        *v = s.vars.ptr();
    }
}

// (a_i x_i + ca) * (b_j y_j + cb) as a new QuadExpr.
py::object product(const LinView &a, const LinView &b) {
    Py_ssize_t n = a.nterms * b.nterms;
    py::object coeffs = new_list(n), vars1 = new_list(n), vars2 = new_list(n);
    Py_ssize_t k = 0;
    for (const Seg &sa : a.segs) {
        for (Py_ssize_t i = 0; i < sa.n; ++i) {
            for (const Seg &sb : b.segs) {
                for (Py_ssize_t j = 0; j < sb.n; ++j, ++k) {
                    double ca, cb;
                    PyObject *x, *y;
                    seg_term(sb, j, &cb, &y);
                    seg_term(sa, i, &ca, &x);
                    PyList_SET_ITEM(coeffs.ptr(), k, new_float(ca * cb).release().ptr());
                    Py_INCREF(x);
                    PyList_SET_ITEM(vars1.ptr(), k, x);
                    Py_INCREF(y);
                    PyList_SET_ITEM(vars2.ptr(), k, y);
                }
            }
        }
    }
    py::object lin = linexpr_new();
    // Cross terms with the constants; zero constants add no terms.
    if (b.constant != 0.0)
        linexpr_add_view(lin.ptr(), a, b.constant);
    if (a.constant != 0.0)
        linexpr_add_view(lin.ptr(), b, a.constant);
    le_ptr(lin.ptr())->constant = a.constant * b.constant;
    return quadexpr_make(std::move(lin), std::move(coeffs), std::move(vars1), std::move(vars2));
}

PyObject *add_or_sub(PyObject *a, PyObject *b, double sign) {
    return entry([&] {
        double na = 0.0, nb = 0.0;
        Kind ka = classify(a, &na), kb = classify(b, &nb);
        if (ka == Kind::Other || kb == Kind::Other || (ka == Kind::Number && kb == Kind::Number))
            return not_implemented();
        if (ka == Kind::NL || kb == Kind::NL)
            return nl_binary(sign > 0 ? OP_PLUS : OP_MINUS, a, ka, na, b, kb, nb).release().ptr();
        if (ka == Kind::Quad || kb == Kind::Quad) {
            py::object q = quadexpr_new();
            quadexpr_add_operand(q.ptr(), a, ka, na, 1.0);
            quadexpr_add_operand(q.ptr(), b, kb, nb, sign);
            return q.release().ptr();
        }
        LinView va, vb;
        lin_operand_view(a, ka, na, va);
        lin_operand_view(b, kb, nb, vb);
        const LinView *views[] = {&va, &vb};
        double mults[] = {1.0, sign};
        return linexpr_from_views(views, mults, 2).release().ptr();
    });
}

py::object multiply(PyObject *a, Kind ka, double na, PyObject *b, Kind kb, double nb) {
    if (ka == Kind::NL || kb == Kind::NL)
        return nl_binary(OP_MULTIPLY, a, ka, na, b, kb, nb);
    if (ka == Kind::Number)
        return scaled(b, kb, na);
    if (kb == Kind::Number)
        return scaled(a, ka, nb);
    Factor fa, fb;
    make_factor(a, ka, fa);
    make_factor(b, kb, fb);
    int da = fa.degree(), db = fb.degree();
    if (da == 0)
        return scaled(b, kb, fa.linear().constant, ka == Kind::Quad);
    if (db == 0)
        return scaled(a, ka, fb.linear().constant, kb == Kind::Quad);
    if (da + db > 2)
        return nl_binary(OP_MULTIPLY, a, ka, na, b, kb, nb);
    return product(fa.linear(), fb.linear());
}

} // namespace

PyObject *expr_add(PyObject *a, PyObject *b) {
    return add_or_sub(a, b, 1.0);
}
PyObject *expr_sub(PyObject *a, PyObject *b) {
    return add_or_sub(a, b, -1.0);
}

PyObject *expr_mul(PyObject *a, PyObject *b) {
    return entry([&] {
        double na = 0.0, nb = 0.0;
        Kind ka = classify(a, &na), kb = classify(b, &nb);
        if (ka == Kind::Other || kb == Kind::Other || (ka == Kind::Number && kb == Kind::Number))
            return not_implemented();
        return multiply(a, ka, na, b, kb, nb).release().ptr();
    });
}

PyObject *expr_truediv(PyObject *a, PyObject *b) {
    return entry([&] {
        double na = 0.0, nb = 0.0;
        Kind ka = classify(a, &na), kb = classify(b, &nb);
        if (ka == Kind::Other || kb == Kind::Other || (ka == Kind::Number && kb == Kind::Number))
            return not_implemented();
        if (kb == Kind::Number) {
            if (nb == 0.0)
                raise(PyExc_ZeroDivisionError, "float division by zero");
            if (ka == Kind::NL)
                return nl_binary(OP_DIVIDE, a, ka, na, b, kb, nb).release().ptr();
            return scaled(a, ka, 1.0 / nb).release().ptr();
        }
        return nl_binary(OP_DIVIDE, a, ka, na, b, kb, nb).release().ptr();
    });
}

PyObject *expr_pow(PyObject *a, PyObject *b, PyObject *mod) {
    return entry([&] {
        if (mod != Py_None)
            return not_implemented();
        double na = 0.0, nb = 0.0;
        Kind ka = classify(a, &na), kb = classify(b, &nb);
        if (ka == Kind::Other || kb == Kind::Other || (ka == Kind::Number && kb == Kind::Number))
            return not_implemented();
        if (kb == Kind::Number && nb == 2.0) {
            if (is_linear_kind(ka))
                return multiply(a, ka, na, a, ka, na).release().ptr();
            return nlexpr_new(node_unary(OP_SQUARE, node_from_operand(a, ka, na).ptr()).ptr())
                .release()
                .ptr();
        }
        return nl_binary(OP_POW, a, ka, na, b, kb, nb).release().ptr();
    });
}

PyObject *expr_neg(PyObject *a) {
    return entry([&] {
        double na = 0.0;
        Kind ka = classify(a, &na);
        if (ka == Kind::NL)
            return nlexpr_new(node_unary(OP_UMINUS, node_from_operand(a, ka, na).ptr()).ptr())
                .release()
                .ptr();
        if (ka != Kind::Var && ka != Kind::Lin && ka != Kind::Quad)
            raisef(PyExc_TypeError, "bad operand type for unary -: '%.200s'", Py_TYPE(a)->tp_name);
        return scaled(a, ka, -1.0).release().ptr();
    });
}

PyObject *expr_pos(PyObject *a) {
    return entry([&] {
        double na = 0.0;
        Kind ka = classify(a, &na);
        if (ka == Kind::NL)
            return nlexpr_new(node_from_operand(a, ka, na).ptr()).release().ptr();
        if (ka != Kind::Var && ka != Kind::Lin && ka != Kind::Quad)
            raisef(PyExc_TypeError, "bad operand type for unary +: '%.200s'", Py_TYPE(a)->tp_name);
        return scaled(a, ka, 1.0).release().ptr();
    });
}

// self <= other, self >= other, self == other: TempConstr(self, sense, other)
// for numbers and scalar expressions. A Var also equals any GenExpr (the
// y = f(x) form of a nonlinear constraint). Other operands and the other
// comparisons get NotImplemented.
PyObject *expr_richcompare(PyObject *a, PyObject *b, int op) {
    return entry([&] {
        PyObject *sense;
        switch (op) {
        case Py_LE:
            sense = names.sense_le;
            break;
        case Py_GE:
            sense = names.sense_ge;
            break;
        case Py_EQ:
            sense = names.sense_eq;
            break;
        default:
            return not_implemented();
        }
        double nb = 0.0;
        Kind kb = classify(b, &nb);
        if (kb == Kind::Other && !(op == Py_EQ && is_var(a) && is_genexpr(b)))
            return not_implemented();
        return tempconstr_new(a, sense, b).release().ptr();
    });
}

namespace {

// In-place add/sub of a LinExpr: numbers, Var and LinExpr join self.
PyObject *linexpr_iadd_sign(PyObject *a, PyObject *b, double sign) {
    return entry([&] {
        double nb = 0.0;
        Kind kb = classify(b, &nb);
        if (kb != Kind::Number && kb != Kind::Var && kb != Kind::Lin)
            return not_implemented();
        LinView view;
        lin_operand_view(b, kb, nb, view);
        linexpr_add_view(a, view, sign);
        Py_INCREF(a);
        return a;
    });
}

PyObject *quadexpr_iadd_sign(PyObject *a, PyObject *b, double sign) {
    return entry([&] {
        double nb = 0.0;
        Kind kb = classify(b, &nb);
        if (kb == Kind::NL || kb == Kind::Other)
            return not_implemented();
        quadexpr_add_operand(a, b, kb, nb, sign);
        Py_INCREF(a);
        return a;
    });
}

// *= and /= by a number, in place.
PyObject *imul_number(PyObject *a, PyObject *b, bool divide, bool quad) {
    return entry([&] {
        double nb = 0.0;
        if (classify(b, &nb) != Kind::Number)
            return not_implemented();
        if (divide) {
            if (nb == 0.0)
                raise(PyExc_ZeroDivisionError, "float division by zero");
            nb = 1.0 / nb;
        }
        if (quad)
            quadexpr_scale(a, nb);
        else
            linexpr_scale(a, nb);
        Py_INCREF(a);
        return a;
    });
}

} // namespace

PyObject *linexpr_iadd(PyObject *a, PyObject *b) {
    return linexpr_iadd_sign(a, b, 1.0);
}
PyObject *linexpr_isub(PyObject *a, PyObject *b) {
    return linexpr_iadd_sign(a, b, -1.0);
}
PyObject *linexpr_imul(PyObject *a, PyObject *b) {
    return imul_number(a, b, false, false);
}
PyObject *linexpr_itruediv(PyObject *a, PyObject *b) {
    return imul_number(a, b, true, false);
}
PyObject *quadexpr_iadd(PyObject *a, PyObject *b) {
    return quadexpr_iadd_sign(a, b, 1.0);
}
PyObject *quadexpr_isub(PyObject *a, PyObject *b) {
    return quadexpr_iadd_sign(a, b, -1.0);
}
PyObject *quadexpr_imul(PyObject *a, PyObject *b) {
    return imul_number(a, b, false, true);
}
PyObject *quadexpr_itruediv(PyObject *a, PyObject *b) {
    return imul_number(a, b, true, true);
}

} // namespace zdcore

PyObject *core_var_add(PyObject *a, PyObject *b) {
    return zdcore::expr_add(a, b);
}
PyObject *core_var_sub(PyObject *a, PyObject *b) {
    return zdcore::expr_sub(a, b);
}
PyObject *core_var_mul(PyObject *a, PyObject *b) {
    return zdcore::expr_mul(a, b);
}
PyObject *core_var_truediv(PyObject *a, PyObject *b) {
    return zdcore::expr_truediv(a, b);
}
PyObject *core_var_pow(PyObject *a, PyObject *b, PyObject *mod) {
    return zdcore::expr_pow(a, b, mod);
}
PyObject *core_var_neg(PyObject *a) {
    return zdcore::expr_neg(a);
}
PyObject *core_var_pos(PyObject *a) {
    return zdcore::expr_pos(a);
}
PyObject *core_var_richcompare(PyObject *a, PyObject *b, int op) {
    return zdcore::expr_richcompare(a, b, op);
}
