// Class MNLExpr: N-dimensional array of nonlinear expressions, a GenExpr.
// Each cell is an NLExpr holding its expression tree in `_root`. This unit
// holds the class table, storage, factories, indexing and printing.
#include "mnlexpr.hpp"

namespace mnlexpr {

py::object numpy() {
    py::object np = ZD_IMPORT("numpy");
    zd::ensure_numpy();
    return np;
}

py::object as_ndarray(py::handle o) {
    zd::ensure_numpy();
    if (PyArray_Check(o.ptr()))
        return zd::borrow(o.ptr());
    return zd::steal(PyArray_FromAny(o.ptr(), nullptr, 0, 0, 0, nullptr));
}

py::object make(py::handle nlearr) {
    return call1(zd::global(ZD_STR("MNLExpr")), nlearr.ptr());
}

PyObject *own_coercion = nullptr;

py::object nlearr(py::handle self) {
    return as_ndarray(zd::steal(PyObject_GetAttr(self.ptr(), ZD_STR("_nlearr").ptr())));
}

} // namespace mnlexpr

namespace {

using namespace mnlexpr;

const char MNLExpr_doc[] =
    "Matrix nonlinear expression handle, acting as an array of NLExpr objects.\n"
    "\n"
    "MNLExpr objects are usually the result of operations on MVar objects\n"
    "(add, multiply, matrix multiply, divide, power) or of the nonlinear\n"
    "functions of the nlfunc module. Shape, dimensions and broadcasting follow\n"
    "the notions of NumPy's ndarray.";

const char sum_doc[] = "ROUTINE:\n"
                       "  sum(axis=None)\n"
                       "\n"
                       "PURPOSE:\n"
                       "  Sum the elements of the MNLExpr.\n"
                       "\n"
                       "ARGUMENTS:\n"
                       "  axis: An int, the axis along which to sum; None (the default) sums\n"
                       "    along all axes.\n"
                       "\n"
                       "RETURN VALUE:\n"
                       "  An MNLExpr representing the sum.\n"
                       "\n"
                       "EXAMPLE:\n"
                       "  x = model.addMVar((2, 2))\n"
                       "  y = model.addMVar((2, 2))\n"
                       "  e = x / y\n"
                       "  s0 = e.sum(axis=0)  # shape (2,): e[0, j] + e[1, j]\n"
                       "  s1 = e.sum(axis=1)  # shape (2,): e[i, 0] + e[i, 1]\n"
                       "  s = e.sum()         # shape (): all four cells\n";

py::object MNLExpr___init__(const zd::Args &a) {
    zd::check(PyObject_SetAttr(a[0].ptr(), ZD_STR("_nlearr").ptr(), a[1].ptr()));
    return zd::borrow(Py_None);
}

// " " + str(o): how the printed form shows a cell.
py::object cell_text(const zd::Args &a) {
    py::object s = zd::steal(PyObject_Str(a[0].ptr()));
    return zd::steal(PyUnicode_FromFormat(" %U", s.ptr()));
}

py::object MNLExpr___repr__(const zd::Args &a) {
    py::object np = numpy();
    py::object arr = zd::steal(PyObject_GetAttr(a[0].ptr(), ZD_STR("_nlearr").ptr()));
    py::object fmt = zd::make_function("<lambda>", "MNLExpr.__repr__.<locals>.<lambda>",
                                       zd::module_name(), "o", cell_text, nullptr);
    py::dict formatter;
    formatter["object"] = fmt;
    py::object ctx = np.attr("printoptions")(py::arg("formatter") = formatter);
    ctx.attr("__enter__")();
    py::object text;
    try {
        text = zd::steal(PyObject_Repr(arr.ptr()));
    } catch (...) {
        // Leave the print options as they were, then let the error go on.
        zd::set_error_from_current_exception();
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        if (tb)
            PyException_SetTraceback(value, tb);
        py::object t = zd::steal(type ? type : Py_NewRef(Py_None));
        py::object v = zd::steal(value ? value : Py_NewRef(Py_None));
        py::object b = zd::steal(tb ? tb : Py_NewRef(Py_None));
        py::object suppress = ctx.attr("__exit__")(t, v, b);
        PyErr_Restore(t.release().ptr(), v.release().ptr(), b.release().ptr());
        throw zd::python_error();
    }
    ctx.attr("__exit__")(py::none(), py::none(), py::none());
    // Drop NumPy's ", dtype=object" and close the parenthesis again.
    Py_ssize_t len = PyUnicode_GET_LENGTH(text.ptr());
    Py_ssize_t comma = PyUnicode_FindChar(text.ptr(), ',', 0, len, -1);
    if (comma == -2)
        zd::throw_error();
    // (Without a comma the last character goes, as a slice up to -1 would.)
    py::object head =
        zd::steal(PyUnicode_Substring(text.ptr(), 0, comma < 0 ? (len > 0 ? len - 1 : 0) : comma));
    py::object shape = zd::steal(PyObject_GetAttr(arr.ptr(), ZD_STR("shape").ptr()));
    py::object shape_text = zd::steal(PyObject_Str(shape.ptr()));
    return zd::steal(PyUnicode_FromFormat("<MNLExpr %U>\n%U)", shape_text.ptr(), head.ptr()));
}

// cls(array of f(cell)) with one call per element, empty input accepted.
template <class F>
py::object build(py::handle cls, py::handle src, F &&f) {
    numpy();
    py::object arr = as_ndarray(src);
    py::object out = vectorize(as_array(arr), true, f);
    return call1(cls, out.ptr());
}

py::object MNLExpr__from_ndarray(const zd::Args &a) {
    py::object factory = zd::global(ZD_STR("NLExpr")).attr(ZD_STR("_from_constant"));
    return build(a[0], a[1], [&](PyObject *const *v) { return call1(factory, v[0]); });
}

py::object MNLExpr__from_mvar(const zd::Args &a) {
    py::object vararr = zd::steal(PyObject_GetAttr(a[1].ptr(), ZD_STR("_vararr").ptr()));
    py::object factory = zd::global(ZD_STR("NLExpr")).attr(ZD_STR("_from_var"));
    return build(a[0], vararr, [&](PyObject *const *v) { return call1(factory, v[0]); });
}

// _from_mlinexpr and _from_mquadexpr: one new NLExpr per node of the operand's
// expression-tree array.
py::object MNLExpr__from_exprtrees(const zd::Args &a) {
    py::handle cls = a[0];
    py::object trees = call1(cls.attr(ZD_STR("_coerce_to_exprtree_array")), a[1].ptr());
    py::object nlexpr = zd::global(ZD_STR("NLExpr"));
    return build(cls, trees, [&](PyObject *const *v) { return call1(nlexpr, v[0]); });
}

py::object MNLExpr__addAsConstr(const zd::Args &a) {
    // model.addGenConstrNL(resvar, self, name)
    PyObject *args[4] = {a[1].ptr(), a[2].ptr(), a[0].ptr(), a[3].ptr()};
    return zd::steal(PyObject_VectorcallMethod(ZD_STR("addGenConstrNL").ptr(), args, 4, nullptr));
}

py::object array_attr(py::handle self, py::handle name) {
    py::object arr = zd::steal(PyObject_GetAttr(self.ptr(), ZD_STR("_nlearr").ptr()));
    return zd::steal(PyObject_GetAttr(arr.ptr(), name.ptr()));
}

py::object MNLExpr_shape(const zd::Args &a) {
    return array_attr(a[0], ZD_STR("shape"));
}
py::object MNLExpr_size(const zd::Args &a) {
    return array_attr(a[0], ZD_STR("size"));
}
py::object MNLExpr_ndim(const zd::Args &a) {
    return array_attr(a[0], ZD_STR("ndim"));
}

py::object MNLExpr___getitem__(const zd::Args &a) {
    numpy();
    py::object arr = zd::steal(PyObject_GetAttr(a[0].ptr(), ZD_STR("_nlearr").ptr()));
    py::object sub = zd::steal(PyObject_GetItem(arr.ptr(), a[1].ptr()));
    py::object nlexpr = zd::global(ZD_STR("NLExpr"));
    if (zd::check(PyObject_IsInstance(sub.ptr(), nlexpr.ptr())))
        return make(zero_d(sub));
    // A view shares the cells; a new array (integer-array or boolean index)
    // gets copies of its own.
    if (PyArray_Check(sub.ptr()) && !cells::is_view_of(sub, arr)) {
        py::object copy = nlexpr.attr(ZD_STR("copy"));
        return make(
            vectorize(as_array(sub), true, [&](PyObject *const *v) { return call1(copy, v[0]); }));
    }
    return make(sub);
}

py::object MNLExpr___setitem__(const zd::Args &a) {
    py::handle value = a[2];
    numpy();
    py::object arr = zd::steal(PyObject_GetAttr(a[0].ptr(), ZD_STR("_nlearr").ptr()));
    py::object sub = zd::steal(PyObject_GetItem(arr.ptr(), a[1].ptr()));
    py::object other;
    if (PyArray_Check(value.ptr()) || isinstance_global(value, ZD_STR("MVar")) ||
        isinstance_global(value, ZD_STR("MLinExpr")) ||
        isinstance_global(value, ZD_STR("MQuadExpr")) ||
        isinstance_global(value, ZD_STR("MNLExpr"))) {
        other = coerce_through(a[0], value);
    } else if (isinstance_global(value, ZD_STR("Var")) || arrayexpr::is_linexpr(value.ptr()) ||
               arrayexpr::is_quadexpr(value.ptr()) || isinstance_global(value, ZD_STR("NLExpr")) ||
               is_scalar(value)) {
        other = zero_d(coerce_single(value));
    } else {
        py::object tp = zd::steal(PyObject_Str(reinterpret_cast<PyObject *>(Py_TYPE(value.ptr()))));
        zd::raise_obj(PyExc_ValueError,
                      zd::steal(PyUnicode_FromFormat("Cannot assign %U to MNLExpr", tp.ptr())));
    }
    // The whole value is converted and checked against the selection (no
    // enlarging, no empty operand) before the first cell changes.
    py::object lhs = PyArray_Check(sub.ptr()) ? sub : zero_d(sub);
    py::object rhs = as_ndarray(other);
    inplace_pairs(as_array(lhs), as_array(rhs),
                  [](PyObject *cell, PyObject *node) { set_root(cell, node); });
    return zd::borrow(Py_None);
}

py::object MNLExpr_item(const zd::Args &a) {
    py::object arr = zd::steal(PyObject_GetAttr(a[0].ptr(), ZD_STR("_nlearr").ptr()));
    py::object cell = zd::steal(PyObject_CallMethodNoArgs(arr.ptr(), ZD_STR("item").ptr()));
    return zd::steal(PyObject_CallMethodNoArgs(cell.ptr(), ZD_STR("copy").ptr()));
}

} // namespace

void define_MNLExpr() {
    // The base is read from the module globals now; its metaclass is the class's.
    py::object cls =
        zd::ClassBuilder("MNLExpr", py::make_tuple(zd::global(ZD_STR("GenExpr"))), MNLExpr_doc)
            .attr("__array_priority__", py::int_(100))
            .method("__init__", "self, nlearr", MNLExpr___init__)
            .method("__repr__", "self", MNLExpr___repr__)
            .staticmethod("_coerce_to_exprtree_array", "value", MNLExpr__coerce_to_exprtree_array)
            .classmethod("_from_ndarray", "cls, fromobj", MNLExpr__from_ndarray)
            .classmethod("_from_mvar", "cls, fromobj", MNLExpr__from_mvar)
            .classmethod("_from_mlinexpr", "cls, fromobj", MNLExpr__from_exprtrees)
            .classmethod("_from_mquadexpr", "cls, fromobj", MNLExpr__from_exprtrees)
            .method("_addAsConstr", "self, model, resvar, name", MNLExpr__addAsConstr)
            .property("shape", MNLExpr_shape)
            .property("size", MNLExpr_size)
            .property("ndim", MNLExpr_ndim)
            .method("__getitem__", "self, obj", MNLExpr___getitem__)
            .method("__setitem__", "self, obj, value", MNLExpr___setitem__)
            .method("item", "self", MNLExpr_item)
            .method("_dispatch_unary_op", "self, func", MNLExpr__dispatch_unary_op)
            .method("_idispatch_unary_op", "self, func", MNLExpr__idispatch_unary_op)
            .method("_dispatch_binary_op", "self, other, func", MNLExpr__dispatch_binary_op)
            .method("_rdispatch_binary_op", "self, other, func", MNLExpr__rdispatch_binary_op)
            .method("_idispatch_binary_op", "self, other, func", MNLExpr__idispatch_binary_op)
            .method("__neg__", "self", MNLExpr___neg__)
            .method("__add__", "self, other", MNLExpr___add__)
            .method("__radd__", "self, other", MNLExpr___radd__)
            .method("__iadd__", "self, other", MNLExpr___iadd__)
            .method("__sub__", "self, other", MNLExpr___sub__)
            .method("__rsub__", "self, other", MNLExpr___rsub__)
            .method("__isub__", "self, other", MNLExpr___isub__)
            .method("__mul__", "self, other", MNLExpr___mul__)
            .method("__rmul__", "self, other", MNLExpr___rmul__)
            .method("__imul__", "self, other", MNLExpr___imul__)
            .method("__truediv__", "self, other", MNLExpr___truediv__)
            .method("__rtruediv__", "self, other", MNLExpr___rtruediv__)
            .method("__itruediv__", "self, other", MNLExpr___itruediv__)
            .method("__pow__", "self, other", MNLExpr___pow__)
            .method("__rpow__", "self, other", MNLExpr___rpow__)
            .method("__ipow__", "self, other", MNLExpr___ipow__)
            .method("__eq__", "self, other", MNLExpr___eq__)
            .method("__ne__", "self, other", MNLExpr___ne__)
            .method("__le__", "self, other", MNLExpr___le__)
            .method("__ge__", "self, other", MNLExpr___ge__)
            .staticmethod("_sum_terms", "terms", MNLExpr__sum_terms)
            .staticmethod("_multiply_term_sparse_right", "left_tree, right",
                          MNLExpr__multiply_term_sparse_right)
            .staticmethod("_multiply_term_sparse_left", "left, right_tree",
                          MNLExpr__multiply_term_sparse_left)
            .method("__matmul__", "self, other", MNLExpr___matmul__)
            .method("__rmatmul__", "self, other", MNLExpr___rmatmul__)
            .method("sum", "self, axis=None", MNLExpr_sum, sum_doc)
            .create();
    py::object fn = cls.attr("_coerce_to_exprtree_array");
    Py_XSETREF(mnlexpr::own_coercion, fn.release().ptr());
}
