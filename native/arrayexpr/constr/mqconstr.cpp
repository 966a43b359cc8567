// Class MQConstr: N-dimensional array of quadratic constraints.
#include "mconstr_common.hpp"

const mconstr::Kind mconstr::MQConstr_kind = {
    "MQConstr",
    "_qconstrarr",
    "QConstr",
    "_qconstrno",
    "_numqconstrs",
    "NumQConstrs",
    4,
    "'zudirivi.MQConstr' object has no attribute '",
    "'zudirivi.MQConstr' object has no attribute '",
    "MQConstr.fromlist expects a list of QConstrs, '",
    false,
};

namespace {

const char MQConstr_doc[] =
    "Matrix quadratic constraint handle, acting as an array of QConstr objects.\n"
    "\n"
    "Such objects are usually not created directly, but received as the\n"
    "result of Model.addConstr(MQuadExpr ...).";

const char tolist_doc[] = "ROUTINE:\n"
                          "  tolist()\n"
                          "\n"
                          "PURPOSE:\n"
                          "  Convert the matrix quadratic constraint into a list of individual\n"
                          "  QConstr objects.\n"
                          "\n"
                          "ARGUMENTS:\n"
                          "  None.\n"
                          "\n"
                          "RETURN VALUE:\n"
                          "  A (nested) list of QConstr objects, nested as deeply as the MQConstr\n"
                          "  has dimensions.\n"
                          "\n"
                          "EXAMPLE:\n"
                          "  qconstrs = qc.tolist()\n";

const char fromlist_doc[] = "ROUTINE:\n"
                            "  fromlist(qconstrlist)\n"
                            "\n"
                            "PURPOSE:\n"
                            "  Convert a list of quadratic constraints into an MQConstr object. A\n"
                            "  list of QConstr objects gives a 1-D MQConstr, a list of lists of\n"
                            "  QConstr objects a 2-D MQConstr, and so on.\n"
                            "\n"
                            "ARGUMENTS:\n"
                            "  qconstrlist: A (nested) list of QConstr objects.\n"
                            "\n"
                            "RETURN VALUE:\n"
                            "  An MQConstr object holding the quadratic constraints.\n"
                            "\n"
                            "EXAMPLE:\n"
                            "  qc = tvp.MQConstr.fromlist(model.getQConstrs())\n";

const char getAttr_doc[] = "ROUTINE:\n"
                           "  getAttr(attrname)\n"
                           "\n"
                           "PURPOSE:\n"
                           "  Request the values of a quadratic constraint attribute.\n"
                           "\n"
                           "ARGUMENTS:\n"
                           "  attrname: The name of the attribute.\n"
                           "\n"
                           "RETURN VALUE:\n"
                           "  A NumPy ndarray of values, of the shape of this MQConstr.\n"
                           "\n"
                           "EXAMPLE:\n"
                           "  rhs = qc.getAttr(\"QCRHS\")\n"
                           "  names = qc.QCName\n";

const char setAttr_doc[] = "ROUTINE:\n"
                           "  setAttr(attrname, value)\n"
                           "\n"
                           "PURPOSE:\n"
                           "  Change the values of a quadratic constraint attribute.\n"
                           "\n"
                           "ARGUMENTS:\n"
                           "  attrname: The name of the attribute.\n"
                           "  value: An ndarray of the shape of this MQConstr whose dtype should\n"
                           "    be compatible with the attribute type. A scalar is broadcast to\n"
                           "    the appropriate shape.\n"
                           "\n"
                           "RETURN VALUE:\n"
                           "  None.\n"
                           "\n"
                           "EXAMPLE:\n"
                           "  qc.setAttr(\"QCRHS\", numpy.zeros(qc.shape))\n"
                           "  qc.QCRHS = 1.0\n"
                           "\n"
                           "NOTES:\n"
                           "  Attribute changes take effect lazily, after the next model update\n"
                           "  or optimization.\n";

const char size_doc[] = "The number of QConstr objects encapsulated by this matrix\n"
                        "quadratic constraint";

ZD_MCONSTR_MEMBER(MQConstr, __init__, init)
ZD_MCONSTR_MEMBER(MQConstr, __dir__, dir)
ZD_MCONSTR_MEMBER(MQConstr, __repr__, repr)
ZD_MCONSTR_MEMBER(MQConstr, __getitem__, getitem)
ZD_MCONSTR_MEMBER(MQConstr, __getattr__, getattr)
ZD_MCONSTR_MEMBER(MQConstr, __setattr__, setattr)
ZD_MCONSTR_MEMBER(MQConstr, item, item)
ZD_MCONSTR_MEMBER(MQConstr, _idxarr, idxarr)
ZD_MCONSTR_MEMBER(MQConstr, _numqconstrs, count)
ZD_MCONSTR_MEMBER(MQConstr, tolist, tolist)
ZD_MCONSTR_MEMBER(MQConstr, fromlist, fromlist)
ZD_MCONSTR_MEMBER(MQConstr, getAttr, getAttr)
ZD_MCONSTR_MEMBER(MQConstr, setAttr, setAttr)
ZD_MCONSTR_MEMBER(MQConstr, prefetchAttr, prefetchAttr)
ZD_MCONSTR_MEMBER(MQConstr, shape, shape)
ZD_MCONSTR_MEMBER(MQConstr, size, size)
ZD_MCONSTR_MEMBER(MQConstr, ndim, ndim)
ZD_MCONSTR_MEMBER(MQConstr, _typename, typename_)
ZD_MCONSTR_MEMBER(MQConstr, _typeenum, typeenum)

} // namespace

void define_MQConstr() {
    zd::ClassBuilder("MQConstr", arrayexpr::object_bases(), MQConstr_doc)
        .method("__init__", "self, qconstrarr", MQConstr___init__)
        .method("__dir__", "self", MQConstr___dir__)
        .method("__repr__", "self", MQConstr___repr__)
        .method("__getitem__", "self, obj", MQConstr___getitem__)
        .method("__getattr__", "self, name", MQConstr___getattr__)
        .method("__setattr__", "self, name, value", MQConstr___setattr__)
        .method("item", "self", MQConstr_item)
        .method("_idxarr", "self", MQConstr__idxarr)
        .method("_numqconstrs", "self", MQConstr__numqconstrs)
        .method("tolist", "self", MQConstr_tolist, tolist_doc)
        .classmethod("fromlist", "cls, qconstrlist", MQConstr_fromlist, fromlist_doc)
        .method("getAttr", "self, attrname", MQConstr_getAttr, getAttr_doc)
        .method("setAttr", "self, attrname, value", MQConstr_setAttr, setAttr_doc)
        .method("prefetchAttr", "self, attrname", MQConstr_prefetchAttr)
        .property("shape", MQConstr_shape,
                  "The shape of this matrix quadratic constraint, as a tuple of ints")
        .property("size", MQConstr_size, size_doc)
        .property("ndim", MQConstr_ndim,
                  "The number of dimensions of this matrix quadratic constraint")
        .property("_typename", MQConstr__typename)
        .property("_typeenum", MQConstr__typeenum)
        .create();
}
