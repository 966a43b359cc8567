// MLinExpr matrix products: the factories of constant-matrix products with
// variable arrays and their full-state builders (mlinexpr_matmul.cpp), and
// the `@` operators in both directions (mlinexpr_matmul_ops.cpp).
#pragma once

#include "mlinexpr.hpp"

namespace matmul {

// _matmul_shape(left, right, do_raise=True).
py::object product_shape(py::handle left, py::handle right);
// `0 in shape`.
bool has_zero(py::handle shape);
// Refuses a product whose contracted lengths differ (`left_k`, the left
// factor's last length; `right_k`, the right factor's first) with NumPy's
// ValueError for such operands.
void check_inner(npy_intp left_k, npy_intp right_k);

} // namespace matmul

#define ZD_MEMBER(name) py::object name(const zd::Args &a)

ZD_MEMBER(MLinExpr__from_matmul_right);
ZD_MEMBER(MLinExpr__from_matmul_left);
ZD_MEMBER(MLinExpr__from_matmul_right_ndarray);
ZD_MEMBER(MLinExpr__from_matmul_right_spmatrix);
ZD_MEMBER(MLinExpr__from_matmul_left_ndarray);
ZD_MEMBER(MLinExpr__from_matmul_left_spmatrix);

ZD_MEMBER(MLinExpr___matmul__);
ZD_MEMBER(MLinExpr__matmul_compact_spmatrix_or_ndarray);
ZD_MEMBER(MLinExpr__matmul_full_spmatrix_or_ndarray);
ZD_MEMBER(MLinExpr__matmul_compact_mvar);
ZD_MEMBER(MLinExpr__matmul_full_mvar);
ZD_MEMBER(MLinExpr__matmul_compact_mlinexpr);
ZD_MEMBER(MLinExpr__matmul_compact_mlinexpr_compact);
ZD_MEMBER(MLinExpr__matmul_full_mlinexpr);
ZD_MEMBER(MLinExpr___rmatmul__);
ZD_MEMBER(MLinExpr__rmatmul_compact_spmatrix_or_ndarray);
ZD_MEMBER(MLinExpr__rmatmul_full_spmatrix_or_ndarray);
ZD_MEMBER(MLinExpr__rmatmul_full_mvar);
ZD_MEMBER(MLinExpr__rmatmul_compact_mvar);

#undef ZD_MEMBER
