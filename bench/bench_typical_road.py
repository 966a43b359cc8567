"""The typical road at full size, and the model's bulk element paths.

Figures, each a ratio to a baseline of the same size measured in the same run:
- m.addConstr(A @ x + b <= c) with A of 10^6 x 10^6 and 10^7 entries (CSR,
  int32 indices), x = m.addMVar(10**6), b and c arrays: the expression and
  the rows stored in the library, against A.tocsr(copy=True) (one copy of A);
  the parts (A @ x, A @ x + b, addConstr) are shown against the same
  baseline.
- addMVar(10**6) against making 10^6 bare objects ([object() for ...]).
Each timed call gets a fresh model, made before the clock.
"""

import time

import numpy as np
import scipy.sparse as sp

from zudirivi import _core

N, NNZ = 10**6, 10**7


def best(fn, setup=lambda: None, repeat=5):
    times = []
    for _ in range(repeat):
        arg = setup()
        t = time.perf_counter()
        fn(arg)
        times.append(time.perf_counter() - t)
    return min(times)


def figure(label, t, base):
    print(f"{label:<40} {t * 1e3:9.1f} ms   ratio {t / base:5.2f}")


def main():
    rng = np.random.default_rng(0)
    A = sp.csr_matrix((rng.random(NNZ), rng.integers(0, N, NNZ).astype(np.int32),
                       np.arange(0, NNZ + 1, NNZ // N).astype(np.int32)), shape=(N, N))
    b, c = rng.random(N), rng.random(N) + 10.0
    base = best(lambda _: A.tocsr(copy=True))
    print(f"{'baseline A.tocsr(copy=True)':<40} {base * 1e3:9.1f} ms")

    def model_vars():
        m = _core.Model()
        return m, m.addMVar(N)

    figure("addConstr(A @ x + b <= c)",
           best(lambda mx: mx[0].addConstr(A @ mx[1] + b <= c), model_vars), base)
    figure("  A @ x", best(lambda mx: A @ mx[1], model_vars), base)
    figure("  A @ x + b", best(lambda mx: A @ mx[1] + b, model_vars), base)

    def model_constr():
        m, x = model_vars()
        return m, A @ x + b <= c

    figure("  addConstr(tc)", best(lambda mt: mt[0].addConstr(mt[1]), model_constr), base)

    objects = best(lambda _: [object() for _ in range(N)])
    print(f"{'baseline [object() for 1e6]':<40} {objects * 1e3:9.1f} ms")
    figure("addMVar(10**6)", best(lambda m: m.addMVar(N), _core.Model), objects)


if __name__ == "__main__":
    main()
