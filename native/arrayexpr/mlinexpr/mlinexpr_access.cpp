// MLinExpr: printing, element access and item assignment.
#include "cellrec.hpp"
#include "mlinexpr.hpp"

using namespace mlinexpr;

namespace {

using zd::arr;

using operand::asarray;

[[noreturn]] void refuse_value(py::handle value) {
    operand::refuse_value(value, "MLinExpr");
}

// True when an object array holds None anywhere (or an unset cell).
bool holds_none(PyArrayObject *a) {
    if (PyArray_SIZE(a) == 0)
        return false;
    bool found = false;
    cells::ChunkLoop loop({a}, NPY_ITER_REFS_OK | NPY_ITER_EXTERNAL_LOOP, {NPY_ITER_READONLY});
    loop.run([&](char **data, npy_intp *strides, npy_intp n) {
        for (npy_intp i = 0; i < n && !found; ++i)
            found = cells::cell_or_none(data[0], strides[0], i) == Py_None;
    });
    return found;
}

} // namespace

// ---------------------------------------------------------------------------
// Printing and element access
// ---------------------------------------------------------------------------

py::object MLinExpr___repr__(const zd::Args &a) {
    py::handle self = a[0];
    numpy();
    py::object target = zd::borrow(self.ptr());
    const bool compact = is_compact(self);
    const char *marker = "";
    if (compact) {
        Py_ssize_t n = PyObject_Length(self.attr(ZD_STR("_matmulparts")).ptr());
        if (n < 0)
            zd::throw_error();
        marker = cells::state_marker(true, n);
        target = zd::call_method(self, ZD_STR("_to_full"));
    }
    return cells::array_text("MLinExpr", "MLinExpr.__repr__.<locals>.<lambda>",
                             target.attr(ZD_STR("shape")), marker, target.attr(ZD_STR("_learr")));
}

py::object MLinExpr_item(const zd::Args &a) {
    py::handle self = a[0];
    if (is_compact(self))
        return zd::call_method(self, ZD_STR("_to_full")).attr(ZD_STR("item"))();
    return self.attr(ZD_STR("_learr")).attr("item")().attr("copy")();
}

py::object MLinExpr___getitem__(const zd::Args &a) {
    py::handle self = a[0], obj = a[1];
    numpy();
    zd::call_method(self, ZD_STR("_convert_to_full"));
    py::object learr = self.attr(ZD_STR("_learr"));
    py::object sub = zd::steal(PyObject_GetItem(learr.ptr(), obj.ptr()));
    return operand::indexed(learr, sub, arrayexpr::is_linexpr(sub.ptr()),
                            [](py::handle c) { return wrap_full(c); });
}

// ---------------------------------------------------------------------------
// Item assignment
// ---------------------------------------------------------------------------

py::object MLinExpr___setitem__(const zd::Args &a) {
    py::handle self = a[0], obj = a[1];
    py::object value = zd::borrow(a[2].ptr());
    py::object np = numpy();
    zd::ensure_numpy();
    zd::call_method(self, ZD_STR("_convert_to_full"));
    if (arrayexpr::is_linexpr(value.ptr()))
        return zd::call_method(self, ZD_STR("_setitem_linexpr"), obj, value);
    if (zd::isinstance(value, zd::global(ZD_STR("Var"))))
        return zd::call_method(
            self, ZD_STR("_setitem_linexpr"), obj,
            py::handle(reinterpret_cast<PyObject *>(arrayexpr::LinExpr_type))(value));
    if (zd::isinstance(value, zd::global(ZD_STR("MVar"))) || PyArray_Check(value.ptr()))
        return zd::call_method(self, ZD_STR("_setitem_iaddable"), obj, value);
    if (zd::isinstance(value, zd::global(ZD_STR("MLinExpr")))) {
        if (is_compact(value)) {
            value = zd::call_method(value, ZD_STR("copy"));
            zd::call_method(value, ZD_STR("_convert_to_full"));
        }
        return zd::call_method(self, ZD_STR("_setitem_mlinexpr"), obj, value);
    }
    if (truthy(zd::global(ZD_STR("_isscalar"))(value)))
        return zd::call_method(self, ZD_STR("_setitem_iaddable"), obj, value);
    // Anything else must read as numbers; None (alone or inside a sequence)
    // is no number, though NumPy would read it as NaN.
    py::object converted;
    try {
        if (value.is_none())
            refuse_value(value);
        py::object plain = asarray(value);
        if (PyArray_TYPE(arr(plain)) == NPY_OBJECT && holds_none(arr(plain)))
            refuse_value(value);
        converted = np.attr("asarray")(value, py::arg("dtype") = np.attr("float64"));
    } catch (...) {
        // A conversion that fails for what the value is becomes "Cannot
        // assign"; running out of memory and interruptions (no Exception)
        // pass through as they are.
        zd::set_error_from_current_exception();
        if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError))
            zd::throw_error();
        PyErr_Clear();
        refuse_value(value);
    }
    return zd::call_method(self, ZD_STR("_setitem_iaddable"), obj, converted);
}

py::object MLinExpr__setitem_linexpr(const zd::Args &a) {
    py::handle self = a[0], obj = a[1], value = a[2];
    numpy();
    if (!arrayexpr::is_linexpr(value.ptr()))
        cells::raise_cannot_convert(value.ptr(), arrayexpr::LinExpr_type);
    py::object sub =
        asarray(zd::steal(PyObject_GetItem(self.attr(ZD_STR("_learr")).ptr(), obj.ptr())));
    cellrec::assign_linexpr(sub, value);
    return zd::borrow(self.ptr());
}

py::object MLinExpr__setitem_mlinexpr(const zd::Args &a) {
    py::handle self = a[0], obj = a[1];
    py::object value = zd::borrow(a[2].ptr());
    numpy();
    py::object learr = self.attr(ZD_STR("_learr"));
    py::object picked = zd::steal(PyObject_GetItem(learr.ptr(), obj.ptr()));
    py::object sub = asarray(picked);
    if (truthy(zd::global(ZD_STR("_all_refs_match"))(sub, value.attr(ZD_STR("_learr")))))
        return py::none();
    value = zd::call_method(value, ZD_STR("copy"));
    cellrec::assign_cells<cellrec::LinRec>(sub, asarray(value.attr(ZD_STR("_learr"))));
    return py::none();
}

py::object MLinExpr__setitem_iaddable(const zd::Args &a) {
    py::handle self = a[0], value = a[2];
    py::object obj = zd::borrow(a[1].ptr());
    numpy();
    zd::ensure_numpy();
    py::object ellipsis = py::make_tuple(zd::borrow(Py_Ellipsis));
    if (Py_TYPE(obj.ptr()) == &PyTuple_Type)
        obj = zd::steal(PySequence_Concat(obj.ptr(), ellipsis.ptr()));
    else
        obj = py::make_tuple(obj, zd::borrow(Py_Ellipsis));
    py::object sel = zd::steal(PyObject_GetItem(self.attr(ZD_STR("_learr")).ptr(), obj.ptr()));
    // The value must fit the selection before any selected cell is emptied:
    // a refused assignment leaves the expression as it was.
    if (PyArrayObject *s = cells::as_ndarray(sel)) {
        if (zd::isinstance(value, zd::global(ZD_STR("MVar")))) {
            py::object varr = asarray(value.attr(ZD_STR("_vararr")));
            cells::ChunkLoop({s, arr(varr)}, NPY_ITER_REFS_OK | NPY_ITER_ZEROSIZE_OK,
                             {NPY_ITER_READONLY | NPY_ITER_NO_BROADCAST, NPY_ITER_READONLY});
        } else if (PyArray_Check(value.ptr())) {
            cells::ChunkLoop(
                {s, arr(value)}, NPY_ITER_REFS_OK | NPY_ITER_BUFFERED | NPY_ITER_ZEROSIZE_OK,
                {NPY_ITER_READONLY | NPY_ITER_NO_BROADCAST, NPY_ITER_READONLY | NPY_ITER_COPY},
                {NPY_OBJECT, NPY_DOUBLE});
        } else {
            double v = PyFloat_AsDouble(value.ptr());
            if (v == -1.0 && PyErr_Occurred())
                zd::throw_error();
        }
    }
    py::object sub_ndle = wrap_full(sel);
    zd::call_method(sub_ndle, ZD_STR("clear"));
    zd::steal(PyNumber_InPlaceAdd(sub_ndle.ptr(), value.ptr()));
    return py::none();
}
