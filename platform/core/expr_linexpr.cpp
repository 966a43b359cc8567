// LinExpr: constant + sum(coef_list[i] * var_list[i]), plus the terms of the
// optional continuation cont_ref.
//
// cont_ref is None or another LinExpr whose constant and terms belong to this
// expression too. Our own arithmetic never makes one; it is read wherever the
// whole expression is meant (size, getCoeff, getValue, copy, operators) and
// never changed from here, since several cells may share it. _flatten()
// copies the chain's terms into the record's own lists and resets it to None.
#include "expr_internal.hpp"

#include <cstring>
#include <unordered_map>
#include <unordered_set>

namespace zdcore {

namespace {

// Chains longer than this are checked for cycles with a hash set.
constexpr size_t kChainScan = 16;

PyObject *float_one() {
    static PyObject *one = PyFloat_FromDouble(1.0); // kept for the process
    return one;
}

} // namespace

PyObject *list_item(PyObject *list, Py_ssize_t i) {
    if (i >= PyList_GET_SIZE(list))
        raise(PyExc_RuntimeError, "expression changed during the operation");
    return PyList_GET_ITEM(list, i);
}

double list_double(PyObject *list, Py_ssize_t i) {
    PyObject *c = list_item(list, i);
    if (PyFloat_CheckExact(c))
        return PyFloat_AS_DOUBLE(c);
    py::object hold = borrow(c); // __float__ may drop it from the list
    return to_double(c);
}

void extend_list(PyObject *dst, PyObject *src, Py_ssize_t n) {
    if (n == 0)
        return;
    py::object part;
    if (src == dst || PyList_GET_SIZE(src) != n) {
        part = steal(PyList_GetSlice(src, 0, n));
        src = part.ptr();
    }
    Py_ssize_t len = PyList_GET_SIZE(dst);
    check(PyList_SetSlice(dst, len, len, src));
}

py::object scaled_coefs(const Seg &seg, double mult) {
    py::object out = new_list(seg.n);
    if (!seg.coefs) {
        PyList_SET_ITEM(out.ptr(), 0, new_float(mult).release().ptr());
        return out;
    }
    for (Py_ssize_t i = 0; i < seg.n; ++i) {
        double d = list_double(seg.coefs.ptr(), i);
        PyList_SET_ITEM(out.ptr(), i, new_float(mult * d).release().ptr());
    }
    return out;
}

namespace {

void set_field(PyObject **field, PyObject *value) {
    PyObject *old = *field;
    Py_INCREF(value);
    *field = value;
    Py_XDECREF(old);
}

void chain_check_target(PyObject *next) {
    if (!is_linexpr(next))
        raisef(PyExc_TypeError, "LinExpr.cont_ref must be a LinExpr or None, not %.200s",
               Py_TYPE(next)->tp_name);
}

} // namespace

// ---------------------------------------------------------------------------
// Views
// ---------------------------------------------------------------------------

void LinView::add_lists(PyObject *coefs, PyObject *vars) {
    Py_ssize_t nc = 0, nv = 0;
    if (coefs && coefs != Py_None) {
        if (!PyList_Check(coefs))
            raisef(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(coefs)->tp_name);
        nc = PyList_GET_SIZE(coefs);
    }
    if (vars && vars != Py_None) {
        if (!PyList_Check(vars))
            raisef(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(vars)->tp_name);
        nv = PyList_GET_SIZE(vars);
    }
    if (nc != nv)
        raisef(PyExc_ValueError, "LinExpr has %zd coefficients but %zd variables", nc, nv);
    if (nc == 0)
        return;
    Seg s;
    s.coefs = borrow(coefs);
    s.vars = borrow(vars);
    s.n = nc;
    segs.push_back(std::move(s));
    nterms += nc;
}

void LinView::add_var(PyObject *var) {
    Seg s;
    s.vars = borrow(var);
    s.n = 1;
    segs.push_back(std::move(s));
    nterms += 1;
}

void linexpr_view(PyObject *le, LinView &view) {
    LinExprObject *r = le_ptr(le);
    view.constant += r->constant;
    view.add_lists(r->coef_list, r->var_list);
    PyObject *next = r->cont_ref;
    if (!next || next == Py_None)
        return;
    std::vector<PyObject *> seen{le};
    std::unordered_set<PyObject *> seen_set;
    while (next && next != Py_None) {
        chain_check_target(next);
        bool cycle = false;
        if (seen.size() < kChainScan) {
            for (PyObject *p : seen)
                cycle |= (p == next);
            seen.push_back(next);
            if (seen.size() == kChainScan)
                seen_set.insert(seen.begin(), seen.end());
        } else {
            cycle = !seen_set.insert(next).second;
        }
        if (cycle)
            raise(PyExc_ValueError, "LinExpr.cont_ref chain forms a cycle");
        LinExprObject *c = le_ptr(next);
        view.constant += c->constant;
        view.add_lists(c->coef_list, c->var_list);
        next = c->cont_ref;
    }
}

void lin_operand_view(PyObject *o, Kind kind, double num, LinView &view) {
    switch (kind) {
    case Kind::Number:
        view.constant += num;
        break;
    case Kind::Var:
        view.add_var(o);
        break;
    case Kind::Lin:
        linexpr_view(o, view);
        break;
    default:
        raise(PyExc_SystemError, "not a linear operand");
    }
}

void view_term(const LinView &view, Py_ssize_t i, PyObject **coef, PyObject **var) {
    for (const Seg &s : view.segs) {
        if (i < s.n) {
            if (!s.coefs) {
                *coef = nullptr;
                *var = s.vars.ptr();
            } else {
                *coef = list_item(s.coefs.ptr(), i);
                *var = list_item(s.vars.ptr(), i);
            }
            return;
        }
        i -= s.n;
    }
    raise(PyExc_IndexError, "index out of range");
}

// ---------------------------------------------------------------------------
// Construction and in-place updates
// ---------------------------------------------------------------------------

namespace {

py::object linexpr_make(double constant, py::object coefs, py::object vars) {
    PyObject *o = LinExpr_Type->tp_alloc(LinExpr_Type, 0);
    if (!o)
        throw_py();
    LinExprObject *r = le_ptr(o);
    r->constant = constant;
    r->coef_list = coefs.release().ptr();
    r->var_list = vars.release().ptr();
    Py_INCREF(Py_None);
    r->cont_ref = Py_None;
    return steal(o);
}

} // namespace

py::object linexpr_new() {
    return linexpr_make(0.0, new_list(0), new_list(0));
}

py::object linexpr_from_views(const LinView *const *views, const double *mults, int count) {
    Py_ssize_t total = 0;
    double constant = 0.0;
    for (int k = 0; k < count; ++k) {
        total += views[k]->nterms;
        constant += mults[k] * views[k]->constant;
    }
    py::object coefs = new_list(total);
    py::object vars = new_list(total);
    // Unfilled slots stay NULL; the lists are only handed out once full.
    Py_ssize_t pos = 0;
    for (int k = 0; k < count; ++k) {
        double mult = mults[k];
        for (const Seg &s : views[k]->segs) {
            for (Py_ssize_t i = 0; i < s.n; ++i, ++pos) {
                PyObject *c, *v;
                if (!s.coefs) {
                    v = s.vars.ptr();
                    c = mult == 1.0 ? (Py_INCREF(float_one()), float_one())
                                    : new_float(mult).release().ptr();
                } else {
                    if (mult == 1.0) {
                        c = list_item(s.coefs.ptr(), i);
                        Py_INCREF(c);
                    } else {
                        c = new_float(mult * list_double(s.coefs.ptr(), i)).release().ptr();
                    }
                    v = list_item(s.vars.ptr(), i);
                }
                Py_INCREF(v);
                PyList_SET_ITEM(coefs.ptr(), pos, c);
                PyList_SET_ITEM(vars.ptr(), pos, v);
            }
        }
    }
    return linexpr_make(constant, std::move(coefs), std::move(vars));
}

void linexpr_own_lists(PyObject *le) {
    LinExprObject *r = le_ptr(le);
    if (!r->coef_list || r->coef_list == Py_None) {
        PyObject *l = new_list(0).release().ptr();
        Py_XSETREF(r->coef_list, l);
    }
    if (!r->var_list || r->var_list == Py_None) {
        PyObject *l = new_list(0).release().ptr();
        Py_XSETREF(r->var_list, l);
    }
    if (!PyList_Check(r->coef_list))
        raisef(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(r->coef_list)->tp_name);
    if (!PyList_Check(r->var_list))
        raisef(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(r->var_list)->tp_name);
    if (PyList_GET_SIZE(r->coef_list) != PyList_GET_SIZE(r->var_list))
        raisef(PyExc_ValueError, "LinExpr has %zd coefficients but %zd variables",
               PyList_GET_SIZE(r->coef_list), PyList_GET_SIZE(r->var_list));
}

void linexpr_add_view(PyObject *le, const LinView &view, double mult) {
    linexpr_own_lists(le);
    LinExprObject *r = le_ptr(le);
    py::object dc = borrow(r->coef_list), dv = borrow(r->var_list);
    bool plain = mult == 1.0;
    for (const Seg &s : view.segs)
        plain = plain && s.coefs;
    if (plain) {
        // Shares the coefficient objects; no Python code runs.
        for (const Seg &s : view.segs) {
            extend_list(dc.ptr(), s.coefs.ptr(), s.n);
            extend_list(dv.ptr(), s.vars.ptr(), s.n);
        }
    } else {
        // New coefficients first, so a failed conversion leaves the target's
        // lists as they were.
        py::object coefs = new_list(view.nterms);
        Py_ssize_t k = 0;
        for (const Seg &s : view.segs) {
            for (Py_ssize_t i = 0; i < s.n; ++i, ++k) {
                double c = s.coefs ? list_double(s.coefs.ptr(), i) : 1.0;
                PyList_SET_ITEM(coefs.ptr(), k, new_float(mult * c).release().ptr());
            }
        }
        extend_list(dc.ptr(), coefs.ptr(), view.nterms);
        for (const Seg &s : view.segs) {
            if (s.coefs)
                extend_list(dv.ptr(), s.vars.ptr(), s.n);
            else
                check(PyList_Append(dv.ptr(), s.vars.ptr()));
        }
    }
    r->constant += mult * view.constant;
}

void linexpr_flatten(PyObject *le) {
    LinExprObject *r = le_ptr(le);
    if (!r->cont_ref || r->cont_ref == Py_None)
        return;
    LinView chain; // refuses a cyclic chain
    linexpr_view(r->cont_ref, chain);
    linexpr_add_view(le, chain, 1.0);
    Py_INCREF(Py_None);
    Py_XSETREF(r->cont_ref, Py_None);
}

// ---------------------------------------------------------------------------
// Text
// ---------------------------------------------------------------------------

std::string format_double(double d) {
    char *s = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!s)
        throw_py();
    std::string out(s);
    PyMem_Free(s);
    return out;
}

namespace {

// Appends " + c label" (or the first term's form) to out.
void append_term(std::string &out, bool first, double c, const std::string &label) {
    bool neg = c < 0;
    double mag = neg ? -c : c;
    if (first)
        out += neg ? "-" : "";
    else
        out += neg ? " - " : " + ";
    if (label.empty()) {
        out += format_double(mag);
        return;
    }
    if (mag != 1.0) {
        out += format_double(mag);
        out += ' ';
    }
    out += label;
}

} // namespace

std::string linexpr_text(const LinView &view, bool with_constant) {
    std::string out;
    bool first = true;
    for (const Seg &s : view.segs) {
        for (Py_ssize_t i = 0; i < s.n; ++i) {
            double c = 1.0;
            PyObject *v;
            if (s.coefs) {
                c = list_double(s.coefs.ptr(), i);
                v = list_item(s.vars.ptr(), i);
            } else {
                v = s.vars.ptr();
            }
            Py_INCREF(v);
            py::object vh = steal(v);
            append_term(out, first, c, var_label(v));
            first = false;
        }
    }
    if (with_constant && (view.constant != 0.0 || first))
        append_term(out, first, view.constant, "");
    return out;
}

std::string quadexpr_text(const QuadView &view) {
    std::string out = view.lin.nterms ? linexpr_text(view.lin, false) : std::string();
    bool first = out.empty();
    for (Py_ssize_t i = 0; i < view.n; ++i) {
        double c = list_double(view.coeffs.ptr(), i);
        PyObject *x = list_item(view.vars1.ptr(), i);
        PyObject *y = list_item(view.vars2.ptr(), i);
        py::object hx = borrow(x), hy = borrow(y);
        std::string label = var_label(x);
        if (x == y)
            label += " ** 2";
        else {
            label += " * ";
            label += var_label(y);
        }
        append_term(out, first, c, label);
        first = false;
    }
    if (view.lin.constant != 0.0 || first)
        append_term(out, first, view.lin.constant, "");
    return out;
}

// ---------------------------------------------------------------------------
// Terms from user input: addTerms and the two-argument constructor
// ---------------------------------------------------------------------------

namespace {

// A sequence of objects, read from a list/tuple or a one-dimensional buffer
// of object pointers (an object ndarray), or through iteration.
struct ObjectSeq {
    py::object fast; // list or tuple when read that way
    Py_buffer buf{};
    bool has_buf = false;
    Py_ssize_t n = 0;

    explicit ObjectSeq(PyObject *o) {
        if (!PyList_Check(o) && !PyTuple_Check(o) && PyObject_CheckBuffer(o)) {
            if (PyObject_GetBuffer(o, &buf, PyBUF_RECORDS_RO) == 0) {
                if (buf.ndim == 1 && buf.format && std::strcmp(buf.format, "O") == 0) {
                    has_buf = true;
                    n = buf.shape[0];
                    return;
                }
                PyBuffer_Release(&buf);
            } else {
                PyErr_Clear();
            }
        }
        fast = steal(PySequence_Fast(o, "vars must be a sequence of Var objects"));
        n = PySequence_Fast_GET_SIZE(fast.ptr());
    }
    ~ObjectSeq() {
        if (has_buf)
            PyBuffer_Release(&buf);
    }
    ObjectSeq(const ObjectSeq &) = delete;
    ObjectSeq &operator=(const ObjectSeq &) = delete;

    // Borrowed item i (the sequence is not changed while we read it: the
    // loop below runs no Python code).
    PyObject *item(Py_ssize_t i) const {
        if (has_buf) {
            PyObject *p = *reinterpret_cast<PyObject *const *>(static_cast<const char *>(buf.buf) +
                                                               i * buf.strides[0]);
            if (!p)
                raise(PyExc_TypeError, "vars holds an empty cell");
            return p;
        }
        return PySequence_Fast_GET_ITEM(fast.ptr(), i);
    }
};

template <class T>
void read_numbers(const Py_buffer &b, PyObject *out) {
    const char *p = static_cast<const char *>(b.buf);
    for (Py_ssize_t i = 0; i < b.shape[0]; ++i) {
        T v;
        std::memcpy(&v, p + i * b.strides[0], sizeof(T));
        PyList_SET_ITEM(out, i, new_float(static_cast<double>(v)).release().ptr());
    }
}

// Reads a one-dimensional numeric buffer in native layout into a new list of
// floats; returns false (nothing set) for any other buffer.
bool numbers_from_buffer(PyObject *o, py::object &out) {
    if (PyList_Check(o) || PyTuple_Check(o) || !PyObject_CheckBuffer(o))
        return false;
    Py_buffer b;
    if (PyObject_GetBuffer(o, &b, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return false;
    }
    struct Release {
        Py_buffer *b;
        ~Release() { PyBuffer_Release(b); }
    } release{&b};
    if (b.ndim != 1 || !b.format)
        return false;
    const char *f = b.format;
    if (*f == '@' || *f == '=' || (*f == '<' && PY_LITTLE_ENDIAN))
        ++f;
    if (f[0] == '\0' || f[1] != '\0')
        return false;
    py::object list = new_list(b.shape[0]);
    switch (f[0]) {
    case 'd':
        read_numbers<double>(b, list.ptr());
        break;
    case 'f':
        read_numbers<float>(b, list.ptr());
        break;
    case 'b':
        read_numbers<signed char>(b, list.ptr());
        break;
    case 'B':
        read_numbers<unsigned char>(b, list.ptr());
        break;
    case '?':
        read_numbers<bool>(b, list.ptr());
        break;
    case 'h':
        read_numbers<short>(b, list.ptr());
        break;
    case 'H':
        read_numbers<unsigned short>(b, list.ptr());
        break;
    case 'i':
        read_numbers<int>(b, list.ptr());
        break;
    case 'I':
        read_numbers<unsigned int>(b, list.ptr());
        break;
    case 'l':
        read_numbers<long>(b, list.ptr());
        break;
    case 'L':
        read_numbers<unsigned long>(b, list.ptr());
        break;
    case 'q':
        read_numbers<long long>(b, list.ptr());
        break;
    case 'Q':
        read_numbers<unsigned long long>(b, list.ptr());
        break;
    default:
        return false; // the list's empty slots are fine to drop
    }
    out = std::move(list);
    return true;
}

// A new list of floats from any sequence of numbers.
py::object coefs_from_sequence(PyObject *coeffs) {
    py::object out;
    if (numbers_from_buffer(coeffs, out))
        return out;
    py::object fast = steal(PySequence_Fast(coeffs, "coeffs must be a sequence of numbers"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.ptr());
    out = new_list(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        // fast is a list only when coeffs is one; a __float__ may change it.
        if (i >= PySequence_Fast_GET_SIZE(fast.ptr()))
            raise(PyExc_RuntimeError, "coeffs changed during the operation");
        PyObject *c = PySequence_Fast_GET_ITEM(fast.ptr(), i);
        if (PyFloat_CheckExact(c)) {
            Py_INCREF(c);
            PyList_SET_ITEM(out.ptr(), i, c);
            continue;
        }
        Py_INCREF(c);
        py::object hold = steal(c);
        if (!PyNumber_Check(c) || PyComplex_Check(c))
            raisef(PyExc_TypeError, "coefficient must be a real number, not %.200s",
                   Py_TYPE(c)->tp_name);
        PyList_SET_ITEM(out.ptr(), i, new_float(to_double(c)).release().ptr());
    }
    return out;
}

py::object vars_from_sequence(PyObject *vars) {
    ObjectSeq seq(vars);
    py::object out = new_list(seq.n);
    for (Py_ssize_t i = 0; i < seq.n; ++i) {
        PyObject *v = seq.item(i);
        if (!is_var(v))
            raisef(PyExc_TypeError, "expected a Var in vars, got %.200s", Py_TYPE(v)->tp_name);
        Py_INCREF(v);
        PyList_SET_ITEM(out.ptr(), i, v);
    }
    return out;
}

} // namespace

double number_arg(PyObject *o, const char *what) {
    double num;
    Kind k = classify(o, &num);
    if (k == Kind::Number)
        return num;
    if (PyComplex_Check(o) || PyUnicode_Check(o) || PyBytes_Check(o) || !PyNumber_Check(o))
        raisef(PyExc_TypeError, "%s must be a real number, not %.200s", what, Py_TYPE(o)->tp_name);
    return to_double(o); // 0-d arrays and other float-convertible objects
}

void terms_from_args(PyObject *coeffs, PyObject *vars, py::object &out_coefs,
                     py::object &out_vars) {
    if (is_var(vars)) {
        double c = number_arg(coeffs, "coefficient");
        out_coefs = new_list(1);
        PyList_SET_ITEM(out_coefs.ptr(), 0, new_float(c).release().ptr());
        out_vars = new_list(1);
        Py_INCREF(vars);
        PyList_SET_ITEM(out_vars.ptr(), 0, vars);
        return;
    }
    double ignored;
    if (classify(coeffs, &ignored) == Kind::Number)
        raisef(PyExc_TypeError, "with one coefficient, the variable must be a Var, not %.200s",
               Py_TYPE(vars)->tp_name);
    py::object v = vars_from_sequence(vars);
    py::object c = coefs_from_sequence(coeffs);
    if (PyList_GET_SIZE(c.ptr()) != PyList_GET_SIZE(v.ptr()))
        raisef(PyExc_ValueError, "coeffs and vars differ in length (%zd and %zd)",
               PyList_GET_SIZE(c.ptr()), PyList_GET_SIZE(v.ptr()));
    out_coefs = std::move(c);
    out_vars = std::move(v);
}

double parse_mult(PyObject *o) {
    return o ? number_arg(o, "mult") : 1.0;
}

// ---------------------------------------------------------------------------
// The type
// ---------------------------------------------------------------------------

namespace {

PyObject *le_tp_new(PyTypeObject *type, PyObject *, PyObject *) {
    return entry([&] {
        PyObject *o = type->tp_alloc(type, 0);
        if (!o)
            throw_py();
        py::object self = steal(o);
        LinExprObject *r = le_ptr(o);
        r->constant = 0.0;
        r->coef_list = new_list(0).release().ptr();
        r->var_list = new_list(0).release().ptr();
        Py_INCREF(Py_None);
        r->cont_ref = Py_None;
        return self.release().ptr();
    });
}

// Replaces the whole content of self.
void le_assign(PyObject *self, double constant, py::object coefs, py::object vars) {
    LinExprObject *r = le_ptr(self);
    r->constant = constant;
    Py_XSETREF(r->coef_list, coefs.release().ptr());
    Py_XSETREF(r->var_list, vars.release().ptr());
    Py_INCREF(Py_None);
    Py_XSETREF(r->cont_ref, Py_None);
}

int le_tp_init(PyObject *self, PyObject *args, PyObject *kwds) {
    return entry_int([&] {
        static const char *kwlist[] = {"arg1", "arg2", nullptr};
        PyObject *a = nullptr, *b = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OO:LinExpr", const_cast<char **>(kwlist), &a,
                                         &b))
            throw_py();
        if (!a && !b) {
            if (!linexpr_is_pristine(self)) // as tp_new left it, unless __init__ runs again
                le_assign(self, 0.0, new_list(0), new_list(0));
            return 0;
        }
        if (!a)
            raise(PyExc_TypeError, "LinExpr() needs arg1 when arg2 is given");
        if (b) {
            py::object c, v;
            terms_from_args(a, b, c, v);
            le_assign(self, 0.0, std::move(c), std::move(v));
            return 0;
        }
        double num;
        Kind k = classify(a, &num);
        if (k == Kind::Number) {
            le_assign(self, num, new_list(0), new_list(0));
        } else if (k == Kind::Var || k == Kind::Lin) {
            LinView view;
            lin_operand_view(a, k, num, view);
            const LinView *views[] = {&view};
            double mults[] = {1.0};
            py::object tmp = linexpr_from_views(views, mults, 1);
            LinExprObject *t = le_ptr(tmp.ptr());
            le_assign(self, t->constant, borrow(t->coef_list), borrow(t->var_list));
        } else {
            raisef(PyExc_TypeError, "Cannot construct LinExpr from %.200s", Py_TYPE(a)->tp_name);
        }
        return 0;
    });
}

void le_tp_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    LinExprObject *r = le_ptr(self);
    Py_CLEAR(r->coef_list);
    Py_CLEAR(r->var_list);
    Py_CLEAR(r->cont_ref);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *le_str(PyObject *self) {
    return entry([&] {
        LinView view;
        linexpr_view(self, view);
        std::string s = linexpr_text(view, true);
        return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    });
}

PyObject *le_repr(PyObject *self) {
    return entry([&] {
        LinView view;
        linexpr_view(self, view);
        std::string s = "<zudirivi.LinExpr: ";
        s += linexpr_text(view, true);
        s += '>';
        return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    });
}

// --- fields ---

PyObject *get_constant(PyObject *self, void *) {
    return PyFloat_FromDouble(le_ptr(self)->constant);
}

int set_constant(PyObject *self, PyObject *value, void *) {
    return entry_int([&] {
        if (!value)
            raise(PyExc_TypeError, "cannot delete the constant");
        le_ptr(self)->constant = number_arg(value, "constant");
        return 0;
    });
}

PyObject **list_field(PyObject *self, void *closure) {
    LinExprObject *r = le_ptr(self);
    return closure ? &r->var_list : &r->coef_list;
}

PyObject *get_list_field(PyObject *self, void *closure) {
    PyObject *v = *list_field(self, closure);
    if (!v)
        v = Py_None;
    Py_INCREF(v);
    return v;
}

int set_list_field(PyObject *self, PyObject *value, void *closure) {
    if (!value)
        value = Py_None;
    if (value != Py_None && !PyList_Check(value)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(value)->tp_name);
        return -1;
    }
    set_field(list_field(self, closure), value);
    return 0;
}

PyObject *get_cont_ref(PyObject *self, void *) {
    PyObject *v = le_ptr(self)->cont_ref;
    if (!v)
        v = Py_None;
    Py_INCREF(v);
    return v;
}

int set_cont_ref(PyObject *self, PyObject *value, void *) {
    return entry_int([&] {
        if (!value)
            value = Py_None;
        if (value != Py_None) {
            if (!is_linexpr(value))
                raisef(PyExc_TypeError, "Expected %s, got %.200s", "LinExpr",
                       Py_TYPE(value)->tp_name);
            // Refuse a chain that would lead back here.
            for (PyObject *p = value; p && p != Py_None; p = le_ptr(p)->cont_ref) {
                if (p == self)
                    raise(PyExc_ValueError, "LinExpr.cont_ref would form a cycle");
                if (!is_linexpr(p))
                    break;
            }
            LinView check_view;
            linexpr_view(value, check_view);
        }
        set_field(&le_ptr(self)->cont_ref, value);
        return 0;
    });
}

PyGetSetDef le_getset[] = {
    {"constant", get_constant, set_constant, "The constant term (a float).", nullptr},
    {"coef_list", get_list_field, set_list_field,
     "The coefficients of the own terms (a list or None).", nullptr},
    {"var_list", get_list_field, set_list_field, "The variables of the own terms (a list or None).",
     reinterpret_cast<void *>(1)},
    {"cont_ref", get_cont_ref, set_cont_ref,
     "A LinExpr whose terms belong to this one too, or None.", nullptr},
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

PyObject *le_size(PyObject *self, PyObject *) {
    return entry([&] {
        LinView view;
        linexpr_view(self, view);
        return PyLong_FromSsize_t(view.nterms);
    });
}

PyObject *le_getCoeff(PyObject *self, PyObject *arg) {
    return entry([&] {
        LinView view;
        linexpr_view(self, view);
        Py_ssize_t i = index_arg(arg, view.nterms);
        PyObject *c, *v;
        view_term(view, i, &c, &v);
        if (!c)
            return PyFloat_FromDouble(1.0);
        py::object hold = borrow(c);
        return PyFloat_FromDouble(to_double(c));
    });
}

PyObject *le_getVar(PyObject *self, PyObject *arg) {
    return entry([&] {
        LinView view;
        linexpr_view(self, view);
        Py_ssize_t i = index_arg(arg, view.nterms);
        PyObject *c, *v;
        view_term(view, i, &c, &v);
        Py_INCREF(v);
        return v;
    });
}

PyObject *le_getConstant(PyObject *self, PyObject *) {
    return entry([&] {
        LinView view;
        linexpr_view(self, view);
        return PyFloat_FromDouble(view.constant);
    });
}

PyObject *le_getValue(PyObject *self, PyObject *) {
    return entry([&] {
        LinView view;
        linexpr_view(self, view);
        std::vector<double> coefs;
        coefs.reserve(view.nterms);
        for (const Seg &s : view.segs)
            for (Py_ssize_t i = 0; i < s.n; ++i)
                coefs.push_back(s.coefs ? list_double(s.coefs.ptr(), i) : 1.0);
        // Our own list of the variables: reading "X" may run any code.
        py::object vars = new_list(view.nterms);
        Py_ssize_t k = 0;
        for (const Seg &s : view.segs) {
            for (Py_ssize_t i = 0; i < s.n; ++i, ++k) {
                PyObject *v = s.coefs ? list_item(s.vars.ptr(), i) : s.vars.ptr();
                Py_INCREF(v);
                PyList_SET_ITEM(vars.ptr(), k, v);
            }
        }
        std::vector<double> x(coefs.size());
        var_values(PySequence_Fast_ITEMS(vars.ptr()), view.nterms, x.data());
        double sum = view.constant;
        for (size_t i = 0; i < x.size(); ++i)
            sum += coefs[i] * x[i];
        return PyFloat_FromDouble(sum);
    });
}

PyObject *le_add(PyObject *self, PyObject *args, PyObject *kwds) {
    return entry([&] {
        static const char *kwlist[] = {"expr", "mult", nullptr};
        PyObject *expr = nullptr, *multo = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:add", const_cast<char **>(kwlist), &expr,
                                         &multo))
            throw_py();
        double mult = parse_mult(multo);
        double num;
        Kind k = classify(expr, &num);
        if (k != Kind::Number && k != Kind::Var && k != Kind::Lin)
            raisef(PyExc_TypeError, "LinExpr.add() takes a number, Var or LinExpr, not %.200s",
                   Py_TYPE(expr)->tp_name);
        LinView view;
        lin_operand_view(expr, k, num, view);
        linexpr_add_view(self, view, mult);
        Py_RETURN_NONE;
    });
}

PyObject *le_addTerms(PyObject *self, PyObject *args, PyObject *kwds) {
    return entry([&] {
        static const char *kwlist[] = {"coeffs", "vars", nullptr};
        PyObject *coeffs, *vars;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:addTerms", const_cast<char **>(kwlist),
                                         &coeffs, &vars))
            throw_py();
        py::object c, v;
        terms_from_args(coeffs, vars, c, v);
        linexpr_own_lists(self);
        LinExprObject *r = le_ptr(self);
        Py_ssize_t n = PyList_GET_SIZE(c.ptr());
        extend_list(r->coef_list, c.ptr(), n);
        extend_list(r->var_list, v.ptr(), n);
        Py_RETURN_NONE;
    });
}

PyObject *le_addConstant(PyObject *self, PyObject *arg) {
    return entry([&] {
        le_ptr(self)->constant += number_arg(arg, "constant");
        Py_RETURN_NONE;
    });
}

PyObject *le_clear(PyObject *self, PyObject *) {
    return entry([&] {
        linexpr_clear(self);
        Py_RETURN_NONE;
    });
}

PyObject *le_copy(PyObject *self, PyObject *) {
    return entry([&] {
        LinView view;
        linexpr_view(self, view);
        const LinView *views[] = {&view};
        double mults[] = {1.0};
        return linexpr_from_views(views, mults, 1).release().ptr();
    });
}

// copy.copy and copy.deepcopy: the same as copy(); variables are shared,
// never copied.
PyObject *le_copy_deep(PyObject *self, PyObject *) {
    return le_copy(self, nullptr);
}

PyObject *le_mul(PyObject *self, PyObject *arg) {
    return entry([&] {
        linexpr_scale(self, number_arg(arg, "multiplier"));
        Py_RETURN_NONE;
    });
}

PyObject *le_flatten(PyObject *self, PyObject *) {
    return entry([&] {
        linexpr_flatten(self);
        Py_RETURN_NONE;
    });
}

} // namespace

bool linexpr_is_pristine(PyObject *le) {
    LinExprObject *r = le_ptr(le);
    auto empty = [](PyObject *l) { return l && PyList_CheckExact(l) && PyList_GET_SIZE(l) == 0; };
    return r->constant == 0.0 && r->cont_ref == Py_None && empty(r->coef_list) &&
           empty(r->var_list);
}

void linexpr_clear(PyObject *le) {
    le_assign(le, 0.0, new_list(0), new_list(0));
}

void linexpr_scale(PyObject *le, double c) {
    linexpr_flatten(le);
    linexpr_own_lists(le);
    LinExprObject *r = le_ptr(le);
    py::object coefs = borrow(r->coef_list);
    Py_ssize_t n = PyList_GET_SIZE(coefs.ptr());
    // New coefficients first, so a failure leaves the expression unchanged.
    Seg s;
    s.coefs = coefs;
    s.vars = borrow(r->var_list);
    s.n = n;
    py::object scaled = scaled_coefs(s, c);
    if (PyList_GET_SIZE(coefs.ptr()) != n)
        raise(PyExc_RuntimeError, "expression changed during the operation");
    if (n)
        check(PyList_SetSlice(coefs.ptr(), 0, n, scaled.ptr()));
    r->constant *= c;
}

// Merges the terms of one variable (first occurrence keeps its place) and
// drops terms whose coefficient is zero. Used by LinExpr._normalize and for
// the linear part of QuadExpr._normalize.
void linexpr_normalize(PyObject *le) {
    linexpr_flatten(le);
    linexpr_own_lists(le);
    LinExprObject *r = le_ptr(le);
    py::object coefs = borrow(r->coef_list), vars = borrow(r->var_list);
    Py_ssize_t n = PyList_GET_SIZE(coefs.ptr());
    std::vector<double> c;
    std::vector<PyObject *> v; // borrowed from `vars`, which we hold
    c.reserve(n);
    v.reserve(n);
    std::unordered_map<PyObject *, size_t> where;
    where.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        double d = list_double(coefs.ptr(), i);
        PyObject *var = list_item(vars.ptr(), i);
        auto [it, fresh] = where.try_emplace(var, c.size());
        if (fresh) {
            c.push_back(d);
            v.push_back(var);
        } else {
            c[it->second] += d;
        }
    }
    if (PyList_GET_SIZE(vars.ptr()) != n)
        raise(PyExc_RuntimeError, "expression changed during the operation");
    Py_ssize_t kept = 0;
    for (double d : c)
        kept += d != 0.0;
    py::object nc = new_list(kept), nv = new_list(kept);
    Py_ssize_t k = 0;
    for (size_t i = 0; i < c.size(); ++i) {
        if (c[i] == 0.0)
            continue;
        PyList_SET_ITEM(nc.ptr(), k, new_float(c[i]).release().ptr());
        Py_INCREF(v[i]);
        PyList_SET_ITEM(nv.ptr(), k, v[i]);
        ++k;
    }
    // Keep the list objects: holders of them see the normal form too.
    check(PyList_SetSlice(coefs.ptr(), 0, n, nc.ptr()));
    check(PyList_SetSlice(vars.ptr(), 0, n, nv.ptr()));
}

namespace {

PyObject *le_normalize(PyObject *self, PyObject *) {
    return entry([&] {
        linexpr_normalize(self);
        Py_RETURN_NONE;
    });
}

PyMethodDef le_methods[] = {
    {"size", le_size, METH_NOARGS, "Number of terms."},
    {"getCoeff", le_getCoeff, METH_O, "Coefficient of term i."},
    {"getVar", le_getVar, METH_O, "Variable of term i."},
    {"getConstant", le_getConstant, METH_NOARGS, "The constant term."},
    {"getValue", le_getValue, METH_NOARGS,
     "Value under the current solution of the variables' model."},
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(le_add)),
     METH_VARARGS | METH_KEYWORDS,
     "add(expr, mult=1.0): adds mult times a number, Var or LinExpr in place."},
    {"addTerms", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(le_addTerms)),
     METH_VARARGS | METH_KEYWORDS, "addTerms(coeffs, vars): appends terms in place."},
    {"addConstant", le_addConstant, METH_O, "Adds a number to the constant."},
    {"clear", le_clear, METH_NOARGS, "Removes every term and the constant."},
    {"copy", le_copy, METH_NOARGS, "An equal, independent LinExpr."},
    {"__copy__", le_copy, METH_NOARGS, "Same as copy()."},
    {"__deepcopy__", le_copy_deep, METH_O, "Same as copy(); variables are shared."},
    {"_mul", le_mul, METH_O, "Multiplies the expression by a number in place."},
    {"_flatten", le_flatten, METH_NOARGS, "Folds cont_ref into the own lists."},
    {"_normalize", le_normalize, METH_NOARGS,
     "Merges the terms of each variable (first occurrence order) and drops zero terms, in place."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

PyTypeObject *make_linexpr_type() {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void *>(le_tp_new)},
        {Py_tp_init, reinterpret_cast<void *>(le_tp_init)},
        {Py_tp_dealloc, reinterpret_cast<void *>(le_tp_dealloc)},
        {Py_tp_str, reinterpret_cast<void *>(le_str)},
        {Py_tp_repr, reinterpret_cast<void *>(le_repr)},
        {Py_tp_getset, le_getset},
        {Py_tp_methods, le_methods},
        {Py_tp_richcompare, reinterpret_cast<void *>(expr_richcompare)},
        {Py_nb_add, reinterpret_cast<void *>(expr_add)},
        {Py_nb_subtract, reinterpret_cast<void *>(expr_sub)},
        {Py_nb_multiply, reinterpret_cast<void *>(expr_mul)},
        {Py_nb_true_divide, reinterpret_cast<void *>(expr_truediv)},
        {Py_nb_power, reinterpret_cast<void *>(expr_pow)},
        {Py_nb_negative, reinterpret_cast<void *>(expr_neg)},
        {Py_nb_positive, reinterpret_cast<void *>(expr_pos)},
        {Py_nb_inplace_add, reinterpret_cast<void *>(linexpr_iadd)},
        {Py_nb_inplace_subtract, reinterpret_cast<void *>(linexpr_isub)},
        {Py_nb_inplace_multiply, reinterpret_cast<void *>(linexpr_imul)},
        {Py_nb_inplace_true_divide, reinterpret_cast<void *>(linexpr_itruediv)},
        {Py_tp_doc,
         const_cast<char *>("A linear expression: constant plus coefficients times variables.")},
        {0, nullptr},
    };
    PyType_Spec spec = {
        "zudirivi.LinExpr",
        static_cast<int>(sizeof(LinExprObject)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
        slots,
    };
    return reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&spec));
}

} // namespace zdcore
