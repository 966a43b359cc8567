// MLinExpr: addition, the compact paths of in-place addition, subtraction,
// division, unary operators, powers and comparisons. The operators choose a
// path by operand kind; the work is done by the compact algebra (SciPy calls
// on the parts) and by the full-state cell loops.
#include "mlinexpr_arith.hpp"
#include "../ownmembers.hpp"
#include "../temporary.hpp"
#include "zd_sparse.hpp"

#include <cstring>
#include <optional>
#include <type_traits>
#include <vector>

using namespace mlinexpr;
using namespace arith;

namespace {

using namespace operand;

// `retval = start; retval += other; return retval`.
py::object copy_then_iadd(py::handle start, py::handle other) {
    return op_iadd(start, other);
}

py::object full_plus_mvar(py::handle self, py::handle mvar);

py::object quad_sum(py::handle self, py::handle other) {
    py::object retval = zd::global(ZD_STR("MQuadExpr")).attr(ZD_STR("_from_mlinexpr"))(self);
    return op_iadd(retval, other);
}

py::object parts_of(py::handle e) {
    return e.attr(ZD_STR("_matmulparts"));
}

py::object shape_attr(py::handle e) {
    return e.attr(ZD_STR("shape"));
}

} // namespace

// ---------------------------------------------------------------------------
// Addition
// ---------------------------------------------------------------------------

py::object MLinExpr___add__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    const Kind k = classify(other);
    numpy();
    py::object sp = sparse();
    if (k == Kind::NLExpr)
        return op_add(nl_form(self), other);
    py::object MLE = MLinExpr_cls();
    if (py::object sum = mlinexpr::add_into_temporary(self, other))
        return sum;
    if (compact_path(self)) {
        if (k == Kind::MLinExpr)
            return zd::call_method(self, ZD_STR("_add_compact_mlinexpr"), other);
        if (k == Kind::MVar)
            return zd::call_method(self, ZD_STR("_add_compact_mlinexpr"),
                                   zd::call_method(MLE, ZD_STR("_from_mvar"), other));
        if (k == Kind::NDArray)
            return self.attr(ZD_STR("_add_compact_mlinexpr"))(
                MLE.attr(ZD_STR("_from_compact_affine_expr"))(py::arg("b") = other));
        if (k == Kind::Sparse)
            return self.attr(ZD_STR("_add_compact_mlinexpr"))(
                MLE.attr(ZD_STR("_from_compact_affine_expr"))(
                    py::arg("b") = zd::call_method(other, ZD_STR("toarray"))));
        if (k == Kind::Var || k == Kind::LinExpr)
            return copy_then_iadd(zd::call_method(self, ZD_STR("copy")), other);
        if (k == Kind::QuadExpr)
            return quad_sum(self, other);
        if (k == Kind::Number)
            return copy_then_iadd(zd::call_method(self, ZD_STR("copy")), to_float(other));
        return not_implemented();
    }
    zd::call_method(self, ZD_STR("_convert_to_full"));
    if (k == Kind::MLinExpr) {
        py::object op = zd::borrow(other.ptr());
        if (is_compact(op))
            op = zd::call_method(op, ZD_STR("_to_full"));
        return zd::call_method(self, ZD_STR("_add_full_mlinexpr"), op);
    }
    if (k == Kind::MVar) {
        if (py::object sum = full_plus_mvar(self, other))
            return sum;
        return self.attr(ZD_STR("_add_full_mlinexpr"))(
            MLE.attr(ZD_STR("_from_mvar"))(other, py::arg("force_full") = true));
    }
    if (k == Kind::NDArray)
        return zd::call_method(self, ZD_STR("_add_full_ndarray"), other);
    if (k == Kind::Sparse)
        return zd::call_method(self, ZD_STR("_add_full_ndarray"),
                               zd::call_method(other, ZD_STR("toarray")));
    if (k == Kind::QuadExpr)
        return quad_sum(self, other);
    if (k == Kind::Number || k == Kind::Var || k == Kind::LinExpr)
        return copy_then_iadd(zd::call_method(self, ZD_STR("copy")), other);
    return not_implemented();
}

py::object MLinExpr__add_compact_mlinexpr(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    py::object result_shape =
        zd::global(ZD_STR("_broadcast_shapes"))(shape_attr(self), shape_attr(other));
    if (!is_compact(other)) {
        py::object tmp = zd::call_method(self, ZD_STR("_to_full"));
        if (equals(result_shape, shape_attr(tmp)))
            return zd::call_method(tmp, ZD_STR("_iadd_full_mlinexpr"), other);
        return zd::call_method(tmp, ZD_STR("_add_full_mlinexpr"), other);
    }
    if (!truthy(MLinExpr_cls().attr(ZD_STR("_allows_compact"))(result_shape))) {
        py::object left = zd::call_method(self, ZD_STR("_to_full"));
        py::object right = zd::call_method(other, ZD_STR("_to_full"));
        return zd::call_method(left, ZD_STR("_add_full_mlinexpr"), right);
    }
    return zd::call_method(self, ZD_STR("_add_compact_mlinexpr_compact"), other);
}

namespace {

using zd::arr;

// Reads element k of an int32 or int64 index array.
struct IndexView {
    const void *p = nullptr;
    bool wide = false;
    npy_intp size = 0;
    IndexView(const void *data, bool is64, npy_intp n) : p(data), wide(is64), size(n) {}
    int64_t operator[](npy_intp k) const {
        return wide ? static_cast<const int64_t *>(p)[k] : static_cast<const int32_t *>(p)[k];
    }
};

// One CSR block of a horizontal stack: its m rows (or its one row repeated
// m times).
struct Block {
    std::optional<zd::sparse::Compressed> m;
    npy_intp rows = 0, cols = 0;
    bool repeat = false;
};

// scipy.sparse.hstack of CSR blocks with the same row count (a one-row block
// repeated over every row), built from the raw arrays in one pass, with one
// csr_matrix call for the result. Index arrays are int32 when they fit, as
// SciPy chooses them. Stored entries are kept as they are (order, explicit
// zeros, duplicates).
py::object hstack_rows(std::vector<Block> &blocks, npy_intp m) {
    zd::ensure_numpy();
    npy_intp nnz = 0, ncols = 0;
    for (auto &b : blocks) {
        const npy_intp need = b.repeat ? 1 : m;
        b.m->check_lines(need);
        const npy_intp n = b.m->pointer(need) - b.m->pointer(0);
        nnz += b.repeat ? n * m : n;
        ncols += b.cols;
    }
    const bool small = nnz <= INT32_MAX && ncols <= INT32_MAX;
    const int itype = small ? NPY_INT32 : NPY_INT64;
    npy_intp dn = nnz, dp = m + 1;
    py::object data = zd::steal(PyArray_SimpleNew(1, &dn, NPY_DOUBLE));
    py::object indices = zd::steal(PyArray_SimpleNew(1, &dn, itype));
    py::object indptr = zd::steal(PyArray_SimpleNew(1, &dp, itype));
    double *od = static_cast<double *>(PyArray_DATA(arr(data)));
    // Raw views of the blocks, read once.
    struct Raw {
        IndexView ptr, idx;
        const double *val;
        int64_t cols, off;
        bool repeat;
    };
    std::vector<Raw> raw;
    int64_t off = 0;
    for (auto &b : blocks) {
        raw.push_back({IndexView(b.m->ptr_data(), b.m->ptr64, b.m->nptr),
                       IndexView(b.m->idx_data(), b.m->idx64, b.m->nnz), b.m->values, b.cols, off,
                       b.repeat});
        off += b.cols;
    }
    auto fill = [&](auto *oi, auto *op) {
        using I = std::remove_pointer_t<decltype(oi)>;
        npy_intp pos = 0;
        op[0] = 0;
        // Entries [k, e) of one block into the output at pos, columns shifted
        // by the block's offset: a typed loop per run, values copied as is.
        auto run = [&](const Raw &b, int64_t k, int64_t e) {
            if (e <= k)
                return;
            std::memcpy(od + pos, b.val + k, static_cast<size_t>(e - k) * sizeof(double));
            auto cols_of = [&](const auto *src) {
                // Unsigned in the wider of the two index types: a negative
                // index compares as out of range, and the loop vectorizes.
                using S = std::remove_cv_t<std::remove_pointer_t<decltype(src)>>;
                using U = std::make_unsigned_t<std::conditional_t<(sizeof(S) > sizeof(I)), S, I>>;
                const U lim = static_cast<U>(b.cols), sh = static_cast<U>(b.off);
                const S *from = src + k;
                I *dst = oi + pos;
                const int64_t len = e - k;
                U bad = 0;
                for (int64_t j = 0; j < len; ++j) {
                    const U c = static_cast<U>(from[j]);
                    bad |= static_cast<U>(c >= lim);
                    dst[j] = static_cast<I>(c + sh);
                }
                if (bad)
                    zd::sparse::raise_index_out_of_range();
            };
            if (b.idx.wide)
                cols_of(static_cast<const int64_t *>(b.idx.p));
            else
                cols_of(static_cast<const int32_t *>(b.idx.p));
            pos += e - k;
        };
        if (raw.size() == 1 && !raw[0].repeat) {
            // One block over every row: one run of all its entries, row
            // pointers rebased to zero.
            const Raw &b = raw[0];
            const int64_t base = b.ptr[0];
            run(b, base, b.ptr[m]);
            for (npy_intp i = 1; i <= m; ++i)
                op[i] = static_cast<I>(b.ptr[i] - base);
            return;
        }
        for (npy_intp i = 0; i < m; ++i) {
            for (const Raw &b : raw) {
                const npy_intp r = b.repeat ? 0 : i;
                run(b, b.ptr[r], b.ptr[r + 1]);
            }
            op[i + 1] = static_cast<I>(pos);
        }
    };
    if (small)
        fill(static_cast<int32_t *>(PyArray_DATA(arr(indices))),
             static_cast<int32_t *>(PyArray_DATA(arr(indptr))));
    else
        fill(static_cast<int64_t *>(PyArray_DATA(arr(indices))),
             static_cast<int64_t *>(PyArray_DATA(arr(indptr))));
    return zd::sparse::csr_from_arrays(data, indices, indptr, py::make_tuple(m, ncols));
}

} // namespace

py::object MLinExpr__add_compact_mlinexpr_compact(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    py::object np = numpy();
    py::object sp = sparse();
    py::object b = zd::call_method(
        np, ZD_STR("asarray"), op_add(self.attr(ZD_STR("_const")), other.attr(ZD_STR("_const"))));
    const npy_intp m = PyArray_SIZE(arr(b));
    py::object MLE = MLinExpr_cls();
    ZD_ASSERT(truthy(zd::call_method(MLE, ZD_STR("_allows_compact"), b.attr("shape"))));
    std::vector<Block> blocks;
    py::list x_parts;
    for (py::handle e : {self, other}) {
        // A sum without cells carries no matmul part (an operand may have
        // cells that broadcast against a zero-length dimension).
        if (m == 0 || length(parts_of(e)) == 0)
            continue;
        const Py_ssize_t lead = ssize(e.attr(ZD_STR("_leading_adim")));
        ZD_ASSERT(lead == 1 || lead == m);
        zd::call_method(e, ZD_STR("_concat_matmulparts"));
        auto [A, x] = unpack2(parts_of(e)[py::int_(0)]);
        Block blk;
        blk.m.emplace(A);
        auto [rows, cols] = unpack2(A.attr("shape"));
        blk.rows = ssize(rows);
        blk.cols = ssize(cols);
        blk.repeat = lead != m;
        if (!blk.repeat && blk.rows != m)
            zd::raisef(PyExc_ValueError, "part matrix has %zd rows, the expression has %zd cells",
                       blk.rows, m);
        blocks.push_back(std::move(blk));
        x_parts.append(x.attr(ZD_STR("_vararr")));
    }
    py::list matmulparts;
    if (!blocks.empty()) {
        py::object A = hstack_rows(blocks, m);
        py::object x =
            zd::global(ZD_STR("MVar"))(zd::call_method(np, ZD_STR("concatenate"), x_parts));
        matmulparts.append(py::make_tuple(A, x));
    }
    return MLE(py::arg("matmulparts") = matmulparts, py::arg("b") = b);
}

namespace {

// a + b for two cells, as the core makes it: for two plain LinExpr cells
// without continuation the sum is built here (constants added, term lists
// joined into new lists sharing the items), else the core's operator runs.
PyObject *cell_sum(PyObject *a, PyObject *b) {
    if (a && b && cells::exact_linexpr(a) && cells::exact_linexpr(b)) {
        auto *ra = reinterpret_cast<LinExprObject *>(a);
        auto *rb = reinterpret_cast<LinExprObject *>(b);
        PyObject *lists[4] = {ra->coef_list, ra->var_list, rb->coef_list, rb->var_list};
        bool plain = ra->cont_ref == Py_None && rb->cont_ref == Py_None;
        for (PyObject *l : lists)
            plain = plain && l && PyList_CheckExact(l);
        if (plain && PyList_GET_SIZE(lists[0]) == PyList_GET_SIZE(lists[1]) &&
            PyList_GET_SIZE(lists[2]) == PyList_GET_SIZE(lists[3])) {
            const Py_ssize_t na = PyList_GET_SIZE(lists[0]);
            const Py_ssize_t n = na + PyList_GET_SIZE(lists[2]);
            py::object coefs = zd::steal(cells::new_term_list(n));
            py::object vars = zd::steal(cells::new_term_list(n));
            for (int side = 0; side < 2; ++side) {
                PyObject **c = reinterpret_cast<PyListObject *>(lists[2 * side])->ob_item;
                PyObject **v = reinterpret_cast<PyListObject *>(lists[2 * side + 1])->ob_item;
                const Py_ssize_t off = side ? na : 0;
                const Py_ssize_t len = PyList_GET_SIZE(lists[2 * side]);
                for (Py_ssize_t i = 0; i < len; ++i) {
                    Py_INCREF(c[i]);
                    PyList_SET_ITEM(coefs.ptr(), off + i, c[i]);
                    Py_INCREF(v[i]);
                    PyList_SET_ITEM(vars.ptr(), off + i, v[i]);
                }
            }
            double constant = 0.0;
            constant += ra->constant;
            constant += rb->constant;
            return cells::new_linexpr(constant, coefs.release().ptr(), vars.release().ptr())
                .release()
                .ptr();
        }
    }
    PyObject *r = PyNumber_Add(a ? a : Py_None, b ? b : Py_None);
    if (!r)
        zd::throw_error();
    return r;
}

// Cell-wise sum of two cell arrays of the same shape, into a new array.
py::object same_shape_sum(PyArrayObject *x, PyArrayObject *y) {
    return cells::pair_cells(x, y, [](PyObject *cx, PyObject *cy) { return cell_sum(cx, cy); });
}

// a + 1.0 * var for a cell and a variable, as the core makes the sum of the
// cell and LinExpr(1.0, var): built here for a plain cell, else through the
// core's operator with that LinExpr.
PyObject *cell_plus_var(PyObject *a, PyObject *var, PyObject *one) {
    if (a && cells::exact_linexpr(a)) {
        auto *ra = reinterpret_cast<LinExprObject *>(a);
        PyObject *ac = ra->coef_list, *av = ra->var_list;
        if (ra->cont_ref == Py_None && ac && av && PyList_CheckExact(ac) && PyList_CheckExact(av) &&
            PyList_GET_SIZE(ac) == PyList_GET_SIZE(av)) {
            const Py_ssize_t na = PyList_GET_SIZE(ac);
            py::object coefs = zd::steal(cells::new_term_list(na + 1));
            py::object vars = zd::steal(cells::new_term_list(na + 1));
            for (Py_ssize_t i = 0; i < na; ++i) {
                PyObject *c = PyList_GET_ITEM(ac, i), *v = PyList_GET_ITEM(av, i);
                Py_INCREF(c);
                PyList_SET_ITEM(coefs.ptr(), i, c);
                Py_INCREF(v);
                PyList_SET_ITEM(vars.ptr(), i, v);
            }
            Py_INCREF(one);
            PyList_SET_ITEM(coefs.ptr(), na, one);
            Py_INCREF(var);
            PyList_SET_ITEM(vars.ptr(), na, var);
            double constant = 0.0;
            constant += ra->constant;
            constant += 0.0;
            return cells::new_linexpr(constant, coefs.release().ptr(), vars.release().ptr())
                .release()
                .ptr();
        }
    }
    py::object coefs = zd::steal(cells::new_term_list(1));
    Py_INCREF(one);
    PyList_SET_ITEM(coefs.ptr(), 0, one);
    py::object vars = zd::steal(cells::new_term_list(1));
    Py_INCREF(var);
    PyList_SET_ITEM(vars.ptr(), 0, var);
    py::object term = cells::new_linexpr(0.0, coefs.release().ptr(), vars.release().ptr());
    PyObject *r = PyNumber_Add(a ? a : Py_None, term.ptr());
    if (!r)
        zd::throw_error();
    return r;
}

// Full-state self + an MVar of the same shape whose cells are all variables,
// without a full-state copy of the MVar in between; null when the operands do
// not qualify, or when a member that the general path calls has been replaced
// on MVar or MLinExpr (the general path serves them).
py::object full_plus_mvar(py::handle self, py::handle mvar) {
    if (!arrayexpr::own_members())
        return py::object();
    zd::ensure_numpy();
    py::object learr = learr_of(self);
    py::object vararr = mvar.attr(ZD_STR("_vararr"));
    PyArrayObject *x = cells::as_ndarray(learr);
    PyArrayObject *v = cells::as_ndarray(vararr);
    if (!x || !v || PyArray_TYPE(x) != NPY_OBJECT || PyArray_TYPE(v) != NPY_OBJECT ||
        !PyArray_SAMESHAPE(x, v) || !equals(mvar.attr(ZD_STR("shape")), cells::shape_of(x)))
        return py::object();
    py::object var_cls = zd::global(ZD_STR("Var"));
    if (!PyType_Check(var_cls.ptr()))
        return py::object();
    auto *var_type = reinterpret_cast<PyTypeObject *>(var_cls.ptr());
    if (!cells::all_cells_of(v, var_type))
        return py::object();
    py::object one = zd::steal(PyFloat_FromDouble(1.0));
    return wrap_full(cells::pair_cells(
        x, v, [&one](PyObject *cx, PyObject *cv) { return cell_plus_var(cx, cv, one.ptr()); }));
}

py::object full_sum(py::handle learr, py::handle other) {
    zd::ensure_numpy();
    PyArrayObject *x = cells::as_ndarray(learr);
    PyArrayObject *y = cells::as_ndarray(other);
    if (x && y && PyArray_TYPE(x) == NPY_OBJECT && PyArray_TYPE(y) == NPY_OBJECT &&
        PyArray_SAMESHAPE(x, y))
        return wrap_full(same_shape_sum(x, y));
    py::object result;
    {
        // NumPy's object loop makes one new cell per cell: no cycles to find.
        cells::GcPause pause;
        result = op_add(learr, other);
    }
    if (!PyArray_Check(result.ptr())) {
        // Two 0-d operands give the bare cell: wrap it as a 0-d array.
        py::object cell = result;
        result = zd::steal(PyArray_SimpleNew(0, nullptr, NPY_OBJECT));
        auto **slot = reinterpret_cast<PyObject **>(PyArray_DATA(arr(result)));
        Py_INCREF(cell.ptr());
        Py_XSETREF(*slot, cell.ptr());
    }
    return wrap_full(result);
}

} // namespace

py::object MLinExpr__add_full_mlinexpr(const zd::Args &a) {
    return full_sum(learr_of(a[0]), learr_of(a[1]));
}

py::object MLinExpr__add_full_ndarray(const zd::Args &a) {
    return full_sum(learr_of(a[0]), a[1]);
}

py::object MLinExpr___radd__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    const Kind k = classify(other);
    if (k == Kind::NLExpr)
        return op_add(other, nl_form(self));
    return op_add(self, other);
}

// ---------------------------------------------------------------------------
// In-place addition, compact state
// ---------------------------------------------------------------------------

py::object MLinExpr__iadd_compact_mlinexpr_compact(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    py::object np = numpy();
    py::object sp = sparse();
    ZD_ASSERT(is_compact(self));
    ZD_ASSERT(is_compact(other));
    zd::global(ZD_STR("_broadcast_shapes"))(shape_attr(self), shape_attr(other));
    attr_inplace(self, ZD_STR("_const"), other.attr(ZD_STR("_const")), false);
    if (length(parts_of(other)) == 0)
        return zd::borrow(self.ptr());
    const Py_ssize_t m = ssize(self.attr(ZD_STR("_leading_adim")));
    // An expression without cells carries no matmul part.
    if (m == 0)
        return zd::borrow(self.ptr());
    zd::call_method(other, ZD_STR("_concat_matmulparts"));
    auto [A_other, x_other] = unpack2(parts_of(other)[py::int_(0)]);
    const Py_ssize_t rows = ssize(A_other.attr("shape")[py::int_(0)]);
    if (rows == m) {
        zd::call_method(self, ZD_STR("_add_matmul_part"), zd::call_method(A_other, ZD_STR("copy")),
                        zd::call_method(x_other, ZD_STR("copy")));
    } else if (rows == 1) {
        py::object A_new =
            zd::sparse::kron(zd::call_method(np, ZD_STR("ones"), py::make_tuple(m, 1)), A_other);
        zd::call_method(self, ZD_STR("_add_matmul_part"), A_new,
                        zd::call_method(x_other, ZD_STR("copy")));
    } else {
        ZD_ASSERT(false);
    }
    return zd::borrow(self.ptr());
}

py::object MLinExpr__iadd_compact_var(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    py::object np = numpy();
    const Py_ssize_t m = ssize(self.attr(ZD_STR("_leading_adim")));
    // An expression without cells carries no matmul part.
    if (m == 0)
        return zd::borrow(self.ptr());
    py::object A = np.attr("ones")(py::make_tuple(m, 1), py::arg("dtype") = np.attr("float64"));
    py::list one;
    one.append(other);
    py::object x = zd::global(ZD_STR("MVar"))(np.attr("array")(one, py::arg("dtype") = "O"));
    zd::call_method(self, ZD_STR("_add_matmul_part"), A, x);
    return zd::borrow(self.ptr());
}

py::object MLinExpr__iadd_compact_linexpr(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    py::object np = numpy();
    cells::linexpr(other.ptr());
    zd::call_method(other, ZD_STR("_flatten"));
    LinExprObject *le = cells::linexpr(other.ptr());
    py::object le_coef = zd::borrow(le->coef_list);
    py::object le_vars = zd::borrow(le->var_list);
    py::object le_const = zd::steal(PyFloat_FromDouble(le->constant));
    const Py_ssize_t m = ssize(self.attr(ZD_STR("_leading_adim")));
    const Py_ssize_t n = length(le_vars);
    py::object A = np.attr("broadcast_to")(le_coef, py::arg("shape") = py::make_tuple(m, n));
    py::object x = zd::global(ZD_STR("MVar")).attr(ZD_STR("fromlist"))(le_vars);
    attr_inplace(self, ZD_STR("_const"), le_const, false);
    if (ssize(A.attr("size")) > 0)
        zd::call_method(self, ZD_STR("_add_matmul_part"), zd::call_method(A, ZD_STR("copy")), x);
    return zd::borrow(self.ptr());
}

py::object MLinExpr__iadd_compact_mlinexpr(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    if (is_compact(other))
        return zd::call_method(self, ZD_STR("_iadd_compact_mlinexpr_compact"), other);
    py::object tmp = zd::call_method(self, ZD_STR("_to_full"));
    zd::call_method(tmp, ZD_STR("_iadd_full_mlinexpr"), other);
    set_attr(self, ZD_STR("_learr"), tmp.attr(ZD_STR("_learr")));
    set_attr(self, ZD_STR("_matmulparts"), Py_None);
    set_attr(self, ZD_STR("_const"), Py_None);
    return zd::borrow(self.ptr());
}

// ---------------------------------------------------------------------------
// Subtraction and division
// ---------------------------------------------------------------------------

py::object MLinExpr___sub__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    const Kind k = classify(other);
    numpy();
    if (k == Kind::NLExpr)
        return op_sub(nl_form(self), other);
    if (!(k == Kind::Var || k == Kind::LinExpr || k == Kind::QuadExpr || k == Kind::NDArray ||
          k == Kind::MVar || k == Kind::MLinExpr || k == Kind::MQuadExpr) &&
        k != Kind::Number)
        return not_implemented();
    return op_add(self, op_mul(minus_one(), other));
}

py::object MLinExpr___rsub__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    const Kind k = classify(other);
    if (k == Kind::NLExpr)
        return op_sub(other, nl_form(self));
    py::object ret = op_mul(minus_one(), self);
    return op_add(ret, other);
}

py::object MLinExpr___isub__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    py::object product = op_mul(minus_one(), other);
    return op_iadd(self, product);
}

py::object MLinExpr___itruediv__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    const Kind k = classify(other);
    numpy();
    py::object sp = sparse();
    py::object factor;
    if (k == Kind::NDArray)
        factor = reciprocal(other);
    else if (k == Kind::Sparse)
        factor = reciprocal(zd::call_method(other, ZD_STR("toarray")));
    else if (k == Kind::Number)
        factor = reciprocal(to_float(other));
    else
        return not_implemented();
    return op_imul(self, factor);
}

py::object MLinExpr___truediv__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    const Kind k = classify(other);
    numpy();
    py::object sp = sparse();
    if (k == Kind::NDArray)
        return op_mul(self, reciprocal(other));
    if (k == Kind::Sparse)
        return op_mul(self, reciprocal(zd::call_method(other, ZD_STR("toarray"))));
    if (operand::is_expression(k))
        return op_div(nl_form(self), other);
    if (k == Kind::Number)
        return op_mul(self, reciprocal(to_float(other)));
    return not_implemented();
}

py::object MLinExpr___rtruediv__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    const Kind k = classify(other);
    numpy();
    py::object sp = sparse();
    if (k == Kind::Number || k == Kind::NDArray || k == Kind::Var || k == Kind::LinExpr ||
        k == Kind::QuadExpr || k == Kind::NLExpr) {
        py::object denominator = nl_form(self);
        return op_div(other, denominator);
    }
    if (k == Kind::Sparse) {
        py::object denominator = nl_form(self);
        return op_div(zd::call_method(other, ZD_STR("toarray")), denominator);
    }
    return not_implemented();
}

// ---------------------------------------------------------------------------
// Unary operators, powers, comparisons
// ---------------------------------------------------------------------------

py::object MLinExpr___pos__(const zd::Args &a) {
    return a[0].attr(ZD_STR("copy"))();
}

py::object MLinExpr___neg__(const zd::Args &a) {
    return op_mul(a[0], minus_one());
}

py::object MLinExpr___pow__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    const Kind k = classify(other);
    py::object np = numpy();
    py::object two = zd::steal(PyFloat_FromDouble(2.0));
    if (k == Kind::NDArray) {
        if (PyArray_SIZE(arr(other)) == 1 && equals(zd::call_method(other, ZD_STR("item")), two)) {
            py::object joint =
                zd::global(ZD_STR("_broadcast_shapes"))(shape_attr(self), other.attr("shape"));
            if (equals(joint, shape_attr(self)))
                return op_mul(self, self);
            py::object base =
                op_mul(self, zd::call_method(np, ZD_STR("ones"), other.attr("shape")));
            return op_mul(base, base);
        }
        return op_pow(nl_form(self), other);
    }
    if (k == Kind::Number) {
        if (equals(other, two))
            return op_mul(self, self);
        return op_pow(nl_form(self), other);
    }
    if (operand::is_expression(k))
        return op_pow(nl_form(self), other);
    return not_implemented();
}

py::object MLinExpr___rpow__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    const Kind k = classify(other);
    numpy();
    if (!(k == Kind::NDArray || k == Kind::Var || k == Kind::LinExpr || k == Kind::QuadExpr ||
          k == Kind::NLExpr) &&
        k != Kind::Number)
        return not_implemented();
    py::object exponent = nl_form(self);
    return op_pow(other, exponent);
}

namespace {

py::object temp_constr(py::handle self, py::handle sense_name, py::handle rhs) {
    py::object sense = zd::global(ZD_STR("TVX")).attr(sense_name);
    return zd::global(ZD_STR("TempConstr"))(self, sense, rhs);
}

} // namespace

py::object MLinExpr___le__(const zd::Args &a) {
    return temp_constr(a[0], ZD_STR("LESS_EQUAL"), a[1]);
}

py::object MLinExpr___ge__(const zd::Args &a) {
    return temp_constr(a[0], ZD_STR("GREATER_EQUAL"), a[1]);
}

py::object MLinExpr___eq__(const zd::Args &a) {
    return temp_constr(a[0], ZD_STR("EQUAL"), a[1]);
}

py::object MLinExpr___ne__(const zd::Args &) {
    py::object exc =
        zd::global(ZD_STR("TovrixError"))(0, py::str("Inequality constraints not supported"));
    zd::raise_instance(exc);
}
