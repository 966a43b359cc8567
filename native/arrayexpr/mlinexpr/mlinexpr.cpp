// Class MLinExpr: N-dimensional array of linear expressions. The members live
// in the mlinexpr_*.cpp units; this unit holds the class table in definition
// order.
#include "mlinexpr.hpp"
#include "mlinexpr_arith.hpp"
#include "mlinexpr_matmul.hpp"

namespace {

const char MLinExpr_doc[] =
    "Matrix linear expression handle, acting as an array of LinExpr objects.\n"
    "\n"
    "MLinExpr objects are usually the result of arithmetic operations on MVar\n"
    "objects; MLinExpr.zeros() creates an all-zero expression of a given shape.\n"
    "Shape, dimensions and broadcasting follow the notions of NumPy's ndarray.";

const char zeros_doc[] = "ROUTINE:\n"
                         "  zeros(shape)\n"
                         "\n"
                         "PURPOSE:\n"
                         "  Construct an all-zero MLinExpr object of given shape.\n"
                         "\n"
                         "ARGUMENTS:\n"
                         "  shape: An int, or tuple of int, the shape of the object.\n"
                         "\n"
                         "RETURN VALUE:\n"
                         "  An MLinExpr object filled with zeros.\n"
                         "\n"
                         "EXAMPLE:\n"
                         "  x = model.addMVar(3)\n"
                         "  expr = tvp.MLinExpr.zeros(3)\n"
                         "  expr += 2 * x\n";

const char item_doc[] =
    "ROUTINE:\n"
    "  item()\n"
    "\n"
    "PURPOSE:\n"
    "  For a size-1 MLinExpr object, return a copy of its sole element\n"
    "  as a LinExpr object.\n"
    "\n"
    "ARGUMENTS:\n"
    "  None.\n"
    "\n"
    "RETURN VALUE:\n"
    "  A LinExpr object.\n"
    "\n"
    "EXAMPLE:\n"
    "  mle = 2 * model.addMVar((2, 2)) + 1\n"
    "  mle_01 = mle[0, 1]        # A 0-D MLinExpr encapsulating one LinExpr object\n"
    "  le_01 = mle[0, 1].item()  # A copy of the resident LinExpr object\n"
    "\n"
    "NOTES:\n"
    "  Raises a ValueError if this MLinExpr has more than one element.\n";

const char clear_doc[] = "ROUTINE:\n"
                         "  clear()\n"
                         "\n"
                         "PURPOSE:\n"
                         "  Reset this expression to all-zero.\n"
                         "\n"
                         "ARGUMENTS:\n"
                         "  None.\n"
                         "\n"
                         "RETURN VALUE:\n"
                         "  None.\n"
                         "\n"
                         "EXAMPLE:\n"
                         "  expr = 2 * model.addMVar(3) + 1\n"
                         "  expr.clear()  # All three entries are reset to the constant 0.0\n";

const char getConstant_doc[] = "ROUTINE:\n"
                               "  getConstant()\n"
                               "\n"
                               "PURPOSE:\n"
                               "  Return the constant term from this matrix linear expression.\n"
                               "\n"
                               "ARGUMENTS:\n"
                               "  None.\n"
                               "\n"
                               "RETURN VALUE:\n"
                               "  Constant for expression.\n"
                               "\n"
                               "EXAMPLE:\n"
                               "  expr = A @ x + b\n"
                               "  print(expr.getConstant())  # Prints b\n";

const char copy_doc[] = "ROUTINE:\n"
                        "  copy()\n"
                        "\n"
                        "PURPOSE:\n"
                        "  Create a copy of this expression.\n"
                        "\n"
                        "ARGUMENTS:\n"
                        "  None.\n"
                        "\n"
                        "RETURN VALUE:\n"
                        "  The new MLinExpr object.\n"
                        "\n"
                        "EXAMPLE:\n"
                        "  expr1 = 2 * model.addMVar(3) + 1.0\n"
                        "  expr2 = expr1.copy()\n"
                        "  expr2 += 2.0  # expr1 is left untouched\n";

const char sum_doc[] = "ROUTINE:\n"
                       "  sum(axis=None)\n"
                       "\n"
                       "PURPOSE:\n"
                       "  Sum the elements of this matrix linear expression.\n"
                       "\n"
                       "ARGUMENTS:\n"
                       "  axis (int, optional): The axis to sum along; None (the default)\n"
                       "  sums along all axes.\n"
                       "\n"
                       "RETURN VALUE:\n"
                       "  An MLinExpr representing the sum.\n"
                       "\n"
                       "EXAMPLE:\n"
                       "  expr = 2 * model.addMVar((2, 2)) - 1\n"
                       "  sum_rows = expr.sum(axis=0)  # Sum along the rows\n"
                       "  sum_cols = expr.sum(axis=1)  # Sum along the columns\n"
                       "  sum_all = expr.sum()         # Sum of all elements, a 0-D MLinExpr\n";

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
                            "  expr = A @ x + b\n"
                            "  model.optimize()\n"
                            "  print(expr.getValue())\n";

} // namespace

void define_MLinExpr() {
    zd::ClassBuilder("MLinExpr", arrayexpr::object_bases(), MLinExpr_doc)
        .attr("__array_priority__", py::int_(100))
        .attr("_keep_compact", py::int_(1))
        .method("__init__", "self, wraponly=None, matmulparts=None, b=None", MLinExpr___init__)
        .property("_is_compact", MLinExpr__is_compact)
        .staticmethod("_allows_compact", "shape", MLinExpr__allows_compact)
        .classmethod("zeros", "cls, shape", MLinExpr_zeros, zeros_doc)
        .classmethod("_zeros_full", "cls, shape", MLinExpr__zeros_full)
        .method("_concat_matmulparts", "self", MLinExpr__concat_matmulparts)
        .method("_extract_Axb", "self", MLinExpr__extract_Axb)
        .method("_convert_to_full", "self", MLinExpr__convert_to_full)
        .method("_to_full", "self", MLinExpr__to_full)
        .classmethod("_from_compact_affine_expr", "cls, x_left=None, A=None, x_right=None, b=None",
                     MLinExpr__from_compact_affine_expr)
        .method("_add_matmul_part", "self, A, x", MLinExpr__add_matmul_part)
        .classmethod("_from_matmul_right", "cls, A, x", MLinExpr__from_matmul_right)
        .classmethod("_from_matmul_left", "cls, x, A", MLinExpr__from_matmul_left)
        .classmethod("_from_matmul_right_ndarray", "cls, A, x", MLinExpr__from_matmul_right_ndarray)
        .classmethod("_from_matmul_right_spmatrix", "cls, A, x",
                     MLinExpr__from_matmul_right_spmatrix)
        .classmethod("_from_matmul_left_ndarray", "cls, x, A", MLinExpr__from_matmul_left_ndarray)
        .classmethod("_from_matmul_left_spmatrix", "cls, x, A", MLinExpr__from_matmul_left_spmatrix)
        .classmethod("_from_mvar", "cls, fromobj, force_full=False", MLinExpr__from_mvar)
        .classmethod("_from_mvar_compact", "cls, x", MLinExpr__from_mvar_compact)
        .classmethod("_from_mvar_full", "cls, fromobj", MLinExpr__from_mvar_full)
        .classmethod("_from_var", "cls, fromobj", MLinExpr__from_var)
        .classmethod("_from_linexpr", "cls, fromobj", MLinExpr__from_linexpr)
        .classmethod("_from_linexprs", "cls, les", MLinExpr__from_linexprs)
        .method("__repr__", "self", MLinExpr___repr__)
        .property("ndim", MLinExpr_ndim, "The number of dimensions of this expression")
        .property("shape", MLinExpr_shape, "The shape of the expression, as a tuple of ints")
        .property("size", MLinExpr_size, "The number of elements in this expression")
        .property("_leading_adim", MLinExpr__leading_adim)
        .method("item", "self", MLinExpr_item, item_doc)
        .method("__getitem__", "self, obj", MLinExpr___getitem__)
        .method("__setitem__", "self, obj, value", MLinExpr___setitem__)
        .method("_setitem_linexpr", "self, obj, value", MLinExpr__setitem_linexpr)
        .method("_setitem_mlinexpr", "self, obj, value", MLinExpr__setitem_mlinexpr)
        .method("_setitem_iaddable", "self, obj, value", MLinExpr__setitem_iaddable)
        .method("__add__", "self, other", MLinExpr___add__)
        .method("_add_compact_mlinexpr", "self, other", MLinExpr__add_compact_mlinexpr)
        .method("_add_compact_mlinexpr_compact", "self, other",
                MLinExpr__add_compact_mlinexpr_compact)
        .method("_add_full_mlinexpr", "self, other", MLinExpr__add_full_mlinexpr)
        .method("_add_full_ndarray", "self, other", MLinExpr__add_full_ndarray)
        .method("__radd__", "self, other", MLinExpr___radd__)
        .method("__iadd__", "self, other", MLinExpr___iadd__)
        .method("_iadd_compact_mlinexpr_compact", "self, other",
                MLinExpr__iadd_compact_mlinexpr_compact)
        .method("_iadd_compact_var", "self, other", MLinExpr__iadd_compact_var)
        .method("_iadd_compact_linexpr", "self, other", MLinExpr__iadd_compact_linexpr)
        .method("_iadd_compact_mlinexpr", "self, other", MLinExpr__iadd_compact_mlinexpr)
        .method("_iadd_full_scalar", "self, other", MLinExpr__iadd_full_scalar)
        .method("_iadd_full_ndarray", "self, other", MLinExpr__iadd_full_ndarray)
        .method("_iadd_full_mlinexpr", "self, other", MLinExpr__iadd_full_mlinexpr)
        .method("__sub__", "self, other", MLinExpr___sub__)
        .method("__rsub__", "self, other", MLinExpr___rsub__)
        .method("__isub__", "self, other", MLinExpr___isub__)
        .method("__itruediv__", "self, other", MLinExpr___itruediv__)
        .method("__truediv__", "self, other", MLinExpr___truediv__)
        .method("__rtruediv__", "self, other", MLinExpr___rtruediv__)
        .method("__imul__", "self, other", MLinExpr___imul__)
        .method("_imul_compact_scalar", "self, value", MLinExpr__imul_compact_scalar)
        .method("_imul_compact_ndarray", "self, arr", MLinExpr__imul_compact_ndarray)
        .method("_imul_compact_spmatrix", "self, spmat", MLinExpr__imul_compact_spmatrix)
        .method("_imul_full_spmatrix", "self, spmat", MLinExpr__imul_full_spmatrix)
        .method("_imul_scalar", "self, other", MLinExpr__imul_scalar)
        .method("_imul_ndarray", "self, other", MLinExpr__imul_ndarray)
        .method("__mul__", "self, other", MLinExpr___mul__)
        .method("_mul_compact_ndarray", "self, other", MLinExpr__mul_compact_ndarray)
        .method("_mul_ndarray_numpy", "self, other", MLinExpr__mul_ndarray_numpy)
        .method("_mul_full_mlinexpr_mvar", "self, other", MLinExpr__mul_full_mlinexpr_mvar)
        .method("__rmul__", "self, other", MLinExpr___rmul__)
        .staticmethod("_split_lin_quad", "mixarr", MLinExpr__split_lin_quad)
        .method("__matmul__", "self, other", MLinExpr___matmul__)
        .method("_matmul_compact_spmatrix_or_ndarray", "self, spmat",
                MLinExpr__matmul_compact_spmatrix_or_ndarray)
        .method("_matmul_full_spmatrix_or_ndarray", "self, other",
                MLinExpr__matmul_full_spmatrix_or_ndarray)
        .method("_matmul_compact_mvar", "self, y", MLinExpr__matmul_compact_mvar)
        .method("_matmul_full_mvar", "self, y", MLinExpr__matmul_full_mvar)
        .method("_matmul_compact_mlinexpr", "self, ndle", MLinExpr__matmul_compact_mlinexpr)
        .method("_matmul_compact_mlinexpr_compact", "self, ndle",
                MLinExpr__matmul_compact_mlinexpr_compact)
        .method("_matmul_full_mlinexpr", "self, ndle", MLinExpr__matmul_full_mlinexpr)
        .method("__rmatmul__", "self, other", MLinExpr___rmatmul__)
        .method("_rmatmul_compact_spmatrix_or_ndarray", "self, spmat",
                MLinExpr__rmatmul_compact_spmatrix_or_ndarray)
        .method("_rmatmul_full_spmatrix_or_ndarray", "self, other",
                MLinExpr__rmatmul_full_spmatrix_or_ndarray)
        .method("_rmatmul_full_mvar", "self, y", MLinExpr__rmatmul_full_mvar)
        .method("_rmatmul_compact_mvar", "self, y", MLinExpr__rmatmul_compact_mvar)
        .method("__pos__", "self", MLinExpr___pos__)
        .method("__pow__", "self, other", MLinExpr___pow__)
        .method("__rpow__", "self, other", MLinExpr___rpow__)
        .method("__neg__", "self", MLinExpr___neg__)
        .method("__le__", "self, rhs", MLinExpr___le__)
        .method("__ge__", "self, rhs", MLinExpr___ge__)
        .method("__eq__", "self, rhs", MLinExpr___eq__)
        .method("__ne__", "self, rhs", MLinExpr___ne__)
        .method("clear", "self", MLinExpr_clear, clear_doc)
        .method("_clear_compact", "self", MLinExpr__clear_compact)
        .method("_clear_full", "self", MLinExpr__clear_full)
        .method("getConstant", "self", MLinExpr_getConstant, getConstant_doc)
        .method("copy", "self", MLinExpr_copy, copy_doc)
        .method("_copy_compact", "self", MLinExpr__copy_compact)
        .method("_copy_full", "self", MLinExpr__copy_full)
        .method("_flatten", "self", MLinExpr__flatten)
        .method("_normalize", "self", MLinExpr__normalize)
        .method("sum", "self, axis=None", MLinExpr_sum, sum_doc)
        .method("getValue", "self", MLinExpr_getValue, getValue_doc)
        .create();
}
