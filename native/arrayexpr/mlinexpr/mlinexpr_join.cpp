// MLinExpr: the operations that join cells term list by term list: sum and
// the full-state in-place addition.
#include "mlinexpr.hpp"

#include <cstring>
#include <unordered_set>
#include <vector>

using namespace mlinexpr;

namespace {

PyArrayObject *arr(py::handle h) {
    return reinterpret_cast<PyArrayObject *>(h.ptr());
}

void set_attr(py::handle obj, py::handle name, py::handle value) {
    zd::check(PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()));
}

double float_of(py::handle h) {
    double v = PyFloat_AsDouble(h.ptr());
    if (v == -1.0 && PyErr_Occurred())
        zd::throw_error();
    return v;
}

} // namespace

// ---------------------------------------------------------------------------
// Summation
// ---------------------------------------------------------------------------

namespace {

// Raises the bad-axis TovrixError while the pending IndexError is being
// handled (it becomes the new error's context).
[[noreturn]] void raise_bad_axis(py::handle axis) {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb && v)
        PyException_SetTraceback(v, tb);
    py::object old_t = zd::steal(t ? t : (Py_INCREF(Py_None), Py_None));
    py::object old_v = zd::steal(v ? v : (Py_INCREF(Py_None), Py_None));
    Py_XDECREF(tb);
    py::object err = arrayexpr::bad_axis_error(axis);
    if (!old_v.is_none())
        PyException_SetContext(err.ptr(), old_v.release().ptr());
    zd::raise_instance(err);
}

} // namespace

py::object MLinExpr_sum(const zd::Args &a) {
    py::handle self = a[0], axis = a[1];
    numpy();
    zd::ensure_numpy();
    self.attr(ZD_STR("_convert_to_full"))();
    py::object learr = learr_of(self);
    const int nd = PyArray_NDIM(arr(learr));
    py::object to_axes = zd::global(ZD_STR("_axis_to_axeslist"));
    PyObject *axes_raw = PyObject_CallFunction(to_axes.ptr(), "Oi", axis.ptr(), nd);
    if (!axes_raw) {
        if (PyErr_ExceptionMatches(PyExc_IndexError))
            raise_bad_axis(axis);
        zd::throw_error();
    }
    py::object axeslist = zd::steal(axes_raw);
    py::object seq = zd::steal(PySequence_Fast(axeslist.ptr(), "axes list must be a sequence"));
    if (PySequence_Fast_GET_SIZE(seq.ptr()) != nd)
        zd::raisef(PyExc_ValueError, "axes list has %zd entries for %d axes",
                   PySequence_Fast_GET_SIZE(seq.ptr()), nd);
    std::vector<int> axes(static_cast<size_t>(nd));
    py::list kept;
    for (int d = 0; d < nd; ++d) {
        long v = PyLong_AsLong(PySequence_Fast_GET_ITEM(seq.ptr(), d));
        if (v == -1 && PyErr_Occurred())
            zd::throw_error();
        axes[static_cast<size_t>(d)] = static_cast<int>(v);
        if (v != -1)
            kept.append(PyArray_DIM(arr(learr), d));
    }
    py::object out = zd::global(ZD_STR("MLinExpr")).attr(ZD_STR("_zeros_full"))(py::tuple(kept));
    self.attr(ZD_STR("_flatten"))();
    py::object outarr = learr_of(out);
    int *op_axes[2] = {nullptr, axes.data()};
    cells::ChunkLoop loop({arr(learr), arr(outarr)},
                          NPY_ITER_REFS_OK | NPY_ITER_REDUCE_OK | NPY_ITER_EXTERNAL_LOOP |
                              NPY_ITER_BUFFERED | NPY_ITER_ZEROSIZE_OK,
                          {NPY_ITER_READWRITE, NPY_ITER_READWRITE}, {NPY_OBJECT, NPY_OBJECT},
                          nd > 0 ? nd : -1, nd > 0 ? op_axes : nullptr);
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp k = 0; k < n; ++k) {
            LinExprObject *sum = cells::linexpr(cells::cell_at(data[1], strides[1], k));
            LinExprObject *term = cells::linexpr(cells::cell_at(data[0], strides[0], k));
            sum->constant += term->constant;
            cells::extend_field(&sum->coef_list, term->coef_list);
            cells::extend_field(&sum->var_list, term->var_list);
        }
    });
    return out;
}

// ---------------------------------------------------------------------------
// In-place addition, full state
// ---------------------------------------------------------------------------

py::object MLinExpr___iadd__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    py::object sp = sparse();
    zd::ensure_numpy();
    py::object MLinExpr = zd::global(ZD_STR("MLinExpr"));
    auto isinst = [](py::handle o, py::handle cls) {
        return zd::check(PyObject_IsInstance(o.ptr(), cls.ptr())) == 1;
    };
    if (is_compact(self) && keep_compact(MLinExpr)) {
        // Compact: parts are appended and constants added; no cells are made.
        if (isinst(other, zd::global(ZD_STR("Var"))))
            return self.attr(ZD_STR("_iadd_compact_var"))(other);
        if (arrayexpr::is_linexpr(other.ptr()))
            return self.attr(ZD_STR("_iadd_compact_linexpr"))(other);
        if (isinst(other, zd::global(ZD_STR("MVar"))))
            return self.attr(ZD_STR("_iadd_compact_mlinexpr"))(
                MLinExpr.attr(ZD_STR("_from_mvar"))(other));
        if (isinst(other, MLinExpr))
            return self.attr(ZD_STR("_iadd_compact_mlinexpr"))(other);
        py::object addend;
        if (PyArray_Check(other.ptr()))
            addend = zd::borrow(other.ptr());
        else if (truthy(sp.attr("issparse")(other)))
            addend = other.attr("toarray")();
        else if (truthy(zd::global(ZD_STR("_isscalar"))(other)))
            addend = zd::borrow(other.ptr());
        else
            return zd::borrow(Py_NotImplemented);
        py::object sum =
            zd::steal(PyNumber_InPlaceAdd(self.attr(ZD_STR("_const")).ptr(), addend.ptr()));
        set_attr(self, ZD_STR("_const"), sum);
        return zd::borrow(self.ptr());
    }
    self.attr(ZD_STR("_convert_to_full"))();
    py::object op = zd::borrow(other.ptr());
    if (isinst(op, MLinExpr)) {
        if (is_compact(op))
            op = op.attr(ZD_STR("_to_full"))();
        return self.attr(ZD_STR("_iadd_full_mlinexpr"))(op);
    }
    if (isinst(op, zd::global(ZD_STR("MVar")))) {
        op = MLinExpr.attr(ZD_STR("_from_mvar"))(op, py::arg("force_full") = true);
        return self.attr(ZD_STR("_iadd_full_mlinexpr"))(op);
    }
    if (arrayexpr::is_linexpr(op.ptr())) {
        op = MLinExpr.attr(ZD_STR("_from_linexpr"))(op);
        return self.attr(ZD_STR("_iadd_full_mlinexpr"))(op);
    }
    if (isinst(op, zd::global(ZD_STR("Var")))) {
        op = MLinExpr.attr(ZD_STR("_from_var"))(op);
        return self.attr(ZD_STR("_iadd_full_mlinexpr"))(op);
    }
    if (PyArray_Check(op.ptr()))
        return self.attr(ZD_STR("_iadd_full_ndarray"))(op);
    if (truthy(sp.attr("issparse")(op)))
        return self.attr(ZD_STR("_iadd_full_ndarray"))(op.attr("toarray")());
    if (truthy(zd::global(ZD_STR("_isscalar"))(op)))
        return self.attr(ZD_STR("_iadd_full_scalar"))(op);
    return zd::borrow(Py_NotImplemented);
}

py::object MLinExpr__iadd_full_scalar(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    numpy();
    const double val = float_of(other);
    py::object zero = zd::steal(PyFloat_FromDouble(0.0));
    if (zd::check(PyObject_RichCompareBool(other.ptr(), zero.ptr(), Py_EQ)))
        return zd::borrow(self.ptr());
    py::object learr = learr_of(self);
    cells::ChunkLoop loop({arr(learr)},
                          NPY_ITER_REFS_OK | NPY_ITER_EXTERNAL_LOOP | NPY_ITER_ZEROSIZE_OK,
                          {NPY_ITER_READWRITE});
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp i = 0; i < n; ++i)
            cells::linexpr(cells::cell_at(data[0], strides[0], i))->constant += val;
    });
    return zd::borrow(self.ptr());
}

py::object MLinExpr__iadd_full_ndarray(const zd::Args &a) {
    py::handle self = a[0];
    numpy();
    py::object other = zd::steal(PyArray_FROM_O(a[1].ptr()));
    py::object learr = learr_of(self);
    cells::ChunkLoop loop(
        {arr(learr), arr(other)},
        NPY_ITER_REFS_OK | NPY_ITER_EXTERNAL_LOOP | NPY_ITER_BUFFERED | NPY_ITER_ZEROSIZE_OK,
        {NPY_ITER_READWRITE | NPY_ITER_NO_BROADCAST, NPY_ITER_READONLY | NPY_ITER_COPY},
        {NPY_OBJECT, NPY_DOUBLE});
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp i = 0; i < n; ++i) {
            LinExprObject *le = cells::linexpr(cells::cell_at(data[0], strides[0], i));
            double v;
            std::memcpy(&v, data[1] + i * strides[1], sizeof v);
            le->constant += v;
        }
    });
    return zd::borrow(self.ptr());
}

namespace {

// What a source cell held before the addition began: its constant and the
// lengths of its lists (the addition only appends to lists and adds to
// constants, so these prefixes are its old terms).
struct Snapshot {
    double constant;
    Py_ssize_t ncoef, nvar;
    bool joined; // cont_ref None: joined list by list
};

Py_ssize_t list_len(PyObject *o) {
    return o && PyList_Check(o) ? PyList_GET_SIZE(o) : -1;
}

} // namespace

py::object MLinExpr__iadd_full_mlinexpr(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    numpy();
    py::object learr = learr_of(self);
    py::object olearr = learr_of(other);
    cells::ChunkLoop loop(
        {arr(learr), arr(olearr)},
        NPY_ITER_REFS_OK | NPY_ITER_EXTERNAL_LOOP | NPY_ITER_BUFFERED | NPY_ITER_REDUCE_OK |
            NPY_ITER_ZEROSIZE_OK,
        {NPY_ITER_READWRITE | NPY_ITER_NO_BROADCAST, NPY_ITER_READWRITE | NPY_ITER_UPDATEIFCOPY},
        {NPY_OBJECT, NPY_OBJECT});
    // First pass: every cell is type-checked and each source cell's content
    // recorded before any target changes, so that an operand sharing cells
    // with self (e += e[0], e[1:] += e[:-1]) reads its values from before.
    std::vector<Snapshot> snap;
    snap.reserve(static_cast<size_t>(loop.size()));
    bool any_add = false;
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp i = 0; i < n; ++i) {
            cells::linexpr(cells::cell_at(data[0], strides[0], i));
            LinExprObject *r = cells::linexpr(cells::cell_at(data[1], strides[1], i));
            const bool joined = r->cont_ref == Py_None;
            any_add |= !joined;
            snap.push_back({r->constant, list_len(r->coef_list), list_len(r->var_list), joined});
        }
    });
    // A source joined through the core's add() is read whole: when it is one
    // of the targets, copies of the sources taken now serve in its place.
    std::vector<py::object> copies;
    if (any_add) {
        std::unordered_set<PyObject *> targets;
        bool shared = false;
        loop.reset();
        loop.run([&](char **data, npy_intp *strides, npy_intp n) {
            for (npy_intp i = 0; i < n; ++i)
                targets.insert(cells::cell_at(data[0], strides[0], i));
        });
        loop.reset();
        loop.run([&](char **data, npy_intp *strides, npy_intp n) {
            for (npy_intp i = 0; i < n && !shared; ++i)
                shared = targets.count(cells::cell_at(data[1], strides[1], i)) != 0;
        });
        if (shared) {
            loop.reset();
            loop.run([&](char **data, npy_intp *strides, npy_intp n) {
                for (npy_intp i = 0; i < n; ++i)
                    copies.push_back(cells::copy_linexpr(cells::cell_at(data[1], strides[1], i)));
            });
        }
    }
    loop.reset();
    size_t pos = 0;
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp i = 0; i < n; ++i, ++pos) {
            PyObject *lhs_obj = cells::cell_at(data[0], strides[0], i);
            PyObject *rhs_obj = cells::cell_at(data[1], strides[1], i);
            LinExprObject *lhs = cells::linexpr(lhs_obj);
            LinExprObject *rhs = cells::linexpr(rhs_obj);
            const Snapshot &s = snap[pos];
            if (!copies.empty()) {
                // Sources as they were, from their copies.
                PyObject *src = copies[pos].ptr();
                if (s.joined) {
                    LinExprObject *c = cells::linexpr(src);
                    lhs->constant += c->constant;
                    cells::extend_field(&lhs->coef_list, c->coef_list);
                    cells::extend_field(&lhs->var_list, c->var_list);
                } else {
                    zd::steal(PyObject_CallMethodOneArg(lhs_obj, ZD_STR("add").ptr(), src));
                }
            } else if (s.joined) {
                lhs->constant += s.constant;
                cells::extend_field(&lhs->coef_list, rhs->coef_list, s.ncoef);
                cells::extend_field(&lhs->var_list, rhs->var_list, s.nvar);
            } else {
                zd::steal(PyObject_CallMethodOneArg(lhs_obj, ZD_STR("add").ptr(), rhs_obj));
            }
        }
    });
    return zd::borrow(self.ptr());
}
