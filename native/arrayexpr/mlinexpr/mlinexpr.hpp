// Class MLinExpr: members implemented in the mlinexpr*.cpp units, and the
// helpers these units share.
#pragma once

#include "cells.hpp"
#include "exprkind.hpp"
#include "operand.hpp"

namespace mlinexpr {

// Function-local imports, as every member that uses them does.
inline py::object numpy() {
    return ZD_IMPORT("numpy");
}
inline py::object sparse() {
    return ZD_IMPORT("scipy.sparse");
}

using zd::equals;
using zd::truthy;

// `owner._keep_compact == 1`.
bool keep_compact(py::handle owner);

// The state test of the `_is_compact` property, with its assertions.
bool is_compact(py::handle self);

// MLinExpr(arr): a full-state expression of class MLinExpr over `arr`.
py::object wrap_full(py::handle arr);

// Unpacks a pair with the texts of a failed unpacking into two values.
inline std::pair<py::object, py::object> unpack2(py::handle obj) {
    py::tuple t = zd::unpack(obj, 2);
    return {t[0], t[1]};
}

// The array of `self._learr` (TypeError when it is not an ndarray).
py::object learr_of(py::handle self);

// What a compact getValue() read: the variables of its merged part (a flat
// object array) and their values (float64, C order).
struct SolutionRead {
    py::object vars, values;
};
// getValue() of a compact expression (mlinexpr_full.cpp); `read`, when
// given and the expression has a part, receives what it read.
py::object compact_value(py::handle self, SolutionRead *read = nullptr);

} // namespace mlinexpr

#define ZD_MEMBER(name) py::object name(const zd::Args &a)

// Storage states, compact algebra and factories (mlinexpr_core.cpp).
ZD_MEMBER(MLinExpr___init__);
ZD_MEMBER(MLinExpr__is_compact);
ZD_MEMBER(MLinExpr__allows_compact);
ZD_MEMBER(MLinExpr_zeros);
ZD_MEMBER(MLinExpr__zeros_full);
ZD_MEMBER(MLinExpr__concat_matmulparts);
ZD_MEMBER(MLinExpr__extract_Axb);
ZD_MEMBER(MLinExpr__from_compact_affine_expr);
ZD_MEMBER(MLinExpr__add_matmul_part);
ZD_MEMBER(MLinExpr__from_mvar);
ZD_MEMBER(MLinExpr__from_mvar_compact);
ZD_MEMBER(MLinExpr__from_mvar_full);
ZD_MEMBER(MLinExpr__from_var);
ZD_MEMBER(MLinExpr__from_linexpr);
ZD_MEMBER(MLinExpr__from_linexprs);
ZD_MEMBER(MLinExpr_ndim);
ZD_MEMBER(MLinExpr_shape);
ZD_MEMBER(MLinExpr_size);
ZD_MEMBER(MLinExpr__leading_adim);

// Conversion, whole-array operations and full-state in-place addition
// (mlinexpr_full.cpp).
ZD_MEMBER(MLinExpr__convert_to_full);
ZD_MEMBER(MLinExpr__to_full);
ZD_MEMBER(MLinExpr_clear);
ZD_MEMBER(MLinExpr__clear_compact);
ZD_MEMBER(MLinExpr__clear_full);
ZD_MEMBER(MLinExpr_getConstant);
ZD_MEMBER(MLinExpr_copy);
ZD_MEMBER(MLinExpr__copy_compact);
ZD_MEMBER(MLinExpr__copy_full);
ZD_MEMBER(MLinExpr__flatten);
ZD_MEMBER(MLinExpr__normalize);
ZD_MEMBER(MLinExpr_sum);
ZD_MEMBER(MLinExpr_getValue);
ZD_MEMBER(MLinExpr___iadd__);
ZD_MEMBER(MLinExpr__iadd_full_scalar);
ZD_MEMBER(MLinExpr__iadd_full_ndarray);
ZD_MEMBER(MLinExpr__iadd_full_mlinexpr);

// Printing, element access and item assignment (mlinexpr_access.cpp).
ZD_MEMBER(MLinExpr___repr__);
ZD_MEMBER(MLinExpr_item);
ZD_MEMBER(MLinExpr___getitem__);
ZD_MEMBER(MLinExpr___setitem__);
ZD_MEMBER(MLinExpr__setitem_linexpr);
ZD_MEMBER(MLinExpr__setitem_mlinexpr);
ZD_MEMBER(MLinExpr__setitem_iaddable);

#undef ZD_MEMBER
