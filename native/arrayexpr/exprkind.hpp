// The expression-array classes with two storage states (MLinExpr,
// MQuadExpr), written once from a row per class, as the constraint handles
// are: the class, its cell-array attribute, its compact-parts attribute, the
// attributes each state holds, its zeros factories, and the switch to the
// full state in the attribute order of the class.
//
// A class's members call e.g. exprkind::is_compact(exprkind::MLinExpr_kind,
// self) for the `_is_compact` test with its assertions and
// exprkind::convert_to_full(kind, self) for `_convert_to_full`.
#pragma once

#include "arrayexpr.hpp"

#include <array>

namespace exprkind {

// One attribute that the switch to the full state sets: to the attribute of
// the same name of the full-state equivalent (`from_full`) or to None.
struct Set {
    const char *attr;
    bool from_full;
};

struct Kind {
    const char *cls;          // class and module global name, "MLinExpr"
    const char *cells_attr;   // cell array of the full state, "_learr"
    const char *parts_attr;   // part list of the compact state, "_matmulparts"
    const char *compact_attr; // a further attribute of the compact state alone, or null
    const char *linear_attr;  // linear part held in both states, or null
    const char *zeros;        // public zeros factory, "zeros"
    const char *zeros_full;   // full-state zeros factory, "_zeros_full"
    std::array<Set, 3> to_full;
    // Further assertions of each state (null: none); `linear` is the linear
    // part when the class has one.
    void (*check_compact)(py::handle self, py::handle linear);
    void (*check_full)(py::handle self, py::handle linear);
};

extern const Kind MLinExpr_kind;
extern const Kind MQuadExpr_kind;

// The class (the module global, looked up now).
py::object cls(const Kind &k);

// The `_is_compact` test: the parts attribute is not None. Unless the
// interpreter runs optimised, the state's attributes are asserted: the linear
// part is set; compact: the further compact attribute set and the cell array
// None; full: the reverse.
bool is_compact(const Kind &k, py::handle self);

// `_convert_to_full`: nothing for a full `self`; else `self._to_full()` and
// the row's attributes set from it in the row's order.
void convert_to_full(const Kind &k, py::handle self);

// `<class>._keep_compact == 1`, read on the class.
bool keep_compact(const Kind &k);

} // namespace exprkind
