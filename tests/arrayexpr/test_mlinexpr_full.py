"""MLinExpr: conversion to the full state, clear, copy, evaluation, sum and
the full-state in-place addition."""

import numpy as np
import pytest
import scipy.sparse as sp

from helpers import assert_no_leak, run_optimized
from zudirivi._arrayexpr import MLinExpr
from zudirivi._core import LinExpr, Model
from zudirivi._exception import TovrixError
from oracle import full, terms


@pytest.fixture
def model():
    return Model()


@pytest.fixture
def x(model):
    return model.addMVar(3)


def const_cells(values):
    """A full-state expression with the given constants, one cell each."""
    arr = np.empty(len(values), dtype=object)
    for i, c in enumerate(values):
        arr[i] = LinExpr(float(c))
    return MLinExpr(arr)


def compact(A, x, b=None):
    e = MLinExpr._from_compact_affine_expr(A=A, x_right=x)
    if b is not None:
        e._const[...] = b
    return e


# --- conversion ---------------------------------------------------------------


@pytest.mark.parametrize("index_dtype", [np.int32, np.int64])
def test_conversion_keeps_every_stored_entry(x, index_dtype):
    # Row 0: an explicit zero; row 1: column indices out of order and a
    # duplicate; row 2: nothing stored.
    data = np.array([0.0, 2.0, 3.0, 4.0])
    indices = np.array([1, 2, 0, 2], dtype=index_dtype)
    indptr = np.array([0, 1, 4, 4], dtype=index_dtype)
    A = sp.csr_matrix((data, indices, indptr), shape=(3, 3))
    A.indices, A.indptr = indices, indptr  # keep the unsorted order and dtype
    e = MLinExpr(matmulparts=[(A, x)], b=np.array([1.5, -0.0, 2.0]))
    obj = e
    e._convert_to_full()
    assert e is obj and not e._is_compact and e._matmulparts is None and e._const is None
    v = [id(var) for var in x._vararr]
    assert full(e) == [(1.5, [0.0], [v[1]]), (0.0, [2.0, 3.0, 4.0], [v[2], v[0], v[2]]),
                       (2.0, [], [])]
    cells = list(e._learr)
    e._convert_to_full()
    assert list(e._learr) == cells


def test_conversion_of_two_parts_and_shapes(model, x):
    e = compact(sp.eye(3), x)
    e._add_matmul_part(sp.eye(3), x)
    v = [id(var) for var in x._vararr]
    assert full(e._to_full()) == [(0.0, [1.0, 1.0], [i, i]) for i in v]
    row = MLinExpr._from_mvar(model.addMVar((1, 4)))
    r = row._to_full()
    assert r.shape == (1, 4) and [len(le.var_list) for le in r._learr.flat] == [1] * 4
    scalar = MLinExpr._from_mvar(model.addMVar(()))
    scalar._convert_to_full()
    assert scalar._learr.shape == () and isinstance(scalar._learr.item(), LinExpr)
    empty = MLinExpr.zeros(0)
    empty._convert_to_full()
    assert empty._learr.shape == (0,)


def test_to_full_gives_independent_copies(x):
    e = compact(sp.eye(3), x, b=[1, 2, 3])
    f, g = e._to_full(), e._to_full()
    assert e._is_compact and full(f) == full(g)
    f._learr[0].addConstant(5.0)
    assert g._learr[0].constant == 1.0 and e._const[0] == 1.0


def test_conversion_refuses_short_part(x):
    e = compact(sp.eye(3), x)
    e._const = np.zeros(4)  # more cells than the part has rows
    with pytest.raises(IndexError):
        e._convert_to_full()
    assert e._is_compact


# --- clear and copy -------------------------------------------------------------


def test_clear_both_states(x):
    e = compact(sp.eye(3), x, b=[1, 2, 3])
    e._add_matmul_part(np.ones((3, 1)), x[0:1])
    const = e._const
    e.clear()
    assert e._matmulparts == [] and e._const is const and not const.any()
    f = compact(sp.eye(3), x, b=[1, 2, 3])
    f._convert_to_full()
    cells = list(f._learr)
    view = MLinExpr(f._learr[1:])
    f.clear()
    assert list(f._learr) == cells and full(f) == [(0.0, [], [])] * 3
    assert full(view) == [(0.0, [], [])] * 2
    with pytest.raises(ValueError, match="zero-sized"):
        MLinExpr._zeros_full((0, 2, 3)).clear()


def test_copy_compact_and_full(x, model):
    e = compact(sp.eye(3), x, b=[1, 2, 3])
    e._add_matmul_part(np.ones((3, 1)), x[0:1])
    e._add_matmul_part(np.ones((3, 1)), x[1:2])
    c = e.copy()
    assert c._is_compact and len(e._matmulparts) == 1 and len(c._matmulparts) == 1
    (A, xv), (Ac, xc) = e._matmulparts[0], c._matmulparts[0]
    assert Ac is not A and (Ac != A).nnz == 0 and xc is not xv and xc._vararr is xv._vararr
    c += 2.0
    np.testing.assert_array_equal(e.getConstant(), [1, 2, 3])
    f = MLinExpr._from_mvar(model.addMVar((2, 2)))
    base = f._learr
    g = MLinExpr(base.T)
    h = g.copy()
    assert h._learr.flags.c_contiguous and h.shape == (2, 2)
    for i in range(2):
        for j in range(2):
            assert h._learr[i, j] is not base[j, i]
            assert terms(h._learr[i, j]) == terms(base[j, i])
    assert MLinExpr._zeros_full((0, 2, 3)).copy().shape == (0, 2, 3)


def test_copy_with_switch_off_converts(x):
    e = compact(sp.eye(3), x)
    e._keep_compact = 0
    c = e.copy()
    assert not c._is_compact and not e._is_compact


# --- evaluation -------------------------------------------------------------------


def test_constants_and_values(model):
    x = model.addMVar(2)
    A = sp.csr_matrix(np.array([[1.0, 0], [0, 1], [1, 1]]))
    e = compact(A, x, b=[1, 0, 0])
    e._add_matmul_part(np.ones((3, 1)), x[0:1])
    model.update()
    model._loadSolution([1.0, 2.0])
    np.testing.assert_array_equal(e.getValue(), [3.0, 3.0, 4.0])
    assert len(e._matmulparts) == 1 and e._is_compact
    c = e.getConstant()
    c[0] = 9
    assert e._const[0] == 1.0
    e._convert_to_full()
    np.testing.assert_array_equal(e.getValue(), [3.0, 3.0, 4.0])
    np.testing.assert_array_equal(e.getConstant(), [1.0, 0.0, 0.0])
    z = MLinExpr._zeros_full((0, 2, 3))
    assert z.getValue().shape == (0, 2, 3) and z._flatten() is None
    for method in (z.getConstant, z._normalize):
        with pytest.raises(ValueError):
            method()


def test_value_needs_a_solution(model):
    e = MLinExpr._from_mvar(model.addMVar(3))
    np.testing.assert_array_equal(MLinExpr.zeros(3).getValue(), [0, 0, 0])
    with pytest.raises(Exception):
        e.getValue()
    e._convert_to_full()
    with pytest.raises(Exception):
        e.getValue()


def test_flatten_and_normalize_reach_continuations(model, x):
    v = model.addVar()
    e = MLinExpr._from_mvar(x, force_full=True)
    e._learr[0].cont_ref = LinExpr(2.0, v)
    e._flatten()
    assert e._learr[0].cont_ref is None and len(e._learr[0].var_list) == 2
    e._learr[1].addTerms([3.0], [x._vararr[1]])
    e._normalize()
    assert list(e._learr[1].coef_list) == [4.0]
    c = compact(sp.eye(3), x)
    assert c._flatten() is None and c._normalize() is None and c._is_compact


# --- sum ------------------------------------------------------------------------------


@pytest.fixture
def grid(model):
    """Full 2 by 2 expression: cell (i, j) = (10 i + j) + var(i, j)."""
    X = model.addMVar((2, 2))
    e = MLinExpr._from_mvar(X, force_full=True)
    for i in range(2):
        for j in range(2):
            e._learr[i, j].addConstant(10 * i + j)
    return e, [[id(v) for v in row] for row in X._vararr]


@pytest.mark.parametrize(
    "axis, expected",
    [(None, [(22.0, [(0, 0), (0, 1), (1, 0), (1, 1)])]),
     (0, [(10.0, [(0, 0), (1, 0)]), (12.0, [(0, 1), (1, 1)])]),
     (1, [(1.0, [(0, 0), (0, 1)]), (21.0, [(1, 0), (1, 1)])]),
     (-1, [(1.0, [(0, 0), (0, 1)]), (21.0, [(1, 0), (1, 1)])])],
)
def test_sum_axes(grid, axis, expected):
    e, v = grid
    s = e.sum() if axis is None else e.sum(axis=axis)
    assert not s._is_compact and s.shape == (() if axis is None else (2,))
    assert full(s) == [(c, [1.0] * len(ix), [v[i][j] for i, j in ix]) for c, ix in expected]


def test_sum_follows_memory_order(grid):
    e, v = grid
    t = MLinExpr(e._learr.T)
    assert full(t.sum())[0][2] == [v[0][0], v[0][1], v[1][0], v[1][1]]
    assert [c[2] for c in full(t.sum(axis=0))] == [[v[0][0], v[0][1]], [v[1][0], v[1][1]]]


def test_sum_keeps_repeated_terms_and_sources(model):
    a, b = model.addVar(), model.addVar()
    e = MLinExpr._from_linexprs([LinExpr([1.0, 1.0], [a, b]), LinExpr(1.0, a)])
    s = e.sum()
    assert full(s) == [(0.0, [1.0] * 3, [id(a), id(b), id(a)])]
    assert [len(le.var_list) for le in e._learr] == [2, 1]


def test_sum_of_compact_converts_it(x):
    e = compact(sp.eye(3), x, b=[1, 2, 3])
    s = e.sum()
    assert not e._is_compact and s.shape == () and s._learr.item().constant == 6.0
    f = compact(sp.eye(3), x)
    with pytest.raises(TovrixError) as info:
        f.reshape if False else f.sum(axis=2)
    assert info.value.errno == -1 and info.value.message == "Invalid axis specifications: 2"
    assert isinstance(info.value.__context__, IndexError) and not f._is_compact


@pytest.mark.parametrize("shape, axis, result", [((0,), None, ()), ((0, 3), 0, (3,)),
                                                  ((0, 3), 1, (0,)), ((), None, ())])
def test_sum_of_empty_and_scalar(shape, axis, result):
    e = MLinExpr._zeros_full(shape)
    s = e.sum(axis=axis)
    assert s.shape == result and all(terms(le) == (0.0, [], []) for le in s._learr.flat)
    if shape == ():
        assert s._learr.item() is not e._learr.item()


@pytest.mark.parametrize("method", ["getConstant", "getValue"])
def test_values_of_foreign_cells_fail_as_their_own_method_lookup(method):
    e = MLinExpr(np.array([LinExpr(2.0), 1], dtype=object))
    with pytest.raises(AttributeError, match=f"^'int' object has no attribute '{method}'$"):
        getattr(e, method)()
    with pytest.raises(AttributeError, match=f"^'NoneType' object has no attribute '{method}'$"):
        getattr(MLinExpr(np.empty(2, dtype=object)), method)()


def test_sum_refuses_cells_that_are_not_expressions():
    with pytest.raises(TypeError, match="^Cannot convert int to .*LinExpr$"):
        MLinExpr(np.array([LinExpr(), 1], dtype=object)).sum()
    with pytest.raises(AttributeError, match="_flatten"):
        MLinExpr(np.empty(2, dtype=object)).sum()


# --- full-state in-place addition -----------------------------------------------------


def test_iadd_numbers_and_arrays():
    e = const_cells([0, 0, 0])
    cells = list(e._learr)
    assert e.__iadd__(0) is e
    e += 2.5
    e += np.array([1, 2, 3])  # integers are cast
    assert list(e._learr) == cells and [le.constant for le in cells] == [3.5, 4.5, 5.5]
    g = MLinExpr._zeros_full((2, 3))
    g += np.arange(3.0)
    g += sp.csr_matrix(np.ones((2, 3)))
    np.testing.assert_array_equal(g.getConstant(), [[1, 2, 3], [1, 2, 3]])
    for bad in (np.ones((3, 3)), np.ones((2, 3)) * 1j):
        with pytest.raises((ValueError, TypeError)):
            g += bad
    np.testing.assert_array_equal(g.getConstant(), [[1, 2, 3], [1, 2, 3]])
    assert e.__iadd__("text") is NotImplemented


def test_iadd_expressions(model, x):
    e = MLinExpr._zeros_full(3)
    f = MLinExpr._from_linexpr(LinExpr(2.0, x._vararr[0]))  # shape (): joined into each cell
    e += f
    e += x
    assert [len(le.var_list) for le in e._learr] == [2, 2, 2]
    assert terms(f._learr.item()) == (0.0, [2.0], [id(x._vararr[0])])
    with pytest.raises(ValueError):
        e += MLinExpr._zeros_full((2, 3))  # would grow e
    v = model.addVar()
    cont = LinExpr(1.0, v)
    cont.cont_ref = LinExpr(5.0)
    e += MLinExpr(np.array([cont, LinExpr(), LinExpr()], dtype=object))
    assert e._learr[0].getConstant() == 5.0 and id(v) in [id(w) for w in e._learr[0].var_list]
    empty = MLinExpr._zeros_full((2, 0))
    empty += 1.0
    empty += np.ones(0)
    empty += MLinExpr._zeros_full((0,))


def test_iadd_of_compact_operand_and_self(x):
    e = MLinExpr._zeros_full(3)
    c = compact(sp.eye(3), x, b=[1, 2, 3])
    e += c
    assert c._is_compact and [le.constant for le in e._learr] == [1, 2, 3]
    e += e
    assert [le.constant for le in e._learr] == [2, 4, 6]
    assert [len(le.var_list) for le in e._learr] == [2, 2, 2]
    s = compact(sp.eye(3), x, b=[1, 2, 3])
    s += 1.0  # a compact self stays compact: only its constants change
    assert s._is_compact and list(s._const) == [2, 3, 4]


@pytest.mark.parametrize(
    "target, source",
    [(slice(None), 0), (slice(1, None), slice(None, -1)), (slice(None), slice(None, None, -1)),
     (slice(None, None, 2), slice(None, 2))],
)
def test_iadd_reads_shared_cells_as_they_were(x, target, source):
    e = MLinExpr._from_mvar(x, force_full=True)
    for i, le in enumerate(e._learr):
        le.addConstant(float(i + 1))
    before = [terms(le) for le in e._learr]
    expect = [list(t) for t in before]
    idx = np.arange(3)
    src = np.broadcast_to(idx[source], idx[target].shape)
    for t, s in zip(idx[target], src):
        expect[t] = [expect[t][0] + before[s][0], expect[t][1] + before[s][1],
                     expect[t][2] + before[s][2]]
    view = e[target]
    view += e[source]
    assert full(e) == [tuple(t) for t in expect]


def test_iadd_of_self_with_continuations(model):
    v, w = model.addVar(), model.addVar()
    first = LinExpr(1.0, v)
    first.cont_ref = LinExpr(2.0, w)
    e = MLinExpr(np.array([first, LinExpr(3.0, v)], dtype=object))
    e += e
    e._flatten()
    assert [le.getConstant() for le in e._learr] == [0.0, 0.0]
    assert sorted(e._learr[0].coef_list) == [1.0, 1.0, 2.0, 2.0]
    assert list(e._learr[1].coef_list) == [3.0, 3.0]


def test_iadd_assertion_free_under_optimize():
    run_optimized(
        """
        import numpy as np
        from zudirivi._arrayexpr import MLinExpr
        e = MLinExpr._zeros_full(3)
        e += np.arange(3.0)
        print(list(e.getConstant()))
        """,
        expected="[0.0, 1.0, 2.0]",
    )


def test_no_leaks(model):
    x = model.addMVar(20)
    A = sp.random(30, 20, density=0.3, format="csr", random_state=1)
    E = MLinExpr._from_mvar(model.addMVar((4, 5)), force_full=True)

    def convert():
        e = MLinExpr._from_compact_affine_expr(A=A, x_right=x)
        e._convert_to_full()

    def copy_sum():
        E.copy()
        E.sum()
        E.sum(axis=1)

    def iadd():
        f = MLinExpr._zeros_full((4, 5))
        f += E
        f += E[0]
        f += np.ones(5)
        f += 1.0

    for fn in (convert, copy_sum, iadd):
        # Per-call leaks grow by at least `repeat`; the noise seen here stays in the low hundreds.
        assert_no_leak(fn, repeat=2000, warmup=200, tolerance=400)
