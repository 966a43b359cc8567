// Class MConstr: N-dimensional array of linear constraints.
#include "mconstr_common.hpp"

const mconstr::Kind mconstr::MConstr_kind = {
    "MConstr",
    "_constrarr",
    "Constr",
    "_rowno",
    "_numrows",
    "NumConstrs",
    2,
    "'zudirivi.Constr' object has no attribute '",
    "'zudirivi.Constr' object has no attribute '",
    "MConstr.fromlist expects a list of Constrs, '",
    false,
};

namespace {

const char MConstr_doc[] = "Matrix constraint handle, acting as an array of Constr objects.\n"
                           "\n"
                           "Such objects are usually not created directly, but received as the\n"
                           "result of Model.addConstr(MLinExpr ...).";

const char tolist_doc[] = "ROUTINE:\n"
                          "  tolist()\n"
                          "\n"
                          "PURPOSE:\n"
                          "  Convert the matrix constraint into a list of individual Constr\n"
                          "  objects.\n"
                          "\n"
                          "ARGUMENTS:\n"
                          "  None.\n"
                          "\n"
                          "RETURN VALUE:\n"
                          "  A (nested) list of Constr objects, nested as deeply as the MConstr\n"
                          "  has dimensions.\n"
                          "\n"
                          "EXAMPLE:\n"
                          "  constrs = c.tolist()\n";

const char fromlist_doc[] = "ROUTINE:\n"
                            "  fromlist(constrlist)\n"
                            "\n"
                            "PURPOSE:\n"
                            "  Convert a list of constraints into an MConstr object. A list of\n"
                            "  Constr objects gives a 1-D MConstr, a list of lists of Constr\n"
                            "  objects a 2-D MConstr, and so on.\n"
                            "\n"
                            "ARGUMENTS:\n"
                            "  constrlist: A (nested) list of Constr objects.\n"
                            "\n"
                            "RETURN VALUE:\n"
                            "  An MConstr object holding the constraints.\n"
                            "\n"
                            "EXAMPLE:\n"
                            "  c = tvp.MConstr.fromlist(model.getConstrs())\n";

const char getAttr_doc[] = "ROUTINE:\n"
                           "  getAttr(attrname)\n"
                           "\n"
                           "PURPOSE:\n"
                           "  Request the values of a constraint attribute.\n"
                           "\n"
                           "ARGUMENTS:\n"
                           "  attrname: The name of the attribute.\n"
                           "\n"
                           "RETURN VALUE:\n"
                           "  A NumPy ndarray of values, of the shape of this MConstr.\n"
                           "\n"
                           "EXAMPLE:\n"
                           "  rhs = c.getAttr(\"RHS\")\n"
                           "  slack = c.Slack\n";

const char setAttr_doc[] = "ROUTINE:\n"
                           "  setAttr(attrname, value)\n"
                           "\n"
                           "PURPOSE:\n"
                           "  Change the values of a constraint attribute.\n"
                           "\n"
                           "ARGUMENTS:\n"
                           "  attrname: The name of the attribute.\n"
                           "  value: An ndarray of the shape of this MConstr whose dtype should\n"
                           "    be compatible with the attribute type. A scalar is promoted to\n"
                           "    the appropriate shape.\n"
                           "\n"
                           "RETURN VALUE:\n"
                           "  None.\n"
                           "\n"
                           "EXAMPLE:\n"
                           "  c.setAttr(\"RHS\", numpy.zeros(c.shape))\n"
                           "  c.RHS = 1.0\n"
                           "\n"
                           "NOTES:\n"
                           "  Attribute changes take effect lazily, after the next model update\n"
                           "  or optimization.\n";

const char size_doc[] = "The number of Constr objects encapsulated by this matrix\n"
                        "constraint";

ZD_MCONSTR_MEMBER(MConstr, __init__, init)
ZD_MCONSTR_MEMBER(MConstr, __dir__, dir)
ZD_MCONSTR_MEMBER(MConstr, __repr__, repr)
ZD_MCONSTR_MEMBER(MConstr, __getitem__, getitem)
ZD_MCONSTR_MEMBER(MConstr, __getattr__, getattr)
ZD_MCONSTR_MEMBER(MConstr, __setattr__, setattr)
ZD_MCONSTR_MEMBER(MConstr, item, item)
ZD_MCONSTR_MEMBER(MConstr, _idxarr, idxarr)
ZD_MCONSTR_MEMBER(MConstr, _numrows, count)
ZD_MCONSTR_MEMBER(MConstr, tolist, tolist)
ZD_MCONSTR_MEMBER(MConstr, fromlist, fromlist)
ZD_MCONSTR_MEMBER(MConstr, getAttr, getAttr)
ZD_MCONSTR_MEMBER(MConstr, setAttr, setAttr)
ZD_MCONSTR_MEMBER(MConstr, prefetchAttr, prefetchAttr)
ZD_MCONSTR_MEMBER(MConstr, shape, shape)
ZD_MCONSTR_MEMBER(MConstr, size, size)
ZD_MCONSTR_MEMBER(MConstr, ndim, ndim)
ZD_MCONSTR_MEMBER(MConstr, _typename, typename_)
ZD_MCONSTR_MEMBER(MConstr, _typeenum, typeenum)

} // namespace

void define_MConstr() {
    zd::ClassBuilder("MConstr", arrayexpr::object_bases(), MConstr_doc)
        .method("__init__", "self, constrarr", MConstr___init__)
        .method("__dir__", "self", MConstr___dir__)
        .method("__repr__", "self", MConstr___repr__)
        .method("__getitem__", "self, obj", MConstr___getitem__)
        .method("__getattr__", "self, name", MConstr___getattr__)
        .method("__setattr__", "self, name, value", MConstr___setattr__)
        .method("item", "self", MConstr_item)
        .method("_idxarr", "self", MConstr__idxarr)
        .method("_numrows", "self", MConstr__numrows)
        .method("tolist", "self", MConstr_tolist, tolist_doc)
        .classmethod("fromlist", "cls, constrlist", MConstr_fromlist, fromlist_doc)
        .method("getAttr", "self, attrname", MConstr_getAttr, getAttr_doc)
        .method("setAttr", "self, attrname, value", MConstr_setAttr, setAttr_doc)
        .method("prefetchAttr", "self, attrname", MConstr_prefetchAttr)
        .property("shape", MConstr_shape, "The shape of the matrix constraint, as a tuple of ints")
        .property("size", MConstr_size, size_doc)
        .property("ndim", MConstr_ndim, "The number of dimensions of this matrix constraint")
        .property("_typename", MConstr__typename)
        .property("_typeenum", MConstr__typeenum)
        .create();
}
