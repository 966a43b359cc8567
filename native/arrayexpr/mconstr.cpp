// Class MConstr: N-dimensional array of linear constraints.
#include "arrayexpr.hpp"

namespace {

const char MConstr_doc[] =
    "Matrix constraint handle, acting as an array of Constr objects.\n"
    "\n"
    "MConstr objects are normally returned by Model.addConstr(MLinExpr ...).\n"
    "Shape and dimensions follow the notions of NumPy's ndarray.";

} // namespace

void define_MConstr() {
    zd::ClassBuilder("MConstr", arrayexpr::object_bases(), MConstr_doc).create();
}
