// Class MGenConstr: N-dimensional array of general constraints.
#include "arrayexpr.hpp"

void define_MGenConstr() {
    // Declared without bases and without a docstring.
    zd::ClassBuilder("MGenConstr", py::tuple(), nullptr).create();
}
