"""MQuadExpr whole-array operations: indexing, item assignment, copy,
normalisation and flattening, sum, getValue and clear."""

import numpy as np
import pytest
import scipy.sparse as sp

from helpers import assert_no_leak
from oracle import qcanon
from test_mquadexpr_core import coo, qcells, quad_terms
import zudirivi as tvp
from zudirivi._arrayexpr import MLinExpr, MQuadExpr
from zudirivi._core import QuadExpr


@pytest.fixture
def q(model):
    """A full (4,) expression: cell i is x[i] * y[i] + (i + 1) * x[i] + i."""
    x, y = model.addMVar(4), model.addMVar(4)
    model.update()
    q = x * y
    q += np.arange(1.0, 5.0) * x + np.arange(4.0)
    return q


@pytest.fixture
def c(model):
    """A compact one-cell expression with two quad parts and a linear part."""
    a, b = model.addMVar(2), model.addMVar(3)
    model.update()
    parts = [(a, coo([1.0, 2.0], [0, 1], [1, 2], (2, 3)), b),
             (b, coo([3.0], [2], [0], (3, 2)), a)]
    le = MLinExpr.zeros(()) + 4.0
    return MQuadExpr(quadparts=parts, ndle=le)


def solve(model, seed=11):
    model.update()
    model._loadSolution(np.random.default_rng(seed).random(model.NumVars).tolist())


def values(q):
    """Cell values computed through the core's own getValue, cell by cell."""
    f = q._to_full() if q._is_compact else q
    lin = f._ndle._to_full() if f._ndle._is_compact else f._ndle
    out = np.empty(f.shape)
    for idx in np.ndindex(f.shape):
        out[idx] = (f._qearr[idx] + lin._learr[idx]).getValue()
    return out


# --- indexing ---------------------------------------------------------------------------


@pytest.mark.parametrize("index", [(), 0])
def test_index_converts_compact(model, index):
    a = model.addMVar(() if index == () else (1,))
    q = a * a
    before = qcells(q)
    r = q[index]
    assert not q._is_compact and not r._is_compact and r.shape == ()
    assert r._qearr.item() is q._qearr.flat[0] and qcells(r).item() == before.flat[0]


def test_single_cell_and_views_share(q):
    r = q[0]
    assert r.shape == () and r._qearr.item() is q._qearr[0]
    assert r._ndle._learr.item() is q._ndle._learr[0]
    v = q[1:3]
    assert v._qearr.base is not None and all(a is b for a, b in zip(v._qearr, q._qearr[1:3]))
    v.clear()
    assert qcells(q)[1] == (0.0, {}, {}) and qcells(q)[0] != (0.0, {}, {})
    assert q[2:2].shape == (0,)


@pytest.mark.parametrize("index", [[0, 2], np.array([True, False, True, False]), (slice(None), [0])])
def test_new_arrays_are_deep_copies(model, q, index):
    if isinstance(index, tuple):
        q = q[None, :]
        q._qearr = np.ascontiguousarray(q._qearr)
        q._ndle = q._ndle.copy()
    before = qcells(q)
    r = q[index]
    assert not any(a is b for a in r._qearr.flat for b in q._qearr.flat)
    r.clear()
    assert (qcells(q) == before).all()


def test_fancy_index_on_second_axis_copies(model):
    # The selection's base is set by NumPy, but its memory is its own.
    x, y = model.addMVar((2, 3)), model.addMVar((2, 3))
    q = x * y
    r = q[:, [0, 2]]
    assert not any(a is b for a in r._qearr.flat for b in q._qearr.flat)
    assert not any(a is b for a in r._ndle._learr.flat for b in q._ndle._learr.flat)
    before = qcells(q)
    r += 1.0
    r.clear()
    assert (qcells(q) == before).all()


def test_empty_fancy_selection(q):
    r = q[[]]
    assert r.shape == (0,) and not r._is_compact


@pytest.mark.parametrize("index, shape, view", [
    (np.s_[1:1], (0, 3), True),
    (np.s_[:, 2:2], (2, 0), True),
    (np.s_[1:, 3:], (1, 0), True),
    (np.s_[[]], (0, 3), False),
    (np.s_[:, []], (2, 0), False),
    (np.s_[np.zeros((2, 3), bool)], (0,), False),
])
def test_empty_selection_view_or_copy(model, index, shape, view):
    # An empty slice stands on the expression's own cell arrays; an empty
    # integer or boolean selection is a new array. Both halves agree.
    x, y = model.addMVar((2, 3)), model.addMVar((2, 3))
    q = x * y + 1.0
    r = q[index]
    assert r.shape == shape
    assert (r._qearr.base is not None) == view
    assert (r._ndle._learr.base is not None) == view


def test_bad_index_still_converts(c):
    with pytest.raises(IndexError):
        c[3]
    assert not c._is_compact


# --- item assignment --------------------------------------------------------------------


def test_assign_number_to_compact(c):
    c[()] = 1.0
    assert not c._is_compact and qcells(c).item() == (1.0, {}, {})


@pytest.mark.parametrize("value, want", [(2.5, (2.5, {}, {})), ([1, 2], None)])
def test_assign_constants(q, value, want):
    before = qcells(q)
    if want is None:
        q[0:2] = value
        assert [c for c in qcells(q)[:2]] == [(1.0, {}, {}), (2.0, {}, {})]
        assert (qcells(q)[2:] == before[2:]).all()
    else:
        cell = q._qearr[0]
        q[0] = value
        assert qcells(q)[0] == want and q._qearr[0] is cell
        assert (qcells(q)[1:] == before[1:]).all()


def test_assign_var_and_linexpr(model, q):
    v = model.addVar()
    q[0] = v
    assert qcells(q)[0] == (0.0, {id(v): 1.0}, {})
    q[1] = 2.0 * v + 1.0
    assert qcells(q)[1] == (1.0, {id(v): 2.0}, {})


def test_self_assignment_leaves_cells(q):
    before = qcells(q)
    cells = list(q._qearr)
    q[:] = q
    q[0:2] = q[0:2]
    assert (qcells(q) == before).all() and all(a is b for a, b in zip(cells, q._qearr))


def test_overlapping_assignment(q):
    before = qcells(q)
    q[1:3] = q[0:2]
    after = qcells(q)
    assert list(after[1:3]) == list(before[0:2]) and after[0] == before[0] and after[3] == before[3]
    assert len({id(c.coeffs) for c in q._qearr}) == 4


def test_assign_quadexpr_broadcast(model, q):
    a, b = model.addVar(), model.addVar()
    qe = 2.0 * a * b + 3.0 * a + 1.0
    before = qcanon(qe)
    q[:] = qe
    assert all(c == before for c in qcells(q)) and qcanon(qe) == before
    lists = [id(c.coeffs) for c in q._qearr] + [id(qe.coeffs)]
    assert len(set(lists)) == 5


def test_assign_compact_mquadexpr(q, c):
    want = qcells(c).item()
    q[0] = c
    assert c._is_compact and qcells(q)[0] == want and qcells(c).item() == want


@pytest.mark.parametrize(
    "index, value, error",
    [(slice(0, 2), np.ones(3), ValueError), ((Ellipsis, 0), 1.0, IndexError),
     (slice(0, 2), "text", ValueError), (5, 1.0, IndexError)],
)
def test_refused_assignment_changes_nothing(q, index, value, error):
    before = qcells(q)
    cells = list(q._qearr)
    try:
        q[index] = value
    except Exception as e:  # noqa: BLE001 - the kind is checked below
        assert error is not None and isinstance(e, error)
    else:
        assert error is None
        return
    assert (qcells(q) == before).all() and all(a is b for a, b in zip(cells, q._qearr))


def test_refused_quadratic_assignment_changes_nothing(model, q):
    r = model.addMVar(3) * model.addMVar(3)
    before = qcells(q)
    with pytest.raises(ValueError):
        q[0:2] = r
    assert (qcells(q) == before).all()


def test_unconvertible_value(c):
    with pytest.raises(ValueError) as err:
        c[()] = {}
    assert str(err.value) == "Cannot assign <class 'dict'> to MQuadExpr"
    assert not c._is_compact


@pytest.mark.parametrize("value", [1.0, "view"])
def test_assign_to_empty_selection(q, value):
    # The linear part may refuse an empty selection; either way nothing changes.
    before = qcells(q)
    try:
        q[2:2] = q[0:0] if value == "view" else value
    except ValueError:
        pass
    assert (qcells(q) == before).all()


# --- copy -----------------------------------------------------------------------------


def test_copy_compact(c):
    want = qcells(c)
    d = c.copy()
    assert d._is_compact and len(c._quadparts) == 1 and len(d._quadparts) == 1
    (x, Q, y), (u, M, v) = c._quadparts[0], d._quadparts[0]
    assert u is not x and u._vararr is x._vararr and M is not Q and M.data is not Q.data
    assert M.row is not Q.row and d._ndle is not c._ndle
    assert (qcells(d) == want).all()
    d += 2.0
    assert (qcells(c) == want).all()
    empty = MQuadExpr.zeros(()).copy()
    assert empty._is_compact and empty._quadparts == []


def test_copy_full(q):
    want = qcells(q)
    d = q.copy()
    assert not any(a is b for a, b in zip(d._qearr, q._qearr))
    assert not any(a.coeffs is b.coeffs for a, b in zip(d._qearr, q._qearr))
    d.clear()
    assert (qcells(q) == want).all()
    e = MQuadExpr._zeros_full((0, 3)).copy()
    assert e.shape == (0, 3) and not e._is_compact


def test_copy_compact_ignores_keep_compact(c, monkeypatch):
    monkeypatch.setattr(MQuadExpr, "_keep_compact", 0)
    assert c.copy()._is_compact


def test_copy_of_transposed_view(model):
    x, y = model.addMVar((2, 3)), model.addMVar((2, 3))
    q = x * y
    t = MQuadExpr(qearr=q._qearr.T, ndle=MLinExpr(q._ndle._learr.T))
    d = t.copy()
    assert d.shape == (3, 2) and (qcells(d) == qcells(q).T).all()


# --- normalisation and flattening ---------------------------------------------------------


def test_normalize_and_flatten(model, q, c):
    cells = list(q._qearr)
    before = qcells(q)
    assert q._normalize() is None and q._flatten() is None
    assert all(a is b for a, b in zip(cells, q._qearr)) and (qcells(q) == before).all()
    parts = c._quadparts
    c._flatten()
    c._normalize()
    assert c._quadparts is parts
    MQuadExpr._zeros_full((0, 2))._flatten()


def test_normalize_refuses_other_cells(q):
    q._qearr[1] = 3
    with pytest.raises(TypeError):
        q._normalize()


# --- sum ---------------------------------------------------------------------------------


def test_sum_all(model):
    x, y = model.addMVar((2, 2)), model.addMVar((2, 2))
    q = x * y
    q += 1.0
    s = q.sum()
    assert not s._is_compact and s.shape == ()
    cell = s._qearr.item()
    assert quad_terms(cell)[1] == [id(v) for v in x._vararr.flat]
    solve(model)
    np.testing.assert_allclose(s.getValue(), (x.X * y.X).sum() + 4.0)
    assert cell is not q._qearr[0, 0] and cell.coeffs is not q._qearr[0, 0].coeffs


@pytest.mark.parametrize("axis, shape", [(0, (3,)), (1, (2,)), (-1, (2,))])
def test_sum_axis(model, axis, shape):
    x, y = model.addMVar((2, 3)), model.addMVar((2, 3))
    q = x * y
    s = q.sum(axis)
    assert s.shape == shape
    k = axis % 2
    for j in range(shape[0]):
        want = [id(v) for v in np.take(x._vararr, j, axis=1 - k)]
        assert quad_terms(s._qearr[j])[1] == want


def test_sum_of_a_transposed_view(model):
    x, y = model.addMVar((2, 3)), model.addMVar((2, 3))
    q = x * y
    t = MQuadExpr(qearr=q._qearr.T, ndle=MLinExpr(q._ndle._learr.T))
    s = t.sum()
    assert sorted(quad_terms(s._qearr.item())[1]) == sorted(id(v) for v in x._vararr.flat)
    assert [len(c) for c in quad_terms(t.sum(axis=0)._qearr[1])] == [3, 3, 3]


def test_sum_keeps_repeated_terms(model):
    a, b = model.addMVar(()), model.addMVar(())
    q = MQuadExpr._zeros_full(2)
    q[:] = 2.0 * a.item() * b.item()
    assert q.sum()._qearr.item().coeffs == [2.0, 2.0]


def test_sum_compact_converts(c):
    want = qcells(c).item()
    s = c.sum()
    assert not c._is_compact and not s._is_compact and s.shape == ()
    assert qcells(s).item() == want


def test_sum_bad_axis(c):
    with pytest.raises(tvp.TovrixError) as err:
        c.sum(2)
    assert err.value.errno == -1 and err.value.message == "Invalid axis specifications: 2"
    assert not c._is_compact


def test_sum_without_cells():
    s = MQuadExpr._zeros_full((0, 3)).sum(axis=0)
    assert s.shape == (3,) and all(cell.size() == 0 for cell in s._qearr)


# --- getValue, _getConstant, clear ---------------------------------------------------------


def test_get_value_compact(model, c):
    solve(model)
    want = values(c)
    got = c.getValue()
    assert type(got) is np.ndarray and got.dtype == np.float64 and got.shape == ()
    np.testing.assert_allclose(got, want)
    assert len(c._quadparts) == 1
    np.testing.assert_allclose(MQuadExpr.zeros(()).getValue(), 0.0)


def test_get_value_full(model, q):
    solve(model)
    got = q.getValue()
    np.testing.assert_allclose(got, values(q))
    assert MQuadExpr._zeros_full((0, 2)).getValue().shape == (0, 2)


def test_get_value_without_solution(q, c):
    for e in (q, c):
        with pytest.raises(tvp.TovrixError):
            e.getValue()
    assert c._is_compact


def test_get_constant(q):
    np.testing.assert_array_equal(q._getConstant(), np.arange(4.0))


def test_clear(model, q, c):
    cells = list(q._qearr)
    assert q.clear() is None and c.clear() is None
    assert all(a is b for a, b in zip(cells, q._qearr))
    assert c._is_compact and c._quadparts == []
    solve(model)
    np.testing.assert_array_equal(q.getValue(), np.zeros(4))
    np.testing.assert_array_equal(c.getValue(), 0.0)


@pytest.mark.parametrize("cell, error", [(3, TypeError), (None, AttributeError)])
def test_clear_refuses_other_cells(q, cell, error):
    q._qearr[2] = cell
    with pytest.raises(error):
        MQuadExpr._clear_quad_array(q._qearr)


def test_leaks_whole_array(model, q, c):
    solve(model)
    d = c.copy()

    def ops():
        q[[0, 2]]
        q[1:3]
        r = q.copy()
        r[0] = 2.0
        r[1:3] = q[0:2]
        r[:] = d
        r.sum()
        r.sum(axis=0)
        r.getValue()
        d.getValue()
        r.clear()
        d.copy()

    assert_no_leak(ops)
