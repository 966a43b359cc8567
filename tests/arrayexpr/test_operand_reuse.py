"""Sums built straight from their operands: MVar +/- MVar in the full state
without intermediate expressions, and + on a temporary left operand built in
that temporary. Results must equal the general path's, and nothing that
anyone else can still see may change."""

import functools
import gc
import operator

import numpy as np
import pytest
import scipy.sparse as sp

from zudirivi import LinExpr, MLinExpr, MVar

from helpers import assert_no_leak

BIG = (80, 80)  # enough cells for the temporary check to run


def cell_terms(le):
    return (le.constant, list(le.coef_list), [id(v) for v in le.var_list], le.cont_ref)


def general_cells(x, y, op):
    """The cells the core's own operators give for op(x, y), cell by cell."""
    return [cell_terms(op(LinExpr(a), LinExpr(b))) for a, b in zip(x._vararr.flat, y._vararr.flat)]


@pytest.mark.parametrize("op", [operator.add, operator.sub])
@pytest.mark.parametrize("view", [lambda v: v, lambda v: v.T, lambda v: v[::2, 1:]])
def test_mvar_pair_sum_cells(model, keep, op, view):
    x, y = view(model.addMVar((4, 3))), view(model.addMVar((4, 3)))
    e = op(x, y)
    assert isinstance(e, MLinExpr) and e.shape == x.shape and not e._is_compact
    cells = [cell_terms(c) for c in e._learr.flat]
    assert cells == general_cells(x, y, op)
    c0, c1 = e._learr.flat[0], e._learr.flat[1]
    assert not gc.is_tracked(c0.coef_list) and not gc.is_tracked(c0.var_list)
    assert c0.coef_list is not c1.coef_list and c0.var_list is not c1.var_list


def test_mvar_pair_sum_keeps_the_general_path_elsewhere(model):
    x, y = model.addMVar(3), model.addMVar(3)
    assert (x - y)._is_compact  # compact shapes stay compact
    a, b = model.addMVar((2, 3)), model.addMVar((1, 3))
    assert (a - b).shape == (2, 3)  # broadcasting: general path
    assert cell_terms((a - b)._learr[1, 2]) == cell_terms(LinExpr(a[1, 2].item()) -
                                                          LinExpr(b[0, 2].item()))

    class Sub(MVar):
        pass

    s = Sub(a._vararr)
    assert [cell_terms(c) for c in (s - a)._learr.flat] == general_cells(a, a, operator.sub)


def test_scaled_variables_share_one_coefficient_object(model):
    x = model.addMVar((3, 3))
    e = 2.5 * x
    coefs = [c.coef_list[0] for c in e._learr.flat]
    assert coefs == [2.5] * 9 and all(c is coefs[0] for c in coefs)


def test_temporary_left_operands(model):
    n = BIG[0] * BIG[1]
    x = model.addMVar(n)
    X = model.addMVar(BIG)
    A = sp.random(n, n, density=2 / n, format="csr", random_state=0)
    b = np.arange(n, dtype=float)

    e = A @ x
    f = e + b  # a named left operand is never changed
    assert not e._const.any() and np.array_equal(f._const, b) and f is not e
    t = (A @ x) + b
    assert np.array_equal(t._const, b) and len(t._matmulparts) == 1
    assert (t._matmulparts[0][0] != A).nnz == 0
    w = (A @ x) + np.ones((2, n))  # widening: built apart, NumPy's shape
    assert w.shape == (2, n) and (w.getConstant() == 1).all()

    g = 2 * X
    h = g + 3
    assert g._learr[0, 0].constant == 0.0 and h._learr[0, 0].constant == 3.0
    assert ((2 * X) + 3)._learr[1, 1].constant == 3.0
    v = g[: BIG[0] // 2]  # a view sharing g's cells
    assert (v + 1)._learr[0, 0].constant == 1.0 and g._learr[0, 0].constant == 0.0


def test_references_lent_by_other_compiled_code(model):
    n = BIG[0] * BIG[1]
    x = model.addMVar(n)
    A = sp.eye(n, format="csr")
    held = np.empty(2, dtype=object)
    held[0], held[1] = A @ x, A @ x
    summed = held + 1.0  # NumPy's object loop lends references the array owns
    assert all(not h._const.any() for h in held) and all((s._const == 1).all() for s in summed)
    total = functools.reduce(operator.add, [A @ x, np.ones(n), np.ones(n)])
    assert (total._const == 2).all()


def test_temporary_sums_do_not_leak(model):
    x = model.addMVar(BIG[0] * BIG[1])
    X = model.addMVar(BIG)
    A = sp.eye(BIG[0] * BIG[1], format="csr")
    b = np.ones(BIG[0] * BIG[1])
    assert_no_leak(lambda: (A @ x) + b, repeat=200, warmup=20)
    assert_no_leak(lambda: (2 * X) + 3, repeat=100, warmup=10)
    assert_no_leak(lambda: X - X, repeat=100, warmup=10)
