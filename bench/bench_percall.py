"""Fixed cost per call on 10-cell arrays.

Per-call microseconds of x + 1, 2 * x, A @ x (dense and CSR A), e + 1 and
x <= b for a 1-D MVar x of 10 variables, e = x + 0 and b a float array, each
as a ratio to a bare scipy.sparse.csr_matrix((data, indices, indptr)) of a
10 x 10 matrix measured in the same run (the cost of one SciPy constructor).
"""

import time

import numpy as np
import scipy.sparse as sp

from zudirivi import _core

N = 10


def per_call(fn, calls=20000, rounds=5):
    fn()
    best = float("inf")
    for _ in range(rounds):
        t = time.perf_counter()
        for _ in range(calls):
            fn()
        best = min(best, (time.perf_counter() - t) / calls)
    return best


def main():
    rng = np.random.default_rng(0)
    dense = rng.random((N, N))
    A = sp.csr_matrix(dense * (dense < 0.5))
    b = rng.random(N)
    m = _core.Model()
    x = m.addMVar(N)
    m.update()
    e = x + 0
    base = per_call(lambda: sp.csr_matrix((A.data, A.indices, A.indptr)))
    print(f"{'baseline csr_matrix((data, indices, indptr))':<46} {base * 1e6:7.1f} us")
    for label, fn in [("x + 1", lambda: x + 1), ("2 * x", lambda: 2 * x),
                      ("A @ x (dense A)", lambda: dense @ x), ("A @ x (CSR A)", lambda: A @ x),
                      ("e + 1", lambda: e + 1), ("x <= b", lambda: x <= b)]:
        t = per_call(fn)
        print(f"{label:<46} {t * 1e6:7.1f} us   ratio {t / base:5.2f}")


if __name__ == "__main__":
    main()
