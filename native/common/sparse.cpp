// SciPy sparse matrices: the reader of compressed arrays and the makers.
#include "zd_sparse.hpp"

#include <algorithm>
#include <memory>
#include <vector>

namespace zd::sparse {

namespace {

using zd::arr;

py::object scipy_sparse() {
    return ZD_IMPORT("scipy.sparse");
}

} // namespace

py::object index_array(py::handle obj) {
    ensure_numpy();
    py::object a = steal(PyArray_FROM_O(obj.ptr()));
    const int want = PyArray_EquivTypenums(PyArray_TYPE(arr(a)), NPY_INT32) ? NPY_INT32 : NPY_INT64;
    return steal(PyArray_FromAny(a.ptr(), PyArray_DescrFromType(want), 1, 1,
                                 NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST, nullptr));
}

Compressed::Compressed(py::handle A, bool rows) : by_rows(rows) {
    ensure_numpy();
    data = steal(PyArray_FromAny(A.attr("data").ptr(), PyArray_DescrFromType(NPY_DOUBLE), 1, 1,
                                 NPY_ARRAY_CARRAY_RO, nullptr));
    indptr = index_array(A.attr("indptr"));
    indices = index_array(A.attr("indices"));
    values = static_cast<const double *>(PyArray_DATA(arr(data)));
    nnz = std::min(PyArray_SIZE(arr(data)), PyArray_SIZE(arr(indices)));
    nptr = PyArray_SIZE(arr(indptr));
    ptr64 = PyArray_ITEMSIZE(arr(indptr)) == 8;
    idx64 = PyArray_ITEMSIZE(arr(indices)) == 8;
}

void Compressed::check_lines(npy_intp nlines) const {
    const char *line = by_rows ? "row" : "column";
    if (nptr < nlines + 1)
        raisef(PyExc_IndexError, "sparse matrix has index pointers for %zd %ss, %zd needed",
               nptr > 0 ? nptr - 1 : 0, line, nlines);
    visit([&](auto p, auto) {
        for (npy_intp k = 0; k < nlines; ++k)
            if (p[k] < 0 || p[k + 1] < p[k] || p[k + 1] > nnz)
                raisef(PyExc_IndexError, "sparse matrix index pointers out of range at %s %zd",
                       line, k);
        if (nlines == 0 && nptr > 0 && (p[0] < 0 || p[0] > nnz))
            raisef(PyExc_IndexError, "sparse matrix index pointers out of range at %s %zd", line,
                   npy_intp(0));
    });
}

void Compressed::check_indices(npy_intp nlines, npy_intp bound) const {
    if (nlines == 0)
        return;
    visit([&](auto p, auto idx) {
        const npy_intp lo = static_cast<npy_intp>(p[0]), hi = static_cast<npy_intp>(p[nlines]);
        if (!indices_below(idx + lo, hi - lo, bound))
            raise_index_out_of_range(by_rows);
    });
}

void raise_index_out_of_range(bool by_rows) {
    raisef(PyExc_ValueError, "sparse matrix %s index out of range", by_rows ? "column" : "row");
}

bool issparse(py::handle o) {
    return truthy(scipy_sparse().attr(ZD_STR("issparse"))(o));
}

namespace {

// A SciPy class (CSR, or COO) and what its constructor stores besides the
// arrays and the shape, read once from a matrix it made. Null `cls` when its
// instances do not look as expected (then SciPy makes every matrix).
struct CsrLayout {
    py::object cls, maxprint;
};

// The layout of SciPy's class `name`, probed with an empty 2 by 3 matrix
// whose instance dictionary must hold exactly the five `keys`.
CsrLayout *probe_layout(const char *name, const char *const (&keys)[5]) {
    auto l = std::make_unique<CsrLayout>();
    py::object cls = scipy_sparse().attr(name);
    py::object probe = cls(py::make_tuple(2, 3));
    PyObject *dict =
        PyType_Check(cls.ptr()) ? PyObject_GenericGetDict(probe.ptr(), nullptr) : nullptr;
    if (!dict)
        PyErr_Clear();
    py::object d = steal(dict);
    bool ok = d && PyDict_CheckExact(d.ptr()) && PyDict_GET_SIZE(d.ptr()) == 5;
    for (const char *k : keys)
        ok = ok && PyDict_GetItemString(d.ptr(), k) != nullptr;
    if (ok) {
        l->cls = cls;
        l->maxprint = borrow(PyDict_GetItemString(d.ptr(), "maxprint"));
    }
    return l.release();
}

// Kept for the process: SciPy's classes live as long. (No function-local
// static initialisation: the probe runs Python code, which may switch
// threads.)
const CsrLayout &csr_layout() {
    static CsrLayout *layout = nullptr;
    if (!layout)
        layout = probe_layout("csr_matrix", {"_shape", "maxprint", "indices", "indptr", "data"});
    return *layout;
}

bool carray_of(py::handle a, int type) {
    if (!PyArray_CheckExact(a.ptr()))
        return false;
    PyArrayObject *x = arr(a);
    return PyArray_NDIM(x) == 1 && PyArray_ISCARRAY_RO(x) && PyArray_ISNOTSWAPPED(x) &&
           PyArray_EquivTypenums(PyArray_TYPE(x), type);
}

// (rows, cols) of a shape tuple of two ints that SciPy would index with int32.
bool int32_shape(py::handle shape, npy_intp &rows, npy_intp &cols) {
    if (!PyTuple_CheckExact(shape.ptr()) || PyTuple_GET_SIZE(shape.ptr()) != 2)
        return false;
    npy_intp d[2];
    for (int i = 0; i < 2; ++i) {
        PyObject *o = PyTuple_GET_ITEM(shape.ptr(), i);
        if (!PyLong_CheckExact(o))
            return false;
        d[i] = PyLong_AsSsize_t(o);
        if (d[i] == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        if (d[i] < 0 || d[i] > INT32_MAX)
            return false;
    }
    rows = d[0];
    cols = d[1];
    return true;
}

// The matrix SciPy's constructor makes from float64 data and int32 index
// arrays that are already in its canonical form (row pointers from 0 to the
// number of entries, as many entries as values): the same class and instance
// dictionary, the arrays taken as they are, without its Python-level checks.
// Null when the arrays are not in that form.
py::object csr_direct(py::handle data, py::handle indices, py::handle indptr, npy_intp rows,
                      npy_intp cols) {
    const CsrLayout &l = csr_layout();
    if (!l.cls || !carray_of(data, NPY_DOUBLE) || !carray_of(indices, NPY_INT32) ||
        !carray_of(indptr, NPY_INT32))
        return py::object();
    const npy_intp nnz = PyArray_SIZE(arr(data));
    if (PyArray_SIZE(arr(indices)) != nnz || PyArray_SIZE(arr(indptr)) != rows + 1)
        return py::object();
    const auto *p = static_cast<const int32_t *>(PyArray_DATA(arr(indptr)));
    if (p[0] != 0 || p[rows] != nnz)
        return py::object();
    auto *tp = reinterpret_cast<PyTypeObject *>(l.cls.ptr());
    py::tuple noargs;
    py::object m = steal(tp->tp_new(tp, noargs.ptr(), nullptr));
    py::object dict = steal(PyObject_GenericGetDict(m.ptr(), nullptr));
    py::object shape = py::make_tuple(py::int_(rows), py::int_(cols));
    check(PyDict_SetItemString(dict.ptr(), "_shape", shape.ptr()));
    check(PyDict_SetItemString(dict.ptr(), "maxprint", l.maxprint.ptr()));
    check(PyDict_SetItemString(dict.ptr(), "indices", indices.ptr()));
    check(PyDict_SetItemString(dict.ptr(), "indptr", indptr.ptr()));
    check(PyDict_SetItemString(dict.ptr(), "data", data.ptr()));
    return m;
}

py::object array_copy(py::handle a) {
    return steal(PyArray_NewCopy(arr(a), NPY_CORDER));
}

// An exact CSR matrix of SciPy's class whose arrays csr_direct accepts.
bool direct_csr_source(py::handle A) {
    const CsrLayout &l = csr_layout();
    return l.cls && Py_TYPE(A.ptr()) == reinterpret_cast<PyTypeObject *>(l.cls.ptr());
}

// csr_matrix(A) of a one- or two-dimensional numeric ndarray, as SciPy makes
// it: the entries that are not 0 (NaN included), row by row, as float64 with
// int32 indices; a one-dimensional A (taken when `one_d`: float64 asked for)
// is one row. Null when A is of another kind or too large for int32.
py::object dense_csr(py::handle A, bool one_d) {
    if (!PyArray_CheckExact(A.ptr()))
        return py::object();
    const int ndim = PyArray_NDIM(arr(A));
    if (ndim != 2 && !(one_d && ndim == 1))
        return py::object();
    const char kind = PyArray_DESCR(arr(A))->kind;
    if (kind != 'f' && kind != 'i' && kind != 'u')
        return py::object();
    const npy_intp rows = ndim == 2 ? PyArray_DIM(arr(A), 0) : 1;
    const npy_intp cols = PyArray_DIM(arr(A), ndim - 1);
    if (rows > INT32_MAX || cols > INT32_MAX || !csr_layout().cls)
        return py::object();
    py::object v = steal(PyArray_FromAny(A.ptr(), PyArray_DescrFromType(NPY_DOUBLE), ndim, ndim,
                                         NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST, nullptr));
    const auto *p = static_cast<const double *>(PyArray_DATA(arr(v)));
    const npy_intp n = rows * cols;
    npy_intp nnz = 0;
    for (npy_intp k = 0; k < n; ++k)
        nnz += p[k] != 0.0;
    if (nnz > INT32_MAX)
        return py::object();
    npy_intp dn = nnz, dp = rows + 1;
    py::object data = steal(PyArray_SimpleNew(1, &dn, NPY_DOUBLE));
    py::object indices = steal(PyArray_SimpleNew(1, &dn, NPY_INT32));
    py::object indptr = steal(PyArray_SimpleNew(1, &dp, NPY_INT32));
    auto *d = static_cast<double *>(PyArray_DATA(arr(data)));
    auto *ix = static_cast<int32_t *>(PyArray_DATA(arr(indices)));
    auto *ip = static_cast<int32_t *>(PyArray_DATA(arr(indptr)));
    int32_t k = 0;
    ip[0] = 0;
    for (npy_intp r = 0; r < rows; ++r) {
        const double *row = p + r * cols;
        for (npy_intp c = 0; c < cols; ++c)
            if (row[c] != 0.0) {
                d[k] = row[c];
                ix[k++] = static_cast<int32_t>(c);
            }
        ip[r + 1] = k;
    }
    return csr_direct(data, indices, indptr, rows, cols);
}

} // namespace

py::object csr_from_arrays(py::handle data, py::handle indices, py::handle indptr,
                           py::handle shape) {
    ensure_numpy();
    npy_intp rows, cols;
    if (int32_shape(shape, rows, cols))
        if (py::object m = csr_direct(data, indices, indptr, rows, cols))
            return m;
    return scipy_sparse().attr(ZD_STR("csr_matrix"))(py::make_tuple(data, indices, indptr),
                                                     py::arg("shape") = shape);
}

py::object copy_matrix(py::handle A) {
    ensure_numpy();
    if (direct_csr_source(A)) {
        py::object d = steal(PyObject_GenericGetDict(A.ptr(), nullptr));
        PyObject *data = PyDict_GetItemString(d.ptr(), "data");
        PyObject *indices = PyDict_GetItemString(d.ptr(), "indices");
        PyObject *indptr = PyDict_GetItemString(d.ptr(), "indptr");
        PyObject *shape = PyDict_GetItemString(d.ptr(), "_shape");
        npy_intp rows, cols;
        if (data && indices && indptr && shape && int32_shape(shape, rows, cols) &&
            carray_of(data, NPY_DOUBLE) && carray_of(indices, NPY_INT32) &&
            carray_of(indptr, NPY_INT32))
            if (py::object m = csr_direct(array_copy(data), array_copy(indices), array_copy(indptr),
                                          rows, cols))
                return m;
    }
    return A.attr("copy")();
}

namespace {

// SciPy's COO class and its `maxprint`, as for CSR.
const CsrLayout &coo_layout() {
    static CsrLayout *layout = nullptr;
    if (!layout)
        layout = probe_layout("coo_matrix",
                              {"_shape", "maxprint", "coords", "data", "has_canonical_format"});
    return *layout;
}

py::object new_int32(npy_intp n) {
    return steal(PyArray_SimpleNew(1, &n, NPY_INT32));
}

// A COO matrix of SciPy's class over float64 data and int32 coordinates that
// are in range, stored as its constructor stores them.
py::object coo_direct(py::handle data, py::handle row, py::handle col, npy_intp rows, npy_intp cols,
                      bool canonical) {
    const CsrLayout &l = coo_layout();
    auto *tp = reinterpret_cast<PyTypeObject *>(l.cls.ptr());
    py::tuple noargs;
    py::object m = steal(tp->tp_new(tp, noargs.ptr(), nullptr));
    py::object dict = steal(PyObject_GenericGetDict(m.ptr(), nullptr));
    py::object shape = py::make_tuple(py::int_(rows), py::int_(cols));
    py::object coords = py::make_tuple(row, col);
    check(PyDict_SetItemString(dict.ptr(), "_shape", shape.ptr()));
    check(PyDict_SetItemString(dict.ptr(), "maxprint", l.maxprint.ptr()));
    check(PyDict_SetItemString(dict.ptr(), "coords", coords.ptr()));
    check(PyDict_SetItemString(dict.ptr(), "data", data.ptr()));
    check(PyDict_SetItemString(dict.ptr(), "has_canonical_format", canonical ? Py_True : Py_False));
    return m;
}

// The dictionary of `A` when it is exactly of the class `l` describes.
py::object exact_dict(py::handle A, const CsrLayout &l) {
    if (!l.cls || Py_TYPE(A.ptr()) != reinterpret_cast<PyTypeObject *>(l.cls.ptr()))
        return py::object();
    return steal(PyObject_GenericGetDict(A.ptr(), nullptr));
}

// The arrays of an exact CSR matrix with float64 values and int32 indices in
// canonical, valid form (pointers from 0, never falling, to the number of
// entries; column indices in range unless not asked). False otherwise.
struct CsrArrays {
    PyObject *data = nullptr, *indices = nullptr, *indptr = nullptr;
    npy_intp rows = 0, cols = 0, nnz = 0;
};
bool valid_csr(py::handle A, CsrArrays &c, bool check_indices = true) {
    py::object d = exact_dict(A, csr_layout());
    if (!d)
        return false;
    c.data = PyDict_GetItemString(d.ptr(), "data");
    c.indices = PyDict_GetItemString(d.ptr(), "indices");
    c.indptr = PyDict_GetItemString(d.ptr(), "indptr");
    PyObject *shape = PyDict_GetItemString(d.ptr(), "_shape");
    if (!c.data || !c.indices || !c.indptr || !shape || !int32_shape(shape, c.rows, c.cols) ||
        !carray_of(c.data, NPY_DOUBLE) || !carray_of(c.indices, NPY_INT32) ||
        !carray_of(c.indptr, NPY_INT32))
        return false;
    c.nnz = PyArray_SIZE(arr(c.data));
    if (PyArray_SIZE(arr(c.indices)) != c.nnz || PyArray_SIZE(arr(c.indptr)) != c.rows + 1)
        return false;
    const auto *p = static_cast<const int32_t *>(PyArray_DATA(arr(c.indptr)));
    if (p[0] != 0 || p[c.rows] != c.nnz)
        return false;
    for (npy_intp i = 0; i < c.rows; ++i)
        if (p[i + 1] < p[i])
            return false;
    // The dictionary holds the arrays for as long as A lives.
    return !check_indices ||
           indices_below(static_cast<const int32_t *>(PyArray_DATA(arr(c.indices))), c.nnz, c.cols);
}

// coo_matrix(A, copy=True) of an exact COO or CSR matrix with float64 values
// and int32 indices in range, made here; null for anything else.
py::object coo_copy_direct(py::handle A) {
    const CsrLayout &l = coo_layout();
    if (!l.cls)
        return py::object();
    if (py::object d = exact_dict(A, l)) {
        PyObject *coords = PyDict_GetItemString(d.ptr(), "coords");
        PyObject *data = PyDict_GetItemString(d.ptr(), "data");
        PyObject *shape = PyDict_GetItemString(d.ptr(), "_shape");
        PyObject *canon = PyDict_GetItemString(d.ptr(), "has_canonical_format");
        npy_intp rows, cols;
        if (!coords || !data || !shape || !canon || !PyBool_Check(canon) ||
            !PyTuple_CheckExact(coords) || PyTuple_GET_SIZE(coords) != 2 ||
            !int32_shape(shape, rows, cols) || !carray_of(data, NPY_DOUBLE))
            return py::object();
        PyObject *row = PyTuple_GET_ITEM(coords, 0), *col = PyTuple_GET_ITEM(coords, 1);
        if (!carray_of(row, NPY_INT32) || !carray_of(col, NPY_INT32))
            return py::object();
        const npy_intp n = PyArray_SIZE(arr(data));
        if (PyArray_SIZE(arr(row)) != n || PyArray_SIZE(arr(col)) != n ||
            !indices_below(static_cast<const int32_t *>(PyArray_DATA(arr(row))), n, rows) ||
            !indices_below(static_cast<const int32_t *>(PyArray_DATA(arr(col))), n, cols))
            return py::object();
        return coo_direct(array_copy(data), array_copy(row), array_copy(col), rows, cols,
                          canon == Py_True);
    }
    CsrArrays c;
    if (!valid_csr(A, c))
        return py::object();
    // The row of every entry from the row pointers, as SciPy's expansion.
    py::object row = new_int32(c.nnz);
    auto *r = static_cast<int32_t *>(PyArray_DATA(arr(row)));
    const auto *p = static_cast<const int32_t *>(PyArray_DATA(arr(c.indptr)));
    for (npy_intp i = 0; i < c.rows; ++i)
        std::fill(r + p[i], r + p[i + 1], static_cast<int32_t>(i));
    return coo_direct(array_copy(c.data), row, array_copy(c.indices), c.rows, c.cols, false);
}

} // namespace

py::object csr_transpose(py::handle A) {
    ensure_numpy();
    if (!direct_csr_source(A))
        return py::object();
    // Malformed arrays are refused here: SciPy's transposition trusts them.
    npy_intp rows, cols;
    if (!int32_shape(A.attr(ZD_STR("shape")), rows, cols))
        return py::object();
    {
        const Compressed cs(A, true);
        cs.check_lines(rows);
        cs.check_indices(rows, cols);
    }
    CsrArrays c;
    if (!valid_csr(A, c, false))
        return py::object();
    const auto *p = static_cast<const int32_t *>(PyArray_DATA(arr(c.indptr)));
    const auto *ix = static_cast<const int32_t *>(PyArray_DATA(arr(c.indices)));
    const auto *v = static_cast<const double *>(PyArray_DATA(arr(c.data)));
    std::vector<int32_t> next(static_cast<size_t>(c.cols) + 1, 0);
    for (npy_intp k = 0; k < c.nnz; ++k)
        ++next[ix[k] + 1];
    py::object data = steal(PyArray_SimpleNew(1, &c.nnz, NPY_DOUBLE));
    py::object indices = new_int32(c.nnz);
    py::object indptr = new_int32(c.cols + 1);
    auto *tp = static_cast<int32_t *>(PyArray_DATA(arr(indptr)));
    auto *ti = static_cast<int32_t *>(PyArray_DATA(arr(indices)));
    auto *tv = static_cast<double *>(PyArray_DATA(arr(data)));
    tp[0] = 0;
    for (npy_intp j = 0; j < c.cols; ++j)
        tp[j + 1] = tp[j] + next[j + 1];
    std::copy(tp, tp + c.cols, next.begin());
    // A stable counting sort of the entries by column: row j of the result
    // holds column j's entries in A's row order, so its indices ascend.
    // The writes land all over the result: each is announced a few entries
    // ahead, so that the cache lines are on their way when they are due.
    constexpr int32_t ahead = 16;
    const int32_t nnz = static_cast<int32_t>(c.nnz);
    for (npy_intp i = 0; i < c.rows; ++i)
        for (int32_t k = p[i]; k < p[i + 1]; ++k) {
            if (k + ahead < nnz) {
                const int32_t later = next[ix[k + ahead]];
                __builtin_prefetch(ti + later, 1);
                __builtin_prefetch(tv + later, 1);
            }
            const int32_t dst = next[ix[k]]++;
            ti[dst] = static_cast<int32_t>(i);
            tv[dst] = v[k];
        }
    py::object m = csr_direct(data, indices, indptr, c.cols, c.rows);
    if (m)
        check(PyObject_SetAttrString(m.ptr(), "_has_sorted_indices", Py_True));
    return m;
}

py::object coo_from_arrays(py::handle data, py::handle row, py::handle col, py::handle shape) {
    py::object coo = scipy_sparse().attr(ZD_STR("coo_matrix"));
    py::object args = py::make_tuple(data, py::make_tuple(row, col));
    if (shape.is_none())
        return coo(args);
    return coo(args, py::arg("shape") = shape);
}

namespace {

py::object convert(const char *format, py::handle A, bool copy, bool float64) {
    py::object cls = scipy_sparse().attr(format);
    if (float64)
        return cls(A, py::arg("dtype") = ZD_IMPORT("numpy").attr(ZD_STR("float64")),
                   py::arg("copy") = copy);
    return cls(A, py::arg("copy") = copy);
}

} // namespace

py::object to_csr(py::handle A, bool copy, bool float64) {
    ensure_numpy();
    if (py::object m = dense_csr(A, float64))
        return m;
    if (copy && direct_csr_source(A)) {
        // csr_matrix(A, copy=True) of a float64 CSR matrix is its copy.
        py::object data = A.attr("data");
        if (carray_of(data, NPY_DOUBLE))
            return copy_matrix(A);
    }
    return convert("csr_matrix", A, copy, float64);
}
py::object to_csc(py::handle A, bool copy, bool float64) {
    return convert("csc_matrix", A, copy, float64);
}
py::object to_coo(py::handle A, bool copy, bool float64) {
    ensure_numpy();
    if (copy)
        if (py::object m = coo_copy_direct(A))
            return m;
    return convert("coo_matrix", A, copy, float64);
}

py::object kron(py::handle a, py::handle b, const char *format) {
    py::object f = scipy_sparse().attr(ZD_STR("kron"));
    if (format)
        return f(a, b, py::arg("format") = format);
    return f(a, b);
}

py::object hstack(py::handle mats, const char *format) {
    return scipy_sparse().attr(ZD_STR("hstack"))(mats, py::arg("format") = format);
}

py::object diagonal_csr(py::handle values, py::handle n) {
    return scipy_sparse().attr(ZD_STR("spdiags"))(values, 0, n, n, py::arg("format") = "csr");
}

} // namespace zd::sparse
