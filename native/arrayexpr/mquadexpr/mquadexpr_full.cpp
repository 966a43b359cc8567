// MQuadExpr: the whole-array operations copy, normalise, flatten, sum,
// getValue and clear.
#include "mquadexpr.hpp"
#include "mvar/mvar.hpp"
#include "zd_sparse.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

using namespace mquadexpr;

namespace {

void set_attr(py::handle obj, py::handle name, py::handle value) {
    zd::check(PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()));
}

constexpr npy_uint32 chunked = NPY_ITER_REFS_OK | NPY_ITER_EXTERNAL_LOOP | NPY_ITER_ZEROSIZE_OK;

// The solution values of a variable vector, one read of "X".
py::object solution_of(py::handle mvar, npy_intp n) {
    zd::ensure_numpy();
    py::object vals =
        zd::steal(PyArray_FromAny(mvar.attr("X").ptr(), PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                  NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST, nullptr));
    if (PyArray_SIZE(arr(vals)) != n)
        zd::raisef(PyExc_ValueError, "solution has %zd values for %zd variables",
                   PyArray_SIZE(arr(vals)), n);
    return vals;
}

} // namespace

// ---------------------------------------------------------------------------
// Copying
// ---------------------------------------------------------------------------

py::object MQuadExpr_copy(const zd::Args &a) {
    py::handle self = a[0];
    if (is_compact(self))
        return self.attr(ZD_STR("_copy_compact"))();
    return self.attr(ZD_STR("_copy_full"))();
}

py::object MQuadExpr__copy_compact(const zd::Args &a) {
    py::handle self = a[0];
    py::object parts = self.attr(ZD_STR("_copy_quadparts"))();
    py::object ndle = self.attr(ZD_STR("_ndle")).attr(ZD_STR("copy"))();
    return cls()(py::arg("quadparts") = parts, py::arg("ndle") = ndle);
}

py::object MQuadExpr__copy_quadparts(const zd::Args &a) {
    py::handle self = a[0];
    py::object sp = sparse();
    py::list out;
    if (nparts(self) == 0)
        return out;
    self.attr(ZD_STR("_concat_quadparts"))();
    py::tuple xQy = mvar::unpack(self.attr(ZD_STR("_quadparts"))[py::int_(0)], 3);
    py::object x = xQy[0].attr(ZD_STR("copy"))();
    py::object Q = zd::sparse::to_coo(xQy[1], true);
    py::object y = xQy[2].attr(ZD_STR("copy"))();
    out.append(py::make_tuple(x, Q, y));
    return out;
}

py::object MQuadExpr__copy_full(const zd::Args &a) {
    py::handle self = a[0];
    numpy();
    py::object ndle = self.attr(ZD_STR("_ndle")).attr(ZD_STR("copy"))();
    // The source is opened read-write, as the cell loop of the copy does.
    py::object out = cellrec::copy_cells<Rec>(qearr_of(self), chunked,
                                              NPY_ITER_READWRITE | NPY_ITER_NO_BROADCAST);
    return cls()(py::arg("qearr") = out, py::arg("ndle") = ndle);
}

// ---------------------------------------------------------------------------
// Normalisation and flattening
// ---------------------------------------------------------------------------

py::object MQuadExpr__normalize(const zd::Args &a) {
    py::handle self = a[0];
    numpy();
    self.attr(ZD_STR("_ndle")).attr(ZD_STR("_normalize"))();
    if (is_compact(self))
        return py::none();
    // An array without cells has nothing to normalise.
    cellrec::normalize_cells<Rec>(qearr_of(self), chunked | NPY_ITER_BUFFERED);
    return py::none();
}

py::object MQuadExpr__flatten(const zd::Args &a) {
    py::handle self = a[0];
    numpy();
    if (is_compact(self))
        return py::none();
    cellrec::flatten_cells<Rec>(qearr_of(self), false);
    return py::none();
}

// ---------------------------------------------------------------------------
// Summation
// ---------------------------------------------------------------------------

py::object MQuadExpr_sum(const zd::Args &a) {
    py::handle self = a[0], axis = a[1];
    numpy();
    self.attr(ZD_STR("_convert_to_full"))();
    py::object qearr = qearr_of(self);
    py::list kept;
    std::vector<int> axes = cellrec::sum_axes(axis, arr(qearr), kept, true);
    py::object result_shape = zd::steal(PySequence_Tuple(kept.ptr()));
    py::object ndle_sum = self.attr(ZD_STR("_ndle")).attr(ZD_STR("sum"))(axis);
    ZD_ASSERT(equals(ndle_sum.attr(ZD_STR("shape")), result_shape));
    py::object out = cls().attr(ZD_STR("_from_mlinexpr"))(ndle_sum, py::arg("force_full") = true);
    self.attr(ZD_STR("_flatten"))();
    // Every summand's term lists are appended to its sum cell's, in place.
    cellrec::sum_cells<Rec>(qearr, qearr_of(out), axes);
    return out;
}

// ---------------------------------------------------------------------------
// Evaluation and clearing
// ---------------------------------------------------------------------------

py::object MQuadExpr_getValue(const zd::Args &a) {
    py::handle self = a[0];
    numpy();
    py::object ndle = self.attr(ZD_STR("_ndle"));
    // A compact linear part of our own class lends what it read of the
    // solution: a quadratic form over the same variables reads it once.
    mlinexpr::SolutionRead lin;
    const bool own_compact =
        is_compact(self) &&
        Py_TYPE(ndle.ptr()) == reinterpret_cast<PyTypeObject *>(operand::MLinExpr_cls().ptr()) &&
        mlinexpr::is_compact(ndle);
    py::object ret =
        own_compact ? mlinexpr::compact_value(ndle, &lin) : ndle.attr(ZD_STR("getValue"))();
    if (is_compact(self)) {
        py::object part = self.attr(ZD_STR("_extract_xQy"))();
        if (part[py::int_(1)].is_none())
            return ret;
        Coo coo(part);
        const bool lent = lin.vars && PyArray_SIZE(arr(lin.vars)) == coo.nx &&
                          std::equal(coo.xitems(), coo.xitems() + coo.nx,
                                     static_cast<PyObject *const *>(PyArray_DATA(arr(lin.vars))));
        py::object xv = lent ? lin.values : solution_of(coo.x, coo.nx);
        // A form over one vector (x @ Q @ x) reads the solution once.
        const bool same =
            coo.nx == coo.ny && std::equal(coo.xitems(), coo.xitems() + coo.nx, coo.yitems());
        py::object yv = same ? xv : solution_of(coo.y, coo.ny);
        const double *xs = static_cast<const double *>(PyArray_DATA(arr(xv)));
        const double *ys = static_cast<const double *>(PyArray_DATA(arr(yv)));
        const double *d = coo.values();
        // (x @ Q) first, then its inner product with y.
        std::vector<double> xq(static_cast<size_t>(coo.ny), 0.0);
        coo.each([&](npy_intp k, npy_intp i, npy_intp j) { xq[j] += xs[i] * d[k]; });
        double value = 0.0;
        for (npy_intp j = 0; j < coo.ny; ++j)
            value += xq[j] * ys[j];
        py::object num = zd::steal(PyFloat_FromDouble(value));
        return arith::op_iadd(ret, num);
    }
    return arith::op_iadd(ret, cellrec::cell_values<Rec>(qearr_of(self)));
}

py::object MQuadExpr__getConstant(const zd::Args &a) {
    return a[0].attr(ZD_STR("_ndle")).attr(ZD_STR("getConstant"))();
}

py::object MQuadExpr_clear(const zd::Args &a) {
    py::handle self = a[0];
    self.attr(ZD_STR("_ndle")).attr(ZD_STR("clear"))();
    if (is_compact(self))
        set_attr(self, ZD_STR("_quadparts"), py::list());
    else
        cls().attr(ZD_STR("_clear_quad_array"))(self.attr(ZD_STR("_qearr")));
    return py::none();
}

py::object MQuadExpr__clear_quad_array(const zd::Args &a) {
    numpy();
    zd::ensure_numpy();
    py::handle qearr = a[0];
    if (!PyArray_Check(qearr.ptr()))
        zd::raisef(PyExc_TypeError, "Expected numpy.ndarray, got %.200s", zd::type_name(qearr));
    // An array without cells has nothing to clear.
    cellrec::clear_cells<Rec>(qearr, chunked);
    return py::none();
}
