"""Full-state sums built cell by cell: every kind of cell gives what the core's
operator gives for it, and results share no term list with an operand."""

import numpy as np
import pytest

import zudirivi as tvp


def terms(le):
    le = le.copy()
    le._flatten()
    return le.getConstant(), list(le.coef_list), [v._colno for v in le.var_list]


def mixed_cells(model, shape):
    """A full expression whose cells include a continuation and a zero sign."""
    x = model.addMVar(shape)
    model.update()
    e = tvp.MLinExpr._from_mvar(x, force_full=True) * 2.0 + 1.0
    flat = e._learr.reshape(-1)
    flat[0].cont_ref = tvp.LinExpr(3.0, x._vararr.reshape(-1)[0])
    flat[-1] = tvp.LinExpr(-0.0)
    return e


@pytest.mark.parametrize("shape", [(3, 4), (5,), ()])
def test_full_sums_match_the_core_per_cell(model, shape):
    e = mixed_cells(model, shape)
    f = mixed_cells(model, shape)
    y = model.addMVar(shape)
    model.update()
    before = [terms(c) for c in e._learr.reshape(-1)]
    for other, cells in ((f, f._learr.reshape(-1)), (y, y._vararr.reshape(-1))):
        got = e + other
        assert got.shape == e.shape
        want = [a + b for a, b in zip(e._learr.reshape(-1), cells)]
        for g, w in zip(got._learr.reshape(-1), want):
            assert terms(g) == terms(w)
            assert np.copysign(1.0, g.getConstant()) == np.copysign(1.0, w.getConstant())
        for g, a in zip(got._learr.reshape(-1), e._learr.reshape(-1)):
            assert g.coef_list is not a.coef_list and g.var_list is not a.var_list
    assert [terms(c) for c in e._learr.reshape(-1)] == before


def test_full_sum_with_itself_and_bad_cells(model):
    x = model.addMVar((2, 3))
    model.update()
    e = tvp.MLinExpr._from_mvar(x, force_full=True)
    twice = e + e
    assert [len(c.var_list) for c in twice._learr.reshape(-1)] == [2] * 6
    e._learr[1, 2] = None
    with pytest.raises(TypeError):
        e + e
    with pytest.raises(TypeError):
        e + model.addMVar((2, 3))
