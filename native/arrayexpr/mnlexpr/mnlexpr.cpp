// Class MNLExpr: N-dimensional array of nonlinear expressions, a GenExpr.
#include "arrayexpr.hpp"

namespace {

const char MNLExpr_doc[] =
    "Matrix nonlinear expression handle, acting as an array of NLExpr objects.\n"
    "\n"
    "MNLExpr objects are usually the result of nonlinear operations on MVar\n"
    "objects, or of the nonlinear functions of the nlfunc module. Shape,\n"
    "dimensions and broadcasting follow the notions of NumPy's ndarray.";

} // namespace

void define_MNLExpr() {
    // The base is read from the module globals now; its metaclass is the class's.
    zd::ClassBuilder("MNLExpr", py::make_tuple(zd::global(ZD_STR("GenExpr"))), MNLExpr_doc)
        .attr("__array_priority__", py::int_(100))
        .create();
}
