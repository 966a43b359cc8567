// MQuadExpr: matrix products with a constant matrix on either side. The full
// products build each result cell once and add the further products into it
// in place: the terms and their order are those of a running sum, at linear
// cost in the contracted length.
#include "mlinexpr/mlinexpr_matmul.hpp"
#include "mquadexpr.hpp"

#include <cstring>

using namespace mquadexpr;

namespace {

bool is_matrix(py::handle o) {
    return arith::is_ndarray(o) || arith::is_sparse(o);
}

py::object nl_form(py::handle self) {
    return zd::global(ZD_STR("MNLExpr")).attr(ZD_STR("_from_mquadexpr"))(self);
}

// The hand-off of a product with a variable-bearing array.
bool variable_array(py::handle o, bool with_quad) {
    return arith::isinst_g(o, ZD_STR("MVar")) || arith::isinst_g(o, ZD_STR("MLinExpr")) ||
           (with_quad && zd::isinstance(o, cls()));
}

bool zero_dim(py::handle shape, Py_ssize_t index) {
    return equals(shape[py::int_(index)], py::int_(0));
}

// A product entry times a cell or a cell times an entry, as the core
// multiplies them (a new QuadExpr).
py::object product(PyObject *cell, double value, bool cell_left) {
    py::object f = zd::steal(PyFloat_FromDouble(value));
    return cell_left ? zd::steal(PyNumber_Multiply(cell, f.ptr()))
                     : zd::steal(PyNumber_Multiply(f.ptr(), cell));
}

// `sum += term` for the running sum of one result cell: in place for a
// QuadExpr (the sum is new, so no other object sees it change).
void accumulate(py::object &sum, py::handle term) {
    if (arrayexpr::is_quadexpr(sum.ptr()))
        call_with(sum.ptr(), ZD_STR("add"), term.ptr());
    else
        sum = arith::op_add(sum, term);
}

// The object-array product of two-dimensional operands: `cells` (object)
// and `nums` (float64), the cells on the left when `cell_left`. Result
// (m, n) with m, n from the left and right operand; k >= 1. Every length is
// taken from the array it indexes: contracted lengths that differ are
// refused as NumPy's product refuses them.
py::object matmul_2d(PyArrayObject *cells, PyArrayObject *nums, bool cell_left) {
    PyArrayObject *L = cell_left ? cells : nums;
    PyArrayObject *R = cell_left ? nums : cells;
    matmul::check_inner(PyArray_DIM(L, 1), PyArray_DIM(R, 0));
    const npy_intp m = PyArray_DIM(L, 0), k = PyArray_DIM(L, 1), n = PyArray_DIM(R, 1);
    npy_intp dims[2] = {m, n};
    py::object out = cellrec::new_object_array(2, dims);
    auto **o = static_cast<PyObject **>(PyArray_DATA(arr(out)));
    auto cell_at = [&](npy_intp r, npy_intp c) {
        PyObject *x = *reinterpret_cast<PyObject **>(
            PyArray_BYTES(cells) + r * PyArray_STRIDE(cells, 0) + c * PyArray_STRIDE(cells, 1));
        return x ? x : Py_None;
    };
    auto num_at = [&](npy_intp r, npy_intp c) {
        double v;
        std::memcpy(&v,
                    PyArray_BYTES(nums) + r * PyArray_STRIDE(nums, 0) + c * PyArray_STRIDE(nums, 1),
                    sizeof v);
        return v;
    };
    cells::GcPause gc_pause;
    for (npy_intp i = 0; i < m; ++i) {
        for (npy_intp j = 0; j < n; ++j) {
            py::object sum;
            for (npy_intp p = 0; p < k; ++p) {
                py::object term = cell_left ? product(cell_at(i, p), num_at(p, j), true)
                                            : product(cell_at(p, j), num_at(i, p), false);
                if (p == 0)
                    sum = term;
                else
                    accumulate(sum, term);
            }
            if (!sum)
                sum = new_quadexpr();
            Py_XSETREF(o[i * n + j], sum.release().ptr());
        }
    }
    return out;
}

// `qearr @ other` (cell_left) or `other @ qearr` for a dense operand, in the
// shape of the product of the two arrays. An array operand of one or two
// dimensions with numbers, and cells of one or two dimensions in aligned
// memory take the loop above; others NumPy's own object product.
py::object cell_product(py::handle qearr, py::handle other, bool cell_left) {
    PyArrayObject *q = cells::object_array(qearr);
    PyArrayObject *o = cells::as_ndarray(other);
    const int qd = PyArray_NDIM(q), od = o ? PyArray_NDIM(o) : 0;
    const bool numeric = o && (PyArray_ISBOOL(o) || PyArray_ISINTEGER(o) || PyArray_ISFLOAT(o));
    if (!numeric || qd < 1 || qd > 2 || od < 1 || od > 2 || !PyArray_ISALIGNED(q))
        return cell_left ? zd::steal(PyNumber_MatrixMultiply(qearr.ptr(), other.ptr()))
                         : zd::steal(PyNumber_MatrixMultiply(other.ptr(), qearr.ptr()));
    py::object nums =
        zd::steal(PyArray_FromAny(other.ptr(), PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                  NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
    // Vectors as a row on the left, a column on the right.
    auto as_2d = [](py::handle a, bool left) {
        PyArrayObject *x = arr(a);
        if (PyArray_NDIM(x) == 2)
            return zd::borrow(a.ptr());
        npy_intp len = PyArray_DIM(x, 0);
        npy_intp dims[2] = {left ? 1 : len, left ? len : 1};
        PyArray_Dims shape = {dims, 2};
        return zd::steal(PyArray_Newshape(x, &shape, NPY_CORDER));
    };
    py::object c2 = as_2d(qearr, cell_left);
    py::object n2 = as_2d(nums, !cell_left);
    py::object out = matmul_2d(arr(c2), arr(n2), cell_left);
    // The product's shape: a one-dimensional factor loses its lifted axis.
    const bool left_1d = (cell_left ? qd : od) == 1, right_1d = (cell_left ? od : qd) == 1;
    if (!left_1d && !right_1d)
        return out;
    npy_intp dims[2];
    int nd = 0;
    if (!left_1d)
        dims[nd++] = PyArray_DIM(arr(out), 0);
    if (!right_1d)
        dims[nd++] = PyArray_DIM(arr(out), 1);
    PyArray_Dims shape = {dims, nd};
    return zd::steal(PyArray_Newshape(arr(out), &shape, NPY_CORDER));
}

py::object full_product(py::handle self, py::handle other, bool cell_left) {
    numpy();
    py::object shape = self.attr(ZD_STR("shape"));
    py::object oshape = other.attr(ZD_STR("shape"));
    py::object res_shape =
        cell_left ? zd::global(ZD_STR("_matmul_shape"))(shape, oshape, py::arg("do_raise") = true)
                  : zd::global(ZD_STR("_matmul_shape"))(oshape, shape, py::arg("do_raise") = true);
    const Py_ssize_t sl = arith::length(shape);
    const bool empty = cell_left
                           ? (zero_dim(shape, sl - 1) || zero_dim(oshape, 0))
                           : (zero_dim(oshape, arith::length(oshape) - 1) || zero_dim(shape, 0));
    py::object zero = py::int_(0);
    if (empty || zd::check(PySequence_Contains(res_shape.ptr(), zero.ptr())))
        return cls().attr(ZD_STR("zeros"))(res_shape);
    py::object ndle =
        cell_left
            ? zd::steal(PyNumber_MatrixMultiply(self.attr(ZD_STR("_ndle")).ptr(), other.ptr()))
            : zd::steal(PyNumber_MatrixMultiply(other.ptr(), self.attr(ZD_STR("_ndle")).ptr()));
    py::object dense = zd::borrow(other.ptr());
    if (arith::is_sparse(dense))
        dense = dense.attr("toarray")();
    py::object qearr = cell_product(qearr_of(self), dense, cell_left);
    if (arrayexpr::is_quadexpr(qearr.ptr()))
        qearr = zero_d(qearr);
    py::object ret = cls()(py::arg("qearr") = qearr, py::arg("ndle") = ndle);
    ret.attr(ZD_STR("_normalize"))();
    return ret;
}

py::object compact_product(py::handle self, py::handle other, bool cell_left) {
    py::object ndle =
        cell_left
            ? zd::steal(PyNumber_MatrixMultiply(self.attr(ZD_STR("_ndle")).ptr(), other.ptr()))
            : zd::steal(PyNumber_MatrixMultiply(other.ptr(), self.attr(ZD_STR("_ndle")).ptr()));
    if (!truthy(cls().attr(ZD_STR("_allows_compact"))(ndle.attr(ZD_STR("shape"))))) {
        self.attr(ZD_STR("_convert_to_full"))();
        return full_product(self, other, cell_left);
    }
    // A product without cells, or over an operand without entries, is the
    // zero expression of its shape, as the full products give it.
    py::object dense = zd::borrow(other.ptr());
    if (arith::is_sparse(dense))
        dense = dense.attr("toarray")();
    if (equals(dense.attr("size"), py::int_(0)) || equals(ndle.attr(ZD_STR("size")), py::int_(0)))
        return cls().attr(ZD_STR("zeros"))(ndle.attr(ZD_STR("shape")));
    py::object value = arith::to_float(dense.attr("item")());
    py::object quadparts = self.attr(ZD_STR("_copy_quadparts"))();
    for (py::handle part : quadparts)
        arith::attr_inplace(part[py::int_(1)], ZD_STR("data"), value, true);
    return cls()(py::arg("quadparts") = quadparts, py::arg("ndle") = ndle);
}

py::object dispatch(py::handle self, py::handle other, bool cell_left) {
    numpy();
    if (variable_array(other, cell_left)) {
        py::object operand = nl_form(self);
        return cell_left ? zd::steal(PyNumber_MatrixMultiply(operand.ptr(), other.ptr()))
                         : zd::steal(PyNumber_MatrixMultiply(other.ptr(), operand.ptr()));
    }
    const bool compact = is_compact(self) && keep_compact();
    if (!compact)
        self.attr(ZD_STR("_convert_to_full"))();
    if (!is_matrix(other))
        return arith::not_implemented();
    const char *name = compact ? (cell_left ? "_matmul_compact_ndarray_or_spmatrix"
                                            : "_rmatmul_compact_ndarray_or_spmatrix")
                               : (cell_left ? "_matmul_full_ndarray_or_spmatrix"
                                            : "_rmatmul_full_ndarray_or_spmatrix");
    return self.attr(name)(other);
}

} // namespace

py::object MQuadExpr___matmul__(const zd::Args &a) {
    return dispatch(a[0], a[1], true);
}

py::object MQuadExpr___rmatmul__(const zd::Args &a) {
    return dispatch(a[0], a[1], false);
}

py::object MQuadExpr__matmul_compact_ndarray_or_spmatrix(const zd::Args &a) {
    return compact_product(a[0], a[1], true);
}

py::object MQuadExpr__rmatmul_compact_ndarray_or_spmatrix(const zd::Args &a) {
    return compact_product(a[0], a[1], false);
}

py::object MQuadExpr__matmul_full_ndarray_or_spmatrix(const zd::Args &a) {
    return full_product(a[0], a[1], true);
}

py::object MQuadExpr__rmatmul_full_ndarray_or_spmatrix(const zd::Args &a) {
    return full_product(a[0], a[1], false);
}
