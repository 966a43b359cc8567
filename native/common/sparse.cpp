// SciPy sparse matrices: the reader of compressed arrays and the makers.
#include "zd_sparse.hpp"

#include <algorithm>

namespace zd::sparse {

namespace {

PyArrayObject *arr(py::handle h) {
    return reinterpret_cast<PyArrayObject *>(h.ptr());
}

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

py::object csr_from_arrays(py::handle data, py::handle indices, py::handle indptr,
                           py::handle shape) {
    return scipy_sparse().attr(ZD_STR("csr_matrix"))(py::make_tuple(data, indices, indptr),
                                                     py::arg("shape") = shape);
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
    return convert("csr_matrix", A, copy, float64);
}
py::object to_csc(py::handle A, bool copy, bool float64) {
    return convert("csc_matrix", A, copy, float64);
}
py::object to_coo(py::handle A, bool copy, bool float64) {
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
