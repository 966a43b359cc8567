"""Stacking at scale. Figures, each a ratio to copying the same inputs
through their own copy() in a Python loop, in the same run (best of several
runs; target at most 1.5):
- vstack of 100 full-state MLinExpr of shape (100, 100) (10^6 cells, one
  term each), against `[e.copy() for e in inputs]`, and against copying each
  of their LinExpr cells with the cell's own copy();
- vstack of 100 MVar of shape (100, 100), against copying their element
  arrays (`[x._vararr.copy() for x in inputs]`; MVar.copy() itself shares
  the element array, so it copies nothing);
- hstack of 10 compact MQuadExpr `x @ Q @ x` (x of 1000 variables, Q with
  10^4 entries), against `[q.copy() for q in inputs]` and against the cells
  their full-state equivalent holds, copied one by one (`_to_full()` each).
"""

import gc
import time

import numpy as np
import scipy.sparse as sp

import zudirivi as tvp
from zudirivi._arrayexpr import MLinExpr


def best(fn, repeat=3):
    times = []
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        keep = fn()
        times.append(time.perf_counter() - t)
        del keep
    return min(times)


def main():
    model = tvp.Model()
    mvars = [model.addMVar((100, 100)) for _ in range(100)]
    lins = []
    for x in mvars:
        e = MLinExpr._from_mvar(x, force_full=True)
        lins.append(e)
    t = best(lambda: tvp.vstack(lins))
    base = best(lambda: [e.copy() for e in lins])
    cells = best(lambda: [c.copy() for e in lins for c in e._learr.flat])
    print(f"vstack 100 full MLinExpr (100, 100): / copy() {t / base:.2f}, "
          f"/ cell copy() {t / cells:.2f}")
    t = best(lambda: tvp.vstack(mvars))
    base = best(lambda: [x._vararr.copy() for x in mvars])
    print(f"vstack 100 MVar (100, 100): / element array copy() {t / base:.2f}")

    x = model.addMVar(1000)
    rng = np.random.default_rng(0)
    quads = [x @ sp.random(1000, 1000, density=0.01, format="csr", random_state=rng) @ x
             for _ in range(10)]
    assert all(q._is_compact for q in quads)
    t = best(lambda: tvp.hstack(quads))
    base = best(lambda: [q.copy() for q in quads])
    full = best(lambda: [q._to_full() for q in quads])
    print(f"hstack 10 compact MQuadExpr (10^4 terms each): / copy() {t / base:.2f}, "
          f"/ _to_full() {t / full:.2f}")


if __name__ == "__main__":
    main()
