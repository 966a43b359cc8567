// Terms of constraints read from expression records, and the bookkeeping of
// new elements, shared by the scalar and matrix forms of addConstr.
#pragma once

#include "core.hpp"

#include <climits>

namespace core {

// Linear and quadratic terms of one quadratic constraint.
struct QuadTerms {
    std::vector<int> lind;
    std::vector<double> lval;
    std::vector<int> qrow, qcol;
    std::vector<double> qval;
    double constant = 0.0;
};

// Coefficient of a term list (a float, or any real number).
inline double term_coef(PyObject *o) {
    if (PyFloat_CheckExact(o))
        return PyFloat_AS_DOUBLE(o);
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred())
        throw zd::python_error();
    return d;
}

// Build position of a variable of this model (raises "Variable not in model").
int var_pos(ModelObject *m, PyObject *v);

// Adds mult * the QuadExpr `o` (linear part included).
void add_quad_terms(ModelObject *m, PyObject *o, double mult, QuadTerms &q);

// New elements, owned until they are handed over.
struct NewElems {
    std::vector<PyObject *> items;
    NewElems() = default;
    NewElems(const NewElems &) = delete;
    NewElems &operator=(const NewElems &) = delete;
    ~NewElems() {
        for (PyObject *o : items)
            Py_DECREF(o);
    }
    void make(int kind, ModelCoreObject *mc, int first, Py_ssize_t n) {
        items.reserve((size_t)n);
        for (Py_ssize_t k = 0; k < n; ++k)
            items.push_back(zd::check(new_elem(kind, mc, first + (int)k)));
    }
};

// Position of the next new element of `kind`, checking that n more fit.
inline int next_pos(ModelObject *m, int kind, Py_ssize_t n) {
    Py_ssize_t have = PyList_GET_SIZE(m->lists[kind]);
    if (n > INT_MAX - have)
        zd::raise(PyExc_ValueError, "too many elements for one model");
    return (int)have;
}

// Hands new elements over: they join the model's list of their kind and a
// new list, which is returned.
py::object hand_over(ModelObject *m, int kind, NewElems &made);
// The same, into a new object array of `shape` (as many cells as elements)
// instead of a list.
py::object hand_over_array(ModelObject *m, int kind, NewElems &made,
                           const std::vector<Py_ssize_t> &shape);

// Adds one quadratic constraint per cell (one library call each); on a
// failed call the ones added before are removed again. Returns the new
// QConstr objects (a list, in cell order).
py::object add_qconstrs(ModelObject *m, PyObject *self, std::vector<QuadTerms> &cells, char sense,
                        const std::vector<double> &rhs, const Names &names);

// Adds one general constraint per result variable position; the same
// failure rule. Returns the new GenConstr objects (a list).
py::object add_genconstrs(ModelObject *m, PyObject *self, const std::vector<int> &resvars,
                          const Names &names);

} // namespace core
