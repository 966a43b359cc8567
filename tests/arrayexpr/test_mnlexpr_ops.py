"""MNLExpr: operator dispatchers, operators, powers and comparisons, and the
nonlinear hand-off of MVar and MLinExpr that ends in them."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest
import scipy.sparse as sp

import zudirivi as tvp
from zudirivi import _arrayexpr as ax
from helpers import assert_no_leak, subprocess_env
from test_mnlexpr import C, V, roots, tree

MNLExpr, NLExpr = tvp.MNLExpr, tvp.NLExpr


class Rec:
    """A node factory that records its arguments and returns a fresh token."""

    def __init__(self):
        self.calls = []

    def __call__(self, *args):
        self.calls.append(args)
        return ("node", len(self.calls))


@pytest.fixture
def m(x):
    return MNLExpr._from_mvar(x)


@pytest.fixture
def m23(model):
    x = model.addMVar((2, 3))
    model.update()
    return MNLExpr._from_mvar(x)


# --- dispatchers --------------------------------------------------------------


def test_plain_forms_call_the_factory_once_more_on_the_first_cells(m):
    f = Rec()
    old = roots(m)
    r = m._dispatch_unary_op(f)
    assert type(r) is MNLExpr and r.shape == (3,)
    assert f.calls == [(old[0],), (old[0],), (old[1],), (old[2],)]
    assert [c._root for c in r._nlearr] == [("node", 2), ("node", 3), ("node", 4)]
    assert roots(m) == old


def test_single_tree_is_converted_once_and_shared(model, m):
    v = model.addVar()
    f = Rec()
    m._dispatch_binary_op(v, f)
    seconds = [c[1] for c in f.calls]
    assert len(f.calls) == 4 and all(s is seconds[0] for s in seconds)
    assert tree(seconds[0]) == V(v)


def test_reflected_form_hands_the_other_node_first(m):
    f = Rec()
    m._rdispatch_binary_op(2.0, f)
    assert [tree(a) for a, _ in f.calls] == [C(2.0)] * 4
    assert [b for _, b in f.calls][1:] == roots(m)
    f = Rec()
    m._rdispatch_binary_op(np.array([1.0, 2.0, 3.0]), f)
    assert [tree(a) for a, _ in f.calls][1:] == [C(1.0), C(2.0), C(3.0)]


def test_tree_array_operands_broadcast(m):
    f = Rec()
    r = m._dispatch_binary_op(np.array([[1.0], [2.0]]), f)
    assert r.shape == (2, 3) and len(f.calls) == 7
    assert (f.calls[1][0], tree(f.calls[1][1])) == (roots(m)[0], C(1.0))
    assert (f.calls[6][0], tree(f.calls[6][1])) == (roots(m)[2], C(2.0))
    with pytest.raises(ValueError):
        m._dispatch_binary_op(np.ones(2), f)


def test_reflected_form_does_not_take_an_mnlexpr(m):
    assert m._rdispatch_binary_op(m, Rec()) is NotImplemented
    assert m._dispatch_binary_op(m, Rec()).shape == (3,)


@pytest.mark.parametrize("other", [[1.0, 2.0, 3.0], (1.0,), sp.eye(3), "s", None, {}])
def test_other_operands_are_not_implemented(m, other):
    f = Rec()
    before = roots(m)
    for d in (m._dispatch_binary_op, m._rdispatch_binary_op, m._idispatch_binary_op):
        assert d(other, f) is NotImplemented
    assert f.calls == [] and roots(m) == before


def test_inplace_binary_keeps_cells_and_rebinds_roots(m23):
    cells = list(m23._nlearr.flat)
    old = roots(m23)
    f = Rec()
    assert m23._idispatch_binary_op(1.0, f) is m23
    assert list(m23._nlearr.flat) == cells and len(f.calls) == 6
    assert [a for a, _ in f.calls] == old
    assert all(tree(b) == C(1.0) for _, b in f.calls)
    assert roots(m23) == [("node", i) for i in range(1, 7)]


def test_inplace_on_a_slice_changes_the_source(m):
    old = roots(m)
    s = m[0:2]
    f = Rec()
    s._idispatch_unary_op(f)
    assert f.calls == [(old[0],), (old[1],)]
    assert roots(m) == [("node", 1), ("node", 2), old[2]]


def test_inplace_never_enlarges_self(m):
    old = roots(m)
    with pytest.raises(ValueError):
        m._idispatch_binary_op(np.ones((2, 1)), Rec())
    with pytest.raises(ValueError):
        m += np.ones((2, 1))
    assert roots(m) == old
    m += np.ones(3)
    assert m.shape == (3,)


def test_inplace_operand_nodes_are_taken_before_any_change(m):
    old = roots(m)
    m -= m
    assert [tree(r) for r in roots(m)] == [("minus", None, tree(o), tree(o)) for o in old]
    assert all(r._children[0] is o and r._children[1] is o for r, o in zip(roots(m), old))


def test_inplace_without_rollback_when_the_factory_fails(m):
    old = roots(m)

    def fail_second(a, b):
        if a is old[1]:
            raise KeyError("second")
        return "new"
    with pytest.raises(KeyError):
        m._idispatch_binary_op(1.0, fail_second)
    assert roots(m) == ["new", old[1], old[2]]


@pytest.mark.parametrize("shape", [(0,), (2, 0)])
@pytest.mark.parametrize("op", [
    lambda m: m + 1.0,
    lambda m: m + m,
    lambda m: -m,
    lambda m: 1.0 - m,
    lambda m: m.__iadd__(1.0),
    lambda m: m.__imul__(m),
    lambda m: m.__ipow__(2),
])
def test_empty_arrays_refuse_the_operators(model, shape, op):
    e = MNLExpr._from_mvar(model.addMVar(shape))
    with pytest.raises(ValueError):
        op(e)


def test_zero_d(model, x):
    z = MNLExpr._from_mvar(model.addMVar(()))
    for r in (z + 1.0, 1.0 + z, -z, z ** 2, z * z):
        assert r.shape == ()
    z += 1.0
    assert z.shape == ()
    assert (z + np.ones(3)).shape == (3,)


# --- operators ----------------------------------------------------------------

TABLE = [
    ("__neg__", "_dispatch_unary_op", "_from_uminus", lambda m, o: -m),
    ("__add__", "_dispatch_binary_op", "_from_plus", lambda m, o: m + o),
    ("__radd__", "_rdispatch_binary_op", "_from_plus", lambda m, o: o + m),
    ("__iadd__", "_idispatch_binary_op", "_from_plus", lambda m, o: m.__iadd__(o)),
    ("__sub__", "_dispatch_binary_op", "_from_minus", lambda m, o: m - o),
    ("__rsub__", "_rdispatch_binary_op", "_from_minus", lambda m, o: o - m),
    ("__isub__", "_idispatch_binary_op", "_from_minus", lambda m, o: m.__isub__(o)),
    ("__mul__", "_dispatch_binary_op", "_from_multiply", lambda m, o: m * o),
    ("__rmul__", "_rdispatch_binary_op", "_from_multiply", lambda m, o: o * m),
    ("__imul__", "_idispatch_binary_op", "_from_multiply", lambda m, o: m.__imul__(o)),
    ("__truediv__", "_dispatch_binary_op", "_from_divide", lambda m, o: m / o),
    ("__rtruediv__", "_rdispatch_binary_op", "_from_divide", lambda m, o: o / m),
    ("__itruediv__", "_idispatch_binary_op", "_from_divide", lambda m, o: m.__itruediv__(o)),
    ("__pow__", "_dispatch_binary_op", "_from_pow", lambda m, o: m ** o),
    ("__rpow__", "_rdispatch_binary_op", "_from_pow", lambda m, o: o ** m),
    ("__ipow__", "_idispatch_binary_op", "_from_pow", lambda m, o: m.__ipow__(o)),
]


@pytest.mark.parametrize("method, dispatcher, factory, expr", TABLE)
def test_each_operator_is_one_dispatcher_call(monkeypatch, m, method, dispatcher, factory, expr):
    """The factory is read from the module global _ExprTree at each call and
    handed to the dispatcher, looked up on the instance."""
    seen = []

    class FakeTree:
        pass
    token = object()
    setattr(FakeTree, factory, token)
    monkeypatch.setattr(ax, "_ExprTree", FakeTree)

    class Sub(MNLExpr):
        pass

    def record(self, *args):
        seen.append(args)
        return "result"
    monkeypatch.setattr(Sub, dispatcher, record)
    s = Sub(m._nlearr)
    assert expr(s, 3.0) == "result"
    assert seen == ([(token,)] if dispatcher.endswith("unary_op") else [(3.0, token)])


def node_trees(r):
    return [tree(c) for c in roots(r)]


def test_operator_trees_put_operands_in_written_order(x, m):
    v = x.tolist()
    assert node_trees(1.0 - m) == [("minus", None, C(1.0), V(u)) for u in v]
    assert node_trees(1.0 / m) == [("divide", None, C(1.0), V(u)) for u in v]
    assert node_trees(2 ** m) == [("pow", None, C(2.0), V(u)) for u in v]
    assert node_trees(m * 2) == [("multiply", None, V(u), C(2.0)) for u in v]
    assert node_trees(-m) == [("uminus", None, V(u)) for u in v]
    assert node_trees(m) == [V(u) for u in v]


@pytest.mark.parametrize("exponent, kind, shape", [
    (2, "square", (3,)),
    (2.0, "square", (3,)),
    (np.float64(2.0), "square", (3,)),
    (np.array(2.0), "square", (3,)),
    (np.array([[2.0]]), "square", (1, 3)),
    (np.array([2]), "square", (3,)),
    (3, "pow", (3,)),
    (2.5, "pow", (3,)),
    (True, "pow", (3,)),
    (np.array([2.0, 2.0, 2.0]), "pow", (3,)),
    (np.array([3.0]), "pow", (3,)),
])
def test_power(m, exponent, kind, shape):
    old = roots(m)
    r = m ** exponent
    assert r.shape == shape and roots(m) == old
    trees = [tree(c._root) for c in r._nlearr.flat]
    if kind == "square":
        assert trees == [("square", None, tree(o)) for o in old]
    else:
        assert all(t[0] == "pow" and t[2] == tree(o) for t, o in zip(trees, old))
    if exponent is True:
        assert trees[0][3] == C(1.0)


@pytest.mark.parametrize("exponent, kind", [
    (2, "square"), (2.0, "square"), (np.array([2.0]), "pow"), (3, "pow"),
])
def test_inplace_power(m, exponent, kind):
    cells = list(m._nlearr)
    old = roots(m)
    m **= exponent
    assert list(m._nlearr) == cells
    assert [tree(r)[0] for r in roots(m)] == [kind] * 3
    assert all(r._children[0] is o for r, o in zip(roots(m), old))


def test_pow_takes_no_modulus(m):
    with pytest.raises(TypeError):
        pow(m, 2, 3)


def test_unsupported_operands_raise_python_type_errors(m):
    before = roots(m)
    with pytest.raises(TypeError):
        m + [1.0]
    with pytest.raises(TypeError):
        m += [1.0]
    with pytest.raises(TypeError):
        m @ 3.0
    assert roots(m) == before


# --- comparisons --------------------------------------------------------------

NONLINEAR_FORM = "Nonlinear constraints must take the form y=f(x)"


@pytest.mark.parametrize("expr, text", [
    (lambda m, x: m == 0, NONLINEAR_FORM),
    (lambda m, x: m == m, NONLINEAR_FORM),
    (lambda m, x: m == np.zeros(3), NONLINEAR_FORM),
    (lambda m, x: m <= 1.0, NONLINEAR_FORM),
    (lambda m, x: m >= x, NONLINEAR_FORM),
    (lambda m, x: 1.0 >= m, NONLINEAR_FORM),
    (lambda m, x: m != 0, "Inequality constraints not supported"),
    (lambda m, x: m != x, "Inequality constraints not supported"),
])
def test_comparisons_raise(m, x, expr, text):
    with pytest.raises(tvp.TovrixError) as err:
        expr(m, x)
    assert err.value.errno == tvp.TVX.ERROR_INVALID_ARGUMENT and err.value.message == text


def test_equality_with_variables_hands_over(model, m, x):
    c = m == x
    assert isinstance(c, tvp.TempConstr)
    assert c._lhs is x and c._sense == tvp.TVX.EQUAL and c._rhs is m
    d = x == m
    assert type(d) is type(c) and d._lhs is x and d._rhs is m
    v = model.addVar()
    assert type(m == v) is type(v == m)


def test_unhashable(m):
    with pytest.raises(TypeError):
        hash(m)


# --- nonlinear hand-off of the other classes ----------------------------------


def P(*c):
    return ("plus", None) + c


def B(op, a, b):
    return (op, None, a, b)


# Each row: the expression, then the tree of cell i from the variables
# x_i, y_i, the single variable v and the linear cell x_i + 1 (lin).
HAND_OFFS = [
    ("x.nl", lambda x, y, v, nl: x.nl, lambda xi, yi, v, lin: V(xi)),
    ("x / y", lambda x, y, v, nl: x / y, lambda xi, yi, v, lin: B("divide", V(xi), V(yi))),
    ("x / v", lambda x, y, v, nl: x / v, lambda xi, yi, v, lin: B("divide", V(xi), V(v))),
    ("1 / x", lambda x, y, v, nl: 1 / x, lambda xi, yi, v, lin: B("divide", C(1.0), V(xi))),
    ("x ** 3", lambda x, y, v, nl: x ** 3, lambda xi, yi, v, lin: B("pow", V(xi), C(3.0))),
    ("x ** 0.5", lambda x, y, v, nl: x ** 0.5, lambda xi, yi, v, lin: B("pow", V(xi), C(0.5))),
    ("2 ** x", lambda x, y, v, nl: 2 ** x, lambda xi, yi, v, lin: B("pow", C(2.0), V(xi))),
    ("x + nl", lambda x, y, v, nl: x + nl, lambda xi, yi, v, lin: B("plus", V(xi), V(v))),
    ("nl - x", lambda x, y, v, nl: nl - x, lambda xi, yi, v, lin: B("minus", V(v), V(xi))),
    ("x * nl", lambda x, y, v, nl: x * nl, lambda xi, yi, v, lin: B("multiply", V(xi), V(v))),
    ("e / y", lambda x, y, v, nl: (x + 1.0) / y, lambda xi, yi, v, lin: B("divide", lin, V(yi))),
    ("e / v", lambda x, y, v, nl: (x + 1.0) / v, lambda xi, yi, v, lin: B("divide", lin, V(v))),
    ("e ** 3", lambda x, y, v, nl: (x + 1.0) ** 3, lambda xi, yi, v, lin: B("pow", lin, C(3.0))),
    ("2 ** e", lambda x, y, v, nl: 2.0 ** (x + 1.0), lambda xi, yi, v, lin: B("pow", C(2.0), lin)),
    ("1 / e", lambda x, y, v, nl: 1 / (x + 1.0), lambda xi, yi, v, lin: B("divide", C(1.0), lin)),
    ("nl * e", lambda x, y, v, nl: nl * (x + 1.0),
     lambda xi, yi, v, lin: B("multiply", V(v), lin)),
    ("e * x.nl", lambda x, y, v, nl: (x + 1.0) * x.nl,
     lambda xi, yi, v, lin: B("multiply", lin, V(xi))),
    ("x.nl / e", lambda x, y, v, nl: x.nl / (x + 1.0),
     lambda xi, yi, v, lin: B("divide", V(xi), lin)),
]


@pytest.mark.parametrize("name, expr, expect", HAND_OFFS, ids=[h[0] for h in HAND_OFFS])
def test_hand_off_gives_a_real_mnlexpr_with_the_written_trees(model, x, y, name, expr, expect):
    v = model.addVar()
    model.update()
    r = expr(x, y, v, NLExpr._from_var(v))
    assert type(r) is MNLExpr and r.shape == (3,)
    want = [expect(a, b, v, P(V(a), C(1.0))) for a, b in zip(x.tolist(), y.tolist())]
    assert node_trees(r) == want


QUAD_HAND_OFFS = [
    ("q * q", lambda q, x, v: q * q, lambda qi, xi, v: B("multiply", qi, qi)),
    ("q / x", lambda q, x, v: q / x, lambda qi, xi, v: B("divide", qi, V(xi))),
    ("q ** 2", lambda q, x, v: q ** 2, lambda qi, xi, v: ("square", None, qi)),
    ("q ** 3", lambda q, x, v: q ** 3, lambda qi, xi, v: B("pow", qi, C(3.0))),
    ("2 ** q", lambda q, x, v: 2 ** q, lambda qi, xi, v: B("pow", C(2.0), qi)),
    ("q * x", lambda q, x, v: q * x, lambda qi, xi, v: B("multiply", qi, V(xi))),
    ("x.nl + q", lambda q, x, v: x.nl + q, lambda qi, xi, v: B("plus", V(xi), qi)),
]


@pytest.mark.parametrize("name, expr, expect", QUAD_HAND_OFFS, ids=[h[0] for h in QUAD_HAND_OFFS])
def test_quadratic_hand_off(model, x, y, name, expr, expect):
    v = model.addVar()
    model.update()
    q = x * y
    r = expr(q, x, v)
    assert type(r) is MNLExpr and r.shape == (3,)
    want = [expect(B("multiply", V(a), V(b)), a, v) for a, b in zip(x.tolist(), y.tolist())]
    assert node_trees(r) == want


def test_hand_off_leaves_a_compact_operand_compact(x, y):
    e = x + 1.0
    assert e._is_compact
    e / y, e ** 3
    assert e._is_compact


def test_hand_off_ends_in_a_general_constraint(model, x, y):
    r = model.addMVar(3)
    gc = model.addGenConstrNL(r, x / y + 1.0, name="g")
    assert isinstance(gc, tvp.MGenConstr) and gc.shape == (3,)
    model.update()
    assert model.NumGenConstrs == 3 and gc.GenConstrName.tolist() == ["g[0]", "g[1]", "g[2]"]
    gc.setAttr("GenConstrName", ["a", "b", "c"])
    assert gc[1].GenConstrName.tolist() == "b"


def test_no_leaks(model, m, x):
    a = np.arange(3.0)
    v = model.addVar()

    def ops():
        m + a, a - m, m * m, -m, m ** 2, m ** 3, 2 ** m, m / v, m + x
    assert_no_leak(ops, repeat=200)

    def inplace():
        e = x.nl
        e += a
        e **= 2
        e -= e
        e *= v
    assert_no_leak(inplace, repeat=200)

    def refused():
        for f in (lambda: m + [1.0], lambda: m == 0, lambda: m + np.ones(2),
                  lambda: m.__iadd__(np.ones((2, 3)))):
            try:
                f()
            except (TypeError, ValueError, tvp.TovrixError):
                pass
    assert_no_leak(refused, repeat=200)


def test_dispatchers_coerce_through_the_instance(m):
    seen = []

    class Sub(MNLExpr):
        @staticmethod
        def _coerce_to_exprtree_array(value):
            seen.append(value)
            return MNLExpr._coerce_to_exprtree_array(value)
    s = Sub(m._nlearr)
    a = np.ones(3)
    s + a, a - s
    s += a
    s[0:2] = a[:2]
    assert [o is a for o in seen[:3]] == [True, True, True] and len(seen) == 4


def test_mnlexpr_operand_broadcasts_with_its_roots(m23, m):
    f = Rec()
    r = m23._dispatch_binary_op(m, f)
    assert r.shape == (2, 3) and len(f.calls) == 7
    assert f.calls[1:] == [(a, b) for a, b in zip(roots(m23), roots(m) * 2)]
    assert f.calls[0] == f.calls[1]
    t = m23 * m
    assert [(c._root._children[0], c._root._children[1]) for c in t._nlearr.flat] == \
        [(a, b) for a, b in zip(roots(m23), roots(m) * 2)]
    with pytest.raises(ValueError):
        m[:0] * m


# --- operand kinds, imports ---------------------------------------------------


class Seen(type):
    """A stand-in class that records each isinstance test against it."""

    log = []

    def __instancecheck__(cls, obj):
        Seen.log.append(cls.__name__)
        return False


@pytest.mark.parametrize("dispatcher, order", [
    ("_dispatch_binary_op", ["MVar", "MLinExpr", "MQuadExpr", "MNLExpr", "Var", "NLExpr"]),
    ("_idispatch_binary_op", ["MVar", "MLinExpr", "MQuadExpr", "MNLExpr", "Var", "NLExpr"]),
    ("_rdispatch_binary_op", ["MVar", "MLinExpr", "MQuadExpr", "Var", "NLExpr"]),
])
def test_operand_kinds_are_tested_in_order(monkeypatch, m, dispatcher, order):
    Seen.log = []
    for name in ("MVar", "MLinExpr", "MQuadExpr", "MNLExpr", "Var", "NLExpr"):
        monkeypatch.setattr(ax, name, Seen(name, (), {}))
    monkeypatch.setattr(ax, "_isscalar", lambda o: Seen.log.append("_isscalar") or False)
    assert getattr(m, dispatcher)(object(), Rec()) is NotImplemented
    assert Seen.log == order + ["_isscalar"]


def run_child(code):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=subprocess_env(),
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.split()


OPENING = """
import sys
import numpy as np
import zudirivi as tvp
m = tvp.Model()
x = m.addMVar(3)
m.update()
n = x.nl
"""

# Operands that no operator here takes: each ends in Python's TypeError.
REFUSED = ["n + [1.0]", "[1.0] + n", "n * None", "n ** [2]", "[2] ** n", "n - 's'",
           "x ** [2]", "[2] ** x"]
# The same for an expression (whose making loads SciPy).
REFUSED_E = ["e ** [2]", "[2] ** e"]


def refusals(exprs):
    return "\n".join(
        "try:\n    %s\n    print('no-error')\nexcept Exception as exc:\n"
        "    print(type(exc).__name__)" % expr for expr in exprs)


def test_refusing_an_operand_imports_no_scipy():
    out = run_child(OPENING + "assert 'scipy' not in sys.modules\n" + refusals(REFUSED) +
                    "\nprint('scipy' in sys.modules)")
    assert out == ["TypeError"] * len(REFUSED) + ["False"]


def test_refusing_an_operand_with_scipy_blocked():
    out = run_child(OPENING + "e = tvp.MLinExpr._from_mvar(x)\n"
                    "sys.modules['scipy.sparse'] = None\n" + refusals(REFUSED + REFUSED_E))
    assert out == ["TypeError"] * len(REFUSED + REFUSED_E)


def test_numpy_is_imported_at_each_call():
    out = run_child(OPENING + """
sys.modules['numpy'] = None
for f in (lambda: n + 1.0, lambda: -n, lambda: n ** 2, lambda: n._dispatch_unary_op(lambda t: t)):
    try:
        f()
        print('no-error')
    except ImportError as exc:
        print(type(exc).__name__)
""")
    assert out == ["ModuleNotFoundError"] * 4
