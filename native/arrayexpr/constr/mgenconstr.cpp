// Class MGenConstr: N-dimensional array of general constraints.
#include "mconstr_common.hpp"

const mconstr::Kind mconstr::MGenConstr_kind = {
    "MGenConstr",
    "_constrarr",
    "GenConstr",
    "_genconstrno",
    nullptr,
    nullptr,
    5,
    "'zudirivi.GenConstr' object has no attribute '",
    "'zudirivi.MGenConstr' object has no attribute '",
    "MGenConstr.fromlist expects a list of GenConstrs, '",
    true,
};

namespace {

const char item_doc[] = "ROUTINE:\n"
                        "  item()\n"
                        "\n"
                        "PURPOSE:\n"
                        "  If this matrix general constraint contains exactly one GenConstr\n"
                        "  object, return it.\n"
                        "\n"
                        "ARGUMENTS:\n"
                        "  None.\n"
                        "\n"
                        "RETURN VALUE:\n"
                        "  The GenConstr object held by this MGenConstr.\n"
                        "\n"
                        "EXAMPLE:\n"
                        "  g = gc[0].item()\n";

const char tolist_doc[] = "ROUTINE:\n"
                          "  tolist()\n"
                          "\n"
                          "PURPOSE:\n"
                          "  Convert the matrix general constraint into a list of individual\n"
                          "  GenConstr objects.\n"
                          "\n"
                          "ARGUMENTS:\n"
                          "  None.\n"
                          "\n"
                          "RETURN VALUE:\n"
                          "  A (nested) list of GenConstr objects, nested as deeply as the\n"
                          "  MGenConstr has dimensions.\n"
                          "\n"
                          "EXAMPLE:\n"
                          "  genconstrs = gc.tolist()\n";

const char fromlist_doc[] =
    "ROUTINE:\n"
    "  fromlist(genconstrlist)\n"
    "\n"
    "PURPOSE:\n"
    "  Convert a list of general constraints into an MGenConstr object. A list\n"
    "  of GenConstr objects gives a 1-D MGenConstr, a list of lists of\n"
    "  GenConstr objects a 2-D MGenConstr.\n"
    "\n"
    "ARGUMENTS:\n"
    "  genconstrlist: A (nested) list of GenConstr objects.\n"
    "\n"
    "RETURN VALUE:\n"
    "  An MGenConstr object holding the general constraints.\n"
    "\n"
    "EXAMPLE:\n"
    "  g0 = model.addGenConstrIndicator(b[0], True, x[0] + x[1] <= 1)\n"
    "  g1 = model.addGenConstrIndicator(b[1], True, x[1] + x[2] <= 1)\n"
    "  g2 = model.addGenConstrIndicator(b[2], True, x[2] + x[3] <= 1)\n"
    "  g3 = model.addGenConstrIndicator(b[3], True, x[3] + x[0] <= 1)\n"
    "  gc1 = tvp.MGenConstr.fromlist([g0, g1, g2, g3])      # shape (4,)\n"
    "  gc2 = tvp.MGenConstr.fromlist([[g0, g1], [g2, g3]])  # shape (2, 2)\n";

const char getAttr_doc[] = "ROUTINE:\n"
                           "  getAttr(attrname)\n"
                           "\n"
                           "PURPOSE:\n"
                           "  Request the values of a general constraint attribute.\n"
                           "\n"
                           "ARGUMENTS:\n"
                           "  attrname: The name of the attribute.\n"
                           "\n"
                           "RETURN VALUE:\n"
                           "  A NumPy ndarray of values, of the shape of this MGenConstr.\n"
                           "\n"
                           "EXAMPLE:\n"
                           "  names = gc.getAttr(\"GenConstrName\")\n";

const char setAttr_doc[] = "ROUTINE:\n"
                           "  setAttr(attrname, value)\n"
                           "\n"
                           "PURPOSE:\n"
                           "  Change the values of a general constraint attribute.\n"
                           "\n"
                           "ARGUMENTS:\n"
                           "  attrname: The name of the attribute.\n"
                           "  value: An ndarray of the shape of this MGenConstr whose dtype\n"
                           "    should be compatible with the attribute type. A scalar is\n"
                           "    promoted to the appropriate shape.\n"
                           "\n"
                           "RETURN VALUE:\n"
                           "  None.\n"
                           "\n"
                           "EXAMPLE:\n"
                           "  gc.setAttr(\"GenConstrName\", \"g\")\n"
                           "\n"
                           "NOTES:\n"
                           "  Attribute changes take effect lazily, after the next model update\n"
                           "  or optimization.\n";

const char size_doc[] = "The number of GenConstr objects encapsulated by this matrix general\n"
                        "constraint";

ZD_MCONSTR_MEMBER(MGenConstr, __init__, init)
ZD_MCONSTR_MEMBER(MGenConstr, __dir__, dir)
ZD_MCONSTR_MEMBER(MGenConstr, __repr__, repr)
ZD_MCONSTR_MEMBER(MGenConstr, shape, shape)
ZD_MCONSTR_MEMBER(MGenConstr, size, size)
ZD_MCONSTR_MEMBER(MGenConstr, ndim, ndim)
ZD_MCONSTR_MEMBER(MGenConstr, item, item)
ZD_MCONSTR_MEMBER(MGenConstr, tolist, tolist)
ZD_MCONSTR_MEMBER(MGenConstr, fromlist, fromlist)
ZD_MCONSTR_MEMBER(MGenConstr, _typename, typename_)
ZD_MCONSTR_MEMBER(MGenConstr, _typeenum, typeenum)
ZD_MCONSTR_MEMBER(MGenConstr, __getitem__, getitem)
ZD_MCONSTR_MEMBER(MGenConstr, _idxarr, idxarr)
ZD_MCONSTR_MEMBER(MGenConstr, getAttr, getAttr)
ZD_MCONSTR_MEMBER(MGenConstr, setAttr, setAttr)
ZD_MCONSTR_MEMBER(MGenConstr, __getattr__, getattr)
ZD_MCONSTR_MEMBER(MGenConstr, __setattr__, setattr)

} // namespace

void define_MGenConstr() {
    // Declared without bases and without a docstring.
    zd::ClassBuilder("MGenConstr", py::tuple(), nullptr)
        .method("__init__", "self, constrarr", MGenConstr___init__)
        .method("__dir__", "self", MGenConstr___dir__)
        .method("__repr__", "self", MGenConstr___repr__)
        .property("shape", MGenConstr_shape,
                  "The shape of the matrix general constraint, as a tuple of ints")
        .property("size", MGenConstr_size, size_doc)
        .property("ndim", MGenConstr_ndim,
                  "The number of dimensions of this matrix general constraint")
        .method("item", "self", MGenConstr_item, item_doc)
        .method("tolist", "self", MGenConstr_tolist, tolist_doc)
        .classmethod("fromlist", "cls, genconstrlist", MGenConstr_fromlist, fromlist_doc)
        .property("_typename", MGenConstr__typename)
        .property("_typeenum", MGenConstr__typeenum)
        .method("__getitem__", "self, obj", MGenConstr___getitem__)
        .method("_idxarr", "self", MGenConstr__idxarr)
        .method("getAttr", "self, attrname", MGenConstr_getAttr, getAttr_doc)
        .method("setAttr", "self, attrname, value", MGenConstr_setAttr, setAttr_doc)
        .method("__getattr__", "self, name", MGenConstr___getattr__)
        .method("__setattr__", "self, name, value", MGenConstr___setattr__)
        .create();
}
