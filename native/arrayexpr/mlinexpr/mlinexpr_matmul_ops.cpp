// MLinExpr: the `@` operator in both directions. Constant matrices keep the
// result linear (compact algebra on the merged matrix part, or NumPy's object
// product in the full state); variable-bearing operands give an MQuadExpr.
#include "mlinexpr_matmul.hpp"
#include "zd_sparse.hpp"

using namespace mlinexpr;
using namespace matmul;

namespace {

using operand::classify;
using operand::isinst_g;
using operand::Kind;
using operand::not_implemented;
inline py::object mlinexpr_cls() {
    return operand::MLinExpr_cls();
}
inline py::object mquadexpr_cls() {
    return operand::MQuadExpr_cls();
}

py::object matmul_op(py::handle l, py::handle r) {
    return zd::steal(PyNumber_MatrixMultiply(l.ptr(), r.ptr()));
}

bool is_zero(py::handle v) {
    return equals(v, py::int_(0));
}

py::object shape_of(py::handle o) {
    return o.attr(ZD_STR("shape"));
}

py::object first_dim(py::handle o) {
    return shape_of(o)[py::int_(0)];
}

py::object last_dim(py::handle o) {
    return shape_of(o)[py::int_(-1)];
}

Py_ssize_t ndim_of(py::handle o) {
    Py_ssize_t n = PyNumber_AsSsize_t(o.attr(ZD_STR("ndim")).ptr(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred())
        zd::throw_error();
    return n;
}

// Warns of a slow full-state product when a dimension of either operand
// exceeds 25.
void warn_if_chained(py::handle left, py::handle right) {
    py::object limit = py::int_(25);
    bool big = false;
    for (py::handle s : {shape_of(left), shape_of(right)}) {
        py::object it = zd::steal(PyObject_GetIter(s.ptr()));
        while (PyObject *raw = PyIter_Next(it.ptr())) {
            py::object d = zd::steal(raw);
            if (zd::check(PyObject_RichCompareBool(d.ptr(), limit.ptr(), Py_GT)))
                big = true;
        }
        if (PyErr_Occurred())
            zd::throw_error();
    }
    if (!big)
        return;
    py::object warnings = ZD_IMPORT("warnings");
    zd::call_method(warnings, ZD_STR("warn"),
                    "Chained matrix multiplications of MVars is inefficient, collect "
                    "numeric terms first when building expressions",
                    zd::borrow(PyExc_RuntimeWarning));
}

// A cell array of an object product: a single cell (two one-dimensional
// operands) becomes a 0-d array, a matrix subclass a plain array.
py::object as_cell_array(py::object out) {
    zd::ensure_numpy();
    if (PyArray_CheckExact(out.ptr()))
        return out;
    if (PyArray_Check(out.ptr()))
        return numpy().attr("asarray")(out);
    return operand::zero_d(out);
}

// The constants of a compact product, in the product's shape (a matrix
// operand gives a two-dimensional result where the shape rule gives fewer).
py::object constants(py::handle np, py::handle product, py::handle shape) {
    py::object b = zd::call_method(np, ZD_STR("asarray"), product);
    return zd::call_method(np, ZD_STR("reshape"), b, shape);
}

// (A, x, b) of a compact expression, parts merged in place.
struct Axb {
    py::object A, x, b;
};
Axb extract(py::handle e) {
    py::object t = zd::call_method(e, ZD_STR("_extract_Axb"));
    return {t[py::int_(0)], t[py::int_(1)], t[py::int_(2)]};
}

py::object quad_full(py::handle self, py::object mixarr) {
    py::object learr = zd::call_method(self, ZD_STR("_split_lin_quad"), mixarr);
    return mquadexpr_cls()(py::arg("qearr") = mixarr, py::arg("ndle") = mlinexpr_cls()(learr));
}

// The quad part (y flattened, copy of A, x) of a product of y with A x + b.
py::list quad_part_of(py::handle y, const Axb &e) {
    py::list parts;
    if (!e.A.is_none()) {
        py::object yflat =
            zd::global(ZD_STR("MVar"))(y.attr(ZD_STR("_vararr")).attr("reshape")(-1));
        parts.append(py::make_tuple(yflat, zd::sparse::to_coo(e.A, true), e.x.attr("copy")()));
    }
    return parts;
}

// self @ other, or other @ self when `reflected`: a constant matrix, an MVar
// or (not reflected) an MLinExpr operand, each to the member of self's state.
py::object matmul_dispatch(py::handle self, py::handle other, bool reflected) {
    const Kind k = classify(other);
    numpy();
    sparse();
    const bool compact = truthy(self.attr(ZD_STR("_is_compact"))) && keep_compact(mlinexpr_cls());
    if (!compact)
        zd::call_method(self, ZD_STR("_convert_to_full"));
    const char *name = nullptr;
    if (k == Kind::Sparse || k == Kind::NDArray)
        name = compact ? "_matmul_compact_spmatrix_or_ndarray" : "_matmul_full_spmatrix_or_ndarray";
    else if (k == Kind::MVar)
        name = compact ? "_matmul_compact_mvar" : "_matmul_full_mvar";
    else if (k == Kind::MLinExpr && !reflected)
        name = compact ? "_matmul_compact_mlinexpr" : "_matmul_full_mlinexpr";
    if (!name)
        return not_implemented();
    py::object member = zd::steal(PyUnicode_FromFormat("%s%s", reflected ? "_r" : "_", name + 1));
    return zd::call_method(self, member, other);
}

// The product of a compact self with a constant matrix M: self @ M, or M @ self
// when `reflected`. The constants are multiplied as arrays, the merged matrix
// part by the rule of each side.
py::object compact_const_product(py::handle self, py::handle M, bool reflected) {
    py::object np = numpy();
    sparse();
    py::object cls = mlinexpr_cls();
    py::object shape_prod = reflected ? product_shape(shape_of(M), shape_of(self))
                                      : product_shape(shape_of(self), shape_of(M));
    if (has_zero(shape_prod))
        return zd::call_method(cls, ZD_STR("zeros"), shape_prod);
    if (!truthy(zd::call_method(cls, ZD_STR("_allows_compact"), shape_prod))) {
        py::object tmp = zd::call_method(self, ZD_STR("_to_full"));
        return zd::call_method(tmp,
                               reflected ? ZD_STR("_rmatmul_full_spmatrix_or_ndarray")
                                         : ZD_STR("_matmul_full_spmatrix_or_ndarray"),
                               M);
    }
    py::object c = self.attr(ZD_STR("_const"));
    py::object b_out = constants(np, reflected ? matmul_op(M, c) : matmul_op(c, M), shape_prod);
    py::object ret = cls.attr(ZD_STR("_from_compact_affine_expr"))(py::arg("b") = b_out);
    if (PyObject_Length(self.attr(ZD_STR("_matmulparts")).ptr()) == 0)
        return ret;
    Axb e = extract(self);
    const Py_ssize_t nd = ndim_of(self);
    if (nd != 1 && nd != 2)
        zd::raise_assertion();
    const bool one_row = nd == 2 && equals(first_dim(self), py::int_(1));
    // A row vector on the left of M.T, or a matrix's rows with M.T beside
    // them (kron); on the right of M: the part times M, or M beside a row.
    py::object L = reflected ? zd::borrow(M.ptr()) : M.attr("T");
    const bool kron = reflected ? one_row : (nd == 2 && !one_row);
    py::object A_out =
        kron ? zd::sparse::kron(L, e.A, "csr") : zd::sparse::to_csr(matmul_op(L, e.A), false);
    zd::call_method(ret, ZD_STR("_add_matmul_part"), A_out, e.x.attr("copy")());
    return ret;
}

// The product of a full self with a constant matrix: NumPy's object product of
// the cells, normalised; a product without cells is all zeros.
py::object full_const_product(py::handle self, py::handle M_in, bool reflected) {
    py::object M = zd::borrow(M_in.ptr());
    numpy();
    sparse();
    py::handle left = reflected ? M_in : self, right = reflected ? self : M_in;
    py::object res_shape = product_shape(shape_of(left), shape_of(right));
    if (is_zero(last_dim(left)) || is_zero(first_dim(right)) || has_zero(res_shape))
        return mlinexpr_cls().attr(ZD_STR("zeros"))(res_shape);
    warn_if_chained(self, M);
    if (zd::sparse::issparse(M))
        M = zd::call_method(M, ZD_STR("toarray"));
    py::object cells_ = self.attr(ZD_STR("_learr"));
    py::object learr_out = as_cell_array(reflected ? matmul_op(M, cells_) : matmul_op(cells_, M));
    py::object ret = mlinexpr_cls()(learr_out);
    zd::call_method(ret, ZD_STR("_normalize"));
    return ret;
}

} // namespace

// ---------------------------------------------------------------------------
// self @ other
// ---------------------------------------------------------------------------

py::object MLinExpr___matmul__(const zd::Args &a) {
    return matmul_dispatch(a[0], a[1], false);
}

py::object MLinExpr__matmul_compact_spmatrix_or_ndarray(const zd::Args &a) {
    return compact_const_product(a[0], a[1], false);
}

py::object MLinExpr__matmul_full_spmatrix_or_ndarray(const zd::Args &a) {
    return full_const_product(a[0], a[1], false);
}

py::object MLinExpr__matmul_compact_mvar(const zd::Args &a) {
    py::handle self = a[0], y = a[1];
    py::object np = numpy();
    py::object sp = sparse();
    py::object shape_result = product_shape(shape_of(self), shape_of(y));
    py::object mq = mquadexpr_cls();
    if (has_zero(shape_result))
        return zd::call_method(mq, ZD_STR("zeros"), shape_result);
    if (!truthy(zd::call_method(mq, ZD_STR("_allows_compact"), shape_result))) {
        py::object tmp = zd::call_method(self, ZD_STR("_to_full"));
        return zd::call_method(tmp, ZD_STR("_matmul_full_mvar"), y);
    }
    Axb e = extract(self);
    py::object ndle = matmul_op(e.b, y);
    py::list quadparts = quad_part_of(y, e);
    return mq(py::arg("quadparts") = quadparts, py::arg("ndle") = ndle);
}

py::object MLinExpr__matmul_full_mvar(const zd::Args &a) {
    py::handle self = a[0], y = a[1];
    py::object np = numpy();
    py::object res_shape = product_shape(shape_of(self), shape_of(y));
    if (is_zero(last_dim(self)) || is_zero(first_dim(y)) || has_zero(res_shape))
        return mquadexpr_cls().attr(ZD_STR("zeros"))(res_shape);
    py::object mixarr = zd::call_method(
        np, ZD_STR("asarray"), matmul_op(self.attr(ZD_STR("_learr")), y.attr(ZD_STR("_vararr"))));
    return quad_full(self, mixarr);
}

py::object MLinExpr__matmul_compact_mlinexpr(const zd::Args &a) {
    py::handle self = a[0], ndle = a[1];
    py::object res_shape = product_shape(shape_of(self), shape_of(ndle));
    if (!truthy(ndle.attr(ZD_STR("_is_compact"))) ||
        !truthy(mquadexpr_cls().attr(ZD_STR("_allows_compact"))(res_shape))) {
        zd::call_method(self, ZD_STR("_convert_to_full"));
        return zd::call_method(self, ZD_STR("_matmul_full_mlinexpr"), ndle);
    }
    return zd::call_method(self, ZD_STR("_matmul_compact_mlinexpr_compact"), ndle);
}

py::object MLinExpr__matmul_compact_mlinexpr_compact(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    py::object np = numpy();
    py::object sp = sparse();
    py::object res_shape = product_shape(shape_of(self), shape_of(other));
    if (has_zero(res_shape))
        return mquadexpr_cls().attr(ZD_STR("zeros"))(res_shape);
    Axb e = extract(self);
    Axb f = extract(other);
    py::object b_out = zd::call_method(np, ZD_STR("asarray"), matmul_op(e.b, f.b));
    py::list matmulparts;
    if (!f.A.is_none())
        matmulparts.append(py::make_tuple(zd::sparse::to_csr(matmul_op(e.b, f.A), false), f.x));
    if (!e.A.is_none())
        matmulparts.append(
            py::make_tuple(zd::sparse::to_csr(matmul_op(f.b.attr("T"), e.A), false), e.x));
    py::object lin = mlinexpr_cls()(py::arg("matmulparts") = matmulparts, py::arg("b") = b_out);
    py::list quadparts;
    if (!e.A.is_none() && !f.A.is_none())
        quadparts.append(
            py::make_tuple(e.x, zd::sparse::to_coo(matmul_op(e.A.attr("T"), f.A), false), f.x));
    return mquadexpr_cls()(py::arg("quadparts") = quadparts, py::arg("ndle") = lin);
}

py::object MLinExpr__matmul_full_mlinexpr(const zd::Args &a) {
    py::handle self = a[0], ndle = a[1];
    py::object np = numpy();
    py::object res_shape = product_shape(shape_of(self), shape_of(ndle));
    if (is_zero(last_dim(self)) || is_zero(first_dim(ndle)) || has_zero(res_shape))
        return mquadexpr_cls().attr(ZD_STR("zeros"))(res_shape);
    warn_if_chained(self, ndle);
    if (truthy(ndle.attr(ZD_STR("_is_compact"))))
        zd::call_method(ndle, ZD_STR("_convert_to_full"));
    py::object mixprod = zd::call_method(
        np, ZD_STR("asarray"), matmul_op(self.attr(ZD_STR("_learr")), ndle.attr(ZD_STR("_learr"))));
    ZD_ASSERT(equals(shape_of(mixprod), res_shape));
    return quad_full(self, mixprod);
}

// ---------------------------------------------------------------------------
// other @ self
// ---------------------------------------------------------------------------

py::object MLinExpr___rmatmul__(const zd::Args &a) {
    return matmul_dispatch(a[0], a[1], true);
}

py::object MLinExpr__rmatmul_compact_spmatrix_or_ndarray(const zd::Args &a) {
    return compact_const_product(a[0], a[1], true);
}

py::object MLinExpr__rmatmul_full_spmatrix_or_ndarray(const zd::Args &a) {
    return full_const_product(a[0], a[1], true);
}

py::object MLinExpr__rmatmul_full_mvar(const zd::Args &a) {
    py::handle self = a[0], y = a[1];
    py::object np = numpy();
    py::object res_shape = product_shape(shape_of(y), shape_of(self));
    if (is_zero(last_dim(y)) || is_zero(first_dim(self)) || has_zero(res_shape))
        return mquadexpr_cls().attr(ZD_STR("zeros"))(res_shape);
    py::object mixarr = zd::call_method(
        np, ZD_STR("asarray"), matmul_op(y.attr(ZD_STR("_vararr")), self.attr(ZD_STR("_learr"))));
    return quad_full(self, mixarr);
}

py::object MLinExpr__rmatmul_compact_mvar(const zd::Args &a) {
    py::handle self = a[0], y = a[1];
    py::object np = numpy();
    py::object sp = sparse();
    py::object shape_result = product_shape(shape_of(y), shape_of(self));
    py::object mq = mquadexpr_cls();
    if (has_zero(shape_result))
        return zd::call_method(mq, ZD_STR("zeros"), shape_result);
    if (!truthy(zd::call_method(mq, ZD_STR("_allows_compact"), shape_result))) {
        py::object tmp = zd::call_method(self, ZD_STR("_to_full"));
        return zd::call_method(tmp, ZD_STR("_rmatmul_full_mvar"), y);
    }
    Axb e = extract(self);
    py::object ndle = matmul_op(y, e.b);
    py::list quadparts = quad_part_of(y, e);
    return mq(py::arg("quadparts") = quadparts, py::arg("ndle") = ndle);
}
