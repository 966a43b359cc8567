// MNLExpr: matrix products through the kernels of _util, with the term and
// sum callbacks, and sum over axes with one n-ary addition per result cell.
#include "mnlexpr.hpp"

namespace {

using namespace mnlexpr;

py::object tree_factory(py::handle name) {
    return zd::steal(PyObject_GetAttr(zd::global(ZD_STR("_ExprTree")).ptr(), name.ptr()));
}

bool is_one(py::handle o) {
    if (PyFloat_CheckExact(o.ptr()))
        return PyFloat_AS_DOUBLE(o.ptr()) == 1.0;
    static PyObject *one = PyFloat_FromDouble(1.0);
    if (!one)
        zd::throw_error();
    return zd::check(PyObject_RichCompareBool(o.ptr(), one, Py_EQ)) == 1;
}

bool is_sparse(py::handle sp, py::handle o) {
    py::object r = call1(sp.attr(ZD_STR("issparse")), o.ptr());
    return zd::check(PyObject_IsTrue(r.ptr())) == 1;
}

bool dense_operand(py::handle o, bool with_mnlexpr) {
    return PyArray_Check(o.ptr()) || isinstance_global(o, ZD_STR("MVar")) ||
           isinstance_global(o, ZD_STR("MLinExpr")) || isinstance_global(o, ZD_STR("MQuadExpr")) ||
           (with_mnlexpr && isinstance_global(o, ZD_STR("MNLExpr")));
}

py::object kernel(py::handle name, py::handle left, py::handle right, py::handle f_multiply) {
    py::object mnl = zd::global(ZD_STR("MNLExpr"));
    py::object f_sum = mnl.attr(ZD_STR("_sum_terms"));
    // The kernel makes a node per term and a cell per result: no collection
    // pass over them meanwhile.
    cells::GcPause gc_pause;
    py::object out =
        zd::global(name)(left, right, py::arg("f_multiply") = f_multiply, py::arg("f_sum") = f_sum);
    return call1(mnl, out.ptr());
}

py::object coerce(py::handle o) {
    return call1(zd::global(ZD_STR("MNLExpr")).attr(ZD_STR("_coerce_to_exprtree_array")), o.ptr());
}

} // namespace

py::object MNLExpr__sum_terms(const zd::Args &a) {
    py::handle terms = a[0];
    py::object nlexpr = zd::global(ZD_STR("NLExpr"));
    Py_ssize_t n = PyObject_Length(terms.ptr());
    if (n < 0)
        zd::throw_error();
    if (n == 1) {
        py::object t = zd::steal(PySequence_GetItem(terms.ptr(), 0));
        return call1(nlexpr, t.ptr());
    }
    py::object seq = zd::steal(PySequence_Fast(terms.ptr(), "terms must be a sequence"));
    PyObject **items = PySequence_Fast_ITEMS(seq.ptr());
    py::object node = call(tree_factory(ZD_STR("_from_plus")), items,
                           static_cast<size_t>(PySequence_Fast_GET_SIZE(seq.ptr())));
    return call1(nlexpr, node.ptr());
}

py::object MNLExpr__multiply_term_sparse_right(const zd::Args &a) {
    py::handle left_tree = a[0], right = a[1];
    if (is_one(right))
        return zd::borrow(left_tree.ptr());
    py::object right_tree = call1(tree_factory(ZD_STR("_from_constant")), right.ptr());
    return call2(tree_factory(ZD_STR("_from_multiply")), right_tree.ptr(), left_tree.ptr());
}

py::object MNLExpr__multiply_term_sparse_left(const zd::Args &a) {
    py::handle left = a[0], right_tree = a[1];
    if (is_one(left))
        return zd::borrow(right_tree.ptr());
    py::object left_tree = call1(tree_factory(ZD_STR("_from_constant")), left.ptr());
    return call2(tree_factory(ZD_STR("_from_multiply")), left_tree.ptr(), right_tree.ptr());
}

namespace {

// self @ other (self_left) or other @ self: a dense operand goes through the
// dense kernel, a sparse one through the kernel for its side.
py::object matmul_with(py::handle self, py::handle other, bool self_left) {
    numpy();
    py::object sp = zd::import("scipy.sparse");
    if (dense_operand(other, self_left)) {
        py::object left = coerce(self_left ? self : other);
        py::object right = coerce(self_left ? other : self);
        return kernel(ZD_STR("_dense_matmul_kernel"), left, right,
                      tree_factory(ZD_STR("_from_multiply")));
    }
    if (is_sparse(sp, other)) {
        py::object mine = coerce(self);
        py::object mnl = zd::global(ZD_STR("MNLExpr"));
        if (self_left)
            return kernel(ZD_STR("_sparse_right_matmul_kernel"), mine, other,
                          mnl.attr(ZD_STR("_multiply_term_sparse_right")));
        return kernel(ZD_STR("_sparse_left_matmul_kernel"), other, mine,
                      mnl.attr(ZD_STR("_multiply_term_sparse_left")));
    }
    return zd::borrow(Py_NotImplemented);
}

} // namespace

py::object MNLExpr___matmul__(const zd::Args &a) {
    return matmul_with(a[0], a[1], true);
}

py::object MNLExpr___rmatmul__(const zd::Args &a) {
    return matmul_with(a[0], a[1], false);
}

// sum: every input cell goes to the result cell that its kept indices name
// (an index map laid over the input's shape with stride 0 on summed axes);
// each result cell is then one NLExpr._from_plus over its cells, in the
// order the iterator visited them.
py::object MNLExpr_sum(const zd::Args &a) {
    py::handle self = a[0], axis = a[1];
    numpy();
    py::object arr;
    py::object axeslist;
    {
        PyObject *r = nullptr;
        PyObject *arr_attr = PyObject_GetAttr(self.ptr(), ZD_STR("_nlearr").ptr());
        PyObject *nd = arr_attr ? PyObject_GetAttr(arr_attr, ZD_STR("ndim").ptr()) : nullptr;
        if (nd)
            r = PyObject_CallFunctionObjArgs(zd::global(ZD_STR("_axis_to_axeslist")).ptr(),
                                             axis.ptr(), nd, nullptr);
        Py_XDECREF(nd);
        if (arr_attr)
            arr = zd::steal(arr_attr);
        if (!r) {
            if (!PyErr_ExceptionMatches(PyExc_IndexError))
                zd::throw_error();
            // Raised while the IndexError is handled: it stays as the context.
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            PyErr_NormalizeException(&type, &value, &tb);
            if (tb)
                PyException_SetTraceback(value, tb);
            py::object ctx = zd::steal(value);
            Py_XDECREF(type);
            Py_XDECREF(tb);
            py::object err = arrayexpr::bad_axis_error(axis);
            PyException_SetContext(err.ptr(), ctx.release().ptr());
            PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(err.ptr())), err.ptr());
            zd::throw_error();
        }
        axeslist = zd::steal(r);
    }
    arr = as_ndarray(arr);
    PyArrayObject *in = as_array(arr);
    const int ndim = PyArray_NDIM(in);

    py::object seq = zd::steal(PySequence_Fast(axeslist.ptr(), "axis list must be a sequence"));
    if (PySequence_Fast_GET_SIZE(seq.ptr()) != ndim)
        zd::raise(PyExc_ValueError, "axis list does not match the number of dimensions");
    std::vector<npy_intp> out_shape;
    std::vector<int> axes(static_cast<size_t>(ndim));
    for (int i = 0; i < ndim; ++i) {
        long v = PyLong_AsLong(PySequence_Fast_GET_ITEM(seq.ptr(), i));
        if (v == -1 && PyErr_Occurred())
            zd::throw_error();
        if (v < -1 || v >= ndim)
            zd::raise(PyExc_ValueError, "axis list entry out of range");
        axes[static_cast<size_t>(i)] = static_cast<int>(v);
        if (v != -1)
            out_shape.push_back(PyArray_DIM(in, i));
    }
    npy_intp count = 1;
    for (npy_intp d : out_shape)
        count *= d;

    // Row-major strides of the result, placed on the kept input axes.
    std::vector<npy_intp> out_strides(out_shape.size());
    {
        npy_intp s = 1;
        for (size_t k = out_shape.size(); k-- > 0;) {
            out_strides[k] = s;
            s *= out_shape[k];
        }
    }
    cells::GcPause gc_pause;
    // Gathered cells in visiting order with their result offsets; each holds
    // a reference until the additions are made.
    std::vector<npy_int64> keys;
    std::vector<PyObject *> visited;
    struct Release {
        std::vector<PyObject *> &v;
        ~Release() {
            for (PyObject *o : v)
                Py_DECREF(o);
        }
    } release{visited};
    {
        // The index map: an int64 view over the input's shape giving each
        // input cell's flat offset in the result (stride 0 on summed axes).
        std::vector<npy_intp> idx_strides(static_cast<size_t>(ndim), 0);
        for (int i = 0; i < ndim; ++i)
            if (axes[static_cast<size_t>(i)] >= 0)
                idx_strides[static_cast<size_t>(i)] =
                    out_strides[static_cast<size_t>(axes[static_cast<size_t>(i)])] *
                    static_cast<npy_intp>(sizeof(npy_int64));
        std::vector<npy_int64> idx(static_cast<size_t>(count > 0 ? count : 1));
        for (npy_intp k = 0; k < count; ++k)
            idx[static_cast<size_t>(k)] = k;
        py::object map =
            zd::steal(PyArray_New(&PyArray_Type, ndim, PyArray_DIMS(in), NPY_INT64,
                                  idx_strides.data(), idx.data(), sizeof(npy_int64), 0, nullptr));
        const npy_intp total = PyArray_SIZE(in);
        keys.reserve(static_cast<size_t>(total));
        visited.reserve(static_cast<size_t>(total));
        // The element array is opened read-write, as a reduction's operand
        // is: a read-only one is refused.
        cells::ChunkLoop it({in, as_array(map)},
                            NPY_ITER_REFS_OK | NPY_ITER_EXTERNAL_LOOP | NPY_ITER_ZEROSIZE_OK,
                            {NPY_ITER_READWRITE, NPY_ITER_READONLY}, {NPY_OBJECT, NPY_INT64});
        it.run([&](char **data, npy_intp *strides, npy_intp n) {
            char *pc = data[0], *pi = data[1];
            for (npy_intp i = 0; i < n; ++i, pc += strides[0], pi += strides[1]) {
                PyObject *cell = *reinterpret_cast<PyObject **>(pc);
                cell = cell ? cell : Py_None;
                Py_INCREF(cell);
                visited.push_back(cell);
                keys.push_back(*reinterpret_cast<npy_int64 *>(pi));
            }
        });
    }
    // Stable counting sort by result offset.
    std::vector<size_t> start(static_cast<size_t>(count) + 1, 0);
    for (npy_int64 k : keys)
        ++start[static_cast<size_t>(k) + 1];
    for (size_t k = 1; k < start.size(); ++k)
        start[k] += start[k - 1];
    std::vector<PyObject *> ordered(visited.size());
    {
        std::vector<size_t> pos(start.begin(), start.end() - 1);
        for (size_t i = 0; i < visited.size(); ++i)
            ordered[pos[static_cast<size_t>(keys[i])]++] = visited[i];
    }

    py::object out = zd::steal(
        PyArray_SimpleNew(static_cast<int>(out_shape.size()), out_shape.data(), NPY_OBJECT));
    auto **slots = reinterpret_cast<PyObject **>(PyArray_DATA(as_array(out)));
    py::object from_plus = zd::global(ZD_STR("NLExpr")).attr(ZD_STR("_from_plus"));
    for (npy_intp k = 0; k < count; ++k) {
        size_t b = start[static_cast<size_t>(k)], e = start[static_cast<size_t>(k) + 1];
        py::object cell = call(from_plus, ordered.data() + b, e - b);
        Py_XSETREF(slots[k], cell.release().ptr());
    }
    return make(out);
}
