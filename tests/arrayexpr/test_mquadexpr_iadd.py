"""MQuadExpr += : operand kinds in both storage states, shapes, shared cells."""

import numpy as np
import pytest
import scipy.sparse as sp

from helpers import assert_no_leak
from oracle import qcanon
from test_mquadexpr_core import coo, qcells
from zudirivi._arrayexpr import MLinExpr, MQuadExpr


def solve(model, seed=5):
    model.update()
    model._loadSolution(np.random.default_rng(seed).random(model.NumVars).tolist())


@pytest.fixture
def full(model):
    x, y = model.addMVar((2, 3)), model.addMVar((2, 3))
    model.update()
    return x * y


@pytest.fixture
def one(model):
    """A compact one-cell expression with one part."""
    a, b = model.addMVar(()), model.addMVar(())
    model.update()
    return a * b



@pytest.mark.parametrize("kind", ["number", "ndarray", "sparse", "var", "linexpr", "mlinexpr"])
@pytest.mark.parametrize("state", ["compact", "full"])
def test_linear_operands_go_into_linear_part(model, kind, state):
    a, b = model.addMVar((1, 1)), model.addMVar((1, 1))
    v = model.addVar()
    model.update()
    q = a * b if state == "compact" else MQuadExpr._from_mvar_times_mvar(a, b, force_full=True)
    operand = {"number": 2.0, "ndarray": np.array([[3.0]]), "sparse": sp.csr_matrix([[4.0]]),
               "var": v, "linexpr": 2.0 * v + 1.0, "mlinexpr": 2.0 * a + 1.0}[kind]
    parts = q._quadparts
    solve(model)
    want = q.getValue() + (operand.getValue() if hasattr(operand, "getValue") else
                           operand.X if kind == "var" else
                           operand.toarray() if kind == "sparse" else operand)
    r = q
    r += operand
    assert r is q and q._is_compact is (state == "compact")
    if state == "compact":
        assert q._quadparts is parts and len(parts) == 1
    np.testing.assert_allclose(q.getValue(), want)


def test_mvar_operand_is_declined(model, one):
    x = model.addMVar(())
    assert one.__iadd__(x) is NotImplemented and one._is_compact
    for bad in ([1.0], "a", None):
        assert one.__iadd__(bad) is NotImplemented


def test_declined_operand_converts_when_keep_compact_is_not_one(one, monkeypatch):
    monkeypatch.setattr(MQuadExpr, "_keep_compact", 0)
    assert one.__iadd__([1.0]) is NotImplemented and not one._is_compact


def test_compact_plus_compact_appends_a_copy(model, one):
    a, b = model.addMVar(2), model.addMVar(2)
    r = MQuadExpr(quadparts=[(a, coo([1.0], [0], [1], (2, 2)), b),
                             (b, coo([2.0], [1], [0], (2, 2)), a)],
                  ndle=MLinExpr.zeros(()) + 1.0)
    solve(model)
    want = one.getValue() + r.getValue()
    one += r
    assert one._is_compact and len(one._quadparts) == 2 and len(r._quadparts) == 1
    (x, Q, y), (u, M, v) = r._quadparts[0], one._quadparts[1]
    assert u is not x and u._vararr is x._vararr and M is not Q and M.data is not Q.data
    np.testing.assert_allclose(one.getValue(), want)
    parts = list(one._quadparts)
    one += MQuadExpr.zeros(())
    assert one._quadparts == parts


def test_compact_plus_itself_doubles(model, one):
    solve(model)
    want = 2 * one.getValue()
    one += one
    np.testing.assert_allclose(one.getValue(), want)


def test_compact_plus_quadexpr_converts(model):
    a = model.addMVar(1)
    q = a * a
    v0, v1 = model.addVar(), model.addVar()
    qe = v0 * v1 + 2.0 * v0 + 1.0
    before = qcanon(qe)
    solve(model)
    want = q.getValue() + qe.getValue()
    q += qe
    assert not q._is_compact and qcanon(qe) == before
    np.testing.assert_allclose(q.getValue(), want)


def test_full_plus_broadcast_row(model, full):
    x, y = model.addMVar(3), model.addMVar(3)
    r = x * y
    cells = list(full._qearr.flat)
    solve(model)
    want = full.getValue() + r.getValue()
    full += r
    assert all(a is b for a, b in zip(cells, full._qearr.flat))
    np.testing.assert_allclose(full.getValue(), want)


def test_full_refuses_enlarging_shape_before_any_change(model, full):
    r = model.addMVar((3, 3)) * model.addMVar((3, 3))
    before = qcells(full)
    with pytest.raises(ValueError):
        full += r
    assert (qcells(full) == before).all()


def test_full_plus_compact_and_quadexpr(model, full, one):
    v = model.addVar()
    qe = v * v + v
    solve(model)
    want = full.getValue() + one.getValue() + qe.getValue()
    full += one
    full += qe
    assert one._is_compact
    np.testing.assert_allclose(full.getValue(), want)


@pytest.mark.parametrize(
    "operand",
    [lambda q: q, lambda q: q[0], lambda q: q[::-1], lambda q: q[0:1]],
    ids=["itself", "cell", "reversed", "first"],
)
def test_full_plus_shared_cells_reads_a_snapshot(model, operand):
    x, y = model.addMVar(3), model.addMVar(3)
    q = x * y
    q += np.arange(3.0) * x
    solve(model)
    start = q.getValue()
    other = operand(q)
    want = start + other.getValue()
    q += other
    np.testing.assert_allclose(q.getValue(), want)


def test_shifted_view_reads_a_snapshot(model):
    x, y = model.addMVar(4), model.addMVar(4)
    q = x * y
    solve(model)
    start = q.getValue()
    part = q[1:]
    part += q[:-1]
    want = start.copy()
    want[1:] += start[:-1]
    np.testing.assert_allclose(q.getValue(), want)


def test_full_without_cells(model):
    q = MQuadExpr._zeros_full((0, 3))
    r = model.addMVar(3) * model.addMVar(3)
    q += r
    assert q.shape == (0, 3)


def test_compact_without_cells_plus_quadratic(model, one):
    q = MQuadExpr.zeros((0,))
    q += one
    assert q._is_compact and q._quadparts == [] and q.shape == (0,)
    q += MQuadExpr._from_mvar_times_mvar(*one._quadparts[0][::2], force_full=True)
    assert q.shape == (0,)


def test_leaks_iadd(model, full, one):
    v = model.addVar()
    qe = v * v
    x, y = model.addMVar(3), model.addMVar(3)
    r = x * y

    def ops():
        q = full.copy()
        q += r
        q += q
        q += q[0]
        q += 2.0
        q += qe
        c = one.copy()
        c += one
        c += qe

    assert_no_leak(ops)


@pytest.mark.parametrize("where", ["self", "operand"])
def test_refused_cell_changes_nothing(model, full, where):
    r = model.addMVar(3) * model.addMVar(3)
    r += 1.0
    (full if where == "self" else r)._qearr.flat[1] = 3
    solve(model)
    lin = full._ndle.getValue()
    with pytest.raises(TypeError):
        full += r
    np.testing.assert_array_equal(full._ndle.getValue(), lin)
    assert all(len(c.coeffs) == 1 for c in full._qearr.flat if not isinstance(c, int))
