"""_core model side: building large models.

Figures, each a ratio to a baseline of the same size measured in the same run:
- addMVar 1e6: Model.addMVar(10**6) (one library call, 10^6 new Var objects,
  an MVar over them), against making 10^6 objects ([object() for ...]).
- addMVar 1e6 bounds+names: addMVar((1000, 1000)) with broadcast lb/ub arrays
  and a name prefix, against the same baseline.
- addConstr matrix 1e6 nnz: addConstr of a compact MLinExpr (one CSR part of
  10^6 entries over 2*10^5 rows) <= rhs array, against A.tocsc() of that
  matrix (one SciPy pass over the same entries).
- update 1e6: Model.update() after removing every other of 10^6 variables,
  against list(range(10**6)).
"""

import time

import numpy as np
import scipy.sparse as sp

from zudirivi._arrayexpr import MLinExpr
from zudirivi._core import Model, TempConstr

N = 10**6


def best(fn, repeat=5, setup=None):
    times = []
    for _ in range(repeat):
        arg = setup() if setup else None
        t = time.perf_counter()
        fn(arg)
        times.append(time.perf_counter() - t)
    return min(times)


def report(name, t, base):
    print(f"{name}: {t / base:.2f} x baseline ({t * 1e3:.1f} ms)")


def main():
    objects = best(lambda _: [object() for _ in range(N)])
    report("addMVar 1e6", best(lambda m: m.addMVar(N), setup=Model), objects)
    lb, ub = np.zeros(1000), np.ones((1000, 1))
    report("addMVar 1e6 bounds+names",
           best(lambda m: m.addMVar((1000, 1000), lb=lb, ub=ub, name="x"), setup=Model), objects)

    rows = N // 5
    rng = np.random.default_rng(0)
    A = sp.csr_matrix((rng.random(N), rng.integers(0, N, N), np.arange(0, N + 1, 5)),
                      shape=(rows, N))
    rhs = np.ones(rows)

    def with_vars():
        m = Model()
        x = m.addMVar(N)
        m.update()
        return m, MLinExpr(matmulparts=[(A, x)], b=np.zeros(rows))

    report("addConstr matrix 1e6 nnz",
           best(lambda me: me[0].addConstr(TempConstr(me[1], "<", rhs)), setup=with_vars),
           best(lambda _: A.tocsc()))

    def half_removed():
        m = Model()
        x = m.addMVar(N)
        m.update()
        m.remove(x[::2])
        return m

    report("update 1e6", best(lambda m: m.update(), setup=half_removed),
           best(lambda _: list(range(N))))


if __name__ == "__main__":
    main()
