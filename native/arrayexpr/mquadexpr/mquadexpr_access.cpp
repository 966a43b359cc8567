// MQuadExpr: printing, indexing and item assignment.
#include "mquadexpr.hpp"

using namespace mquadexpr;

namespace {

using operand::asarray;

[[noreturn]] void refuse_value(py::handle value) {
    operand::refuse_value(value, "MQuadExpr");
}

} // namespace

// ---------------------------------------------------------------------------
// Printing
// ---------------------------------------------------------------------------

py::object MQuadExpr___repr__(const zd::Args &a) {
    py::handle self = a[0];
    py::object np = numpy();
    py::object target = zd::borrow(self.ptr());
    const char *marker = "";
    if (is_compact(self)) {
        marker = cells::state_marker(true, nparts(self));
        target = self.attr(ZD_STR("_to_full"))();
    }
    py::object ndle = self.attr(ZD_STR("_ndle"));
    if (mlinexpr::is_compact(ndle))
        ndle = ndle.attr(ZD_STR("_to_full"))();
    // Each cell printed whole: its quadratic terms plus its linear part.
    py::object sum = arith::op_add(target.attr(ZD_STR("_qearr")), ndle.attr(ZD_STR("_learr")));
    return cells::array_text("MQuadExpr", "MQuadExpr.__repr__.<locals>.<lambda>",
                             target.attr(ZD_STR("shape")), marker, np.attr("asarray")(sum));
}

// ---------------------------------------------------------------------------
// Indexing
// ---------------------------------------------------------------------------

py::object MQuadExpr___getitem__(const zd::Args &a) {
    py::handle self = a[0], obj = a[1];
    numpy();
    self.attr(ZD_STR("_convert_to_full"))();
    py::object ndle = zd::steal(PyObject_GetItem(self.attr(ZD_STR("_ndle")).ptr(), obj.ptr()));
    py::object qearr = self.attr(ZD_STR("_qearr"));
    py::object sub = zd::steal(PyObject_GetItem(qearr.ptr(), obj.ptr()));
    return operand::indexed(qearr, sub, arrayexpr::is_quadexpr(sub.ptr()), [&](py::handle c) {
        return cls()(py::arg("qearr") = c, py::arg("ndle") = ndle);
    });
}

// ---------------------------------------------------------------------------
// Item assignment
// ---------------------------------------------------------------------------

py::object MQuadExpr___setitem__(const zd::Args &a) {
    py::handle self = a[0], obj = a[1];
    py::object value = zd::borrow(a[2].ptr());
    py::object np = numpy();
    zd::ensure_numpy();
    self.attr(ZD_STR("_convert_to_full"))();
    if (zd::isinstance(value, zd::global(ZD_STR("Var"))) || arrayexpr::is_linexpr(value.ptr()) ||
        zd::isinstance(value, zd::global(ZD_STR("MVar"))) ||
        zd::isinstance(value, zd::global(ZD_STR("MLinExpr"))) || PyArray_Check(value.ptr()))
        return self.attr(ZD_STR("_setitem_linear"))(obj, value);
    if (arrayexpr::is_quadexpr(value.ptr())) {
        value = cls().attr(ZD_STR("_from_quad_expr"))(value);
        return self.attr(ZD_STR("_setitem_mquadexpr"))(obj, value);
    }
    if (zd::isinstance(value, cls())) {
        if (is_compact(value)) {
            value = value.attr(ZD_STR("copy"))();
            value.attr(ZD_STR("_convert_to_full"))();
        }
        return self.attr(ZD_STR("_setitem_mquadexpr"))(obj, value);
    }
    if (arith::is_scalar(value))
        return self.attr(ZD_STR("_setitem_linear"))(obj, value);
    py::object converted;
    try {
        converted = np.attr("asarray")(value, py::arg("dtype") = np.attr("float64"));
    } catch (...) {
        PyErr_Clear();
        refuse_value(value);
    }
    return self.attr(ZD_STR("_setitem_linear"))(obj, converted);
}

py::object MQuadExpr__setitem_linear(const zd::Args &a) {
    py::handle self = a[0], obj = a[1], value = a[2];
    numpy();
    // The index is resolved, and the linear part takes the value (refusing it
    // before any change), before any quadratic cell is emptied: a refused
    // assignment leaves the whole expression as it was.
    py::object sub = zd::steal(PyObject_GetItem(self.attr(ZD_STR("_qearr")).ptr(), obj.ptr()));
    const bool one_cell = arrayexpr::is_quadexpr(sub.ptr());
    if (!one_cell)
        cells::object_array(sub);
    zd::check(PyObject_SetItem(self.attr(ZD_STR("_ndle")).ptr(), obj.ptr(), value.ptr()));
    if (one_cell)
        cellrec::call_method<Rec>(sub.ptr(), ZD_STR("clear"));
    else
        cls().attr(ZD_STR("_clear_quad_array"))(sub);
    return py::none();
}

py::object MQuadExpr__setitem_mquadexpr(const zd::Args &a) {
    py::handle self = a[0], obj = a[1];
    py::object value = zd::borrow(a[2].ptr());
    numpy();
    zd::ensure_numpy();
    py::object vndle = value.attr(ZD_STR("_ndle"));
    py::object sub =
        asarray(zd::steal(PyObject_GetItem(self.attr(ZD_STR("_qearr")).ptr(), obj.ptr())));
    const bool same =
        truthy(zd::global(ZD_STR("_all_refs_match"))(sub, value.attr(ZD_STR("_qearr"))));
    if (same) {
        zd::check(PyObject_SetItem(self.attr(ZD_STR("_ndle")).ptr(), obj.ptr(), vndle.ptr()));
        return py::none();
    }
    // A copy of the value, so that the loop never reads a cell it writes and
    // the caller's value stays as it was. Its shape is checked against the
    // selection, and the selection's cells as objects, before the linear part
    // changes.
    value = value.attr(ZD_STR("copy"))();
    py::object src = asarray(value.attr(ZD_STR("_qearr")));
    cells::ChunkLoop({arr(sub), arr(src)},
                     NPY_ITER_REFS_OK | NPY_ITER_BUFFERED | NPY_ITER_ZEROSIZE_OK,
                     {NPY_ITER_READONLY, NPY_ITER_READONLY | NPY_ITER_COPY}, {-1, NPY_OBJECT});
    zd::check(PyObject_SetItem(self.attr(ZD_STR("_ndle")).ptr(), obj.ptr(), vndle.ptr()));
    // An empty selection has no cell to write.
    if (PyArray_SIZE(arr(sub)) > 0)
        cellrec::assign_cells<Rec>(sub, src);
    return py::none();
}
