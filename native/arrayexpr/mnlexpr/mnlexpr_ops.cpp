// MNLExpr: the operator dispatchers, which apply a node factory cell by cell,
// and the operators and comparisons built on them.
#include "mnlexpr.hpp"

namespace mnlexpr {

[[noreturn]] void raise_invalid_argument(const char *msg) {
    py::object code = zd::global(ZD_STR("TVX")).attr(ZD_STR("ERROR_INVALID_ARGUMENT"));
    py::object err = zd::global(ZD_STR("TovrixError"))(code, msg);
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(err.ptr())), err.ptr());
    zd::throw_error();
}

} // namespace mnlexpr

namespace {

using namespace mnlexpr;

py::object not_implemented() {
    return zd::borrow(Py_NotImplemented);
}

// NLExpr(node): a new cell.
inline py::object new_cell(py::handle nlexpr, py::object node) {
    return call1(nlexpr, node.ptr());
}

py::object dispatch_unary(py::handle self, py::handle func) {
    numpy();
    py::object arr = nlearr(self);
    py::object nlexpr = zd::global(ZD_STR("NLExpr"));
    py::object res = vectorize(as_array(arr), false, [&](PyObject *const *v) {
        return new_cell(nlexpr, call1(func, root(v[0]).ptr()));
    });
    return make(res);
}

// True when self's _coerce_to_exprtree_array is the class's own function.
bool uses_own_coercion(py::handle self) {
    PyObject *own = mnlexpr::own_coercion;
    if (!own)
        return false;
    py::object f =
        zd::steal(PyObject_GetAttr(self.ptr(), ZD_STR("_coerce_to_exprtree_array").ptr()));
    return f.ptr() == own;
}

py::object dispatch_binary(py::handle self, py::handle other, py::handle func, bool reflected) {
    numpy();
    Operand kind = classify(other, reflected);
    if (kind == Operand::Other)
        return not_implemented();
    py::object arr = nlearr(self);
    py::object nlexpr = zd::global(ZD_STR("NLExpr"));
    py::object res;
    if (kind == Operand::TreeArray && !reflected && uses_own_coercion(self) &&
        operand::is_mnlexpr(other)) {
        // The trees of an MNLExpr are its cells' roots: read them in the loop
        // instead of gathering them into an array first.
        py::object other_arr = nlearr(other);
        res = vectorize(as_array(arr), as_array(other_arr), false, [&](PyObject *const *v) {
            py::object r = root(v[0]);
            py::object o = root(v[1]);
            return new_cell(nlexpr, call2(func, r.ptr(), o.ptr()));
        });
    } else if (kind == Operand::TreeArray) {
        py::object trees = as_ndarray(coerce_through(self, other));
        if (reflected)
            res = vectorize(as_array(trees), as_array(arr), false, [&](PyObject *const *v) {
                py::object r = root(v[1]);
                return new_cell(nlexpr, call2(func, v[0], r.ptr()));
            });
        else
            res = vectorize(as_array(arr), as_array(trees), false, [&](PyObject *const *v) {
                py::object r = root(v[0]);
                return new_cell(nlexpr, call2(func, r.ptr(), v[1]));
            });
    } else {
        // One tree for every cell, converted once.
        py::object tree = coerce_single(other);
        res = vectorize(as_array(arr), false, [&](PyObject *const *v) {
            py::object r = root(v[0]);
            return new_cell(nlexpr, reflected ? call2(func, tree.ptr(), r.ptr())
                                              : call2(func, r.ptr(), tree.ptr()));
        });
    }
    return make(res);
}

py::object idispatch_unary(py::handle self, py::handle func) {
    numpy();
    py::object arr = nlearr(self);
    inplace_cells(as_array(arr), [&](PyObject *cell) {
        py::object node = call1(func, root(cell).ptr());
        set_root(cell, node.ptr());
    });
    return zd::borrow(self.ptr());
}

py::object idispatch_binary(py::handle self, py::handle other, py::handle func) {
    numpy();
    Operand kind = classify(other, false);
    if (kind == Operand::Other)
        return not_implemented();
    // The operand is converted whole before any cell changes, so an operand
    // sharing cells with self contributes the nodes from before.
    py::object trees = kind == Operand::TreeArray ? as_ndarray(coerce_through(self, other))
                                                  : zero_d(coerce_single(other));
    py::object arr = nlearr(self);
    inplace_pairs(as_array(arr), as_array(trees), [&](PyObject *cell, PyObject *node) {
        py::object r = root(cell);
        py::object n = call2(func, r.ptr(), node);
        set_root(cell, n.ptr());
    });
    return zd::borrow(self.ptr());
}

py::object factory(const char *name) {
    return zd::steal(PyObject_GetAttrString(zd::global(ZD_STR("_ExprTree")).ptr(), name));
}

bool is_two(py::handle o) {
    py::object two = zd::steal(PyFloat_FromDouble(2.0));
    return zd::check(PyObject_RichCompareBool(o.ptr(), two.ptr(), Py_EQ)) == 1;
}

// The dispatcher calls go through the instance, as a subclass may override them.
py::object call_method(py::handle self, py::handle name, std::initializer_list<PyObject *> args) {
    PyObject *v[3] = {self.ptr(), nullptr, nullptr};
    size_t n = 1;
    for (PyObject *o : args)
        v[n++] = o;
    return zd::steal(PyObject_VectorcallMethod(name.ptr(), v, n, nullptr));
}

py::object unary(py::handle self, const char *fac) {
    return call_method(self, ZD_STR("_dispatch_unary_op"), {factory(fac).ptr()});
}
py::object plain(const zd::Args &a, const char *fac) {
    return call_method(a[0], ZD_STR("_dispatch_binary_op"), {a[1].ptr(), factory(fac).ptr()});
}
py::object reflected(const zd::Args &a, const char *fac) {
    return call_method(a[0], ZD_STR("_rdispatch_binary_op"), {a[1].ptr(), factory(fac).ptr()});
}
py::object inplace(const zd::Args &a, const char *fac) {
    return call_method(a[0], ZD_STR("_idispatch_binary_op"), {a[1].ptr(), factory(fac).ptr()});
}

} // namespace

py::object MNLExpr__dispatch_unary_op(const zd::Args &a) {
    return dispatch_unary(a[0], a[1]);
}
py::object MNLExpr__idispatch_unary_op(const zd::Args &a) {
    return idispatch_unary(a[0], a[1]);
}
py::object MNLExpr__dispatch_binary_op(const zd::Args &a) {
    return dispatch_binary(a[0], a[1], a[2], false);
}
py::object MNLExpr__rdispatch_binary_op(const zd::Args &a) {
    return dispatch_binary(a[0], a[1], a[2], true);
}
py::object MNLExpr__idispatch_binary_op(const zd::Args &a) {
    return idispatch_binary(a[0], a[1], a[2]);
}

py::object MNLExpr___neg__(const zd::Args &a) {
    return unary(a[0], "_from_uminus");
}
py::object MNLExpr___add__(const zd::Args &a) {
    return plain(a, "_from_plus");
}
py::object MNLExpr___radd__(const zd::Args &a) {
    return reflected(a, "_from_plus");
}
py::object MNLExpr___iadd__(const zd::Args &a) {
    return inplace(a, "_from_plus");
}
py::object MNLExpr___sub__(const zd::Args &a) {
    return plain(a, "_from_minus");
}
py::object MNLExpr___rsub__(const zd::Args &a) {
    return reflected(a, "_from_minus");
}
py::object MNLExpr___isub__(const zd::Args &a) {
    return inplace(a, "_from_minus");
}
py::object MNLExpr___mul__(const zd::Args &a) {
    return plain(a, "_from_multiply");
}
py::object MNLExpr___rmul__(const zd::Args &a) {
    return reflected(a, "_from_multiply");
}
py::object MNLExpr___imul__(const zd::Args &a) {
    return inplace(a, "_from_multiply");
}
py::object MNLExpr___truediv__(const zd::Args &a) {
    return plain(a, "_from_divide");
}
py::object MNLExpr___rtruediv__(const zd::Args &a) {
    return reflected(a, "_from_divide");
}
py::object MNLExpr___itruediv__(const zd::Args &a) {
    return inplace(a, "_from_divide");
}

py::object MNLExpr___pow__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    numpy();
    if (PyArray_Check(other.ptr())) {
        auto *o = as_array(other);
        if (PyArray_SIZE(o) == 1) {
            py::object item =
                zd::steal(PyObject_CallMethodNoArgs(other.ptr(), ZD_STR("item").ptr()));
            if (is_two(item)) {
                // One exponent 2.0: squares over self reshaped to the
                // broadcast shape (leading 1s added); self is not changed.
                py::object self_shape =
                    zd::steal(PyObject_GetAttr(self.ptr(), ZD_STR("shape").ptr()));
                py::object shape = zd::global(ZD_STR("_broadcast_shapes"))(
                    self_shape, zd::steal(PyObject_GetAttr(other.ptr(), ZD_STR("shape").ptr())));
                py::object arr = zd::steal(PyObject_GetAttr(self.ptr(), ZD_STR("_nlearr").ptr()));
                py::object reshaped = zd::steal(
                    PyObject_CallMethodOneArg(arr.ptr(), ZD_STR("reshape").ptr(), shape.ptr()));
                py::object tmp = make(reshaped);
                return unary(tmp, "_from_square");
            }
        }
    } else if (is_scalar(other) && is_two(other)) {
        return unary(self, "_from_square");
    }
    return plain(a, "_from_pow");
}

py::object MNLExpr___rpow__(const zd::Args &a) {
    return reflected(a, "_from_pow");
}

py::object MNLExpr___ipow__(const zd::Args &a) {
    if (is_scalar(a[1]) && is_two(a[1]))
        return call_method(a[0], ZD_STR("_idispatch_unary_op"), {factory("_from_square").ptr()});
    return inplace(a, "_from_pow");
}

py::object MNLExpr___eq__(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    if (isinstance_global(other, ZD_STR("MVar")) || isinstance_global(other, ZD_STR("Var")))
        return zd::steal(PyObject_RichCompare(other.ptr(), self.ptr(), Py_EQ));
    raise_invalid_argument("Nonlinear constraints must take the form y=f(x)");
}

py::object MNLExpr___ne__(const zd::Args &) {
    raise_invalid_argument("Inequality constraints not supported");
}

py::object MNLExpr___le__(const zd::Args &) {
    raise_invalid_argument("Nonlinear constraints must take the form y=f(x)");
}

py::object MNLExpr___ge__(const zd::Args &) {
    raise_invalid_argument("Nonlinear constraints must take the form y=f(x)");
}
