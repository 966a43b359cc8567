// Module functions: cell copies and stacking of matrix objects.
#include "arrayexpr.hpp"

namespace {

const char vstack_doc[] = "ROUTINE:\n"
                          "  vstack(tup)\n"
                          "\n"
                          "PURPOSE:\n"
                          "  Stack matrix objects vertically (row wise).\n"
                          "\n"
                          "ARGUMENTS:\n"
                          "  tup: A sequence of MVar, MLinExpr, MQuadExpr, MNLExpr, MConstr,\n"
                          "    MQConstr or MGenConstr objects, or NumPy arrays.\n"
                          "\n"
                          "RETURN VALUE:\n"
                          "  The stacked matrix object.\n"
                          "\n"
                          "EXAMPLE\n"
                          "  y = tvp.vstack((x1, x2))\n";

const char hstack_doc[] = "ROUTINE:\n"
                          "  hstack(tup)\n"
                          "\n"
                          "PURPOSE:\n"
                          "  Stack matrix objects horizontally (column wise).\n"
                          "\n"
                          "ARGUMENTS:\n"
                          "  tup: A sequence of MVar, MLinExpr, MQuadExpr, MNLExpr, MConstr,\n"
                          "    MQConstr or MGenConstr objects, or NumPy arrays.\n"
                          "\n"
                          "RETURN VALUE:\n"
                          "  The stacked matrix object.\n"
                          "\n"
                          "EXAMPLE\n"
                          "  y = tvp.hstack((x1, x2))\n";

const char concatenate_doc[] = "ROUTINE:\n"
                               "  concatenate(tup, axis=0)\n"
                               "\n"
                               "PURPOSE:\n"
                               "  Join a sequence of matrix objects along an existing axis.\n"
                               "\n"
                               "ARGUMENTS:\n"
                               "  tup: A sequence of MVar, MLinExpr, MQuadExpr, MNLExpr, MConstr,\n"
                               "    MQConstr or MGenConstr objects, or NumPy arrays.\n"
                               "  axis: The axis along which the objects are joined (default 0).\n"
                               "\n"
                               "RETURN VALUE:\n"
                               "  The concatenated matrix object.\n"
                               "\n"
                               "EXAMPLE\n"
                               "  y = tvp.concatenate((x1, x2), axis=1)\n";

// The stacking functions are not available in this build yet.
py::object not_built(const zd::Args &) {
    zd::raise(PyExc_NotImplementedError, "matrix stacking is not available yet");
}

} // namespace

void define_mfunctions() {
    zd::def("_copy_learr", "obj", not_built);
    zd::def("_copy_learr_qearr", "obj", not_built);
    zd::def("_apply_array_manipulation_routine", "numpyfunc, tup", not_built);
    zd::def("vstack", "tup", not_built, vstack_doc);
    zd::def("hstack", "tup", not_built, hstack_doc);
    zd::def("concatenate", "tup, axis=0", not_built, concatenate_doc);
}
