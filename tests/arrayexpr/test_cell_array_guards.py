"""Cell arrays the expression classes can be handed that break their
invariants: arrays of numbers in place of object arrays, object arrays in
unaligned memory, a quadratic part whose cells do not match its linear part
(accepted when assertions are off), operands whose shapes lie. Each must be
refused with NumPy's exception, or read correctly, never read past its memory.
Also: the conversion of cell values to float64, and the order in which the
assertions read their two sides."""

import json
import subprocess
import sys
import textwrap
from fractions import Fraction

import numpy as np
import pytest
import scipy.sparse as sp

import zudirivi as tvp
from zudirivi import MLinExpr, MQuadExpr, MVar

from helpers import run_optimized, subprocess_env

# ---------------------------------------------------------------------------
# Number arrays where cells belong: refused before any cell is touched
# ---------------------------------------------------------------------------

# The child's set-up: `le()` is an MLinExpr over float64 numbers, `qe()` an
# MQuadExpr over int64 numbers with a sound linear part (constants 1, 2, 3),
# `Fake` an MVar stand-in over numbers.
SETUP = """
import numpy as np, scipy.sparse as sp, zudirivi as tvp
from zudirivi import MLinExpr, MQuadExpr, MVar
m = tvp.Model(); x = m.addMVar(3); m.update(); m._loadSolution(np.zeros(3))
def le():
    return MLinExpr(np.zeros(3) + 5.0)
def qe():
    ndle = MLinExpr._zeros_full((3,))
    ndle += np.array([1.0, 2.0, 3.0])
    return MQuadExpr(qearr=np.arange(3) + 1000, ndle=ndle)
class Fake:
    shape = (3,)
    _vararr = np.zeros(3)
def state(e):
    cells = e._learr if isinstance(e, MLinExpr) else e._qearr
    lin = [] if isinstance(e, MLinExpr) else e._ndle.getConstant().tolist()
    return [cells.dtype.str, cells.tolist(), lin]
"""

# (route, statement on `e`, made by the expression; None: a statement alone)
REFUSED = [
    ("_clear_quad_array", None, "MQuadExpr._clear_quad_array(np.arange(3) + 1000)"),
    ("_split_lin_quad", None, "MLinExpr._split_lin_quad(np.zeros(3))"),
    ("_from_mvar_times_mvar", None, "MQuadExpr._from_mvar_times_mvar(Fake(), x)"),
    ("_from_mvar_full", None, "MLinExpr._from_mvar_full(Fake())"),
    ("vstack", None, "tvp.vstack([qe(), qe()])"),
    ("lin copy", "le()", "e.copy()"),
    ("lin clear", "le()", "e.clear()"),
    ("lin _normalize", "le()", "e._normalize()"),
    ("lin _flatten", "le()", "e._flatten()"),
    ("lin sum", "le()", "e.sum()"),
    ("lin sum axis", "le()", "e.sum(0)"),
    ("lin getValue", "le()", "e.getValue()"),
    ("lin getConstant", "le()", "e.getConstant()"),
    ("lin fancy index", "le()", "e[[0, 2]]"),
    ("lin mask index", "le()", "e[np.array([True, False, True])]"),
    ("lin e[0] = 1", "le()", "e[0] = 1.0"),
    ("lin e[:] = x", "le()", "e[:] = x"),
    ("lin e[:] = 2x", "le()", "e[:] = 2 * x"),
    ("lin e[:] = array", "le()", "e[:] = np.ones(3)"),
    ("lin += 1", "le()", "e += 1.0"),
    ("lin += x", "le()", "e += x"),
    ("lin *= 2", "le()", "e *= 2.0"),
    ("lin * 2", "le()", "e * 2.0"),
    ("lin * array", "le()", "e * np.ones(3)"),
    ("lin -e", "le()", "-e"),
    ("lin ** 2", "le()", "e ** 2"),
    ("lin * lin", "le()", "e * le()"),
    ("lin @ array", "le()", "MLinExpr(np.zeros((2, 3))) @ np.ones(3)"),
    ("array @ lin", "le()", "np.ones((2, 3)) @ e"),
    ("quad copy", "qe()", "e.copy()"),
    ("quad clear", "qe()", "e.clear()"),
    ("quad _normalize", "qe()", "e._normalize()"),
    ("quad _flatten", "qe()", "e._flatten()"),
    ("quad sum", "qe()", "e.sum()"),
    ("quad getValue", "qe()", "e.getValue()"),
    ("quad fancy index", "qe()", "e[[0, 2]]"),
    ("quad mask index", "qe()", "e[np.array([True, False, True])]"),
    ("quad e[:] = x", "qe()", "e[:] = x"),
    ("quad e[:] = x * x", "qe()", "e[:] = x * x"),
    ("quad += x * x", "qe()", "e += x * x"),
    ("quad += QuadExpr", "qe()", "e += (x[0] * x[0]).item()"),
    ("quad into zeros", "qe()", "z = MQuadExpr._zeros_full((3,)); z += e"),
    ("quad *= 2", "qe()", "e *= 2.0"),
    ("quad *= array", "qe()", "e *= np.ones(3)"),
    ("quad * 2", "qe()", "e * 2.0"),
    ("quad / 2", "qe()", "e / 2.0"),
    ("quad -e", "qe()", "-e"),
    ("quad @ array", "qe()", "e @ np.ones(3)"),
    ("array @ quad", "qe()", "np.ones((2, 3)) @ e"),
    ("sparse @ quad", "qe()", "sp.csr_matrix(np.ones((2, 3))) @ e"),
]

# Routes that clear the linear part before they reach the cells.
LINEAR_FIRST = {"quad clear"}

CHILD = SETUP + """
import json, sys
for name, make, stmt in json.loads(sys.argv[1]):
    e = eval(make) if make else None
    before = state(e) if make else None
    try:
        exec(stmt)
        out = {"exc": None}
    except Exception as exc:
        out = {"exc": type(exc).__name__, "msg": str(exc)}
    out["same"] = state(e) == before if make else True
    print(json.dumps([name, out]), flush=True)
"""


@pytest.fixture(scope="module")
def refusals():
    """Every route of REFUSED, run in one child interpreter: route -> result.
    A route that ends the child has no result; the child's exit is kept."""
    proc = subprocess.run([sys.executable, "-c", CHILD, json.dumps(REFUSED)],
                          env=subprocess_env(), capture_output=True, text=True, timeout=300)
    results = dict(json.loads(line) for line in proc.stdout.splitlines())
    return results, proc


@pytest.mark.parametrize("name", [r[0] for r in REFUSED])
def test_number_cells_are_refused(refusals, name):
    results, proc = refusals
    assert name in results, (
        f"the child ended with {proc.returncode} before this route\n{proc.stderr[-2000:]}")
    out = results[name]
    assert out["exc"] == "TypeError", out
    assert out["msg"].startswith("Expected an array of objects, got an array of dtype "), out
    if name not in LINEAR_FIRST:
        assert out["same"], "the expression changed before the refusal"


def test_refusal_names_the_dtype():
    with pytest.raises(TypeError, match="^Expected an array of objects, got an array of "
                                        "dtype int64$"):
        MQuadExpr._clear_quad_array(np.arange(3, dtype=np.int64))
    with pytest.raises(TypeError, match="dtype float64$"):
        MLinExpr(np.zeros((2, 2))).copy()


def test_number_cells_leave_values_alone(model, x):
    # The refusal comes before the linear part takes a value.
    ndle = MLinExpr._zeros_full((3,))
    q = MQuadExpr(qearr=np.zeros(3), ndle=ndle)
    for stmt in (lambda: q.__setitem__(slice(None), 4.0),
                 lambda: q.__setitem__(slice(None), x * x),
                 lambda: q.__imul__(3.0),
                 lambda: q.__iadd__(x * x)):
        with pytest.raises(TypeError):
            stmt()
        assert q._ndle is ndle and np.array_equal(ndle.getConstant(), np.zeros(3))


# ---------------------------------------------------------------------------
# Object cells in unaligned memory (a field of a structured array)
# ---------------------------------------------------------------------------

UNALIGNED = SETUP + """
s = np.zeros(3, dtype=[("pad", "i1"), ("cell", "O")])
for i in range(3):
    s["cell"][i] = 2.0 * x[i].item() + i
cells = s["cell"]
assert not cells.flags.aligned
e = MLinExpr(cells)
print(e.copy().getConstant().tolist(), e.sum().getConstant().tolist(),
      e.getValue().tolist(), (e * 2.0).getConstant().tolist())
e.clear()
print([c.size() for c in cells], [c.getConstant() for c in cells])
q = MQuadExpr._zeros_full((3,))
s["cell"] = q._qearr
q2 = MQuadExpr(qearr=s["cell"], ndle=MLinExpr._zeros_full((3,)))
q2 += x * x
print([c.size() for c in q._qearr], (np.ones((2, 3)) @ q2).shape)
"""


def test_unaligned_cells_are_read_whole():
    # Read through an aligned copy: the sanitizer build refuses a pointer read
    # from unaligned memory.
    proc = subprocess.run([sys.executable, "-c", UNALIGNED], env=subprocess_env(),
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.split("\n")[:3] == [
        "[0.0, 1.0, 2.0] 3.0 [0.0, 1.0, 2.0] [0.0, 2.0, 4.0]",
        "[0, 0, 0] [0.0, 0.0, 0.0]",
        "[1, 1, 1] (2,)",
    ]


# ---------------------------------------------------------------------------
# Products sized from the arrays they read
# ---------------------------------------------------------------------------

MISMATCH = "matmul: Input operand 1 has a mismatch in its core dimension 0"


def test_mismatched_halves_under_optimize():
    # With assertions off the constructor takes cells that do not match the
    # linear part; the products size their loops from the cells they read.
    out = run_optimized(SETUP + textwrap.dedent("""
        one = np.array([tvp.QuadExpr()], dtype=object)
        zero_d = np.empty((), dtype=object); zero_d[()] = tvp.QuadExpr()
        cases = [
            ("M @ q", lambda: np.ones((2, 3)) @ MQuadExpr(qearr=one, ndle=MLinExpr.zeros((3,)))),
            ("S @ q", lambda: sp.csr_matrix(np.ones((2, 3)))
                              @ MQuadExpr(qearr=one, ndle=MLinExpr.zeros((3,)))),
            ("q @ v", lambda: MQuadExpr(qearr=one, ndle=MLinExpr.zeros((3,))) @ np.ones(3)),
            ("q @ M", lambda: MQuadExpr(qearr=one, ndle=MLinExpr.zeros((3,)))
                              @ np.ones((3, 2))),
            ("M @ q0", lambda: np.ones((2, 3)) @ MQuadExpr(qearr=zero_d,
                                                           ndle=MLinExpr.zeros((3,)))),
        ]
        for name, f in cases:
            try:
                f()
                print(name, "accepted")
            except Exception as exc:
                print(name, type(exc).__name__, exc)
        """))
    lines = out.strip().split("\n")
    names = ["M @ q", "S @ q", "q @ v", "q @ M"]
    assert [line.startswith(f"{n} ValueError {MISMATCH}") for n, line in zip(names, lines)] == [
        True] * 4, lines
    # A 0-d cell array: NumPy's product refuses it.
    assert lines[4].startswith("M @ q0 ValueError matmul: Input operand 1 does not have enough")


def test_matching_halves_keep_their_product(model):
    x = model.addMVar((3, 2))
    q = x * x
    m, n = np.arange(6.0).reshape(2, 3), np.arange(8.0).reshape(2, 4)
    model.update()
    model._loadSolution(np.arange(1.0, 7.0))
    xs = np.arange(1.0, 7.0).reshape(3, 2)
    for res, ref in ((m @ q, m @ xs**2), (q @ n, xs**2 @ n), (m[0] @ q, m[0] @ xs**2),
                     (q[:, 0] @ m[1], m[1] @ xs[:, 0]**2), (q @ sp.csr_matrix(n), xs**2 @ n)):
        assert res.shape == ref.shape and np.allclose(res.getValue(), ref)


class Posing(MVar):
    """An MVar that reports a shape its element array does not have."""

    def __init__(self, arr, shape):
        super().__init__(arr)
        self.__dict__["posed"] = shape

    @property
    def shape(self):
        return self.posed


@pytest.mark.parametrize("build", [
    lambda v: MLinExpr._from_matmul_right_ndarray(np.ones((2, 5)), Posing(v, (5, 2))),
    lambda v: MLinExpr._from_matmul_right_spmatrix(sp.csr_matrix(np.ones((2, 5))),
                                                   Posing(v, (5, 2))),
    lambda v: MLinExpr._from_matmul_left_ndarray(Posing(v.T, (2, 5)), np.ones((5, 2))),
    lambda v: MLinExpr._from_matmul_left_spmatrix(Posing(v.T, (2, 5)),
                                                  sp.csc_matrix(np.ones((5, 2)))),
], ids=["A @ x", "S @ x", "x @ A", "x @ S"])
def test_product_builders_size_from_the_variables(model, build):
    v = model.addMVar((3, 2))._vararr
    with pytest.raises(ValueError, match=MISMATCH):
        build(v)


def test_compact_scaling_by_an_operand_that_is_not_an_array():
    # A direct call: the operand's fields are not read as an array's.
    proc = subprocess.run([sys.executable, "-c", SETUP + textwrap.dedent("""
        v = m.addMVar(()); m.update(); m._loadSolution([0.0, 0.0, 0.0, 3.0])
        q = v * v + 1
        try:
            q._imul_compact_ndarray([2.0])
        except TypeError as exc:
            print("TypeError")
        q = v * v + 1
        q._imul_compact_ndarray(np.float64(2.0))
        print(q.getValue())
        """)], env=subprocess_env(), capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.split() == ["TypeError", "20.0"]


# ---------------------------------------------------------------------------
# Cell values converted to float64 as NumPy converts objects
# ---------------------------------------------------------------------------

class QuadCell(tvp.QuadExpr):
    def getValue(self):
        return self.v


class LinCell(tvp.LinExpr):
    def getValue(self):
        return self.v

    def getConstant(self):
        return self.v


def values_of(v):
    """(MQuadExpr.getValue, MLinExpr.getValue, MLinExpr.getConstant) over two
    cells, the second answering `v`."""
    q, le = QuadCell(), LinCell()
    q.v = le.v = v
    mq = MQuadExpr(qearr=np.array([tvp.QuadExpr(), q], dtype=object),
                   ndle=MLinExpr._zeros_full((2,)))
    cells = np.empty(2, dtype=object)
    cells[:] = [tvp.LinExpr(), le]
    ml = MLinExpr(cells)
    return mq.getValue, ml.getValue, ml.getConstant


@pytest.mark.parametrize("v", ["3.5", b"2.5", None, 3, Fraction(1, 4), np.float32(1.5), True,
                               "abc", 1j, [1.0], 2**2000],
                         ids=repr)
def test_cell_values_convert_as_numpy_does(v):
    ref = np.vectorize(lambda c: v, otypes=["float"])
    try:
        expected = ref(np.empty(1, dtype=object))[0]
    except Exception as exc:
        for f in values_of(v):
            with pytest.raises(type(exc)):
                f()
        return
    for f in values_of(v):
        got = f()
        assert got.dtype == np.float64
        assert got[0] == 0.0 and (got[1] == expected or np.isnan(expected) and np.isnan(got[1]))


# ---------------------------------------------------------------------------
# Assertions read their left side first
# ---------------------------------------------------------------------------

class Shaped:
    """Reports its shape and dimension count and notes each read in `log`."""

    def __init__(self, log, name, shape):
        self.log, self.name, self._shape = log, name, shape

    @property
    def shape(self):
        self.log.append(self.name + ".shape")
        return self._shape

    @property
    def ndim(self):
        self.log.append(self.name + ".ndim")
        return len(self._shape)


def test_constructor_reads_cells_shape_first():
    log = []
    with pytest.raises(AssertionError):
        MQuadExpr(qearr=Shaped(log, "qearr", (2,)), ndle=Shaped(log, "ndle", (3,)))
    assert log == ["qearr.shape", "ndle.shape"]


def test_state_test_reads_cells_shape_first():
    log = []
    q = MQuadExpr._zeros_full((2,))
    q._qearr, q._ndle = Shaped(log, "qearr", (2,)), Shaped(log, "ndle", (3,))
    with pytest.raises(AssertionError):
        q._is_compact
    assert log == ["qearr.shape", "ndle.shape"]


@pytest.mark.parametrize("qshape, expected", [
    ((2, 1), ["Q.shape", "x.shape"]),
    ((1, 2), ["Q.shape", "x.shape", "Q.shape", "y.shape"]),
])
def test_add_quadpart_reads_matrix_shape_first(qshape, expected):
    log = []
    q = MQuadExpr.zeros(())
    with pytest.raises(AssertionError):
        q._add_quadpart(Shaped(log, "x", (1,)), Shaped(log, "Q", qshape), Shaped(log, "y", (1,)))
    assert log == ["x.ndim", "Q.ndim", "y.ndim"] + expected


def test_add_matmul_part_reads_matrix_shape_first():
    log = []
    e = MLinExpr.zeros(3)
    with pytest.raises(AssertionError):
        e._add_matmul_part(Shaped(log, "A", (3, 2)), Shaped(log, "x", (3,)))
    assert log == ["A.ndim", "x.ndim", "A.shape", "A.shape", "x.shape"]
