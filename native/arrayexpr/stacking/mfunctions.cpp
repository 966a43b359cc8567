// Module functions: cell copies and stacking of matrix objects.
#include "arrayexpr.hpp"
#include "mnlexpr/mnlexpr.hpp"
#include "zd_numpy.hpp"

#include <initializer_list>
#include <vector>

namespace {

const char vstack_doc[] = "ROUTINE:\n"
                          "  vstack(tup)\n"
                          "\n"
                          "PURPOSE:\n"
                          "  Stack arrays in sequence vertically (row wise).\n"
                          "\n"
                          "ARGUMENTS:\n"
                          "  tup: A sequence of matrix-friendly API objects\n"
                          "\n"
                          "RETURN VALUE:\n"
                          "  A matrix-friendly API object. The type of the result depends on the\n"
                          "  types of the input objects.\n"
                          "\n"
                          "EXAMPLE\n"
                          "  X = model.addMVar((n, k))\n"
                          "  Y = model.addMVar((m, k))\n"
                          "  Z = tvp.vstack((X, Y))  # an MVar of shape (n+m, k)\n";

const char hstack_doc[] = "ROUTINE:\n"
                          "  hstack(tup)\n"
                          "\n"
                          "PURPOSE:\n"
                          "  Stack arrays in sequence horizontally (column wise).\n"
                          "\n"
                          "ARGUMENTS:\n"
                          "  tup: A sequence of matrix-friendly API objects\n"
                          "\n"
                          "RETURN VALUE:\n"
                          "  A matrix-friendly API object. The type of the result depends on the\n"
                          "  types of the input objects.\n"
                          "\n"
                          "EXAMPLE\n"
                          "  X = model.addMVar((k, n))\n"
                          "  Y = model.addMVar((k, m))\n"
                          "  Z = tvp.hstack((X, Y))  # an MVar of shape (k, n+m)\n";

const char concatenate_doc[] =
    "ROUTINE:\n"
    "  concatenate(tup, axis=0)\n"
    "\n"
    "PURPOSE:\n"
    "  Join a sequence of arrays along an existing axis.\n"
    "\n"
    "ARGUMENTS:\n"
    "  tup: A sequence of matrix-friendly API objects\n"
    "  axis: The axis along which the objects are joined (default 0).\n"
    "\n"
    "RETURN VALUE:\n"
    "  A matrix-friendly API object. The type of the result depends on the\n"
    "  types of the input objects.\n"
    "\n"
    "EXAMPLE\n"
    "  X = model.addMVar((k, n))\n"
    "  Y = model.addMVar((k, m))\n"
    "  Z = tvp.concatenate((X, Y), axis=1)  # an MVar of shape (k, n+m)\n";

py::object numpy() {
    py::object np = zd::import("numpy");
    zd::ensure_numpy();
    return np;
}

py::object attr(py::handle o, py::handle name) {
    return zd::steal(PyObject_GetAttr(o.ptr(), name.ptr()));
}

bool truthy(py::handle o) {
    return zd::check(PyObject_IsTrue(o.ptr())) == 1;
}

bool is_instance(py::handle o, py::handle cls) {
    return zd::check(PyObject_IsInstance(o.ptr(), cls.ptr())) == 1;
}

// True when every element of `tup` is an instance of one of `names` (module
// globals, or numpy.ndarray for null); stops at the first that is not. Each
// test walks `tup` anew.
bool all_of(py::handle tup, std::initializer_list<const char *> names) {
    std::vector<py::object> classes;
    for (const char *n : names)
        classes.push_back(n ? zd::global(py::str(n))
                            : zd::borrow(reinterpret_cast<PyObject *>(&PyArray_Type)));
    py::object it = zd::steal(PyObject_GetIter(tup.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        py::object x = zd::steal(raw);
        bool any = false;
        for (const py::object &c : classes)
            if ((any = is_instance(x, c)))
                break;
        if (!any)
            return false;
    }
    if (PyErr_Occurred())
        zd::throw_error();
    return true;
}

// [f(x) for x in tup]
template <class F>
py::object map_list(py::handle tup, F &&f) {
    py::object out = zd::steal(PyList_New(0));
    py::object it = zd::steal(PyObject_GetIter(tup.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        py::object x = zd::steal(raw);
        zd::check(PyList_Append(out.ptr(), f(x).ptr()));
    }
    if (PyErr_Occurred())
        zd::throw_error();
    return out;
}

py::object call1(py::handle f, py::handle a) {
    PyObject *arg = a.ptr();
    return zd::steal(PyObject_Vectorcall(f.ptr(), &arg, 1, nullptr));
}

// Stacks the element arrays `field` of the inputs and wraps the result.
py::object stack_handles(py::handle numpyfunc, py::handle tup, const char *cls, py::handle field) {
    py::object arrs = map_list(tup, [&](py::handle x) { return attr(x, field); });
    return call1(zd::global(py::str(cls)), call1(numpyfunc, arrs));
}

py::object copy_learr(const zd::Args &a) {
    py::handle obj = a[0];
    numpy();
    py::object mle = zd::global(ZD_STR("MLinExpr"));
    py::object copy;
    if (PyArray_Check(obj.ptr())) {
        copy = mle.attr(ZD_STR("_zeros_full"))(attr(obj, ZD_STR("shape")));
        copy = zd::steal(PyNumber_InPlaceAdd(copy.ptr(), obj.ptr()));
    } else if (is_instance(obj, zd::global(ZD_STR("MVar")))) {
        copy = mle.attr(ZD_STR("_from_mvar"))(obj, py::arg("force_full") = true);
    } else {
        bool compact = truthy(attr(obj, ZD_STR("_is_compact")));
        ZD_ASSERT(is_instance(obj, mle));
        copy = zd::steal(PyObject_CallMethodNoArgs(
            obj.ptr(), compact ? ZD_STR("_to_full").ptr() : ZD_STR("_copy_full").ptr()));
    }
    return attr(copy, ZD_STR("_learr"));
}

py::object copy_learr_qearr(const zd::Args &a) {
    py::handle obj = a[0];
    numpy();
    py::object mqe = zd::global(ZD_STR("MQuadExpr"));
    py::object copy;
    if (PyArray_Check(obj.ptr()) || is_instance(obj, zd::global(ZD_STR("MVar"))) ||
        is_instance(obj, zd::global(ZD_STR("MLinExpr")))) {
        copy = mqe.attr(ZD_STR("_zeros_full"))(attr(obj, ZD_STR("shape")));
        copy = zd::steal(PyNumber_InPlaceAdd(copy.ptr(), obj.ptr()));
    } else {
        bool compact = truthy(attr(obj, ZD_STR("_is_compact")));
        ZD_ASSERT(is_instance(obj, mqe));
        copy = zd::steal(PyObject_CallMethodNoArgs(
            obj.ptr(), compact ? ZD_STR("_to_full").ptr() : ZD_STR("_copy_full").ptr()));
    }
    py::object mle_copy = attr(copy, ZD_STR("_ndle"));
    if (truthy(attr(mle_copy, ZD_STR("_is_compact"))))
        mle_copy = zd::steal(PyObject_CallMethodNoArgs(mle_copy.ptr(), ZD_STR("_to_full").ptr()));
    py::object qearr = attr(copy, ZD_STR("_qearr"));
    py::object learr = attr(mle_copy, ZD_STR("_learr"));
    if (!zd::optimized()) {
        py::object qs = attr(qearr, ZD_STR("shape")), ls = attr(learr, ZD_STR("shape"));
        ZD_ASSERT(zd::check(PyObject_RichCompareBool(qs.ptr(), ls.ptr(), Py_EQ)) == 1);
    }
    return py::make_tuple(qearr, learr);
}

py::object apply_routine(const zd::Args &a) {
    py::handle numpyfunc = a[0], tup = a[1];
    numpy();
    if (all_of(tup, {"MVar"}))
        return stack_handles(numpyfunc, tup, "MVar", ZD_STR("_vararr"));
    if (all_of(tup, {"MConstr"}))
        return stack_handles(numpyfunc, tup, "MConstr", ZD_STR("_constrarr"));
    if (all_of(tup, {"MQConstr"}))
        return stack_handles(numpyfunc, tup, "MQConstr", ZD_STR("_qconstrarr"));
    if (all_of(tup, {"MGenConstr"}))
        return stack_handles(numpyfunc, tup, "MGenConstr", ZD_STR("_constrarr"));
    if (all_of(tup, {nullptr, "MVar", "MLinExpr"})) {
        py::object copy = zd::global(ZD_STR("_copy_learr"));
        py::object learrs = map_list(tup, [&](py::handle x) { return call1(copy, x); });
        py::object learr = call1(numpyfunc, learrs);
        return call1(zd::global(ZD_STR("MLinExpr")), learr);
    }
    if (all_of(tup, {nullptr, "MVar", "MLinExpr", "MQuadExpr"})) {
        py::object copy = zd::global(ZD_STR("_copy_learr_qearr"));
        py::object pairs = map_list(tup, [&](py::handle x) { return call1(copy, x); });
        // zip(*pairs): the quadratic cell arrays, then the linear ones, as tuples.
        py::object rows =
            zd::steal(PyObject_Call(reinterpret_cast<PyObject *>(&PyZip_Type),
                                    zd::steal(PyList_AsTuple(pairs.ptr())).ptr(), nullptr));
        py::object unpacked = zd::steal(PySequence_Tuple(rows.ptr()));
        if (PyTuple_GET_SIZE(unpacked.ptr()) != 2)
            zd::raisef(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)",
                       PyTuple_GET_SIZE(unpacked.ptr()));
        py::handle qearrs = PyTuple_GET_ITEM(unpacked.ptr(), 0);
        py::handle learrs = PyTuple_GET_ITEM(unpacked.ptr(), 1);
        py::object qearr = call1(numpyfunc, qearrs);
        py::object learr = call1(numpyfunc, learrs);
        py::object ndle = call1(zd::global(ZD_STR("MLinExpr")), learr);
        return zd::global(ZD_STR("MQuadExpr"))(py::arg("qearr") = qearr, py::arg("ndle") = ndle);
    }
    if (all_of(tup, {nullptr, "MVar", "MLinExpr", "MQuadExpr", "MNLExpr"})) {
        py::object mnl = zd::global(ZD_STR("MNLExpr"));
        py::object coerce = mnl.attr(ZD_STR("_coerce_to_exprtree_array"));
        py::object trees = map_list(tup, [&](py::handle x) { return call1(coerce, x); });
        py::object tree_arr = mnlexpr::as_ndarray(call1(numpyfunc, trees));
        // One new NLExpr per node, exactly one call per cell.
        py::object nlexpr = zd::global(ZD_STR("NLExpr"));
        py::object nlearr =
            mnlexpr::vectorize(mnlexpr::as_array(tree_arr), true,
                               [&](PyObject *const *v) { return mnlexpr::call1(nlexpr, v[0]); });
        return call1(mnl, nlearr);
    }
    zd::raise(PyExc_ValueError, "Invalid types for array manipulation routine");
}

py::object routine(const char *name, py::handle tup) {
    py::object np = numpy();
    return zd::global(ZD_STR("_apply_array_manipulation_routine"))(np.attr(name), tup);
}

py::object vstack(const zd::Args &a) {
    return routine("vstack", a[0]);
}

py::object hstack(const zd::Args &a) {
    return routine("hstack", a[0]);
}

py::object concatenate(const zd::Args &a) {
    py::object np = numpy();
    py::object functools = zd::import("functools");
    py::object f = functools.attr("partial")(np.attr("concatenate"), py::arg("axis") = a[1]);
    return zd::global(ZD_STR("_apply_array_manipulation_routine"))(f, a[0]);
}

} // namespace

void define_mfunctions() {
    zd::def("_copy_learr", "obj", copy_learr);
    zd::def("_copy_learr_qearr", "obj", copy_learr_qearr);
    zd::def("_apply_array_manipulation_routine", "numpyfunc, tup", apply_routine);
    zd::def("vstack", "tup", vstack, vstack_doc);
    zd::def("hstack", "tup", hstack, hstack_doc);
    zd::def("concatenate", "tup, axis=0", concatenate, concatenate_doc);
}
