// Temporaries: operands that nobody but the interpreter's value stack holds,
// so that an operator may build its result in them instead of in a copy.
#pragma once

#include "arrayexpr.hpp"

namespace arrayexpr {

// Cells (or stored entries) from which a temporary is worth the check below:
// the stack walk costs microseconds, a copy of fewer cells costs less.
constexpr Py_ssize_t kTemporaryMinCells = 4096;

// Whether `o` has one reference, no weak references, and the call is the
// evaluation loop's own binary `+` (PyNumber_Add called by the loop, then
// the interpreter's operator dispatch and this module only): then the one
// reference is the loop's value stack, and nothing else can reach `o`. Any
// other caller (operator.add, a bound method, NumPy's object loops, another
// library) may lend a reference that a container owns, and answers no.
bool is_temporary(PyObject *o);

// Whether anything holds a weak reference to `o`.
bool has_weak_references(PyObject *o);

// Whether the array `a` (an attribute value, fetched: one reference from
// the owner, one from the fetch) is held by its owner alone (no weak
// references either), owns its memory and can be written.
bool sole_owned_array(PyObject *a);

} // namespace arrayexpr

namespace mlinexpr {
// self + other built in the MLinExpr self when self is a temporary and other
// a number or a numeric array that does not widen it, and the classes'
// members are their own (mlinexpr_temp.cpp); null otherwise. `fresh`: the caller made self just now
// and holds its only reference, so the temporary check is skipped.
py::object add_into_temporary(py::handle self, py::handle other, bool fresh = false);
} // namespace mlinexpr
