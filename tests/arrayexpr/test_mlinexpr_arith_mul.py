"""MLinExpr multiplication: *=, * (with numbers and with variable-bearing
operands) and the split of a product's cells into quadratic and linear parts."""

import numpy as np
import pytest
import scipy.sparse as sp

import zudirivi as tvp
from helpers import assert_no_leak
from zudirivi._arrayexpr import MLinExpr
from zudirivi._core import LinExpr, QuadExpr

from oracle import canon, cells, same, scaled  # noqa: F401
from test_mlinexpr_arith import (FakeQuad, compact_of, make, quad,  # noqa: F401
                                 nl, keep_compact_zero)


def snapshot(e):
    """Everything a compact expression holds, copied."""
    return (e._const.copy(), [(A.toarray().copy(), A.indptr.copy(), xv) for A, xv in
                              e._matmulparts])


def unchanged(e, snap):
    const, parts = snap
    assert (e._const == const).all()
    now = [(A.toarray(), A.indptr, xv) for A, xv in e._matmulparts]
    # parts may have been merged (same value), never scaled
    assert len(now) <= len(parts)
    if len(now) == len(parts):
        for (a, p, xv), (a0, p0, xv0) in zip(now, parts):
            assert (a == a0).all() and (p == p0).all() and xv is xv0


def two_parts(x, y, b=(1.0, 2.0, 3.0)):
    e = compact_of(x, sp.diags([1.0, 2.0, 3.0]).tocsr(), b)
    e += compact_of(y, sp.csr_matrix(np.arange(9.0).reshape(3, 3)))
    return e


# --- in-place multiplication ---------------------------------------------------------


@pytest.mark.parametrize("state", ["compact", "full"])
@pytest.mark.parametrize("factor, f", [
    (2.0, 2.0), (3, 3.0), (np.float32(0.5), 0.5), (np.array([1.0, 2.0, 3.0]), [1.0, 2.0, 3.0]),
    (np.array([1, 0, 2]), [1.0, 0.0, 2.0]), (np.array([True, False, True]), [1.0, 0.0, 1.0]),
    (np.array(4.0), 4.0), (np.array([4.0]), 4.0), (0.0, 0.0),
])
def test_imul_values(x, y, state, factor, f):
    e = two_parts(x, y)
    if state == "full":
        e._convert_to_full()
    before = cells(e)
    cell_ids = None if state == "compact" else [id(c) for c in e._learr]
    e2 = e
    e *= factor
    assert e is e2 and e._is_compact == (state == "compact")
    same(cells(e), scaled(before, f))
    if state == "compact":
        assert len(e._matmulparts) == 1
    else:
        assert [id(c) for c in e._learr] == cell_ids


def test_imul_by_one_changes_nothing(x, y):
    e = two_parts(x, y)
    const, parts = e._const, list(e._matmulparts)
    e *= 1
    e *= 1.0
    assert e._const is const and len(e._matmulparts) == 2
    assert all(p is q for p, q in zip(e._matmulparts, parts))


def test_imul_by_zero_keeps_stored_positions(x):
    e = compact_of(x, sp.diags([1.0, 2.0, 3.0]).tocsr(), [1.0, 2.0, 3.0])
    e *= 0.0
    A, xv = e._matmulparts[0]
    assert A.nnz == 3 and not A.data.any() and not e._const.any() and xv.shape == (3,)


def test_imul_row_scaling_of_a_row_expression(x):
    e = MLinExpr(matmulparts=[(sp.csr_matrix(np.arange(1.0, 10.0).reshape(3, 3)), x)],
                 b=np.array([[1.0, 2.0, 3.0]]))
    before = cells(e)
    e *= np.array([1.0, 10.0, 100.0])
    same(cells(e), scaled(before, [[1.0, 10.0, 100.0]]))
    e *= sp.csr_matrix([[2.0, 2.0, 2.0]])
    same(cells(e), scaled(before, [[2.0, 20.0, 200.0]]))


@pytest.mark.parametrize("state", ["compact", "full"])
@pytest.mark.parametrize("factor, error", [
    (np.ones((3, 1)), ValueError), (np.ones((2, 3)), ValueError), (np.ones(2), ValueError),
    (sp.csr_matrix(np.ones((1, 3))), ValueError), (np.array([1 + 1j, 1, 1]), TypeError),
    (np.array([1.0, None, 2.0], dtype=object), TypeError), ("2", type(NotImplemented)),
])
def test_imul_refusals_leave_the_expression_unchanged(x, y, state, factor, error):
    e = two_parts(x, y)
    if state == "full":
        e._convert_to_full()
    before = cells(e)
    if error is type(NotImplemented):
        assert e.__imul__(factor) is NotImplemented
    else:
        with pytest.raises(error):
            e *= factor
    same(cells(e), before)


@pytest.mark.parametrize("factor", [np.array([1.0, np.inf, 2.0]), np.array([np.nan]),
                                    np.array(np.inf), sp.csr_matrix([[1.0, np.inf, 1.0]])])
def test_compact_imul_refuses_non_finite_arrays(x, y, factor):
    e = two_parts(x, y) if not sp.issparse(factor) else MLinExpr(
        matmulparts=[(sp.eye(3).tocsr(), x)], b=np.ones((1, 3)))
    snap = snapshot(e)
    with pytest.raises(tvp.TovrixError) as info:
        e *= factor
    assert info.value.errno == tvp.TVX.ERROR_INVALID_ARGUMENT
    assert str(info.value) == "Multiplier is infinite or NaN"
    unchanged(e, snap)


def test_non_finite_scalars_and_full_state_are_not_tested(x):
    e = compact_of(x, b=[1.0, 2.0, 3.0])
    e *= np.inf
    assert np.isinf(e._const).all()
    f = make("full", x)
    f *= np.array([1.0, np.inf, 2.0])
    assert np.isinf(f._learr[1].getConstant())


@pytest.mark.parametrize("index_dtype", [np.int32, np.int64])
def test_compact_imul_reads_row_pointers_of_either_width(x, index_dtype):
    A = sp.csr_matrix(np.arange(1.0, 10.0).reshape(3, 3))
    A.indptr = A.indptr.astype(index_dtype)
    A.indices = A.indices.astype(index_dtype)
    e = MLinExpr(matmulparts=[(A, x)], b=np.ones(3))
    before = cells(e)
    e *= np.array([1.0, 2.0, 3.0])
    same(cells(e), scaled(before, [1.0, 2.0, 3.0]))


def test_compact_imul_refuses_a_malformed_part_before_any_change(x):
    A = sp.csr_matrix(np.arange(1.0, 10.0).reshape(3, 3))
    A.indptr = np.array([0, 3, 6, 99], dtype=np.int32)
    e = MLinExpr(matmulparts=[(A, x)], b=np.ones(3))
    with pytest.raises(IndexError):
        e *= np.array([1.0, 2.0, 3.0])
    assert (e._const == 1.0).all() and (A.data == np.arange(1.0, 10.0)).all()


def test_imul_of_empty_expressions(x):
    e = MLinExpr.zeros((0,))
    e *= np.ones(0)
    e *= 2.0
    f = MLinExpr._zeros_full((2, 0))
    f *= np.ones(0)
    f *= 3.0
    assert e.shape == (0,) and f.shape == (2, 0)


def test_imul_of_a_view_reaches_the_base(x):
    e = make("full", x)
    base_cells = list(e._learr)
    view = MLinExpr(e._learr[1:])
    view *= np.array([10.0, 100.0])
    assert [c.getConstant() for c in e._learr] == [1.0, 20.0, 300.0]
    assert all(a is b for a, b in zip(e._learr, base_cells))


def test_imul_with_keep_compact_zero_converts(x, keep_compact_zero):
    e = compact_of(x, b=[1.0, 2.0, 3.0])
    e *= 2.0
    assert not e._is_compact
    assert [c.getConstant() for c in e._learr] == [2.0, 4.0, 6.0]


# --- multiplication with numbers -----------------------------------------------------


@pytest.mark.parametrize("state", ["compact", "full"])
@pytest.mark.parametrize("factor, f, shape, compact", [
    (2, 2.0, (3,), True),
    (np.array([1.0, 2.0, 3.0]), [1.0, 2.0, 3.0], (3,), True),
    (np.array([[1.0], [2.0]]), [[1.0], [2.0]], (2, 3), False),
    (np.array([[1.0, 2.0, 3.0]]), [[1.0, 2.0, 3.0]], (1, 3), True),
    (sp.csr_matrix([[1.0, 2.0, 3.0]]), [[1.0, 2.0, 3.0]], (1, 3), True),
    (np.array([1, 0, 2]), [1.0, 0.0, 2.0], (3,), True),
])
def test_product_with_numbers(x, y, state, factor, f, shape, compact):
    e = two_parts(x, y)
    if state == "full":
        e._convert_to_full()
    before = cells(e)
    for r in (e * factor, factor * e if not sp.issparse(factor) else e.__rmul__(factor)):
        assert isinstance(r, MLinExpr) and r is not e and r.shape == shape
        assert r._is_compact == (compact and state == "compact")
        same(cells(r), scaled(before, f))
    same(cells(e), before)
    assert e._is_compact == (state == "compact")


def test_compact_product_owns_its_part(x):
    e = compact_of(x, b=[1.0, 2.0, 3.0])
    r = e * np.array([2.0, 2.0, 2.0])
    assert r._matmulparts[0][0] is not e._matmulparts[0][0]
    assert r._matmulparts[0][1]._vararr is e._matmulparts[0][1]._vararr
    r *= 5.0
    assert (e._matmulparts[0][0].toarray() == np.eye(3)).all()


def test_one_cell_times_array_repeats_the_row(x):
    e = compact_of(x, sp.csr_matrix([[1.0, 0.0, 2.0]]), [1.0])
    r = e * np.array([1.0, 2.0, 3.0, 4.0])
    assert r._is_compact and r.shape == (4,)
    A = r._matmulparts[0][0].toarray()
    assert (A == np.outer([1.0, 2.0, 3.0, 4.0], [1.0, 0.0, 2.0])).all()
    assert list(r._const) == [1.0, 2.0, 3.0, 4.0]


def test_products_without_cells(x, y, v, quad):
    e = compact_of(x, sp.csr_matrix([[1.0, 0.0, 2.0]]), [1.0])
    r = e * np.ones(0)
    assert r._is_compact and r.shape == (0,) and r._matmulparts == []
    f = make("full", x)
    r = f * np.ones((0, 3))
    assert not r._is_compact and r.shape == (0, 3)
    assert MLinExpr._zeros_full((0,)) * v == ("zeros", (0,))


def test_compact_product_refuses_non_finite(x):
    e = compact_of(x, b=[1.0, 2.0, 3.0])
    with pytest.raises(tvp.TovrixError, match="^Multiplier is infinite or NaN$"):
        e * np.array([np.inf, 1.0, 1.0])
    f = make("full", x)
    assert np.isinf((f * np.array([np.inf, 1.0, 1.0]))._learr[0].getConstant())


def test_product_refuses_arrays_of_objects(x, v):
    for state in ("compact", "full"):
        with pytest.raises(TypeError):
            make(state, x) * np.array([v, v, v], dtype=object)


def test_product_with_keep_compact_zero(x, keep_compact_zero):
    e = compact_of(x, b=[1.0, 2.0, 3.0])
    r = e * 2
    assert not e._is_compact and not r._is_compact


# --- multiplication with variable-bearing operands -------------------------------------


def quad_terms(qe):
    out = {}
    for i in range(qe.size()):
        k = tuple(sorted((id(qe.getVar1(i)), id(qe.getVar2(i)))))
        out[k] = out.get(k, 0.0) + qe.getCoeff(i)
    return {k: c for k, c in out.items() if c != 0.0}


@pytest.mark.parametrize("state", ["compact", "full"])
@pytest.mark.parametrize("kind", ["mvar", "var", "linexpr", "mlinexpr", "compact"])
def test_products_of_variable_bearing_operands(x, y, v, quad, state, kind):
    e = make(state, x)  # cell i: (i+1) x_i + (i+1)
    o = {"mvar": y, "var": v, "linexpr": LinExpr(2.0, v) + 1.0,
         "mlinexpr": make("full", y), "compact": make("compact", y)}[kind]
    before = cells(e)
    for r in (e * o, o * e if kind in ("mvar", "var", "linexpr") else e.__rmul__(o)):
        assert isinstance(r, FakeQuad)
        assert r.qearr.shape == (3,) and r.ndle.shape == (3,) and not r.ndle._is_compact
        for i in range(3):
            qe, le = r.qearr[i], r.ndle._learr[i]
            assert isinstance(qe, QuadExpr) and isinstance(le, LinExpr)
            assert qe.getLinExpr().size() == 0 and qe.getLinExpr().getConstant() == 0.0
            assert quad_terms(qe)  # every product has quadratic terms here
    same(cells(e), before)
    assert e._is_compact == (state == "compact")
    if kind == "compact":
        assert o._is_compact


def test_product_cell_values(x, y, quad):
    e = make("compact", x)
    r = e * y
    xs, ys = x.tolist(), y.tolist()
    for i in range(3):
        c = float(i + 1)
        assert quad_terms(r.qearr[i]) == {tuple(sorted((id(xs[i]), id(ys[i])))): c}
        assert canon(r.ndle._learr[i]) == (0.0, {id(ys[i]): c})


def test_zero_d_products(v, quad):
    a = MLinExpr._from_var(v)
    r = a * v
    assert r[0] == "from_quad_expr" and isinstance(r[1], QuadExpr)
    b = MLinExpr._from_linexpr(LinExpr(3.0))
    r = b * v  # no quadratic term: a bare LinExpr, split as one cell
    assert isinstance(r, FakeQuad) and r.qearr.shape == () and r.ndle.shape == ()
    assert canon(r.ndle._learr[()]) == (0.0, {id(v): 3.0})


def test_quadratic_and_nonlinear_operands_hand_off(x, v, nl):
    e = make("compact", x)
    q = QuadExpr(LinExpr(v))
    r = e * q
    assert r[0] == "mul" and r[1].source is e and r[2] is q
    r = e.__rmul__(q)
    assert r[0] == "rmul" and r[1].source is e and r[2] is q
    assert e._is_compact


def test_products_declined(x):
    e = make("compact", x)
    assert e.__mul__("s") is NotImplemented and e.__rmul__("s") is NotImplemented
    assert e.__mul__([1.0, 2.0, 3.0]) is NotImplemented
    old = e
    with pytest.raises(TypeError):
        e *= [1.0, 2.0, 3.0]
    assert old._is_compact


def test_imul_with_expressions_rebinds(x, y, quad):
    e = make("compact", x)
    old = e
    e *= y
    assert isinstance(e, FakeQuad) and old._is_compact


# --- split -----------------------------------------------------------------------------


def test_split_moves_cells(v, model):
    w = model.addVar()
    model.update()
    q = LinExpr(2.0, v) * LinExpr(1.0, w) + LinExpr(3.0, v) + 4.0
    lin_part = q.getLinExpr()
    le = LinExpr(5.0, w) + 1.0
    mix = np.array([q, le, QuadExpr()], dtype=object).reshape(3)
    learr = MLinExpr._split_lin_quad(mix)
    assert learr.shape == (3,) and learr.dtype == object
    assert mix[0] is q and learr[0] is lin_part
    assert canon(learr[0]) == (4.0, {id(v): 3.0})
    assert q.getLinExpr() is not lin_part and q.getLinExpr().size() == 0
    assert learr[1] is le and isinstance(mix[1], QuadExpr) and mix[1].size() == 0
    assert canon(learr[2]) == (0.0, {})


def test_split_of_views_and_0d(v):
    cells_ = np.empty((2, 2), dtype=object)
    for i in range(2):
        for j in range(2):
            cells_[i, j] = LinExpr(float(2 * i + j))
    view = cells_.T
    learr = MLinExpr._split_lin_quad(view)
    assert [le.getConstant() for le in learr.flat] == [0.0, 2.0, 1.0, 3.0]
    assert all(isinstance(c, QuadExpr) for c in cells_.flat)
    zero = np.empty((), dtype=object)
    zero[()] = LinExpr(v)
    assert canon(MLinExpr._split_lin_quad(zero)[()]) == (0.0, {id(v): 1.0})


def test_split_errors(v):
    mix = np.array([LinExpr(1.0), v, LinExpr(2.0)], dtype=object)
    with pytest.raises(TypeError, match="^Cannot convert Var to LinExpr$|^Cannot convert "):
        MLinExpr._split_lin_quad(mix)
    assert isinstance(mix[0], QuadExpr)  # not transactional
    with pytest.raises(AttributeError):
        MLinExpr._split_lin_quad(np.array([None], dtype=object))
    with pytest.raises(ValueError):
        MLinExpr._split_lin_quad(np.empty(0, dtype=object))


# --- leaks -----------------------------------------------------------------------------


@pytest.mark.parametrize("state", ["compact", "full"])
def test_no_leaks(x, y, v, state, quad):
    arr = np.array([1.0, 2.0, 3.0])

    def ops():
        e = make(state, x)
        e * 2.0
        e * arr
        arr * e
        e * np.ones((2, 3))
        e * y
        e * v
        e *= arr
        e *= 0.5
        try:
            e *= np.array([np.inf, 1.0, 1.0])
        except tvp.TovrixError:
            pass
        FakeQuad.made.clear()
    assert_no_leak(ops, repeat=2000, warmup=500, tolerance=200)
