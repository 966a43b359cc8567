"""MVar operators and comparisons: what each operator builds or hands over.

The hand-offs to the expression classes are observed through probes put in
place of their factories, so the dispatch is tested on its own.
"""

import numpy as np
import pytest
import scipy.sparse as sp

import zudirivi as tvp
from zudirivi import _arrayexpr as ax
from zudirivi._arrayexpr import MLinExpr, MVar


class Probe:
    """Stands for the expression a factory would return; records operators."""

    __array_ufunc__ = None  # NumPy operands defer to the probe's operators

    def __init__(self, kind):
        self.kind = kind
        self.log = []


def _recorder(op):
    def method(self, other):
        self.log.append((op, other))
        return (op, self.kind, other)
    return method


for _op in ("add", "radd", "sub", "rsub", "mul", "rmul", "truediv", "rtruediv", "pow",
            "rpow", "matmul"):
    setattr(Probe, "__%s__" % _op, _recorder(_op))


def _imul(self, other):
    self.log.append(("imul", other))
    return self


Probe.__imul__ = _imul


@pytest.fixture
def probes(monkeypatch):
    """Factories of the expression classes replaced by recorders."""
    made = {"lin": [], "nl": [], "quad": [], "matmul": []}

    def lin(cls, mvar):
        made["lin"].append(mvar)
        return Probe("lin")

    def nl(cls, mvar):
        made["nl"].append(mvar)
        return Probe("nl")

    def quad(cls, left, right):
        made["quad"].append((left, right))
        return ("quad", left, right)

    def matmul(side):
        def f(cls, **kw):
            made["matmul"].append((side, kw))
            return side
        return classmethod(f)

    monkeypatch.setattr(MLinExpr, "_from_mvar", classmethod(lin), raising=False)
    monkeypatch.setattr(ax.MNLExpr, "_from_mvar", classmethod(nl), raising=False)
    monkeypatch.setattr(ax.MQuadExpr, "_from_mvar_times_mvar", classmethod(quad), raising=False)
    monkeypatch.setattr(MLinExpr, "_from_matmul_left", matmul("left"), raising=False)
    monkeypatch.setattr(MLinExpr, "_from_matmul_right", matmul("right"), raising=False)
    return made


@pytest.mark.parametrize("expr, expect", [
    (lambda x, o: x + o, ("add", "lin")),
    (lambda x, o: o + x, ("radd", "lin")),
    (lambda x, o: x - o, ("sub", "lin")),
    (lambda x, o: o - x, ("rsub", "lin")),
    (lambda x, o: x / o, ("truediv", "lin")),
])
@pytest.mark.parametrize("operand", [2.5, np.arange(3.0), "var"])
def test_linear_operators_hand_over_to_the_expression(model, x, probes, expr, expect, operand):
    o = model.addVar() if isinstance(operand, str) else operand
    op, kind, other = expr(x, o)
    assert (op, kind) == expect and other is o
    assert probes["lin"] == [x]


def test_product_with_numbers_multiplies_in_place(x, probes):
    r = x * 3
    assert r.kind == "lin" and r.log == [("imul", 3)]
    r = 2.0 * x
    assert r.log == [("imul", 2.0)]
    r = -x
    assert r.log == [("imul", -1)]
    assert +x is x


def test_product_with_mvar_is_quadratic(model, x, probes):
    y = model.addMVar(3)
    assert x * y == ("quad", x, y)
    assert x.__rmul__(y) == ("quad", y, x)
    assert x ** 2 == ("quad", x, x) and x ** 2.0 == ("quad", x, x)
    kind, left, right = x ** np.array([[2.0]])
    assert kind == "quad" and left is right and left.shape == (1, 3)
    assert (x ** np.array(2.0))[1].shape == (3,)


def test_product_with_arrays(model, x, probes):
    o = np.arange(3.0)
    assert (x * o)[:2] == ("mul", "lin") and (o * x)[:2] == ("rmul", "lin")
    with pytest.raises(ValueError):
        x * np.ones(4)
    assert probes["lin"] == [x, x]
    # A broadcast shape that the compact state cannot hold: built here, full.
    sq = model.addMVar((2, 2))
    r = sq * np.array([[1.0, 2.0], [3.0, 4.0]])
    assert type(r) is MLinExpr and not r._is_compact and r.shape == (2, 2)
    cell = r._learr[1, 0]
    assert type(cell) is tvp.LinExpr and cell.getCoeff(0) == 3.0
    assert cell.getVar(0) is sq._vararr[1, 0]
    r = np.array([[1.0, 2.0], [3.0, 4.0]]) * sq
    assert r._learr[0, 1].getCoeff(0) == 2.0


def test_object_arrays_take_the_expression_path(model, probes):
    sq = model.addMVar((2, 2))
    v = model.addVar()
    o = np.array([[v, 1.0], [2.0, v]], dtype=object)
    assert (sq * o)[:2] == ("mul", "lin") and (sq * o)[2] is o
    assert sq.__rmul__(o)[:2] == ("rmul", "lin")


@pytest.mark.parametrize("operand", [3, 0, 1, 0.5, np.array([2.0, 2.0, 2.0]),
                                     np.array([3.0]), "mvar", "var"])
def test_other_powers_are_nonlinear(model, x, probes, operand):
    o = {"mvar": model.addMVar(3), "var": model.addVar()}.get(operand, operand) \
        if isinstance(operand, str) else operand
    op, kind, other = x ** o
    assert (op, kind) == ("pow", "nl") and other is o
    assert probes["nl"] == [x]


def test_refused_powers(x, probes):
    assert x.__pow__(sp.eye(3).tocsr()) is NotImplemented
    with pytest.raises(TypeError):
        x ** [2]
    with pytest.raises(TypeError):
        [2] ** x
    assert x.__rpow__(sp.eye(3).tocsr()) is NotImplemented


@pytest.mark.parametrize("operand", [2, np.array([1.0, 2.0, 3.0]), "var"])
def test_reflected_power_and_division_are_nonlinear(model, x, probes, operand):
    o = model.addVar() if isinstance(operand, str) else operand
    assert (o ** x)[:2] == ("rpow", "nl") and (o ** x)[2] is o
    assert (o / x)[:2] == ("rtruediv", "nl") and (o / x)[2] is o


def test_sparse_numerator_is_made_dense(x, probes):
    A = sp.csr_matrix(np.ones((1, 3)))
    op, kind, other = x.__rtruediv__(A)
    assert (op, kind) == ("rtruediv", "nl") and type(other) is np.ndarray
    assert x.__rtruediv__([1.0]) is NotImplemented


def test_matrix_products(model, x, probes):
    A = np.ones((2, 3))
    S = sp.csr_matrix(A)
    assert x @ A.T == "left" and A @ x == "right" and S @ x == "right"
    assert x.__matmul__(S) == "left"
    side, kw = probes["matmul"][0]
    assert kw.keys() == {"x", "A"} and kw["x"] is x
    y = model.addMVar(3)
    assert x @ y == ("matmul", "lin", y)
    for f in (lambda: x @ 2.0, lambda: 2.0 @ x):
        with pytest.raises(ValueError, match="^Input operand does not have enough dimensions$"):
            f()
    assert x.__matmul__(np.array(2.0)) == "left"
    with pytest.raises(TypeError):
        x @ [1.0, 2.0, 3.0]


def test_nl_is_a_new_object_at_each_read(x, probes):
    a, b = x.nl, x.nl
    assert a.kind == "nl" and a is not b and probes["nl"] == [x, x]


def test_comparisons_build_temporary_constraints(x):
    for c, sense, rhs in ((x <= 1, "<", 1), (x >= 2.0, ">", 2.0), (x == None, "=", None),
                          (3 <= x, ">", 3), (3 == x, "=", 3), (x <= x, "<", x)):
        assert type(c) is tvp.TempConstr
        assert c._lhs is x and c._sense == sense and c._rhs is rhs
    for f in (lambda: x != 1, lambda: 3 != x, lambda: x != None):
        with pytest.raises(tvp.TovrixError) as err:
            f()
        assert err.value.errno == -1 and str(err.value) == "Inequality constraints not supported"
    for f in (lambda: x < 3, lambda: x > 3, lambda: hash(x), lambda: {x}):
        with pytest.raises(TypeError):
            f()


def test_name_rebinding_leaves_the_mvar(x, probes):
    y = x
    y += 1
    assert y == ("add", "lin", 1) and type(x) is MVar


needs_arith = pytest.mark.skipif(not hasattr(MLinExpr, "__add__"),
                                 reason="MLinExpr arithmetic not built yet")


@needs_arith
def test_real_linear_results(model, x):
    assert type(x + 1) is MLinExpr and type(x * 2) is MLinExpr and type(x / 2.0) is MLinExpr
    assert type(-x) is MLinExpr and (-x).shape == (3,)
