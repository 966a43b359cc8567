// SciPy sparse matrices for the extension modules: one reader of the
// compressed formats' arrays (CSR and CSC) with one set of range checks and
// texts, and the one place that makes sparse matrices (part matrices and
// their conversions), so that how a matrix is built changes in one place.
#pragma once

#include "zd_numpy.hpp"

#include <algorithm>
#include <cstdint>
#include <type_traits>

namespace zd::sparse {

// The arrays of a compressed sparse matrix read in place: values as float64,
// index pointers and indices in their own width (int32 or int64; other
// integer types widened to int64, never truncated). For CSR a line is a row
// and an index a column; for CSC the other way round.
struct Compressed {
    py::object data, indptr, indices;
    const double *values = nullptr;
    npy_intp nnz = 0;  // stored entries readable in both data and indices
    npy_intp nptr = 0; // index pointers
    bool ptr64 = false, idx64 = false;
    bool by_rows = true;

    // Reads `A.data`, `A.indptr` and `A.indices` (one-dimensional arrays).
    explicit Compressed(py::handle A, bool by_rows = true);

    // The first `nlines` lines are readable: nlines + 1 index pointers, none
    // negative, none falling, none beyond the stored entries. IndexError
    // otherwise.
    void check_lines(npy_intp nlines) const;
    // The indices of the first `nlines` lines' entries (checked by
    // check_lines) are all in [0, bound). ValueError otherwise.
    void check_indices(npy_intp nlines, npy_intp bound) const;

    int64_t pointer(npy_intp k) const {
        return ptr64 ? static_cast<const int64_t *>(ptr_data())[k]
                     : static_cast<const int32_t *>(ptr_data())[k];
    }
    // Calls f(pointers, indices), both typed (int32_t or int64_t pointers).
    template <class F>
    void visit(F &&f) const {
        auto with_idx = [&](auto p) {
            if (idx64)
                f(p, static_cast<const int64_t *>(idx_data()));
            else
                f(p, static_cast<const int32_t *>(idx_data()));
        };
        if (ptr64)
            with_idx(static_cast<const int64_t *>(ptr_data()));
        else
            with_idx(static_cast<const int32_t *>(ptr_data()));
    }
    const void *ptr_data() const {
        return PyArray_DATA(reinterpret_cast<PyArrayObject *>(indptr.ptr()));
    }
    const void *idx_data() const {
        return PyArray_DATA(reinterpret_cast<PyArrayObject *>(indices.ptr()));
    }
    const char *index_name() const { return by_rows ? "column" : "row"; }
};

// An index array in its own width: int32 stays int32, every other integer
// type becomes int64; one-dimensional, C-contiguous (no copy when it is one).
py::object index_array(py::handle obj);

// ValueError "sparse matrix column index out of range" (or "row" for CSC).
[[noreturn]] void raise_index_out_of_range(bool by_rows = true);

// True when every one of the n indices is in [0, bound): one branch-free pass.
template <class I>
bool indices_below(const I *p, npy_intp n, npy_intp bound) {
    if constexpr (std::is_same_v<I, int32_t>) {
        // The least and greatest index, in a pass that vectorizes in 32 bits.
        int32_t lo = 0, hi = 0;
        for (npy_intp k = 0; k < n; ++k) {
            lo = std::min(lo, p[k]);
            hi = std::max(hi, p[k]);
        }
        return lo >= 0 && (n == 0 || hi < bound);
    }
    // Unsigned 64-bit: a negative index compares as out of range, and the
    // loop vectorizes.
    const uint64_t lim = static_cast<uint64_t>(bound);
    uint64_t bad = 0;
    for (npy_intp k = 0; k < n; ++k)
        bad |= static_cast<uint64_t>(static_cast<uint64_t>(static_cast<int64_t>(p[k])) >= lim);
    return bad == 0;
}

// --- making matrices ---------------------------------------------------------

// scipy.sparse.issparse(o).
bool issparse(py::handle o);

// csr_matrix((data, indices, indptr), shape=shape): a part matrix from its
// arrays, which it takes over. float64 data and int32 indices in canonical
// form (what our own code makes) are stored as SciPy's constructor would
// store them, without its Python-level checks; anything else goes through it.
py::object csr_from_arrays(py::handle data, py::handle indices, py::handle indptr,
                           py::handle shape);
// A.copy(): for a CSR matrix whose arrays are already canonical, made as
// csr_from_arrays makes one.
py::object copy_matrix(py::handle A);
// csr_matrix(A.T, dtype=numpy.float64, copy=True) with its indices sorted, for
// an exact CSR matrix of float64 values and int32 indices in canonical form,
// made in one pass; null for any other matrix. A CSR matrix whose arrays are
// out of range is refused with the reader's errors (whatever its widths).
py::object csr_transpose(py::handle A);
// coo_matrix((data, (row, col)), shape=shape); shape None: SciPy infers it.
py::object coo_from_arrays(py::handle data, py::handle row, py::handle col,
                           py::handle shape = py::none());

// csr_matrix(A, [dtype=numpy.float64,] copy=copy), and the same for CSC and
// COO: a matrix converted to the format, as SciPy's constructors do it.
py::object to_csr(py::handle A, bool copy, bool float64 = false);
py::object to_csc(py::handle A, bool copy, bool float64 = false);
py::object to_coo(py::handle A, bool copy, bool float64 = false);

// scipy.sparse.kron(a, b[, format=format]).
py::object kron(py::handle a, py::handle b, const char *format = nullptr);
// scipy.sparse.hstack(mats, format=format).
py::object hstack(py::handle mats, const char *format);
// scipy.sparse.spdiags(values, 0, n, n, format="csr"): values on the diagonal.
py::object diagonal_csr(py::handle values, py::handle n);

} // namespace zd::sparse
