"""MQuadExpr: the two storage states, the quad parts of the compact state,
conversion to the full state, item() and printing."""

import numpy as np
import pytest
import scipy.sparse as sp

from helpers import assert_no_leak, run_optimized
from oracle import qcanon
from zudirivi._arrayexpr import MLinExpr, MQuadExpr, MVar
from zudirivi._core import QuadExpr


def qcells(q):
    """Canonical form of every cell (quadratic terms, linear terms, constant)."""
    f = q._to_full() if q._is_compact else q
    lin = f._ndle._to_full() if f._ndle._is_compact else f._ndle
    out = np.empty(f.shape, dtype=object)
    for idx in np.ndindex(f.shape):
        out[idx] = qcanon(f._qearr[idx] + lin._learr[idx])
    return out


def quad_terms(qe):
    """The raw term lists of a QuadExpr: coefficients and variables by identity."""
    return list(qe.coeffs), [id(v) for v in qe.vars1], [id(v) for v in qe.vars2]


def coo(data, rows, cols, shape, itype=np.int32):
    """A float64 COO matrix whose index arrays have the given dtype (as stored)."""
    Q = sp.coo_matrix((np.array(data, dtype=float), (rows, cols)), shape=shape)
    Q.coords = tuple(c.astype(itype) for c in Q.coords)  # SciPy would pick int32
    return Q


@pytest.fixture
def u(model):
    u = model.addMVar(4)
    model.update()
    return u


def compact(model, parts, shape=()):
    """A compact expression of the given shape over new variables, one part per matrix."""
    qp = []
    for Q in parts:
        a, b = model.addMVar(Q.shape[0]), model.addMVar(Q.shape[1])
        qp.append((a, Q, b))
    model.update()
    return MQuadExpr(quadparts=qp, ndle=MLinExpr.zeros(shape))


# --- storage states -------------------------------------------------------------------


def test_states_and_ownership(model, x):
    parts = [(x, coo([2.0], [0], [1], (3, 3)), x)]
    le = MLinExpr.zeros(())
    q = MQuadExpr(quadparts=parts, ndle=le)
    assert q._is_compact and q._quadparts is parts and q._ndle is le and q._qearr is None
    assert (q.shape, q.ndim, q.size) == ((), 0, 1)
    cells = np.array([QuadExpr() for _ in range(3)], dtype=object)
    full = MQuadExpr(cells, None, MLinExpr.zeros(3))
    assert not full._is_compact and full._qearr is cells and full._quadparts is None
    assert (full.shape, full.ndim, full.size) == ((3,), 1, 3)
    empty = MQuadExpr(quadparts=[], ndle=MLinExpr.zeros((0,)))
    assert empty._is_compact and empty.size == 0 and empty.shape == (0,)


def _bad_parts(x):
    Q = coo([1.0], [0], [0], (3, 3))
    return {
        "no ndle": dict(quadparts=[]),
        "neither state": dict(ndle=MLinExpr.zeros(())),
        "both states": dict(qearr=np.empty((), dtype=object), quadparts=[], ndle=MLinExpr.zeros(())),
        "shape mismatch": dict(qearr=np.empty(2, dtype=object), ndle=MLinExpr.zeros(3)),
        "shape not compact": dict(quadparts=[], ndle=MLinExpr.zeros(2)),
        "parts without cells": dict(quadparts=[(x, Q, x)], ndle=MLinExpr.zeros(0)),
        "csr matrix": dict(quadparts=[(x, Q.tocsr(), x)], ndle=MLinExpr.zeros(())),
        "int data": dict(quadparts=[(x, Q.astype(np.int64), x)], ndle=MLinExpr.zeros(())),
        "x length": dict(quadparts=[(x[:2], Q, x)], ndle=MLinExpr.zeros(())),
        "y not MVar": dict(quadparts=[(x, Q, x._vararr)], ndle=MLinExpr.zeros(())),
    }


@pytest.mark.parametrize(
    "case",
    ["no ndle", "neither state", "both states", "shape mismatch", "shape not compact",
     "parts without cells", "csr matrix", "int data", "x length", "y not MVar"],
)
def test_constructor_asserts(x, case):
    kw = _bad_parts(x)[case]
    with pytest.raises(AssertionError) as err:
        MQuadExpr(**kw)
    assert str(err.value) == ""


def test_constructor_under_optimize():
    # Assertions are skipped, but the part list is still walked and unpacked.
    run_optimized(
        """
        import numpy as np, scipy.sparse as sp
        import zudirivi as tvp
        from zudirivi._arrayexpr import MQuadExpr, MLinExpr
        m = tvp.Model(); x = m.addMVar(3); m.update()
        q = MQuadExpr(quadparts=[(x, sp.eye(3, format="csr"), x)], ndle=MLinExpr.zeros(2))
        print(q._is_compact, q.shape)
        for bad in ([(x, x)], None):
            try:
                MQuadExpr(quadparts=bad, ndle=MLinExpr.zeros(()))
            except (TypeError, ValueError) as e:
                print(type(e).__name__)
        try:
            MQuadExpr(quadparts=[(x, np.eye(3).ravel(), x)], ndle=MLinExpr.zeros(()))
        except ValueError as e:
            print("shape", type(e).__name__)
        """,
        expected="True (2,)\nValueError\nTypeError\nshape ValueError",
    )


@pytest.mark.parametrize(
    "shape, ok",
    [((), True), ((1,), True), ((1, 1), True), ((0,), True), ((0, 0), True), ((0, 1), True),
     ((1, 0), True), ((2,), False), ((1, 2), False), ((2, 1), False), ((2, 0), False),
     ((0, 2), False), ((1, 1, 1), False), ([1], True)],
)
def test_allows_compact(shape, ok):
    assert MQuadExpr._allows_compact(shape) is ok


def test_allows_compact_needs_a_length():
    with pytest.raises(TypeError):
        MQuadExpr._allows_compact(3)


# --- item() ---------------------------------------------------------------------------


def test_item_of_compact_merges_and_copies(model):
    q = compact(model, [coo([1.0], [0], [0], (1, 1)), coo([2.0, 3.0], [0, 1], [1, 0], (2, 2))],
                shape=(1, 1))
    q._ndle += 4.0
    qe = q.item()
    assert isinstance(qe, QuadExpr) and qe.size() == 3 and qe.getConstant() == 4.0
    assert q._is_compact and len(q._quadparts) == 1
    before = qcells(q)
    qe.clear()
    assert (qcells(q) == before).all()


def test_item_of_full(x, y):
    q = (x * y)[1]
    q._ndle += x[0]
    qe = q.item()
    assert qe is not q._qearr.item()
    assert qcanon(qe) == qcanon(q._qearr.item() + q._ndle.item())
    qe.clear()
    assert q._qearr.item().size() == 1
    with pytest.raises(ValueError):
        (x * y).item()


# --- quad parts -------------------------------------------------------------------------


def test_add_quadpart_stores_float_coo(model):
    q = MQuadExpr.zeros((1,))
    a, b = model.addMVar(1), model.addMVar(1)
    q._add_quadpart(a, np.array([[2.0]]), b)
    (x, Q, y), = q._quadparts
    assert x is a and y is b and Q.format == "coo" and Q.dtype == np.float64
    assert Q.toarray().tolist() == [[2.0]]
    given = coo([1.0], [0], [0], (1, 1))
    q._add_quadpart(a, given, b)
    assert q._quadparts[1][1].data is given.data
    q._add_quadpart(a, given.astype(np.int64), b)
    assert q._quadparts[2][1].dtype == np.float64


def test_add_quadpart_refuses(model):
    a = model.addMVar(1)
    with pytest.raises(AssertionError):
        MQuadExpr.zeros((0,))._add_quadpart(a, np.ones((1, 1)), a)
    with pytest.raises(AssertionError):
        MQuadExpr.zeros(())._add_quadpart(a, np.ones((2, 1)), a)


def test_concat_quadparts(model):
    Qs = [coo([1.0], [0], [0], (1, 1)), coo([2.0, 3.0], [0, 1], [2, 0], (2, 3)),
          coo([4.0], [0], [1], (1, 2))]
    q = compact(model, Qs)
    given = q._quadparts
    originals = list(given)
    value = qcells(q)
    q._concat_quadparts()
    assert q._quadparts is not given and given == originals
    (x, Q, y), = q._quadparts
    assert x.shape == (4,) and y.shape == (6,) and Q.format == "coo" and Q.shape == (4, 6)
    assert (Q.toarray() == sp.block_diag(Qs).toarray()).all()
    assert [v for v in x._vararr] == [v for p in originals for v in p[0]._vararr]
    assert (qcells(q) == value).all()
    one = q._quadparts
    q._concat_quadparts()
    assert q._quadparts is one


def test_extract_xQy(model):
    q = MQuadExpr.zeros(())
    assert q._extract_xQy() == (None, None, None)
    q = compact(model, [coo([1.0], [0], [0], (1, 1)), coo([2.0], [0], [0], (1, 1))])
    part = q._extract_xQy()
    assert part is q._quadparts[0] and part[1].shape == (2, 2)


@pytest.mark.parametrize("itype", [np.int32, np.int64])
def test_extract_quadexpr_keeps_every_stored_entry(model, itype):
    # Duplicates and explicit zeros stay, in storage order.
    Q = coo([2.5, 1.0, 0.0], [0, 0, 1], [1, 1, 0], (2, 2), itype)
    assert Q.row.dtype == itype
    q = compact(model, [Q])
    x, _, y = q._quadparts[0]
    qe = q._extract_quadexpr()
    assert qe.getLinExpr().size() == 0
    assert quad_terms(qe) == ([2.5, 1.0, 0.0], [id(x._vararr[0]), id(x._vararr[0]),
                                                id(x._vararr[1])],
                              [id(y._vararr[1]), id(y._vararr[1]), id(y._vararr[0])])
    assert MQuadExpr.zeros(())._extract_quadexpr().size() == 0


def test_extract_quadexpr_index_out_of_range(model):
    q = compact(model, [coo([1.0], [0], [0], (1, 1))])
    x, Q, y = q._quadparts[0]
    Q.col[0] = 5
    with pytest.raises(IndexError):
        q._extract_quadexpr()


# --- conversion ---------------------------------------------------------------------------


def test_to_full(model):
    q = compact(model, [coo([1.0], [0], [0], (1, 1)), coo([2.0], [0], [0], (1, 1))])
    q._ndle += 3.0
    f = q._to_full()
    assert type(f) is MQuadExpr and not f._is_compact and f.shape == ()
    assert q._is_compact and len(q._quadparts) == 1
    cell = f._qearr.item()
    assert cell.coeffs == [1.0, 2.0] and cell.getLinExpr().size() == 0
    assert f._ndle is not q._ndle and (qcells(f) == qcells(q)).all()
    g = q._to_full()
    assert g._qearr.item() is not cell
    cell.clear()
    assert g._qearr.item().size() == 2


@pytest.mark.parametrize("shape", [(), (0,), (1, 0), (1,)])
def test_to_full_without_parts(shape):
    f = MQuadExpr.zeros(shape)._to_full()
    assert f.shape == shape and f._qearr.shape == shape
    assert all(isinstance(c, QuadExpr) and c.size() == 0 for c in f._qearr.flat)


def test_convert_to_full(model, x, y):
    q = compact(model, [coo([1.0], [0], [0], (1, 1))])
    ndle = q._ndle
    assert q._convert_to_full() is None
    assert q._quadparts is None and q._qearr.shape == () and not q._is_compact
    assert q._ndle is not ndle
    full = x * y
    ndle = full._ndle
    qearr = full._qearr
    full._convert_to_full()
    assert full._ndle is ndle and full._qearr is qearr


# --- printing --------------------------------------------------------------------------


def test_repr_markers_and_merging(model):
    q = compact(model, [coo([1.0], [0], [0], (1, 1)), coo([2.0], [0], [0], (1, 1))])
    first = repr(q)
    assert first.startswith("<MQuadExpr ()   >\narray(") and first.endswith(")")
    second = repr(q)
    assert second.startswith("<MQuadExpr ()  >\n") and second.split("\n", 1)[1] == first.split("\n", 1)[1]
    assert q._is_compact and q._ndle._is_compact
    assert repr(MQuadExpr.zeros(())) == "<MQuadExpr () >\narray( 0.0)"


def test_repr_full(x, y):
    q = x * y
    text = repr(q)
    assert text.startswith("<MQuadExpr (3,)>\narray([ ") and text.endswith("])")
    assert "dtype" not in text and str(q) == text
    assert repr(MQuadExpr._zeros_full((0,))) == "<MQuadExpr (0,)>\narray([])"
    assert repr(MQuadExpr.zeros((0,))) == "<MQuadExpr (0,) >\narray([])"


def test_leaks_core(model, x, y):
    Q = coo([1.0, 2.0], [0, 1], [1, 2], (3, 3))

    def build():
        q = MQuadExpr(quadparts=[(x, Q, y), (y, Q, x)], ndle=MLinExpr.zeros(()))
        q._extract_quadexpr()
        q._convert_to_full()
        repr(q)
        q.item()

    assert_no_leak(build)
