"""Model.addConstr with matrix comparisons: rows from MVar and from compact and
full MLinExpr, right-hand sides, senses and names, the handles it returns, and
the typical road A @ x + b <= c end to end."""

import numpy as np
import pytest
import scipy.sparse as sp

from zudirivi import _arrayexpr as ax
from zudirivi import _core
from zudirivi._tvx import TVX

MLinExpr = ax.MLinExpr


def rows(m, handle):
    """Each row of the handle as {column: coefficient}, in row-major order."""
    out = []
    for c in np.ravel(np.array(handle.tolist(), dtype=object)):
        le = m.getRow(c)
        out.append({le.getVar(i)._colno: le.getCoeff(i) for i in range(le.size())})
    return out


def dense_rows(A):
    A = np.asarray(A)
    return [{j: A[i, j] for j in range(A.shape[1]) if A[i, j] != 0} for i in range(A.shape[0])]


@pytest.fixture
def model():
    return _core.Model()


A = np.array([[1.0, 0.0, 2.0, 0.0], [0.0, 0.0, 0.0, 0.0], [3.0, 4.0, 0.0, -5.0]])


@pytest.mark.parametrize("state", ["compact", "full", "compact-csc", "left"])
def test_rows_from_linear_expressions(model, state):
    x = model.addMVar(4)
    b = np.array([1.0, 2.0, 3.0])
    if state == "left":
        e = MLinExpr._from_compact_affine_expr(x_left=x, A=sp.csr_matrix(A.T), b=b)
    else:
        e = MLinExpr._from_compact_affine_expr(A=sp.csr_matrix(A), x_right=x, b=b)
    if state == "full":
        e = e._to_full()
        assert not e._is_compact
    if state == "compact-csc":
        # a square-free CSC part: its indptr runs over columns
        e._matmulparts[0] = (e._matmulparts[0][0].tocsc(), e._matmulparts[0][1])
    c = np.array([10.0, 20.0, 30.0])
    h = model.addConstr(_core.TempConstr(e, TVX.LESS_EQUAL, c), name="r")
    assert type(h) is ax.MConstr and h.shape == (3,)
    assert repr(h) == "<MConstr (3,) *awaiting model update*>"
    model.update()
    assert repr(h) == "<MConstr (3,)>"
    assert rows(model, h) == dense_rows(A)
    assert h.RHS.tolist() == (c - b).tolist()
    assert h.Sense.tolist() == ["<"] * 3
    assert h.ConstrName.tolist() == ["r[0]", "r[1]", "r[2]"]


def test_rows_of_several_parts_and_square_csc(model):
    x, y = model.addMVar(3), model.addMVar(2)
    S = np.array([[1.0, 2.0, 0.0], [0.0, 3.0, 0.0], [4.0, 0.0, 5.0]])
    e = MLinExpr._from_compact_affine_expr(A=sp.csr_matrix(S), x_right=x)
    e._add_matmul_part(sp.csr_matrix(np.ones((3, 2))), y)
    e._matmulparts[0] = (sp.csc_matrix(S), x)
    h = model.addConstr(_core.TempConstr(e, TVX.EQUAL, 0.0))
    model.update()
    expect = [{**r, 3: 1.0, 4: 1.0} for r in dense_rows(S)]
    assert rows(model, h) == expect


@pytest.mark.parametrize("make, expect_rhs, expect_sense", [
    (lambda x: x <= 1, [[1.0] * 3] * 2, "<"),
    (lambda x: x >= np.array([1.0, 2.0, 3.0]), [[1.0, 2.0, 3.0]] * 2, ">"),
    (lambda x: 2.0 >= x, [[2.0] * 3] * 2, "<"),
    (lambda x: x == np.array([[np.inf], [-np.inf]]), [[np.inf] * 3, [-np.inf] * 3], "="),
])
def test_mvar_comparisons(model, make, expect_rhs, expect_sense):
    x = model.addMVar((2, 3))
    h = model.addConstr(make(x), name="c")
    model.update()
    assert h.shape == (2, 3)
    assert h.RHS.tolist() == expect_rhs
    assert h.Sense.tolist() == [[expect_sense] * 3] * 2
    assert h.ConstrName[1, 2] == "c[1,2]"
    assert rows(model, h) == [{i: 1.0} for i in range(6)]


def test_constants_of_full_cells_and_views(model):
    x = model.addMVar((2, 2))
    e = MLinExpr._from_mvar(x, force_full=True)
    e += np.array([[1.0, 2.0], [3.0, 4.0]])
    h = model.addConstr(_core.TempConstr(e[:, ::-1], TVX.GREATER_EQUAL, 10.0))
    model.update()
    assert h.RHS.tolist() == [[8.0, 9.0], [6.0, 7.0]]
    assert rows(model, h) == [{1: 1.0}, {0: 1.0}, {3: 1.0}, {2: 1.0}]


@pytest.mark.parametrize("expr, rhs, error, text", [
    (lambda x: MLinExpr._from_mvar(x), np.array([1.0, np.nan, 2.0]), ValueError, "NaN"),
    (lambda x: MLinExpr._from_mvar(x), np.ones((2, 3)), ValueError, "cannot be broadcast"),
    (lambda x: MLinExpr._from_mvar(x), "abc", TypeError, "number"),
])
def test_refused_right_hand_sides_add_nothing(model, expr, rhs, error, text):
    x = model.addMVar(3)
    model.update()
    with pytest.raises(error, match=text):
        model.addConstr(_core.TempConstr(expr(x), TVX.LESS_EQUAL, rhs))
    model.update()
    assert model.NumConstrs == 0


@pytest.mark.parametrize("shape", [(0,), (2, 0, 3)])
def test_empty_expressions_give_handles_without_model(model, shape):
    h = model.addConstr(_core.TempConstr(MLinExpr.zeros(shape), TVX.LESS_EQUAL, 1.0))
    assert h.shape == shape and h._cmodel is None and repr(h) == f"<MConstr {shape}>"


def test_remove_and_update_marks(model):
    x = model.addMVar(3)
    h = model.addConstr(x <= 1)
    model.update()
    model.remove(h[1:])
    assert repr(h) == "<MConstr (3,)>"
    model.update()
    assert repr(h) == "<MConstr (3,) (some removed)>"
    assert h._idxarr().tolist() == [0, -2, -2]
    assert h[0].RHS.tolist() == 1.0 and model.NumConstrs == 1


def test_general_constraints_for_a_variable_array(model):
    y, x = model.addMVar((2, 2)), model.addVar()
    g = model.addGenConstrNL(y, x, name="g")
    assert type(g) is ax.MGenConstr and g.shape == (2, 2)
    assert repr(g) == "<MGenConstr (2, 2) *awaiting model update*>"
    model.update()
    assert g.GenConstrName.tolist() == [["g[0,0]", "g[0,1]"], ["g[1,0]", "g[1,1]"]]


def test_typical_road(model):
    """A @ x + b <= c with a sparse A, a 1-D MVar x and arrays b, c."""
    rng = np.random.default_rng(5)
    Asp = sp.random(30, 20, density=0.2, format="csr", random_state=7)
    b, c = rng.normal(size=30), rng.normal(size=30)
    x = model.addMVar(20, lb=-1.0)
    h = model.addConstr(Asp @ x + b <= c)
    assert type(h) is ax.MConstr and h.shape == (30,)
    model.update()
    np.testing.assert_allclose(h.getAttr("RHS"), c - b)
    assert h.Sense.tolist() == ["<"] * 30
    assert rows(model, h) == dense_rows(Asp.toarray())
    h.RHS = np.zeros(30)
    assert not h.RHS.any()
