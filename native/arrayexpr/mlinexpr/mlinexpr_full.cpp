// MLinExpr: conversion to the full state and the whole-array operations
// clear, copy, flatten, normalize, constants and values.
#include "cellrec.hpp"
#include "mlinexpr.hpp"
#include "zd_sparse.hpp"

#include <cstring>
#include <optional>
#include <vector>

using namespace mlinexpr;
using cellrec::LinRec;

namespace {

using zd::set_attr;

using zd::arr;

// A C-ordered array of the given type and shape (contents uninitialised for
// numbers, None for objects).
py::object new_array(int nd, const npy_intp *dims, int type) {
    if (type == NPY_OBJECT)
        return cellrec::new_object_array(nd, dims);
    zd::ensure_numpy();
    return zd::steal(PyArray_SimpleNew(nd, const_cast<npy_intp *>(dims), type));
}

// The array of `obj` as a C-contiguous, aligned array of `type` (no copy when
// it already is one); safe casting.
py::object c_array(py::handle obj, int type, int flags = NPY_ARRAY_CARRAY_RO) {
    zd::ensure_numpy();
    return zd::steal(PyArray_FromAny(obj.ptr(), PyArray_DescrFromType(type), 0, 0, flags, nullptr));
}

// The flat array of a one-dimensional object array, C-contiguous.
py::object flat_objects(py::handle obj) {
    zd::ensure_numpy();
    py::object a = c_array(obj, NPY_OBJECT);
    if (PyArray_NDIM(arr(a)) != 1)
        a = zd::steal(PyArray_Ravel(arr(a), NPY_CORDER));
    return a;
}

// The merged matmul part of a compact expression, its CSR arrays read in place.
struct Csr {
    py::object A, x, vars;
    std::optional<zd::sparse::Compressed> m;
    npy_intp nvars = 0;

    explicit Csr(py::handle part) {
        auto [a, xv] = unpack2(part);
        A = a;
        x = xv;
        unpack2(A.attr(ZD_STR("shape")));
        vars = flat_objects(x.attr(ZD_STR("_vararr")));
        m.emplace(A);
        nvars = PyArray_SIZE(arr(vars));
    }

    const double *values() const { return m->values; }
    PyObject *const *var_items() const {
        return static_cast<PyObject *const *>(PyArray_DATA(arr(vars)));
    }
    // The first `rows` rows are readable and every column names a variable.
    void check_rows(npy_intp rows) const {
        m->check_lines(rows);
        m->check_indices(rows, nvars);
    }
    // Calls f(row pointers, column indices), typed.
    template <class F>
    void visit(F &&f) const {
        m->visit(f);
    }
    // Row k's stored entries [s, e) (checked by check_rows).
    template <class P>
    static void row(const P *ptr, npy_intp k, npy_intp &s, npy_intp &e) {
        s = static_cast<npy_intp>(ptr[k]);
        e = static_cast<npy_intp>(ptr[k + 1]);
    }
    template <class I>
    static npy_intp column(const I *idx, npy_intp j) {
        return static_cast<npy_intp>(idx[j]);
    }
};

[[noreturn]] void raise_iadd_type(py::handle other) {
    zd::raisef(PyExc_TypeError, "unsupported operand type(s) for +=: 'MLinExpr' and '%.200s'",
               zd::type_name(other));
}

} // namespace

// ---------------------------------------------------------------------------
// Conversion to the full state
// ---------------------------------------------------------------------------

py::object MLinExpr__convert_to_full(const zd::Args &a) {
    exprkind::convert_to_full(exprkind::MLinExpr_kind, a[0]);
    return py::none();
}

py::object MLinExpr__to_full(const zd::Args &a) {
    py::handle self = a[0];
    numpy();
    zd::ensure_numpy();
    py::object cst = self.attr(ZD_STR("_const"));
    if (!PyArray_Check(cst.ptr()))
        raise_iadd_type(cst);
    py::object consts = c_array(cst, NPY_DOUBLE);
    const double *c = static_cast<const double *>(PyArray_DATA(arr(consts)));
    const int nd = PyArray_NDIM(arr(cst));
    py::object out = new_array(nd, PyArray_DIMS(arr(cst)), NPY_OBJECT);
    auto **cell = static_cast<PyObject **>(PyArray_DATA(arr(out)));
    const npy_intp ncells = PyArray_SIZE(arr(out));
    cells::GcPause gc_pause;

    py::object parts = self.attr(ZD_STR("_matmulparts"));
    Py_ssize_t nparts = PyObject_Length(parts.ptr());
    if (nparts < 0)
        zd::throw_error();
    if (nparts == 0) {
        for (npy_intp k = 0; k < ncells; ++k)
            Py_XSETREF(cell[k], cells::new_linexpr(0.0 + c[k]).release().ptr());
        return wrap_full(out);
    }
    zd::call_method(self, ZD_STR("_concat_matmulparts"));
    Csr csr(self.attr(ZD_STR("_matmulparts"))[py::int_(0)]);
    csr.check_rows(ncells);
    const double *data = csr.values();
    PyObject *const *vars = csr.var_items();
    // Each cell's two lists straight from its row of the CSR arrays.
    csr.visit([&](auto ptr, auto idx) {
        for (npy_intp k = 0; k < ncells; ++k) {
            npy_intp s, e;
            csr.row(ptr, k, s, e);
            py::object coefs = zd::steal(cells::new_term_list(e - s));
            py::object vl = zd::steal(cells::new_term_list(e - s));
            for (npy_intp j = s; j < e; ++j) {
                PyObject *v = vars[csr.column(idx, j)];
                if (!v)
                    v = Py_None;
                PyObject *f = PyFloat_FromDouble(data[j]);
                if (!f)
                    zd::throw_error();
                PyList_SET_ITEM(coefs.ptr(), j - s, f);
                Py_INCREF(v);
                PyList_SET_ITEM(vl.ptr(), j - s, v);
            }
            Py_XSETREF(cell[k],
                       cells::new_linexpr(0.0 + c[k], coefs.release().ptr(), vl.release().ptr())
                           .release()
                           .ptr());
        }
    });
    return wrap_full(out);
}

// ---------------------------------------------------------------------------
// Clearing and copying
// ---------------------------------------------------------------------------

py::object MLinExpr_clear(const zd::Args &a) {
    py::handle self = a[0];
    if (is_compact(self))
        return zd::call_method(self, ZD_STR("_clear_compact"));
    return zd::call_method(self, ZD_STR("_clear_full"));
}

py::object MLinExpr__clear_compact(const zd::Args &a) {
    py::handle self = a[0];
    set_attr(self, ZD_STR("_matmulparts"), py::list());
    self.attr(ZD_STR("_const")).attr("fill")(0.0);
    return py::none();
}

py::object MLinExpr__clear_full(const zd::Args &a) {
    py::handle self = a[0];
    numpy();
    cellrec::clear_cells<LinRec>(learr_of(self));
    return py::none();
}

py::object MLinExpr_copy(const zd::Args &a) {
    py::handle self = a[0];
    if (is_compact(self) && keep_compact(self))
        return zd::call_method(self, ZD_STR("_copy_compact"));
    return zd::call_method(self, ZD_STR("_copy_full"));
}

py::object MLinExpr__copy_compact(const zd::Args &a) {
    py::handle self = a[0];
    py::object parts = self.attr(ZD_STR("_matmulparts"));
    Py_ssize_t n = PyObject_Length(parts.ptr());
    if (n < 0)
        zd::throw_error();
    py::list newparts;
    if (n >= 1) {
        zd::call_method(self, ZD_STR("_concat_matmulparts"));
        py::object part = self.attr(ZD_STR("_matmulparts"))[py::int_(0)];
        newparts.append(py::make_tuple(zd::sparse::copy_matrix(part[py::int_(0)]),
                                       part[py::int_(1)].attr("copy")()));
    }
    py::object b = self.attr(ZD_STR("_const")).attr("copy")();
    return zd::global(ZD_STR("MLinExpr"))(py::arg("matmulparts") = newparts, py::arg("b") = b);
}

py::object MLinExpr__copy_full(const zd::Args &a) {
    py::handle self = a[0];
    numpy();
    zd::call_method(self, ZD_STR("_convert_to_full"));
    return wrap_full(cellrec::copy_cells<LinRec>(learr_of(self)));
}

// ---------------------------------------------------------------------------
// Normalisation and evaluation
// ---------------------------------------------------------------------------

py::object MLinExpr__flatten(const zd::Args &a) {
    py::handle self = a[0];
    numpy();
    if (is_compact(self))
        return py::none();
    // A plain cell without continuation is flat already.
    cellrec::flatten_cells<LinRec>(learr_of(self), true);
    return py::none();
}

py::object MLinExpr__normalize(const zd::Args &a) {
    py::handle self = a[0];
    numpy();
    if (is_compact(self))
        return py::none();
    cellrec::normalize_cells<LinRec>(learr_of(self));
    return py::none();
}

py::object MLinExpr_getConstant(const zd::Args &a) {
    py::handle self = a[0];
    numpy();
    if (is_compact(self))
        return self.attr(ZD_STR("_const")).attr("copy")();
    py::object learr = learr_of(self);
    if (PyArray_SIZE(arr(learr)) == 0)
        zd::raise(PyExc_ValueError,
                  "cannot call `vectorize` on size 0 inputs unless `otypes` is set");
    // Each cell answers its own getConstant() (a plain record is read in
    // place): a foreign cell fails as its method lookup fails, and a result
    // that is not a float is converted as NumPy converts it to float64.
    return cellrec::per_cell_values(learr, [](PyObject *cell, PyArrayObject *out, char *slot) {
        if (cells::exact_linexpr(cell)) {
            auto *r = reinterpret_cast<LinExprObject *>(cell);
            if (r->cont_ref == Py_None) {
                std::memcpy(slot, &r->constant, sizeof r->constant);
                return;
            }
        }
        py::object v = cells::call_cell_method(cell, ZD_STR("getConstant"));
        cellrec::store_float(out, slot, v.ptr());
    });
}

py::object MLinExpr_getValue(const zd::Args &a) {
    py::handle self = a[0];
    numpy();
    zd::ensure_numpy();
    if (!is_compact(self)) {
        return cellrec::cell_values<LinRec>(learr_of(self));
    }
    return mlinexpr::compact_value(self);
}

py::object mlinexpr::compact_value(py::handle self, SolutionRead *read) {
    zd::ensure_numpy();
    py::object ret = self.attr(ZD_STR("_const")).attr("copy")();
    py::object parts = self.attr(ZD_STR("_matmulparts"));
    Py_ssize_t nparts = PyObject_Length(parts.ptr());
    if (nparts < 0)
        zd::throw_error();
    if (nparts == 0)
        return ret;
    zd::call_method(self, ZD_STR("_concat_matmulparts"));
    Csr csr(self.attr(ZD_STR("_matmulparts"))[py::int_(0)]);
    // One read of the solution for the whole variable vector.
    py::object vals =
        c_array(csr.x.attr("X"), NPY_DOUBLE, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST);
    if (PyArray_SIZE(arr(vals)) != csr.nvars)
        zd::raisef(PyExc_ValueError, "solution has %zd values for %zd variables",
                   PyArray_SIZE(arr(vals)), csr.nvars);
    if (read) {
        read->vars = csr.vars;
        read->values = vals;
    }
    const double *v = static_cast<const double *>(PyArray_DATA(arr(vals)));
    if (!PyArray_Check(ret.ptr()) || PyArray_TYPE(arr(ret)) != NPY_DOUBLE ||
        !PyArray_IS_C_CONTIGUOUS(arr(ret)))
        ret = c_array(ret, NPY_DOUBLE, NPY_ARRAY_CARRAY | NPY_ARRAY_ENSURECOPY);
    double *out = static_cast<double *>(PyArray_DATA(arr(ret)));
    const npy_intp ncells = PyArray_SIZE(arr(ret));
    csr.check_rows(ncells);
    const double *data = csr.values();
    csr.visit([&](auto ptr, auto idx) {
        for (npy_intp k = 0; k < ncells; ++k) {
            npy_intp s, e;
            csr.row(ptr, k, s, e);
            double sum = 0.0;
            for (npy_intp j = s; j < e; ++j)
                sum += data[j] * v[csr.column(idx, j)];
            out[k] += sum;
        }
    });
    return ret;
}
