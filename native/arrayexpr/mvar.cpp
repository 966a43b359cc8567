// Class MVar: N-dimensional array of variables.
#include "arrayexpr.hpp"

namespace {

const char MVar_doc[] =
    "Matrix variable handle, acting as an array of Var objects.\n"
    "\n"
    "MVar objects are usually obtained from Model.addMVar() or MVar.fromlist().\n"
    "Shape, dimensions and broadcasting follow the notions of NumPy's ndarray.";

} // namespace

void define_MVar() {
    zd::ClassBuilder("MVar", arrayexpr::object_bases(), MVar_doc)
        .attr("__array_priority__", py::int_(100))
        .create();
}
