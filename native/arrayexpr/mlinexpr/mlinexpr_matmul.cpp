// MLinExpr: products of a constant matrix with a variable array. The
// factories pick the storage state; the full-state builders make one LinExpr
// per result cell straight from the matrix memory.
#include "mlinexpr_matmul.hpp"
#include "zd_sparse.hpp"

#include <algorithm>
#include <cstdint>

using namespace mlinexpr;

namespace matmul {

py::object product_shape(py::handle left, py::handle right) {
    return zd::global(ZD_STR("_matmul_shape"))(left, right, py::arg("do_raise") = true);
}

bool has_zero(py::handle shape) {
    py::object zero = py::int_(0);
    return zd::check(PySequence_Contains(shape.ptr(), zero.ptr())) == 1;
}

void check_inner(npy_intp left_k, npy_intp right_k) {
    if (left_k != right_k)
        zd::raisef(PyExc_ValueError,
                   "matmul: Input operand 1 has a mismatch in its core dimension 0, with gufunc "
                   "signature (n?,k),(k,m?)->(n?,m?) (size %zd is different from %zd)",
                   static_cast<Py_ssize_t>(right_k), static_cast<Py_ssize_t>(left_k));
}

} // namespace matmul

using namespace matmul;

namespace {

using zd::arr;

py::object cannot_construct_text(py::handle obj) {
    py::object text = zd::steal(PyObject_Format(obj.ptr(), nullptr));
    return zd::steal(PyUnicode_FromFormat("Cannot construct MLinExpr from %U", text.ptr()));
}

[[noreturn]] void raise_cannot_construct(py::handle obj) {
    zd::raise_obj(PyExc_ValueError, cannot_construct_text(obj));
}

// The same error raised while the pending one is handled: that one becomes
// the new error's context.
[[noreturn]] void raise_cannot_construct_from_pending(py::handle obj) {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (v && tb)
        PyException_SetTraceback(v, tb);
    Py_XDECREF(t);
    Py_XDECREF(tb);
    py::object old = zd::steal(v ? v : (Py_INCREF(Py_None), Py_None));
    py::object err =
        zd::steal(PyObject_CallOneArg(PyExc_ValueError, cannot_construct_text(obj).ptr()));
    if (!old.is_none())
        PyException_SetContext(err.ptr(), old.release().ptr());
    Py_INCREF(PyExc_ValueError);
    PyErr_Restore(PyExc_ValueError, err.release().ptr(), nullptr);
    zd::throw_error();
}

// `obj.shape`, every failure turned into "Cannot construct MLinExpr from ...".
py::object shape_or_refuse(py::handle obj) {
    PyObject *s = PyObject_GetAttr(obj.ptr(), ZD_STR("shape").ptr());
    if (!s)
        raise_cannot_construct_from_pending(obj);
    return zd::steal(s);
}

Py_ssize_t ssize(py::handle o) {
    Py_ssize_t n = PyNumber_AsSsize_t(o.ptr(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred())
        zd::throw_error();
    return n;
}

Py_ssize_t dim(py::handle shape, Py_ssize_t i) {
    return ssize(shape[py::int_(i)]);
}

// The variable type of the model objects, for the type test of every term.
PyTypeObject *var_type() {
    py::object v = zd::global(ZD_STR("Var"));
    if (!PyType_Check(v.ptr()))
        zd::raisef(PyExc_TypeError, "Var must be a class, not %.200s", zd::type_name(v));
    return reinterpret_cast<PyTypeObject *>(v.ptr());
}

// A two-dimensional object array read in place: element (r, c) of its
// d0 x d1 elements.
struct Grid {
    char *base;
    npy_intp s0, s1, d0, d1;
    PyTypeObject *vt;
    PyObject *var(npy_intp r, npy_intp c) const {
        PyObject *v = *reinterpret_cast<PyObject **>(base + r * s0 + c * s1);
        if (!v || !PyObject_TypeCheck(v, vt))
            zd::raisef(PyExc_TypeError, "expected a Var in vars, got %.200s",
                       v ? Py_TYPE(v)->tp_name : "NoneType");
        return v;
    }
};

// The grid of a two-dimensional object array; one whose memory is not
// aligned for pointers is read from an aligned copy, which replaces it.
Grid grid_of(py::object &vararr) {
    PyArrayObject *a = cells::object_array(vararr);
    if (PyArray_NDIM(a) != 2)
        zd::raise(PyExc_TypeError, "variable array must be a two-dimensional object array");
    if (!PyArray_ISALIGNED(a)) {
        vararr = zd::steal(PyArray_NewCopy(a, NPY_ANYORDER));
        a = arr(vararr);
    }
    return Grid{PyArray_BYTES(a),  PyArray_STRIDE(a, 0), PyArray_STRIDE(a, 1),
                PyArray_DIM(a, 0), PyArray_DIM(a, 1),    var_type()};
}

// A list of n new references.
py::object new_list(Py_ssize_t n) {
    return zd::steal(PyList_New(n));
}

// An (m, n) object array, C-ordered, every cell None.
py::object empty_cells(npy_intp m, npy_intp n) {
    npy_intp dims[2] = {m, n};
    return zd::steal(PyArray_Empty(2, dims, PyArray_DescrFromType(NPY_OBJECT), 0));
}

// The cell of `coefs` (shared, copied per cell) with the variables given.
template <class VarAt>
void put_cell(PyObject **slot, PyObject *coefs, Py_ssize_t len, VarAt &&var_at) {
    py::object c = zd::steal(PyList_GetSlice(coefs, 0, len));
    py::object v = new_list(len);
    for (Py_ssize_t t = 0; t < len; ++t) {
        PyObject *var = var_at(t);
        Py_INCREF(var);
        PyList_SET_ITEM(v.ptr(), t, var);
    }
    py::object cell = cells::new_linexpr(0.0, c.release().ptr(), v.release().ptr());
    Py_XSETREF(*slot, cell.release().ptr());
}

// Walks the `nlines` compressed lines (rows of CSR, columns of CSC) of a
// float64 matrix; `line_done(l, coefs, lo, len)` makes the cells of line l
// from its coefficient list and its slice [lo, lo + len) of the indices, which
// are checked against `k`.
template <class F>
void walk_lines(const zd::sparse::Compressed &A, npy_intp nlines, npy_intp k, F &&line_done) {
    A.check_lines(nlines);
    A.check_indices(nlines, k);
    const double *val = A.values;
    A.visit([&](auto beg, auto ind) {
        for (npy_intp l = 0; l < nlines; ++l) {
            const npy_intp lo = static_cast<npy_intp>(beg[l]),
                           hi = static_cast<npy_intp>(beg[l + 1]);
            py::object coefs = new_list(hi - lo);
            for (npy_intp p = lo; p < hi; ++p)
                PyList_SET_ITEM(coefs.ptr(), p - lo,
                                zd::steal(PyFloat_FromDouble(val[p])).release().ptr());
            line_done(l, coefs.ptr(), ind + lo, hi - lo);
        }
    });
}

// `numpy.squeeze(ret, axes)` when `axes` is not empty.
py::object squeezed(py::handle np, py::object ret, py::list axes) {
    if (PyList_GET_SIZE(axes.ptr()) == 0)
        return ret;
    return zd::call_method(np, ZD_STR("squeeze"), ret, py::tuple(axes));
}

// The sparse builders: A @ x (right, CSR rows) or x @ A (left, CSC columns).
py::object sparse_product(py::handle A_in, py::handle x, bool right) {
    py::object np = numpy();
    py::object sp = sparse();
    zd::ensure_numpy();
    py::object vararr = x.attr(ZD_STR("_vararr"));
    if (right)
        product_shape(A_in.attr(ZD_STR("shape")), x.attr(ZD_STR("shape")));
    else
        product_shape(x.attr(ZD_STR("shape")), A_in.attr(ZD_STR("shape")));
    py::object float64 = np.attr("float64");
    py::object A =
        right ? zd::sparse::to_csr(A_in, false, true) : zd::sparse::to_csc(A_in, false, true);
    if (!right && !truthy(A.attr("has_sorted_indices")))
        A = zd::call_method(A, ZD_STR("sorted_indices"));
    const bool postsqueeze = ssize(vararr.attr("ndim")) == 1;
    if (postsqueeze)
        vararr = zd::call_method(np, ZD_STR("expand_dims"), vararr, right ? 1 : 0);
    // Lengths from what is read: the variables' grid and the matrix's own
    // shape (its index arrays are checked against both below).
    const Grid g = grid_of(vararr);
    py::object ashape = A.attr(ZD_STR("shape"));
    const npy_intp m = right ? dim(ashape, 0) : g.d0;
    const npy_intp n = right ? g.d1 : dim(ashape, 1);
    const npy_intp k = right ? g.d0 : g.d1;
    check_inner(right ? dim(ashape, 1) : k, right ? k : dim(ashape, 0));
    py::object ret = empty_cells(m, n);
    auto **out = static_cast<PyObject **>(PyArray_DATA(arr(ret)));
    const zd::sparse::Compressed csx(A, right);
    cells::GcPause gc_pause;
    walk_lines(csx, right ? m : n, k,
               [&](npy_intp l, PyObject *coefs, const auto *ind, npy_intp len) {
                   if (right) {
                       for (npy_intp j = 0; j < n; ++j)
                           put_cell(out + l * n + j, coefs, len,
                                    [&](npy_intp t) { return g.var(ind[t], j); });
                   } else {
                       for (npy_intp i = 0; i < m; ++i)
                           put_cell(out + i * n + l, coefs, len,
                                    [&](npy_intp t) { return g.var(i, ind[t]); });
                   }
               });
    if (postsqueeze)
        ret = zd::call_method(np, ZD_STR("squeeze"), ret, right ? 1 : 0);
    return wrap_full(ret);
}

// The dense builders: every entry of A, zeros included, one term each.
py::object dense_product(py::handle cls, py::handle A_in, py::handle x, bool right) {
    py::object np = numpy();
    zd::ensure_numpy();
    if (!PyArray_Check(A_in.ptr()))
        zd::raisef(PyExc_TypeError, "Expected numpy.ndarray, got %.200s", zd::type_name(A_in));
    py::object A = zd::borrow(A_in.ptr());
    py::object vararr = x.attr(ZD_STR("_vararr"));
    if (right)
        product_shape(A.attr(ZD_STR("shape")), x.attr(ZD_STR("shape")));
    else
        product_shape(x.attr(ZD_STR("shape")), A.attr(ZD_STR("shape")));
    py::list squeeze;
    // A 1-d factor gets a new axis at `axis`, squeezed out of the product.
    auto lift = [&](py::object &m, int axis) {
        if (ssize(m.attr("ndim")) == 1) {
            m = zd::call_method(np, ZD_STR("expand_dims"), m, axis);
            squeeze.append(axis);
        }
    };
    if (right) {
        lift(A, 0);
        lift(vararr, 1);
    } else {
        lift(vararr, 0);
        lift(A, 1);
    }
    if (!PyArray_Check(A.ptr()))
        zd::raisef(PyExc_TypeError, "Expected numpy.ndarray, got %.200s", zd::type_name(A));
    const char kind = PyArray_DESCR(arr(A))->kind;
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') {
        py::object ashape = A.attr(ZD_STR("shape")), vshape = vararr.attr(ZD_STR("shape"));
        const npy_intp m = right ? dim(ashape, 0) : dim(vshape, 0);
        const npy_intp n = right ? dim(vshape, 1) : dim(ashape, 1);
        py::object ret = empty_cells(m, n);
        auto **out = static_cast<PyObject **>(PyArray_DATA(arr(ret)));
        // Other element types: the LinExpr constructor reads (or refuses) them.
        py::object le = zd::borrow(reinterpret_cast<PyObject *>(arrayexpr::LinExpr_type));
        py::object all = zd::steal(PySlice_New(nullptr, nullptr, nullptr));
        for (npy_intp i = 0; i < m; ++i)
            for (npy_intp j = 0; j < n; ++j) {
                py::object coefs = right ? A[py::make_tuple(i, all)] : A[py::make_tuple(all, j)];
                py::object vars =
                    right ? vararr[py::make_tuple(all, j)] : vararr[py::make_tuple(i, all)];
                Py_XSETREF(out[i * n + j], le(coefs, vars).release().ptr());
            }
        return cls(squeezed(np, ret, squeeze));
    }
    py::object Ad = zd::steal(PyArray_FromAny(A.ptr(), PyArray_DescrFromType(NPY_DOUBLE), 2, 2,
                                              NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
    const char *abase = PyArray_BYTES(arr(Ad));
    const npy_intp as0 = PyArray_STRIDE(arr(Ad), 0), as1 = PyArray_STRIDE(arr(Ad), 1);
    const Grid g = grid_of(vararr);
    // Every length from the two arrays read, the contracted ones alike.
    const npy_intp ad0 = PyArray_DIM(arr(Ad), 0), ad1 = PyArray_DIM(arr(Ad), 1);
    const npy_intp m = right ? ad0 : g.d0;
    const npy_intp n = right ? g.d1 : ad1;
    const npy_intp k = right ? ad1 : ad0;
    check_inner(right ? k : g.d1, right ? g.d0 : k);
    py::object ret = empty_cells(m, n);
    auto **out = static_cast<PyObject **>(PyArray_DATA(arr(ret)));
    cells::GcPause gc_pause;
    // One coefficient list per line of A (a row for A @ x, a column for x @ A).
    const npy_intp nlines = right ? m : n, nother = right ? n : m;
    for (npy_intp l = 0; l < nlines; ++l) {
        py::object coefs = new_list(k);
        for (npy_intp t = 0; t < k; ++t) {
            const char *p = right ? abase + l * as0 + t * as1 : abase + t * as0 + l * as1;
            PyList_SET_ITEM(coefs.ptr(), t,
                            zd::steal(PyFloat_FromDouble(*reinterpret_cast<const double *>(p)))
                                .release()
                                .ptr());
        }
        for (npy_intp o = 0; o < nother; ++o) {
            if (right)
                put_cell(out + l * n + o, coefs.ptr(), k, [&](npy_intp t) { return g.var(t, o); });
            else
                put_cell(out + o * n + l, coefs.ptr(), k, [&](npy_intp t) { return g.var(o, t); });
        }
    }
    return cls(squeezed(np, ret, squeeze));
}

// The factories: storage state by the result and variable shapes.
py::object from_matmul(py::handle cls, py::handle A, py::handle x, bool right) {
    py::object np = numpy();
    py::object sp = sparse();
    if (!zd::isinstance(x, zd::global(ZD_STR("MVar"))))
        raise_cannot_construct(x);
    py::object shape_x = x.attr(ZD_STR("shape"));
    py::object shape_A = shape_or_refuse(A);
    py::object shape_result =
        right ? product_shape(shape_A, shape_x) : product_shape(shape_x, shape_A);
    if (!right) {
        py::object zero = py::int_(0);
        if (equals(x.attr(ZD_STR("shape"))[py::int_(-1)], zero) ||
            equals(A.attr(ZD_STR("shape"))[py::int_(0)], zero))
            return zd::call_method(cls, ZD_STR("zeros"), shape_result);
    }
    if (has_zero(shape_result))
        return zd::call_method(cls, ZD_STR("zeros"), shape_result);
    if (keep_compact(cls) &&
        truthy(zd::call_method(cls, ZD_STR("_allows_compact"), shape_result)) &&
        truthy(zd::call_method(cls, ZD_STR("_allows_compact"), shape_x))) {
        py::object affine = cls.attr(ZD_STR("_from_compact_affine_expr"));
        return right ? affine(py::arg("A") = A, py::arg("x_right") = x)
                     : affine(py::arg("x_left") = x, py::arg("A") = A);
    }
    if (zd::isinstance(A, np.attr("ndarray")))
        return right ? zd::call_method(cls, ZD_STR("_from_matmul_right_ndarray"), A, x)
                     : zd::call_method(cls, ZD_STR("_from_matmul_left_ndarray"), x, A);
    if (zd::sparse::issparse(A))
        return right ? zd::call_method(cls, ZD_STR("_from_matmul_right_spmatrix"), A, x)
                     : zd::call_method(cls, ZD_STR("_from_matmul_left_spmatrix"), x, A);
    raise_cannot_construct(A);
}

} // namespace

py::object MLinExpr__from_matmul_right(const zd::Args &a) {
    return from_matmul(a[0], a[1], a[2], true);
}

py::object MLinExpr__from_matmul_left(const zd::Args &a) {
    return from_matmul(a[0], a[2], a[1], false);
}

py::object MLinExpr__from_matmul_right_ndarray(const zd::Args &a) {
    return dense_product(a[0], a[1], a[2], true);
}

py::object MLinExpr__from_matmul_right_spmatrix(const zd::Args &a) {
    return sparse_product(a[1], a[2], true);
}

py::object MLinExpr__from_matmul_left_ndarray(const zd::Args &a) {
    return dense_product(a[0], a[2], a[1], false);
}

py::object MLinExpr__from_matmul_left_spmatrix(const zd::Args &a) {
    return sparse_product(a[2], a[1], false);
}
