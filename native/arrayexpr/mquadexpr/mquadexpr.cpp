// Class MQuadExpr: N-dimensional array of quadratic expressions. The members
// live in the mquadexpr_*.cpp units; this unit holds the class table in
// definition order.
#include "mquadexpr.hpp"

namespace {

const char MQuadExpr_doc[] =
    "Matrix quadratic expression handle, acting as an array of QuadExpr objects.\n"
    "\n"
    "MQuadExpr objects are created through operations with MVar and MLinExpr\n"
    "objects (add, multiply, matrix multiply); MQuadExpr.zeros() creates an\n"
    "all-zero expression of a given shape. Concepts such as shape, dimensions\n"
    "and broadcasting follow those of NumPy's ndarray; see the NumPy\n"
    "documentation for details.";

const char item_doc[] =
    "ROUTINE:\n"
    "  item()\n"
    "\n"
    "PURPOSE:\n"
    "  For a size-1 MQuadExpr, returns a copy of its sole element as a\n"
    "  QuadExpr object.\n"
    "\n"
    "ARGUMENTS:\n"
    "  None.\n"
    "\n"
    "EXAMPLE:\n"
    "  mqe = 2 * model.addMVar((2, 2))**2 + 1\n"
    "  mqe_sub = mqe[0, 1]  # A 0-D MQuadExpr encapsulating one QuadExpr object\n"
    "  mqe_le = mqe[0, 1].item()  # A copy of the resident QuadExpr object\n"
    "\n"
    "NOTES:\n"
    "  This method only works for MQuadExpr of size 1. Calling it on an\n"
    "  MQuadExpr of a different size will raise a ValueError.\n";

const char zeros_doc[] = "ROUTINE:\n"
                         "  zeros(shape)\n"
                         "\n"
                         "PURPOSE:\n"
                         "  Construct an all-zero MQuadExpr object of given shape.\n"
                         "\n"
                         "ARGUMENTS:\n"
                         "  shape: (int, or tuple of ints):  The requested shape.\n"
                         "\n"
                         "RETURN VALUE:\n"
                         "  An MQuadExpr object, filled with zeros.\n"
                         "\n"
                         "EXAMPLE:\n"
                         "  mqe = tvp.MQuadExpr.zeros(3)\n"
                         "  x = model.addMVar(3)\n"
                         "  mqe += 2 * x * x\n";

const char copy_doc[] = "ROUTINE:\n"
                        "  copy()\n"
                        "\n"
                        "PURPOSE:\n"
                        "  Create a copy of this expression.\n"
                        "\n"
                        "ARGUMENTS:\n"
                        "  None.\n"
                        "\n"
                        "EXAMPLE:\n"
                        "  orig = 2 * model.addMVar(3)**2 + 1.0\n"
                        "  copy = orig.copy()\n"
                        "  copy += 2.0  # Leaves 'orig' untouched\n";

const char sum_doc[] = "ROUTINE:\n"
                       "  sum(axis=None)\n"
                       "\n"
                       "PURPOSE:\n"
                       "  Sum the elements of this matrix quadratic expression.\n"
                       "\n"
                       "ARGUMENTS:\n"
                       "  axis (int, optional):\n"
                       "    Sum along the specified axis.  If set to None, summation takes\n"
                       "    place along all axes of this MQuadExpr.\n"
                       "\n"
                       "RETURN VALUE:\n"
                       "  An MQuadExpr representing the sum.\n"
                       "\n"
                       "EXAMPLE:\n"
                       "  expr = 2 * model.addMVar((2, 2))**2 - 1\n"
                       "  sum_row = expr.sum(axis=0)  # Sum along the rows\n"
                       "  sum_col = expr.sum(axis=1)  # Sum along the columns\n"
                       "  sum_all = expr.sum()  # Sum all elements; result is 0-D\n";

const char getValue_doc[] = "ROUTINE:\n"
                            "  getValue()\n"
                            "\n"
                            "PURPOSE:\n"
                            "  Compute the value of this expression, using the current solution.\n"
                            "\n"
                            "ARGUMENTS:\n"
                            "  None.\n"
                            "\n"
                            "RETURN VALUE:\n"
                            "  The computed matrix expression value, as a NumPy ndarray.\n"
                            "\n"
                            "EXAMPLE:\n"
                            "  expr = x @ Q @ x + p @ x\n"
                            "  print(expr.getValue())\n";

const char clear_doc[] = "ROUTINE:\n"
                         "  clear()\n"
                         "\n"
                         "PURPOSE:\n"
                         "  Reset this expression to all-zero.\n"
                         "\n"
                         "ARGUMENTS:\n"
                         "  None.\n"
                         "\n"
                         "EXAMPLE:\n"
                         "  expr = 2 * model.addMVar(3)**2 + 1\n"
                         "  expr.clear()  # All three entries are reset to constant 0.0\n";

} // namespace

void define_MQuadExpr() {
    zd::ClassBuilder("MQuadExpr", arrayexpr::object_bases(), MQuadExpr_doc)
        .attr("__array_priority__", py::int_(100))
        .attr("_keep_compact", py::int_(1))
        .method("__init__", "self, qearr=None, quadparts=None, ndle=None", MQuadExpr___init__)
        .property("shape", MQuadExpr_shape, "The shape of the expression, as a tuple of ints")
        .property("ndim", MQuadExpr_ndim, "The number of dimensions of this expression")
        .property("size", MQuadExpr_size, "The number of elements in this expression")
        .property("_is_compact", MQuadExpr__is_compact)
        .staticmethod("_allows_compact", "shape", MQuadExpr__allows_compact)
        .method("item", "self", MQuadExpr_item, item_doc)
        .method("_add_quadpart", "self, x, Q, y", MQuadExpr__add_quadpart)
        .method("_concat_quadparts", "self", MQuadExpr__concat_quadparts)
        .method("_extract_xQy", "self", MQuadExpr__extract_xQy)
        .method("_extract_quadexpr", "self", MQuadExpr__extract_quadexpr)
        .method("__repr__", "self", MQuadExpr___repr__)
        .method("_to_full", "self", MQuadExpr__to_full)
        .method("_convert_to_full", "self", MQuadExpr__convert_to_full)
        .classmethod("zeros", "cls, shape", MQuadExpr_zeros, zeros_doc)
        .classmethod("_zeros_full", "cls, shape", MQuadExpr__zeros_full)
        .classmethod("_from_mlinexpr", "cls, ndle, force_full=False", MQuadExpr__from_mlinexpr)
        .classmethod("_from_mvar_times_mvar", "cls, mvar_left, mvar_right, force_full=False",
                     MQuadExpr__from_mvar_times_mvar)
        .classmethod("_from_quad_expr", "cls, qe", MQuadExpr__from_quad_expr)
        .classmethod("_from_quadfun", "cls, x, Q, y, c=None, z=None, d=None",
                     MQuadExpr__from_quadfun)
        .classmethod("_from_quadfun_compact", "cls, x, Q, y, ndle", MQuadExpr__from_quadfun_compact)
        .classmethod("_from_quadfun_full", "cls, x, Q, y, ndle", MQuadExpr__from_quadfun_full)
        .method("__getitem__", "self, obj", MQuadExpr___getitem__)
        .method("__setitem__", "self, obj, value", MQuadExpr___setitem__)
        .method("_setitem_linear", "self, obj, value", MQuadExpr__setitem_linear)
        .method("_setitem_mquadexpr", "self, obj, value", MQuadExpr__setitem_mquadexpr)
        .method("copy", "self", MQuadExpr_copy, copy_doc)
        .method("_copy_compact", "self", MQuadExpr__copy_compact)
        .method("_copy_quadparts", "self", MQuadExpr__copy_quadparts)
        .method("_copy_full", "self", MQuadExpr__copy_full)
        .method("_normalize", "self", MQuadExpr__normalize)
        .method("_flatten", "self", MQuadExpr__flatten)
        .method("sum", "self, axis=None", MQuadExpr_sum, sum_doc)
        .method("__iadd__", "self, other", MQuadExpr___iadd__)
        .method("_iadd_compact_mquadexpr", "self, other", MQuadExpr__iadd_compact_mquadexpr)
        .method("_iadd_full_mquadexpr", "self, other", MQuadExpr__iadd_full_mquadexpr)
        .method("__add__", "self, other", MQuadExpr___add__)
        .method("_add_compact_mlinexpr", "self, other", MQuadExpr__add_compact_mlinexpr)
        .method("_add_full_mlinexpr", "self, other", MQuadExpr__add_full_mlinexpr)
        .method("_add_compact_mquadexpr", "self, other", MQuadExpr__add_compact_mquadexpr)
        .method("_add_full_mquadexpr", "self, other", MQuadExpr__add_full_mquadexpr)
        .method("__radd__", "self, other", MQuadExpr___radd__)
        .method("__sub__", "self, other", MQuadExpr___sub__)
        .method("__rsub__", "self, other", MQuadExpr___rsub__)
        .method("__isub__", "self, other", MQuadExpr___isub__)
        .method("__truediv__", "self, other", MQuadExpr___truediv__)
        .method("__rtruediv__", "self, other", MQuadExpr___rtruediv__)
        .method("__itruediv__", "self, other", MQuadExpr___itruediv__)
        .method("__imul__", "self, other", MQuadExpr___imul__)
        .method("_imul_compact_scalar", "self, other", MQuadExpr__imul_compact_scalar)
        .method("_imul_compact_ndarray", "self, other", MQuadExpr__imul_compact_ndarray)
        .method("_imul_full_scalar", "self, other", MQuadExpr__imul_full_scalar)
        .method("_imul_full_ndarray", "self, other", MQuadExpr__imul_full_ndarray)
        .method("__mul__", "self, other", MQuadExpr___mul__)
        .method("__rmul__", "self, other", MQuadExpr___rmul__)
        .method("_mul_compact_ndarray", "self, other", MQuadExpr__mul_compact_ndarray)
        .method("_mul_full_ndarray", "self, other", MQuadExpr__mul_full_ndarray)
        .method("__matmul__", "self, other", MQuadExpr___matmul__)
        .method("__rmatmul__", "self, other", MQuadExpr___rmatmul__)
        .method("_matmul_compact_ndarray_or_spmatrix", "self, other",
                MQuadExpr__matmul_compact_ndarray_or_spmatrix)
        .method("_rmatmul_compact_ndarray_or_spmatrix", "self, other",
                MQuadExpr__rmatmul_compact_ndarray_or_spmatrix)
        .method("_matmul_full_ndarray_or_spmatrix", "self, other",
                MQuadExpr__matmul_full_ndarray_or_spmatrix)
        .method("_rmatmul_full_ndarray_or_spmatrix", "self, other",
                MQuadExpr__rmatmul_full_ndarray_or_spmatrix)
        .method("getValue", "self", MQuadExpr_getValue, getValue_doc)
        .method("_getConstant", "self", MQuadExpr__getConstant)
        .method("clear", "self", MQuadExpr_clear, clear_doc)
        .staticmethod("_clear_quad_array", "qearr", MQuadExpr__clear_quad_array)
        .method("__le__", "self, rhs", MQuadExpr___le__)
        .method("__ge__", "self, rhs", MQuadExpr___ge__)
        .method("__eq__", "self, rhs", MQuadExpr___eq__)
        .method("__ne__", "self, rhs", MQuadExpr___ne__)
        .method("__pos__", "self", MQuadExpr___pos__)
        .method("__neg__", "self", MQuadExpr___neg__)
        .method("__pow__", "self, exponent", MQuadExpr___pow__)
        .method("__rpow__", "self, other", MQuadExpr___rpow__)
        .create();
}
