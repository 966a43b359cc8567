// Model.addConstr for matrix comparisons (MVar, MLinExpr, MQuadExpr on one
// side) and Model.addGenConstrNL for matrix arguments. The rows are read
// from the expressions' storage directly: the compact state's sparse parts
// (one CSR matrix over a 1-D MVar each, plus a constant array) or the full
// state's LinExpr/QuadExpr cells. Linear rows go to the library in one call.
#include "model_arrays.hpp"
#include "model_terms.hpp"

namespace core {
namespace {

char flip(char s) {
    return s == '<' ? '>' : s == '>' ? '<' : s;
}

bool is_scalar_expr(PyObject *o) {
    return is_var(o) || PyObject_TypeCheck(o, LinExpr_Type) || PyObject_TypeCheck(o, QuadExpr_Type);
}

bool is_nl(PyObject *o) {
    const ArrayClasses *ac = array_classes();
    return (ac && PyObject_TypeCheck(o, ac->MNLExpr)) || PyObject_TypeCheck(o, NLExpr_Type) ||
           PyObject_TypeCheck(o, GenExpr_Type);
}

py::object attr(PyObject *o, const char *name) {
    return zd::steal(PyObject_GetAttrString(o, name));
}

// Build positions of the variables of a 1-D (or any) MVar, in C order.
std::vector<int> mvar_positions(ModelObject *m, PyObject *mvar) {
    py::object cells = contiguous_objects(attr(mvar, "_vararr").ptr());
    Py_ssize_t n = array_size(cells.ptr());
    PyObject **p = object_data(cells.ptr());
    std::vector<int> pos((size_t)n);
    for (Py_ssize_t i = 0; i < n; ++i)
        pos[(size_t)i] = var_pos(m, p[i]);
    return pos;
}

// An integer index array of a sparse matrix, read in place when it is a
// contiguous int32 or int64 array.
struct IndexArray {
    py::object arr;
    const int32_t *p32 = nullptr;
    const int64_t *p64 = nullptr;
    Py_ssize_t n = 0;
    int64_t operator[](Py_ssize_t i) const { return p32 ? p32[i] : p64[i]; }
};

IndexArray index_array(PyObject *o, const char *what) {
    IndexArray r;
    int type = NPY_INT64;
    if (is_ndarray(o) && PyArray_TYPE(reinterpret_cast<PyArrayObject *>(o)) == NPY_INT32)
        type = NPY_INT32;
    PyObject *a = PyArray_FromAny(o, PyArray_DescrFromType(type), 1, 1,
                                  NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr);
    if (!a) {
        PyErr_Clear();
        zd::raisef(PyExc_ValueError, "sparse matrix %s must be a 1-D integer array", what);
    }
    r.arr = zd::steal(a);
    r.n = array_size(a);
    void *data = PyArray_DATA(reinterpret_cast<PyArrayObject *>(a));
    if (type == NPY_INT32)
        r.p32 = static_cast<const int32_t *>(data);
    else
        r.p64 = static_cast<const int64_t *>(data);
    return r;
}

struct DoubleArray {
    py::object arr;
    const double *p = nullptr;
    Py_ssize_t n = 0;
};

DoubleArray double_array_1d(PyObject *o, const char *what) {
    DoubleArray r;
    PyObject *a = PyArray_FromAny(o, PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                  NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr);
    if (!a) {
        PyErr_Clear();
        zd::raisef(PyExc_ValueError, "%s must be a float64 array", what);
    }
    r.arr = zd::steal(a);
    r.n = array_size(a);
    r.p = static_cast<const double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(a)));
    return r;
}

// Row starts from 0 or more, never falling, at most `limit`.
template <class T>
bool rising(const T *p, Py_ssize_t n, Py_ssize_t limit) {
    if (n && p[0] < 0)
        return false;
    bool ok = true;
    for (Py_ssize_t r = 1; r < n; ++r)
        ok &= p[r] >= p[r - 1];
    return ok && (!n || p[n - 1] <= limit);
}

// Every index in [0, cols); one branch-free pass.
template <class T>
bool in_range(const T *p, Py_ssize_t n, Py_ssize_t cols) {
    bool ok = true;
    for (Py_ssize_t k = 0; k < n; ++k)
        ok &= (uint64_t)(int64_t)p[k] < (uint64_t)cols;
    return ok;
}

// (rows, cols) of a sparse matrix.
void matrix_shape(PyObject *A, Py_ssize_t &rows, Py_ssize_t &cols) {
    std::vector<Py_ssize_t> s = object_shape(A);
    if (s.size() != 2)
        zd::raise(PyExc_ValueError, "matrix part must be 2-D");
    rows = s[0];
    cols = s[1];
}

// One matrix part (A, x) of a compact MLinExpr, ready for the row loop.
struct MatmulPart {
    IndexArray indptr, indices;
    DoubleArray data;
    std::vector<int> colmap; // column of A -> build position of x's variable
};

MatmulPart matmul_part(ModelObject *m, PyObject *part, Py_ssize_t ncells) {
    if (!PyTuple_Check(part) || PyTuple_GET_SIZE(part) != 2)
        zd::raise(PyExc_ValueError, "a matmul part must be a pair (A, x)");
    PyObject *x = PyTuple_GET_ITEM(part, 1);
    // Rows are read from the CSR arrays: another sparse format (whose
    // indptr runs over columns, for CSC) is converted first.
    py::object Aobj = zd::borrow(PyTuple_GET_ITEM(part, 0));
    py::object fmt = zd::steal(PyObject_GetAttrString(Aobj.ptr(), "format"));
    if (!PyUnicode_Check(fmt.ptr()) || PyUnicode_CompareWithASCIIString(fmt.ptr(), "csr") != 0)
        Aobj = zd::steal(PyObject_CallMethod(Aobj.ptr(), "tocsr", nullptr));
    PyObject *A = Aobj.ptr();
    MatmulPart p;
    Py_ssize_t rows, cols;
    matrix_shape(A, rows, cols);
    p.colmap = mvar_positions(m, x);
    if (rows != ncells || cols != (Py_ssize_t)p.colmap.size())
        zd::raise(PyExc_ValueError, "matmul part does not match the expression's shape");
    p.indptr = index_array(attr(A, "indptr").ptr(), "indptr");
    p.indices = index_array(attr(A, "indices").ptr(), "indices");
    p.data = double_array_1d(attr(A, "data").ptr(), "matrix data");
    if (p.indptr.n != rows + 1 || p.data.n < p.indices.n)
        zd::raise(PyExc_ValueError, "malformed CSR matrix part");
    bool ok = p.indptr.p32 ? rising(p.indptr.p32, rows + 1, p.indices.n)
                           : rising(p.indptr.p64, rows + 1, p.indices.n);
    if (!ok)
        zd::raise(PyExc_ValueError, "malformed CSR matrix part");
    Py_ssize_t b = (Py_ssize_t)p.indptr[0], e = (Py_ssize_t)p.indptr[rows];
    ok = p.indices.p32 ? in_range(p.indices.p32 + b, e - b, cols)
                       : in_range(p.indices.p64 + b, e - b, cols);
    if (!ok)
        zd::raise(PyExc_ValueError, "CSR column index out of range");
    return p;
}

// Linear rows ready for the library: CSR arrays that either live in `rows`
// or are read in place from the expression's single matrix part.
struct LinearRows {
    Rows rows;
    const int64_t *beg = nullptr;
    const int *ind = nullptr;
    const double *val = nullptr;
    int64_t nnz = 0;
    py::object hold; // keeps the part's arrays alive while they are read
    size_t size() const { return rows.constant.size(); }
    void point_at_rows() {
        beg = rows.beg.data();
        ind = rows.ind.data();
        val = rows.val.data();
        nnz = rows.beg.empty() ? 0 : rows.beg.back();
    }
};

// The positions of the part's variables run first, first + 1, ...
bool consecutive(const std::vector<int> &colmap) {
    for (size_t j = 1; j < colmap.size(); ++j)
        if (colmap[j] != colmap[0] + (int)j)
            return false;
    return true;
}

// One part over consecutive variables: the library copies the entries
// straight from the part's arrays; only the row starts are widened, and the
// column indices are shifted when the variables do not start the model.
void rows_one_part(MatmulPart &p, Py_ssize_t ncells, LinearRows &lr) {
    Rows &r = lr.rows;
    int64_t first = p.indptr[0], nnz = p.indptr[ncells] - first;
    r.beg.resize((size_t)ncells + 1);
    for (Py_ssize_t c = 0; c <= ncells; ++c)
        r.beg[(size_t)c] = p.indptr[c] - first;
    lr.beg = r.beg.data();
    lr.nnz = nnz;
    lr.val = p.data.p + first;
    int off = p.colmap.empty() ? 0 : p.colmap[0];
    if (p.indices.p32 && off == 0) {
        lr.ind = reinterpret_cast<const int *>(p.indices.p32) + first;
    } else {
        r.ind.resize((size_t)nnz);
        for (int64_t k = 0; k < nnz; ++k)
            r.ind[(size_t)k] = (int)p.indices[(Py_ssize_t)(first + k)] + off;
        lr.ind = r.ind.data();
    }
    lr.hold = py::make_tuple(p.indices.arr, p.data.arr);
}

void rows_compact(ModelObject *m, PyObject *parts, PyObject *e, LinearRows &lr) {
    Rows &r = lr.rows;
    std::vector<double> constant;
    flat_doubles(attr(e, "_const").ptr(), "_const", constant);
    Py_ssize_t ncells = (Py_ssize_t)constant.size();
    py::object fast = zd::steal(PySequence_Fast(parts, "_matmulparts must be a list"));
    Py_ssize_t np = PySequence_Fast_GET_SIZE(fast.ptr());
    std::vector<MatmulPart> ps;
    ps.reserve((size_t)np);
    for (Py_ssize_t i = 0; i < np; ++i)
        ps.push_back(matmul_part(m, PySequence_Fast_GET_ITEM(fast.ptr(), i), ncells));
    r.constant = std::move(constant);
    if (np == 1 && consecutive(ps[0].colmap)) {
        rows_one_part(ps[0], ncells, lr);
        return;
    }
    r.beg.assign((size_t)ncells + 1, 0);
    for (Py_ssize_t c = 0; c < ncells; ++c) {
        int64_t cnt = 0;
        for (const MatmulPart &p : ps)
            cnt += p.indptr[c + 1] - p.indptr[c];
        r.beg[(size_t)c + 1] = r.beg[(size_t)c] + cnt;
    }
    size_t nnz = (size_t)r.beg.back();
    r.ind.resize(nnz);
    r.val.resize(nnz);
    size_t k = 0;
    for (Py_ssize_t c = 0; c < ncells; ++c) {
        for (const MatmulPart &p : ps) {
            for (int64_t j = p.indptr[c]; j < p.indptr[c + 1]; ++j) {
                r.ind[k] = p.colmap[(size_t)p.indices[(Py_ssize_t)j]];
                r.val[k] = p.data.p[j];
                ++k;
            }
        }
    }
    lr.point_at_rows();
}

void rows_full(ModelObject *m, PyObject *learr, Rows &r) {
    py::object cells = contiguous_objects(learr);
    Py_ssize_t n = array_size(cells.ptr());
    PyObject **p = object_data(cells.ptr());
    r.beg.assign(1, 0);
    r.beg.reserve((size_t)n + 1);
    r.constant.assign((size_t)n, 0.0);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *cell = p[i] ? p[i] : Py_None;
        if (!PyObject_TypeCheck(cell, LinExpr_Type) ||
            !add_linear_terms(m, cell, 1.0, r.ind, r.val, r.constant[(size_t)i]))
            zd::raisef(PyExc_TypeError, "expression cell must be a LinExpr, not %.200s",
                       Py_TYPE(cell)->tp_name);
        r.beg.push_back((int64_t)r.ind.size());
    }
}

// Linear rows of an MVar or MLinExpr, one per cell in C order.
void linear_rows(ModelObject *m, PyObject *e, LinearRows &lr) {
    const ArrayClasses *ac = array_classes();
    Rows &r = lr.rows;
    if (PyObject_TypeCheck(e, ac->MVar)) {
        std::vector<int> pos = mvar_positions(m, e);
        size_t n = pos.size();
        r.beg.resize(n + 1);
        for (size_t i = 0; i <= n; ++i)
            r.beg[i] = (int64_t)i;
        r.ind = std::move(pos);
        r.val.assign(n, 1.0);
        r.constant.assign(n, 0.0);
        lr.point_at_rows();
        return;
    }
    if (!PyObject_TypeCheck(e, ac->MLinExpr))
        zd::raisef(PyExc_TypeError, "expected MVar or MLinExpr, not %.200s", Py_TYPE(e)->tp_name);
    py::object parts = attr(e, "_matmulparts");
    if (parts.ptr() != Py_None) {
        rows_compact(m, parts.ptr(), e, lr);
    } else {
        rows_full(m, attr(e, "_learr").ptr(), r);
        lr.point_at_rows();
    }
}

bool is_linear_array(PyObject *o) {
    const ArrayClasses *ac = array_classes();
    return PyObject_TypeCheck(o, ac->MVar) || PyObject_TypeCheck(o, ac->MLinExpr);
}

// The rows of (lhs - rhs) from those of lhs (in `lr`) and of the linear
// array `rhs` of the same cells: each row's terms, then the other's
// negated, and the difference of the constants.
void subtract_rows(ModelObject *m, PyObject *rhs, LinearRows &lr) {
    LinearRows other;
    linear_rows(m, rhs, other);
    size_t n = lr.size();
    if (other.size() != n)
        zd::raise(PyExc_ValueError, "expression cells do not match its shape");
    Rows out;
    out.beg.resize(n + 1);
    out.ind.resize((size_t)(lr.nnz + other.nnz));
    out.val.resize(out.ind.size());
    out.constant.resize(n);
    out.beg[0] = 0;
    size_t k = 0;
    for (size_t c = 0; c < n; ++c) {
        for (int64_t j = lr.beg[c]; j < lr.beg[c + 1]; ++j, ++k) {
            out.ind[k] = lr.ind[j];
            out.val[k] = lr.val[j];
        }
        for (int64_t j = other.beg[c]; j < other.beg[c + 1]; ++j, ++k) {
            out.ind[k] = other.ind[j];
            out.val[k] = -other.val[j];
        }
        out.beg[c + 1] = (int64_t)k;
        out.constant[c] = lr.rows.constant[c] - other.rows.constant[c];
    }
    lr.rows = std::move(out);
    lr.hold = py::object();
    lr.point_at_rows();
}

// Terms of every cell of an MQuadExpr: its linear part, then its quadratic
// terms (compact parts x' Q y, or the QuadExpr cells).
void quad_cells(ModelObject *m, PyObject *e, std::vector<QuadTerms> &cells) {
    LinearRows lr;
    linear_rows(m, attr(e, "_ndle").ptr(), lr);
    size_t n = lr.size();
    cells.resize(n);
    for (size_t k = 0; k < n; ++k) {
        QuadTerms &q = cells[k];
        q.lind.assign(lr.ind + lr.beg[k], lr.ind + lr.beg[k + 1]);
        q.lval.assign(lr.val + lr.beg[k], lr.val + lr.beg[k + 1]);
        q.constant = lr.rows.constant[k];
    }
    py::object parts = attr(e, "_quadparts");
    if (parts.ptr() != Py_None) {
        py::object fast = zd::steal(PySequence_Fast(parts.ptr(), "_quadparts must be a list"));
        Py_ssize_t np = PySequence_Fast_GET_SIZE(fast.ptr());
        if (np && n != 1)
            zd::raise(PyExc_ValueError, "compact quadratic parts need one cell");
        for (Py_ssize_t i = 0; i < np; ++i) {
            PyObject *part = PySequence_Fast_GET_ITEM(fast.ptr(), i);
            if (!PyTuple_Check(part) || PyTuple_GET_SIZE(part) != 3)
                zd::raise(PyExc_ValueError, "a quad part must be a triple (x, Q, y)");
            std::vector<int> xp = mvar_positions(m, PyTuple_GET_ITEM(part, 0));
            std::vector<int> yp = mvar_positions(m, PyTuple_GET_ITEM(part, 2));
            PyObject *Q = PyTuple_GET_ITEM(part, 1);
            IndexArray row = index_array(attr(Q, "row").ptr(), "row");
            IndexArray col = index_array(attr(Q, "col").ptr(), "col");
            DoubleArray data = double_array_1d(attr(Q, "data").ptr(), "matrix data");
            if (row.n != col.n || row.n != data.n)
                zd::raise(PyExc_ValueError, "malformed COO matrix part");
            QuadTerms &q = cells[0];
            for (Py_ssize_t k = 0; k < row.n; ++k) {
                if (row[k] < 0 || row[k] >= (int64_t)xp.size() || col[k] < 0 ||
                    col[k] >= (int64_t)yp.size())
                    zd::raise(PyExc_ValueError, "COO index out of range");
                q.qrow.push_back(xp[(size_t)row[k]]);
                q.qcol.push_back(yp[(size_t)col[k]]);
                q.qval.push_back(data.p[k]);
            }
        }
        return;
    }
    py::object qcells = contiguous_objects(attr(e, "_qearr").ptr());
    if ((size_t)array_size(qcells.ptr()) != n)
        zd::raise(PyExc_ValueError, "quadratic cells do not match the linear part");
    PyObject **p = object_data(qcells.ptr());
    for (size_t k = 0; k < n; ++k) {
        PyObject *cell = p[k] ? p[k] : Py_None;
        if (!PyObject_TypeCheck(cell, QuadExpr_Type))
            zd::raisef(PyExc_TypeError, "expression cell must be a QuadExpr, not %.200s",
                       Py_TYPE(cell)->tp_name);
        add_quad_terms(m, cell, 1.0, cells[k]);
    }
}

// A matrix handle of class `cls` over the element array `arr`.
py::object handle_of(PyTypeObject *cls, const py::object &arr) {
    return zd::steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(cls), arr.ptr()));
}

// A matrix handle of class `cls` over the new elements of `list`, in `shape`.
py::object handle_of(PyTypeObject *cls, const std::vector<Py_ssize_t> &shape, PyObject *list) {
    Py_ssize_t n = PyList_GET_SIZE(list);
    std::vector<PyObject *> items((size_t)n);
    for (Py_ssize_t i = 0; i < n; ++i)
        items[(size_t)i] = Py_NewRef(PyList_GET_ITEM(list, i));
    return handle_of(cls, object_array(shape, items));
}

} // namespace

py::object add_matrix_constr(ModelObject *m, PyObject *lhs, char sense, PyObject *rhs,
                             PyObject *nameo) {
    bool lm = is_matrix_object(lhs), rm = is_matrix_object(rhs);
    if (!lm && !rm)
        return py::object();
    if (!lm) {
        std::swap(lhs, rhs);
        sense = flip(sense);
    }
    const ArrayClasses *ac = array_classes();
    PyObject *self = reinterpret_cast<PyObject *>(m);
    if (is_nl(lhs) || is_nl(rhs)) {
        // y == f(x) with a variable array y: general constraints
        PyObject *var = lhs, *expr = rhs;
        if (!PyObject_TypeCheck(var, ac->MVar) && !is_var(var))
            std::swap(var, expr);
        if (sense == '=' && (PyObject_TypeCheck(var, ac->MVar) || is_var(var)))
            return add_matrix_genconstr(m, var, expr, nameo);
        zd::raise(PyExc_ValueError,
                  "Nonlinear constraints must have the form y == f(x) with a variable y");
    }
    // Expressions on both sides: move everything to the left. Two linear
    // arrays of one shape are read side by side instead (the rows of
    // lhs - rhs, without building that expression).
    py::object expr;
    bool rhs_expr = is_matrix_object(rhs) || is_scalar_expr(rhs);
    bool linear_pair = rhs_expr && is_linear_array(lhs) && is_linear_array(rhs) &&
                       object_shape(lhs) == object_shape(rhs);
    if (rhs_expr && !linear_pair)
        expr = zd::steal(PyNumber_Subtract(lhs, rhs));
    else
        expr = zd::borrow(lhs);
    std::vector<Py_ssize_t> shape = object_shape(expr.ptr());
    Py_ssize_t n = shape_size(shape);
    std::vector<double> rhsv;
    if (rhs_expr)
        rhsv.assign((size_t)n, 0.0);
    else
        broadcast_doubles(rhs, shape, "rhs", rhsv);
    Names names;
    make_names(nameo, shape, names);

    if (PyObject_TypeCheck(expr.ptr(), ac->MQuadExpr)) {
        std::vector<QuadTerms> cells;
        quad_cells(m, expr.ptr(), cells);
        if ((Py_ssize_t)cells.size() != n)
            zd::raise(PyExc_ValueError, "expression cells do not match its shape");
        py::object list = add_qconstrs(m, self, cells, sense, rhsv, names);
        return handle_of(ac->MQConstr, shape, list.ptr());
    }
    if (!PyObject_TypeCheck(expr.ptr(), ac->MVar) && !PyObject_TypeCheck(expr.ptr(), ac->MLinExpr))
        zd::raisef(PyExc_TypeError, "Unsupported type %.200s in a constraint",
                   Py_TYPE(expr.ptr())->tp_name);
    LinearRows lr;
    linear_rows(m, expr.ptr(), lr);
    if (linear_pair)
        subtract_rows(m, rhs, lr);
    if ((Py_ssize_t)lr.size() != n)
        zd::raise(PyExc_ValueError, "expression cells do not match its shape");
    for (Py_ssize_t k = 0; k < n; ++k) {
        double v = rhsv[(size_t)k] - lr.rows.constant[(size_t)k];
        if (std::isnan(v))
            zd::raise(PyExc_ValueError, "constraint right-hand side is NaN");
        rhsv[(size_t)k] = to_lib(v);
    }
    std::vector<char> senses((size_t)n, sense);
    NewElems made;
    made.make(KIND_CONSTR, m->mc, next_pos(m, KIND_CONSTR, n), n);
    int code = TVXaddconstrs(model_handle(m), (int)n, lr.nnz, lr.beg, lr.ind, lr.val, senses.data(),
                             rhsv.data(), names.data());
    if (code)
        raise_lib(code, self);
    return handle_of(ac->MConstr, hand_over_array(m, KIND_CONSTR, made, shape));
}

py::object add_matrix_genconstr(ModelObject *m, PyObject *resvar, PyObject *expr, PyObject *nameo) {
    const ArrayClasses *ac = array_classes();
    PyObject *self = reinterpret_cast<PyObject *>(m);
    bool expr_matrix = is_matrix_object(expr);
    if (!expr_matrix && !is_nl(expr) && !is_scalar_expr(expr) && !core_isscalar(expr))
        zd::raisef(PyExc_TypeError, "Unsupported expression type %.200s", Py_TYPE(expr)->tp_name);
    std::vector<Py_ssize_t> eshape;
    if (expr_matrix)
        eshape = object_shape(expr);
    if (PyObject_TypeCheck(resvar, ac->MVar)) {
        std::vector<Py_ssize_t> shape = object_shape(resvar);
        if (expr_matrix && eshape != shape && shape_size(eshape) != 1) {
            py::object a = shape_tuple(shape), b = shape_tuple(eshape);
            zd::raisef(PyExc_ValueError,
                       "Shape mismatch: resvar of shape %S, expression of shape %S", a.ptr(),
                       b.ptr());
        }
        std::vector<int> res = mvar_positions(m, resvar);
        Names names;
        make_names(nameo, shape, names);
        py::object list = add_genconstrs(m, self, res, names);
        return handle_of(ac->MGenConstr, shape, list.ptr());
    }
    if (!is_var(resvar))
        zd::raisef(PyExc_TypeError, "resvar must be a Var or an MVar, not %.200s",
                   Py_TYPE(resvar)->tp_name);
    if (expr_matrix && shape_size(eshape) != 1)
        zd::raisef(PyExc_ValueError,
                   "resvar is one variable but the expression has %zd cells: use an MVar",
                   shape_size(eshape));
    std::vector<int> res(1, var_pos(m, resvar));
    Names names;
    make_names(nameo, {}, names);
    py::object list = add_genconstrs(m, self, res, names);
    return zd::borrow(PyList_GET_ITEM(list.ptr(), 0));
}

} // namespace core
