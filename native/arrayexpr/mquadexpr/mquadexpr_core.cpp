// MQuadExpr: the two storage states, the quad parts of the compact state,
// conversion to the full state and the factories.
#include "mquadexpr.hpp"
#include "mvar/mvar.hpp"
#include "zd_sparse.hpp"

#include <memory>

namespace mquadexpr {

bool is_compact(py::handle self) {
    return exprkind::is_compact(exprkind::MQuadExpr_kind, self);
}

py::object new_quadexpr() {
    static PyObject *no_args = PyTuple_New(0);
    PyTypeObject *tp = arrayexpr::QuadExpr_type;
    return zd::steal(tp->tp_new(tp, no_args, nullptr));
}

void check_cells(py::handle cellarr) {
    cellrec::each_cell(cellarr, cellrec::kRefs | NPY_ITER_ZEROSIZE_OK,
                       [](PyObject *cell) { quadexpr(cell); });
}

py::object call_with(PyObject *cell, py::handle name, PyObject *arg) {
    return cells::call_cell_method1(cell, name, arg, arrayexpr::QuadExpr_type);
}

py::object empty_cells(py::handle shape) {
    py::object out = empty_objects(shape);
    // A fresh C-ordered array: its cells are one run of memory.
    auto **cell = static_cast<PyObject **>(PyArray_DATA(arr(out)));
    const npy_intp n = PyArray_SIZE(arr(out));
    cells::GcPause gc_pause;
    for (npy_intp i = 0; i < n; ++i)
        Py_XSETREF(cell[i], new_quadexpr().release().ptr());
    return out;
}

py::object qearr_of(py::handle self) {
    zd::ensure_numpy();
    py::object q = self.attr(ZD_STR("_qearr"));
    if (!PyArray_Check(q.ptr()))
        zd::raisef(PyExc_TypeError, "Expected numpy.ndarray, got %.200s", zd::type_name(q));
    return q;
}

Py_ssize_t nparts(py::handle self) {
    return arith::length(self.attr(ZD_STR("_quadparts")));
}

namespace {

// The array of `obj` as a C-contiguous, aligned array of `type` (no copy when
// it already is one); `force` allows unsafe casts.
py::object c_array(py::handle obj, int type, bool force = false) {
    zd::ensure_numpy();
    int flags = NPY_ARRAY_CARRAY_RO | (force ? NPY_ARRAY_FORCECAST : 0);
    return zd::steal(PyArray_FromAny(obj.ptr(), PyArray_DescrFromType(type), 0, 0, flags, nullptr));
}

// A COO index array read as int32 or int64 (other integer types as int64).
py::object index_array(py::handle obj, bool &wide) {
    zd::ensure_numpy();
    py::object a = zd::steal(PyArray_FROM_O(obj.ptr()));
    const int t = PyArray_TYPE(arr(a));
    if (PyArray_EquivTypenums(t, NPY_INT32)) {
        wide = false;
        return c_array(a, NPY_INT32);
    }
    wide = true;
    return c_array(a, NPY_INT64, !PyArray_EquivTypenums(t, NPY_INT64));
}

py::object flat_objects(py::handle obj) {
    py::object a = c_array(obj, NPY_OBJECT);
    if (PyArray_NDIM(arr(a)) != 1)
        a = zd::steal(PyArray_Ravel(arr(a), NPY_CORDER));
    return a;
}

} // namespace

Coo::Coo(py::handle part) {
    py::tuple t = mvar::unpack(part, 3);
    x = t[0];
    Q = t[1];
    y = t[2];
    data = c_array(Q.attr("data"), NPY_DOUBLE);
    row = index_array(Q.attr("row"), row64);
    col = index_array(Q.attr("col"), col64);
    xvars = flat_objects(x.attr(ZD_STR("_vararr")));
    yvars = flat_objects(y.attr(ZD_STR("_vararr")));
    nnz = PyArray_SIZE(arr(data));
    if (PyArray_SIZE(arr(row)) != nnz || PyArray_SIZE(arr(col)) != nnz)
        zd::raise(PyExc_ValueError, "row, column, and data array must all be the same length");
    nx = PyArray_SIZE(arr(xvars));
    ny = PyArray_SIZE(arr(yvars));
}

} // namespace mquadexpr

using namespace mquadexpr;

namespace {

void set_attr(py::handle obj, py::handle name, py::handle value) {
    zd::check(PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()));
}

py::object mlinexpr_cls() {
    return zd::global(ZD_STR("MLinExpr"));
}

py::object broadcast_shapes(py::handle a) {
    return zd::global(ZD_STR("_broadcast_shapes"))(a);
}

bool allows_compact_on(py::handle owner, py::handle shape) {
    return truthy(owner.attr(ZD_STR("_allows_compact"))(shape));
}

} // namespace

// ---------------------------------------------------------------------------
// Storage states
// ---------------------------------------------------------------------------

py::object MQuadExpr___init__(const zd::Args &a) {
    py::handle self = a[0], qearr = a[1], quadparts = a[2], ndle = a[3];
    py::object np = numpy();
    ZD_ASSERT(!ndle.is_none());
    if (!qearr.is_none()) {
        ZD_ASSERT(quadparts.is_none());
        ZD_ASSERT(
            cells::equal_in_order([&]() -> py::object { return qearr.attr(ZD_STR("shape")); },
                                  [&]() -> py::object { return ndle.attr(ZD_STR("shape")); }));
        set_attr(self, ZD_STR("_qearr"), qearr);
        set_attr(self, ZD_STR("_quadparts"), Py_None);
        set_attr(self, ZD_STR("_ndle"), ndle);
        return py::none();
    }
    py::object sp = sparse();
    const bool checks = !zd::optimized();
    ZD_ASSERT(!quadparts.is_none());
    if (checks) {
        ZD_ASSERT(allows_compact_on(cls(), ndle.attr(ZD_STR("shape"))));
        ZD_ASSERT(zd::check(PyObject_RichCompareBool(ndle.attr(ZD_STR("size")).ptr(),
                                                     py::int_(0).ptr(), Py_GT)) ||
                  arith::length(quadparts) == 0);
    }
    py::object it = zd::steal(PyObject_GetIter(quadparts.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        py::object part = zd::steal(raw);
        py::tuple xQy = mvar::unpack(part, 3);
        py::object x = xQy[0], Q = xQy[1], y = xQy[2];
        if (checks) {
            ZD_ASSERT(zd::isinstance(Q, sp.attr("coo_matrix")));
            ZD_ASSERT(
                cells::equal_in_order([&]() -> py::object { return Q.attr("data").attr("dtype"); },
                                      [&]() -> py::object { return np.attr("dtype")("float64"); }));
            ZD_ASSERT(
                truthy(np.attr("issubdtype")(Q.attr("row").attr("dtype"), np.attr("integer"))));
            ZD_ASSERT(
                truthy(np.attr("issubdtype")(Q.attr("col").attr("dtype"), np.attr("integer"))));
        }
        py::tuple mn = mvar::unpack(Q.attr(ZD_STR("shape")), 2);
        if (checks) {
            py::handle MVar = zd::global(ZD_STR("MVar"));
            ZD_ASSERT(zd::isinstance(x, MVar));
            ZD_ASSERT(equals(x.attr(ZD_STR("shape")), py::make_tuple(mn[0])));
            ZD_ASSERT(zd::isinstance(y, MVar));
            ZD_ASSERT(equals(y.attr(ZD_STR("shape")), py::make_tuple(mn[1])));
        }
    }
    if (PyErr_Occurred())
        zd::throw_error();
    set_attr(self, ZD_STR("_qearr"), Py_None);
    set_attr(self, ZD_STR("_quadparts"), quadparts);
    set_attr(self, ZD_STR("_ndle"), ndle);
    return py::none();
}

py::object MQuadExpr_shape(const zd::Args &a) {
    py::handle self = a[0];
    py::object ndle = self.attr(ZD_STR("_ndle"));
    py::object ret = ndle.attr(ZD_STR("shape"));
    if (!is_compact(self))
        ZD_ASSERT(equals(self.attr(ZD_STR("_qearr")).attr(ZD_STR("shape")), ret));
    else
        ZD_ASSERT(allows_compact_on(cls(), ndle.attr(ZD_STR("shape"))));
    return ret;
}

py::object MQuadExpr_ndim(const zd::Args &a) {
    return a[0].attr(ZD_STR("_ndle")).attr(ZD_STR("ndim"));
}

py::object MQuadExpr_size(const zd::Args &a) {
    return a[0].attr(ZD_STR("_ndle")).attr(ZD_STR("size"));
}

py::object MQuadExpr__is_compact(const zd::Args &a) {
    return py::bool_(is_compact(a[0]));
}

py::object MQuadExpr__allows_compact(const zd::Args &a) {
    py::handle shape = a[0];
    const bool ndim_ok = arith::length(shape) <= 2;
    // Every entry is compared before the answer is formed.
    bool nonsingleton_ok = true;
    py::object one = py::int_(1);
    py::object it = zd::steal(PyObject_GetIter(shape.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        py::object d = zd::steal(raw);
        if (!zd::check(PyObject_RichCompareBool(d.ptr(), one.ptr(), Py_LE)))
            nonsingleton_ok = false;
    }
    if (PyErr_Occurred())
        zd::throw_error();
    return py::bool_(ndim_ok && nonsingleton_ok);
}

py::object MQuadExpr_item(const zd::Args &a) {
    py::handle self = a[0];
    if (is_compact(self))
        return self.attr(ZD_STR("_to_full"))().attr(ZD_STR("item"))();
    py::object qe = self.attr(ZD_STR("_qearr")).attr("item")();
    py::object le = self.attr(ZD_STR("_ndle")).attr(ZD_STR("item"))();
    return arith::op_add(qe, le);
}

// ---------------------------------------------------------------------------
// Quad parts
// ---------------------------------------------------------------------------

py::object MQuadExpr__add_quadpart(const zd::Args &a) {
    py::handle self = a[0], x = a[1], Q = a[2], y = a[3];
    numpy();
    if (!zd::optimized()) {
        auto dim = [](py::handle o, int i) -> py::object {
            py::object s = o.attr(ZD_STR("shape"));
            return s[py::int_(i)];
        };
        ZD_ASSERT(equals(x.attr(ZD_STR("ndim")), py::int_(1)));
        ZD_ASSERT(equals(Q.attr(ZD_STR("ndim")), py::int_(2)));
        ZD_ASSERT(equals(y.attr(ZD_STR("ndim")), py::int_(1)));
        ZD_ASSERT(cells::equal_in_order([&]() -> py::object { return dim(Q, 0); },
                                        [&]() -> py::object { return dim(x, 0); }));
        ZD_ASSERT(cells::equal_in_order([&]() -> py::object { return dim(Q, 1); },
                                        [&]() -> py::object { return dim(y, 0); }));
        ZD_ASSERT(zd::check(
            PyObject_RichCompareBool(self.attr(ZD_STR("size")).ptr(), py::int_(0).ptr(), Py_GT)));
    }
    py::object M = zd::sparse::to_coo(Q, false, true);
    self.attr(ZD_STR("_quadparts")).attr("append")(py::make_tuple(x, M, y));
    return py::none();
}

py::object MQuadExpr__concat_quadparts(const zd::Args &a) {
    py::handle self = a[0];
    py::object np = numpy();
    py::object sp = sparse();
    py::object parts = self.attr(ZD_STR("_quadparts"));
    if (arith::length(parts) < 2)
        return py::none();
    py::list xs, Qs, ys;
    py::object it = zd::steal(PyObject_GetIter(parts.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        py::object part = zd::steal(raw);
        xs.append(part[py::int_(0)].attr(ZD_STR("_vararr")));
    }
    if (PyErr_Occurred())
        zd::throw_error();
    for (py::handle part : parts)
        Qs.append(part[py::int_(1)]);
    for (py::handle part : parts)
        ys.append(part[py::int_(2)].attr(ZD_STR("_vararr")));
    py::object MVar = zd::global(ZD_STR("MVar"));
    py::object x_all = MVar(np.attr("concatenate")(xs));
    py::object Q_all = sp.attr("block_diag")(Qs, py::arg("format") = "coo");
    py::object y_all = MVar(np.attr("concatenate")(ys));
    set_attr(self, ZD_STR("_quadparts"), py::list());
    self.attr(ZD_STR("_add_quadpart"))(x_all, Q_all, y_all);
    return py::none();
}

py::object MQuadExpr__extract_xQy(const zd::Args &a) {
    py::handle self = a[0];
    if (nparts(self) < 1)
        return py::make_tuple(py::none(), py::none(), py::none());
    self.attr(ZD_STR("_concat_quadparts"))();
    return self.attr(ZD_STR("_quadparts"))[py::int_(0)];
}

py::object MQuadExpr__extract_quadexpr(const zd::Args &a) {
    py::handle self = a[0];
    py::object qe = new_quadexpr();
    if (nparts(self) < 1)
        return qe;
    self.attr(ZD_STR("_concat_quadparts"))();
    Coo coo(self.attr(ZD_STR("_quadparts"))[py::int_(0)]);
    // Every stored entry becomes one term, in storage order: duplicates and
    // explicit zeros included.
    py::object coeffs = zd::steal(cells::new_term_list(coo.nnz));
    py::object vars1 = zd::steal(cells::new_term_list(coo.nnz));
    py::object vars2 = zd::steal(cells::new_term_list(coo.nnz));
    const double *d = coo.values();
    PyObject *const *xv = coo.xitems();
    PyObject *const *yv = coo.yitems();
    coo.each([&](npy_intp k, npy_intp i, npy_intp j) {
        PyObject *f = PyFloat_FromDouble(d[k]);
        if (!f)
            zd::throw_error();
        PyList_SET_ITEM(coeffs.ptr(), k, f);
        PyObject *v1 = xv[i] ? xv[i] : Py_None;
        PyObject *v2 = yv[j] ? yv[j] : Py_None;
        Py_INCREF(v1);
        PyList_SET_ITEM(vars1.ptr(), k, v1);
        Py_INCREF(v2);
        PyList_SET_ITEM(vars2.ptr(), k, v2);
    });
    auto *r = reinterpret_cast<QuadExprObject *>(qe.ptr());
    cells::set_field(&r->coeffs, coeffs.ptr());
    cells::set_field(&r->vars1, vars1.ptr());
    cells::set_field(&r->vars2, vars2.ptr());
    return qe;
}

// ---------------------------------------------------------------------------
// Conversion to the full state
// ---------------------------------------------------------------------------

py::object MQuadExpr__to_full(const zd::Args &a) {
    py::handle self = a[0];
    numpy();
    py::object qe = self.attr(ZD_STR("_extract_quadexpr"))();
    py::object shape = self.attr(ZD_STR("shape"));
    py::object qearr = empty_objects(shape);
    auto **cell = static_cast<PyObject **>(PyArray_DATA(arr(qearr)));
    for (npy_intp i = 0, n = PyArray_SIZE(arr(qearr)); i < n; ++i) {
        Py_INCREF(qe.ptr());
        Py_XSETREF(cell[i], qe.ptr());
    }
    py::object ndle = self.attr(ZD_STR("_ndle")).attr(ZD_STR("copy"))();
    return cls()(py::arg("qearr") = qearr, py::arg("ndle") = ndle);
}

py::object MQuadExpr__convert_to_full(const zd::Args &a) {
    exprkind::convert_to_full(exprkind::MQuadExpr_kind, a[0]);
    return py::none();
}

// ---------------------------------------------------------------------------
// Zero arrays and lifting of linear arrays
// ---------------------------------------------------------------------------

py::object MQuadExpr_zeros(const zd::Args &a) {
    py::handle klass = a[0];
    py::object shape = broadcast_shapes(a[1]);
    if (mlinexpr::keep_compact(klass) && allows_compact_on(klass, shape))
        return klass(py::arg("quadparts") = py::list(),
                     py::arg("ndle") = mlinexpr_cls().attr(ZD_STR("zeros"))(shape));
    return klass.attr(ZD_STR("_zeros_full"))(shape);
}

py::object MQuadExpr__zeros_full(const zd::Args &a) {
    py::handle klass = a[0];
    numpy();
    py::object shape = broadcast_shapes(a[1]);
    py::object out = empty_cells(shape);
    return klass(py::arg("qearr") = out,
                 py::arg("ndle") = mlinexpr_cls().attr(ZD_STR("zeros"))(shape));
}

py::object MQuadExpr__from_mlinexpr(const zd::Args &a) {
    py::handle klass = a[0], ndle = a[1], force_full = a[2];
    py::object shape = ndle.attr(ZD_STR("shape"));
    py::object ret = truthy(force_full) ? klass.attr(ZD_STR("_zeros_full"))(shape)
                                        : klass.attr(ZD_STR("zeros"))(shape);
    return arith::op_iadd(ret, ndle);
}

// ---------------------------------------------------------------------------
// Products of two variable arrays
// ---------------------------------------------------------------------------

py::object MQuadExpr__from_mvar_times_mvar(const zd::Args &a) {
    py::handle klass = a[0], left = a[1], right = a[2], force_full = a[3];
    numpy();
    py::object shape = zd::global(ZD_STR("_broadcast_shapes"))(left.attr(ZD_STR("shape")),
                                                               right.attr(ZD_STR("shape")));
    if (mlinexpr::keep_compact(klass) && allows_compact_on(klass, shape) && !truthy(force_full)) {
        py::object ndle = mlinexpr_cls().attr(ZD_STR("zeros"))(shape);
        py::list quadparts;
        if (zd::check(PyObject_RichCompareBool(ndle.attr(ZD_STR("size")).ptr(), py::int_(0).ptr(),
                                               Py_GT))) {
            py::object MVar = zd::global(ZD_STR("MVar"));
            py::object one = py::make_tuple(1);
            py::object x = MVar(left.attr(ZD_STR("_vararr")).attr("reshape")(one));
            py::list data, rows, cols;
            data.append(1.0);
            rows.append(0);
            cols.append(0);
            py::object Q = zd::sparse::coo_from_arrays(data, rows, cols);
            py::object y = MVar(right.attr(ZD_STR("_vararr")).attr("reshape")(one));
            quadparts.append(py::make_tuple(x, Q, y));
        }
        return cls()(py::arg("quadparts") = quadparts, py::arg("ndle") = ndle);
    }
    // Full: one new cell per broadcast position, holding 1.0 * left * right;
    // the operands are read with stride 0 where they broadcast.
    py::object lv = left.attr(ZD_STR("_vararr"));
    py::object rv = right.attr(ZD_STR("_vararr"));
    for (py::handle v : {lv, rv})
        if (!cells::as_ndarray(v))
            zd::raisef(PyExc_TypeError, "Expected numpy.ndarray, got %.200s", zd::type_name(v));
    py::object out = empty_objects(shape);
    py::object one = zd::steal(PyFloat_FromDouble(1.0));
    {
        cells::GcPause gc_pause;
        cells::ChunkLoop loop({arr(lv), arr(rv), arr(out)},
                              NPY_ITER_REFS_OK | NPY_ITER_EXTERNAL_LOOP | NPY_ITER_ZEROSIZE_OK |
                                  NPY_ITER_REDUCE_OK,
                              {NPY_ITER_READWRITE, NPY_ITER_READWRITE, NPY_ITER_WRITEONLY});
        loop.run([&](char **data, npy_intp *strides, npy_intp n) {
            for (npy_intp i = 0; i < n; ++i) {
                py::object qe = new_quadexpr();
                auto *r = reinterpret_cast<QuadExprObject *>(qe.ptr());
                zd::check(PyList_Append(r->coeffs, one.ptr()));
                zd::check(PyList_Append(r->vars1, cells::cell_or_none(data[0], strides[0], i)));
                zd::check(PyList_Append(r->vars2, cells::cell_or_none(data[1], strides[1], i)));
                Py_XSETREF(cells::cell_at(data[2], strides[2], i), qe.release().ptr());
            }
        });
    }
    return cls()(py::arg("qearr") = out,
                 py::arg("ndle") = mlinexpr_cls().attr(ZD_STR("zeros"))(shape));
}

// ---------------------------------------------------------------------------
// Scalar and quadratic-function factories
// ---------------------------------------------------------------------------

py::object MQuadExpr__from_quad_expr(const zd::Args &a) {
    py::handle klass = a[0], qe = a[1];
    numpy();
    py::object ndle = mlinexpr_cls().attr(ZD_STR("_from_linexpr"))(qe.attr("getLinExpr")());
    py::object qe_copy = py::handle(reinterpret_cast<PyObject *>(arrayexpr::QuadExpr_type))(qe);
    qe_copy.attr("getLinExpr")().attr("clear")();
    return klass(py::arg("ndle") = ndle, py::arg("qearr") = zero_d(qe_copy));
}

py::object MQuadExpr__from_quadfun(const zd::Args &a) {
    py::handle klass = a[0], x = a[1], Q = a[2], y = a[3], c = a[4], z = a[5], d = a[6];
    py::object np = numpy();
    py::object matmul_shape = zd::global(ZD_STR("_matmul_shape"));
    py::object xq =
        matmul_shape(x.attr(ZD_STR("shape")), Q.attr(ZD_STR("shape")), py::arg("do_raise") = true);
    py::object quad_shape = matmul_shape(xq, y.attr(ZD_STR("shape")), py::arg("do_raise") = true);
    py::object ndle = mlinexpr_cls().attr(ZD_STR("zeros"))(quad_shape);
    if (!c.is_none())
        ndle = arith::op_add(ndle, zd::steal(PyNumber_MatrixMultiply(c.ptr(), z.ptr())));
    if (!d.is_none())
        ndle = arith::op_add(ndle, d);
    py::object result_shape =
        zd::global(ZD_STR("_broadcast_shapes"))(quad_shape, ndle.attr(ZD_STR("shape")));
    ndle = arith::op_add(ndle, np.attr("zeros")(result_shape));
    if (truthy(klass.attr(ZD_STR("_keep_compact"))) && allows_compact_on(klass, result_shape))
        return klass.attr(ZD_STR("_from_quadfun_compact"))(x, Q, y, ndle);
    return klass.attr(ZD_STR("_from_quadfun_full"))(x, Q, y, ndle);
}

py::object MQuadExpr__from_quadfun_compact(const zd::Args &a) {
    py::handle klass = a[0], x = a[1], Q = a[2], y = a[3], ndle = a[4];
    py::object np = numpy();
    py::object sp = sparse();
    if (!zd::optimized()) {
        for (py::handle v : {x, y}) {
            py::object s = v.attr(ZD_STR("shape"));
            ZD_ASSERT(cells::equal_in_order([&]() -> py::object { return np.attr("prod")(s); },
                                            [&]() -> py::object { return np.attr("max")(s); }));
        }
    }
    py::object MVar = zd::global(ZD_STR("MVar"));
    py::object xf = MVar(x.attr(ZD_STR("_vararr")).attr("flatten")());
    py::object M = zd::sparse::to_coo(Q, true, true);
    py::object yf = MVar(y.attr(ZD_STR("_vararr")).attr("flatten")());
    py::list quadparts;
    quadparts.append(py::make_tuple(xf, M, yf));
    return klass(py::arg("quadparts") = quadparts, py::arg("ndle") = ndle);
}

py::object MQuadExpr__from_quadfun_full(const zd::Args &a) {
    py::handle klass = a[0], x = a[1], y = a[3], ndle = a[4];
    py::object Q = zd::borrow(a[2].ptr());
    py::object np = numpy();
    py::object sp = sparse();
    if (truthy(sp.attr("issparse")(Q)))
        Q = Q.attr("toarray")();
    py::object nshape = ndle.attr(ZD_STR("shape"));
    // An empty contracted dimension: NumPy's object product would give the
    // number 0 per cell; such a form has no term at all.
    py::object xs = x.attr(ZD_STR("shape")), qs = Q.attr(ZD_STR("shape"));
    const Py_ssize_t xn = arith::length(xs);
    const bool empty_sum = (xn > 0 && equals(xs[py::int_(xn - 1)], py::int_(0))) ||
                           equals(qs[py::int_(arith::length(qs) - 1)], py::int_(0));
    py::object qearr;
    if (empty_sum) {
        qearr = empty_cells(nshape);
    } else {
        py::object xQ =
            zd::steal(PyNumber_MatrixMultiply(x.attr(ZD_STR("_vararr")).ptr(), Q.ptr()));
        py::object xQy =
            zd::steal(PyNumber_MatrixMultiply(xQ.ptr(), y.attr(ZD_STR("_vararr")).ptr()));
        qearr = arith::op_add(np.attr("array")(xQy), np.attr("zeros")(nshape));
        qearr = np.attr("asarray")(qearr);
    }
    return klass(py::arg("qearr") = qearr, py::arg("ndle") = ndle);
}
