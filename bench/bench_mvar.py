"""MVar: attribute lists and sums over (1000, 1000) and (2000, 1000) arrays.

Figures, each a ratio to building a Python list of 10^6 floats from a NumPy
array (arr.tolist()) in the same run:
- getAttr LB 1e6 / setAttr UB 1e6: x.getAttr("LB"), x.setAttr("UB", arr) on
  a (1000, 1000) MVar (one library list call each).
- sum 1e6 / sum axis=0 1e6 / T.sum axis=1 1e6: X.sum(), X.sum(axis=0),
  X.T.sum(axis=1) on a (1000, 1000) MVar.
- sum 2e6 / sum axis=0 2e6: the same sums on a (2000, 1000) MVar, to show
  linear growth (about twice the 1e6 figures).
"""

import gc
import time

import numpy as np

import zudirivi as tvp


def best(fn, repeat=5):
    times = []
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def main():
    base_arr = np.random.default_rng(0).random(10**6)
    base = best(lambda: base_arr.tolist())

    m = tvp.Model()
    x = m.addMVar((1000, 1000))
    big = m.addMVar((2000, 1000))
    m.update()
    ub = np.full((1000, 1000), 5.0)

    figures = [
        ("getAttr LB 1e6", lambda: x.getAttr("LB")),
        ("setAttr UB 1e6", lambda: x.setAttr("UB", ub)),
        ("sum 1e6", lambda: x.sum()),
        ("sum axis=0 1e6", lambda: x.sum(axis=0)),
        ("T.sum axis=1 1e6", lambda: x.T.sum(axis=1)),
        ("sum 2e6", lambda: big.sum()),
        ("sum axis=0 2e6", lambda: big.sum(axis=0)),
    ]
    for name, fn in figures:
        print(f"{name}: {best(fn) / base:.2f}", flush=True)


if __name__ == "__main__":
    main()
