// Class MQuadExpr: N-dimensional array of quadratic expressions.
#include "arrayexpr.hpp"

namespace {

const char MQuadExpr_doc[] =
    "Matrix quadratic expression handle, acting as an array of QuadExpr objects.\n"
    "\n"
    "MQuadExpr objects are usually the result of arithmetic operations on MVar\n"
    "objects; MQuadExpr.zeros() creates an all-zero expression of a given shape.\n"
    "Shape, dimensions and broadcasting follow the notions of NumPy's ndarray.";

} // namespace

void define_MQuadExpr() {
    zd::ClassBuilder("MQuadExpr", arrayexpr::object_bases(), MQuadExpr_doc)
        .attr("__array_priority__", py::int_(100))
        .attr("_keep_compact", py::int_(1))
        .create();
}
