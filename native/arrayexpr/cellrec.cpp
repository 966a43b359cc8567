// Full-state cell loops: the parts that need no template.
#include "cellrec.hpp"

namespace cellrec {

bool LinRec::clear_record(PyObject *cell) {
    if (!cells::exact_linexpr(cell))
        return false;
    auto *r = reinterpret_cast<Record *>(cell);
    py::object coefs = zd::steal(cells::new_term_list(0));
    py::object vars = zd::steal(cells::new_term_list(0));
    r->constant = 0.0;
    Py_XSETREF(r->coef_list, coefs.release().ptr());
    Py_XSETREF(r->var_list, vars.release().ptr());
    cells::set_field(&r->cont_ref, Py_None);
    return true;
}

py::object QuadRec::copy(PyObject *cell) {
    record_for_method<QuadRec>(cell, "copy");
    return call_method<QuadRec>(cell, ZD_STR("copy"));
}

py::object QuadRec::make_empty() {
    return zd::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject *>(type())));
}

py::object new_object_array(int nd, const npy_intp *dims) {
    zd::ensure_numpy();
    return zd::steal(
        PyArray_Empty(nd, const_cast<npy_intp *>(dims), PyArray_DescrFromType(NPY_OBJECT), 0));
}

namespace {

// A new array of `shape` made by make(nd, dims).
template <class Make>
py::object with_dims(py::handle shape, Make make) {
    zd::ensure_numpy();
    PyArray_Dims dims = {nullptr, 0};
    if (!PyArray_IntpConverter(shape.ptr(), &dims))
        zd::throw_error();
    PyObject *out = make(dims.len, dims.ptr);
    PyDimMem_FREE(dims.ptr);
    return zd::steal(out);
}

} // namespace

py::object empty_objects(py::handle shape) {
    return with_dims(shape, [](int nd, npy_intp *dims) {
        return PyArray_Empty(nd, dims, PyArray_DescrFromType(NPY_OBJECT), 0);
    });
}

py::object zeros_float64(py::handle shape) {
    return with_dims(shape, [](int nd, npy_intp *dims) {
        return PyArray_Zeros(nd, dims, PyArray_DescrFromType(NPY_DOUBLE), 0);
    });
}

double float_of(py::handle h) {
    double v = PyFloat_AsDouble(h.ptr());
    if (v == -1.0 && PyErr_Occurred())
        zd::throw_error();
    return v;
}

namespace {

// Raises the bad-axis TovrixError; with `chain`, the pending IndexError
// becomes its context, as a raise inside an except block does.
[[noreturn]] void raise_bad_axis(py::handle axis, bool chain) {
    if (!chain) {
        PyErr_Clear();
        zd::raise_instance(arrayexpr::bad_axis_error(axis));
    }
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

std::vector<int> sum_axes(py::handle axis, PyArrayObject *cellarr, py::list &kept, bool chain) {
    const int nd = PyArray_NDIM(cellarr);
    py::object nd_obj = py::int_(nd);
    PyObject *r = PyObject_CallFunctionObjArgs(zd::global(ZD_STR("_axis_to_axeslist")).ptr(),
                                               axis.ptr(), nd_obj.ptr(), nullptr);
    if (!r) {
        if (PyErr_ExceptionMatches(PyExc_IndexError))
            raise_bad_axis(axis, chain);
        zd::throw_error();
    }
    py::object axeslist = zd::steal(r);
    py::object seq = zd::steal(PySequence_Fast(axeslist.ptr(), "axes list must be a sequence"));
    if (PySequence_Fast_GET_SIZE(seq.ptr()) != nd)
        zd::raisef(PyExc_ValueError, "axes list has %zd entries for %d axes",
                   PySequence_Fast_GET_SIZE(seq.ptr()), nd);
    std::vector<int> axes(static_cast<size_t>(nd));
    for (int d = 0; d < nd; ++d) {
        long v = PyLong_AsLong(PySequence_Fast_GET_ITEM(seq.ptr(), d));
        if (v == -1 && PyErr_Occurred())
            zd::throw_error();
        if (v < -1 || v >= nd)
            zd::raise(PyExc_ValueError, "axes list entry out of range");
        axes[static_cast<size_t>(d)] = static_cast<int>(v);
        if (v != -1)
            kept.append(PyArray_DIM(cellarr, d));
    }
    return axes;
}

void assign_linexpr(py::handle sub, py::handle value) {
    auto *v = record<LinRec>(value.ptr());
    // The value's fields, read once for the whole selection.
    py::object coefs = zd::borrow(v->coef_list ? v->coef_list : Py_None);
    py::object vars = zd::borrow(v->var_list ? v->var_list : Py_None);
    const double constant = v->constant;
    py::object cont = zd::borrow(v->cont_ref ? v->cont_ref : Py_None);
    cells::GcPause gc_pause;
    cells::ChunkLoop loop({arr(sub)}, NPY_ITER_REFS_OK | NPY_ITER_EXTERNAL_LOOP | NPY_ITER_BUFFERED,
                          {NPY_ITER_READWRITE});
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp i = 0; i < n; ++i) {
            PyObject *cell = cells::cell_at(data[0], strides[0], i);
            LinExprObject *le = record<LinRec>(cell);
            if (cell == value.ptr())
                continue;
            py::object vl = cells::list_copy(vars.ptr());
            py::object cl = cells::list_copy(coefs.ptr());
            le->constant = constant;
            Py_XSETREF(le->var_list, vl.release().ptr());
            Py_XSETREF(le->coef_list, cl.release().ptr());
            cells::set_field(&le->cont_ref, cont.ptr());
        }
    });
}

} // namespace cellrec

namespace cellrec {

// Every loop for both records, so that each is compiled and checked here
// whether or not a class calls it yet.
#define ZD_CELLREC_INSTANTIATE(T)                                                                  \
    template py::object copy_cells<T>(py::handle, npy_uint32, npy_uint32);                         \
    template void clear_cells<T>(py::handle, npy_uint32);                                          \
    template void flatten_cells<T>(py::handle, bool, npy_uint32);                                  \
    template void normalize_cells<T>(py::handle, npy_uint32);                                      \
    template py::object cell_values<T>(py::handle);                                                \
    template void sum_cells<T>(py::handle, py::handle, std::vector<int> &);                        \
    template void join_cells<T>(py::handle, py::handle);                                           \
    template void assign_cells<T>(py::handle, py::handle);
ZD_CELLREC_INSTANTIATE(LinRec)
ZD_CELLREC_INSTANTIATE(QuadRec)
#undef ZD_CELLREC_INSTANTIATE

} // namespace cellrec
