"""MQuadExpr factories: zero arrays, lifting of linear arrays, products of two
variable arrays, single QuadExpr cells and quadratic functions."""

import numpy as np
import pytest
import scipy.sparse as sp

from helpers import assert_no_leak, run_optimized
import oracle
from oracle import qcanon
from test_mquadexpr_core import qcells, quad_terms
from zudirivi._arrayexpr import MLinExpr, MQuadExpr
from zudirivi._core import LinExpr, QuadExpr


@pytest.fixture
def keep_compact(monkeypatch):
    def set_to(value):
        monkeypatch.setattr(MQuadExpr, "_keep_compact", value)

    return set_to


def solve(model, seed=3):
    model.update()
    vals = np.random.default_rng(seed).random(model.NumVars)
    model._loadSolution(vals.tolist())


def distinct_cells(q):
    cells = list(q._qearr.flat)
    return len({id(c) for c in cells}) == len(cells)


# --- zeros, _zeros_full, _from_mlinexpr ---------------------------------------------


@pytest.mark.parametrize(
    "shape, compact",
    [((), True), (1, True), ((1, 1), True), (0, True), ((1, 0), True), (3, False),
     ((2, 0), False), ((1, 1, 1), False)],
)
def test_zeros(shape, compact):
    q = MQuadExpr.zeros(shape)
    want = (shape,) if isinstance(shape, int) else shape
    assert q.shape == want and q._is_compact is compact
    if compact:
        assert q._quadparts == []
    else:
        assert distinct_cells(q) and all(c.size() == 0 for c in q._qearr.flat)
    assert all(c == (0.0, {}, {}) for c in qcells(q).flat)


@pytest.mark.parametrize("value", [0, 2, False])
def test_zeros_full_unless_keep_compact_is_one(keep_compact, value):
    keep_compact(value)
    q = MQuadExpr.zeros(())
    assert not q._is_compact and q._qearr.item().size() == 0
    keep_compact(True)
    assert MQuadExpr.zeros(())._is_compact


@pytest.mark.parametrize(
    "shape, ndle_compact", [((), True), ((0, 4), True), ((1, 3), True), ((5,), True),
                            ((2, 3), False)],
)
def test_zeros_full(shape, ndle_compact):
    q = MQuadExpr._zeros_full(shape)
    assert not q._is_compact and q.shape == shape and distinct_cells(q)
    assert q._ndle._is_compact is ndle_compact


def test_zeros_of_a_subclass():
    class Sub(MQuadExpr):
        pass

    assert type(Sub.zeros(3)) is Sub and type(Sub.zeros(())) is Sub


@pytest.mark.parametrize("force_full", [False, True])
def test_from_mlinexpr_one_cell(model, x, force_full):
    le = 2.0 * x[:1] + 1.0
    q = MQuadExpr._from_mlinexpr(le, force_full=force_full)
    assert q._is_compact is not force_full and q._ndle is not le and q.shape == (1,)
    if force_full:
        assert q._qearr.item().size() == 0
    else:
        assert q._quadparts == []
    assert qcells(q)[0] == (1.0, {id(x._vararr[0]): 2.0}, {})


def test_from_mlinexpr_full(model):
    le = MLinExpr._from_mvar(model.addMVar((2, 2)), force_full=True) + 1.0
    q = MQuadExpr._from_mlinexpr(le)
    assert not q._is_compact and distinct_cells(q)
    assert [c[0] for c in qcells(q).flat] == [1.0] * 4


# --- products of two variable arrays --------------------------------------------------


@pytest.mark.parametrize(
    "ls, rs, shape, compact",
    [((3,), (3,), (3,), False), ((3, 1), (1, 4), (3, 4), False), ((), (), (), True),
     ((1,), (1, 1), (1, 1), True), ((0,), (1,), (0,), True), ((0, 3), (3,), (0, 3), False)],
)
def test_mvar_times_mvar(model, ls, rs, shape, compact):
    a, b = model.addMVar(ls), model.addMVar(rs)
    q = a * b
    assert type(q) is MQuadExpr and q.shape == shape and q._is_compact is compact
    assert all(c == (0.0, {}) for c in oracle.cells(q._ndle).flat)
    A, B = np.broadcast_arrays(a._vararr, b._vararr)
    if compact:
        assert len(q._quadparts) == (1 if q.size else 0)
        if q.size:
            u, Q, v = q._quadparts[0]
            assert Q.format == "coo" and Q.toarray().tolist() == [[1.0]]
            assert np.shares_memory(u._vararr, a._vararr) and v._vararr[0] is B.flat[0]
    else:
        assert distinct_cells(q)
        for cell, l, r in zip(q._qearr.flat, A.flat, B.flat):
            assert quad_terms(cell) == ([1.0], [id(l)], [id(r)])


def test_square_of_one_array(x):
    q = x * x
    assert [quad_terms(c) for c in q._qearr.flat] == [([1.0], [id(v)], [id(v)]) for v in x._vararr]


def test_mvar_times_mvar_force_full_and_keep_compact(model, keep_compact):
    a, b = model.addMVar(()), model.addMVar(())
    q = MQuadExpr._from_mvar_times_mvar(a, b, force_full=True)
    assert not q._is_compact and quad_terms(q._qearr.item()) == ([1.0], [id(a.item())],
                                                                 [id(b.item())])
    keep_compact(2)
    assert not (a * b)._is_compact


def test_mvar_times_mvar_refuses_shapes(model):
    with pytest.raises(ValueError):
        model.addMVar(2) * model.addMVar(3)


def test_mvar_times_mvar_value(model):
    a, b = model.addMVar((3, 1)), model.addMVar((1, 4))
    q = a * b
    solve(model)
    np.testing.assert_allclose(q.getValue(), a.X * b.X)


# --- _from_quad_expr ----------------------------------------------------------------------


def test_from_quad_expr(model):
    v0, v1 = model.addVar(), model.addVar()
    qe = v0 * v1 + 2.0 * v0 + 3.0
    before = qcanon(qe)
    q = MQuadExpr._from_quad_expr(qe)
    assert not q._is_compact and q.shape == ()
    cell = q._qearr.item()
    assert cell is not qe and quad_terms(cell) == ([1.0], [id(v0)], [id(v1)])
    assert cell.getLinExpr().size() == 0 and cell.getConstant() == 0.0
    assert qcanon(q.item()) == before == qcanon(qe)


# --- _from_quadfun --------------------------------------------------------------------------


@pytest.fixture
def Q():
    return sp.random(4, 4, density=0.5, random_state=7, format="csr")


def test_quadfun_compact(model, Q):
    x = model.addMVar(4)
    c, z = np.arange(4.0), model.addMVar(4)
    q = MQuadExpr._from_quadfun(x, Q, x, c, z, 5.0)
    assert q._is_compact and q.shape == ()
    (u, M, v), = q._quadparts
    assert M.format == "coo" and M.dtype == np.float64 and M.nnz == Q.nnz
    assert u is not x and u._vararr is not x._vararr
    assert all(p is r for p, r in zip(u._vararr, x._vararr))
    solve(model)
    np.testing.assert_allclose(q.getValue(), x.X @ Q @ x.X + c @ z.X + 5.0)


def test_quadfun_full_rows(model, Q):
    x = model.addMVar((3, 4))
    y = model.addMVar(4)
    q = MQuadExpr._from_quadfun(x, Q, y)
    assert not q._is_compact and q.shape == (3,)
    f = MQuadExpr._from_quadfun(x, Q.toarray(), y)
    solve(model)
    want = np.einsum("ij,jk,k->i", x.X, Q.toarray(), y.X)
    np.testing.assert_allclose(q.getValue(), want)
    np.testing.assert_allclose(f.getValue(), want)


def test_quadfun_broadcast_by_constant(model, Q):
    x = model.addMVar(4)
    q = MQuadExpr._from_quadfun(x, Q, x, d=np.arange(3.0))
    assert not q._is_compact and q.shape == (3,) and distinct_cells(q)
    solve(model)
    np.testing.assert_allclose(q.getValue(), x.X @ Q @ x.X + np.arange(3.0))


@pytest.mark.parametrize("xshape, Qshape, yshape, shape",
                         [((0,), (0, 3), (3,), ()), ((2, 0), (0, 3), (3,), (2,)),
                          ((2, 3), (3, 0), (0,), (2,))])
def test_quadfun_empty_contraction_gives_empty_cells(model, keep_compact, xshape, Qshape,
                                                    yshape, shape):
    keep_compact(0)
    x, y = model.addMVar(xshape), model.addMVar(yshape)
    q = MQuadExpr._from_quadfun(x, np.zeros(Qshape), y)
    assert not q._is_compact and q.shape == shape and distinct_cells(q)
    assert all(isinstance(c, QuadExpr) and c.size() == 0 for c in q._qearr.flat)


def test_quadfun_keep_compact_truth(model, keep_compact, Q):
    x = model.addMVar(4)
    keep_compact(2)
    assert MQuadExpr._from_quadfun(x, Q, x)._is_compact
    keep_compact(0)
    assert not MQuadExpr._from_quadfun(x, Q, x)._is_compact


def test_quadfun_errors(model, Q):
    x = model.addMVar(4)
    with pytest.raises(ValueError):
        MQuadExpr._from_quadfun(model.addMVar(3), Q, x)
    with pytest.raises(AssertionError):
        MQuadExpr._from_quadfun_compact(model.addMVar((2, 2)), np.eye(2), model.addMVar(2),
                                        MLinExpr.zeros(()))


def test_quadfun_compact_asserts_skipped_under_optimize():
    run_optimized(
        """
        import numpy as np
        import zudirivi as tvp
        from zudirivi._arrayexpr import MQuadExpr, MLinExpr
        m = tvp.Model(); x = m.addMVar((1, 2)); m.update()
        q = MQuadExpr._from_quadfun_compact(x, np.eye(2), x, MLinExpr.zeros(()))
        print(q._is_compact, q._quadparts[0][0].shape)
        """,
        expected="True (2,)",
    )


def test_leaks_factories(model, Q):
    x, y = model.addMVar((3, 1)), model.addMVar(4)
    a, b = model.addMVar(()), model.addMVar(())
    qe = a.item() * b.item() + 1.0
    le = MLinExpr._from_mvar(x, force_full=True)

    def build():
        x * y
        a * b
        MQuadExpr._from_quad_expr(qe)
        MQuadExpr._from_mlinexpr(le)
        MQuadExpr._from_quadfun(y, Q, y, np.ones(4), y, 1.0)
        MQuadExpr._zeros_full((2, 3))

    assert_no_leak(build)
