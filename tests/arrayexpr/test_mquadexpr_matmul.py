"""MQuadExpr @ constant matrices on either side, the nonlinear hand-off, and
the quadratic products that MVar and MLinExpr hand to MQuadExpr, by value."""

import numpy as np
import pytest
import scipy.sparse as sp

from helpers import assert_no_leak
from test_mquadexpr_core import qcells
import zudirivi as tvp
from zudirivi._arrayexpr import MLinExpr, MNLExpr, MQuadExpr


@pytest.fixture
def m():
    return tvp.Model()


def solve(m, seed=4):
    m.update()
    m._loadSolution(np.random.default_rng(seed).random(m.NumVars).tolist())


def full(m, shape):
    a, b = m.addMVar(shape), m.addMVar(shape)
    q = a * b
    q += 2.0 * a + 1.0
    q._convert_to_full()
    return q


@pytest.mark.parametrize(
    "qshape, ashape",
    [((2,), (2,)), ((3, 2), (2, 4)), ((2,), (2, 3)), ((3, 2), (2,))],
)
@pytest.mark.parametrize("sparse", [False, True])
def test_full_products_by_value(m, qshape, ashape, sparse):
    q = full(m, qshape)
    A = np.arange(1.0, 1.0 + np.prod(ashape)).reshape(ashape)
    # A left operand for the reflected product: (4, n) or (n,).
    L = np.arange(1.0, 1.0 + 4 * qshape[0]).reshape(4, qshape[0]) if len(ashape) == 2 else \
        np.arange(1.0, 1.0 + qshape[0])
    solve(m)
    v = q.getValue()
    if sparse and A.ndim == 2:
        A = sp.csr_matrix(A)
    r = q @ A
    assert type(r) is MQuadExpr and not r._is_compact
    dense = A.toarray() if sp.issparse(A) else A
    np.testing.assert_allclose(r.getValue(), v @ dense)
    lhs = sp.csr_matrix(L) if sparse and L.ndim == 2 else L
    s = lhs @ q
    assert type(s) is MQuadExpr
    np.testing.assert_allclose(s.getValue(), L @ v)


def test_full_product_terms_in_order(m):
    q = full(m, (2,))
    r = q @ np.array([2.0, 3.0])
    cell = r._qearr.item()
    naive = q._qearr[0] * 2.0 + q._qearr[1] * 3.0
    naive._normalize()
    assert cell.coeffs == naive.coeffs and cell.vars1 == naive.vars1
    assert all(c.size() == 1 for c in q._qearr)


@pytest.mark.parametrize("qshape, ashape, shape", [((2, 0), (0, 3), (2, 3)),
                                                   ((2, 3), (3, 0), (2, 0))])
def test_full_products_with_empty_dimension(m, qshape, ashape, shape):
    a, b = m.addMVar(qshape), m.addMVar(qshape)
    r = (a * b) @ np.ones(ashape)
    assert r.shape == shape and all(c == (0.0, {}, {}) for c in qcells(r).flat)


@pytest.mark.parametrize("A, shape", [(np.array([[3.0]]), (1,)), (sp.csr_matrix([[3.0]]), (1,)),
                                      (np.array([3.0]), ())])
def test_compact_products(m, A, shape):
    a, b = m.addMVar(1), m.addMVar(1)
    q = a * b
    data = q._quadparts[0][1].data.copy()
    r = q @ A
    assert r._is_compact and r.shape == shape
    assert (q._quadparts[0][1].data == data).all()
    solve(m)
    dense = A.toarray() if sp.issparse(A) else A
    np.testing.assert_allclose(r.getValue(), q.getValue() @ dense)
    np.testing.assert_allclose((dense.T @ q).getValue(), dense.T @ q.getValue())


def test_compact_product_leaving_compact_state(m):
    a, b = m.addMVar(1), m.addMVar(1)
    q = a * b
    r = q @ np.ones((1, 3))
    assert not q._is_compact and not r._is_compact and r.shape == (3,)
    z = (a * b) @ np.ones((1, 0))
    assert z.shape == (0,)


def test_matmul_refusals_and_hand_off(m, monkeypatch):
    x = m.addMVar(2)
    q = full(m, (2,))
    c = m.addMVar(1) * m.addMVar(1)
    with pytest.raises(TypeError):
        c @ 2.0
    assert c._is_compact
    e = 2.0 * x + 1.0
    for r in (q @ x, x @ q, q @ e, e @ q, q @ q, q @ MNLExpr._from_mquadexpr(q)):
        assert type(r) is MNLExpr
    with pytest.raises(ValueError):
        q @ np.ones((3, 2))
    monkeypatch.setattr(MQuadExpr, "_keep_compact", 0)
    with pytest.raises(TypeError):
        c @ 2.0
    assert not c._is_compact


@pytest.mark.parametrize("lshape, rshape", [((3,), (3,)), ((3, 1), (1, 4)), ((), ())])
def test_mvar_products_by_value(m, lshape, rshape):
    x, y = m.addMVar(lshape), m.addMVar(rshape)
    solve(m)
    np.testing.assert_allclose((x * y).getValue(), x.X * y.X)


@pytest.mark.parametrize("eshape, yshape", [((4,), (4,)), ((2, 4), (4,)), ((4,), (4, 2))])
def test_mlinexpr_matmul_mvar_by_value(m, eshape, yshape):
    e = 2.0 * m.addMVar(eshape) + 1.0
    y = m.addMVar(yshape)
    solve(m)
    r = e @ y
    assert type(r) is MQuadExpr
    np.testing.assert_allclose(r.getValue(), e.getValue() @ y.X)
    if len(eshape) == 1:
        np.testing.assert_allclose((y.T @ e).getValue(), y.X.T @ e.getValue())


def test_mlinexpr_plus_and_minus_quadratic(m):
    x = m.addMVar(3)
    e = 2.0 * x + 1.0
    q = full(m, (3,))
    solve(m)
    for r, want in ((e + q, e.getValue() + q.getValue()), (e - q, e.getValue() - q.getValue()),
                    (q - e, q.getValue() - e.getValue())):
        assert type(r) is MQuadExpr
        np.testing.assert_allclose(r.getValue(), want)


def test_leaks_matmul(m):
    q = full(m, (3, 2))
    c = m.addMVar(1) * m.addMVar(1)
    A = np.ones((2, 4))
    S = sp.csr_matrix(A)

    def ops():
        q @ A
        q @ S
        np.ones((4, 3)) @ q
        c @ np.ones((1, 1))

    assert_no_leak(ops)
