// Internal declarations shared by the expr_*.cpp units of _core.
#pragma once

#include "zd.hpp"

#include <new>
#include <string>
#include <vector>

#include "core_expr.hpp"

namespace zdcore {

namespace py = pybind11;

// Errors: the shared layer's exception and its translation at entry points.
using py_error = zd::python_error;
using zd::borrow;
using zd::raise;
using zd::raisef;
using zd::steal;

[[noreturn]] inline void throw_py() {
    zd::throw_error();
}
inline void check(int r) {
    zd::check(r);
}

// Sets the Python error from the exception being handled (catch blocks only).
inline void set_error_from_exception() noexcept {
    zd::set_error_from_current_exception();
}

// Runs `f` (returning a new reference) and converts C++ exceptions to NULL.
template <class F>
PyObject *entry(F &&f) noexcept {
    try {
        return f();
    } catch (...) {
        set_error_from_exception();
        return nullptr;
    }
}

template <class F>
int entry_int(F &&f) noexcept {
    try {
        return f();
    } catch (...) {
        set_error_from_exception();
        return -1;
    }
}

inline LinExprObject *le_ptr(PyObject *o) {
    return reinterpret_cast<LinExprObject *>(o);
}
inline QuadExprObject *qe_ptr(PyObject *o) {
    return reinterpret_cast<QuadExprObject *>(o);
}

inline bool is_var(PyObject *o) {
    return Var_Type && PyObject_TypeCheck(o, Var_Type);
}
inline bool is_linexpr(PyObject *o) {
    return PyObject_TypeCheck(o, LinExpr_Type);
}
inline bool is_quadexpr(PyObject *o) {
    return PyObject_TypeCheck(o, QuadExpr_Type);
}
inline bool is_nlexpr(PyObject *o) {
    return PyObject_TypeCheck(o, NLExpr_Type);
}
inline bool is_exprtree(PyObject *o) {
    return PyObject_TypeCheck(o, ExprTree_Type);
}
inline bool is_genexpr(PyObject *o) {
    return PyObject_TypeCheck(o, GenExpr_Type);
}

// Operand kinds of the expression arithmetic.
enum class Kind { Number, Var, Lin, Quad, NL, Other };

// Classifies an operand; for Kind::Number stores its value in *num. Throws
// when a number cannot be converted (an int too large for a double).
Kind classify(PyObject *o, double *num);

// Converts a coefficient object to a double (fast path for float).
inline double to_double(PyObject *o) {
    if (PyFloat_CheckExact(o))
        return PyFloat_AS_DOUBLE(o);
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred())
        throw_py();
    return d;
}

// Item i of a list, checked against its current size (Python code run by a
// coefficient's __float__ may have changed it): borrowed.
PyObject *list_item(PyObject *list, Py_ssize_t i);
// Item i of a list of coefficients, as a double.
double list_double(PyObject *list, Py_ssize_t i);

inline py::object new_float(double d) {
    return steal(PyFloat_FromDouble(d));
}

// A new empty list, or a list of n slots to be filled with PyList_SET_ITEM.
// The term lists hold numbers and variables only, which lead back to no
// expression, so they cannot be part of a reference cycle: the list is left
// out of the cycle collector, whose passes over millions of term lists would
// otherwise cost more than building them.
inline py::object new_list(Py_ssize_t n) {
    PyObject *l = PyList_New(n);
    if (!l)
        throw_py();
    PyObject_GC_UnTrack(l);
    return steal(l);
}

// Interned strings used throughout.
struct Names {
    PyObject *sense_le, *sense_ge, *sense_eq; // "<", ">", "="
    PyObject *X, *VarName, *_colno;
};
extern Names names;

// ---------------------------------------------------------------------------
// Linear terms, read through the cont_ref chain without changing anything.
// ---------------------------------------------------------------------------

// One run of terms: a pair of parallel lists (n items used), or one
// variable with coefficient 1.0.
struct Seg {
    py::object coefs; // list, or null for a single variable
    py::object vars;  // list, or the variable itself
    Py_ssize_t n = 0;
};

// Runs of a view: the first two inline (the common case), more on the heap.
class SegList {
public:
    void push_back(Seg &&s) {
        if (n_ < kInline)
            inline_[n_] = std::move(s);
        else
            more_.push_back(std::move(s));
        ++n_;
    }
    size_t size() const { return n_; }
    const Seg &operator[](size_t i) const { return i < kInline ? inline_[i] : more_[i - kInline]; }

    class iterator {
    public:
        iterator(const SegList *l, size_t i) : l_(l), i_(i) {}
        const Seg &operator*() const { return (*l_)[i_]; }
        iterator &operator++() {
            ++i_;
            return *this;
        }
        bool operator!=(const iterator &o) const { return i_ != o.i_; }

    private:
        const SegList *l_;
        size_t i_;
    };
    iterator begin() const { return iterator(this, 0); }
    iterator end() const { return iterator(this, n_); }

private:
    static constexpr size_t kInline = 2;
    Seg inline_[kInline];
    std::vector<Seg> more_;
    size_t n_ = 0;
};

// The whole content of a linear operand: constant plus runs of terms.
// Holds references to the lists it reads, so they outlive the operation.
struct LinView {
    double constant = 0.0;
    Py_ssize_t nterms = 0;
    SegList segs;

    void add_lists(PyObject *coefs, PyObject *vars); // checks types, lengths
    void add_var(PyObject *var);
};

// Fills `view` from a LinExpr, following cont_ref.
void linexpr_view(PyObject *le, LinView &view);
// Fills `view` from a Number, Var or LinExpr operand.
void lin_operand_view(PyObject *o, Kind kind, double num, LinView &view);

// Term i of a view: borrowed coefficient object (null means 1.0) and variable.
void view_term(const LinView &view, Py_ssize_t i, PyObject **coef, PyObject **var);

// Appends exactly n items of `src` to `dst` (src may be dst itself).
void extend_list(PyObject *dst, PyObject *src, Py_ssize_t n);
// A new list of the coefficients of `seg` multiplied by mult.
py::object scaled_coefs(const Seg &seg, double mult);
// Builds new coefficient and variable lists from addTerms-style arguments.
void terms_from_args(PyObject *coeffs, PyObject *vars, py::object &out_coefs, py::object &out_vars);
// True for a LinExpr as tp_new makes it: constant 0, no cont_ref, two empty
// lists.
bool linexpr_is_pristine(PyObject *le);
// Empties the expression in place (new empty lists, constant 0, no cont_ref).
void linexpr_clear(PyObject *le);
// Multiplies the expression in place (flattens it first).
void linexpr_scale(PyObject *le, double c);
// Merges duplicate variables (first occurrence keeps its place), drops zero terms.
void linexpr_normalize(PyObject *le);
// A number argument (ints, floats, NumPy scalars, 0-d arrays).
double number_arg(PyObject *o, const char *what);

// A new LinExpr with empty lists and cont_ref None.
py::object linexpr_new();
// A new LinExpr holding sum(mult_k * view_k), terms in order.
py::object linexpr_from_views(const LinView *const *views, const double *mults, int count);
// Adds mult * view into the LinExpr `le` in place (own lists extended).
void linexpr_add_view(PyObject *le, const LinView &view, double mult);
// Folds the cont_ref chain into the record's own lists.
void linexpr_flatten(PyObject *le);
// Makes sure coef_list and var_list are lists (None becomes a new list).
void linexpr_own_lists(PyObject *le);
// Text of the linear expression (without the brackets of repr).
std::string linexpr_text(const LinView &view, bool with_constant);

// ---------------------------------------------------------------------------
// Quadratic terms.
// ---------------------------------------------------------------------------

struct QuadView {
    py::object coeffs, vars1, vars2; // lists or null (no terms)
    Py_ssize_t n = 0;
    LinView lin;
};

void quadexpr_view(PyObject *qe, QuadView &view);
// The QuadExpr's linear part, checked to be a LinExpr (borrowed).
PyObject *quadexpr_linexpr(PyObject *qe);
py::object quadexpr_new(); // empty, with a new empty linear part
// A new QuadExpr taking over the given parts.
py::object quadexpr_make(py::object linexpr, py::object coeffs, py::object vars1, py::object vars2);
// Adds mult * (quadratic terms of view) into qe in place; the linear part of
// the view is not touched.
void quadexpr_add_quad_terms(PyObject *qe, const QuadView &view, double mult);
// Adds an operand of any of the kinds Number, Var, Lin, Quad into qe.
void quadexpr_add_operand(PyObject *qe, PyObject *o, Kind kind, double num, double mult);
// Multiplies the expression in place.
void quadexpr_scale(PyObject *qe, double c);
std::string quadexpr_text(const QuadView &view);

// ---------------------------------------------------------------------------
// Variables.
// ---------------------------------------------------------------------------

// Values of the variables under their models' solutions.
void var_values(PyObject *const *vars, Py_ssize_t n, double *out);
// Printed label of a variable.
std::string var_label(PyObject *var);
// Shortest text that reads back as the same double ("2.0", "0.1", "1e+20").
std::string format_double(double d);

// ---------------------------------------------------------------------------
// Nonlinear expressions.
// ---------------------------------------------------------------------------

enum NodeOp : int {
    OP_CONSTANT = 0,
    OP_VARIABLE = 1,
    OP_PLUS = 2,
    OP_MINUS = 3,
    OP_MULTIPLY = 4,
    OP_DIVIDE = 5,
    OP_UMINUS = 6,
    OP_SQUARE = 7,
    OP_POW = 8,
};

// A new node; children is a tuple (stolen into the node) or null.
py::object node_new(int op, py::object children, double value, PyObject *var);
py::object node_constant(double value);
py::object node_unary(int op, PyObject *a);
py::object node_binary(int op, PyObject *a, PyObject *b);
// One node for any operand the nonlinear arithmetic takes.
py::object node_from_operand(PyObject *o, Kind kind, double num);
// A new NLExpr (exact type) around `root`.
py::object nlexpr_new(PyObject *root);

// Nonlinear result of a binary operation (`op` one of the binary node ops),
// both operands already classified.
py::object nl_binary(int op, PyObject *a, Kind ka, double na, PyObject *b, Kind kb, double nb);

// ---------------------------------------------------------------------------
// Arithmetic entry points shared by Var, LinExpr, QuadExpr.
// ---------------------------------------------------------------------------

PyObject *expr_add(PyObject *a, PyObject *b);
PyObject *expr_sub(PyObject *a, PyObject *b);
PyObject *expr_mul(PyObject *a, PyObject *b);
PyObject *expr_truediv(PyObject *a, PyObject *b);
PyObject *expr_pow(PyObject *a, PyObject *b, PyObject *mod);
PyObject *expr_neg(PyObject *a);
PyObject *expr_pos(PyObject *a);
PyObject *expr_richcompare(PyObject *a, PyObject *b, int op);
PyObject *linexpr_iadd(PyObject *a, PyObject *b);
PyObject *linexpr_isub(PyObject *a, PyObject *b);
PyObject *linexpr_imul(PyObject *a, PyObject *b);
PyObject *linexpr_itruediv(PyObject *a, PyObject *b);
PyObject *quadexpr_iadd(PyObject *a, PyObject *b);
PyObject *quadexpr_isub(PyObject *a, PyObject *b);
PyObject *quadexpr_imul(PyObject *a, PyObject *b);
PyObject *quadexpr_itruediv(PyObject *a, PyObject *b);

// A new TempConstr(lhs, sense, rhs).
py::object tempconstr_new(PyObject *lhs, PyObject *sense, PyObject *rhs);

// Type creation, called in order by core_add_expr_types.
PyTypeObject *make_linexpr_type();
PyTypeObject *make_quadexpr_type();
PyTypeObject *make_tempconstr_type();
PyTypeObject *make_exprtree_type();
PyTypeObject *make_nlexpr_type();
PyTypeObject *make_genexpr_type();

// Parses the optional `mult` argument of add(): a number.
double parse_mult(PyObject *o);

} // namespace zdcore
