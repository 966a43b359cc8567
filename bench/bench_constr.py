"""Constraint handles: attribute lists of 10^6 rows, and the typical road.

Figures:
- MConstr.getAttr("RHS") / setAttr("RHS", arr) on 10^6 rows (1-D and
  (1000, 1000)), as a ratio to arr.tolist() of 10^6 floats (target: at most 3).
  setAttr with a scalar and repr are shown against the same baseline.
- The typical road m.addConstr(A @ x + b <= c) with A of 10^5 x 10^5 and 10^6
  entries (CSR), x a 1-D MVar, b and c arrays: building the expression and
  storing its 10^5 rows in the library, as a ratio to
  A.astype(numpy.float64, copy=True).
"""

import time

import numpy as np
import scipy.sparse as sp

from zudirivi import _core


def best(fn, repeat=5):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def figure(label, t, base):
    print(f"{label:<44} {t * 1e3:9.1f} ms   ratio {t / base:5.2f}")


def attributes():
    n = 10**6
    arr = np.random.default_rng(1).normal(size=n)
    base = best(lambda: arr.tolist())
    print(f"{'baseline arr.tolist() of 1e6 floats':<44} {base * 1e3:9.1f} ms")
    for shape in ((n,), (1000, 1000)):
        m = _core.Model()
        x = m.addMVar(shape)
        c = m.addConstr(x <= 0.0)
        m.update()
        values = arr.reshape(shape)
        figure(f"getAttr('RHS') {shape}", best(lambda: c.getAttr("RHS")), base)
        figure(f"setAttr('RHS', arr) {shape}", best(lambda: c.setAttr("RHS", values)), base)
        figure(f"setAttr('RHS', 1.0) {shape}", best(lambda: c.setAttr("RHS", 1.0)), base)
        figure(f"repr {shape}", best(lambda: repr(c)), base)
        assert np.array_equal(c.getAttr("RHS"), np.ones(shape))


def typical_road():
    n, nnz = 10**5, 10**6
    rng = np.random.default_rng(2)
    A = sp.csr_matrix((rng.normal(size=nnz), (rng.integers(0, n, nnz), rng.integers(0, n, nnz))),
                      shape=(n, n))
    A.sum_duplicates()
    b, c = rng.normal(size=n), rng.normal(size=n)
    base = best(lambda: A.astype(np.float64, copy=True))
    print(f"{'baseline A.astype(float64, copy=True)':<44} {base * 1e3:9.1f} ms"
          f"   ({A.nnz} entries)")
    label = "addConstr(A @ x + b <= c)"
    times = []
    for _ in range(3):
        m = _core.Model()
        x = m.addMVar(n)
        t = time.perf_counter()
        h = m.addConstr(A @ x + b <= c)
        times.append(time.perf_counter() - t)
    assert h.shape == (n,)
    figure(label, min(times), base)
    m.update()
    assert m.NumConstrs == n


if __name__ == "__main__":
    attributes()
    typical_road()
