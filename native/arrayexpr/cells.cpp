// Cell helpers shared by the expression array classes.
#include "cells.hpp"

#include <algorithm>
#include <vector>

namespace cells {

void raise_cannot_convert(PyObject *o, PyTypeObject *expected) {
    zd::raisef(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(o)->tp_name,
               expected->tp_name);
}

LinExprObject *linexpr_for_method(PyObject *o, const char *method) {
    if (!o || o == Py_None)
        zd::raisef(PyExc_AttributeError, "'NoneType' object has no attribute '%s'", method);
    return linexpr(o);
}

py::object new_linexpr(double c, PyObject *coefs_stolen, PyObject *vars_stolen) {
    py::object coefs = zd::steal(coefs_stolen ? coefs_stolen : new_term_list(0));
    py::object vars = zd::steal(vars_stolen ? vars_stolen : new_term_list(0));
    PyTypeObject *tp = arrayexpr::LinExpr_type;
    PyObject *o = tp->tp_alloc(tp, 0);
    if (!o)
        zd::throw_error();
    auto *r = reinterpret_cast<LinExprObject *>(o);
    r->constant = c;
    r->coef_list = coefs.release().ptr();
    r->var_list = vars.release().ptr();
    Py_INCREF(Py_None);
    r->cont_ref = Py_None;
    return zd::steal(o);
}

py::object list_copy(PyObject *src) {
    if (PyList_Check(src))
        return zd::steal(PyList_GetSlice(src, 0, PyList_GET_SIZE(src)));
    return zd::steal(PySequence_List(src));
}

py::object call_cell_method(PyObject *cell, py::handle name, PyTypeObject *exact) {
    if (!exact)
        exact = arrayexpr::LinExpr_type;
    if (Py_TYPE(cell) == exact) {
        // The method descriptor of the type, without a bound method per cell.
        PyObject *descr = _PyType_Lookup(exact, name.ptr());
        if (descr && PyObject_TypeCheck(descr, &PyMethodDescr_Type))
            return zd::steal(PyObject_Vectorcall(descr, &cell, 1, nullptr));
    }
    return zd::steal(PyObject_CallMethodNoArgs(cell, name.ptr()));
}

py::object call_cell_method1(PyObject *cell, py::handle name, PyObject *arg, PyTypeObject *exact) {
    if (Py_TYPE(cell) == exact) {
        PyObject *descr = _PyType_Lookup(exact, name.ptr());
        if (descr && PyObject_TypeCheck(descr, &PyMethodDescr_Type)) {
            PyObject *args[2] = {cell, arg};
            return zd::steal(PyObject_Vectorcall(descr, args, 2, nullptr));
        }
    }
    return zd::steal(PyObject_CallMethodOneArg(cell, name.ptr(), arg));
}

namespace {

// A new list with the items of a term list, left out of the cycle collector
// when the source is.
PyObject *term_list_copy(PyObject *src) {
    PyObject *l = PyList_GetSlice(src, 0, PyList_GET_SIZE(src));
    if (l && !PyObject_GC_IsTracked(src))
        PyObject_GC_UnTrack(l);
    return l;
}

} // namespace

py::object copy_linexpr(PyObject *cell) {
    LinExprObject *r = linexpr_for_method(cell, "copy");
    if (exact_linexpr(cell) && r->cont_ref == Py_None && r->coef_list && r->var_list &&
        PyList_CheckExact(r->coef_list) && PyList_CheckExact(r->var_list)) {
        PyObject *coefs = term_list_copy(r->coef_list);
        if (!coefs)
            zd::throw_error();
        PyObject *vars = term_list_copy(r->var_list);
        if (!vars) {
            Py_DECREF(coefs);
            zd::throw_error();
        }
        return new_linexpr(r->constant, coefs, vars);
    }
    return call_cell_method(cell, ZD_STR("copy"));
}

void extend_field(PyObject **field, PyObject *src, Py_ssize_t n) {
    PyObject *dst = *field;
    if (dst && src && PyList_Check(dst) && PyList_Check(src)) {
        Py_ssize_t have = PyList_GET_SIZE(src);
        if (n < 0 || n > have)
            n = have;
        Py_ssize_t len = PyList_GET_SIZE(dst);
        if (n == have && n <= 2) {
            // A term or two (the usual cell): appended, without the
            // slice assignment's set-up. Items are read before the first
            // append may move dst's storage (src may be dst itself).
            PyObject *items[2] = {n > 0 ? PyList_GET_ITEM(src, 0) : nullptr,
                                  n > 1 ? PyList_GET_ITEM(src, 1) : nullptr};
            for (Py_ssize_t i = 0; i < n; ++i)
                Py_INCREF(items[i]);
            int rc = 0;
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (!rc)
                    rc = PyList_Append(dst, items[i]);
                Py_DECREF(items[i]);
            }
            zd::check(rc);
            return;
        }
        if (n == have) {
            // Also right when dst is src: the slice assignment copies first.
            zd::check(PyList_SetSlice(dst, len, len, src));
            return;
        }
        // A prefix of src (src may be dst itself: its first n items stay put).
        for (Py_ssize_t i = 0; i < n; ++i)
            zd::check(PyList_Append(dst, PyList_GET_ITEM(src, i)));
        return;
    }
    PyObject *res = PyNumber_InPlaceAdd(dst ? dst : Py_None, src ? src : Py_None);
    if (!res)
        zd::throw_error();
    Py_XSETREF(*field, res);
}

namespace {

[[noreturn]] void raise_not_objects(PyArrayObject *a) {
    py::object dtype = zd::steal(PyObject_Str(reinterpret_cast<PyObject *>(PyArray_DESCR(a))));
    zd::raisef(PyExc_TypeError, "Expected an array of objects, got an array of dtype %U",
               dtype.ptr());
}

PyArrayObject *ndarray_or_raise(PyObject *o) {
    if (!PyArray_Check(o))
        zd::raisef(PyExc_TypeError, "Expected numpy.ndarray, got %.200s", Py_TYPE(o)->tp_name);
    return reinterpret_cast<PyArrayObject *>(o);
}

} // namespace

PyArrayObject *object_array(py::handle h) {
    zd::ensure_numpy();
    PyArrayObject *a = ndarray_or_raise(h.ptr());
    if (PyArray_TYPE(a) != NPY_OBJECT)
        raise_not_objects(a);
    return a;
}

ChunkLoop::ChunkLoop(std::initializer_list<PyArrayObject *> ops, npy_uint32 flags,
                     std::initializer_list<npy_uint32> op_flags, std::initializer_list<int> dtypes,
                     int oa_ndim, int **op_axes)
    : it_(make(ops, flags, op_flags, dtypes, oa_ndim, op_axes)) {}

NpyIter *ChunkLoop::make(std::initializer_list<PyArrayObject *> ops, npy_uint32 flags,
                         std::initializer_list<npy_uint32> op_flags,
                         std::initializer_list<int> dtypes, int oa_ndim, int **op_axes) {
    zd::ensure_numpy();
    const int nop = static_cast<int>(ops.size());
    std::vector<PyArrayObject *> opv(ops);
    std::vector<npy_uint32> flv(op_flags);
    std::vector<int> types(static_cast<size_t>(nop), -1);
    std::copy_n(dtypes.begin(), std::min(dtypes.size(), types.size()), types.begin());
    // Operands read or written as cells in place are object arrays, checked
    // once here, before the iterator exists.
    constexpr npy_uint32 written = NPY_ITER_READWRITE | NPY_ITER_WRITEONLY;
    for (size_t k = 0; k < opv.size(); ++k) {
        PyArrayObject *a = opv[k];
        if (!a)
            continue;
        ndarray_or_raise(reinterpret_cast<PyObject *>(a));
        const bool objects = PyArray_TYPE(a) == NPY_OBJECT;
        if (!objects && (types[k] < 0 || (types[k] == NPY_OBJECT && (flv[k] & written))))
            raise_not_objects(a);
        if (objects && (types[k] < 0 || types[k] == NPY_OBJECT) && !PyArray_ISALIGNED(a))
            flv[k] |=
                NPY_ITER_ALIGNED | ((flv[k] & written) ? NPY_ITER_UPDATEIFCOPY : NPY_ITER_COPY);
    }
    std::vector<PyArray_Descr *> descr(static_cast<size_t>(nop), nullptr);
    bool any_dtype = false;
    size_t i = 0;
    for (int t : dtypes) {
        if (i < descr.size() && t >= 0) {
            descr[i] = PyArray_DescrFromType(t);
            if (!descr[i]) {
                for (auto *d : descr)
                    Py_XDECREF(d);
                zd::throw_error();
            }
            any_dtype = true;
        }
        ++i;
    }
    NpyIter *it =
        NpyIter_AdvancedNew(nop, opv.data(), flags, NPY_KEEPORDER, NPY_SAFE_CASTING, flv.data(),
                            any_dtype ? descr.data() : nullptr, oa_ndim, op_axes, nullptr, 0);
    for (auto *d : descr)
        Py_XDECREF(d);
    return it;
}

void ChunkLoop::reset() {
    if (NpyIter_GetIterSize(it_.get()) != 0 && NpyIter_Reset(it_.get(), nullptr) != NPY_SUCCEED)
        zd::throw_error();
}

namespace {

// [lo, hi) of the bytes an array's elements occupy; empty for no element.
void byte_bounds(PyArrayObject *a, char *&lo, char *&hi) {
    lo = hi = PyArray_BYTES(a);
    if (PyArray_SIZE(a) == 0)
        return;
    const int nd = PyArray_NDIM(a);
    const npy_intp *shape = PyArray_DIMS(a);
    const npy_intp *strides = PyArray_STRIDES(a);
    for (int d = 0; d < nd; ++d) {
        npy_intp ext = (shape[d] - 1) * strides[d];
        if (ext < 0)
            lo += ext;
        else
            hi += ext;
    }
    hi += PyArray_ITEMSIZE(a);
}

} // namespace

bool shares_memory(PyArrayObject *a, PyArrayObject *b) {
    char *alo, *ahi, *blo, *bhi;
    byte_bounds(a, alo, ahi);
    byte_bounds(b, blo, bhi);
    if (alo == ahi || blo == bhi)
        return false;
    return alo < bhi && blo < ahi;
}

namespace {

// The object that owns an array's memory: the end of its chain of array bases.
PyObject *memory_owner(PyArrayObject *a) {
    PyObject *o = reinterpret_cast<PyObject *>(a);
    while (PyArray_Check(o)) {
        PyObject *base = PyArray_BASE(reinterpret_cast<PyArrayObject *>(o));
        if (!base)
            break;
        o = base;
    }
    return o;
}

} // namespace

bool is_view_of(py::handle result, py::handle cells) {
    zd::ensure_numpy();
    PyArrayObject *r = as_ndarray(result);
    PyArrayObject *c = as_ndarray(cells);
    if (!r || !c)
        return false;
    // An empty selection spans no memory: it is a view when it stands on the
    // cell array's own memory (an empty slice), not on a new array.
    if (PyArray_SIZE(r) == 0)
        return memory_owner(r) == memory_owner(c);
    return shares_memory(r, c);
}

py::object shape_of(PyArrayObject *a) {
    const int nd = PyArray_NDIM(a);
    py::object t = zd::steal(PyTuple_New(nd));
    for (int d = 0; d < nd; ++d)
        PyTuple_SET_ITEM(t.ptr(), d,
                         zd::steal(PyLong_FromSsize_t(PyArray_DIM(a, d))).release().ptr());
    return t;
}

namespace {

py::object repr_cell(const zd::Args &a) {
    py::object text = zd::steal(PyObject_Str(a[0].ptr()));
    return zd::steal(PyUnicode_FromFormat(" %U", text.ptr()));
}

} // namespace

py::object repr_cell_function(const char *qualname) {
    return zd::make_function("<lambda>", qualname, zd::module_name(), "o", repr_cell, nullptr);
}

py::object array_text(const char *cls, const char *qualname, py::handle shape, const char *marker,
                      py::handle cellarr) {
    py::dict formatter;
    formatter["object"] = repr_cell_function(qualname);
    py::object cm = zd::import("numpy").attr("printoptions")(py::arg("formatter") = formatter);
    py::object info = with_context(cm, [&] { return zd::steal(PyObject_Repr(cellarr.ptr())); });
    py::object lastidx = zd::call_method(info, ZD_STR("rfind"), ",");
    Py_ssize_t cut = PyLong_AsSsize_t(lastidx.ptr());
    if (cut == -1 && PyErr_Occurred())
        zd::throw_error();
    py::object head = zd::steal(PySequence_GetSlice(info.ptr(), 0, cut));
    py::object shape_text = zd::steal(PyObject_Str(shape.ptr()));
    return zd::steal(
        PyUnicode_FromFormat("<%s %U%s>\n%U)", cls, shape_text.ptr(), marker, head.ptr()));
}

bool all_cells_of(PyArrayObject *a, PyTypeObject *tp) {
    ChunkLoop check({a}, NPY_ITER_REFS_OK | NPY_ITER_EXTERNAL_LOOP | NPY_ITER_ZEROSIZE_OK,
                    {NPY_ITER_READONLY});
    bool all = true;
    check.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp i = 0; i < n && all; ++i) {
            PyObject *o = cell_at(data[0], strides[0], i);
            all = o && PyObject_TypeCheck(o, tp);
        }
    });
    return all;
}

} // namespace cells
