// MLinExpr: in-place multiplication, multiplication and the split of a
// product's cells into quadratic and linear parts.
#include "cellrec.hpp"
#include "mlinexpr_arith.hpp"
#include "zd_sparse.hpp"

#include <cmath>
#include <cstring>
#include <optional>

using namespace mlinexpr;
using namespace arith;

namespace {

using zd::arr;

using namespace operand;

// Scales a plain LinExpr (no continuation, a list of floats) in its record:
// what _mul does, without a call per cell. False when the cell is of another
// form; nothing has changed then.
// The last coefficient object scaled and its product: while the same float
// object repeats (the one 1.0 that variables' cells share), its product is
// shared too, floats being immutable. Holding `from` keeps its address from
// being reused by another float.
struct ScaleCache {
    py::object from, to;
};

bool scale_record(PyObject *cell, double v, ScaleCache *cache = nullptr) {
    if (!cells::exact_linexpr(cell))
        return false;
    auto *r = reinterpret_cast<LinExprObject *>(cell);
    PyObject *coefs = r->coef_list;
    if (r->cont_ref != Py_None || !coefs || !PyList_CheckExact(coefs) || Py_REFCNT(coefs) != 1)
        return false;
    const Py_ssize_t n = PyList_GET_SIZE(coefs);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!PyFloat_CheckExact(PyList_GET_ITEM(coefs, i)))
            return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *old = PyList_GET_ITEM(coefs, i);
        PyObject *scaled;
        if (cache && cache->from.ptr() == old) {
            scaled = Py_NewRef(cache->to.ptr());
        } else {
            scaled = PyFloat_FromDouble(PyFloat_AS_DOUBLE(old) * v);
            if (!scaled)
                zd::throw_error();
            if (cache) {
                cache->from = zd::borrow(old);
                cache->to = zd::borrow(scaled);
            }
        }
        PyList_SET_ITEM(coefs, i, scaled);
        Py_DECREF(old);
    }
    r->constant *= v;
    return true;
}

// `cell._mul(v)`: for a plain LinExpr the method is found once on the type.
void cell_mul(PyObject *cell, PyObject *v) {
    cells::linexpr_for_method(cell, "_mul");
    if (cells::exact_linexpr(cell)) {
        static PyObject *descr = nullptr;
        if (!descr) {
            descr = _PyType_Lookup(arrayexpr::LinExpr_type, ZD_STR("_mul").ptr());
            if (descr && !PyObject_TypeCheck(descr, &PyMethodDescr_Type))
                descr = nullptr;
            Py_XINCREF(descr);
        }
        if (descr) {
            PyObject *args[2] = {cell, v};
            zd::steal(PyObject_Vectorcall(descr, args, 2, nullptr));
            return;
        }
    }
    zd::steal(PyObject_CallMethodOneArg(cell, ZD_STR("_mul").ptr(), v));
}

[[noreturn]] void raise_not_finite() {
    py::object code = zd::global(ZD_STR("TVX")).attr(ZD_STR("ERROR_INVALID_ARGUMENT"));
    py::object exc =
        zd::global(ZD_STR("TovrixError"))(code, py::str("Multiplier is infinite or NaN"));
    zd::raise_instance(exc);
}

py::object self_ref(py::handle self) {
    return zd::borrow(self.ptr());
}

} // namespace

// ---------------------------------------------------------------------------
// In-place multiplication
// ---------------------------------------------------------------------------

py::object MLinExpr___imul__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    const Kind k = classify(other);
    numpy();
    py::object sp = sparse();
    if (compact_path(self)) {
        if (k == Kind::NDArray)
            return zd::call_method(self, ZD_STR("_imul_compact_ndarray"), other);
        if (k == Kind::Sparse)
            return zd::call_method(self, ZD_STR("_imul_compact_spmatrix"), other);
        if (k == Kind::Number)
            return zd::call_method(self, ZD_STR("_imul_compact_scalar"), to_float(other));
        return not_implemented();
    }
    zd::call_method(self, ZD_STR("_convert_to_full"));
    if (k == Kind::NDArray)
        return zd::call_method(self, ZD_STR("_imul_ndarray"), other);
    if (k == Kind::Sparse)
        return zd::call_method(self, ZD_STR("_imul_full_spmatrix"), other);
    if (k == Kind::Number)
        return zd::call_method(self, ZD_STR("_imul_scalar"), other);
    return not_implemented();
}

py::object MLinExpr__imul_compact_scalar(const zd::Args &a) {
    py::handle self = a[0], value = a[1];
    numpy();
    if (equals(value, py::float_(1.0)))
        return self_ref(self);
    attr_inplace(self, ZD_STR("_const"), value, true);
    py::object parts = self.attr(ZD_STR("_matmulparts"));
    if (length(parts) == 0)
        return self_ref(self);
    zd::call_method(self, ZD_STR("_concat_matmulparts"));
    py::object A = self.attr(ZD_STR("_matmulparts"))[py::int_(0)][py::int_(0)];
    attr_inplace(A, ZD_STR("data"), value, true);
    return self_ref(self);
}

namespace {

// Row scaling of a CSR matrix in place: data[k] *= flat[i] for the stored
// entries k of row i. Row pointers are read in their own width and checked
// whole before the first value changes.
struct RowScale {
    py::object data, flat;
    std::optional<zd::sparse::Compressed> csr;
    npy_intp m = 0;

    void prepare(py::handle A, py::handle arr_in, npy_intp rows) {
        zd::ensure_numpy();
        m = rows;
        data = A.attr("data");
        if (!PyArray_Check(data.ptr()) || PyArray_NDIM(arr(data)) != 1 ||
            PyArray_TYPE(arr(data)) != NPY_DOUBLE || !PyArray_ISWRITEABLE(arr(data)))
            zd::raise(PyExc_TypeError, "part matrix values must be a writeable float64 array");
        csr.emplace(A);
        csr->check_lines(m);
        // Safe cast: what NumPy cannot take as float64 numbers is refused here.
        flat = zd::steal(PyArray_FromAny(arr_in.ptr(), PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                         NPY_ARRAY_CARRAY_RO, nullptr));
        flat = zd::steal(PyArray_Ravel(arr(flat), NPY_CORDER));
    }
    npy_intp ptr_at(npy_intp i) const { return static_cast<npy_intp>(csr->pointer(i)); }
    void run() const {
        if (PyArray_SIZE(arr(flat)) < m)
            zd::raise(PyExc_IndexError, "Out of bounds on buffer access (axis 0)");
        const double *f = static_cast<const double *>(PyArray_DATA(arr(flat)));
        char *d = PyArray_BYTES(arr(data));
        const npy_intp ds = PyArray_STRIDE(arr(data), 0);
        for (npy_intp i = 0; i < m; ++i) {
            const double r = f[i];
            for (npy_intp k = ptr_at(i), e = ptr_at(i + 1); k < e; ++k)
                *reinterpret_cast<double *>(d + k * ds) *= r;
        }
    }
};

} // namespace

py::object MLinExpr__imul_compact_ndarray(const zd::Args &a) {
    py::handle self = a[0], arr_in = a[1];
    py::object np = numpy();
    if (!truthy(
            zd::call_method(np, ZD_STR("all"), zd::call_method(np, ZD_STR("isfinite"), arr_in))))
        raise_not_finite();
    const npy_intp size = ssize(arr_in.attr("size"));
    // Everything that can fail is done before the first value changes (the
    // merge of the parts keeps the value).
    const bool has_parts = length(self.attr(ZD_STR("_matmulparts"))) > 0;
    py::object A;
    double one_value = 0.0;
    RowScale rows;
    const npy_intp m = ssize(self.attr(ZD_STR("_leading_adim")));
    if (has_parts) {
        zd::call_method(self, ZD_STR("_concat_matmulparts"));
        A = self.attr(ZD_STR("_matmulparts"))[py::int_(0)][py::int_(0)];
        if (size == 1) {
            py::object v = to_float(zd::call_method(arr_in, ZD_STR("item")));
            one_value = PyFloat_AS_DOUBLE(v.ptr());
        } else {
            rows.prepare(A, arr_in, m);
        }
    }
    attr_inplace(self, ZD_STR("_const"), arr_in, true);
    // Without cells (a zero-length dimension) any broadcasting factor leaves
    // the empty expression as it is.
    ZD_ASSERT(size == 1 || size == m || m == 0);
    if (!has_parts)
        return self_ref(self);
    if (size == 1) {
        py::object v = zd::steal(PyFloat_FromDouble(one_value));
        attr_inplace(A, ZD_STR("data"), v, true);
    } else {
        rows.run();
    }
    return self_ref(self);
}

py::object MLinExpr__imul_compact_spmatrix(const zd::Args &a) {
    py::object dense = a[1].attr("toarray")();
    return a[0].attr(ZD_STR("_imul_compact_ndarray"))(dense);
}

py::object MLinExpr__imul_full_spmatrix(const zd::Args &a) {
    py::object dense = a[1].attr("toarray")();
    return a[0].attr(ZD_STR("_imul_ndarray"))(dense);
}

py::object MLinExpr__imul_scalar(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    numpy();
    const double v = PyFloat_AsDouble(other.ptr());
    if (v == -1.0 && PyErr_Occurred())
        zd::throw_error();
    if (v == 1.0)
        return self_ref(self);
    py::object vf = zd::steal(PyFloat_FromDouble(v));
    py::object learr = learr_of(self);
    cells::ChunkLoop loop({arr(learr)},
                          NPY_ITER_REFS_OK | NPY_ITER_EXTERNAL_LOOP | NPY_ITER_ZEROSIZE_OK,
                          {NPY_ITER_READWRITE});
    ScaleCache cache;
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp i = 0; i < n; ++i) {
            PyObject *cell = cells::cell_or_none(data[0], strides[0], i);
            if (!scale_record(cell, v, &cache))
                cell_mul(cell, vf.ptr());
        }
    });
    return self_ref(self);
}

py::object MLinExpr__imul_ndarray(const zd::Args &a) {
    py::handle self = a[0];
    numpy();
    py::object other = zd::steal(PyArray_FROM_O(a[1].ptr()));
    py::object learr = learr_of(self);
    // Zero-size operands are admitted: an empty expression stays as it is.
    cellrec::each_cell_with_number(learr, other, [](PyObject *cell, double v) {
        if (scale_record(cell, v))
            return;
        py::object vf = zd::steal(PyFloat_FromDouble(v));
        cell_mul(cell, vf.ptr());
    });
    return self_ref(self);
}

// ---------------------------------------------------------------------------
// Multiplication
// ---------------------------------------------------------------------------

py::object MLinExpr___mul__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    const Kind k = classify(other);
    numpy();
    sparse();
    if (k == Kind::QuadExpr || k == Kind::NLExpr)
        return op_mul(nl_form(self), other);
    py::object MLE = MLinExpr_cls();
    const bool compact = compact_path(self);
    if (!compact)
        zd::call_method(self, ZD_STR("_convert_to_full"));
    if (k == Kind::NDArray)
        return self.attr(compact ? ZD_STR("_mul_compact_ndarray")
                                 : ZD_STR("_mul_ndarray_numpy"))(other);
    if (k == Kind::Sparse)
        return self.attr(compact ? ZD_STR("_mul_compact_ndarray") : ZD_STR("_mul_ndarray_numpy"))(
            zd::call_method(other, ZD_STR("toarray")));
    // Variable-bearing operands multiply a full form of self (a copy when
    // self is compact, which stays so).
    auto full_self = [&]() -> py::object {
        if (compact)
            return zd::call_method(self, ZD_STR("_to_full"));
        return self_ref(self);
    };
    if (k == Kind::MVar)
        return full_self().attr(ZD_STR("_mul_full_mlinexpr_mvar"))(other);
    if (k == Kind::Var) {
        py::object tmp = full_self();
        py::object op = zd::global(ZD_STR("MVar")).attr(ZD_STR("fromlist"))(other);
        return zd::call_method(tmp, ZD_STR("_mul_full_mlinexpr_mvar"), op);
    }
    if (k == Kind::LinExpr) {
        py::object tmp = full_self();
        py::object op = zd::call_method(MLE, ZD_STR("_from_linexpr"), other);
        return zd::call_method(tmp, ZD_STR("_mul_full_mlinexpr_mvar"), op);
    }
    if (k == Kind::MLinExpr)
        return full_self().attr(ZD_STR("_mul_full_mlinexpr_mvar"))(other);
    if (k == Kind::Number) {
        py::object retval = zd::call_method(self, ZD_STR("copy"));
        return op_imul(retval, to_float(other));
    }
    return not_implemented();
}

py::object MLinExpr___rmul__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    const Kind k = classify(other);
    numpy();
    sparse();
    if (k == Kind::QuadExpr || k == Kind::NLExpr)
        return op_mul(other, nl_form(self));
    if (k == Kind::Var || k == Kind::LinExpr || k == Kind::MVar || k == Kind::MLinExpr ||
        k == Kind::NDArray || k == Kind::Sparse || k == Kind::Number)
        return op_mul(self, other);
    return not_implemented();
}

py::object MLinExpr__mul_compact_ndarray(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    py::object np = numpy();
    py::object sp = sparse();
    py::object MLE = MLinExpr_cls();
    py::object result_shape = zd::global(ZD_STR("_broadcast_shapes"))(self.attr(ZD_STR("shape")),
                                                                      other.attr(ZD_STR("shape")));
    if (!truthy(zd::call_method(MLE, ZD_STR("_allows_compact"), result_shape))) {
        py::object tmp = zd::call_method(self, ZD_STR("_to_full"));
        return op_mul(tmp, other);
    }
    py::object b = zd::call_method(
        np, ZD_STR("array"),
        zd::call_method(np, ZD_STR("broadcast_to"), self.attr(ZD_STR("_const")), result_shape));
    py::object retval = MLE(py::arg("matmulparts") = py::list(), py::arg("b") = b);
    const Py_ssize_t cells_n = ssize(b.attr("size"));
    // A product without cells carries no matmul part.
    if (length(self.attr(ZD_STR("_matmulparts"))) > 0 && cells_n > 0) {
        zd::call_method(self, ZD_STR("_concat_matmulparts"));
        auto [A_self, x_self] = unpack2(self.attr(ZD_STR("_matmulparts"))[py::int_(0)]);
        const Py_ssize_t m = ssize(self.attr(ZD_STR("_leading_adim")));
        const Py_ssize_t osize = ssize(other.attr("size"));
        py::object A;
        if (osize == 1 || osize == m) {
            A = zd::sparse::to_csr(A_self, true);
        } else {
            ZD_ASSERT(m == 1 && osize > 1);
            A = zd::sparse::kron(zd::call_method(np, ZD_STR("ones"), py::make_tuple(cells_n, 1)),
                                 A_self);
        }
        py::object x = zd::global(ZD_STR("MVar"))(x_self.attr(ZD_STR("_vararr")));
        zd::call_method(retval, ZD_STR("_add_matmul_part"), A, x);
    }
    return op_imul(retval, other);
}

py::object MLinExpr__mul_ndarray_numpy(const zd::Args &a) {
    py::handle self = a[0];
    numpy();
    py::object other = zd::steal(PyArray_FROM_O(a[1].ptr()));
    py::object learr = learr_of(self);
    py::object shape =
        zd::global(ZD_STR("_broadcast_shapes"))(self.attr(ZD_STR("shape")), other.attr("shape"));
    py::object out = cellrec::empty_objects(shape);
    cells::GcPause pause;
    // Zero-size operands are admitted: a product without cells is empty.
    cells::ChunkLoop loop(
        {arr(learr), arr(other), arr(out)},
        NPY_ITER_EXTERNAL_LOOP | NPY_ITER_REFS_OK | NPY_ITER_BUFFERED | NPY_ITER_REDUCE_OK |
            NPY_ITER_ZEROSIZE_OK,
        {NPY_ITER_READWRITE, NPY_ITER_READONLY | NPY_ITER_COPY, NPY_ITER_WRITEONLY},
        {NPY_OBJECT, NPY_DOUBLE, NPY_OBJECT});
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp i = 0; i < n; ++i) {
            PyObject *cell = cells::cell_or_none(data[0], strides[0], i);
            cells::linexpr(cell);
            py::object tmple = cells::copy_linexpr(cell);
            double v;
            std::memcpy(&v, data[1] + i * strides[1], sizeof v);
            if (!scale_record(tmple.ptr(), v)) {
                py::object vf = zd::steal(PyFloat_FromDouble(v));
                cell_mul(tmple.ptr(), vf.ptr());
            }
            PyObject *&slot = cells::cell_at(data[2], strides[2], i);
            Py_XSETREF(slot, tmple.release().ptr());
        }
    });
    return wrap_full(out);
}

py::object MLinExpr__mul_full_mlinexpr_mvar(const zd::Args &a) {
    py::handle self = a[0];
    py::object other = zd::borrow(a[1].ptr());
    numpy();
    py::object arr_other;
    if (is_mlinexpr(other)) {
        if (is_compact(other))
            other = zd::call_method(other, ZD_STR("_to_full"));
        arr_other = other.attr(ZD_STR("_learr"));
    } else if (is_mvar(other)) {
        arr_other = other.attr(ZD_STR("_vararr"));
    } else {
        zd::raisef(PyExc_TypeError, "Expected MLinExpr or MVar, got %.200s", zd::type_name(other));
    }
    py::object qearr;
    {
        cells::GcPause pause;
        qearr = op_mul(learr_of(self), arr_other);
    }
    py::object MQE = zd::global(ZD_STR("MQuadExpr"));
    if (arrayexpr::is_quadexpr(qearr.ptr()))
        return zd::call_method(MQE, ZD_STR("_from_quad_expr"), qearr);
    if (!PyArray_Check(qearr.ptr())) {
        // A bare LinExpr (two 0-d operands without a quadratic term): split
        // it like a one-cell array.
        py::object cell = qearr;
        qearr = zd::steal(PyArray_SimpleNew(0, nullptr, NPY_OBJECT));
        auto **slot = reinterpret_cast<PyObject **>(PyArray_DATA(arr(qearr)));
        Py_INCREF(cell.ptr());
        Py_XSETREF(*slot, cell.ptr());
    }
    // A product without cells: the empty quadratic array of its shape.
    if (PyArray_SIZE(arr(qearr)) == 0)
        return zd::call_method(MQE, ZD_STR("zeros"), qearr.attr("shape"));
    py::object learr = MLinExpr_cls().attr(ZD_STR("_split_lin_quad"))(qearr);
    py::object ndle = wrap_full(learr);
    return MQE(py::arg("qearr") = qearr, py::arg("ndle") = ndle);
}

// ---------------------------------------------------------------------------
// Linear and quadratic split
// ---------------------------------------------------------------------------

py::object MLinExpr__split_lin_quad(const zd::Args &a) {
    numpy();
    zd::ensure_numpy();
    py::object mixarr = zd::steal(PyArray_FROM_O(a[0].ptr()));
    py::object learr = zd::steal(PyArray_Empty(PyArray_NDIM(arr(mixarr)), PyArray_DIMS(arr(mixarr)),
                                               PyArray_DescrFromType(NPY_OBJECT), 0));
    py::handle QuadExpr = reinterpret_cast<PyObject *>(arrayexpr::QuadExpr_type);
    cells::GcPause pause;
    cells::ChunkLoop loop({arr(mixarr), arr(learr)},
                          NPY_ITER_REFS_OK | NPY_ITER_EXTERNAL_LOOP | NPY_ITER_BUFFERED,
                          {NPY_ITER_READWRITE, NPY_ITER_READWRITE});
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp i = 0; i < n; ++i) {
            PyObject *&mix = cells::cell_at(data[0], strides[0], i);
            PyObject *&lin = cells::cell_at(data[1], strides[1], i);
            PyObject *cell = mix ? mix : Py_None;
            if (arrayexpr::is_quadexpr(cell)) {
                zd::steal(PyObject_CallMethodNoArgs(cell, ZD_STR("_normalize").ptr()));
                auto *qe = reinterpret_cast<QuadExprObject *>(cell);
                py::object fresh = cells::new_linexpr();
                Py_XINCREF(qe->linexpr);
                Py_XSETREF(lin, qe->linexpr ? qe->linexpr : (Py_INCREF(Py_None), Py_None));
                Py_XSETREF(qe->linexpr, fresh.release().ptr());
            } else {
                cells::linexpr_for_method(cell, "_normalize");
                cells::call_cell_method(cell, ZD_STR("_normalize"));
                py::object empty = zd::steal(PyObject_CallNoArgs(QuadExpr.ptr()));
                Py_INCREF(cell);
                Py_XSETREF(lin, cell);
                Py_XSETREF(mix, empty.release().ptr());
            }
        }
    });
    return learr;
}
