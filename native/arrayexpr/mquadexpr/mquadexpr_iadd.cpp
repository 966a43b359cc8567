// MQuadExpr: in-place addition. Linear operands go into the linear part;
// quadratic ones add their linear part there and their quadratic terms into
// the quad parts (compact) or the cells (full).
#include "mquadexpr.hpp"
#include "mvar/mvar.hpp"

using namespace mquadexpr;

namespace {

// `self._ndle += other`, the result stored back.
void ndle_iadd(py::handle self, py::handle other) {
    arith::attr_inplace(self, ZD_STR("_ndle"), other, false);
}

// Var, LinExpr, MLinExpr, ndarray, SciPy sparse matrix: operands that go into
// the linear part alone (the scalars are tested last, after the quadratic
// kinds).
bool linear_operand(py::handle o) {
    return arith::isinst_g(o, ZD_STR("Var")) || arrayexpr::is_linexpr(o.ptr()) ||
           arith::isinst_g(o, ZD_STR("MLinExpr")) || arith::is_ndarray(o) || operand::is_sparse(o);
}

} // namespace

py::object MQuadExpr___iadd__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    numpy();
    const bool compact = is_compact(self) && keep_compact();
    if (!compact)
        self.attr(ZD_STR("_convert_to_full"))();
    if (linear_operand(other)) {
        ndle_iadd(self, other);
        return zd::borrow(self.ptr());
    }
    if (arrayexpr::is_quadexpr(other.ptr()))
        return arith::op_iadd(self, cls().attr(ZD_STR("_from_quad_expr"))(other));
    if (zd::isinstance(other, cls()))
        return self.attr(compact ? ZD_STR("_iadd_compact_mquadexpr")
                                 : ZD_STR("_iadd_full_mquadexpr"))(other);
    if (arith::is_scalar(other)) {
        ndle_iadd(self, other);
        return zd::borrow(self.ptr());
    }
    return arith::not_implemented();
}

py::object MQuadExpr__iadd_compact_mquadexpr(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    ndle_iadd(self, other.attr(ZD_STR("_ndle")));
    // Nothing quadratic goes into an expression without cells.
    const bool no_cells = equals(self.attr(ZD_STR("size")), py::int_(0));
    if (is_compact(other)) {
        if (nparts(other) == 0 || no_cells)
            return zd::borrow(self.ptr());
        other.attr(ZD_STR("_concat_quadparts"))();
        py::tuple xQy = mvar::unpack(other.attr(ZD_STR("_quadparts"))[py::int_(0)], 3);
        py::object x = xQy[0].attr(ZD_STR("copy"))();
        py::object Q = xQy[1].attr(ZD_STR("copy"))();
        py::object y = xQy[2].attr(ZD_STR("copy"))();
        self.attr(ZD_STR("_add_quadpart"))(x, Q, y);
        return zd::borrow(self.ptr());
    }
    self.attr(ZD_STR("_convert_to_full"))();
    if (no_cells)
        return zd::borrow(self.ptr());
    py::object qe_this = self.attr(ZD_STR("_qearr")).attr("item")();
    py::object qe_other = other.attr(ZD_STR("_qearr")).attr("item")();
    quadexpr(qe_this.ptr());
    call_with(qe_this.ptr(), ZD_STR("add"), qe_other.ptr());
    return zd::borrow(self.ptr());
}

py::object MQuadExpr__iadd_full_mquadexpr(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    numpy();
    py::object qearr_other = is_compact(other)
                                 ? other.attr(ZD_STR("_to_full"))().attr(ZD_STR("_qearr"))
                                 : other.attr(ZD_STR("_qearr"));
    py::object qearr = qearr_of(self);
    if (!PyArray_Check(qearr_other.ptr()))
        zd::raisef(PyExc_TypeError, "Expected numpy.ndarray, got %.200s",
                   zd::type_name(qearr_other));
    // Shapes and cells are checked before the linear part changes, so that
    // a refused operand leaves both halves as they were.
    cells::ChunkLoop({arr(qearr), arr(qearr_other)}, cellrec::kRefs | NPY_ITER_ZEROSIZE_OK,
                     {NPY_ITER_READONLY | NPY_ITER_NO_BROADCAST, NPY_ITER_READONLY});
    check_cells(qearr);
    check_cells(qearr_other);
    ndle_iadd(self, other.attr(ZD_STR("_ndle")));
    // Operand cells that are cells of self are read as they were before.
    cellrec::join_cells<Rec>(qearr, qearr_other);
    return zd::borrow(self.ptr());
}
