// Class MLinExpr: N-dimensional array of linear expressions.
#include "arrayexpr.hpp"

namespace {

const char MLinExpr_doc[] =
    "Matrix linear expression handle, acting as an array of LinExpr objects.\n"
    "\n"
    "MLinExpr objects are usually the result of arithmetic operations on MVar\n"
    "objects; MLinExpr.zeros() creates an all-zero expression of a given shape.\n"
    "Shape, dimensions and broadcasting follow the notions of NumPy's ndarray.";

} // namespace

void define_MLinExpr() {
    zd::ClassBuilder("MLinExpr", arrayexpr::object_bases(), MLinExpr_doc)
        .attr("__array_priority__", py::int_(100))
        .attr("_keep_compact", py::int_(1))
        .create();
}
