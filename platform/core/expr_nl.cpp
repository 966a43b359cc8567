// Nonlinear expressions: _ExprTree nodes, NLExpr (a node in _root) and the
// base class GenExpr.
//
// A node is immutable: an operation code, a tuple of children, and for a
// constant its value, for a variable the Var. Nodes are shared freely
// between trees. Children are normally nodes; any other object is kept and
// printed with str(), so test doubles can stand in for nodes.
#include "expr_internal.hpp"

namespace zdcore {

namespace {

// clang-format off
struct NodeObject {
    PyObject_HEAD
    int op;
    double value;
    PyObject *children; // tuple
    PyObject *var;      // Var for OP_VARIABLE, else NULL
};
// clang-format on

// clang-format off
struct NLExprObject {
    PyObject_HEAD
    PyObject *root;
};
// clang-format on

NodeObject *node_ptr(PyObject *o) {
    return reinterpret_cast<NodeObject *>(o);
}
NLExprObject *nl_ptr(PyObject *o) {
    return reinterpret_cast<NLExprObject *>(o);
}

const char *const kOpNames[] = {"constant", "variable", "plus",   "minus", "multiply",
                                "divide",   "uminus",   "square", "pow"};

} // namespace

py::object node_new(int op, py::object children, double value, PyObject *var) {
    if (!children)
        children = steal(PyTuple_New(0));
    PyObject *o = ExprTree_Type->tp_alloc(ExprTree_Type, 0);
    if (!o)
        throw_py();
    NodeObject *n = node_ptr(o);
    n->op = op;
    n->value = value;
    n->children = children.release().ptr();
    Py_XINCREF(var);
    n->var = var;
    return steal(o);
}

py::object node_constant(double value) {
    return node_new(OP_CONSTANT, py::object(), value, nullptr);
}

py::object node_unary(int op, PyObject *a) {
    return node_new(op, steal(PyTuple_Pack(1, a)), 0.0, nullptr);
}

py::object node_binary(int op, PyObject *a, PyObject *b) {
    return node_new(op, steal(PyTuple_Pack(2, a, b)), 0.0, nullptr);
}

namespace {

py::object node_var(PyObject *v) {
    if (!is_var(v))
        raisef(PyExc_TypeError, "expected a Var, got %.200s", Py_TYPE(v)->tp_name);
    return node_new(OP_VARIABLE, py::object(), 0.0, v);
}

// c * node, or the node itself for c == 1.
py::object scaled_node(double c, py::object node) {
    if (c == 1.0)
        return node;
    return node_binary(OP_MULTIPLY, node_constant(c).ptr(), node.ptr());
}

// Term nodes of a linear view, then its constant unless it is zero.
py::object lin_terms(const LinView &view) {
    py::object out = new_list(0);
    for (const Seg &s : view.segs) {
        for (Py_ssize_t i = 0; i < s.n; ++i) {
            double c = s.coefs ? list_double(s.coefs.ptr(), i) : 1.0;
            PyObject *v = s.coefs ? list_item(s.vars.ptr(), i) : s.vars.ptr();
            py::object hv = borrow(v);
            check(PyList_Append(out.ptr(), scaled_node(c, node_var(v)).ptr()));
        }
    }
    if (view.constant != 0.0)
        check(PyList_Append(out.ptr(), node_constant(view.constant).ptr()));
    return out;
}

// Nodes of the quadratic terms of a view (its linear part is left out).
py::object quad_terms(const QuadView &view) {
    py::object out = new_list(0);
    for (Py_ssize_t i = 0; i < view.n; ++i) {
        double c = list_double(view.coeffs.ptr(), i);
        PyObject *x = list_item(view.vars1.ptr(), i), *y = list_item(view.vars2.ptr(), i);
        py::object hx = borrow(x), hy = borrow(y);
        py::object prod = x == y ? node_unary(OP_SQUARE, node_var(x).ptr())
                                 : node_binary(OP_MULTIPLY, node_var(x).ptr(), node_var(y).ptr());
        check(PyList_Append(out.ptr(), scaled_node(c, std::move(prod)).ptr()));
    }
    return out;
}

// One node for a list of terms: the term itself, a sum, or 0.0 for none.
py::object sum_of(py::object terms) {
    Py_ssize_t n = PyList_GET_SIZE(terms.ptr());
    if (n == 0)
        return node_constant(0.0);
    if (n == 1)
        return borrow(PyList_GET_ITEM(terms.ptr(), 0));
    return node_new(OP_PLUS, steal(PyList_AsTuple(terms.ptr())), 0.0, nullptr);
}

py::object node_linexpr(PyObject *le) {
    LinView view;
    linexpr_view(le, view);
    return sum_of(lin_terms(view));
}

py::object node_quadexpr(PyObject *qe) {
    QuadView view;
    quadexpr_view(qe, view);
    py::object terms = lin_terms(view.lin);
    py::object q = quad_terms(view);
    Py_ssize_t n = PyList_GET_SIZE(terms.ptr());
    check(PyList_SetSlice(terms.ptr(), n, n, q.ptr()));
    return sum_of(std::move(terms));
}

} // namespace

py::object node_from_operand(PyObject *o, Kind kind, double num) {
    switch (kind) {
    case Kind::Number:
        return node_constant(num);
    case Kind::Var:
        return node_var(o);
    case Kind::Lin:
        return node_linexpr(o);
    case Kind::Quad:
        return node_quadexpr(o);
    case Kind::NL:
        return borrow(nl_ptr(o)->root);
    default:
        raisef(PyExc_TypeError, "Cannot convert %.200s to an expression tree", Py_TYPE(o)->tp_name);
    }
}

py::object nlexpr_new(PyObject *root) {
    PyObject *o = NLExpr_Type->tp_alloc(NLExpr_Type, 0);
    if (!o)
        throw_py();
    Py_INCREF(root);
    nl_ptr(o)->root = root;
    return steal(o);
}

py::object nl_binary(int op, PyObject *a, Kind ka, double na, PyObject *b, Kind kb, double nb) {
    py::object ta = node_from_operand(a, ka, na);
    py::object tb = node_from_operand(b, kb, nb);
    return nlexpr_new(node_binary(op, ta.ptr(), tb.ptr()).ptr());
}

// ---------------------------------------------------------------------------
// Printing
// ---------------------------------------------------------------------------

namespace {

// Binding strength of a node's printed form; atoms bind tightest.
int precedence(PyObject *o) {
    if (!is_exprtree(o))
        return 10;
    NodeObject *n = node_ptr(o);
    switch (n->op) {
    case OP_CONSTANT:
        return n->value < 0 ? 3 : 10;
    case OP_VARIABLE:
        return 10;
    case OP_PLUS:
        if (PyTuple_GET_SIZE(n->children) == 0)
            return 10;
        if (PyTuple_GET_SIZE(n->children) == 1)
            return precedence(PyTuple_GET_ITEM(n->children, 0));
        return 1;
    case OP_MINUS:
        return 1;
    case OP_MULTIPLY:
    case OP_DIVIDE:
        return 2;
    case OP_UMINUS:
        return 3;
    default:
        return 4; // square, pow
    }
}

struct RecursionGuard {
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while printing an expression"))
            throw_py();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
};

void print_node(PyObject *o, std::string &out);

// Prints a child, in parentheses when it binds weaker than `min_prec`.
void print_child(PyObject *o, int min_prec, std::string &out) {
    bool paren = precedence(o) < min_prec;
    if (paren)
        out += '(';
    print_node(o, out);
    if (paren)
        out += ')';
}

void print_node(PyObject *o, std::string &out) {
    RecursionGuard guard;
    if (!is_exprtree(o)) {
        py::object s = steal(PyObject_Str(o));
        Py_ssize_t len;
        const char *p = PyUnicode_AsUTF8AndSize(s.ptr(), &len);
        if (!p)
            throw_py();
        out.append(p, static_cast<size_t>(len));
        return;
    }
    NodeObject *n = node_ptr(o);
    PyObject *ch = n->children;
    Py_ssize_t nc = PyTuple_GET_SIZE(ch);
    auto child = [&](Py_ssize_t i) -> PyObject * {
        if (i >= nc)
            raise(PyExc_ValueError, "malformed expression tree");
        return PyTuple_GET_ITEM(ch, i);
    };
    switch (n->op) {
    case OP_CONSTANT:
        out += format_double(n->value);
        return;
    case OP_VARIABLE:
        out += var_label(n->var);
        return;
    case OP_PLUS:
        if (nc == 0) {
            out += "0.0";
            return;
        }
        for (Py_ssize_t i = 0; i < nc; ++i) {
            if (i)
                out += " + ";
            print_child(child(i), 1, out);
        }
        return;
    case OP_MINUS:
        print_child(child(0), 1, out);
        out += " - ";
        print_child(child(1), 2, out);
        return;
    case OP_MULTIPLY:
    case OP_DIVIDE: {
        print_child(child(0), 2, out);
        out += n->op == OP_MULTIPLY ? " * " : " / ";
        // a * (b * c) reads the same without parentheses; a / (b * c) does not.
        PyObject *right = child(1);
        bool assoc =
            n->op == OP_MULTIPLY && is_exprtree(right) && node_ptr(right)->op == OP_MULTIPLY;
        print_child(right, assoc ? 2 : 3, out);
        return;
    }
    case OP_UMINUS:
        out += '-';
        print_child(child(0), 3, out);
        return;
    case OP_SQUARE:
        print_child(child(0), 5, out);
        out += " ** 2";
        return;
    case OP_POW:
        print_child(child(0), 5, out);
        out += " ** ";
        print_child(child(1), 4, out);
        return;
    default:
        out += "<?>";
        return;
    }
}

PyObject *text_object(PyObject *root, const char *prefix) {
    std::string s = prefix;
    print_node(root, s);
    if (*prefix)
        s += '>';
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// ---------------------------------------------------------------------------
// _ExprTree
// ---------------------------------------------------------------------------

int node_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(node_ptr(self)->children);
    Py_VISIT(node_ptr(self)->var);
    return 0;
}

int node_clear(PyObject *self) {
    Py_CLEAR(node_ptr(self)->children);
    Py_CLEAR(node_ptr(self)->var);
    return 0;
}

void node_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // Long chains of nodes are freed iteratively, not by deep recursion.
    Py_TRASHCAN_BEGIN(self, node_dealloc);
    node_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
    Py_TRASHCAN_END;
}

PyObject *node_str(PyObject *self) {
    return entry([&] { return text_object(self, ""); });
}

PyObject *node_repr(PyObject *self) {
    return entry([&] { return text_object(self, "<zudirivi._ExprTree: "); });
}

PyObject *node_get_op(PyObject *self, void *) {
    return PyLong_FromLong(node_ptr(self)->op);
}

PyObject *node_get_opname(PyObject *self, void *) {
    int op = node_ptr(self)->op;
    return PyUnicode_FromString(op >= 0 && op <= OP_POW ? kOpNames[op] : "?");
}

PyObject *node_get_children(PyObject *self, void *) {
    Py_INCREF(node_ptr(self)->children);
    return node_ptr(self)->children;
}

PyObject *node_get_value(PyObject *self, void *) {
    if (node_ptr(self)->op != OP_CONSTANT)
        Py_RETURN_NONE;
    return PyFloat_FromDouble(node_ptr(self)->value);
}

PyObject *node_get_var(PyObject *self, void *) {
    PyObject *v = node_ptr(self)->var ? node_ptr(self)->var : Py_None;
    Py_INCREF(v);
    return v;
}

PyGetSetDef node_getset[] = {
    {"_op", node_get_op, nullptr, "Operation code (an int).", nullptr},
    {"_opname", node_get_opname, nullptr,
     "Operation name: constant, variable, plus, minus, multiply, divide, "
     "uminus, square or pow.",
     nullptr},
    {"_children", node_get_children, nullptr, "The operand nodes (a tuple).", nullptr},
    {"_value", node_get_value, nullptr, "The value of a constant node, else None.", nullptr},
    {"_var", node_get_var, nullptr, "The Var of a variable node, else None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

void check_nargs(const char *name, Py_ssize_t nargs, Py_ssize_t want) {
    if (nargs != want)
        raisef(PyExc_TypeError, "%.200s() takes exactly %zd positional argument%s (%zd given)",
               name, want, want == 1 ? "" : "s", nargs);
}

PyObject *tree_from_var(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    return entry([&] {
        check_nargs("_from_var", nargs, 1);
        return node_var(args[0]).release().ptr();
    });
}

PyObject *tree_from_constant(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    return entry([&] {
        check_nargs("_from_constant", nargs, 1);
        return node_constant(to_double(args[0])).release().ptr();
    });
}

PyObject *tree_from_linexpr(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    return entry([&] {
        check_nargs("_from_linexpr", nargs, 1);
        if (!is_linexpr(args[0]))
            raisef(PyExc_TypeError, "expected a LinExpr, got %.200s", Py_TYPE(args[0])->tp_name);
        return node_linexpr(args[0]).release().ptr();
    });
}

PyObject *tree_linexpr_terms(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    return entry([&] {
        check_nargs("_linexpr_terms", nargs, 1);
        if (!is_linexpr(args[0]))
            raisef(PyExc_TypeError, "expected a LinExpr, got %.200s", Py_TYPE(args[0])->tp_name);
        LinView view;
        linexpr_view(args[0], view);
        return lin_terms(view).release().ptr();
    });
}

PyObject *tree_quadexpr_terms(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    return entry([&] {
        check_nargs("_quadexpr_terms", nargs, 1);
        if (!is_quadexpr(args[0]))
            raisef(PyExc_TypeError, "expected a QuadExpr, got %.200s", Py_TYPE(args[0])->tp_name);
        QuadView view;
        quadexpr_view(args[0], view);
        return quad_terms(view).release().ptr();
    });
}

PyObject *tree_from_plus(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    return entry([&] {
        py::object children = steal(PyTuple_New(nargs));
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(children.ptr(), i, args[i]);
        }
        return node_new(OP_PLUS, std::move(children), 0.0, nullptr).release().ptr();
    });
}

template <int Op>
PyObject *tree_binary(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    static const char *const names[] = {
        "", "", "", "_from_minus", "_from_multiply", "_from_divide", "", "", "_from_pow"};
    return entry([&] {
        check_nargs(names[Op], nargs, 2);
        return node_binary(Op, args[0], args[1]).release().ptr();
    });
}

template <int Op>
PyObject *tree_unary(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    return entry([&] {
        check_nargs(Op == OP_SQUARE ? "_from_square" : "_from_uminus", nargs, 1);
        return node_unary(Op, args[0]).release().ptr();
    });
}

#define ZD_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef node_methods[] = {
    {"_from_var", ZD_FASTCALL(tree_from_var), METH_FASTCALL | METH_CLASS, "Node of a variable."},
    {"_from_constant", ZD_FASTCALL(tree_from_constant), METH_FASTCALL | METH_CLASS,
     "Node of a constant (anything float() takes)."},
    {"_from_linexpr", ZD_FASTCALL(tree_from_linexpr), METH_FASTCALL | METH_CLASS,
     "One node for a LinExpr: its terms and constant."},
    {"_linexpr_terms", ZD_FASTCALL(tree_linexpr_terms), METH_FASTCALL | METH_CLASS,
     "List of nodes: one per term of a LinExpr, then its constant unless zero."},
    {"_quadexpr_terms", ZD_FASTCALL(tree_quadexpr_terms), METH_FASTCALL | METH_CLASS,
     "List of nodes: one per quadratic term of a QuadExpr (its linear part is left out)."},
    {"_from_plus", ZD_FASTCALL(tree_from_plus), METH_FASTCALL | METH_CLASS,
     "Sum node of any number of nodes (none: the value 0)."},
    {"_from_minus", ZD_FASTCALL(tree_binary<OP_MINUS>), METH_FASTCALL | METH_CLASS, "a - b"},
    {"_from_multiply", ZD_FASTCALL(tree_binary<OP_MULTIPLY>), METH_FASTCALL | METH_CLASS, "a * b"},
    {"_from_divide", ZD_FASTCALL(tree_binary<OP_DIVIDE>), METH_FASTCALL | METH_CLASS, "a / b"},
    {"_from_pow", ZD_FASTCALL(tree_binary<OP_POW>), METH_FASTCALL | METH_CLASS, "a ** b"},
    {"_from_square", ZD_FASTCALL(tree_unary<OP_SQUARE>), METH_FASTCALL | METH_CLASS, "a ** 2"},
    {"_from_uminus", ZD_FASTCALL(tree_unary<OP_UMINUS>), METH_FASTCALL | METH_CLASS, "-a"},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// NLExpr
// ---------------------------------------------------------------------------

PyObject *nl_tp_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    return entry([&] {
        static const char *kwlist[] = {"node", nullptr};
        PyObject *node = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:NLExpr", const_cast<char **>(kwlist),
                                         &node))
            throw_py();
        py::object root = node ? borrow(node) : node_constant(0.0);
        PyObject *o = type->tp_alloc(type, 0);
        if (!o)
            throw_py();
        nl_ptr(o)->root = root.release().ptr();
        return o;
    });
}

// NLExpr(node) without building an argument tuple: the type's vectorcall.
// Keywords and other counts take the ordinary path.
PyObject *nl_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *tp = reinterpret_cast<PyTypeObject *>(type);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 1 || (kwnames && PyTuple_GET_SIZE(kwnames)))
        return _PyObject_MakeTpCall(PyThreadState_Get(), type, args, nargs, kwnames);
    PyObject *o = tp->tp_alloc(tp, 0);
    if (!o)
        return nullptr;
    Py_INCREF(args[0]);
    nl_ptr(o)->root = args[0];
    return o;
}

int nl_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(nl_ptr(self)->root);
    return 0;
}

int nl_clear(PyObject *self) {
    Py_CLEAR(nl_ptr(self)->root);
    return 0;
}

void nl_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    nl_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *nl_root(PyObject *self) {
    PyObject *r = nl_ptr(self)->root;
    if (!r)
        raise(PyExc_AttributeError, "NLExpr has no root");
    return r;
}

PyObject *nl_str(PyObject *self) {
    return entry([&] { return text_object(nl_root(self), ""); });
}

PyObject *nl_repr(PyObject *self) {
    return entry([&] { return text_object(nl_root(self), "<zudirivi.NLExpr: "); });
}

PyObject *nl_get_root(PyObject *self, void *) {
    return entry([&] {
        PyObject *r = nl_root(self);
        Py_INCREF(r);
        return r;
    });
}

int nl_set_root(PyObject *self, PyObject *value, void *) {
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "cannot delete NLExpr._root");
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(nl_ptr(self)->root, value);
    return 0;
}

PyGetSetDef nl_getset[] = {
    {"_root", nl_get_root, nl_set_root, "The expression tree (an _ExprTree node).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject *nl_copy(PyObject *self, PyObject *) {
    // Nodes never change, so sharing the root gives an independent copy.
    return entry([&] { return nlexpr_new(nl_root(self)).release().ptr(); });
}

// copy.copy and copy.deepcopy: the same as copy(); variables are shared,
// never copied.
PyObject *nl_copy_deep(PyObject *self, PyObject *) {
    return nl_copy(self, nullptr);
}

// cls(node), fast for NLExpr itself.
PyObject *make_instance(PyObject *cls, py::object node) {
    if (cls == reinterpret_cast<PyObject *>(NLExpr_Type))
        return nlexpr_new(node.ptr()).release().ptr();
    return PyObject_CallOneArg(cls, node.ptr());
}

PyObject *nl_from_var(PyObject *cls, PyObject *const *args, Py_ssize_t nargs) {
    return entry([&] {
        check_nargs("_from_var", nargs, 1);
        return make_instance(cls, node_var(args[0]));
    });
}

PyObject *nl_from_constant(PyObject *cls, PyObject *const *args, Py_ssize_t nargs) {
    return entry([&] {
        check_nargs("_from_constant", nargs, 1);
        return make_instance(cls, node_constant(to_double(args[0])));
    });
}

PyObject *nl_from_plus(PyObject *cls, PyObject *const *args, Py_ssize_t nargs) {
    return entry([&] {
        py::object children = steal(PyTuple_New(nargs));
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            if (!is_nlexpr(args[i]))
                raisef(PyExc_TypeError, "_from_plus() takes NLExpr arguments, not %.200s",
                       Py_TYPE(args[i])->tp_name);
            PyObject *r = nl_root(args[i]);
            Py_INCREF(r);
            PyTuple_SET_ITEM(children.ptr(), i, r);
        }
        return make_instance(cls, node_new(OP_PLUS, std::move(children), 0.0, nullptr));
    });
}

PyObject *nl_coerce(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    return entry([&] {
        check_nargs("_coerce_to_exprtree", nargs, 1);
        double num = 0.0;
        Kind k = classify(args[0], &num);
        if (k == Kind::Other)
            raisef(PyExc_TypeError, "Unsupported operand '%.200s'", Py_TYPE(args[0])->tp_name);
        return node_from_operand(args[0], k, num).release().ptr();
    });
}

PyMethodDef nl_methods[] = {
    {"copy", nl_copy, METH_NOARGS,
     "An equal, independent NLExpr (trees are immutable and shared)."},
    {"__copy__", nl_copy, METH_NOARGS, "Same as copy()."},
    {"__deepcopy__", nl_copy_deep, METH_O, "Same as copy(); variables are shared."},
    {"_from_var", ZD_FASTCALL(nl_from_var), METH_FASTCALL | METH_CLASS, "NLExpr of a variable."},
    {"_from_constant", ZD_FASTCALL(nl_from_constant), METH_FASTCALL | METH_CLASS,
     "NLExpr of a constant."},
    {"_from_plus", ZD_FASTCALL(nl_from_plus), METH_FASTCALL | METH_CLASS,
     "NLExpr of the sum of NLExprs."},
    {"_coerce_to_exprtree", ZD_FASTCALL(nl_coerce), METH_FASTCALL | METH_CLASS,
     "One node for a number, Var, LinExpr, QuadExpr or NLExpr."},
    {nullptr, nullptr, 0, nullptr},
};

// Operators: any operand the expression arithmetic knows; NotImplemented for
// the rest (arrays, matrix expressions).
PyObject *nl_binop(int op, PyObject *a, PyObject *b) {
    return entry([&] {
        double na = 0.0, nb = 0.0;
        Kind ka = classify(a, &na), kb = classify(b, &nb);
        if (ka == Kind::Other || kb == Kind::Other || (ka == Kind::Number && kb == Kind::Number))
            Py_RETURN_NOTIMPLEMENTED;
        if (op == OP_POW && kb == Kind::Number && nb == 2.0)
            return nlexpr_new(node_unary(OP_SQUARE, node_from_operand(a, ka, na).ptr()).ptr())
                .release()
                .ptr();
        if (op == OP_DIVIDE && kb == Kind::Number && nb == 0.0)
            raise(PyExc_ZeroDivisionError, "float division by zero");
        return nl_binary(op, a, ka, na, b, kb, nb).release().ptr();
    });
}

PyObject *nl_add(PyObject *a, PyObject *b) {
    return nl_binop(OP_PLUS, a, b);
}
PyObject *nl_sub(PyObject *a, PyObject *b) {
    return nl_binop(OP_MINUS, a, b);
}
PyObject *nl_mul(PyObject *a, PyObject *b) {
    return nl_binop(OP_MULTIPLY, a, b);
}
PyObject *nl_div(PyObject *a, PyObject *b) {
    return nl_binop(OP_DIVIDE, a, b);
}
PyObject *nl_pow(PyObject *a, PyObject *b, PyObject *mod) {
    if (mod != Py_None)
        Py_RETURN_NOTIMPLEMENTED;
    return nl_binop(OP_POW, a, b);
}

PyObject *nl_neg(PyObject *a) {
    return entry(
        [&] { return nlexpr_new(node_unary(OP_UMINUS, nl_root(a)).ptr()).release().ptr(); });
}

PyObject *nl_pos(PyObject *a) {
    return entry([&] { return nlexpr_new(nl_root(a)).release().ptr(); });
}

} // namespace

PyTypeObject *make_exprtree_type() {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(node_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(node_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(node_clear)},
        {Py_tp_str, reinterpret_cast<void *>(node_str)},
        {Py_tp_repr, reinterpret_cast<void *>(node_repr)},
        {Py_tp_getset, node_getset},
        {Py_tp_methods, node_methods},
        {Py_tp_doc, const_cast<char *>("An immutable node of a nonlinear expression tree.")},
        {0, nullptr},
    };
    PyType_Spec spec = {
        "zudirivi._ExprTree",
        static_cast<int>(sizeof(NodeObject)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    return reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&spec));
}

PyTypeObject *make_nlexpr_type() {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void *>(nl_tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void *>(nl_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(nl_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(nl_clear)},
        {Py_tp_str, reinterpret_cast<void *>(nl_str)},
        {Py_tp_repr, reinterpret_cast<void *>(nl_repr)},
        {Py_tp_getset, nl_getset},
        {Py_tp_methods, nl_methods},
        {Py_nb_add, reinterpret_cast<void *>(nl_add)},
        {Py_nb_subtract, reinterpret_cast<void *>(nl_sub)},
        {Py_nb_multiply, reinterpret_cast<void *>(nl_mul)},
        {Py_nb_true_divide, reinterpret_cast<void *>(nl_div)},
        {Py_nb_power, reinterpret_cast<void *>(nl_pow)},
        {Py_nb_negative, reinterpret_cast<void *>(nl_neg)},
        {Py_nb_positive, reinterpret_cast<void *>(nl_pos)},
        {Py_tp_doc,
         const_cast<char *>("A nonlinear expression: an expression tree held in _root.")},
        {0, nullptr},
    };
    PyType_Spec spec = {
        "zudirivi.NLExpr",
        static_cast<int>(sizeof(NLExprObject)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
        slots,
    };
    auto *tp = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&spec));
    // Subclasses inherit no vectorcall of a heap type, so their own
    // __new__/__init__ still run.
    if (tp)
        tp->tp_vectorcall = nl_vectorcall;
    return tp;
}

PyTypeObject *make_genexpr_type() {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char *>("Base class of general (nonlinear) expressions.")},
        {0, nullptr},
    };
    PyType_Spec spec = {
        "zudirivi.GenExpr",
        static_cast<int>(sizeof(PyObject)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
        slots,
    };
    return reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&spec));
}

} // namespace zdcore
