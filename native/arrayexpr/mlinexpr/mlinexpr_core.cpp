// MLinExpr: the two storage states, the compact affine algebra and the
// factories from variables and expressions.
#include "cellrec.hpp"
#include "mlinexpr.hpp"
#include "zd_sparse.hpp"

#include <type_traits>

namespace mlinexpr {

bool keep_compact(py::handle owner) {
    return equals(owner.attr(ZD_STR("_keep_compact")), py::int_(1));
}

bool is_compact(py::handle self) {
    return exprkind::is_compact(exprkind::MLinExpr_kind, self);
}

py::object wrap_full(py::handle arr) {
    return zd::global(ZD_STR("MLinExpr"))(arr);
}

py::object learr_of(py::handle self) {
    zd::ensure_numpy();
    py::object arr = self.attr(ZD_STR("_learr"));
    if (!PyArray_Check(arr.ptr()))
        zd::raisef(PyExc_TypeError, "Expected numpy.ndarray, got %.200s", zd::type_name(arr));
    return arr;
}

} // namespace mlinexpr

using namespace mlinexpr;

namespace {

using zd::set_attr;

py::object linexpr_type() {
    return zd::borrow(reinterpret_cast<PyObject *>(arrayexpr::LinExpr_type));
}

using operand::zero_d;

using cellrec::empty_objects;

py::object format_shape(py::handle shape) {
    return zd::steal(PyObject_Str(shape.ptr()));
}

[[noreturn]] void raise_text(PyObject *exc, const char *head, py::handle shape, const char *tail) {
    py::object text =
        zd::steal(PyUnicode_FromFormat("%s%U%s", head, format_shape(shape).ptr(), tail));
    zd::raise_obj(exc, text);
}

} // namespace

// ---------------------------------------------------------------------------
// Storage states
// ---------------------------------------------------------------------------

py::object MLinExpr___init__(const zd::Args &a) {
    py::handle self = a[0], wraponly = a[1], matmulparts = a[2], b = a[3];
    py::object sp = sparse();
    py::object np = numpy();
    zd::ensure_numpy();
    if (!wraponly.is_none()) {
        ZD_ASSERT(matmulparts.is_none());
        ZD_ASSERT(b.is_none());
        ZD_ASSERT(PyArray_Check(wraponly.ptr()));
        set_attr(self, ZD_STR("_learr"), wraponly);
        set_attr(self, ZD_STR("_matmulparts"), Py_None);
        set_attr(self, ZD_STR("_const"), Py_None);
        return py::none();
    }
    ZD_ASSERT(!matmulparts.is_none());
    ZD_ASSERT(!b.is_none());
    ZD_ASSERT(PyArray_Check(b.ptr()));
    ZD_ASSERT(PyArray_SIZE(reinterpret_cast<PyArrayObject *>(b.ptr())) > 0 || !truthy(matmulparts));
    py::object it = zd::steal(PyObject_GetIter(matmulparts.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        py::object part = zd::steal(raw);
        auto [A, x] = unpack2(part);
        auto [rows, n] = unpack2(A.attr(ZD_STR("shape")));
        (void)rows;
        if (zd::optimized())
            continue;
        ZD_ASSERT(zd::check(PyObject_IsInstance(A.ptr(), sp.attr("csr_matrix").ptr())));
        // The dtype tests in C where the arrays are ndarrays (as SciPy keeps
        // them), through NumPy's Python functions otherwise.
        auto dtype_is = [&](py::handle a, auto &&c_test, auto &&py_test) {
            if (PyArray_Check(a.ptr()))
                return c_test(reinterpret_cast<PyArrayObject *>(a.ptr()));
            return py_test(a.attr("dtype"));
        };
        auto is_float64 = [](PyArrayObject *v) {
            py::object f8 =
                zd::steal(reinterpret_cast<PyObject *>(PyArray_DescrFromType(NPY_DOUBLE)));
            return PyArray_EquivTypes(PyArray_DESCR(v),
                                      reinterpret_cast<PyArray_Descr *>(f8.ptr())) != 0;
        };
        auto is_integer = [](PyArrayObject *v) { return PyArray_ISINTEGER(v) != 0; };
        ZD_ASSERT(dtype_is(A.attr("data"), is_float64, [&](py::handle dt) {
            return equals(dt, np.attr("dtype")(np.attr("float64")));
        }));
        auto py_integer = [&](py::handle dt) {
            return truthy(np.attr("issubdtype")(dt, np.attr("integer")));
        };
        ZD_ASSERT(dtype_is(A.attr("indptr"), is_integer, py_integer));
        ZD_ASSERT(dtype_is(A.attr("indices"), is_integer, py_integer));
        ZD_ASSERT(zd::check(PyObject_IsInstance(x.ptr(), zd::global(ZD_STR("MVar")).ptr())));
        ZD_ASSERT(equals(x.attr(ZD_STR("shape")), py::make_tuple(n)));
    }
    if (PyErr_Occurred())
        zd::throw_error();
    set_attr(self, ZD_STR("_learr"), Py_None);
    set_attr(self, ZD_STR("_matmulparts"), matmulparts);
    set_attr(self, ZD_STR("_const"), b);
    return py::none();
}

py::object MLinExpr__is_compact(const zd::Args &a) {
    return py::bool_(is_compact(a[0]));
}

py::object MLinExpr__allows_compact(const zd::Args &a) {
    py::handle shape = a[0];
    Py_ssize_t n = PyObject_Length(shape.ptr());
    if (n < 0)
        zd::throw_error();
    const bool ndim_ok = n <= 2;
    py::object seq = zd::steal(PySequence_Fast(shape.ptr(), "shape must be a sequence"));
    py::object one = zd::steal(PyLong_FromLong(1));
    Py_ssize_t longer = 0;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.ptr()); ++i)
        if (zd::check(
                PyObject_RichCompareBool(PySequence_Fast_GET_ITEM(seq.ptr(), i), one.ptr(), Py_GT)))
            ++longer;
    const bool nonsingleton_ok = longer <= 1;
    return py::bool_(ndim_ok ? nonsingleton_ok : false);
}

py::object MLinExpr_zeros(const zd::Args &a) {
    py::handle cls = a[0];
    py::object shape = zd::global(ZD_STR("_broadcast_shapes"))(a[1]);
    if (keep_compact(cls) && truthy(zd::call_method(cls, ZD_STR("_allows_compact"), shape))) {
        py::object np = numpy();
        return cls(py::arg("matmulparts") = py::list(),
                   py::arg("b") = np.attr("zeros")(shape, py::arg("dtype") = np.attr("float64")));
    }
    return zd::call_method(cls, ZD_STR("_zeros_full"), shape);
}

py::object MLinExpr__zeros_full(const zd::Args &a) {
    py::handle cls = a[0];
    py::object shape = zd::global(ZD_STR("_broadcast_shapes"))(a[1]);
    py::object out = empty_objects(shape);
    auto *arr = reinterpret_cast<PyArrayObject *>(out.ptr());
    // A fresh C-ordered array: its cells are one run of memory.
    auto **cell = reinterpret_cast<PyObject **>(PyArray_DATA(arr));
    cells::GcPause gc_pause;
    const npy_intp n = PyArray_SIZE(arr);
    for (npy_intp i = 0; i < n; ++i)
        Py_XSETREF(cell[i], cells::new_linexpr().release().ptr());
    return cls(out);
}

py::object MLinExpr_ndim(const zd::Args &a) {
    py::handle self = a[0];
    if (is_compact(self))
        return self.attr(ZD_STR("_const")).attr(ZD_STR("ndim"));
    return self.attr(ZD_STR("_learr")).attr(ZD_STR("ndim"));
}

py::object MLinExpr_shape(const zd::Args &a) {
    py::handle self = a[0];
    if (is_compact(self)) {
        py::object c = self.attr(ZD_STR("_const"));
        ZD_ASSERT(!zd::check(PyObject_IsInstance(c.ptr(), numpy().attr("matrix").ptr())));
        return c.attr(ZD_STR("shape"));
    }
    return self.attr(ZD_STR("_learr")).attr(ZD_STR("shape"));
}

py::object MLinExpr_size(const zd::Args &a) {
    py::handle self = a[0];
    if (is_compact(self))
        return self.attr(ZD_STR("_const")).attr(ZD_STR("size"));
    return self.attr(ZD_STR("_learr")).attr(ZD_STR("size"));
}

py::object MLinExpr__leading_adim(const zd::Args &a) {
    return a[0].attr(ZD_STR("_const")).attr(ZD_STR("size"));
}

// ---------------------------------------------------------------------------
// Compact affine algebra
// ---------------------------------------------------------------------------

py::object MLinExpr__concat_matmulparts(const zd::Args &a) {
    py::handle self = a[0];
    py::object np = numpy();
    py::object sp = sparse();
    py::object parts = self.attr(ZD_STR("_matmulparts"));
    Py_ssize_t n = PyObject_Length(parts.ptr());
    if (n < 0)
        zd::throw_error();
    if (n < 2)
        return py::none();
    py::list mats, vars;
    py::object it = zd::steal(PyObject_GetIter(parts.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        py::object part = zd::steal(raw);
        mats.append(part[py::int_(0)]);
        vars.append(part[py::int_(1)].attr(ZD_STR("_vararr")));
    }
    if (PyErr_Occurred())
        zd::throw_error();
    py::object merged = zd::sparse::hstack(mats, "csr");
    py::object x = zd::global(ZD_STR("MVar"))(zd::call_method(np, ZD_STR("concatenate"), vars));
    py::list one;
    one.append(py::make_tuple(merged, x));
    set_attr(self, ZD_STR("_matmulparts"), one);
    return py::none();
}

py::object MLinExpr__extract_Axb(const zd::Args &a) {
    py::handle self = a[0];
    ZD_ASSERT(is_compact(self));
    py::object parts = self.attr(ZD_STR("_matmulparts"));
    Py_ssize_t n = PyObject_Length(parts.ptr());
    if (n < 0)
        zd::throw_error();
    py::object A = py::none(), x = py::none();
    if (n > 0) {
        zd::call_method(self, ZD_STR("_concat_matmulparts"));
        auto part = unpack2(self.attr(ZD_STR("_matmulparts"))[py::int_(0)]);
        A = part.first;
        x = part.second;
    }
    return py::make_tuple(A, x, self.attr(ZD_STR("_const")));
}

namespace {

// The n by n sparse diagonal matrix holding A's single entry: the product of
// a 1 by 1 matrix with a row or column of n variables.
py::object scalar_diagonal(py::handle np, py::handle A, py::handle n) {
    ZD_ASSERT(equals(A.attr(ZD_STR("shape")), py::make_tuple(1, 1)));
    py::object values = zd::call_method(np, ZD_STR("empty"), n);
    zd::call_method(values, ZD_STR("fill"), A[py::make_tuple(0, 0)]);
    return zd::sparse::diagonal_csr(values, n);
}

} // namespace

py::object MLinExpr__from_compact_affine_expr(const zd::Args &a) {
    py::handle cls = a[0], x_left = a[1], A = a[2], x_right = a[3], b_in = a[4];
    py::object np = numpy();
    py::object sp = sparse();
    py::object float64 = np.attr("float64");
    py::object allows = zd::global(ZD_STR("MLinExpr")).attr(ZD_STR("_allows_compact"));

    // Product shape.
    py::object shape_Ax = py::none();
    if (!x_left.is_none() && !x_right.is_none())
        zd::raise(PyExc_ValueError, "Matmul expression has too many variables");
    if (!x_right.is_none()) {
        shape_Ax = zd::global(ZD_STR("_matmul_shape"))(
            A.attr(ZD_STR("shape")), x_right.attr(ZD_STR("shape")), py::arg("do_raise") = true);
    } else if (!x_left.is_none()) {
        shape_Ax = zd::global(ZD_STR("_matmul_shape"))(
            x_left.attr(ZD_STR("shape")), A.attr(ZD_STR("shape")), py::arg("do_raise") = true);
    } else if (!A.is_none()) {
        zd::raise(PyExc_ValueError, "Matmul expression has no variables");
    }

    // Constant.
    py::object b;
    if (b_in.is_none() && shape_Ax.is_none()) {
        b = np.attr("array")(0, py::arg("copy") = true, py::arg("dtype") = float64);
    } else if (shape_Ax.is_none()) {
        b = np.attr("array")(b_in, py::arg("copy") = true, py::arg("dtype") = float64);
    } else if (b_in.is_none()) {
        b = np.attr("zeros")(shape_Ax, py::arg("dtype") = float64);
    } else {
        b = np.attr("array")(b_in, py::arg("copy") = true, py::arg("dtype") = float64);
        py::object total = zd::global(ZD_STR("_broadcast_shapes"))(shape_Ax, b.attr("shape"));
        if (!truthy(allows(total)))
            raise_text(PyExc_ValueError, "Compact state cannot have shape ", total, "");
        b = zd::call_method(np, ZD_STR("broadcast_to"), b, total).attr("copy")();
    }

    // Matmul part.
    py::list parts;
    if (!x_right.is_none() || !x_left.is_none()) {
        const bool right = !x_right.is_none();
        py::handle xv = right ? x_right : x_left;
        py::object xshape = xv.attr(ZD_STR("shape"));
        if (!truthy(allows(xshape)))
            raise_text(PyExc_ValueError,
                       right ? "Right variable's shape " : "Left variable's shape ", xshape,
                       " is not compact");
        // A 2-D variable array without variables, or a product without
        // cells: all zeros, or empty, with no part (the 1-D forms keep theirs).
        if (PyObject_Length(xshape.ptr()) == 2 &&
            (!truthy(xv.attr(ZD_STR("size"))) ||
             PyArray_SIZE(reinterpret_cast<PyArrayObject *>(b.ptr())) == 0))
            return cls(py::arg("matmulparts") = parts, py::arg("b") = b);
        py::object x = zd::global(ZD_STR("MVar"))(xv.attr(ZD_STR("_vararr")).attr("reshape")(-1));
        py::object M;
        if (right) {
            M = zd::sparse::to_csr(A, true, true);
        } else if (!(M = zd::sparse::csr_transpose(A))) {
            M = zd::sparse::to_csr(A.attr("T"), true, true);
            zd::call_method(M, ZD_STR("sort_indices"));
        }
        // A row of variables on the right, or a column on the left, times a
        // scalar matrix.
        const int line_axis = right ? 1 : 0;
        if (PyObject_Length(xshape.ptr()) == 2) {
            py::object len = xshape[py::int_(line_axis)];
            if (zd::check(PyObject_RichCompareBool(len.ptr(), py::int_(1).ptr(), Py_GT)))
                M = scalar_diagonal(np, M, len);
        }
        // A one-cell product under a constant of more cells: its one row
        // serves every cell.
        py::object rows = M.attr(ZD_STR("shape"))[py::int_(0)];
        py::object cells_n = b.attr("size");
        if (equals(rows, py::int_(1)) && !equals(cells_n, py::int_(1)))
            M = zd::sparse::to_csr(
                zd::sparse::kron(zd::call_method(np, ZD_STR("ones"), py::make_tuple(cells_n, 1)),
                                 M),
                false);
        parts.append(py::make_tuple(M, x));
    }
    return cls(py::arg("matmulparts") = parts, py::arg("b") = b);
}

py::object MLinExpr__add_matmul_part(const zd::Args &a) {
    py::handle self = a[0], A = a[1], x = a[2];
    py::object np = numpy();
    py::object sp = sparse();
    ZD_ASSERT(equals(A.attr("ndim"), py::int_(2)));
    ZD_ASSERT(equals(x.attr("ndim"), py::int_(1)));
    ZD_ASSERT(
        cells::equal_in_order([&]() -> py::object { return A.attr("shape")[py::int_(0)]; },
                              [&]() -> py::object { return self.attr(ZD_STR("_leading_adim")); }));
    ZD_ASSERT(cells::equal_in_order([&]() -> py::object { return A.attr("shape")[py::int_(1)]; },
                                    [&]() -> py::object { return x.attr("shape")[py::int_(0)]; }));
    ZD_ASSERT(zd::check(
        PyObject_RichCompareBool(self.attr(ZD_STR("size")).ptr(), py::int_(0).ptr(), Py_GT)));
    py::object M = zd::sparse::to_csr(A, false, true);
    self.attr(ZD_STR("_matmulparts")).attr("append")(py::make_tuple(M, x));
    return py::none();
}

// ---------------------------------------------------------------------------
// Factories from variables and expressions
// ---------------------------------------------------------------------------

py::object MLinExpr__from_mvar(const zd::Args &a) {
    py::handle cls = a[0], fromobj = a[1], force_full = a[2];
    if (keep_compact(cls) &&
        truthy(zd::call_method(cls, ZD_STR("_allows_compact"), fromobj.attr(ZD_STR("shape")))) &&
        !truthy(force_full))
        return zd::call_method(cls, ZD_STR("_from_mvar_compact"), fromobj);
    return zd::call_method(cls, ZD_STR("_from_mvar_full"), fromobj);
}

namespace {

// The n by n identity as a CSR matrix, its three arrays filled here and handed
// to SciPy in one call (index type int32 while n fits, as SciPy picks).
using cellrec::zeros_float64;

py::object identity_csr(npy_intp n) {
    zd::ensure_numpy();
    const int itype = n < NPY_MAX_INT32 ? NPY_INT32 : NPY_INT64;
    npy_intp np1 = n + 1;
    py::object data = zd::steal(PyArray_SimpleNew(1, &n, NPY_DOUBLE));
    py::object indices = zd::steal(PyArray_SimpleNew(1, &n, itype));
    py::object indptr = zd::steal(PyArray_SimpleNew(1, &np1, itype));
    auto *d = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(data.ptr())));
    void *idx = PyArray_DATA(reinterpret_cast<PyArrayObject *>(indices.ptr()));
    void *ptr = PyArray_DATA(reinterpret_cast<PyArrayObject *>(indptr.ptr()));
    auto fill = [&](auto *ix, auto *pt) {
        using I = std::remove_pointer_t<decltype(ix)>;
        for (npy_intp k = 0; k < n; ++k) {
            d[k] = 1.0;
            ix[k] = static_cast<I>(k);
            pt[k] = static_cast<I>(k);
        }
        pt[n] = static_cast<I>(n);
    };
    if (itype == NPY_INT32)
        fill(static_cast<int32_t *>(idx), static_cast<int32_t *>(ptr));
    else
        fill(static_cast<int64_t *>(idx), static_cast<int64_t *>(ptr));
    return zd::sparse::csr_from_arrays(data, indices, indptr, py::make_tuple(n, n));
}

} // namespace

py::object MLinExpr__from_mvar_compact(const zd::Args &a) {
    py::handle cls = a[0];
    py::object x = zd::borrow(a[1].ptr());
    py::object np = numpy();
    py::object sp = sparse();
    py::object s = x.attr(ZD_STR("shape"));
    py::object zero = py::int_(0);
    if (zd::check(PySequence_Contains(s.ptr(), zero.ptr())))
        return zd::global(ZD_STR("MLinExpr")).attr(ZD_STR("zeros"))(s);
    Py_ssize_t nd = PyObject_Length(s.ptr());
    if (nd < 0)
        zd::throw_error();
    py::object affine = cls.attr(ZD_STR("_from_compact_affine_expr"));
    auto at_most_one = [&](Py_ssize_t i) {
        return zd::check(
                   PyObject_RichCompareBool(s[py::int_(i)].ptr(), py::int_(1).ptr(), Py_LE)) == 1;
    };
    if (nd == 0) {
        py::list one;
        one.append(1.0);
        py::object A = zd::call_method(np, ZD_STR("array"), one);
        x = zd::call_method(x, ZD_STR("copy"));
        set_attr(
            x, ZD_STR("_vararr"),
            zd::call_method(np, ZD_STR("reshape"), x.attr(ZD_STR("_vararr")), py::make_tuple(1)));
        return affine(py::arg("A") = A, py::arg("x_right") = x);
    }
    if (nd == 1 || (nd == 2 && (at_most_one(0) || at_most_one(1)))) {
        // I @ x (or x @ I): one part, the identity over the flat variables,
        // under a zero constant of x's shape.
        py::object vararr = x.attr(ZD_STR("_vararr"));
        Py_ssize_t len = PyArray_Check(vararr.ptr())
                             ? PyArray_SIZE(reinterpret_cast<PyArrayObject *>(vararr.ptr()))
                             : PyNumber_AsSsize_t(np.attr("prod")(s).ptr(), PyExc_OverflowError);
        if (len == -1 && PyErr_Occurred())
            zd::throw_error();
        py::object flat = zd::global(ZD_STR("MVar"))(vararr.attr("reshape")(-1));
        py::list parts;
        parts.append(py::make_tuple(identity_csr(len), flat));
        py::object b = zeros_float64(s);
        return cls(py::arg("matmulparts") = parts, py::arg("b") = b);
    }
    ZD_ASSERT(false);
    zd::raisef(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", "ndle");
}

py::object MLinExpr__from_mvar_full(const zd::Args &a) {
    py::handle cls = a[0], fromobj = a[1];
    numpy();
    py::object vararr = fromobj.attr(ZD_STR("_vararr"));
    py::object out = empty_objects(fromobj.attr(ZD_STR("shape")));
    auto *vars = cells::as_ndarray(vararr);
    if (!vars)
        zd::raisef(PyExc_TypeError, "Expected numpy.ndarray, got %.200s", zd::type_name(vararr));
    py::object var_cls = zd::global(ZD_STR("Var"));
    auto *var_type =
        PyType_Check(var_cls.ptr()) ? reinterpret_cast<PyTypeObject *>(var_cls.ptr()) : nullptr;
    py::object le_type = linexpr_type();
    py::object one = zd::steal(PyFloat_FromDouble(1.0));
    cells::GcPause gc_pause;
    cells::ChunkLoop loop({vars, reinterpret_cast<PyArrayObject *>(out.ptr())},
                          NPY_ITER_REFS_OK | NPY_ITER_EXTERNAL_LOOP | NPY_ITER_ZEROSIZE_OK,
                          {NPY_ITER_READWRITE, NPY_ITER_WRITEONLY});
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp i = 0; i < n; ++i) {
            PyObject *var = cells::cell_or_none(data[0], strides[0], i);
            py::object cell;
            if (var_type && PyObject_TypeCheck(var, var_type)) {
                py::object coefs = zd::steal(cells::new_term_list(1));
                Py_INCREF(one.ptr());
                PyList_SET_ITEM(coefs.ptr(), 0, one.ptr());
                py::object vl = zd::steal(cells::new_term_list(1));
                Py_INCREF(var);
                PyList_SET_ITEM(vl.ptr(), 0, var);
                cell = cells::new_linexpr(0.0, coefs.release().ptr(), vl.release().ptr());
            } else {
                // Not a variable: the core type decides (and words the refusal).
                cell = le_type(one, zd::borrow(var));
            }
            Py_XSETREF(cells::cell_at(data[1], strides[1], i), cell.release().ptr());
        }
    });
    return cls(out);
}

py::object MLinExpr__from_var(const zd::Args &a) {
    py::handle cls = a[0], fromobj = a[1];
    numpy();
    if (!zd::check(PyObject_IsInstance(fromobj.ptr(), zd::global(ZD_STR("Var")).ptr())))
        zd::raise(PyExc_Exception, "Wrong type");
    return cls(zero_d(linexpr_type()(fromobj)));
}

py::object MLinExpr__from_linexpr(const zd::Args &a) {
    py::handle cls = a[0], fromobj = a[1];
    numpy();
    if (!arrayexpr::is_linexpr(fromobj.ptr()))
        zd::raise(PyExc_Exception, "Wrong type");
    return cls(zero_d(linexpr_type()(fromobj)));
}

namespace {

py::object from_linexprs_convert(const zd::Args &a) {
    py::object obj = zd::borrow(a[0].ptr());
    if (zd::check(PyObject_IsInstance(obj.ptr(), zd::global(ZD_STR("MLinExpr")).ptr())))
        obj = zd::call_method(obj, ZD_STR("item"));
    return linexpr_type()(obj);
}

} // namespace

py::object MLinExpr__from_linexprs(const zd::Args &a) {
    py::handle cls = a[0], les = a[1];
    py::object np = numpy();
    py::object convert =
        zd::make_function("convert", "MLinExpr._from_linexprs.<locals>.convert", zd::module_name(),
                          "obj", from_linexprs_convert, nullptr);
    py::object vconvert = zd::call_method(np, ZD_STR("vectorize"), convert);
    py::object tmp =
        np.attr("array")(zd::steal(PySequence_List(les.ptr())), py::arg("dtype") = "O");
    py::object learr = vconvert(tmp);
    return cls(learr);
}
