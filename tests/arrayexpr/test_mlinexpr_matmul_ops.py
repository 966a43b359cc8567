"""MLinExpr @ with constant matrices, in both directions and both states."""

import warnings

import numpy as np
import pytest
import scipy.sparse as sp

from helpers import assert_no_leak
import zudirivi as tvp
from zudirivi._arrayexpr import MLinExpr

RNG = np.random.default_rng(11)
WARNING = ("Chained matrix multiplications of MVars is inefficient, collect numeric terms "
           "first when building expressions")


@pytest.fixture
def keep_compact_off():
    MLinExpr._keep_compact = 0
    try:
        yield
    finally:
        MLinExpr._keep_compact = 1


def compact_expr(model, shape):
    """A compact expression of `shape` with two matmul parts and constants."""
    m = int(np.prod(shape))
    x1, x2 = model.addMVar(3), model.addMVar(2)
    parts = [(sp.random(m, 3, density=0.6, format="csr", random_state=1), x1),
             (sp.random(m, 2, density=0.6, format="csr", random_state=2), x2)]
    return MLinExpr(matmulparts=parts, b=RNG.random(shape))


def full_expr(model, shape):
    e = compact_expr(model, shape)
    e._convert_to_full()
    return e


def values(model, *exprs):
    model.update()
    model._loadSolution(RNG.random(model.NumVars).tolist())
    return [e.getValue() for e in exprs]


def as_matrix(kind, M):
    return M if kind == "ndarray" else sp.csr_matrix(np.atleast_2d(M)).asformat(kind)


# (expression shape, matrix shape, compact result) for e @ M
RIGHT = [((3,), (3, 2), True), ((3,), (3,), True), ((1, 3), (3, 2), True),
         ((3, 1), (1, 1), True), ((3, 1), (1, 2), False), ((1, 1), (1, 4), True)]
# (matrix shape, expression shape, compact result) for M @ e
LEFT = [((2, 3), (3,), True), ((3,), (3,), True), ((3, 1), (1, 1), True),
        ((3, 1), (1, 4), False), ((2, 3), (3, 1), True), ((1, 3), (3, 1), True)]


def kinds(cases, matrix_at):
    return [(k,) + c for c in cases for k in ("ndarray", "csr", "csc")
            if k == "ndarray" or len(c[matrix_at]) == 2]


@pytest.mark.parametrize("kind, eshape, mshape, compact", kinds(RIGHT, 1))
def test_matmul_constant(model, kind, eshape, mshape, compact):
    e = compact_expr(model, eshape)
    M = RNG.random(mshape)
    r = e @ as_matrix(kind, M)
    assert type(r) is MLinExpr and r._is_compact is compact
    assert r.shape == (np.zeros(eshape) @ M).shape
    assert e._is_compact and len(e._matmulparts) == 1  # merged in place, never converted
    if compact:
        assert len(r._matmulparts) == 1 and r._matmulparts[0][1] is not e._matmulparts[0][1]
    ev, rv = values(model, e, r)
    np.testing.assert_allclose(rv, ev @ M)
    # the full state gives the same value
    f = full_expr(model, eshape)
    f._learr = e._to_full()._learr
    np.testing.assert_allclose((f @ as_matrix(kind, M)).getValue(), rv)


@pytest.mark.parametrize("kind, mshape, eshape, compact", kinds(LEFT, 0))
def test_rmatmul_constant(model, kind, mshape, eshape, compact):
    e = compact_expr(model, eshape)
    M = RNG.random(mshape)
    r = as_matrix(kind, M) @ e
    assert type(r) is MLinExpr and r._is_compact is compact
    assert r.shape == (M @ np.zeros(eshape)).shape
    assert e._is_compact and len(e._matmulparts) == 1
    ev, rv = values(model, e, r)
    np.testing.assert_allclose(rv, M @ ev)
    f = e.copy()
    f._convert_to_full()
    np.testing.assert_allclose((as_matrix(kind, M) @ f).getValue(), rv)


def test_constant_only_and_empty_products(model):
    c = MLinExpr._from_compact_affine_expr(b=np.arange(3.0))
    r = c @ np.ones((3, 2))
    assert r._is_compact and r._matmulparts == [] and r._const.tolist() == [3.0, 3.0]
    assert (np.ones((2, 3)) @ c)._matmulparts == []
    e = compact_expr(model, (3,))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for r in (e @ np.ones((3, 0)), np.zeros((0, 3)) @ e):
            assert r.shape == (0,) and r._is_compact and r._matmulparts == []
        big = full_expr(model, (30,))
        for r in (big @ np.ones((30, 0)), np.ones((0, 30)) @ big):
            assert r.shape == (0,)
    assert len(e._matmulparts) == 2  # the empty product looked at nothing


def test_full_one_dimensional_product_is_zero_d(model):
    e = full_expr(model, (3,))
    for r in (e @ np.ones(3), np.ones(3) @ e):
        assert not r._is_compact and r.shape == () and r._learr.ndim == 0
        assert type(r._learr[()]) is tvp.LinExpr
    ev, rv = values(model, e, e @ np.arange(3.0))
    assert rv == pytest.approx(ev @ np.arange(3.0))


@pytest.mark.parametrize("dim, warns", [(25, False), (26, True)])
@pytest.mark.parametrize("side", ["left", "right"])
def test_chained_product_warning(model, dim, warns, side):
    e = full_expr(model, (dim,))
    M = sp.csr_matrix(np.ones((dim, 2)))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        r = e @ M if side == "right" else M.T @ e
    assert r.shape == (2,) and not r._is_compact
    got = [(w.category, str(w.message)) for w in caught]
    assert got == ([(RuntimeWarning, WARNING)] if warns else [])


def test_compact_products_never_warn(model):
    e = compact_expr(model, (30,))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert (e @ np.ones((30, 2)))._is_compact
        assert (np.ones((2, 30)) @ e)._is_compact


def test_shape_errors_come_first(model):
    e = full_expr(model, (30,))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(ValueError, match="do not match"):
            e @ np.ones((31, 2))
        with pytest.raises(ValueError, match="do not match"):
            np.ones((2, 31)) @ e
    z = MLinExpr._from_compact_affine_expr(b=np.array(1.0))
    with pytest.raises(ValueError, match="no dimensions"):
        z @ np.ones(1)


@pytest.mark.parametrize("operand", [3, 2.5, [1.0, 2.0], "ab", None])
def test_refused_operands(model, operand):
    e = compact_expr(model, (2,))
    with pytest.raises(TypeError):
        e @ operand
    with pytest.raises(TypeError):
        operand @ e
    assert e._is_compact
    assert e.__matmul__(operand) is NotImplemented and e.__rmatmul__(operand) is NotImplemented


def test_refused_operand_converts_when_compact_is_off(model, keep_compact_off):
    for method in ("__matmul__", "__rmatmul__"):
        e = compact_expr(model, (2,))
        assert getattr(e, method)(3.0) is NotImplemented
        assert not e._is_compact


def test_keep_compact_off_gives_full_products(model, keep_compact_off):
    e = compact_expr(model, (3,))
    r = e @ np.ones((3, 2))
    assert not e._is_compact and not r._is_compact
    ev, rv = values(model, e, r)
    np.testing.assert_allclose(rv, ev @ np.ones((3, 2)))


def test_full_path_leaves_operands(model):
    e = full_expr(model, (3,))
    cells = list(e._learr)
    before = [(c.constant, list(c.coef_list)) for c in cells]
    M = sp.csr_matrix(np.ones((2, 3)))
    r = M @ e
    assert list(e._learr) == cells and [(c.constant, list(c.coef_list)) for c in cells] == before
    assert not any(c is d for c in r._learr for d in cells)
    assert M.toarray().tolist() == [[1.0] * 3] * 2


# SciPy's conversions settle their caches slowly (a few hundred blocks over
# thousands of calls); a reference leaked per call grows by at least `repeat`.
LEAK = dict(repeat=2000, warmup=2000, tolerance=1000)


def test_no_leaks(model):
    e = compact_expr(model, (4,))
    f = full_expr(model, (4,))
    M, S = np.ones((4, 3)), sp.csr_matrix(np.ones((3, 4)))
    assert_no_leak(lambda: e @ M, **LEAK)
    assert_no_leak(lambda: S @ e, **LEAK)
    assert_no_leak(lambda: f @ M, **LEAK)
    assert_no_leak(lambda: S @ f, **LEAK)
    assert_no_leak(lambda: e.__matmul__(3.0), **LEAK)
