// MLinExpr: the operations that join cells term list by term list: sum and
// the full-state in-place addition.
#include "cellrec.hpp"
#include "mlinexpr.hpp"
#include "zd_sparse.hpp"

#include <cstring>
#include <unordered_set>
#include <vector>

using namespace mlinexpr;
using cellrec::LinRec;

namespace {

using zd::arr;

using zd::set_attr;

using cellrec::float_of;

} // namespace

// ---------------------------------------------------------------------------
// Summation
// ---------------------------------------------------------------------------

py::object MLinExpr_sum(const zd::Args &a) {
    py::handle self = a[0], axis = a[1];
    numpy();
    zd::ensure_numpy();
    zd::call_method(self, ZD_STR("_convert_to_full"));
    py::object learr = learr_of(self);
    py::list kept;
    std::vector<int> axes = cellrec::sum_axes(axis, arr(learr), kept, true);
    py::object out = zd::global(ZD_STR("MLinExpr")).attr(ZD_STR("_zeros_full"))(py::tuple(kept));
    zd::call_method(self, ZD_STR("_flatten"));
    cellrec::sum_cells<LinRec>(learr, learr_of(out), axes);
    return out;
}

// ---------------------------------------------------------------------------
// In-place addition, full state
// ---------------------------------------------------------------------------

py::object MLinExpr___iadd__(const zd::Args &a) {
    using operand::Kind;
    py::handle self = a[0], other = a[1];
    const Kind k = operand::classify(other);
    sparse();
    zd::ensure_numpy();
    py::object MLinExpr = zd::global(ZD_STR("MLinExpr"));
    if (is_compact(self) && keep_compact(MLinExpr)) {
        // Compact: parts are appended and constants added; no cells are made.
        py::object addend;
        switch (k) {
        case Kind::Var:
            return zd::call_method(self, ZD_STR("_iadd_compact_var"), other);
        case Kind::LinExpr:
            return zd::call_method(self, ZD_STR("_iadd_compact_linexpr"), other);
        case Kind::MVar:
            return zd::call_method(self, ZD_STR("_iadd_compact_mlinexpr"),
                                   zd::call_method(MLinExpr, ZD_STR("_from_mvar"), other));
        case Kind::MLinExpr:
            return zd::call_method(self, ZD_STR("_iadd_compact_mlinexpr"), other);
        case Kind::NDArray:
        case Kind::Number:
            addend = zd::borrow(other.ptr());
            break;
        case Kind::Sparse:
            addend = zd::call_method(other, ZD_STR("toarray"));
            break;
        default:
            return zd::borrow(Py_NotImplemented);
        }
        py::object sum =
            zd::steal(PyNumber_InPlaceAdd(self.attr(ZD_STR("_const")).ptr(), addend.ptr()));
        set_attr(self, ZD_STR("_const"), sum);
        return zd::borrow(self.ptr());
    }
    zd::call_method(self, ZD_STR("_convert_to_full"));
    py::object op;
    switch (k) {
    case Kind::MLinExpr:
        op = zd::borrow(other.ptr());
        if (is_compact(op))
            op = zd::call_method(op, ZD_STR("_to_full"));
        return zd::call_method(self, ZD_STR("_iadd_full_mlinexpr"), op);
    case Kind::MVar:
        op = MLinExpr.attr(ZD_STR("_from_mvar"))(other, py::arg("force_full") = true);
        return zd::call_method(self, ZD_STR("_iadd_full_mlinexpr"), op);
    case Kind::LinExpr:
        op = zd::call_method(MLinExpr, ZD_STR("_from_linexpr"), other);
        return zd::call_method(self, ZD_STR("_iadd_full_mlinexpr"), op);
    case Kind::Var:
        op = zd::call_method(MLinExpr, ZD_STR("_from_var"), other);
        return zd::call_method(self, ZD_STR("_iadd_full_mlinexpr"), op);
    case Kind::NDArray:
        return zd::call_method(self, ZD_STR("_iadd_full_ndarray"), other);
    case Kind::Sparse:
        return zd::call_method(self, ZD_STR("_iadd_full_ndarray"),
                               zd::call_method(other, ZD_STR("toarray")));
    case Kind::Number:
        return zd::call_method(self, ZD_STR("_iadd_full_scalar"), other);
    default:
        return zd::borrow(Py_NotImplemented);
    }
}

py::object MLinExpr__iadd_full_scalar(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    numpy();
    const double val = float_of(other);
    py::object zero = zd::steal(PyFloat_FromDouble(0.0));
    if (zd::check(PyObject_RichCompareBool(other.ptr(), zero.ptr(), Py_EQ)))
        return zd::borrow(self.ptr());
    py::object learr = learr_of(self);
    cells::ChunkLoop loop({arr(learr)},
                          NPY_ITER_REFS_OK | NPY_ITER_EXTERNAL_LOOP | NPY_ITER_ZEROSIZE_OK,
                          {NPY_ITER_READWRITE});
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp i = 0; i < n; ++i)
            cells::linexpr(cells::cell_at(data[0], strides[0], i))->constant += val;
    });
    return zd::borrow(self.ptr());
}

py::object MLinExpr__iadd_full_ndarray(const zd::Args &a) {
    py::handle self = a[0];
    numpy();
    py::object other = zd::steal(PyArray_FROM_O(a[1].ptr()));
    py::object learr = learr_of(self);
    cellrec::each_cell_with_number(
        learr, other, [](PyObject *cell, double v) { cells::linexpr(cell)->constant += v; });
    return zd::borrow(self.ptr());
}

py::object MLinExpr__iadd_full_mlinexpr(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    numpy();
    py::object learr = learr_of(self);
    cellrec::join_cells<LinRec>(learr, learr_of(other));
    return zd::borrow(self.ptr());
}
