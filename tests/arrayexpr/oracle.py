"""Cell oracles shared by the expression-array tests: canonical forms of
expression cells, computed through the core objects' own public methods, so
that a result can be compared with what the core's operators would give.
"""

import numpy as np
import scipy.sparse as sp

import zudirivi as tvp
from zudirivi._arrayexpr import MLinExpr, MVar
from zudirivi._core import LinExpr, QuadExpr


# --- raw cell contents ------------------------------------------------------------


def terms(le):
    """A LinExpr's record as it stands: constant, coefficients, variables by identity."""
    return le.constant, list(le.coef_list), [id(v) for v in le.var_list]


def full(e):
    """The raw contents of every cell of a full-state MLinExpr, in row-major order."""
    return [terms(le) for le in e._learr.flat]


def zero_d(cell):
    """A 0-dimensional object array holding `cell`."""
    out = np.empty((), dtype=object)
    out[()] = cell
    return out


# --- canonical forms ----------------------------------------------------------------


def _rounded(terms_):
    return {k: round(c, 9) for k, c in terms_.items() if c != 0.0}


def canon(le):
    """A LinExpr as (constant, {id(var): coefficient}), zero terms dropped."""
    t = {}
    for i in range(le.size()):
        v = le.getVar(i)
        t[id(v)] = t.get(id(v), 0.0) + le.getCoeff(i)
    return round(le.getConstant(), 9), _rounded(t)


def qcanon(qe):
    """A QuadExpr as (constant, {id(var): coef}, {(id(v1), id(v2)) sorted: coef})."""
    const, lin = canon(qe.getLinExpr())
    q = {}
    for i in range(qe.size()):
        key = tuple(sorted((id(qe.getVar1(i)), id(qe.getVar2(i)))))
        q[key] = q.get(key, 0.0) + qe.getCoeff(i)
    return const, lin, _rounded(q)


def cells(e):
    """The cells of an MLinExpr in canonical form, as an object array."""
    f = e._to_full() if e._is_compact else e
    out = np.empty(f.shape, dtype=object)
    for idx in np.ndindex(f.shape):
        out[idx] = canon(f._learr[idx])
    return out


def operand_cells(o):
    """The canonical cells of any linear operand, as an array that broadcasts."""
    if isinstance(o, MLinExpr):
        return cells(o)
    if isinstance(o, MVar):
        out = np.empty(o.shape, dtype=object)
        for idx in np.ndindex(o.shape):
            out[idx] = (0.0, {id(o._vararr[idx]): 1.0})
        return out
    if isinstance(o, tvp.Var):
        return zero_d((0.0, {id(o): 1.0}))
    if isinstance(o, LinExpr):
        return zero_d(canon(o))
    if isinstance(o, QuadExpr):
        raise TypeError("operand_cells: linear operands only")
    if sp.issparse(o):
        o = o.toarray()
    arr = np.asarray(o, dtype=float)
    out = np.empty(arr.shape, dtype=object)
    for idx in np.ndindex(arr.shape):
        out[idx] = (float(arr[idx]), {})
    return out


def combine(a, b, fa=1.0, fb=1.0):
    """fa * a + fb * b, cell by cell with broadcasting."""
    def one(x, y):
        t = {k: fa * c for k, c in x[1].items()}
        for k, c in y[1].items():
            t[k] = t.get(k, 0.0) + fb * c
        return round(fa * x[0] + fb * y[0], 9), _rounded(t)
    return np.frompyfunc(one, 2, 1)(a, b)


def scaled(a, f):
    """Cells of a times the numbers f (broadcast)."""
    def one(x, y):
        return (round(x[0] * y, 9), {k: round(c * y, 9) for k, c in x[1].items() if c * y != 0.0})
    return np.frompyfunc(one, 2, 1)(a, np.asarray(f, dtype=float))


def same(a, b):
    """Two arrays of canonical linear cells are equal, shape included."""
    a, b = np.asarray(a, dtype=object), np.asarray(b, dtype=object)
    assert a.shape == b.shape
    assert [tuple(sorted(c[1].items())) + (c[0],) for c in a.flat] == \
        [tuple(sorted(c[1].items())) + (c[0],) for c in b.flat]
