"""MQuadExpr: products of variable arrays, whole-array operations and the
compact quadratic function at scale.

Figures, each a ratio to a baseline of the same size measured in the same run
(best of several runs each):
- x * y / copy / sum / sum axis=0 1000x1000: the full product of two
  (1000, 1000) MVars and copy(), sum(), sum(axis=0) of it, against
  arr.tolist() of 10^6 floats.
- the same at 2000x1000 against tolist() of 2 * 10^6 floats; "growth" figures
  give the time at twice the size over the time at the base size (2 means
  linear).
- quadfun compact 1e5 1e6 nnz: MQuadExpr._from_quadfun(x, Q, x, c, x, d) with
  Q of 10^5 x 10^5 and 10^6 stored entries, against
  scipy.sparse.coo_matrix(Q, copy=True).
- getValue compact 1e6 nnz: getValue() of that expression, against v @ Q @ v
  with a NumPy vector v.
"""

import gc
import time

import numpy as np
import scipy.sparse as sp

from zudirivi._arrayexpr import MQuadExpr
from zudirivi._core import Model


def best(fn, repeat=5):
    times = []
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        keep = fn()
        times.append(time.perf_counter() - t)
        del keep
    return min(times)


def tolist_baseline(n):
    arr = np.random.default_rng(0).random(n)
    return best(lambda: arr.tolist())


def whole_array():
    times = {}
    for rows in (1000, 2000):
        model = Model()
        x, y = model.addMVar((rows, 1000)), model.addMVar((rows, 1000))
        base = tolist_baseline(rows * 1000)
        tag = f"{rows}x1000"
        q = x * y
        assert not q._is_compact
        figures = (("x * y", lambda: x * y), ("copy", lambda: q.copy()),
                   ("sum", lambda: q.sum()), ("sum axis=0", lambda: q.sum(axis=0)))
        for name, fn in figures:
            t = best(fn, repeat=3)
            times[(name, rows)] = t
            print(f"{name} {tag}: {t / base:.2f}")
        del q, x, y, model
        gc.collect()
    for name in ("x * y", "copy", "sum", "sum axis=0"):
        print(f"{name} growth 2x size: {times[(name, 2000)] / times[(name, 1000)]:.2f}")


def compact_function():
    n, nnz = 10**5, 10**6
    model = Model()
    x = model.addMVar(n)
    rng = np.random.default_rng(1)
    Q = sp.random(n, n, density=nnz / (n * n), format="coo", random_state=rng)
    c = rng.random(n)
    base = best(lambda: sp.coo_matrix(Q, copy=True))
    t = best(lambda: MQuadExpr._from_quadfun(x, Q, x, c, x, 1.0))
    print(f"quadfun compact 1e5 1e6 nnz: {t / base:.2f}")
    q = MQuadExpr._from_quadfun(x, Q, x, c, x, 1.0)
    assert q._is_compact
    model.update()
    model._loadSolution(rng.random(model.NumVars).tolist())
    v = x.X
    base = best(lambda: v @ Q @ v)
    t = best(lambda: q.getValue())
    np.testing.assert_allclose(q.getValue(), v @ Q @ v + c @ v + 1.0)
    print(f"getValue compact 1e6 nnz: {t / base:.2f}")


def main():
    whole_array()
    compact_function()


if __name__ == "__main__":
    main()
