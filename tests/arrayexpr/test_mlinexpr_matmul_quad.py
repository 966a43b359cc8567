"""MLinExpr @ with variable-bearing operands: the MQuadExpr each product builds.

MQuadExpr is replaced by a recorder of its constructor keywords, so the
parts and cells handed to it are checked on their own (values included).
"""

import warnings

import numpy as np
import pytest
import scipy.sparse as sp

from helpers import assert_no_leak
import zudirivi as tvp
from zudirivi import _arrayexpr as ax
from zudirivi._arrayexpr import MLinExpr

RNG = np.random.default_rng(5)


class Quad:
    """Stands for MQuadExpr: keeps what it was made from."""

    @staticmethod
    def _allows_compact(shape):
        return len(shape) <= 2 and all(d <= 1 for d in shape)

    @classmethod
    def zeros(cls, shape):
        return cls(zeros=tuple(shape))

    def __init__(self, **kw):
        self.kw = kw

    @property
    def compact(self):
        return "quadparts" in self.kw

    def value(self):
        lin = self.kw["ndle"].getValue()
        if "qearr" in self.kw:
            q = self.kw["qearr"]
            assert q.shape == lin.shape
            return lin + np.vectorize(lambda c: c.getValue(), otypes=[float])(q)
        return lin + sum(u.X @ Q.toarray() @ v.X for u, Q, v in self.kw["quadparts"])


@pytest.fixture(autouse=True)
def quad(monkeypatch):
    monkeypatch.setattr(ax, "MQuadExpr", Quad)


def compact_expr(model, shape, variables=True):
    m = int(np.prod(shape))
    parts = []
    if variables:
        parts = [(sp.random(m, 3, density=0.7, format="csr", random_state=1), model.addMVar(3)),
                 (sp.random(m, 2, density=0.7, format="csr", random_state=2), model.addMVar(2))]
    return MLinExpr(matmulparts=parts, b=RNG.random(shape))


def solve(model):
    model.update()
    model._loadSolution(RNG.random(model.NumVars).tolist())


@pytest.mark.parametrize(
    "eshape, yshape, compact",
    [((4,), (4,), True), ((1, 4), (4, 1), True), ((1, 4), (4,), True), ((4,), (4, 2), False),
     ((4, 1), (1, 3), False), ((2, 2), (2,), None)],
)
def test_expression_times_mvar(model, eshape, yshape, compact):
    if compact is None:  # a full left operand
        e = compact_expr(model, (4,))
        e._convert_to_full()
        e = MLinExpr(e._learr.reshape(eshape))
    else:
        e = compact_expr(model, eshape)
    y = model.addMVar(yshape)
    r = e @ y
    assert type(r) is Quad and r.compact is bool(compact)
    if compact is not None:
        assert e._is_compact and len(e._matmulparts) == 1
    if compact:
        ((u, Q, v),) = r.kw["quadparts"]
        assert u.shape == (y.size,) and all(a is b for a, b in zip(u._vararr, y._vararr.flat))
        assert Q.format == "coo" and v is not e._matmulparts[0][1]
        assert all(a is b for a, b in zip(v._vararr, e._matmulparts[0][1]._vararr))
    solve(model)
    np.testing.assert_allclose(r.value(), e.getValue() @ y.X)


@pytest.mark.parametrize(
    "yshape, eshape, compact",
    [((4,), (4,), True), ((1, 4), (4,), True), ((1, 4), (4, 1), True), ((2, 4), (4,), False),
     ((4,), (4, 1), True)],
)
def test_mvar_times_expression(model, yshape, eshape, compact):
    e = compact_expr(model, eshape)
    y = model.addMVar(yshape)
    r = y @ e
    assert type(r) is Quad and r.compact is compact
    assert e._is_compact and len(e._matmulparts) == 1
    if compact:
        ((u, Q, v),) = r.kw["quadparts"]
        assert Q.format == "coo" and u.shape == (y.size,)
    solve(model)
    np.testing.assert_allclose(r.value(), y.X @ e.getValue())
    f = e.copy()
    f._convert_to_full()
    full = y @ f
    assert not full.compact
    np.testing.assert_allclose(full.value(), r.value())


def test_constant_expressions_give_no_quad_part(model):
    e = compact_expr(model, (3,), variables=False)
    y = model.addMVar(3)
    assert (e @ y).kw["quadparts"] == [] and (y @ e).kw["quadparts"] == []
    f = compact_expr(model, (3,))
    r = e @ f
    assert r.kw["quadparts"] == [] and len(r.kw["ndle"]._matmulparts) == 1


def test_two_compact_vectors(model):
    e, f = compact_expr(model, (4,)), compact_expr(model, (4,))
    r = e @ f
    assert r.compact and e._is_compact and f._is_compact
    ((x, Q, y),) = r.kw["quadparts"]
    (Ay, yv), (Ax, xv) = r.kw["ndle"]._matmulparts
    # linear parts: the right operand's variables first; the operands' own MVars
    assert yv is f._matmulparts[0][1] and xv is e._matmulparts[0][1]
    assert x is xv and y is yv and Q.format == "coo"
    solve(model)
    assert r.value() == pytest.approx(e.getValue() @ f.getValue())


@pytest.mark.parametrize("eshape, fshape", [((2, 1), (1, 2)), ((3,), (3, 2))])
def test_compact_product_of_several_cells_converts_both(model, eshape, fshape):
    e, f = compact_expr(model, eshape), compact_expr(model, fshape)
    r = e @ f
    assert not r.compact and not e._is_compact and not f._is_compact
    solve(model)
    np.testing.assert_allclose(r.value(), e.getValue() @ f.getValue())


def test_full_times_compact(model):
    e, f = compact_expr(model, (3,)), compact_expr(model, (3,))
    e._convert_to_full()
    r = e @ f
    assert not r.compact and not f._is_compact and r.kw["qearr"].shape == ()
    g, h = compact_expr(model, (3,)), compact_expr(model, (3,))
    h._convert_to_full()
    assert not (g @ h).compact and not g._is_compact


@pytest.mark.parametrize("n, warns", [(30, True), (25, False)])
def test_chained_warning_of_two_expressions(model, n, warns):
    e, f = compact_expr(model, (n,)), compact_expr(model, (n,))
    e._convert_to_full()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        e @ f
        e @ model.addMVar(n)
        model.addMVar(n) @ e
    assert [str(w.message)[:30] for w in caught] == (
        ["Chained matrix multiplications"] if warns else [])


def test_empty_products(model):
    e, f = compact_expr(model, (3,)), compact_expr(model, (3,))
    big = compact_expr(model, (30,))
    big._convert_to_full()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert (e @ model.addMVar((3, 0))).kw == {"zeros": (0,)}
        assert (model.addMVar((0, 3)) @ e).kw == {"zeros": (0,)}
        assert (e @ MLinExpr.zeros((3, 0))).kw == {"zeros": (0,)}
        assert (big @ MLinExpr.zeros((30, 0))).kw == {"zeros": (0,)}
    assert len(e._matmulparts) == 2 and f._is_compact


def test_keep_compact_off(model):
    e, f = compact_expr(model, (3,)), compact_expr(model, (3,))
    MLinExpr._keep_compact = 0
    try:
        assert not (e @ model.addMVar(3)).compact and not e._is_compact
        assert not (model.addMVar(3) @ f).compact and not f._is_compact
    finally:
        MLinExpr._keep_compact = 1


def test_shape_errors(model):
    e = compact_expr(model, (3,))
    for other in (model.addMVar(4), compact_expr(model, (4,))):
        with pytest.raises(ValueError, match="do not match"):
            e @ other
    with pytest.raises(ValueError, match="do not match"):
        model.addMVar(4) @ e
    assert e._is_compact


def test_no_leaks(model):
    e, f = compact_expr(model, (4,)), compact_expr(model, (4,))
    g = compact_expr(model, (4,))
    g._convert_to_full()
    y, Y = model.addMVar(4), model.addMVar((4, 2))
    leak = dict(repeat=200, warmup=400, tolerance=100)  # settling caches, as elsewhere
    for fn in (lambda: y @ e, lambda: e @ f, lambda: g @ Y, lambda: Y.T @ g, lambda: g @ g):
        assert_no_leak(fn, **leak)
