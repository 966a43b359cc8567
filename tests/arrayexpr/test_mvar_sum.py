"""MVar.sum: terms written straight into full-state cells, in iteration order."""

import numpy as np
import pytest

import zudirivi as tvp
from zudirivi._arrayexpr import MLinExpr, MVar

from helpers import assert_no_leak


@pytest.fixture
def x(model):
    x = model.addMVar((2, 2))
    model.update()
    return x


def terms(cell):
    assert cell.coef_list == [1.0] * len(cell.var_list)
    return [v._colno for v in cell.var_list]


def cells(e):
    return [terms(c) for c in e._learr.flat]


@pytest.mark.parametrize("expr, shape, expect", [
    (lambda x: x.sum(), (), [[0, 1, 2, 3]]),
    (lambda x: x.sum(axis=0), (2,), [[0, 2], [1, 3]]),
    (lambda x: x.sum(1), (2,), [[0, 1], [2, 3]]),
    (lambda x: x.T.sum(axis=0), (2,), [[0, 1], [2, 3]]),
    (lambda x: x.T.sum(), (), [[0, 1, 2, 3]]),   # storage order of x, not of x.T
    (lambda x: x[0].sum(), (), [[0, 1]]),
    (lambda x: x[0, 1].sum(), (), [[1]]),
])
def test_sum_terms_and_order(x, expr, shape, expect):
    e = expr(x)
    assert type(e) is MLinExpr and not e._is_compact and e.shape == shape
    assert cells(e) == expect
    assert all(c.getConstant() == 0.0 for c in e._learr.flat)


def test_sum_stays_full_and_keeps_repeats(model, x):
    saved = MLinExpr._keep_compact
    for keep in (1, 0):
        MLinExpr._keep_compact = keep
        try:
            assert not x[0].sum(axis=0)._is_compact
        finally:
            MLinExpr._keep_compact = saved
    v = x._vararr[1, 1]
    s = MVar.fromlist([v, v]).sum()
    assert s._learr.item().var_list == [v, v]
    assert x._vararr[0, 0].__class__ is tvp.Var  # the element array is unchanged


@pytest.mark.parametrize("shape, axis, out_shape, ncells", [
    ((0,), None, (), 1),
    ((0, 3), 0, (3,), 3),
    ((0, 3), 1, (0,), 0),
])
def test_sum_of_empty(model, shape, axis, out_shape, ncells):
    e = model.addMVar(shape).sum(axis=axis)
    assert e.shape == out_shape and e._learr.size == ncells
    assert all(c.size() == 0 for c in e._learr.flat)


def test_bad_axis(x):
    with pytest.raises(tvp.TovrixError) as err:
        x.sum(axis=2)
    assert err.value.errno == -1
    assert str(err.value) == "Invalid axis specifications: 2"


def test_large_sum_matches_numpy_layout(model):
    x = model.addMVar((30, 40))
    cols = x._idxarr()
    e = x.sum(axis=0)
    assert cells(e) == cols.T.tolist()
    e = x.T.sum(axis=1)
    assert cells(e) == cols.T.tolist()


def test_sum_leaves_no_references(x):
    assert_no_leak(lambda: (x.sum(), x.sum(axis=1), x.T.sum(axis=0)), repeat=5000,
                   warmup=1000)
