"""MQuadExpr arithmetic: +, -, *, / in plain, reflected and in-place form,
comparisons, unary operators and powers, checked by value under a loaded
solution and by storage state."""

import numpy as np
import pytest
import scipy.sparse as sp

from helpers import assert_no_leak, run_optimized
from oracle import qcanon
from test_mquadexpr_core import coo, qcells
import zudirivi as tvp
from zudirivi._arrayexpr import MLinExpr, MNLExpr, MQuadExpr


@pytest.fixture
def keep_compact(monkeypatch):
    def set_to(value):
        monkeypatch.setattr(MQuadExpr, "_keep_compact", value)

    return set_to


class Fix:
    """A model with a loaded solution and expressions of both states."""

    def __init__(self):
        m = self.m = tvp.Model()
        self.x, self.y = m.addMVar(3), m.addMVar(3)
        self.a, self.b = m.addMVar(()), m.addMVar(())
        self.u, self.w = m.addMVar((2, 3)), m.addMVar((2, 3))
        self.v = m.addVar()
        m.update()
        m._loadSolution(np.random.default_rng(2).random(m.NumVars).tolist())

    def compact(self):
        q = self.a * self.b
        q += 2.0 * self.a + 1.0
        return q

    def full(self):
        q = self.x * self.y
        q += np.arange(3.0) * self.x + 1.0
        return q

    def full2(self):
        return self.u * self.w


@pytest.fixture
def f():
    return Fix()


def val(o):
    """The value of any operand under the loaded solution."""
    if isinstance(o, (MQuadExpr, MLinExpr)):
        return o.getValue()
    if isinstance(o, tvp.MVar):
        return o.X
    if isinstance(o, tvp.Var):
        return o.X
    if isinstance(o, (tvp.LinExpr, tvp.QuadExpr)):
        return o.getValue()
    if sp.issparse(o):
        return o.toarray()
    return np.asarray(o, dtype=float)


def operands(f):
    return {
        "number": 2.5, "int": 3, "ndarray": np.array([1.0, 2.0, 3.0]), "0-d": np.array(4.0),
        "sparse": sp.csr_matrix(np.array([[1.0, 0.0, 2.0]])), "var": f.v,
        "linexpr": 2.0 * f.v + 1.0, "quadexpr": f.v * f.v + f.v,
        "mvar": f.x, "mlinexpr": 2.0 * f.x + 1.0, "compact": f.compact(), "full": f.full(),
    }


OPERANDS = ["number", "int", "ndarray", "0-d", "sparse", "var", "linexpr", "quadexpr", "mvar",
            "mlinexpr", "compact", "full"]


# --- addition and subtraction --------------------------------------------------------------


@pytest.mark.parametrize("kind", OPERANDS)
@pytest.mark.parametrize("state", ["compact", "full"])
def test_add_and_sub_by_value(f, state, kind):
    q = f.compact() if state == "compact" else f.full()
    o = operands(f)[kind]
    before = qcells(q)
    want_add = val(q) + val(o)
    for r in (q + o, o + q):
        assert type(r) is MQuadExpr
        np.testing.assert_allclose(r.getValue(), want_add)
    if kind != "sparse":
        np.testing.assert_allclose((q - o).getValue(), val(q) - val(o))
        np.testing.assert_allclose((o - q).getValue(), val(o) - val(q))
    assert (qcells(q) == before).all()


@pytest.mark.parametrize(
    "kind, compact",
    [("number", True), ("var", True), ("linexpr", True), ("quadexpr", False), ("0-d", True),
     ("ndarray", False), ("compact", True), ("full", False)],
)
def test_add_result_state(f, kind, compact):
    q = f.compact()
    r = q + operands(f)[kind]
    assert r._is_compact is compact and q._is_compact


def test_compact_plus_array_spreads_fresh_cells(f):
    q = f.compact()
    r = q + np.array([1.0, 2.0, 3.0])
    assert r.shape == (3,) and len({id(c) for c in r._qearr}) == 3
    assert [c[0] for c in qcells(r)] == [2.0, 3.0, 4.0] and q._is_compact


def test_compact_plus_compact_merges_parts(f):
    q, r = f.compact(), f.compact()
    q_parts, r_parts = list(q._quadparts), list(r._quadparts)
    s = q + r
    assert s._is_compact and len(s._quadparts) == 1
    x, Q, y = s._quadparts[0]
    assert x.shape == (2,) and x._vararr[0] is q_parts[0][0]._vararr[0]
    assert q._quadparts == q_parts and r._quadparts == r_parts


def test_compact_plus_zero_copies_part(f):
    q = f.compact()
    s = q + MQuadExpr.zeros(())
    (x, Q, y), = s._quadparts
    assert Q is not q._quadparts[0][1] and x is not q._quadparts[0][0]


def test_full_plus_broadcast(f):
    q, r = f.full2(), f.full()
    cells = list(q._qearr.flat)
    s = q + r
    assert s.shape == (2, 3) and all(a is b for a, b in zip(cells, q._qearr.flat))
    t = q + np.ones((4, 1, 1))
    assert t.shape == (4, 2, 3) and len({id(c) for c in t._qearr.flat}) == 24


def test_add_refusals(f, keep_compact):
    q = f.compact()
    with pytest.raises(TypeError):
        q + [1.0, 2.0]
    with pytest.raises(TypeError):
        [1.0, 2.0] - q
    assert q.__sub__(sp.csr_matrix([[1.0]])) is NotImplemented
    keep_compact(0)
    with pytest.raises(TypeError):
        q + [1.0]
    assert not q._is_compact


def test_compact_sum_without_cells_drops_parts(f):
    q = f.a * f.b
    s = q + np.zeros((0,))
    assert s._is_compact and s.shape == (0,) and s._quadparts == []


def test_nonlinear_addends(f):
    q = f.compact()
    nl = MNLExpr._from_mquadexpr(f.compact())
    assert type(q + nl) is MNLExpr and type(nl + q) is MNLExpr and type(q - nl) is MNLExpr
    assert q._is_compact


def test_isub(f):
    q = f.full()
    want = val(q) - val(f.x)
    r = q
    r -= f.x
    assert r is q
    np.testing.assert_allclose(q.getValue(), want)
    with pytest.raises(TypeError):
        q -= [1.0]


def test_iadd_mvar_rebinds(f):
    q = f.full()
    want = val(q) + val(f.y)
    r = q
    r += f.y
    assert r is not q
    np.testing.assert_allclose(r.getValue(), want)


# --- multiplication and division --------------------------------------------------------------


@pytest.mark.parametrize("state", ["compact", "full"])
@pytest.mark.parametrize("factor", [2.0, 3, np.array(2.0), np.array([1.0, 2.0, 3.0]),
                                    np.array([[2.0]]), sp.csr_matrix([[2.0]])])
def test_mul_and_div_by_value(f, state, factor):
    q = f.compact() if state == "compact" else f.full()
    want = val(q) * val(factor)
    before = val(q)
    for r in (q * factor, factor * q):
        assert type(r) is MQuadExpr
        np.testing.assert_allclose(r.getValue(), want)
    np.testing.assert_allclose((q / factor).getValue(), before / val(factor))
    np.testing.assert_allclose(q.getValue(), before)


@pytest.mark.parametrize(
    "factor, compact", [(2.0, True), (np.array(3.0), True), (np.array([[3.0]]), True),
                        (np.array([1.0, 2.0, 3.0]), False)],
)
def test_mul_result_state(f, factor, compact):
    q = f.a[None] * f.b[None]
    r = q * factor
    assert r._is_compact is compact
    assert q._is_compact is compact  # a product that leaves the compact state converts self


def test_negation_and_plus(f):
    q = f.compact()
    n, p = -q, +q
    np.testing.assert_allclose(n.getValue(), -val(q))
    np.testing.assert_allclose((-n).getValue(), val(q))
    assert p is not q and p._is_compact
    p += 1.0
    np.testing.assert_allclose(p.getValue(), val(q) + 1.0)


@pytest.mark.parametrize("kind", ["var", "linexpr", "quadexpr", "mvar", "mlinexpr", "full"])
def test_nonlinear_factors_and_divisors(f, kind):
    q = f.compact()
    o = operands(f)[kind]
    for r in (q * o, o * q, q / o):
        assert type(r) is MNLExpr
    assert q._is_compact


def test_division_refusals(f):
    q = f.compact()
    with pytest.raises(ZeroDivisionError, match="float division by zero"):
        q / 0
    before = qcells(q)
    with pytest.raises(ZeroDivisionError):
        q /= 0.0
    assert (qcells(q) == before).all()
    with pytest.raises(TypeError):
        q / [1.0, 2.0]
    with np.errstate(divide="ignore"):
        assert type(q / np.array(0.0)) is MQuadExpr
    assert type(2.0 / q) is MNLExpr and type(np.array([1.0, 2.0]) / q) is MNLExpr
    assert type(sp.csr_matrix([[1.0]]) / q) is MNLExpr


def test_itruediv(f):
    q = f.full()
    want = val(q) / 4.0
    r = q
    r /= 4.0
    assert r is q
    np.testing.assert_allclose(q.getValue(), want)
    r /= f.x
    assert type(r) is MNLExpr
    np.testing.assert_allclose(q.getValue(), want)


# --- in-place multiplication ---------------------------------------------------------------


@pytest.mark.parametrize("factor", [2.0, np.array(2.0), np.array([[2.0]]).reshape(()), 0])
def test_imul_compact_keeps_state(f, factor):
    q = f.compact()
    q += f.compact()
    cells_before = len(q._quadparts)
    want = val(q) * val(factor)
    r = q
    r *= factor
    assert r is q and q._is_compact and cells_before == 2 and len(q._quadparts) == 1
    np.testing.assert_allclose(q.getValue(), want)


def test_imul_compact_zero_array(f):
    q = MQuadExpr.zeros(())
    q *= 3
    assert q._quadparts == []


@pytest.mark.parametrize("factor", [np.array([2.0, 3.0]), np.array([[2.0]])])
def test_imul_compact_refuses_shapes(f, factor):
    q = f.a[None] * f.b[None]
    before = qcells(q)
    with pytest.raises(ValueError):
        q *= factor
    assert (qcells(q) == before).all() and q._is_compact


@pytest.mark.parametrize("factor", [np.arange(1.0, 4.0), np.array([[1.0], [2.0]]), np.array(2.0),
                                    sp.csr_matrix(np.arange(6.0).reshape(2, 3))])
def test_imul_full(f, factor):
    q = f.full2()
    cells = list(q._qearr.flat)
    want = val(q) * val(factor)
    q *= factor
    assert all(a is b for a, b in zip(cells, q._qearr.flat))
    np.testing.assert_allclose(q.getValue(), want)


def test_imul_full_refusals_change_nothing(f):
    q = f.full2()
    before = qcells(q)
    for bad in (np.ones((3, 3)), np.array([1j, 2j, 3j])):
        with pytest.raises((ValueError, TypeError)):
            q *= bad
    assert (qcells(q) == before).all()
    q._qearr[1, 1] = 3
    lin = [c[:2] for c in qcells(MQuadExpr._from_mlinexpr(q._ndle)).flat]
    with pytest.raises(TypeError):
        q *= 2.0
    assert [c[:2] for c in qcells(MQuadExpr._from_mlinexpr(q._ndle)).flat] == lin


def test_imul_nonfinite(f):
    q = f.compact()
    with pytest.raises(tvp.TovrixError, match="Multiplier is infinite or NaN"):
        q *= np.array(np.nan)
    r = f.full()
    r._ndle._convert_to_full()
    r *= np.array([np.nan, 1.0, 1.0])
    assert np.isnan(r.getValue()[0])


def test_imul_declined(f, keep_compact):
    q = f.compact()
    r = q
    r *= f.v
    assert type(r) is MNLExpr and q._is_compact
    keep_compact(0)
    with pytest.raises(TypeError):
        q *= [2.0]
    assert not q._is_compact


# --- comparisons and powers -----------------------------------------------------------------


def test_comparisons(f):
    q = f.compact()
    for c, sense, rhs in ((q <= 3, tvp.TVX.LESS_EQUAL, 3), (q >= 2.0, tvp.TVX.GREATER_EQUAL, 2.0),
                          (q == 1, tvp.TVX.EQUAL, 1), (3 <= q, tvp.TVX.GREATER_EQUAL, 3)):
        assert type(c) is tvp.TempConstr and c._lhs is q and c._sense == sense and c._rhs == rhs
    A = np.ones(1)
    c = A <= q
    assert c._lhs is q and c._sense == tvp.TVX.GREATER_EQUAL and c._rhs is A
    assert q._is_compact
    for rhs in (0, q, None):
        with pytest.raises(tvp.TovrixError) as err:
            q != rhs
        assert err.value.errno == 0 and err.value.message == "Inequality constraints not supported"
    with pytest.raises(TypeError):
        hash(q)


def test_powers(f):
    q = f.compact()
    for r in (q ** 2, q ** 1, q ** 0, 2 ** q, np.array([1.0, 2.0]) ** q):
        assert type(r) is MNLExpr
    with pytest.raises(TypeError):
        pow(q, 2, 5)
    with pytest.raises(TypeError):
        [1.0] ** q
    assert q._is_compact


# --- typical roads: quadratic constraints -------------------------------------------------------


def _library():
    import ctypes as C
    import importlib.util
    import os

    from zudirivi import _util

    get = C.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = C.c_void_p, [C.py_object, C.c_char_p]
    ptr = C.PYFUNCTYPE(C.c_void_p, C.py_object)(
        get(_util.__pyx_capi__["_ptr"], b"void *(PyObject *)"))
    (pkg,) = importlib.util.find_spec("zudirivi").submodule_search_locations[:1]
    lib = C.CDLL(os.path.join(pkg, "libtovrix.so"))
    return C, ptr, lib


def qconstr_rows(m):
    """The stored rows of every quadratic constraint, through the library:
    ({column: coefficient}, {(row column, column): coefficient}, sense, rhs)."""
    C, ptr, lib = _library()
    handle = C.c_void_p(ptr(m._cmodel))
    rows = []
    for k, qc in enumerate(m.getQConstrs()):
        nl, nq = C.c_int(), C.c_int()
        assert lib.TVXgetqconstr(handle, k, C.byref(nl), None, None, C.byref(nq), None, None,
                                 None) == 0
        li, lv = (C.c_int * nl.value)(), (C.c_double * nl.value)()
        qr, qc_, qv = (C.c_int * nq.value)(), (C.c_int * nq.value)(), (C.c_double * nq.value)()
        assert lib.TVXgetqconstr(handle, k, C.byref(nl), li, lv, C.byref(nq), qr, qc_, qv) == 0
        lin, quad = {}, {}
        for i, v in zip(li, lv):
            lin[i] = round(lin.get(i, 0.0) + v, 9)
        for i, j, v in zip(qr, qc_, qv):
            key = (min(i, j), max(i, j))
            quad[key] = round(quad.get(key, 0.0) + v, 9)
        rows.append(({i: v for i, v in lin.items() if v}, {k: v for k, v in quad.items() if v},
                     qc.QCSense, qc.QCRHS))
    return rows


@pytest.mark.parametrize("keep", [1, 0])
def test_road_product_plus_constant(keep_compact, keep):
    keep_compact(keep)
    m = tvp.Model()
    x, y = m.addMVar(3), m.addMVar(3)
    mqc = m.addConstr(x * y + 2.0 <= 5.0)
    assert type(mqc) is tvp.MQConstr and mqc.shape == (3,)
    m.update()
    want = [({}, {(i, 3 + i): 1.0}, "<", 3.0) for i in range(3)]
    assert qconstr_rows(m) == want


@pytest.mark.parametrize("state", ["compact", "full"])
def test_road_quadratic_function(state):
    m = tvp.Model()
    x = m.addMVar(3)
    Q = np.array([[1.0, 2.0, 0.0], [0.0, 3.0, 0.0], [4.0, 0.0, 5.0]])
    c = np.array([1.0, 0.0, -2.0])
    q = x @ Q @ x + c @ x
    assert q._is_compact
    if state == "full":
        q._convert_to_full()
    mqc = m.addConstr(q <= 7.0)
    assert type(mqc) is tvp.MQConstr and mqc.shape == ()
    m.update()
    assert qconstr_rows(m) == [({0: 1.0, 2: -2.0},
                                {(0, 0): 1.0, (0, 1): 2.0, (1, 1): 3.0, (0, 2): 4.0, (2, 2): 5.0},
                                "<", 7.0)]


def test_leaks_arith(f):
    q, c = f.full(), f.compact()
    A = np.ones(3)

    def ops():
        q + 1.0
        q + c
        c + c
        c + A
        q - f.x
        2.0 - q
        q * A
        c * 2.0
        -q
        q / 2.0
        r = q.copy()
        r *= A
        r -= f.y
        r /= 2.0
        q <= 1.0

    assert_no_leak(ops)


def test_roads_under_optimize():
    run_optimized(
        """
        import numpy as np
        import zudirivi as tvp
        m = tvp.Model()
        x, y = m.addMVar(3), m.addMVar(3)
        q = x * y + 2.0
        q -= x
        c = m.addConstr(q <= 5.0)
        f = x @ np.eye(3) @ x + np.ones(3) @ x
        print(type(c).__name__, c.shape, f._is_compact, (f * 2.0).sum().shape, (q @ np.ones(3)).shape)
        """,
        expected="MQConstr (3,) True () ()",
    )
