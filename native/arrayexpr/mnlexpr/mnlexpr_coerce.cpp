// MNLExpr: operands into expression trees. An array operand becomes an
// object array of bare _ExprTree nodes of its shape; a scalar operand one
// node, made by the core.
#include "mnlexpr.hpp"

namespace mnlexpr {

namespace {

bool truthy(py::handle o) {
    return zd::check(PyObject_IsTrue(o.ptr())) == 1;
}

py::object attr(py::handle o, py::handle name) {
    return zd::steal(PyObject_GetAttr(o.ptr(), name.ptr()));
}

// One node per cell of `src` through `factory(cell)`.
py::object nodes_of(py::handle src, py::handle factory) {
    py::object arr = as_ndarray(src);
    return vectorize(as_array(arr), true, [&](PyObject *const *v) { return call1(factory, v[0]); });
}

// The node of one quadratic cell and the linear cell beside it: the linear
// term nodes, then the quadratic ones, summed unless there is exactly one.
py::object quad_tree(py::handle tree, PyObject *qe, PyObject *le) {
    py::object lin = call1(tree.attr(ZD_STR("_linexpr_terms")), le);
    py::object quad = call1(tree.attr(ZD_STR("_quadexpr_terms")), qe);
    std::vector<py::object> children;
    for (py::handle part : {py::handle(lin), py::handle(quad)}) {
        py::object iter = zd::steal(PyObject_GetIter(part.ptr()));
        while (PyObject *item = PyIter_Next(iter.ptr()))
            children.push_back(zd::steal(item));
        if (PyErr_Occurred())
            zd::throw_error();
    }
    if (children.size() == 1)
        return children[0];
    std::vector<PyObject *> args;
    args.reserve(children.size());
    for (const py::object &c : children)
        args.push_back(c.ptr());
    return call(tree.attr(ZD_STR("_from_plus")), args.data(), args.size());
}

py::object quad_trees(py::handle value) {
    py::object np = numpy();
    py::object qearr;
    if (truthy(attr(value, ZD_STR("_is_compact")))) {
        py::object shape = attr(value, ZD_STR("shape"));
        qearr = np.attr("empty")(shape, py::arg("dtype") = "O");
        py::object qe =
            zd::steal(PyObject_CallMethodNoArgs(value.ptr(), ZD_STR("_extract_quadexpr").ptr()));
        zd::check(PyObject_SetItem(qearr.ptr(), Py_Ellipsis, qe.ptr()));
    } else {
        qearr = attr(value, ZD_STR("_qearr"));
    }
    py::object ndle = attr(value, ZD_STR("_ndle"));
    if (truthy(attr(ndle, ZD_STR("_is_compact"))))
        ndle = zd::steal(PyObject_CallMethodNoArgs(ndle.ptr(), ZD_STR("_to_full").ptr()));
    py::object learr = attr(ndle, ZD_STR("_learr"));
    if (!zd::optimized()) {
        py::object qs = attr(qearr, ZD_STR("shape")), ls = attr(learr, ZD_STR("shape"));
        if (!zd::check(PyObject_RichCompareBool(qs.ptr(), ls.ptr(), Py_EQ)))
            zd::raise_assertion();
    }
    py::object tree = zd::global(ZD_STR("_ExprTree"));
    py::object qa = as_ndarray(qearr), la = as_ndarray(learr);
    return vectorize(as_array(qa), as_array(la), false,
                     [&](PyObject *const *v) { return quad_tree(tree, v[0], v[1]); });
}

} // namespace

py::object coerce_array(py::handle value) {
    numpy();
    if (isinstance_global(value, ZD_STR("MNLExpr"))) {
        py::object arr = nlearr(value);
        return vectorize(as_array(arr), true, [](PyObject *const *v) { return root(v[0]); });
    }
    if (isinstance_global(value, ZD_STR("MVar")))
        return nodes_of(attr(value, ZD_STR("_vararr")),
                        zd::global(ZD_STR("_ExprTree")).attr(ZD_STR("_from_var")));
    if (isinstance_global(value, ZD_STR("MLinExpr"))) {
        py::object full = zd::borrow(value.ptr());
        // A compact operand is read through a full-state copy and stays compact.
        if (truthy(attr(full, ZD_STR("_is_compact"))))
            full = zd::steal(PyObject_CallMethodNoArgs(full.ptr(), ZD_STR("_to_full").ptr()));
        return nodes_of(attr(full, ZD_STR("_learr")),
                        zd::global(ZD_STR("_ExprTree")).attr(ZD_STR("_from_linexpr")));
    }
    if (isinstance_global(value, ZD_STR("MQuadExpr")))
        return quad_trees(value);
    if (PyArray_Check(value.ptr())) {
        py::object factory = zd::global(ZD_STR("_ExprTree")).attr(ZD_STR("_from_constant"));
        return vectorize(as_array(value), true, [&](PyObject *const *v) {
            py::object f = zd::steal(PyNumber_Float(v[0]));
            return call1(factory, f.ptr());
        });
    }
    py::object text = zd::steal(PyObject_Str(value.ptr()));
    zd::raise_obj(PyExc_TypeError,
                  zd::steal(PyUnicode_FromFormat("Unsupported operand '%U'", text.ptr())));
}

py::object coerce_single(py::handle value) {
    return call1(zd::global(ZD_STR("NLExpr")).attr(ZD_STR("_coerce_to_exprtree")), value.ptr());
}

Operand classify(py::handle other, bool reflected) {
    if (PyArray_Check(other.ptr()) || operand::is_mvar(other) || operand::is_mlinexpr(other) ||
        operand::is_mquadexpr(other))
        return Operand::TreeArray;
    // A reflected operation never has an MNLExpr on the left: its own plain
    // operator serves it.
    if (!reflected && operand::is_mnlexpr(other))
        return Operand::TreeArray;
    if (operand::is_var(other) || operand::is_linexpr(other) || operand::is_quadexpr(other) ||
        operand::is_nlexpr(other) || is_scalar(other))
        return Operand::SingleTree;
    return Operand::Other;
}

} // namespace mnlexpr

py::object MNLExpr__coerce_to_exprtree_array(const zd::Args &a) {
    return mnlexpr::coerce_array(a[0]);
}
