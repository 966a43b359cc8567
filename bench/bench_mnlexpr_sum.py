"""MNLExpr sum and matrix product at scale. Reported as time per result
(ms) and as the growth factor when the input doubles (linear growth: 2.0):
- m.sum() and m.sum(axis=0) with m of shape (1000, 1000), against (2000, 1000);
- m @ A with m of shape (200, 1000) and a CSR A (1000 x 1000, 1% dense),
  against m of shape (400, 1000).
"""

import gc
import time

import numpy as np
import scipy.sparse as sp

import zudirivi as tvp
from zudirivi._arrayexpr import MNLExpr


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
    big = MNLExpr._from_mvar(model.addMVar((2000, 1000)))
    small = MNLExpr(big._nlearr[:1000].copy())
    for name, op in (("m.sum()", lambda m: m.sum()), ("m.sum(axis=0)", lambda m: m.sum(axis=0))):
        t1 = best(lambda: op(small))
        t2 = best(lambda: op(big))
        print(f"{name} (1000, 1000): {t1 * 1e3:.0f} ms, x{t2 / t1:.2f} at (2000, 1000)")
    A = sp.random(1000, 1000, density=0.01, format="csr", random_state=np.random.default_rng(0))
    m2 = MNLExpr(big._nlearr[:400].copy())
    m1 = MNLExpr(big._nlearr[:200].copy())
    t1 = best(lambda: m1 @ A)
    t2 = best(lambda: m2 @ A)
    print(f"m @ A (200, 1000) @ CSR 1%: {t1 * 1e3:.0f} ms, x{t2 / t1:.2f} at (400, 1000)")


if __name__ == "__main__":
    main()
