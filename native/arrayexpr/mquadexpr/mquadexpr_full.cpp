// MQuadExpr: the whole-array operations copy, normalise, flatten, sum,
// getValue and clear.
#include "mquadexpr.hpp"
#include "mvar/mvar.hpp"

#include <cstring>
#include <vector>

using namespace mquadexpr;

namespace {

void set_attr(py::handle obj, py::handle name, py::handle value) {
    zd::check(PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()));
}

// Calls f(cell) for every cell of an object array, in chunks.
template <class F>
void each_cell(py::handle a, npy_uint32 flags, F &&f) {
    cells::ChunkLoop loop({arr(a)}, flags, {NPY_ITER_READWRITE});
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp i = 0; i < n; ++i)
            f(cells::cell_or_none(data[0], strides[0], i));
    });
}

constexpr npy_uint32 chunked = NPY_ITER_REFS_OK | NPY_ITER_EXTERNAL_LOOP | NPY_ITER_ZEROSIZE_OK;

double float_of(py::handle h) {
    double v = PyFloat_AsDouble(h.ptr());
    if (v == -1.0 && PyErr_Occurred())
        zd::throw_error();
    return v;
}

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
    py::object Q = sp.attr("coo_matrix")(xQy[1], py::arg("copy") = true);
    py::object y = xQy[2].attr(ZD_STR("copy"))();
    out.append(py::make_tuple(x, Q, y));
    return out;
}

py::object MQuadExpr__copy_full(const zd::Args &a) {
    py::handle self = a[0];
    numpy();
    py::object ndle = self.attr(ZD_STR("_ndle")).attr(ZD_STR("copy"))();
    py::object qearr = qearr_of(self);
    py::object out = zd::steal(PyArray_Empty(PyArray_NDIM(arr(qearr)), PyArray_DIMS(arr(qearr)),
                                             PyArray_DescrFromType(NPY_OBJECT), 0));
    {
        cells::GcPause gc_pause;
        cells::ChunkLoop loop({arr(qearr), arr(out)}, chunked,
                              {NPY_ITER_READWRITE | NPY_ITER_NO_BROADCAST,
                               NPY_ITER_WRITEONLY | NPY_ITER_NO_BROADCAST});
        loop.run([&](char **data, npy_intp *strides, npy_intp n) {
            for (npy_intp k = 0; k < n; ++k) {
                py::object c = copy_quadexpr(cells::cell_or_none(data[0], strides[0], k));
                Py_XSETREF(cells::cell_at(data[1], strides[1], k), c.release().ptr());
            }
        });
    }
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
    each_cell(qearr_of(self), chunked, [](PyObject *cell) {
        quadexpr(cell);
        call_cell_method(cell, ZD_STR("_normalize"));
    });
    return py::none();
}

py::object MQuadExpr__flatten(const zd::Args &a) {
    py::handle self = a[0];
    numpy();
    if (is_compact(self))
        return py::none();
    each_cell(qearr_of(self), chunked,
              [](PyObject *cell) { call_cell_method(cell, ZD_STR("_flatten")); });
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
    PyArrayObject *in = arr(qearr);
    const int nd = PyArray_NDIM(in);
    py::object axeslist;
    {
        py::object ndim = py::int_(nd);
        PyObject *r = PyObject_CallFunctionObjArgs(zd::global(ZD_STR("_axis_to_axeslist")).ptr(),
                                                   axis.ptr(), ndim.ptr(), nullptr);
        if (!r) {
            if (!PyErr_ExceptionMatches(PyExc_IndexError))
                zd::throw_error();
            PyErr_Clear();
            py::object err = arrayexpr::bad_axis_error(axis);
            PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(err.ptr())), err.ptr());
            zd::throw_error();
        }
        axeslist = zd::steal(r);
    }
    // Each input axis: -1 when summed away, else its axis in the result.
    std::vector<int> target(static_cast<size_t>(nd));
    py::list result_shape;
    for (int d = 0; d < nd; ++d) {
        target[d] = static_cast<int>(arith::ssize(axeslist[py::int_(d)]));
        if (target[d] != -1)
            result_shape.append(py::int_(PyArray_DIM(in, d)));
    }
    py::object rshape = zd::steal(PySequence_Tuple(result_shape.ptr()));
    py::object ndle_sum = self.attr(ZD_STR("_ndle")).attr(ZD_STR("sum"))(axis);
    ZD_ASSERT(mlinexpr::equals(ndle_sum.attr(ZD_STR("shape")), rshape));
    py::object out = cls().attr(ZD_STR("_from_mlinexpr"))(ndle_sum, py::arg("force_full") = true);
    self.attr(ZD_STR("_flatten"))();
    py::object outarr = qearr_of(out);
    PyArrayObject *o = arr(outarr);
    for (int d = 0; d < nd; ++d)
        if (target[d] < -1 || target[d] >= PyArray_NDIM(o) ||
            (target[d] >= 0 && PyArray_DIM(o, target[d]) != PyArray_DIM(in, d)))
            zd::raise(PyExc_ValueError, "axes list does not match the result shape");
    const npy_intp n = PyArray_SIZE(in);
    if (n == 0)
        return out;
    // One pass over the summands in row-major order, each mapped to its sum
    // cell by the kept axes; the sum cell's lists are extended in place.
    std::vector<npy_intp> idx(static_cast<size_t>(nd), 0);
    std::vector<npy_intp> ostride(static_cast<size_t>(nd), 0);
    for (int d = 0; d < nd; ++d)
        ostride[d] = target[d] >= 0 ? PyArray_STRIDE(o, target[d]) : 0;
    char *ibase = PyArray_BYTES(in);
    char *obase = PyArray_BYTES(o);
    npy_intp ioff = 0, ooff = 0;
    for (npy_intp k = 0; k < n; ++k) {
        PyObject *sum_cell = *reinterpret_cast<PyObject **>(obase + ooff);
        PyObject *summand = *reinterpret_cast<PyObject **>(ibase + ioff);
        QuadExprObject *s = quadexpr(sum_cell);
        QuadExprObject *t = quadexpr(summand);
        cells::extend_field(&s->coeffs, t->coeffs ? t->coeffs : Py_None);
        cells::extend_field(&s->vars1, t->vars1 ? t->vars1 : Py_None);
        cells::extend_field(&s->vars2, t->vars2 ? t->vars2 : Py_None);
        for (int d = nd - 1; d >= 0; --d) {
            if (++idx[d] < PyArray_DIM(in, d)) {
                ioff += PyArray_STRIDE(in, d);
                ooff += ostride[d];
                break;
            }
            ioff -= (idx[d] - 1) * PyArray_STRIDE(in, d);
            ooff -= (idx[d] - 1) * ostride[d];
            idx[d] = 0;
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// Evaluation and clearing
// ---------------------------------------------------------------------------

py::object MQuadExpr_getValue(const zd::Args &a) {
    py::handle self = a[0];
    numpy();
    py::object ret = self.attr(ZD_STR("_ndle")).attr(ZD_STR("getValue"))();
    if (is_compact(self)) {
        py::object part = self.attr(ZD_STR("_extract_xQy"))();
        if (part[py::int_(1)].is_none())
            return ret;
        Coo coo(part);
        py::object xv = solution_of(coo.x, coo.nx);
        py::object yv = solution_of(coo.y, coo.ny);
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
    py::object qearr = qearr_of(self);
    if (!PyArray_Check(ret.ptr()) || PyArray_TYPE(arr(ret)) != NPY_DOUBLE ||
        !equals(ret.attr(ZD_STR("shape")), qearr.attr(ZD_STR("shape"))))
        zd::raise(PyExc_ValueError, "linear part value does not match the expression's shape");
    cells::ChunkLoop loop({arr(qearr), arr(ret)}, chunked,
                          {NPY_ITER_READONLY, NPY_ITER_READWRITE | NPY_ITER_NO_BROADCAST});
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp i = 0; i < n; ++i) {
            double v = float_of(
                call_cell_method(cells::cell_or_none(data[0], strides[0], i), ZD_STR("getValue")));
            double cur;
            std::memcpy(&cur, data[1] + i * strides[1], sizeof cur);
            cur += v;
            std::memcpy(data[1] + i * strides[1], &cur, sizeof cur);
        }
    });
    return ret;
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
    each_cell(qearr, chunked, [](PyObject *cell) {
        if (cell != Py_None)
            quadexpr(cell);
        call_cell_method(cell, ZD_STR("clear"));
    });
    return py::none();
}
