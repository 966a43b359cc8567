"""MQuadExpr arithmetic at scale.

Figures, each a ratio to a baseline measured in the same run (best of
several runs each):
- q += r / q *= w 1000x1000: a full (1000, 1000) MQuadExpr plus a full r of
  shape (1000,) (broadcast), and times a float64 w of shape (1000, 1000),
  against arr.tolist() of 10^6 floats.
- q @ A 100x100: a full (100, 100) MQuadExpr times a dense (100, 100) A,
  against NumPy's object matrix product of the same cells (q._qearr @ A,
  every further product added with +, so each result cell is copied once per
  contracted index); and the growth of q @ A, A @ q and of that object
  product when the contracted length doubles (2 means linear).
- compact 2 xQx + cx 1e6 nnz: 2.0 * (x @ Q @ x) + c @ x with Q of 10^6 stored
  entries, against Q.copy().
- 1000 x q += xi * xj / q = q + xi * xj: a loop of 1,000 in-place additions
  of one-cell compact products, and the same with plain addition (which
  merges the parts at every step, so it grows quadratically), against
  1,000 iterations of an empty loop body calling float(); both printed, with
  their ratio.
"""

import gc
import time

import numpy as np
import scipy.sparse as sp

from zudirivi._arrayexpr import MQuadExpr
from zudirivi._core import Model


def best(fn, repeat=3, setup=None):
    times = []
    for _ in range(repeat):
        arg = setup() if setup else None
        gc.collect()
        t = time.perf_counter()
        keep = fn(arg) if setup else fn()
        times.append(time.perf_counter() - t)
        del keep
    return min(times)


def in_place():
    model = Model()
    x, y = model.addMVar((1000, 1000)), model.addMVar((1000, 1000))
    a, b = model.addMVar(1000), model.addMVar(1000)
    r = a * b
    w = np.random.default_rng(0).random((1000, 1000))
    base = best(lambda: w.ravel().tolist(), repeat=5)

    def iadd(q):
        q += r
        return q

    def imul(q):
        q *= w
        return q

    t = best(iadd, setup=lambda: x * y)
    print(f"q += r 1000x1000: {t / base:.2f}")
    t = best(imul, setup=lambda: x * y)
    print(f"q *= w 1000x1000: {t / base:.2f}")


def matmul():
    import warnings

    warnings.simplefilter("ignore", RuntimeWarning)  # the chained-product warning
    model = Model()
    times = {}
    rng = np.random.default_rng(1)
    for k in (100, 200):
        q = model.addMVar((100, k)) * model.addMVar((100, k))
        p = model.addMVar((k, 100)) * model.addMVar((k, 100))
        A, B = rng.random((k, 100)), rng.random((100, k))
        times[("naive", k)] = best(lambda: q._qearr @ A, repeat=1)
        times[("q @ A", k)] = best(lambda: q @ A, repeat=1)
        times[("A @ q", k)] = best(lambda: B @ p, repeat=1)
    base = times[("naive", 100)]
    print(f"q @ A (100, 100) x (100, 100) against NumPy's object product: "
          f"{times[('q @ A', 100)] / base:.3f}")
    for name in ("naive", "q @ A", "A @ q"):
        print(f"{name} growth 2x contracted length: {times[(name, 200)] / times[(name, 100)]:.2f}")


def compact_function():
    n, nnz = 10**5, 10**6
    model = Model()
    x = model.addMVar(n)
    rng = np.random.default_rng(2)
    Q = sp.random(n, n, density=nnz / (n * n), format="csr", random_state=rng)
    c = rng.random(n)
    base = best(lambda: Q.copy(), repeat=5)
    t = best(lambda: 2.0 * (x @ Q @ x) + c @ x, repeat=5)
    assert (2.0 * (x @ Q @ x) + c @ x)._is_compact
    print(f"compact 2 xQx + cx 1e6 nnz: {t / base:.2f}")


def loops():
    model = Model()
    x = model.addMVar(1000)
    model.update()
    xs = [x[i] for i in range(1000)]
    pairs = [(xs[i], xs[(7 * i) % 1000]) for i in range(1000)]
    base = best(lambda: [float(i) for i in range(1000)], repeat=5)

    def inplace():
        q = MQuadExpr.zeros(())
        for u, v in pairs:
            q += u * v
        q._concat_quadparts()
        return q

    def plain():
        q = MQuadExpr.zeros(())
        for u, v in pairs:
            q = q + u * v
        return q

    ti = best(inplace)
    tp = best(plain)
    print(f"1000 x q += xi * xj: {ti / base:.1f}")
    print(f"1000 x q = q + xi * xj: {tp / base:.1f}")
    print(f"plain over in-place: {tp / ti:.1f}")


def main():
    in_place()
    matmul()
    compact_function()
    loops()


if __name__ == "__main__":
    main()
