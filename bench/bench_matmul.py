"""Matrix products of constant matrices with variable arrays.

Figures, each a ratio to a baseline of the same size measured in the same run
(best of several runs each):
- A @ x, 1e5 x 1e5 with 1e6 / 1e7 stored entries (SciPy CSR, x an MVar of
  10^5 variables): against A.astype(numpy.float64, copy=True), one CSR copy.
- A @ x + b with a NumPy b: against the same copy.
- x @ A with a CSC A of the same size: against A.tocsr().
- A @ X full state: X of shape (1000, 10), A sparse 1000 x 1000 with 10^5
  entries (10^6 terms): against A.data.tolist() done 10 times.
"""

import gc
import time

import numpy as np
import scipy.sparse as sp

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


def compact(model):
    n = 10**5
    x = model.addMVar(n)
    b = np.arange(n, dtype=float)
    rng = np.random.default_rng(0)
    for nnz, tag in ((10**6, "1e6"), (10**7, "1e7")):
        A = sp.random(n, n, density=nnz / (n * n), format="csr", random_state=rng)
        copy = best(lambda: A.astype(np.float64, copy=True))
        e = A @ x
        assert e._is_compact and len(e._matmulparts) == 1
        del e
        print(f"A @ x 1e5x1e5 {tag} nnz: {best(lambda: A @ x) / copy:.2f}")
        print(f"A @ x + b 1e5x1e5 {tag} nnz: {best(lambda: A @ x + b) / copy:.2f}")
        C = A.tocsc()
        tocsr = best(lambda: C.tocsr())
        print(f"x @ A (CSC) 1e5x1e5 {tag} nnz: {best(lambda: x @ C) / tocsr:.2f}")
        del A, C
        gc.collect()


def full(model):
    X = model.addMVar((1000, 10))
    A = sp.random(1000, 1000, density=0.1, format="csr", random_state=np.random.default_rng(1))
    base = best(lambda: [A.data.tolist() for _ in range(10)], repeat=3)
    e = A @ X
    assert not e._is_compact and e.shape == (1000, 10)
    del e
    print(f"A @ X full (1000, 10) 1e5 nnz: {best(lambda: A @ X, repeat=3) / base:.2f}")


def main():
    compact(Model())
    full(Model())


if __name__ == "__main__":
    main()
