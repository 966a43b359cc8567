// Class MQConstr: N-dimensional array of quadratic constraints.
#include "arrayexpr.hpp"

namespace {

const char MQConstr_doc[] =
    "Matrix quadratic constraint handle, acting as an array of QConstr objects.\n"
    "\n"
    "MQConstr objects are normally returned by Model.addConstr(MQuadExpr ...).\n"
    "Shape and dimensions follow the notions of NumPy's ndarray.";

} // namespace

void define_MQConstr() {
    zd::ClassBuilder("MQConstr", arrayexpr::object_bases(), MQConstr_doc).create();
}
