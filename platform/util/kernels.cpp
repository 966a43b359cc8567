// Matrix-product kernels over object arrays and sparse matrices. Each result
// cell is f_sum(terms), terms being f_multiply(l, r) for the pairs of left and
// right elements that meet in that cell; the loops and index arithmetic run
// here, only the two callbacks are Python calls.
#include "util.hpp"

#include <cstring>
#include <string>

namespace zdutil {
namespace {

// An operand as an object array (the array itself when it already is one).
struct ObjArray {
    py::object owner;
    const char *data = nullptr;
    Shape shape;
    std::vector<npy_intp> strides;
    int nd() const { return static_cast<int>(shape.size()); }
};

ObjArray object_array(PyObject *x) {
    ObjArray a;
    a.owner = steal(PyArray_FROM_OTF(x, NPY_OBJECT, NPY_ARRAY_ALIGNED));
    auto *arr = reinterpret_cast<PyArrayObject *>(a.owner.ptr());
    a.data = PyArray_BYTES(arr);
    a.shape.assign(PyArray_DIMS(arr), PyArray_DIMS(arr) + PyArray_NDIM(arr));
    a.strides.assign(PyArray_STRIDES(arr), PyArray_STRIDES(arr) + PyArray_NDIM(arr));
    return a;
}

inline PyObject *cell_at(const char *p) {
    PyObject *o;
    std::memcpy(&o, p, sizeof o);
    return o ? o : Py_None;
}

// f(a, b) -> new reference. The arguments are held during the call: the
// callback may replace the array cells they were read from.
inline PyObject *call2(PyObject *f, PyObject *a, PyObject *b) {
    Py_INCREF(a);
    Py_INCREF(b);
    PyObject *argv[2] = {a, b};
    PyObject *r = PyObject_Vectorcall(f, argv, 2, nullptr);
    Py_DECREF(a);
    Py_DECREF(b);
    if (!r)
        throw python_error();
    return r;
}

void check_callables(PyObject *f_multiply, PyObject *f_sum) {
    if (!PyCallable_Check(f_multiply))
        raisef(PyExc_TypeError, "f_multiply must be callable, not %.200s",
               Py_TYPE(f_multiply)->tp_name);
    if (!PyCallable_Check(f_sum))
        raisef(PyExc_TypeError, "f_sum must be callable, not %.200s", Py_TYPE(f_sum)->tp_name);
}

// Byte offsets of every multi-index of `shape` in C order, for the given
// strides (0 along broadcast axes).
std::vector<npy_intp> offsets(const Shape &shape, const std::vector<npy_intp> &strides) {
    npy_intp count = 1;
    for (npy_intp d : shape)
        count *= d;
    std::vector<npy_intp> out;
    out.reserve(static_cast<size_t>(count));
    std::vector<npy_intp> idx(shape.size(), 0);
    npy_intp off = 0;
    for (npy_intp c = 0; c < count; ++c) {
        out.push_back(off);
        for (size_t d = shape.size(); d-- > 0;) {
            if (++idx[d] < shape[d]) {
                off += strides[d];
                break;
            }
            off -= strides[d] * (shape[d] - 1);
            idx[d] = 0;
        }
    }
    return out;
}

// The new result array, cells to be filled in C order.
py::object new_result(const Shape &shape) {
    return steal(PyArray_SimpleNew(static_cast<int>(shape.size()),
                                   const_cast<npy_intp *>(shape.data()), NPY_OBJECT));
}

inline PyObject **result_cells(const py::object &out) {
    return static_cast<PyObject **>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(out.ptr())));
}

[[noreturn]] void raise_inner_mismatch(const Shape &left, const Shape &right, npy_intp kl,
                                       npy_intp kr) {
    raisef(PyExc_ValueError,
           "matrix product: shapes %s and %s do not match (inner dimensions %zd and %zd)",
           shape_text(left).c_str(), shape_text(right).c_str(), static_cast<Py_ssize_t>(kl),
           static_cast<Py_ssize_t>(kr));
}

[[noreturn]] void raise_no_dimensions(const char *which) {
    raisef(PyExc_ValueError, "matrix product: the %s operand has no dimensions", which);
}

// ----- sparse operands -------------------------------------------------------

// The stored entries of a sparse matrix, in storage order. A one-dimensional
// sparse array is read as one column (rows = its length, cols = 1).
struct SparseEntries {
    Shape shape; // as the matrix reports it
    npy_intp rows = 0, cols = 0;
    std::vector<int64_t> row, col;
    std::vector<py::object> vals; // as handed to f_multiply
};

py::object attr(PyObject *obj, const char *name) {
    return steal(PyObject_GetAttrString(obj, name));
}

py::object any_array(PyObject *obj, const char *what) {
    py::object a = steal(PyArray_FROM_OF(obj, NPY_ARRAY_ALIGNED));
    if (PyArray_NDIM(reinterpret_cast<PyArrayObject *>(a.ptr())) != 1)
        raisef(PyExc_ValueError, "sparse matrix: %s must be one-dimensional", what);
    return a;
}

template <class T>
void copy_ints(PyArrayObject *a, std::vector<int64_t> &out) {
    npy_intp n = PyArray_DIM(a, 0), stride = PyArray_STRIDE(a, 0);
    const char *p = PyArray_BYTES(a);
    out.resize(static_cast<size_t>(n));
    for (npy_intp i = 0; i < n; ++i, p += stride) {
        T v;
        std::memcpy(&v, p, sizeof v);
        out[static_cast<size_t>(i)] = static_cast<int64_t>(v);
    }
}

// Index array (int32 or int64 read in place; other integer types cast).
std::vector<int64_t> index_array(PyObject *obj, const char *what) {
    py::object a = any_array(obj, what);
    auto *arr = reinterpret_cast<PyArrayObject *>(a.ptr());
    if (!PyArray_ISINTEGER(arr) || !PyArray_ISSIGNED(arr) || !PyArray_ISNOTSWAPPED(arr) ||
        (PyArray_ITEMSIZE(arr) != 4 && PyArray_ITEMSIZE(arr) != 8)) {
        a = steal(PyArray_FROM_OTF(a.ptr(), NPY_INT64, NPY_ARRAY_ALIGNED));
        arr = reinterpret_cast<PyArrayObject *>(a.ptr());
    }
    std::vector<int64_t> out;
    if (PyArray_ITEMSIZE(arr) == 4)
        copy_ints<int32_t>(arr, out);
    else
        copy_ints<int64_t>(arr, out);
    return out;
}

// Python values of data[begin:end]: floats for float64 data, otherwise what
// NumPy's item() gives.
std::vector<py::object> value_array(PyObject *obj, npy_intp begin, npy_intp end) {
    py::object a = any_array(obj, "data");
    auto *arr = reinterpret_cast<PyArrayObject *>(a.ptr());
    if (PyArray_DIM(arr, 0) < end)
        raisef(PyExc_ValueError, "sparse matrix: data has %zd entries, %zd needed",
               static_cast<Py_ssize_t>(PyArray_DIM(arr, 0)), static_cast<Py_ssize_t>(end));
    std::vector<py::object> vals;
    vals.reserve(static_cast<size_t>(end - begin));
    npy_intp stride = PyArray_STRIDE(arr, 0);
    const char *p = PyArray_BYTES(arr) + begin * stride;
    bool plain_double = PyArray_TYPE(arr) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(arr);
    for (npy_intp i = begin; i < end; ++i, p += stride) {
        if (plain_double) {
            double v;
            std::memcpy(&v, p, sizeof v);
            vals.push_back(steal(PyFloat_FromDouble(v)));
        } else {
            vals.push_back(steal(PyArray_GETITEM(arr, const_cast<char *>(p))));
        }
    }
    return vals;
}

void check_range(const std::vector<int64_t> &idx, npy_intp bound, const char *what) {
    for (int64_t v : idx)
        if (v < 0 || v >= bound)
            raisef(PyExc_ValueError, "sparse matrix: %s index %lld out of range 0..%zd", what,
                   static_cast<long long>(v), static_cast<Py_ssize_t>(bound) - 1);
}

void read_compressed(PyObject *m, bool by_rows, SparseEntries &s) {
    npy_intp major = by_rows ? s.rows : s.cols, minor = by_rows ? s.cols : s.rows;
    std::vector<int64_t> indptr = index_array(attr(m, "indptr").ptr(), "indptr");
    std::vector<int64_t> indices = index_array(attr(m, "indices").ptr(), "indices");
    if (static_cast<npy_intp>(indptr.size()) != major + 1)
        raisef(PyExc_ValueError, "sparse matrix: indptr has %zd entries, %zd expected",
               static_cast<Py_ssize_t>(indptr.size()), static_cast<Py_ssize_t>(major + 1));
    int64_t begin = indptr[0], end = indptr[static_cast<size_t>(major)];
    if (begin < 0 || end > static_cast<int64_t>(indices.size()))
        raisef(PyExc_ValueError, "sparse matrix: indptr does not fit indices");
    for (npy_intp g = 0; g < major; ++g)
        if (indptr[static_cast<size_t>(g)] > indptr[static_cast<size_t>(g) + 1])
            raisef(PyExc_ValueError, "sparse matrix: indptr is not sorted");
    size_t nnz = static_cast<size_t>(end - begin);
    std::vector<int64_t> majors(nnz), minors(indices.begin() + begin, indices.begin() + end);
    for (npy_intp g = 0; g < major; ++g)
        for (int64_t e = indptr[static_cast<size_t>(g)]; e < indptr[static_cast<size_t>(g) + 1];
             ++e)
            majors[static_cast<size_t>(e - begin)] = g;
    check_range(minors, minor, by_rows ? "column" : "row");
    s.vals = value_array(attr(m, "data").ptr(), begin, end);
    s.row = by_rows ? std::move(majors) : std::move(minors);
    s.col = by_rows ? std::move(minors) : std::move(majors);
}

void read_coordinates(PyObject *m, SparseEntries &s) {
    if (s.shape.size() == 2) {
        s.row = index_array(attr(m, "row").ptr(), "row");
        s.col = index_array(attr(m, "col").ptr(), "col");
    } else {
        py::object coords = attr(m, "coords");
        s.row = index_array(steal(PySequence_GetItem(coords.ptr(), 0)).ptr(), "coords");
        s.col.assign(s.row.size(), 0);
    }
    if (s.row.size() != s.col.size())
        raisef(PyExc_ValueError, "sparse matrix: row and col differ in length");
    check_range(s.row, s.rows, "row");
    check_range(s.col, s.cols, "column");
    s.vals = value_array(attr(m, "data").ptr(), 0, static_cast<npy_intp>(s.row.size()));
}

// CSR, CSC and COO are read as stored; other formats through their COO form.
SparseEntries read_sparse(PyObject *m) {
    if (!PyObject_HasAttrString(m, "format") || !PyObject_HasAttrString(m, "shape"))
        raisef(PyExc_TypeError, "expected a sparse matrix, got %.200s", Py_TYPE(m)->tp_name);
    SparseEntries s;
    s.shape = parse_shape(attr(m, "shape").ptr());
    if (s.shape.size() == 2) {
        s.rows = s.shape[0];
        s.cols = s.shape[1];
    } else if (s.shape.size() == 1) {
        s.rows = s.shape[0];
        s.cols = 1;
    } else {
        raisef(PyExc_ValueError, "matrix product: a sparse operand of shape %s is not supported",
               shape_text(s.shape).c_str());
    }
    py::object fmt = attr(m, "format");
    auto is = [&](const char *name) {
        return PyUnicode_Check(fmt.ptr()) && PyUnicode_CompareWithASCIIString(fmt.ptr(), name) == 0;
    };
    if (s.shape.size() == 2 && is("csr")) {
        read_compressed(m, true, s);
    } else if (s.shape.size() == 2 && is("csc")) {
        read_compressed(m, false, s);
    } else if (is("coo")) {
        read_coordinates(m, s);
    } else {
        py::object coo = steal(PyObject_CallMethod(m, "tocoo", nullptr));
        read_coordinates(coo.ptr(), s);
    }
    return s;
}

// Entries grouped by key (a counting sort, stable): the entries of group g
// are order[ptr[g] .. ptr[g+1]).
struct Groups {
    std::vector<int64_t> ptr, order;
};

Groups group_by(const std::vector<int64_t> &key, npy_intp nkeys) {
    Groups g;
    g.ptr.assign(static_cast<size_t>(nkeys) + 1, 0);
    for (int64_t k : key)
        ++g.ptr[static_cast<size_t>(k) + 1];
    for (size_t i = 1; i < g.ptr.size(); ++i)
        g.ptr[i] += g.ptr[i - 1];
    std::vector<int64_t> next(g.ptr.begin(), g.ptr.end() - 1);
    g.order.resize(key.size());
    for (size_t e = 0; e < key.size(); ++e)
        g.order[static_cast<size_t>(next[static_cast<size_t>(key[e])]++)] = static_cast<int64_t>(e);
    return g;
}

bool parse_kernel_args(PyObject *args, PyObject *kwargs, const char *fmt, const char *first,
                       const char *second, PyObject **a, PyObject **b, PyObject **f_multiply,
                       PyObject **f_sum) {
    const char *kwlist[] = {first, second, "f_multiply", "f_sum", nullptr};
    return PyArg_ParseTupleAndKeywords(args, kwargs, fmt, const_cast<char **>(kwlist), a, b,
                                       f_multiply, f_sum);
}

} // namespace

// left (.., m, k) or (k,) times right (.., k, n) or (k,), leading axes
// broadcast as NumPy's matmul does.
PyObject *py_dense_matmul_kernel(PyObject *, PyObject *args, PyObject *kwargs) {
    ZDU_TRY
    PyObject *left_obj, *right_obj, *f_multiply, *f_sum;
    if (!parse_kernel_args(args, kwargs, "OOOO:_dense_matmul_kernel", "left", "right", &left_obj,
                           &right_obj, &f_multiply, &f_sum))
        return nullptr;
    check_callables(f_multiply, f_sum);
    ensure_numpy();
    ObjArray L = object_array(left_obj), R = object_array(right_obj);
    if (L.nd() == 0)
        raise_no_dimensions("left");
    if (R.nd() == 0)
        raise_no_dimensions("right");

    const bool l_mat = L.nd() >= 2, r_mat = R.nd() >= 2;
    const npy_intp m = l_mat ? L.shape[L.nd() - 2] : 1, k = L.shape.back();
    const npy_intp l_si = l_mat ? L.strides[L.nd() - 2] : 0, l_sk = L.strides.back();
    const npy_intp k2 = r_mat ? R.shape[R.nd() - 2] : R.shape[0];
    const npy_intp n = r_mat ? R.shape.back() : 1;
    const npy_intp r_sk = r_mat ? R.strides[R.nd() - 2] : R.strides[0];
    const npy_intp r_sj = r_mat ? R.strides.back() : 0;
    if (k != k2)
        raise_inner_mismatch(L.shape, R.shape, k, k2);

    Shape lb(L.shape.begin(), L.shape.end() - (l_mat ? 2 : 1));
    Shape rb(R.shape.begin(), R.shape.end() - (r_mat ? 2 : 1));
    Shape batch;
    if (!broadcast_pair(lb, rb, batch))
        raisef(PyExc_ValueError, "matrix product: shapes %s and %s do not broadcast",
               shape_text(L.shape).c_str(), shape_text(R.shape).c_str());
    // Strides of each operand over the joint leading axes; 0 where broadcast.
    std::vector<npy_intp> lbs(batch.size(), 0), rbs(batch.size(), 0);
    for (size_t d = 0; d < lb.size(); ++d)
        if (lb[d] != 1)
            lbs[batch.size() - lb.size() + d] = L.strides[d];
    for (size_t d = 0; d < rb.size(); ++d)
        if (rb[d] != 1)
            rbs[batch.size() - rb.size() + d] = R.strides[d];

    Shape out_shape(batch);
    if (l_mat)
        out_shape.push_back(m);
    if (r_mat)
        out_shape.push_back(n);
    py::object out = new_result(out_shape);
    PyObject **cells = result_cells(out);
    std::vector<npy_intp> lofs = offsets(batch, lbs), rofs = offsets(batch, rbs);

    npy_intp idx = 0;
    for (size_t b = 0; b < lofs.size(); ++b) {
        for (npy_intp i = 0; i < m; ++i) {
            const char *lrow = L.data + lofs[b] + i * l_si;
            for (npy_intp j = 0; j < n; ++j) {
                const char *rcol = R.data + rofs[b] + j * r_sj;
                py::object terms = steal(PyList_New(k));
                for (npy_intp p = 0; p < k; ++p)
                    PyList_SET_ITEM(
                        terms.ptr(), p,
                        call2(f_multiply, cell_at(lrow + p * l_sk), cell_at(rcol + p * r_sk)));
                cells[idx++] = steal(PyObject_CallOneArg(f_sum, terms.ptr())).release().ptr();
            }
        }
    }
    return out.release().ptr();
    ZDU_CATCH(nullptr)
}

// left (.., k) times a sparse (k, n) matrix (or a sparse vector of length k):
// cell (.., j) sums f_multiply(left[.., p], a) over the stored entries a at (p, j).
PyObject *py_sparse_right_matmul_kernel(PyObject *, PyObject *args, PyObject *kwargs) {
    ZDU_TRY
    PyObject *left_obj, *spmatrix, *f_multiply, *f_sum;
    if (!parse_kernel_args(args, kwargs, "OOOO:_sparse_right_matmul_kernel", "left", "spmatrix",
                           &left_obj, &spmatrix, &f_multiply, &f_sum))
        return nullptr;
    check_callables(f_multiply, f_sum);
    ensure_numpy();
    ObjArray T = object_array(left_obj);
    if (T.nd() == 0)
        raise_no_dimensions("left");
    SparseEntries S = read_sparse(spmatrix);
    const npy_intp k = T.shape.back(), sk = T.strides.back();
    if (k != S.rows)
        raise_inner_mismatch(T.shape, S.shape, k, S.rows);

    Shape lead(T.shape.begin(), T.shape.end() - 1);
    std::vector<npy_intp> lead_strides(T.strides.begin(), T.strides.end() - 1);
    Shape out_shape(lead);
    if (S.shape.size() == 2)
        out_shape.push_back(S.cols);
    py::object out = new_result(out_shape);
    PyObject **cells = result_cells(out);
    Groups g = group_by(S.col, S.cols);
    std::vector<npy_intp> rows = offsets(lead, lead_strides);

    npy_intp idx = 0;
    for (npy_intp off : rows) {
        const char *trow = T.data + off;
        for (npy_intp j = 0; j < S.cols; ++j) {
            int64_t q0 = g.ptr[static_cast<size_t>(j)], q1 = g.ptr[static_cast<size_t>(j) + 1];
            py::object terms = steal(PyList_New(static_cast<Py_ssize_t>(q1 - q0)));
            for (int64_t q = q0; q < q1; ++q) {
                auto e = static_cast<size_t>(g.order[static_cast<size_t>(q)]);
                PyList_SET_ITEM(terms.ptr(), static_cast<Py_ssize_t>(q - q0),
                                call2(f_multiply, cell_at(trow + S.row[e] * sk), S.vals[e].ptr()));
            }
            cells[idx++] = steal(PyObject_CallOneArg(f_sum, terms.ptr())).release().ptr();
        }
    }
    return out.release().ptr();
    ZDU_CATCH(nullptr)
}

// A sparse (m, k) matrix (or a sparse vector of length k) times right (.., k, n)
// or (k,): cell (.., i, j) sums f_multiply(a, right[.., p, j]) over the stored
// entries a at (i, p).
PyObject *py_sparse_left_matmul_kernel(PyObject *, PyObject *args, PyObject *kwargs) {
    ZDU_TRY
    PyObject *spmatrix, *right_obj, *f_multiply, *f_sum;
    if (!parse_kernel_args(args, kwargs, "OOOO:_sparse_left_matmul_kernel", "spmatrix", "right",
                           &spmatrix, &right_obj, &f_multiply, &f_sum))
        return nullptr;
    check_callables(f_multiply, f_sum);
    ensure_numpy();
    SparseEntries S = read_sparse(spmatrix);
    const bool s_mat = S.shape.size() == 2;
    if (!s_mat) { // a sparse vector is one row here
        std::swap(S.rows, S.cols);
        std::swap(S.row, S.col);
    }
    ObjArray T = object_array(right_obj);
    if (T.nd() == 0)
        raise_no_dimensions("right");
    const bool t_mat = T.nd() >= 2;
    const npy_intp k = t_mat ? T.shape[T.nd() - 2] : T.shape[0];
    const npy_intp n = t_mat ? T.shape.back() : 1;
    const npy_intp sp = t_mat ? T.strides[T.nd() - 2] : T.strides[0];
    const npy_intp sj = t_mat ? T.strides.back() : 0;
    if (S.cols != k)
        raise_inner_mismatch(S.shape, T.shape, S.cols, k);

    Shape batch(T.shape.begin(), T.shape.end() - (t_mat ? 2 : 1));
    std::vector<npy_intp> batch_strides(T.strides.begin(), T.strides.end() - (t_mat ? 2 : 1));
    Shape out_shape(batch);
    if (s_mat)
        out_shape.push_back(S.rows);
    if (t_mat)
        out_shape.push_back(n);
    py::object out = new_result(out_shape);
    PyObject **cells = result_cells(out);
    Groups g = group_by(S.row, S.rows);
    std::vector<npy_intp> bofs = offsets(batch, batch_strides);

    npy_intp idx = 0;
    for (npy_intp boff : bofs) {
        for (npy_intp i = 0; i < S.rows; ++i) {
            int64_t q0 = g.ptr[static_cast<size_t>(i)], q1 = g.ptr[static_cast<size_t>(i) + 1];
            for (npy_intp j = 0; j < n; ++j) {
                const char *tcol = T.data + boff + j * sj;
                py::object terms = steal(PyList_New(static_cast<Py_ssize_t>(q1 - q0)));
                for (int64_t q = q0; q < q1; ++q) {
                    auto e = static_cast<size_t>(g.order[static_cast<size_t>(q)]);
                    PyList_SET_ITEM(
                        terms.ptr(), static_cast<Py_ssize_t>(q - q0),
                        call2(f_multiply, S.vals[e].ptr(), cell_at(tcol + S.col[e] * sp)));
                }
                cells[idx++] = steal(PyObject_CallOneArg(f_sum, terms.ptr())).release().ptr();
            }
        }
    }
    return out.release().ptr();
    ZDU_CATCH(nullptr)
}

} // namespace zdutil
